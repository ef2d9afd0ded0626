#include "filedbjournalkey.h"

#include <openssl/crypto.h>

#include <cstring>
#include <string>

#include "velexception.h"
#include "velkry.h"

const char FileDBJournalKey::kTableJournal[] = "table journal";
const char FileDBJournalKey::kTransactionFile[] = "transaction file";
const char FileDBJournalKey::kPasswordJournal[] = "password journal";

namespace {

const char kSalt[] = "velfiledb journal key";

// The one algorithm source of the process, as for every other digest.
const VELKRYAlgorithmFactory& algorithms() {
  static const VELKRYAlgorithmFactory factory;
  return factory;
}

// Runs `digest` over the pieces into `out`; kNoDigest with `what` when
// there is no digest.
void digestPieces(VELKRYDigest* digest, const char* what, unsigned char* out,
                  std::initializer_list<FileDBJournalKey::Piece> pieces) {
  if (digest == nullptr) VELDB_THROW(VELDBError::kNoDigest, what);
  digest->init();
  for (const FileDBJournalKey::Piece& piece : pieces) digest->update(piece.first, piece.second);
  digest->finish(out);
}

}  // namespace

FileDBJournalKey::FileDBJournalKey(const VELPasswordEncryptor& password, const char* purpose, const VELString& path) {
  const VELFastBuffer clear = password.getClearPassword();
  std::string info(purpose);
  info.push_back('\0');
  info += baseName(path);
  VELKRYUtility::deriveKeyHKDFSHA256(VELASNCBuffer(clear.data(), clear.length()),
                                     VELASNCBuffer(reinterpret_cast<const unsigned char*>(kSalt), sizeof kSalt - 1),
                                     VELASNCBuffer(reinterpret_cast<const unsigned char*>(info.data()), info.size()),
                                     d_key, kSize);
}

FileDBJournalKey::FileDBJournalKey(const unsigned char* raw) { std::memcpy(d_key, raw, kSize); }

FileDBJournalKey::~FileDBJournalKey() { OPENSSL_cleanse(d_key, kSize); }

void FileDBJournalKey::wrap(const unsigned char* key, unsigned char* out) const {
  VELKRYUtility::wrapKeyAES256(d_key, key, out);
}

bool FileDBJournalKey::unwrap(const unsigned char* wrapped, unsigned char* key) const {
  return VELKRYUtility::unwrapKeyAES256(d_key, wrapped, key);
}

void FileDBJournalKey::mac(unsigned char* out, std::initializer_list<Piece> pieces) const {
  digestPieces(algorithms().createSHA256MAC(VELASNCBuffer(d_key, kSize)).get(), "journal MAC", out, pieces);
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
  digestPieces(algorithms().createSHA256Digest().get(), "journal checksum", out, pieces);
}
