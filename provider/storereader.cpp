#include "storereader.h"

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "filedbmanager.h"
#include "storeerror.h"
#include "velexception.h"

namespace velstore {

namespace {

const char* const kTableSuffixes[] = {".vkey", ".vkyp", ".vcrl"};

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Labels and names come from whoever wrote the database: control
// characters are shown as "?", so that an error line stays one line.
std::string shown(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

std::string describeRecord(const char* table, const VELASNRecord& r) {
  return std::string(table) + " #" + std::to_string(r.getRecordID().getUnsignedValue()) + " \"" +
         shown(r.getLabel().getValue()) + "\"";
}

std::vector<unsigned char> bytesOf(const VELASNCBuffer& b) {
  return std::vector<unsigned char>(b.data(), b.data() + b.length());
}

// --- the database's errors --------------------------------------------------

std::string errorText(const VELException& e) {
  char number[32];
  std::snprintf(number, sizeof number, "error 0x%lX", e.getError());
  std::string text = std::string(number) + " (" + VELDBError::meaning(e.getError()) + ")";
  if (!e.getMessage().empty()) text += ": " + e.getMessage();
  return shown(text);
}

[[noreturn]] void throwDatabaseError(const VELException& e, const std::string& base) {
  Reason reason = Reason::kDatabase;
  switch (e.getError()) {
    case VELDBError::kBadPassword:
      throw StoreError(Reason::kWrongPassword, "database " + shown(base) + ": wrong password (" + errorText(e) + ")");
    case VELDBError::kCannotOpen:
      if (!fileExists(base + kTableSuffixes[0])) {
        throw StoreError(Reason::kNoDatabase, "no database " + shown(base) + " (no " + shown(base) + ".vkey file)");
      }
      break;
    case VELDBError::kBadFormat:
    case VELDBError::kBadMajorVersion:
    case VELDBError::kHashMismatch:
    case VELDBError::kRead:
      reason = Reason::kDamaged;
      break;
    default:
      break;
  }
  throw StoreError(reason, "database " + shown(base) + ": " + errorText(e));
}

// --- waiting for a writer ---------------------------------------------------

// True when another open file description holds a write lock on byte 0 of
// `path`, where the library locks a table it writes.
bool writeLocked(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  const bool locked = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
  close(fd);
  return locked;
}

// For a lock refusal `e`: true when it goes away once another process lets
// go (a lock held, a writer's journal); throws kInterrupted for a journal
// that nobody is writing.
bool isContention(const VELException& e, const std::string& base) {
  if (e.getError() != VELDBError::kLock) return false;
  if (e.hasExtra() && e.getExtra() != 0) return true;
  bool journal = false;
  for (const char* suffix : kTableSuffixes) {
    const std::string table = base + suffix;
    if (writeLocked(table)) return true;
    journal = journal || fileExists(table + "-journal") || fileExists(table + "-password-journal");
  }
  if (!journal) return true;  // the writer finished between the refusal and the look
  throw StoreError(Reason::kInterrupted, "database " + shown(base) +
                                             ": an interrupted change is pending; run `velkdb recover -d " +
                                             shown(base) + "` (or any velkdb command that writes) to finish it");
}

std::unique_ptr<FileDBManager> openDatabase(const std::string& base, const SecretBytes& password, double lockWait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(lockWait));
  std::minstd_rand jitter(static_cast<unsigned>(start.time_since_epoch().count()));
  const VELPasswordEncryptor encryptor(password.data(), password.size());
  for (unsigned attempt = 0;; ++attempt) {
    try {
      return std::unique_ptr<FileDBManager>(new FileDBManager(
          VELDBConnectInfo::FILE(base, encryptor, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly)));
    } catch (const VELException& e) {
      if (!isContention(e, base)) throwDatabaseError(e, base);
      const Clock::time_point now = Clock::now();
      if (now >= deadline) {
        char waited[160];
        std::snprintf(waited, sizeof waited,
                      ": in use by another process after waiting %.1f s (the provider's lock-wait sets the wait)",
                      std::chrono::duration<double>(now - start).count());
        throw StoreError(Reason::kInUse, "database " + shown(base) + waited);
      }
      // 10 ms doubling to 200 ms, each between half and all of it.
      const unsigned full = attempt >= 5 ? 200u : std::min(200u, 10u << attempt);
      const auto pause = std::chrono::milliseconds(full / 2 + jitter() % (full / 2 + 1));
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    }
  }
}

// --- matching ---------------------------------------------------------------

struct OsslFree {
  void operator()(X509_NAME* p) const { X509_NAME_free(p); }
  void operator()(ASN1_INTEGER* p) const { ASN1_INTEGER_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(X509_SIG* p) const { X509_SIG_free(p); }
  void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};

std::string trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// The DER of a name written "CN=a,O=b" (most specific first, "\," for a
// comma in a value) or "/O=b/CN=a" (most specific last).
VELASNx500Name parseName(const std::string& text) {
  const bool slashes = !text.empty() && text[0] == '/';
  const char separator = slashes ? '/' : ',';
  std::vector<std::string> parts(1);
  for (std::size_t i = slashes ? 1 : 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      parts.back() += text[++i];
    } else if (text[i] == separator) {
      parts.emplace_back();
    } else {
      parts.back() += text[i];
    }
  }
  if (!slashes) std::reverse(parts.begin(), parts.end());
  std::unique_ptr<X509_NAME, OsslFree> name(X509_NAME_new());
  if (!name) throw StoreError(Reason::kBadURI, "issuer: out of memory");
  for (const std::string& raw : parts) {
    const std::string part = trim(raw);
    if (part.empty()) continue;
    const std::size_t eq = part.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw StoreError(Reason::kBadURI, "issuer \"" + shown(text) + "\": \"" + shown(part) + "\" is not TYPE=value");
    }
    std::string type = trim(part.substr(0, eq));
    if (OBJ_txt2nid(type.c_str()) == NID_undef) {
      for (char& c : type) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    const std::string value = trim(part.substr(eq + 1));
    if (X509_NAME_add_entry_by_txt(name.get(), type.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) != 1) {
      ERR_clear_error();
      throw StoreError(Reason::kBadURI, "issuer \"" + shown(text) + "\": unknown attribute \"" + shown(type) + "\"");
    }
  }
  if (X509_NAME_entry_count(name.get()) == 0) throw StoreError(Reason::kBadURI, "issuer: empty name");
  unsigned char* der = nullptr;
  const int n = i2d_X509_NAME(name.get(), &der);
  if (n <= 0) throw StoreError(Reason::kBadURI, "issuer \"" + shown(text) + "\" does not encode");
  VELASNx500Name out(VELASNCBuffer(der, static_cast<std::uint64_t>(n)));
  OPENSSL_free(der);
  return out;
}

std::string serialOf(const VELASNCertificate& cert) {
  const VELASNCBuffer der = cert.getSerialNumberEncoding();
  const unsigned char* p = der.data();
  std::unique_ptr<ASN1_INTEGER, OsslFree> serial(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.length())));
  std::unique_ptr<BIGNUM, OsslFree> bn(serial ? ASN1_INTEGER_to_BN(serial.get(), nullptr) : nullptr);
  char* hex = bn ? BN_bn2hex(bn.get()) : nullptr;
  ERR_clear_error();
  if (hex == nullptr) return std::string();
  const std::string out = normalizeSerial(hex);
  OPENSSL_free(hex);
  return out;
}

std::string fingerprintOf(const VELASNCBuffer& der, bool sha1) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(der.data(), static_cast<std::size_t>(der.length()), md, &n, sha1 ? EVP_sha1() : EVP_sha256(),
                 nullptr) != 1) {
    ERR_clear_error();
    throw StoreError(Reason::kDatabase, std::string("no ") + (sha1 ? "SHA-1" : "SHA-256") + " digest available");
  }
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += "0123456789ABCDEF"[md[i] >> 4];
    out += "0123456789ABCDEF"[md[i] & 15];
  }
  return out;
}

// --- collecting ---------------------------------------------------------------

class Collector {
 public:
  Collector(FileDBManager& db, const StoreQuery& query, const ReadOptions& options)
      : d_db(db), d_query(query), d_options(options) {
    if (!options.subject.empty()) {
      d_subject.reset(new VELASNx500Name(VELASNCBuffer(options.subject.data(), options.subject.size())));
    }
  }

  std::vector<StoreObject> run() {
    switch (d_query.select) {
      case StoreQuery::Select::kAll:
        allKeys(false);
        if (!d_subject) allKeyPairs();
        allCRLs();
        break;
      case StoreQuery::Select::kTrusted:
        allKeys(true);
        break;
      case StoreQuery::Select::kCRLs:
        allCRLs();
        break;
      case StoreQuery::Select::kLabel:
      case StoreQuery::Select::kID:
        oneByIndex();
        break;
      case StoreQuery::Select::kFingerprint:
      case StoreQuery::Select::kSerial:
        oneCertificate();
        break;
    }
    return std::move(d_out);
  }

 private:
  bool subjectMatches(const VELASNx500Name& name) const { return !d_subject || name.compare(*d_subject) == 0; }

  void push(StoreObject::Kind kind, const VELASNCBuffer& der, const std::string& description) {
    StoreObject o;
    o.kind = kind;
    o.der = bytesOf(der);
    o.description = description;
    d_out.push_back(std::move(o));
  }

  // `certificateOnly`: a trust anchor, whatever else the record holds.
  void addKeyRecord(const VELASNKeyRecord& r, bool certificateOnly = false) {
    if (!r.hasCertificate()) return;
    const VELASNCertificate& cert = r.getCertificate();
    if (!subjectMatches(cert.getSubject())) return;
    const std::string description = describeRecord("keys", r);
    if (d_options.certificates) push(StoreObject::Kind::kCertificate, cert.getEncoding(), description);
    if (d_subject || certificateOnly) return;  // an issuer lookup wants no keys
    if (d_options.privateKeys && r.hasPrivateKey()) {
      push(StoreObject::Kind::kPrivateKey, r.getPrivateKey().getEncoding(), description);
    }
    if (d_options.publicKeys) {
      push(StoreObject::Kind::kPublicKey, cert.getSubjectPublicKeyInfoEncoding(), description);
    }
  }

  void addKeyPairRecord(const VELASNKeyPairRecord& r) {
    if (!r.hasKeyPair()) return;
    const std::string description = describeRecord("keypairs", r);
    if (d_options.privateKeys) push(StoreObject::Kind::kPrivateKey, r.getKeyPair().getPrivateKeyEncoding(), description);
    if (d_options.publicKeys) {
      push(StoreObject::Kind::kPublicKey, r.getKeyPair().getSubjectPublicKeyInfoEncoding(), description);
    }
  }

  void addCRLRecord(const VELASNCRLRecord& r) {
    if (!d_options.crls || !r.hasCRL() || !subjectMatches(r.getCRL().getIssuer())) return;
    push(StoreObject::Kind::kCRL, r.getCRL().getEncoding(), describeRecord("crls", r));
  }

  void allKeys(bool trustedOnly) {
    if (!d_options.certificates && (trustedOnly || (!d_options.privateKeys && !d_options.publicKeys))) return;
    std::unique_ptr<VELDBIterator> it(d_db.getKeyIterator());
    while (std::unique_ptr<VELASNKeyRecord> r{d_db.getKeyNextRecord(*it)}) {
      if (!trustedOnly || r->isTrusted()) addKeyRecord(*r, trustedOnly);
    }
  }

  void allKeyPairs() {
    if ((!d_options.privateKeys && !d_options.publicKeys) || !d_db.isKeyPairEnabled()) return;
    std::unique_ptr<VELDBIterator> it(d_db.getKeyPairIterator());
    while (std::unique_ptr<VELASNKeyPairRecord> r{d_db.getKeyPairNextRecord(*it)}) addKeyPairRecord(*r);
  }

  void requireCRLTable() {
    if (!d_db.isCRLEnabled() && fileExists(d_query.base + kTableSuffixes[2])) {
      throw StoreError(Reason::kDamaged, "database " + shown(d_query.base) + ": the CRL table " +
                                             shown(d_query.base) + ".vcrl does not open (`velkdb verify -d " +
                                             shown(d_query.base) + "` tells why)");
    }
  }

  void allCRLs() {
    if (!d_options.crls) return;
    requireCRLTable();
    if (!d_db.isCRLEnabled()) return;
    std::unique_ptr<VELDBIterator> it(d_db.getCRLIterator());
    while (std::unique_ptr<VELASNCRLRecord> r{d_db.getCRLNextRecord(*it)}) addCRLRecord(*r);
  }

  // A label or ID names a record of the key table, else of the key-pair
  // table, else of the CRL table (IDs are per table: the first wins).
  void oneByIndex() {
    const bool byLabel = d_query.select == StoreQuery::Select::kLabel;
    VELASNLabelString label(d_query.label);
    VELASNInteger id;
    id.setUnsignedValue(d_query.id);
    const VELASNObject& key = byLabel ? static_cast<const VELASNObject&>(label) : id;
    const std::string what = byLabel ? "labelled \"" + shown(d_query.label) + "\"" : "#" + std::to_string(d_query.id);
    if (std::unique_ptr<VELASNKeyRecord> r{
            d_db.getKeyByIndex(byLabel ? VELDBManager::KeyLabel : VELDBManager::KeyRecordID, key)}) {
      addKeyRecord(*r);
      requireSomething(describeRecord("keys", *r));
      return;
    }
    if (d_db.isKeyPairEnabled()) {
      if (std::unique_ptr<VELASNKeyPairRecord> r{
              d_db.getKeyPairByIndex(byLabel ? VELDBManager::KeyPairLabel : VELDBManager::KeyPairRecordID, key)}) {
        addKeyPairRecord(*r);
        requireSomething(describeRecord("keypairs", *r));
        return;
      }
    }
    requireCRLTable();
    if (d_db.isCRLEnabled()) {
      if (std::unique_ptr<VELASNCRLRecord> r{
              d_db.getCRLByIndex(byLabel ? VELDBManager::CRLLabel : VELDBManager::CRLRecordID, key)}) {
        addCRLRecord(*r);
        requireSomething(describeRecord("crls", *r));
        return;
      }
    }
    throw StoreError(Reason::kNoSuchRecord, "database " + shown(d_query.base) + ": no record " + what);
  }

  // The certificate of the key table with the fingerprint, or the serial
  // (and issuer) of the query.  A serial that certificates of several
  // issuers carry names none of them.
  void oneCertificate() {
    const bool byFingerprint = d_query.select == StoreQuery::Select::kFingerprint;
    std::unique_ptr<VELASNx500Name> issuer;
    if (!byFingerprint && !d_query.issuer.empty()) issuer.reset(new VELASNx500Name(parseName(d_query.issuer)));
    std::vector<std::unique_ptr<VELASNKeyRecord>> hits;
    std::unique_ptr<VELDBIterator> it(d_db.getKeyIterator());
    while (std::unique_ptr<VELASNKeyRecord> r{d_db.getKeyNextRecord(*it)}) {
      if (!r->hasCertificate()) continue;
      const VELASNCertificate& cert = r->getCertificate();
      if (byFingerprint) {
        if (fingerprintOf(cert.getEncoding(), d_query.fingerprint.size() == 40) != d_query.fingerprint) continue;
      } else {
        if (serialOf(cert) != d_query.serial) continue;
        if (issuer && cert.getIssuer().compare(*issuer) != 0) continue;
      }
      hits.push_back(std::move(r));
    }
    const std::string what = byFingerprint ? "with fingerprint " + d_query.fingerprint
                                           : "with serial " + d_query.serial +
                                                 (issuer ? " issued by " + shown(d_query.issuer) : std::string());
    if (hits.empty()) {
      throw StoreError(Reason::kNoSuchRecord, "database " + shown(d_query.base) + ": no certificate " + what);
    }
    if (hits.size() > 1) {
      std::string list;
      for (const auto& h : hits) list += (list.empty() ? "" : ", ") + describeRecord("keys", *h);
      throw StoreError(Reason::kNoSuchRecord, "database " + shown(d_query.base) + ": " +
                                                  std::to_string(hits.size()) + " certificates " + what + " (" +
                                                  list + "): add issuer=DN");
    }
    addKeyRecord(*hits.front());
    requireSomething(describeRecord("keys", *hits.front()));
  }

  // A selected record that holds nothing the caller expects is said so,
  // rather than left for the application to call "not found".
  void requireSomething(const std::string& record) {
    if (!d_out.empty() || d_subject) return;
    std::string wanted;
    if (d_options.privateKeys && !d_options.certificates && !d_options.crls) wanted = "private key";
    if (d_options.certificates && !d_options.privateKeys && !d_options.crls) wanted = "certificate";
    if (d_options.crls && !d_options.privateKeys && !d_options.certificates) wanted = "CRL";
    if (d_options.publicKeys && !d_options.privateKeys) wanted = "public key";
    throw StoreError(Reason::kNoSuchRecord, "database " + shown(d_query.base) + ": " + record + " holds no " +
                                                (wanted.empty() ? "object of the kind asked for" : wanted));
  }

  FileDBManager& d_db;
  const StoreQuery& d_query;
  const ReadOptions& d_options;
  std::unique_ptr<VELASNx500Name> d_subject;
  std::vector<StoreObject> d_out;
};

}  // namespace

std::vector<StoreObject> readStore(const StoreQuery& query, const SecretBytes& password, const ReadOptions& options) {
  std::unique_ptr<FileDBManager> db = openDatabase(query.base, password, options.lockWait);
  try {
    return Collector(*db, query, options).run();
  } catch (const VELException& e) {
    throwDatabaseError(e, query.base);
  }
}

SecretBytes unwrapPrivateKey(const StoreObject& object, const SecretBytes& password, OSSL_LIB_CTX* libctx) {
  const unsigned char* p = object.der.data();
  std::unique_ptr<X509_SIG, OsslFree> sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(object.der.size())));
  if (!sig || p != object.der.data() + object.der.size()) {
    ERR_clear_error();
    throw StoreError(Reason::kDamaged, "the private key of " + object.description +
                                           " is not an EncryptedPrivateKeyInfo");
  }
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, OsslFree> p8(
      PKCS8_decrypt_ex(sig.get(), password.data(), static_cast<int>(password.size()), libctx, nullptr));
  unsigned char* der = nullptr;
  const int n = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der) : -1;
  ERR_clear_error();
  if (n <= 0) {
    throw StoreError(Reason::kKeyDoesNotOpen, "the private key of " + object.description +
                                                  " does not open with the database password (`velkdb verify` "
                                                  "checks every key)");
  }
  SecretBytes out(der, static_cast<std::size_t>(n));
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  return out;
}

}  // namespace velstore
