#include "filedbiterator.h"

#include "veltrace.h"

FileDBIterator::FileDBIterator(const VELConstString& tableName) : d_index(0), d_tableName(tableName) {
  VEL_TRACE_SCOPE("FileDBIterator::ctor");
}

FileDBIterator::~FileDBIterator() { VEL_TRACE_SCOPE("FileDBIterator::dtor"); }

std::uint64_t FileDBIterator::getFilePosition(unsigned int headerSize, unsigned int recordLength,
                                              unsigned int recordsAllocated) const {
  VEL_TRACE_SCOPE("getFilePosition");
  if (d_index + 1 > recordsAllocated) return 0;
  return static_cast<std::uint64_t>(recordLength) * d_index + headerSize;
}
