// filedbmultiindex.h -- in-memory index from a byte-string key to any number
// of records, walked with a cursor.
//
// Entries with equal keys keep their insertion order.  `find` sets the
// cursor to the entries equal to a key and returns the first; `findNext`
// returns the following ones and null at the end.  Every `insert` and
// `erase` ends a walk under way: `findNext` returns null until the next
// `find`.  A walk must not be interleaved with another walk or a change of
// the same object; the table's instance mutex guarantees that.  Keys are
// hashed into a flat table, as in the unique index.
#ifndef DBFILE_FILEDBMULTIINDEX_H
#define DBFILE_FILEDBMULTIINDEX_H

#include <cstdint>

#include "filedbhashtable.h"
#include "velbuffer.h"

struct FileDBMultiLocation {
  std::uint32_t position;  // byte offset of the slot; files stay below 2 GiB
  std::uint32_t recordID;
  bool operator==(const FileDBMultiLocation& o) const { return position == o.position && recordID == o.recordID; }
};

class FileDBMultiIndex {
 public:
  // CREATORS
  FileDBMultiIndex();
  ~FileDBMultiIndex();
  FileDBMultiIndex(const FileDBMultiIndex&) = delete;
  FileDBMultiIndex& operator=(const FileDBMultiIndex&) = delete;

  // MANIPULATORS
  // Starts a walk over the entries equal to `key`; returns the first or null.
  const FileDBMultiLocation* find(const VELBuffer& key);
  // The next entry of the walk, or null at its end.
  const FileDBMultiLocation* findNext();
  // Adds an entry after all entries equal to `key`; ends a walk.
  // `hash`, when given, is what `prefetch` returned for `key`.
  void insert(const VELBuffer& key, const FileDBMultiLocation& location);
  void insert(const VELBuffer& key, std::uint64_t hash, const FileDBMultiLocation& location);
  // Removes the first entry (in insertion order) equal to both `key` and
  // `location`, if any; ends a walk.
  void erase(const VELBuffer& key, const FileDBMultiLocation& location);
  // Removes every entry; ends a walk.
  void erase();
  // Makes room for `count` entries without rehashing.
  void reserve(std::size_t count) { d_table.reserve(count); }
  // Starts fetching the memory an insert of `key` will touch; returns the
  // key's hash for that insert.
  std::uint64_t prefetch(const VELBuffer& key) const {
    const std::uint64_t hash = Table::hashOf(key);
    d_table.prefetch(hash);
    return hash;
  }

  // ACCESSORS
  std::size_t size() const { return d_table.size(); }

 private:
  using Table = FileDBHashTable<FileDBMultiLocation>;

  // DATA
  Table d_table;
  Table::Cursor d_cursor;  // the walk under way
  VELBuffer d_cursorKey;   // and the key it looks for
};

#endif
