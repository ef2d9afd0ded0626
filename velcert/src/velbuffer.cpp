#include "velbuffer.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <stdexcept>

#include "velexception.h"

void VELBuffer::reserve(std::size_t capacity) {
  if (capacity <= d_capacity) return;
  if (capacity > 0xFFFFFFFFu) throw std::length_error("VELBuffer: more than 2^32 - 1 bytes");
  std::size_t grown = static_cast<std::size_t>(d_capacity) * 2;
  if (grown < capacity || grown > 0xFFFFFFFFu) grown = capacity;
  unsigned char* bytes = new unsigned char[grown];
  if (d_size > 0) std::memcpy(bytes, data(), d_size);
  delete[] d_heap;
  d_heap = bytes;
  d_capacity = static_cast<std::uint32_t>(grown);
}

void VELBuffer::assign(const void* bytes, std::size_t length) {
  if (length > d_capacity) {
    d_size = 0;
    reserve(length);
  }
  if (length > 0) std::memmove(data(), bytes, length);
  d_size = static_cast<std::uint32_t>(length);
}

void VELBuffer::append(const void* bytes, std::size_t length) {
  if (length == 0) return;
  if (d_size + length > d_capacity) {
    // `bytes` may point into this buffer: copy it before growing.
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(bytes),
                                    static_cast<const unsigned char*>(bytes) + length);
    reserve(d_size + length);
    std::memcpy(data() + d_size, copy.data(), length);
  } else {
    std::memmove(data() + d_size, bytes, length);
  }
  d_size += static_cast<std::uint32_t>(length);
}

void VELBuffer::resize(std::size_t length) {
  if (length > d_size) {
    reserve(length);
    std::memset(data() + d_size, 0, length - d_size);
  }
  d_size = static_cast<std::uint32_t>(length);
}

std::ostream& VELBuffer::display(std::ostream& out) const {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(d_size * 2);
  const unsigned char* bytes = data();
  for (std::size_t i = 0; i < d_size; ++i) {
    const unsigned char b = bytes[i];
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0xF]);
  }
  return out << text;
}

// --- VELFastBuffer ---------------------------------------------------------

VELFastBuffer::VELFastBuffer(const void* data, std::size_t length) {
  if (length > 0) {
    d_data = new unsigned char[length];
    std::memcpy(d_data, data, length);
    d_length = length;
  }
}

VELFastBuffer::VELFastBuffer(const VELFastBuffer& other) : VELFastBuffer(other.d_data, other.d_length) {}

VELFastBuffer::VELFastBuffer(VELFastBuffer&& other) noexcept : d_data(other.d_data), d_length(other.d_length) {
  other.d_data = nullptr;
  other.d_length = 0;
}

VELFastBuffer& VELFastBuffer::operator=(const VELFastBuffer& other) {
  if (this != &other) {
    VELFastBuffer copy(other);
    *this = std::move(copy);
  }
  return *this;
}

VELFastBuffer& VELFastBuffer::operator=(VELFastBuffer&& other) noexcept {
  if (this != &other) {
    wipe();
    d_data = other.d_data;
    d_length = other.d_length;
    other.d_data = nullptr;
    other.d_length = 0;
  }
  return *this;
}

VELFastBuffer::~VELFastBuffer() { wipe(); }

void VELFastBuffer::wipe() {
  if (d_data != nullptr) {
    OPENSSL_cleanse(d_data, d_length);
    delete[] d_data;
  }
  d_data = nullptr;
  d_length = 0;
}

// --- VELASNBuffer ----------------------------------------------------------

VELASNBuffer::VELASNBuffer(std::uint64_t capacity, int securityType)
    : d_storage(new unsigned char[capacity == 0 ? 1 : capacity]()),
      d_capacity(capacity),
      d_securityType(securityType) {
  d_data = d_storage;
  d_length = 0;
}

VELASNBuffer::~VELASNBuffer() {
  if (d_securityType != 0) OPENSSL_cleanse(d_storage, d_capacity);
  delete[] d_storage;
}

void VELASNBuffer::set(const void* data, std::uint64_t length) {
  if (length > d_capacity) VELDB_THROW(VELDBError::kBadArgument, "");
  if (length > 0) std::memmove(d_storage, data, static_cast<std::size_t>(length));
  d_length = length;
}

void VELASNBuffer::reset() {
  std::memset(d_storage, 0, static_cast<std::size_t>(d_capacity));
  d_length = 0;
}

void VELASNBuffer::crop(std::uint64_t length) {
  if (length < d_length) d_length = length;
}

void VELASNBuffer::crop(std::uint64_t offset, std::uint64_t length) {
  if (offset > d_length) VELDB_THROW(VELDBError::kBadArgument, "");
  const std::uint64_t available = d_length - offset;
  if (length > available) length = available;
  if (offset > 0 && length > 0) std::memmove(d_storage, d_storage + offset, static_cast<std::size_t>(length));
  d_length = length;
}

bool VELASNBuffer::isValid(const void* p, std::uint64_t length) const {
  const unsigned char* q = static_cast<const unsigned char*>(p);
  if (q < d_storage || q > d_storage + d_length) return false;
  return length <= static_cast<std::uint64_t>(d_storage + d_length - q);
}
