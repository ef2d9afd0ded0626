// Plan: VELBuffer orders keys as unsigned bytes with the shorter prefix first and
// displays upper-case hex; VELFastBuffer and VELASNBuffer keep their bytes and bounds.
#include "velbuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <utility>

#include "velexception.h"

namespace {

VELBuffer bytes(std::initializer_list<unsigned char> b) { return VELBuffer(b.begin(), b.size()); }

TEST(VELBufferTest, CompareOrdersUnsignedBytesThenLength) {
  EXPECT_EQ(0, bytes({1, 2, 3}).compare(bytes({1, 2, 3})));
  EXPECT_LT(bytes({0x7F}).compare(bytes({0x80})), 0);  // unsigned, not signed char
  EXPECT_GT(bytes({0xFF}).compare(bytes({0x00, 0x00})), 0);
  EXPECT_LT(bytes({1, 2}).compare(bytes({1, 2, 0})), 0);  // proper prefix first
  EXPECT_GT(bytes({1, 2, 0}).compare(bytes({1, 2})), 0);
  EXPECT_EQ(0, VELBuffer().compare(VELBuffer()));
  EXPECT_LT(VELBuffer().compare(bytes({0})), 0);
  EXPECT_TRUE(bytes({0x7F}) < bytes({0x80}));
}

TEST(VELBufferTest, HoldsZeroBytesAndConvertsBothWays) {
  const VELString text("a\0b", 3);
  VELBuffer b(text);
  EXPECT_EQ(3u, b.length());
  EXPECT_EQ(text, b.toString());
  EXPECT_EQ(VELBuffer(b.get()), b);
  b.append("cd", 2);
  EXPECT_EQ(VELString("a\0bcd", 5), b.toString());
  b.assign(nullptr, 0);
  EXPECT_TRUE(b.empty());
}

TEST(VELBufferTest, DisplayWritesUpperCaseHexPairs) {
  std::ostringstream out;
  out << bytes({0x00, 0x0A, 0xBC, 0xFF});
  EXPECT_EQ("000ABCFF", out.str());
}

TEST(VELFastBufferTest, CopiesAndMovesKeepTheBytes) {
  VELFastBuffer a("secret", 6);
  VELFastBuffer copy(a);
  EXPECT_EQ(VELString("secret"), VELString(reinterpret_cast<const char*>(copy.data()), copy.length()));
  EXPECT_NE(a.data(), copy.data());
  VELFastBuffer moved(std::move(copy));
  EXPECT_EQ(6u, moved.length());
  EXPECT_EQ(0u, copy.length());  // NOLINT(bugprone-use-after-move)
  VELFastBuffer assigned;
  assigned = a;
  assigned = assigned;  // self-assignment keeps the bytes
  EXPECT_EQ(0, std::memcmp(assigned.data(), "secret", 6));
  assigned.wipe();
  EXPECT_EQ(nullptr, assigned.data());
  EXPECT_EQ(0u, assigned.length());
}

TEST(VELASNBufferTest, SetKeepsWithinCapacity) {
  VELASNBuffer b(4);
  EXPECT_EQ(4u, b.capacity());
  EXPECT_EQ(0u, b.length());
  b.set("abcd", 4);
  EXPECT_EQ(4u, b.length());
  try {
    b.set("abcde", 5);
    FAIL() << "set beyond capacity accepted";
  } catch (const VELDBException& e) {
    EXPECT_EQ(VELDBError::kBadArgument, e.getError());
  }
  EXPECT_EQ(0, std::memcmp(b.data(), "abcd", 4));  // unchanged by the refused set
}

TEST(VELASNBufferTest, CropAndResetMoveTheView) {
  VELASNBuffer b(8, 1);
  b.set("abcdefgh", 8);
  b.crop(2, 3);
  EXPECT_EQ(3u, b.length());
  EXPECT_EQ(0, std::memcmp(b.data(), "cde", 3));
  b.crop(1, 100);  // clipped to what is there
  EXPECT_EQ(2u, b.length());
  EXPECT_THROW(b.crop(3, 1), VELDBException);
  b.crop(1);
  EXPECT_EQ(1u, b.length());
  b.reset();
  EXPECT_EQ(0u, b.length());
  EXPECT_EQ(0, b.data()[0]);
}

TEST(VELASNBufferTest, IsValidChecksPointerAndLengthAgainstTheView) {
  VELASNBuffer b(8);
  b.set("abcdef", 6);
  EXPECT_TRUE(b.isValid(6));
  EXPECT_FALSE(b.isValid(7));
  EXPECT_TRUE(b.isValid(b.data() + 2, 4));
  EXPECT_FALSE(b.isValid(b.data() + 2, 5));
  EXPECT_TRUE(b.isValid(b.data() + 6, 0));
  EXPECT_FALSE(b.isValid(b.data() + 7, 0));
}

}  // namespace
