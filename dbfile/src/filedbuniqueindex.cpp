#include "filedbuniqueindex.h"

#include "veltrace.h"

FileDBUniqueIndex::FileDBUniqueIndex() : d_map(new Map()) { VEL_TRACE_SCOPE("FileDBUniqueIndex::ctor"); }

FileDBUniqueIndex::~FileDBUniqueIndex() { VEL_TRACE_SCOPE("FileDBUniqueIndex::dtor"); }

const FileDBUniqueLocation* FileDBUniqueIndex::find(const VELBuffer& key) const {
  VEL_TRACE_SCOPE("find");
  auto it = d_map->find(key);
  return it == d_map->end() ? nullptr : &it->second;
}

void FileDBUniqueIndex::insert(const VELBuffer& key, const FileDBUniqueLocation& location) {
  VEL_TRACE_SCOPE("insert");
  (*d_map)[key] = location;
}

void FileDBUniqueIndex::erase(const VELBuffer& key) {
  VEL_TRACE_SCOPE("erase");
  d_map->erase(key);
}

void FileDBUniqueIndex::erase() {
  VEL_TRACE_SCOPE("erase");
  d_map->clear();
}
