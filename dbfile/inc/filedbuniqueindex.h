// filedbuniqueindex.h -- in-memory index from a byte-string key to one record.
//
// Keys are `VELBuffer`s (a label or a SHA-1 digest); two keys are the same
// key when their bytes are equal.  Each key maps to exactly one record
// location: the byte position of its slot and its record ID.  Inserting
// under a key that is present replaces the location.  Only equality is ever
// asked of this index, so it hashes its keys into a flat table: a lookup or
// insert costs one hash of the key and usually one cache line.
// No locking of its own: the table's instance mutex covers every call.
#ifndef DBFILE_FILEDBUNIQUEINDEX_H
#define DBFILE_FILEDBUNIQUEINDEX_H

#include <cstdint>

#include "filedbhashtable.h"
#include "velbuffer.h"

struct FileDBUniqueLocation {
  std::uint64_t position;  // byte offset of the record's slot
  std::uint32_t recordID;
};

class FileDBUniqueIndex {
 public:
  // CREATORS
  FileDBUniqueIndex();
  ~FileDBUniqueIndex();
  FileDBUniqueIndex(const FileDBUniqueIndex&) = delete;
  FileDBUniqueIndex& operator=(const FileDBUniqueIndex&) = delete;

  // MANIPULATORS
  // Stores `location` under `key`, replacing a location already there.
  // `hash`, when given, is what `prefetch` returned for `key`.
  void insert(const VELBuffer& key, const FileDBUniqueLocation& location);
  void insert(const VELBuffer& key, std::uint64_t hash, const FileDBUniqueLocation& location);
  // Removes the entry under `key`, if any.
  void erase(const VELBuffer& key);
  // Removes the entry under `key` when it is `recordID`'s: a key that
  // another record took over (possible only in files written elsewhere)
  // stays with that record.
  void erase(const VELBuffer& key, std::uint32_t recordID);
  // Removes every entry.
  void erase();
  // Makes room for `count` keys without rehashing.
  void reserve(std::size_t count) { d_table.reserve(count); }
  // Starts fetching the memory an insert of `key` will touch; returns the
  // key's hash for that insert.
  std::uint64_t prefetch(const VELBuffer& key) const {
    const std::uint64_t hash = Table::hashOf(key);
    d_table.prefetch(hash);
    return hash;
  }

  // ACCESSORS
  // The location under `key`, or null; valid until the next change.
  const FileDBUniqueLocation* find(const VELBuffer& key) const;
  std::size_t size() const { return d_table.size(); }

 private:
  using Table = FileDBHashTable<FileDBUniqueLocation>;

  // DATA
  Table d_table;
};

#endif
