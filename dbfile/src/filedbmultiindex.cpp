#include "filedbmultiindex.h"

#include "veltrace.h"

FileDBMultiIndex::FileDBMultiIndex() : d_map(new State()) {
  VEL_TRACE_SCOPE("FileDBMultiIndex::ctor");
  resetCursor();
}

FileDBMultiIndex::~FileDBMultiIndex() { VEL_TRACE_SCOPE("FileDBMultiIndex::dtor"); }

void FileDBMultiIndex::resetCursor() {
  d_map->d_cursor = d_map->map.cbegin();
  d_map->d_cursorEnd = d_map->map.cend();
}

const FileDBMultiLocation* FileDBMultiIndex::find(const VELBuffer& key) {
  VEL_TRACE_SCOPE("find");
  auto range = d_map->map.equal_range(key);
  d_map->d_cursor = range.first;
  d_map->d_cursorEnd = range.second;
  return findNext();
}

const FileDBMultiLocation* FileDBMultiIndex::findNext() {
  VEL_TRACE_SCOPE("findNext");
  if (d_map->d_cursor == d_map->d_cursorEnd) return nullptr;
  const FileDBMultiLocation* value = &d_map->d_cursor->second;
  ++d_map->d_cursor;
  return value;
}

void FileDBMultiIndex::insert(const VELBuffer& key, const FileDBMultiLocation& location) {
  VEL_TRACE_SCOPE("insert");
  // A multimap inserts after every entry equal to the key.
  d_map->map.emplace(key, location);
  resetCursor();
}

void FileDBMultiIndex::erase(const VELBuffer& key, const FileDBMultiLocation& location) {
  VEL_TRACE_SCOPE("erase");
  auto range = d_map->map.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == location) {
      d_map->map.erase(it);
      break;
    }
  }
  resetCursor();
}

void FileDBMultiIndex::erase() {
  VEL_TRACE_SCOPE("erase");
  d_map->map.clear();
  resetCursor();
}
