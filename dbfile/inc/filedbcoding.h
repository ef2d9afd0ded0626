// filedbcoding.h -- the byte order of everything the database writes.
//
// Every number in a table file, a journal or the password journal is
// big-endian: the most significant byte first.  These are the only
// functions that put such numbers into bytes or take them out; `out` and
// `in` must have room for the value's width.
#ifndef DBFILE_FILEDBCODING_H
#define DBFILE_FILEDBCODING_H

#include <cstdint>

class FileDBCoding {
 public:
  static void put16(unsigned char* out, std::uint16_t value) { put<2>(out, value); }
  static void put32(unsigned char* out, std::uint32_t value) { put<4>(out, value); }
  static void put64(unsigned char* out, std::uint64_t value) { put<8>(out, value); }

  static std::uint16_t get16(const unsigned char* in) { return static_cast<std::uint16_t>(get<2>(in)); }
  static std::uint32_t get32(const unsigned char* in) { return static_cast<std::uint32_t>(get<4>(in)); }
  static std::uint64_t get64(const unsigned char* in) { return get<8>(in); }

 private:
  template <int WIDTH>
  static void put(unsigned char* out, std::uint64_t value) {
    for (int i = WIDTH - 1; i >= 0; --i) {
      out[i] = static_cast<unsigned char>(value);
      value >>= 8;
    }
  }
  template <int WIDTH>
  static std::uint64_t get(const unsigned char* in) {
    std::uint64_t value = 0;
    for (int i = 0; i < WIDTH; ++i) value = (value << 8) | in[i];
    return value;
  }
};

#endif
