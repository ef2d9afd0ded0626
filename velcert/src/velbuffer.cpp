#include "velbuffer.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <iomanip>

#include "velexception.h"

VELBuffer::VELBuffer(const void* data, std::size_t length) { assign(data, length); }

VELBuffer::VELBuffer(const VELString& bytes) { assign(bytes.data(), bytes.size()); }

VELBuffer::VELBuffer(const VELASNCBuffer& view) { assign(view.data(), static_cast<std::size_t>(view.length())); }

void VELBuffer::assign(const void* data, std::size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  if (length == 0) {
    d_bytes.clear();
    return;
  }
  d_bytes.assign(p, p + length);
}

void VELBuffer::append(const void* data, std::size_t length) {
  if (length == 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  d_bytes.insert(d_bytes.end(), p, p + length);
}

int VELBuffer::compare(const VELBuffer& other) const {
  const std::size_t n = std::min(d_bytes.size(), other.d_bytes.size());
  if (n > 0) {
    const int c = std::memcmp(d_bytes.data(), other.d_bytes.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (d_bytes.size() == other.d_bytes.size()) return 0;
  return d_bytes.size() < other.d_bytes.size() ? -1 : 1;
}

std::ostream& VELBuffer::display(std::ostream& out) const {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(d_bytes.size() * 2);
  for (unsigned char b : d_bytes) {
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
