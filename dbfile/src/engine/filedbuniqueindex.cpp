#include "filedbuniqueindex.h"

#include "veltrace.h"

FileDBUniqueIndex::FileDBUniqueIndex() { VEL_TRACE_SCOPE("FileDBUniqueIndex::ctor"); }

FileDBUniqueIndex::~FileDBUniqueIndex() { VEL_TRACE_SCOPE("FileDBUniqueIndex::dtor"); }

const FileDBUniqueLocation* FileDBUniqueIndex::find(const VELBuffer& key) const {
  VEL_TRACE_SCOPE("find");
  return d_table.find(key);
}

void FileDBUniqueIndex::insert(const VELBuffer& key, const FileDBUniqueLocation& location) {
  insert(key, Table::hashOf(key), location);
}

void FileDBUniqueIndex::insert(const VELBuffer& key, std::uint64_t hash, const FileDBUniqueLocation& location) {
  VEL_TRACE_SCOPE("insert");
  d_table.assign(key, hash, location);
}

void FileDBUniqueIndex::erase(const VELBuffer& key) {
  VEL_TRACE_SCOPE("erase");
  d_table.eraseFirst(key, [](const FileDBUniqueLocation&) { return true; });
}

void FileDBUniqueIndex::erase(const VELBuffer& key, std::uint32_t recordID) {
  VEL_TRACE_SCOPE("erase");
  d_table.eraseFirst(key, [recordID](const FileDBUniqueLocation& at) { return at.recordID == recordID; });
}

void FileDBUniqueIndex::erase() {
  VEL_TRACE_SCOPE("erase");
  d_table.clear();
}
