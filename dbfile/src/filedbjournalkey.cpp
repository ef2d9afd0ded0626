#include "filedbjournalkey.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstring>
#include <string>

#include "velexception.h"

const char FileDBJournalKey::kTableJournal[] = "table journal";
const char FileDBJournalKey::kTransactionFile[] = "transaction file";
const char FileDBJournalKey::kPasswordJournal[] = "password journal";

namespace {

const char kSalt[] = "velfiledb journal key";

// Where an empty password's (zero) bytes are: never a null pointer.
const unsigned char kNoBytes[1] = {0};

}  // namespace

FileDBJournalKey::FileDBJournalKey(const VELPasswordEncryptor& password, const char* purpose, const VELString& path) {
  const VELFastBuffer clear = password.getClearPassword();
  std::string info(purpose);
  info.push_back('\0');
  info += baseName(path);
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_KDF_CTX* ctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
  EVP_KDF_free(kdf);
  char digest[] = "SHA256";
  const bool empty = clear.length() == 0;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                        const_cast<unsigned char*>(empty ? kNoBytes : clear.data()),
                                        clear.length()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(kSalt), sizeof kSalt - 1),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, &info[0], info.size()),
      OSSL_PARAM_construct_end()};
  const bool ok = ctx != nullptr && EVP_KDF_derive(ctx, d_key, kSize, params) == 1;
  EVP_KDF_CTX_free(ctx);
  if (!ok) {
    OPENSSL_cleanse(d_key, kSize);
    VELDB_THROW(VELDBError::kNoDigest, "journal key derivation");
  }
}

FileDBJournalKey::~FileDBJournalKey() { OPENSSL_cleanse(d_key, kSize); }

void FileDBJournalKey::mac(unsigned char* out, std::initializer_list<Piece> pieces) const {
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* ctx = hmac != nullptr ? EVP_MAC_CTX_new(hmac) : nullptr;
  EVP_MAC_free(hmac);
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
  bool ok = ctx != nullptr && EVP_MAC_init(ctx, d_key, kSize, params) == 1;
  for (const Piece& piece : pieces) {
    if (ok && piece.second > 0) ok = EVP_MAC_update(ctx, static_cast<const unsigned char*>(piece.first), piece.second) == 1;
  }
  std::size_t length = 0;
  ok = ok && EVP_MAC_final(ctx, out, &length, kSize) == 1 && length == kSize;
  EVP_MAC_CTX_free(ctx);
  if (!ok) VELDB_THROW(VELDBError::kNoDigest, "journal MAC");
}

bool FileDBJournalKey::verify(const unsigned char* expected, std::initializer_list<Piece> pieces) const {
  unsigned char computed[kSize];
  mac(computed, pieces);
  return CRYPTO_memcmp(computed, expected, kSize) == 0;
}

VELString FileDBJournalKey::baseName(const VELString& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : VELString(path.substr(slash + 1));
}

void FileDBJournalKey::checksum(unsigned char* out, std::initializer_list<Piece> pieces) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
  for (const Piece& piece : pieces) {
    if (ok && piece.second > 0) ok = EVP_DigestUpdate(ctx, piece.first, piece.second) == 1;
  }
  ok = ok && EVP_DigestFinal_ex(ctx, out, nullptr) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) VELDB_THROW(VELDBError::kNoDigest, "journal checksum");
}
