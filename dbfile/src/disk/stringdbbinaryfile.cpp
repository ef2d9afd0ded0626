#include "stringdbbinaryfile.h"

#include <cstring>
#include <limits>

#include "velexception.h"
#include "veltrace.h"

StringDBBinaryFile::StringDBBinaryFile(VELString* buf, VELDBConnectInfo::AccessMode)
    : FileDBBinaryFile(), buffer(buf), size(0), readPosition(0), writePosition(0) {
  VEL_TRACE_SCOPE("StringDBBinaryFile::ctor");
  if (buffer == nullptr) VELDB_THROW(VELDBError::kBadArgument, "string database without a string");
  size = calcSize();
}

StringDBBinaryFile::~StringDBBinaryFile() { VEL_TRACE_SCOPE("StringDBBinaryFile::dtor"); }

void StringDBBinaryFile::openNew(const VELString&) {
  VEL_TRACE_SCOPE("openNew");
  // A create never writes over a database the caller's string holds, as a
  // file create never writes over an existing file.
  if (!buffer->empty()) VELDB_THROW(VELDBError::kFileExists, "the string to create a database in is not empty");
}

void StringDBBinaryFile::openExisting(const VELString&, VELDBConnectInfo::AccessMode) {
  VELDB_THROW(VELDBError::kBadArgument, "not implemented");
}

void StringDBBinaryFile::openTmpFile() { VELDB_THROW(VELDBError::kBadArgument, "not implemented"); }

void StringDBBinaryFile::close() { VELDB_THROW(VELDBError::kBadArgument, "not implemented"); }

void StringDBBinaryFile::read(VELString& out, std::uint64_t count) {
  VEL_TRACE_SCOPE("read");
  const std::uint64_t length = calcSize();
  if (readPosition > length || count > length - readPosition) {
    VELDB_THROW(VELDBError::kRead,
                "read:buf:" + std::to_string(count) + ":" + std::to_string(readPosition));
  }
  out.assign(*buffer, static_cast<std::size_t>(readPosition), static_cast<std::size_t>(count));
  readPosition += count;
}

void StringDBBinaryFile::read(void* out, const std::uint64_t& count) {
  VEL_TRACE_SCOPE("read");
  // Copies straight out of the string: the same checks and cursor movement
  // as the string form, without a scratch string per slot.
  const std::uint64_t length = calcSize();
  if (readPosition > length || count > length - readPosition) {
    VELDB_THROW(VELDBError::kRead,
                "read:buf:" + std::to_string(count) + ":" + std::to_string(readPosition));
  }
  if (count > 0) std::memcpy(out, buffer->data() + readPosition, static_cast<std::size_t>(count));
  readPosition += count;
}

void StringDBBinaryFile::readAt(std::uint64_t offset, void* out, std::uint64_t count) {
  const std::uint64_t length = calcSize();
  if (offset > length) {
    VELDB_THROW(VELDBError::kRead, "read:buf:" + std::to_string(count) + ":" + std::to_string(offset));
  }
  readPosition = offset;
  read(out, count);
}

std::uint64_t StringDBBinaryFile::getSize() const { return size; }

void StringDBBinaryFile::isOpenCheck() const {}

void StringDBBinaryFile::notOpenCheck() const {}

void StringDBBinaryFile::write(const VELString& data) {
  VEL_TRACE_SCOPE("write");
  write(static_cast<const void*>(data.data()), static_cast<std::uint64_t>(data.size()));
}

void StringDBBinaryFile::write(const void* data, const std::uint64_t& count) {
  VEL_TRACE_SCOPE("write");
  if (count == 0) return;
  if (writePosition + count > kMaxFileSize) {
    VELDB_THROW_EXTRA(VELDBError::kWrite, "database would exceed 2 GiB", static_cast<long long>(writePosition + count));
  }
  ++modificationCount;
  const std::size_t at = static_cast<std::size_t>(writePosition);
  const std::size_t n = static_cast<std::size_t>(count);
  if (at + n > buffer->size()) buffer->resize(at + n);
  std::memcpy(&(*buffer)[at], data, n);
  writePosition += count;
  size = calcSize();
}

std::uint64_t StringDBBinaryFile::setPosition(const long& offset, const Origin& origin) {
  VEL_TRACE_SCOPE("setPosition");
  // An offset wider than 32 bits lies outside any database: ignored, not cut.
  if (offset < std::numeric_limits<std::int32_t>::min() || offset > std::numeric_limits<std::int32_t>::max()) {
    return readPosition;
  }
  const long long off = offset;
  if (origin == Current) {
    const long long p = static_cast<long long>(readPosition) + off;
    if (p >= 0 && static_cast<std::uint64_t>(p) <= size) readPosition = writePosition = static_cast<std::uint64_t>(p);
  } else if (origin == End) {
    readPosition = writePosition = size;
  } else if (off >= 0 && static_cast<std::uint64_t>(off) <= size) {
    readPosition = writePosition = static_cast<std::uint64_t>(off);
  }
  return readPosition;
}

void StringDBBinaryFile::lock(std::uint64_t, std::uint64_t, int) {}

void StringDBBinaryFile::unlock(std::uint64_t, std::uint64_t) {}

void StringDBBinaryFile::reserve(std::uint64_t newSize) {
  if (newSize > kMaxFileSize) VELDB_THROW_EXTRA(VELDBError::kWrite, "database would exceed 2 GiB", newSize);
  if (newSize > buffer->capacity()) buffer->reserve(static_cast<std::size_t>(newSize));
}

void StringDBBinaryFile::sync() {}

const VELConstString& StringDBBinaryFile::getFileName() const { return FileDBBinaryFile::getFileName(); }

void StringDBBinaryFile::setSize(std::uint64_t newSize) {
  VEL_TRACE_SCOPE("setSize");
  if (newSize > kMaxFileSize) VELDB_THROW_EXTRA(VELDBError::kWrite, "database would exceed 2 GiB", newSize);
  ++modificationCount;
  buffer->resize(static_cast<std::size_t>(newSize));
  size = calcSize();
  if (readPosition > size) readPosition = size;
  if (writePosition > size) writePosition = size;
}

std::uint64_t StringDBBinaryFile::calcSize() const { return buffer->size(); }
