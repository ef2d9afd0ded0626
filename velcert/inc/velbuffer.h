// velbuffer.h -- byte strings and byte views of the companion library.
//
// `VELASNCBuffer` is a read-only view (pointer and length) that digests and
// encoders accept.  `VELBuffer` is an owning byte string ordered by a
// three-way comparison; every index key of the database is one.
// `VELFastBuffer` holds secrets (clear passwords): its bytes are wiped when it
// is released.  `VELASNBuffer` is a fixed-capacity owning buffer whose view
// covers a prefix of its capacity; it is the base of the record buffer.
#ifndef VELCERT_VELBUFFER_H
#define VELCERT_VELBUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "velstring.h"

class VELASNCBuffer {
 public:
  // CREATORS
  VELASNCBuffer() = default;
  VELASNCBuffer(const void* data, std::uint64_t length)
      : d_data(static_cast<const unsigned char*>(data)), d_length(length) {}

  // ACCESSORS
  const unsigned char* data() const { return d_data; }
  std::uint64_t length() const { return d_length; }

 protected:
  // DATA
  const unsigned char* d_data = nullptr;
  std::uint64_t d_length = 0;
};

class VELBuffer {
 public:
  // Bytes up to this many live inside the object: index keys (short labels
  // and 20-byte digests) then cost no allocation, and comparing two of them
  // touches no other memory.  A buffer holds at most 2^32 - 1 bytes.
  static constexpr std::size_t kInlineCapacity = 24;

  // CREATORS
  VELBuffer() = default;
  VELBuffer(const void* data, std::size_t length) { assign(data, length); }
  explicit VELBuffer(const VELString& bytes) { assign(bytes.data(), bytes.size()); }
  explicit VELBuffer(const VELASNCBuffer& view) { assign(view.data(), static_cast<std::size_t>(view.length())); }
  VELBuffer(const VELBuffer& other) { assign(other.data(), other.d_size); }
  VELBuffer(VELBuffer&& other) noexcept { moveFrom(other); }
  VELBuffer& operator=(const VELBuffer& other) {
    if (this != &other) assign(other.data(), other.d_size);
    return *this;
  }
  VELBuffer& operator=(VELBuffer&& other) noexcept {
    if (this != &other) {
      release();
      moveFrom(other);
    }
    return *this;
  }
  ~VELBuffer() { release(); }

  // MANIPULATORS
  void assign(const void* data, std::size_t length);
  void append(const void* data, std::size_t length);
  // New bytes are zero.
  void resize(std::size_t length);
  void clear() { d_size = 0; }
  unsigned char* data() { return d_heap != nullptr ? d_heap : d_inline; }

  // ACCESSORS
  const unsigned char* data() const { return d_heap != nullptr ? d_heap : d_inline; }
  std::size_t length() const { return d_size; }
  std::size_t size() const { return d_size; }
  bool empty() const { return d_size == 0; }
  unsigned char operator[](std::size_t i) const { return data()[i]; }
  VELASNCBuffer get() const { return VELASNCBuffer(data(), d_size); }
  VELString toString() const { return VELString(reinterpret_cast<const char*>(data()), d_size); }

  // Negative, zero or positive: bytes compared as unsigned, a proper prefix
  // orders first.
  int compare(const VELBuffer& other) const {
    const std::size_t n = d_size < other.d_size ? d_size : other.d_size;
    if (n > 0) {
      const int c = std::memcmp(data(), other.data(), n);
      if (c != 0) return c < 0 ? -1 : 1;
    }
    if (d_size == other.d_size) return 0;
    return d_size < other.d_size ? -1 : 1;
  }

  // Writes the bytes as upper-case hexadecimal pairs.
  std::ostream& display(std::ostream& out) const;

  bool operator==(const VELBuffer& o) const {
    return d_size == o.d_size && (d_size == 0 || std::memcmp(data(), o.data(), d_size) == 0);
  }
  bool operator!=(const VELBuffer& o) const { return !(*this == o); }
  bool operator<(const VELBuffer& o) const { return compare(o) < 0; }

 private:
  void reserve(std::size_t capacity);
  void release() noexcept {
    delete[] d_heap;
    d_heap = nullptr;
    d_capacity = kInlineCapacity;
    d_size = 0;
  }
  void moveFrom(VELBuffer& other) noexcept {
    d_size = other.d_size;
    d_capacity = other.d_capacity;
    d_heap = other.d_heap;
    if (d_heap == nullptr && d_size > 0) std::memcpy(d_inline, other.d_inline, d_size);
    other.d_heap = nullptr;
    other.d_capacity = kInlineCapacity;
    other.d_size = 0;
  }

  // DATA (40 bytes: an index holds two copies of six keys per record)
  std::uint32_t d_size = 0;
  std::uint32_t d_capacity = kInlineCapacity;
  unsigned char* d_heap = nullptr;  // null: the bytes are in d_inline
  unsigned char d_inline[kInlineCapacity];
};

inline std::ostream& operator<<(std::ostream& out, const VELBuffer& b) { return b.display(out); }

class VELFastBuffer {
 public:
  // CREATORS
  VELFastBuffer() = default;
  VELFastBuffer(const void* data, std::size_t length);
  VELFastBuffer(const VELFastBuffer& other);
  VELFastBuffer(VELFastBuffer&& other) noexcept;
  VELFastBuffer& operator=(const VELFastBuffer& other);
  VELFastBuffer& operator=(VELFastBuffer&& other) noexcept;
  ~VELFastBuffer();  // wipes the bytes

  // MANIPULATORS
  void wipe();  // wipes and releases the bytes

  // ACCESSORS
  const unsigned char* data() const { return d_data; }
  std::size_t length() const { return d_length; }
  std::size_t size() const { return d_length; }
  VELASNCBuffer get() const { return VELASNCBuffer(d_data, d_length); }

 private:
  // DATA
  unsigned char* d_data = nullptr;
  std::size_t d_length = 0;
};

class VELASNBuffer : public VELASNCBuffer {
 public:
  // CREATORS
  // A buffer of `capacity` zero bytes and an empty view.  `securityType` 1
  // wipes the bytes on release; 0 does not.
  explicit VELASNBuffer(std::uint64_t capacity, int securityType = 0);
  VELASNBuffer(const VELASNBuffer&) = delete;
  VELASNBuffer& operator=(const VELASNBuffer&) = delete;
  virtual ~VELASNBuffer();

  // MANIPULATORS
  // Copies `length` bytes in and makes them the view; throws 0x8B67A when
  // they exceed the capacity.
  virtual void set(const void* data, std::uint64_t length);
  // Zeroes the capacity and empties the view.
  virtual void reset();
  virtual void truncate() { d_length = 0; }
  virtual void crop(std::uint64_t length);
  virtual void crop(std::uint64_t offset, std::uint64_t length);
  unsigned char* writableData() { return d_storage; }

  // ACCESSORS
  virtual bool isValid(std::uint64_t length) const { return length <= d_length; }
  virtual bool isValid(const void* p, std::uint64_t length) const;
  std::uint64_t capacity() const { return d_capacity; }

 protected:
  void setViewLength(std::uint64_t length) { d_length = length; }

 private:
  // DATA
  unsigned char* d_storage;
  std::uint64_t d_capacity;
  int d_securityType;
};

#endif
