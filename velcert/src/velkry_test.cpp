// Plan: digests and the MAC match published vectors, in one piece and in many, and
// can be used again after finish; random data has the asked length and differs.
#include "velkry.h"

#include <gtest/gtest.h>

#include <cstring>

#include <cctype>
#include <memory>
#include <sstream>
#include <string>

namespace {

std::string hex(const VELBuffer& b) {
  std::ostringstream out;
  out << b;
  std::string s = out.str();
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string digestOf(VELKRYDigest& d, const std::string& data) {
  d.init();
  d.update(data.data(), data.size());
  return hex(d.finish());
}

// The size of `d` and its digests of "" and "abc".
void expectKnownVectors(VELKRYDigest& d, std::size_t size, const std::string& empty, const std::string& abc) {
  EXPECT_EQ(size, d.size());
  EXPECT_EQ(empty, digestOf(d, ""));
  EXPECT_EQ(abc, digestOf(d, "abc"));
}

TEST(VELKRYDigestTest, MD5AndSHA1KnownVectorsAndReuse) {
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYDigest> md5 = factory.createMD5Digest();
  ASSERT_NE(nullptr, md5);
  expectKnownVectors(*md5, 16, "d41d8cd98f00b204e9800998ecf8427e", "900150983cd24fb0d6963f7d28e17f72");
  std::unique_ptr<VELKRYDigest> sha1 = factory.createSHA1Digest();
  ASSERT_NE(nullptr, sha1);
  expectKnownVectors(*sha1, 20, "da39a3ee5e6b4b0d3255bfef95601890afd80709", "a9993e364706816aba3e25717850c26c9cd0d89d");
  // The same object again, fed in pieces and through a view.
  sha1->init();
  sha1->update("a", 1);
  sha1->update(nullptr, 0);
  sha1->update(VELASNCBuffer("bc", 2));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", hex(sha1->finish()));
  // A copy of the factory makes working digests too.
  std::unique_ptr<VELKRYAlgorithmFactory> copy(factory.copy());
  ASSERT_NE(nullptr, copy);
  std::unique_ptr<VELKRYDigest> fromCopy = copy->createSHA1Digest();
  ASSERT_NE(nullptr, fromCopy);
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", digestOf(*fromCopy, "abc"));
}

struct MacVector {
  std::string key;
  std::string data;
  const char* mac;
};

TEST(VELKRYMacTest, HmacSha1MatchesRfc2202AndTakesAnEmptyKey) {
  const MacVector vectors[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {"", "", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},  // an empty key is a key
  };
  VELKRYAlgorithmFactory factory;
  for (const MacVector& v : vectors) {
    std::unique_ptr<VELKRYDigest> mac = factory.createMAC(VELASNCBuffer(v.key.data(), v.key.size()));
    ASSERT_NE(nullptr, mac);
    EXPECT_EQ(20u, mac->size());
    EXPECT_EQ(v.mac, digestOf(*mac, v.data)) << v.data;
    EXPECT_EQ(v.mac, digestOf(*mac, v.data)) << "second use of one object";
  }
}

TEST(VELKRYMacTest, KeyIsCopiedAtCreation) {
  std::string key = "Jefe";
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYDigest> mac = factory.createMAC(VELASNCBuffer(key.data(), key.size()));
  key = "XXXX";  // the caller's bytes change after the object was made
  EXPECT_EQ("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", digestOf(*mac, "what do ya want for nothing?"));
}

TEST(VELKRYUtilityTest, RandomDataHasLengthAndDiffers) {
  const VELBuffer a = VELKRYUtility::generateRandomData(23);
  const VELBuffer b = VELKRYUtility::generateRandomData(23);
  EXPECT_EQ(23u, a.length());
  EXPECT_NE(a, b);
  EXPECT_TRUE(VELKRYUtility::generateRandomData(0).empty());
  unsigned char raw[32] = {};
  VELKRYUtility::generateRandomData(raw, sizeof raw);
  EXPECT_NE(VELBuffer(raw, sizeof raw), VELBuffer(std::string(32, '\0')));
}

}  // namespace

namespace {

TEST(VELKRYSha256Test, DigestMacAndKeyDerivationMatchTheirStandards) {
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYDigest> sha256 = factory.createSHA256Digest();
  ASSERT_NE(nullptr, sha256);
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", digestOf(*sha256, "abc"));
  // RFC 4231, test case 2.
  std::unique_ptr<VELKRYDigest> mac = factory.createSHA256MAC(VELASNCBuffer("Jefe", 4));
  ASSERT_NE(nullptr, mac);
  EXPECT_EQ(32u, mac->size());
  EXPECT_EQ("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
            digestOf(*mac, "what do ya want for nothing?"));
  // RFC 5869, test case 1.
  const std::string ikm(22, '\x0b');
  const unsigned char salt[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const unsigned char info[] = {0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9};
  VELBuffer okm;
  okm.resize(42);
  VELKRYUtility::deriveKeyHKDFSHA256(VELASNCBuffer(ikm.data(), ikm.size()), VELASNCBuffer(salt, sizeof salt),
                                     VELASNCBuffer(info, sizeof info), okm.data(), okm.size());
  EXPECT_EQ("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865", hex(okm));
}

// RFC 3394, 4.6: 256 bits of key data under a 256-bit key; the wrapped key
// opens under that key only, and not once a bit of it changed.
TEST(VELKRYUtilityTest, KeyWrapMatchesItsStandardAndOpensUnderItsKeyOnly) {
  unsigned char kek[32];
  unsigned char key[32];
  for (int i = 0; i < 32; ++i) kek[i] = static_cast<unsigned char>(i);
  const unsigned char data[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  std::memcpy(key, data, 16);
  for (int i = 0; i < 16; ++i) key[16 + i] = static_cast<unsigned char>(i);
  VELBuffer wrapped;
  wrapped.resize(40);
  VELKRYUtility::wrapKeyAES256(kek, key, wrapped.data());
  EXPECT_EQ("28c9f404c4b810f4cbccb35cfb87f8263f5786e2d80ed326cbc7f0e71a99f43bfb988b9b7a02dd21", hex(wrapped));
  unsigned char opened[32];
  ASSERT_TRUE(VELKRYUtility::unwrapKeyAES256(kek, wrapped.data(), opened));
  EXPECT_EQ(0, std::memcmp(opened, key, 32));
  kek[0] ^= 1;
  EXPECT_FALSE(VELKRYUtility::unwrapKeyAES256(kek, wrapped.data(), opened));
  kek[0] ^= 1;
  wrapped.data()[39] ^= 1;
  EXPECT_FALSE(VELKRYUtility::unwrapKeyAES256(kek, wrapped.data(), opened));
}

}  // namespace
