#include "filedbmultiindex.h"

#include "veltrace.h"

FileDBMultiIndex::FileDBMultiIndex() { VEL_TRACE_SCOPE("FileDBMultiIndex::ctor"); }

FileDBMultiIndex::~FileDBMultiIndex() { VEL_TRACE_SCOPE("FileDBMultiIndex::dtor"); }

const FileDBMultiLocation* FileDBMultiIndex::find(const VELBuffer& key) {
  VEL_TRACE_SCOPE("find");
  d_cursorKey = key;
  return d_table.find(d_cursorKey, d_cursor);
}

const FileDBMultiLocation* FileDBMultiIndex::findNext() {
  VEL_TRACE_SCOPE("findNext");
  return d_table.next(d_cursorKey, d_cursor);
}

void FileDBMultiIndex::insert(const VELBuffer& key, const FileDBMultiLocation& location) {
  insert(key, Table::hashOf(key), location);
}

void FileDBMultiIndex::insert(const VELBuffer& key, std::uint64_t hash, const FileDBMultiLocation& location) {
  VEL_TRACE_SCOPE("insert");
  d_table.insert(key, hash, location);
  d_cursor = Table::Cursor();
}

void FileDBMultiIndex::erase(const VELBuffer& key, const FileDBMultiLocation& location) {
  VEL_TRACE_SCOPE("erase");
  d_table.eraseFirst(key, [&location](const FileDBMultiLocation& at) { return at == location; });
  d_cursor = Table::Cursor();
}

void FileDBMultiIndex::erase() {
  VEL_TRACE_SCOPE("erase");
  d_table.clear();
  d_cursor = Table::Cursor();
}
