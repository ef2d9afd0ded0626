#include "velkry.h"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "velexception.h"

namespace {

// Algorithms are fetched once per process; fetching is far dearer than a
// digest of one slot.
const EVP_MD* md5() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  return md;
}

const EVP_MD* sha1() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return md;
}

const EVP_MD* sha256() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

EVP_MAC* hmac() {
  static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return mac;
}

class EvpDigest : public VELKRYDigest {
 public:
  EvpDigest(const EVP_MD* md, EVP_MD_CTX* ctx) : d_md(md), d_ctx(ctx) {}
  ~EvpDigest() override { EVP_MD_CTX_free(d_ctx); }
  void init() override {
    if (EVP_DigestInit_ex(d_ctx, d_md, nullptr) != 1) VELDB_THROW(VELDBError::kNoDigest, "digest init");
  }
  void update(const void* data, std::size_t length) override {
    if (length == 0) return;
    if (EVP_DigestUpdate(d_ctx, data, length) != 1) VELDB_THROW(VELDBError::kNoDigest, "digest update");
  }
  void finish(unsigned char* out) override {
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(d_ctx, out, &n) != 1) VELDB_THROW(VELDBError::kNoDigest, "digest final");
  }
  std::size_t size() const override { return static_cast<std::size_t>(EVP_MD_get_size(d_md)); }

 private:
  const EVP_MD* d_md;
  EVP_MD_CTX* d_ctx;
};

// HMAC over the digest `digestName` (a literal), `resultSize` bytes; the key
// copy is wiped when the object goes.
class Hmac : public VELKRYDigest {
 public:
  Hmac(EVP_MAC_CTX* ctx, const VELASNCBuffer& key, const char* digestName, std::size_t resultSize)
      : d_ctx(ctx), d_key(key.data(), key.length()), d_digestName(digestName), d_size(resultSize) {}
  ~Hmac() override {
    EVP_MAC_CTX_free(d_ctx);
    if (d_key.length() > 0) OPENSSL_cleanse(const_cast<unsigned char*>(d_key.data()), d_key.length());
  }
  void init() override {
    static const unsigned char kNoKey = 0;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(d_digestName), 0),
                           OSSL_PARAM_END};
    const unsigned char* key = d_key.length() > 0 ? d_key.data() : &kNoKey;
    if (EVP_MAC_init(d_ctx, key, d_key.length(), params) != 1) VELDB_THROW(VELDBError::kNoDigest, "mac init");
  }
  void update(const void* data, std::size_t length) override {
    if (length == 0) return;
    if (EVP_MAC_update(d_ctx, static_cast<const unsigned char*>(data), length) != 1) {
      VELDB_THROW(VELDBError::kNoDigest, "mac update");
    }
  }
  void finish(unsigned char* out) override {
    std::size_t n = 0;
    if (EVP_MAC_final(d_ctx, out, &n, d_size) != 1 || n != d_size) VELDB_THROW(VELDBError::kNoDigest, "mac final");
  }
  std::size_t size() const override { return d_size; }

 private:
  EVP_MAC_CTX* d_ctx;
  VELFastBuffer d_key;
  const char* d_digestName;
  std::size_t d_size;
};

std::unique_ptr<VELKRYDigest> makeHmac(const VELASNCBuffer& key, const char* digestName, std::size_t resultSize) {
  EVP_MAC* mac = hmac();
  if (mac == nullptr) return nullptr;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  if (ctx == nullptr) return nullptr;
  return std::unique_ptr<VELKRYDigest>(new Hmac(ctx, key, digestName, resultSize));
}

std::unique_ptr<VELKRYDigest> makeDigest(const EVP_MD* md) {
  if (md == nullptr) return nullptr;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return nullptr;
  return std::unique_ptr<VELKRYDigest>(new EvpDigest(md, ctx));
}

}  // namespace

VELBuffer VELKRYDigest::finish() {
  VELBuffer out;
  out.resize(size());
  finish(out.data());
  return out;
}

std::unique_ptr<VELKRYDigest> VELKRYAlgorithmFactory::createMD5Digest() const { return makeDigest(md5()); }

std::unique_ptr<VELKRYDigest> VELKRYAlgorithmFactory::createSHA1Digest() const { return makeDigest(sha1()); }

std::unique_ptr<VELKRYDigest> VELKRYAlgorithmFactory::createMAC(const VELASNCBuffer& key) const {
  return makeHmac(key, "SHA1", 20);
}

std::unique_ptr<VELKRYDigest> VELKRYAlgorithmFactory::createSHA256Digest() const { return makeDigest(sha256()); }

std::unique_ptr<VELKRYDigest> VELKRYAlgorithmFactory::createSHA256MAC(const VELASNCBuffer& key) const {
  return makeHmac(key, "SHA256", 32);
}

VELKRYAlgorithmFactory* VELKRYAlgorithmFactory::copy() const { return new VELKRYAlgorithmFactory(*this); }

void VELKRYUtility::generateRandomData(unsigned char* out, std::size_t length, const VELASNCBuffer*,
                                       const VELKRYAlgorithmFactory*) {
  if (length == 0) return;
  if (RAND_bytes(out, static_cast<int>(length)) != 1) {
    VELDB_THROW(VELDBError::kNoDigest, "random generator failed");
  }
}

VELBuffer VELKRYUtility::generateRandomData(std::size_t length, const VELKRYAlgorithmFactory* factory) {
  VELBuffer out;
  out.resize(length);
  generateRandomData(out.data(), length, nullptr, factory);
  return out;
}

void VELKRYUtility::deriveKeyHKDFSHA256(const VELASNCBuffer& secret, const VELASNCBuffer& salt,
                                        const VELASNCBuffer& info, unsigned char* out, std::size_t length) {
  // Where an empty input's bytes are: never a null pointer.
  static const unsigned char kNoBytes[1] = {0};
  auto bytes = [](const VELASNCBuffer& b) { return const_cast<unsigned char*>(b.length() > 0 ? b.data() : kNoBytes); };
  static EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_KDF_CTX* ctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, bytes(secret), secret.length()),
                         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, bytes(salt), salt.length()),
                         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, bytes(info), info.length()),
                         OSSL_PARAM_construct_end()};
  const bool ok = ctx != nullptr && EVP_KDF_derive(ctx, out, length, params) == 1;
  EVP_KDF_CTX_free(ctx);
  if (!ok) {
    OPENSSL_cleanse(out, length);
    VELDB_THROW(VELDBError::kNoDigest, "HKDF-SHA256 key derivation");
  }
}

namespace {

// One AES-256 key-wrap pass (RFC 3394) of `in` into `out`; false when
// OpenSSL refuses (for an unwrap: the integrity check failed).
bool keyWrap(bool wrap, const unsigned char* kek, const unsigned char* in, int inLength, unsigned char* out,
             int expected) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return false;
  EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  int n = 0;
  int tail = 0;
  const bool ok = EVP_CipherInit_ex(ctx, EVP_aes_256_wrap(), nullptr, kek, nullptr, wrap ? 1 : 0) == 1 &&
                  EVP_CipherUpdate(ctx, out, &n, in, inLength) == 1 && EVP_CipherFinal_ex(ctx, out + n, &tail) == 1 &&
                  n + tail == expected;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

}  // namespace

void VELKRYUtility::wrapKeyAES256(const unsigned char* kek, const unsigned char* key, unsigned char* out) {
  if (!keyWrap(true, kek, key, 32, out, 40)) VELDB_THROW(VELDBError::kNoDigest, "AES-256 key wrap");
}

bool VELKRYUtility::unwrapKeyAES256(const unsigned char* kek, const unsigned char* wrapped, unsigned char* key) {
  // The output may take a whole block more than the key while it is worked.
  unsigned char out[48];
  const bool ok = keyWrap(false, kek, wrapped, 40, out, 32);
  if (ok) std::memcpy(key, out, 32);
  OPENSSL_cleanse(out, sizeof out);
  if (!ok) OPENSSL_cleanse(key, 32);
  return ok;
}
