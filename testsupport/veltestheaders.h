// veltestheaders.h -- table files of both header versions built byte by
// byte, with their hashes from OpenSSL, as another writer would leave them;
// and the two versions as types for the tests that ask both the same.
#ifndef TESTSUPPORT_VELTESTHEADERS_H
#define TESTSUPPORT_VELTESTHEADERS_H

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>

#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "velkry.h"
#include "veltesttablefiles.h"

namespace VELTestHeaders {

inline std::string md5(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out, &n, EVP_md5(), nullptr), 1);
  return std::string(reinterpret_cast<const char*>(out), n);
}

inline std::string hmacSha1(const std::string& key, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t n = 0;
  static const unsigned char kNoKey = 0;
  const unsigned char* k = key.empty() ? &kNoKey : reinterpret_cast<const unsigned char*>(key.data());
  EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, k, key.size(),
                      reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, sizeof out, &n),
            nullptr);
  return std::string(reinterpret_cast<const char*>(out), n);
}

inline std::string xor16(std::string a, const std::string& b) {
  for (std::size_t k = 0; k < 16; ++k) a[k] = static_cast<char>(a[k] ^ b[k]);
  return a;
}

// Version 3: MD5 of the first 64 bytes and the password, XORed with the
// MD5 of every slot and the password.
inline std::string v3DatabaseHash(const std::string& image, const std::string& pw) {
  const std::uint32_t length = VELTestTableFiles::bigEndian32(image, 16);
  const std::uint32_t count = VELTestTableFiles::bigEndian32(image, 20);
  std::string running = md5(image.substr(0, 64) + pw);
  for (std::uint32_t i = 0; i < count; ++i) {
    running = xor16(running, md5(image.substr(80 + static_cast<std::size_t>(i) * length, length) + pw));
  }
  return running;
}

inline std::string v3File(std::uint32_t length, std::uint32_t count, const std::string& pw, unsigned char major = 3) {
  const std::string common = VELTestTableFiles::handBuiltHeaderStart(major, 2, 0x5F000000u, "X509KEY", length, count,
                                                                     "salt-of-23-bytes-xxxxxx");
  const std::string image =
      common + md5(common + pw) + std::string(16, '\0') + VELTestTableFiles::handBuiltSlots(length, count, 7);
  return image.substr(0, 64) + v3DatabaseHash(image, pw) + image.substr(80);
}

// Version 4: HMAC-SHA1 keyed with the password, the database MAC over
// everything after its own field, in file order.
inline std::string v4File(std::uint32_t length, std::uint32_t count, const std::string& pw, unsigned char major = 4) {
  const std::string common = VELTestTableFiles::handBuiltHeaderStart(major, 1, 0x61000000u, "X509CRL", length, count,
                                                                     "another-salt-23-bytes!!");
  const std::string headerHash = hmacSha1(pw, common);
  const std::string slots = VELTestTableFiles::handBuiltSlots(length, count, 99);
  return common + headerHash + hmacSha1(pw, common + headerHash + slots) + slots;
}

class NoMD5Factory : public VELKRYAlgorithmFactory {
 public:
  std::unique_ptr<VELKRYDigest> createMD5Digest() const override { return nullptr; }
};

class NoMACFactory : public VELKRYAlgorithmFactory {
 public:
  std::unique_ptr<VELKRYDigest> createMAC(const VELASNCBuffer&) const override { return nullptr; }
  VELKRYAlgorithmFactory* copy() const override { return new NoMACFactory(*this); }
};

struct V3 {
  using Header = FileDBHeaderV3;
  using NoDigest = NoMD5Factory;
  static constexpr unsigned char kMajor = 3;
  static constexpr unsigned char kOther = 4;
  // A password with a zero byte added is another password.
  static constexpr bool kTrailingZeroCounts = true;
  static constexpr std::size_t kHeaderSize = 80;
  static constexpr std::size_t kHashSize = 16;
  // The database hash is a XOR over the slots: their order does not count.
  static constexpr bool kSlotOrderCounts = false;
  static std::string headerHash(const std::string& image, const std::string& pw) {
    return md5(image.substr(0, 48) + pw);
  }
  static std::string databaseHash(const std::string& image, const std::string& pw) {
    return v3DatabaseHash(image, pw);
  }
  static std::string file(std::uint32_t length, std::uint32_t count, const std::string& pw, unsigned char major = 3) {
    return v3File(length, count, pw, major);
  }
};

struct V4 {
  using Header = FileDBHeaderV4;
  using NoDigest = NoMACFactory;
  static constexpr unsigned char kMajor = 4;
  static constexpr unsigned char kOther = 3;
  // HMAC pads its key with zero bytes: a zero byte added to the password
  // makes the same MAC.
  static constexpr bool kTrailingZeroCounts = false;
  static constexpr std::size_t kHeaderSize = 88;
  static constexpr std::size_t kHashSize = 20;
  static constexpr bool kSlotOrderCounts = true;
  static std::string headerHash(const std::string& image, const std::string& pw) {
    return hmacSha1(pw, image.substr(0, 48));
  }
  static std::string databaseHash(const std::string& image, const std::string& pw) {
    return hmacSha1(pw, image.substr(0, 68) + image.substr(88));
  }
  static std::string file(std::uint32_t length, std::uint32_t count, const std::string& pw, unsigned char major = 4) {
    return v4File(length, count, pw, major);
  }
};

using Versions = ::testing::Types<V3, V4>;

}  // namespace VELTestHeaders

#endif
