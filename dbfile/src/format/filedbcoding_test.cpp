// The byte order every file of the database is written in: a value must
// land most significant byte first, at its width only, and come back whole
// at the extremes (a sign or width slip shows there first).
#include "filedbcoding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

TEST(FileDBCodingTest, ValuesAreBigEndianAndTouchOnlyTheirWidth) {
  std::vector<unsigned char> bytes(10, 0xEE);
  FileDBCoding::put16(&bytes[1], 0x0102);
  EXPECT_EQ(std::vector<unsigned char>({0xEE, 0x01, 0x02, 0xEE}), std::vector<unsigned char>(&bytes[0], &bytes[4]));
  FileDBCoding::put32(&bytes[1], 0x01020304u);
  EXPECT_EQ(std::vector<unsigned char>({0xEE, 1, 2, 3, 4, 0xEE}), std::vector<unsigned char>(&bytes[0], &bytes[6]));
  FileDBCoding::put64(&bytes[1], 0x0102030405060708ull);
  EXPECT_EQ(std::vector<unsigned char>({0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 0xEE}), bytes);
}

TEST(FileDBCodingTest, ExtremesComeBackWhole) {
  unsigned char b[8];
  for (std::uint64_t v : {0ull, 1ull, 0x80ull, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull, 0x7F00FF0080FF01FEull}) {
    FileDBCoding::put64(b, v);
    EXPECT_EQ(v, FileDBCoding::get64(b));
    FileDBCoding::put32(b, static_cast<std::uint32_t>(v));
    EXPECT_EQ(static_cast<std::uint32_t>(v), FileDBCoding::get32(b));
    FileDBCoding::put16(b, static_cast<std::uint16_t>(v));
    EXPECT_EQ(static_cast<std::uint16_t>(v), FileDBCoding::get16(b));
  }
}
