#include "filedbbuffer.h"

#include <cstring>

#include "filedbcoding.h"
#include "velexception.h"
#include "veltrace.h"

namespace {

std::uint64_t checkedCapacity(std::uint64_t capacity) {
  if (capacity > FileDBBuffer::kMaxCapacity) {
    VELDB_THROW_EXTRA(VELDBError::kBadArgument, "record buffer too large", static_cast<long long>(capacity));
  }
  return capacity;
}

}  // namespace

FileDBBuffer::FileDBBuffer(std::uint64_t capacity)
    : VELASNBuffer(checkedCapacity(capacity), 0), usedLength(0), position(0) {
  VEL_TRACE_SCOPE("FileDBBuffer::ctor");
  setViewLength(capacity);
}

FileDBBuffer::~FileDBBuffer() { VEL_TRACE_SCOPE("FileDBBuffer::dtor"); }

void FileDBBuffer::own(bool keep) {
  if (d_data == writableData()) return;
  if (keep) std::memcpy(writableData(), d_data, static_cast<std::size_t>(capacity()));
  d_data = writableData();
}

void FileDBBuffer::reset() {
  VEL_TRACE_SCOPE("reset");
  own(false);
  VELASNBuffer::reset();
  setViewLength(capacity());
  usedLength = 0;
  position = 0;
}

void FileDBBuffer::setPosition(std::uint64_t pos) {
  VEL_TRACE_SCOPE("setPosition");
  if (pos >= capacity() || pos > usedLength) VELDB_THROW(VELDBError::kBadArgument, "");
  position = pos;
}

void FileDBBuffer::read(FileDBBinaryFile& file, std::uint64_t count) {
  VEL_TRACE_SCOPE("read");
  if (count == 0) return;
  own(true);
  if (count > capacity() - position) VELDB_THROW(VELDBError::kBadArgument, "");
  file.read(static_cast<void*>(writableData() + position), count);
  position += count;
  if (usedLength < position) usedLength = position;
}

void FileDBBuffer::readAt(FileDBBinaryFile& file, std::uint64_t offset, std::uint64_t count) {
  VEL_TRACE_SCOPE("readAt");
  if (count == 0) return;
  own(true);
  if (count > capacity() - position) VELDB_THROW(VELDBError::kBadArgument, "");
  file.readAt(offset, static_cast<void*>(writableData() + position), count);
  position += count;
  if (usedLength < position) usedLength = position;
}

void FileDBBuffer::load(const void* bytes, std::uint64_t count) {
  if (count > capacity()) VELDB_THROW(VELDBError::kBadArgument, "");
  own(false);
  if (count > 0) std::memcpy(writableData(), bytes, static_cast<std::size_t>(count));
  // Only what the copy leaves is zeroed: a whole slot needs no clearing.
  if (count < capacity()) std::memset(writableData() + count, 0, static_cast<std::size_t>(capacity() - count));
  usedLength = count;
  position = count;
}

void FileDBBuffer::view(const void* bytes, std::uint64_t count) {
  if (count != capacity() || bytes == nullptr) VELDB_THROW(VELDBError::kBadArgument, "");
  d_data = static_cast<const unsigned char*>(bytes);
  usedLength = count;
  position = count;
}

void FileDBBuffer::get(void* raw, std::uint64_t count) {
  VEL_TRACE_SCOPE("get");
  if (count > usedLength - position) VELDB_THROW(VELDBError::kBadArgument, "");
  if (count == 0) return;
  if (raw == nullptr) VELDB_THROW(VELDBError::kBadArgument, "");
  std::memcpy(raw, data() + position, static_cast<std::size_t>(count));
  position += count;
}

void FileDBBuffer::get(std::uint8_t& value) {
  VEL_TRACE_SCOPE("get");
  unsigned char b[1];
  get(b, sizeof b);
  value = b[0];
}

void FileDBBuffer::get(std::uint16_t& value) {
  VEL_TRACE_SCOPE("get");
  unsigned char b[2];
  get(b, sizeof b);
  value = FileDBCoding::get16(b);
}

void FileDBBuffer::get(std::uint32_t& value) {
  VEL_TRACE_SCOPE("get");
  unsigned char b[4];
  get(b, sizeof b);
  value = FileDBCoding::get32(b);
}

void FileDBBuffer::get(VELASNCBuffer& value) {
  VEL_TRACE_SCOPE("get");
  std::uint32_t length = 0;
  get(length);
  // The length comes from the file: check it against the filled part before
  // anything is allocated for it or read through it.
  if (length > usedLength - position) VELDB_THROW(VELDBError::kBadArgument, "");
  value = VELASNCBuffer(data() + position, length);
  position += length;
}

void FileDBBuffer::get(VELBuffer& value) {
  VELASNCBuffer bytes;
  get(bytes);
  value.assign(bytes.data(), static_cast<std::size_t>(bytes.length()));
}

void FileDBBuffer::put(const void* raw, std::uint64_t count) {
  VEL_TRACE_SCOPE("put");
  if (count > capacity() - position) VELDB_THROW(VELDBError::kBadArgument, "");
  if (count == 0) return;
  if (raw == nullptr) VELDB_THROW(VELDBError::kBadArgument, "");
  own(true);
  std::memmove(writableData() + position, raw, static_cast<std::size_t>(count));
  position += count;
  if (usedLength < position) usedLength = position;
}

void FileDBBuffer::put(const std::uint8_t& value) {
  VEL_TRACE_SCOPE("put");
  put(&value, 1);
}

void FileDBBuffer::put(const std::uint16_t& value) {
  VEL_TRACE_SCOPE("put");
  unsigned char b[2];
  FileDBCoding::put16(b, value);
  put(b, sizeof b);
}

void FileDBBuffer::put(const std::uint32_t& value) {
  VEL_TRACE_SCOPE("put");
  unsigned char b[4];
  FileDBCoding::put32(b, value);
  put(b, sizeof b);
}

void FileDBBuffer::put(const VELBuffer& value) {
  VEL_TRACE_SCOPE("put");
  if (value.length() > 0xFFFFFFFFULL) VELDB_THROW(VELDBError::kBadArgument, "");
  const std::uint32_t length = static_cast<std::uint32_t>(value.length());
  put(length);
  put(value.data(), length);
}
