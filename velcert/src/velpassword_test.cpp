// Plan: equality of passwords compares presence, length and every byte; the clear
// password comes back exactly as given, zero bytes included, without a terminator.
#include "velpassword.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(VELPasswordEncryptorTest, EqualityNeedsPresenceSameBytesAndLength) {
  const VELPasswordEncryptor a("secret", 6);
  EXPECT_TRUE(a == VELPasswordEncryptor("secret", 6));
  EXPECT_TRUE(a == VELPasswordEncryptor(VELBuffer("secret", 6)));
  EXPECT_TRUE(a != VELPasswordEncryptor("secreT", 6));  // last byte differs
  EXPECT_TRUE(a != VELPasswordEncryptor("Secret", 6));  // first byte differs
  EXPECT_TRUE(a != VELPasswordEncryptor("secret", 5));  // prefix
  EXPECT_TRUE(a != VELPasswordEncryptor("secret!", 7));
  EXPECT_TRUE(VELPasswordEncryptor(a) == a);
  // An absent password is not an empty one.
  const VELPasswordEncryptor absent;
  const VELPasswordEncryptor empty("", 0);
  EXPECT_FALSE(absent.isPresent());
  EXPECT_TRUE(empty.isPresent());
  EXPECT_TRUE(absent == VELPasswordEncryptor());
  EXPECT_TRUE(empty == VELPasswordEncryptor("", 0));
  EXPECT_TRUE(absent != empty);
}

TEST(VELPasswordEncryptorTest, ClearPasswordIsTheBytesAsGiven) {
  const char raw[] = {'p', '\0', 'w', '\xFF'};
  const VELPasswordEncryptor p(raw, sizeof raw);
  const VELFastBuffer clear = p.getClearPassword();
  ASSERT_EQ(sizeof raw, clear.length());
  EXPECT_EQ(0, std::memcmp(raw, clear.data(), sizeof raw));
  EXPECT_TRUE(p != VELPasswordEncryptor("p", 1));  // not cut at the zero byte
}

}  // namespace
