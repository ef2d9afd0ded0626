// Plan: digests and the MAC match published vectors, in one piece and in many, and
// can be used again after finish; random data has the asked length and differs.
#include "velkry.h"

#include <gtest/gtest.h>

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

TEST(VELKRYDigestTest, MD5KnownVectors) {
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYDigest> md5 = factory.createMD5Digest();
  ASSERT_NE(nullptr, md5);
  EXPECT_EQ(16u, md5->size());
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", digestOf(*md5, ""));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", digestOf(*md5, "abc"));
}

TEST(VELKRYDigestTest, SHA1KnownVectorsAndReuse) {
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYDigest> sha1 = factory.createSHA1Digest();
  ASSERT_NE(nullptr, sha1);
  EXPECT_EQ(20u, sha1->size());
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", digestOf(*sha1, ""));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", digestOf(*sha1, "abc"));
  // The same object again, fed in pieces and through a view.
  sha1->init();
  sha1->update("a", 1);
  sha1->update(nullptr, 0);
  sha1->update(VELASNCBuffer("bc", 2));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", hex(sha1->finish()));
}

struct MacVector {
  std::string key;
  std::string data;
  const char* mac;
};

TEST(VELKRYMacTest, HmacSha1MatchesRfc2202) {
  const MacVector vectors[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
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

TEST(VELKRYMacTest, EmptyKeyIsAValidKey) {
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYDigest> mac = factory.createMAC(VELASNCBuffer());
  ASSERT_NE(nullptr, mac);
  EXPECT_EQ("fbdb1d1b18aa6c08324b7d64b71fb76370690e1d", digestOf(*mac, ""));
}

TEST(VELKRYMacTest, KeyIsCopiedAtCreation) {
  std::string key = "Jefe";
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYDigest> mac = factory.createMAC(VELASNCBuffer(key.data(), key.size()));
  key = "XXXX";  // the caller's bytes change after the object was made
  EXPECT_EQ("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", digestOf(*mac, "what do ya want for nothing?"));
}

TEST(VELKRYAlgorithmFactoryTest, CopyGivesWorkingFactory) {
  VELKRYAlgorithmFactory factory;
  std::unique_ptr<VELKRYAlgorithmFactory> copy(factory.copy());
  ASSERT_NE(nullptr, copy);
  std::unique_ptr<VELKRYDigest> sha1 = copy->createSHA1Digest();
  ASSERT_NE(nullptr, sha1);
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", digestOf(*sha1, "abc"));
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

}  // namespace
