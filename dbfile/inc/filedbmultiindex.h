// filedbmultiindex.h -- in-memory index from a byte-string key to any number
// of records, walked with a cursor.
//
// Entries with equal keys keep their insertion order.  `find` sets the
// cursor to the entries equal to a key and returns the first; `findNext`
// returns the following ones and null at the end.  Every `insert` and
// `erase` ends a walk under way: the cursor is reset to the whole map, so a
// `findNext` without a new `find` walks every entry in key order.  A walk
// must not be interleaved with another walk or a change of the same object;
// the table's instance mutex guarantees that.
#ifndef DBFILE_FILEDBMULTIINDEX_H
#define DBFILE_FILEDBMULTIINDEX_H

#include <cstdint>
#include <map>
#include <memory>

#include "velbuffer.h"

struct FileDBMultiLocation {
  std::uint32_t position;  // byte offset of the slot; files stay below 2 GiB
  std::uint32_t recordID;
  bool operator==(const FileDBMultiLocation& o) const { return position == o.position && recordID == o.recordID; }
};

class FileDBMultiIndex {
 public:
  using Map = std::multimap<VELBuffer, FileDBMultiLocation>;

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
  // Adds an entry after all entries equal to `key`; resets the cursor.
  void insert(const VELBuffer& key, const FileDBMultiLocation& location);
  // Removes the first entry (in insertion order) equal to both `key` and
  // `location`, if any; resets the cursor.
  void erase(const VELBuffer& key, const FileDBMultiLocation& location);
  // Removes every entry; resets the cursor.
  void erase();

  // ACCESSORS
  std::size_t size() const { return d_map->map.size(); }

 private:
  struct State {
    Map map;
    Map::const_iterator d_cursor;
    Map::const_iterator d_cursorEnd;
  };
  void resetCursor();

  // DATA
  std::unique_ptr<State> d_map;
};

#endif
