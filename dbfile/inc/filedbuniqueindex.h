// filedbuniqueindex.h -- in-memory index from a byte-string key to one record.
//
// Keys are `VELBuffer`s (a label or a SHA-1 digest) ordered by their
// three-way comparison; each key maps to exactly one record location: the
// byte position of its slot and its record ID.  Inserting under a key that
// is present replaces the location.  No locking of its own: the table's
// instance mutex covers every call.
#ifndef DBFILE_FILEDBUNIQUEINDEX_H
#define DBFILE_FILEDBUNIQUEINDEX_H

#include <cstdint>
#include <map>
#include <memory>

#include "velbuffer.h"

struct FileDBUniqueLocation {
  std::uint64_t position;  // byte offset of the record's slot
  std::uint32_t recordID;
};

class FileDBUniqueIndex {
 public:
  using Map = std::map<VELBuffer, FileDBUniqueLocation>;

  // CREATORS
  FileDBUniqueIndex();
  ~FileDBUniqueIndex();
  FileDBUniqueIndex(const FileDBUniqueIndex&) = delete;
  FileDBUniqueIndex& operator=(const FileDBUniqueIndex&) = delete;

  // MANIPULATORS
  // Stores `location` under `key`, replacing a location already there.
  void insert(const VELBuffer& key, const FileDBUniqueLocation& location);
  // Removes the entry under `key`, if any.
  void erase(const VELBuffer& key);
  // Removes every entry.
  void erase();

  // ACCESSORS
  // The location under `key`, or null; valid until the next change.
  const FileDBUniqueLocation* find(const VELBuffer& key) const;
  std::size_t size() const { return d_map->size(); }

 private:
  // DATA
  std::unique_ptr<Map> d_map;
};

#endif
