// velkry.h -- cryptographic services: digests, the keyed MAC, random bytes.
//
// Everything is OpenSSL 3.  `VELKRYAlgorithmFactory` hands out MD5 and SHA-1
// digest objects and the HMAC-SHA1 object that keys the version-4 hashes; a
// factory may give none (null), which the callers report as 0x8BA66.
#ifndef VELCERT_VELKRY_H
#define VELCERT_VELKRY_H

#include <cstddef>
#include <memory>

#include "velbuffer.h"

// One running digest or MAC computation: init, any number of updates, finish.
class VELKRYDigest {
 public:
  virtual ~VELKRYDigest() = default;
  virtual void init() = 0;
  virtual void update(const void* data, std::size_t length) = 0;
  void update(const VELASNCBuffer& view) { update(view.data(), static_cast<std::size_t>(view.length())); }
  // Writes `size()` bytes to `out`; the object may be initialised again.
  virtual void finish(unsigned char* out) = 0;
  VELBuffer finish();
  virtual std::size_t size() const = 0;
};

class VELKRYAlgorithmFactory {
 public:
  VELKRYAlgorithmFactory() = default;
  virtual ~VELKRYAlgorithmFactory() = default;

  // New digest objects, owned by the caller; null when not available.
  virtual std::unique_ptr<VELKRYDigest> createMD5Digest() const;
  virtual std::unique_ptr<VELKRYDigest> createSHA1Digest() const;
  // HMAC-SHA1 keyed with `key` (20-byte result); null when not available.
  virtual std::unique_ptr<VELKRYDigest> createMAC(const VELASNCBuffer& key) const;
  // SHA-256, and HMAC-SHA256 keyed with `key` (32-byte results); null when
  // not available.
  virtual std::unique_ptr<VELKRYDigest> createSHA256Digest() const;
  virtual std::unique_ptr<VELKRYDigest> createSHA256MAC(const VELASNCBuffer& key) const;
  // A new copy of this factory, owned by the caller.
  virtual VELKRYAlgorithmFactory* copy() const;
};

class VELKRYUtility {
 public:
  // Fills `out` with `length` cryptographically random bytes.  `seed` and
  // `factory` may be null.  Throws `VELDBException` 0x8BA66 when the random
  // generator fails.
  static void generateRandomData(unsigned char* out, std::size_t length, const VELASNCBuffer* seed = nullptr,
                                 const VELKRYAlgorithmFactory* factory = nullptr);
  static VELBuffer generateRandomData(std::size_t length, const VELKRYAlgorithmFactory* factory = nullptr);
  // HKDF-SHA256 (RFC 5869) of `secret` with `salt` and `info` into `length`
  // bytes at `out`.  Throws kNoDigest (with `out` wiped) when it cannot.
  static void deriveKeyHKDFSHA256(const VELASNCBuffer& secret, const VELASNCBuffer& salt, const VELASNCBuffer& info,
                                  unsigned char* out, std::size_t length);
  // AES-256 key wrap (RFC 3394) of the 32-byte `key` under the 32-byte
  // `kek` into `out` (40 bytes).  Throws kNoDigest when it cannot.
  static void wrapKeyAES256(const unsigned char* kek, const unsigned char* key, unsigned char* out);
  // The reverse: true, with the key in `key` (32 bytes), when `wrapped` (40
  // bytes) was wrapped under `kek`; false (and `key` wiped) otherwise.
  static bool unwrapKeyAES256(const unsigned char* kek, const unsigned char* wrapped, unsigned char* key);
};

#endif
