#include "commands.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>

#include "clash.h"
#include "filedbtransactionguard.h"
#include "lifecycle.h"
#include "find.h"
#include "interrupt.h"
#include "text.h"
#include "veldbconnectinfo.h"
#include "veldbutility.h"

namespace velkdb {

// --- arguments ----------------------------------------------------------------

bool Args::has(const std::string& name) const {
  return values.count(name) != 0 || std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::string Args::get(const std::string& name, const std::string& fallback) const {
  const auto it = values.find(name);
  return it == values.end() ? fallback : it->second;
}

DbPaths databasePaths(const Args& args) {
  std::string base = args.get("db");
  if (base.empty()) {
    if (const char* env = std::getenv("VELKDB_DB")) base = env;
  }
  if (base.empty()) throw UsageError("no database: give --db BASE (or set VELKDB_DB)");
  return makePaths(base);
}

Secret databasePassword(const Args& args, bool confirm) {
  PasswordOptions options;
  options.useDefault = args.has("default-password");
  options.file = args.get("password-file");
  if (options.useDefault && !options.file.empty()) {
    throw UsageError("--default-password and --password-file exclude each other");
  }
  options.envName = "VELKDB_PASSWORD";
  options.prompt = confirm ? "New database password: " : "Database password: ";
  return obtainPassword(options, confirm);
}

long long parseExpiry(const std::string& text) {
  if (text == "never" || text == "0") return 0;
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() > 6) throw UsageError("expiry \"" + text + "\": too many days");
    const long long when = static_cast<long long>(std::time(nullptr)) + std::stoll(text) * 86400LL;
    if (when > 0xFFFFFFFFLL) throw UsageError("expiry \"" + text + "\": past the year 2106");
    return when;
  }
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 && y >= 1970 && m >= 1 && m <= 12 &&
      d >= 1 && d <= 31) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    const long long when = static_cast<long long>(timegm(&tm));
    // timegm carries 2026-02-30 over into March: a date that comes back
    // otherwise does not exist.
    struct tm back {};
    const std::time_t t = static_cast<std::time_t>(when);
    gmtime_r(&t, &back);
    if (back.tm_year != y - 1900 || back.tm_mon != m - 1 || back.tm_mday != d) {
      throw UsageError("expiry \"" + text + "\": no such date");
    }
    if (when <= 0 || when > 0xFFFFFFFFLL) throw UsageError("expiry \"" + text + "\": out of range");
    return when;
  }
  throw UsageError("expiry \"" + text + "\": give a number of days, never, or YYYY-MM-DD");
}

std::string expiryText(long long time) {
  if (time == 0) return "never";
  const std::time_t t = static_cast<std::time_t>(time);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

void testCrashPoint(const char* step, std::size_t count) {
  const char* hook = std::getenv("VELKDB_TEST_CRASH");
  if (hook == nullptr) return;
  const std::string want = std::string(step) + ":" + std::to_string(count);
  if (want == hook) {
    std::cerr << "velkdb: stopping at " << want << " (VELKDB_TEST_CRASH)\n";
    _exit(99);
  }
}

namespace {

void checkNewLabel(const std::string& label) {
  const std::string fault = labelFault(label);
  if (fault.empty()) return;
  // A label too long to be one is not repeated whole.
  std::string shown = label;
  if (shown.size() > 60) {
    std::size_t cut = 60;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown = shown.substr(0, cut) + "...";
  }
  throw UsageError("the label \"" + printable(shown) + "\" " + fault);
}

}  // namespace

// --- create ---------------------------------------------------------------------

int cmdCreate(const Args& args) {
  const DbPaths paths = databasePaths(args);
  const std::string version = args.get("version", "4");
  if (version != "3" && version != "4") throw UsageError("--version is 3 or 4");
  const long long expiry = parseExpiry(args.get("expire", "never"));
  const std::uint32_t recordLength = args.has("record-length") ? parseRecordLength(args.get("record-length")) : 0;
  for (Table t : kTables) {
    if (fileExists(paths.file(t))) VELDB_THROW(VELDBError::kFileExists, paths.file(t) + " exists");
  }
  const Secret password = databasePassword(args, true);
  if (!args.has("weak-password-ok")) warnIfWeakPassword(password);
  std::unique_ptr<FileDBManager> db;
  try {
    VELDBConnectInfo::FILE info(paths.base, toEncryptor(password),
                                version == "3" ? VELDBConnectInfo::Create : VELDBConnectInfo::CreateV4,
                                VELDBConnectInfo::ReadWrite);
    info.setInitialRecordLength(recordLength);
    db.reset(new FileDBManager(info));
    if (expiry != 0) db->setDBPasswordExpirationTime(expiry);
  } catch (const VELException& e) {
    if (db) {
      // A database that could not take its expiry is not left behind.
      db->deleteDBOnDisconnect();
      db.reset();
    }
    rethrowWithContext(e, "creating " + paths.base);
  }
  std::cout << "created " << paths.base << " (version " << version
            << (recordLength != 0 ? ", record length " + std::to_string(recordLength) : std::string())
            << ", password expires " << expiryText(expiry) << ")\n";
  return 0;
}

// --- import ---------------------------------------------------------------------

namespace {

class ImportPassword : public InputPassword {
 public:
  explicit ImportPassword(const Args& args) {
    d_options.file = args.get("import-password-file");
    d_options.fileOption = "--import-password-file";
    d_options.envName = "VELKDB_IMPORT_PASSWORD";
    d_options.prompt = "Password of the input file: ";
  }
  bool get(Secret& out) override { return obtainOptionalPassword(d_options, out); }

 private:
  PasswordOptions d_options;
};

// One record to be inserted.
struct Planned {
  Table table;
  X509* cert = nullptr;      // key table
  EVP_PKEY* key = nullptr;   // key table (optional) or key-pair table
  X509_REQ* request = nullptr;
  X509_CRL* crl = nullptr;
  std::string label;
  bool explicitLabel = false;
  bool join = false;                        // `key` joins the stored certificate record `joinId`
  unsigned joinId = 0;
  const StoredKeyPair* keyPair = nullptr;  // the stored key pair `cert` was issued for
};

void drawProgress(std::size_t done, std::size_t total) {
  const int width = 30;
  const int filled = total == 0 ? width : static_cast<int>(done * width / total);
  std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################", width - filled, "", done,
               total);
  if (done == total) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

bool labelTaken(FileDBManager& db, Table table, const std::string& label) {
  const VELASNLabelString key(label);
  switch (table) {
    case Table::Key: return db.getKeyCountByIndex(VELDBManager::KeyLabel, key) != 0;
    case Table::KeyPair:
      return db.isKeyPairEnabled() && db.getKeyPairCountByIndex(VELDBManager::KeyPairLabel, key) != 0;
    case Table::CRL: return db.isCRLEnabled() && db.getCRLCountByIndex(VELDBManager::CRLLabel, key) != 0;
  }
  return false;
}

// The key table's refusal of a second certificate with the same issuer and
// serial number.
const unsigned long kIssuerAndSerialTaken = VELDBError::kDuplicateIssuerAndSerial;

// What the record is about, for an error.
std::string describe(const Planned& p) {
  if (p.table == Table::Key) return "certificate " + nameText(X509_get_subject_name(p.cert));
  if (p.table == Table::KeyPair) return "key pair of request " + nameText(X509_REQ_get_subject_name(p.request));
  return "CRL of " + nameText(X509_CRL_get_issuer(p.crl));
}

// An insert refused because the same certificate (without a key) or CRL is
// stored: what --skip-existing skips.  The checks before the inserts find
// what was stored before the import; this finds what an earlier input of
// the same import stored (the same certificate or CRL signed twice).
bool alreadyStored(const Planned& p, unsigned long error) {
  const unsigned long signatureTaken = 0x8C246, certificateTaken = 0x8C247, crlTaken = 0x8C24A;
  if (p.table == Table::Key) return p.key == nullptr && (error == signatureTaken || error == certificateTaken);
  if (p.table == Table::CRL) return error == signatureTaken || error == crlTaken;
  return false;
}

}  // namespace

std::string ImportSummary::text() const {
  std::ostringstream out;
  out << "imported " << certificates << (certificates == 1 ? " certificate" : " certificates") << " (" << keys
      << (keys == 1 ? " with its key" : " with keys") << "), " << keyPairs
      << (keyPairs == 1 ? " key pair" : " key pairs") << ", " << crls << (crls == 1 ? " CRL" : " CRLs");
  if (installed != 0) {
    out << "; " << installed << (installed == 1 ? " certificate" : " certificates")
        << " joined with the stored key pair's key";
  }
  if (joined != 0) out << "; " << joined << (joined == 1 ? " key" : " keys") << " joined stored certificates";
  if (skipped != 0) out << "; skipped " << skipped << " already present";
  return out.str();
}

ImportSummary importItems(FileDBManager& db, const Secret& password, InputItems& items,
                          const ImportOptions& options) {
  ImportSummary summary;
  std::vector<Planned> plan;

  // Pair each private key with its certificate or request.
  std::vector<bool> certUsed(items.certs.size(), false), requestUsed(items.requests.size(), false);
  std::vector<Planned> withKeys;
  std::vector<Ossl<X509>> storedCerts;  // of the records that keys join
  std::set<unsigned> joined;
  for (auto& key : items.keys) {
    Planned p;
    p.key = key.get();
    // A key goes with its request first: a key pair and the certificate
    // issued for it, stored apart, are exported so (export --all --key),
    // and come back so.  A second copy of the key goes with the
    // certificate.
    for (std::size_t i = 0; i < items.requests.size() && p.request == nullptr; ++i) {
      if (!requestUsed[i] && keyMatches(items.requests[i].get(), key.get())) {
        requestUsed[i] = true;
        p.table = Table::KeyPair;
        p.request = items.requests[i].get();
      }
    }
    for (std::size_t i = 0; i < items.certs.size() && p.cert == nullptr && p.request == nullptr; ++i) {
      if (!certUsed[i] && keyMatches(items.certs[i].get(), key.get())) {
        certUsed[i] = true;
        p.table = Table::Key;
        p.cert = items.certs[i].get();
      }
    }
    if (p.cert == nullptr && p.request == nullptr) {
      // A key alone joins the certificates stored without it.
      const StoredCertificates stored = certificatesFor(db, key.get());
      for (unsigned id : stored.withoutKey) {
        if (!joined.insert(id).second) continue;
        std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(id)));
        if (!r) continue;
        storedCerts.push_back(certFromDER(r->getCertificate().getEncoding()));
        Planned j = p;
        j.table = Table::Key;
        j.cert = storedCerts.back().get();
        j.join = true;
        j.joinId = id;
        j.label = r->getLabel().getValue();
        withKeys.push_back(j);
      }
      if (!stored.withoutKey.empty()) continue;
      const bool pairStored = db.isKeyPairEnabled() &&
                              db.getKeyPairCountByIndex(VELDBManager::KeyPairPublicKeyInfo,
                                                        VELASNSubjectPublicKeyInfo(publicKeyDER(key.get()).get())) != 0;
      if (stored.anyWithKey || pairStored) {
        if (options.skipExisting) {
          ++summary.skipped;
          continue;
        }
        VELDB_THROW(VELDBError::kBadArgument, "a private key (" + keyText(key.get()) +
                                                  ") matches no certificate or certification request of the input "
                                                  "and is in the database already");
      }
      VELDB_THROW(VELDBError::kBadArgument, "a private key (" + keyText(key.get()) +
                                                ") matches no certificate or certification request of the input "
                                                "or of the database");
    }
    withKeys.push_back(p);
  }
  for (std::size_t i = 0; i < items.requests.size(); ++i) {
    if (!requestUsed[i]) {
      VELDB_THROW(VELDBError::kBadArgument,
                  "certification request " + nameText(X509_REQ_get_subject_name(items.requests[i].get())) +
                      " comes without its private key");
    }
  }
  plan = withKeys;
  std::set<std::string> seenCerts;
  for (const Planned& p : plan) {
    if (p.cert && !p.join) seenCerts.insert(derOf(p.cert).toString());
  }
  for (std::size_t i = 0; i < items.certs.size(); ++i) {
    if (certUsed[i]) continue;
    // The same certificate twice in the input is stored once.
    if (!seenCerts.insert(derOf(items.certs[i].get()).toString()).second) continue;
    Planned p;
    p.table = Table::Key;
    p.cert = items.certs[i].get();
    plan.push_back(p);
  }
  std::set<std::string> seenCRLs;
  for (auto& crl : items.crls) {
    // So is the same CRL.
    if (!seenCRLs.insert(derOf(crl.get()).toString()).second) continue;
    Planned p;
    p.table = Table::CRL;
    p.crl = crl.get();
    plan.push_back(p);
  }
  if (plan.empty() && summary.skipped != 0) return summary;
  if (plan.empty()) VELDB_THROW(VELDBError::kBadArgument, "the input holds nothing to import");

  // An explicit label names the record with a key, or the only record.
  if (!options.label.empty()) {
    std::size_t target = plan.size();
    if (plan.size() == 1) {
      target = 0;
    } else if (withKeys.size() == 1) {
      target = 0;
    }
    if (target == plan.size()) {
      VELDB_THROW(VELDBError::kBadArgument, "--label names one record, but the input holds " +
                                                std::to_string(plan.size()) + " (import them one by one)");
    }
    plan[target].label = options.label;
    plan[target].explicitLabel = true;
  }

  // Refuse, before anything is stored, what the tables would refuse.
  std::vector<Planned> kept;
  for (Planned& p : plan) {
    bool present = false;
    if (p.join) {
      kept.push_back(p);
      continue;
    }
    if (p.table == Table::Key) {
      const VELBuffer der = derOf(p.cert);
      const VELASNCertificate cert(der.get());
      present = db.getKeyCountByIndex(VELDBManager::KeySignature, cert.getSignature()) != 0 ||
                db.getKeyCountByIndex(VELDBManager::KeyTBSCertificate, cert.getTBSCertificate()) != 0;
      if (present && p.key != nullptr) {
        // The certificate is stored without its key: the key joins it.
        std::unique_ptr<VELASNKeyRecord> stored(db.getKeyByIndex(VELDBManager::KeySignature, cert.getSignature()));
        const VELASNCBuffer storedDER = stored ? stored->getCertificate().getEncoding() : VELASNCBuffer();
        const bool same = storedDER.length() == der.length() &&
                          std::equal(der.data(), der.data() + der.length(), storedDER.data());
        if (stored && !stored->hasPrivateKey() && same && joined.insert(idOf(*stored)).second) {
          p.join = true;
          p.joinId = idOf(*stored);
          if (!p.explicitLabel) p.label = stored->getLabel().getValue();
          kept.push_back(p);
          continue;
        }
      }
      if (present && (p.key != nullptr || !options.skipExisting)) {
        VELDB_THROW(VELDBError::kDuplicateSignature,
                    "certificate " + nameText(X509_get_subject_name(p.cert)) + " is already in the database");
      }
      if (!present) {
        // Another certificate with the same issuer and serial number.
        const std::string other = recordWithIssuerAndSerial(db, cert);
        if (!other.empty()) {
          VELDB_THROW(kIssuerAndSerialTaken, "certificate " + nameText(X509_get_subject_name(p.cert)) +
                                                 " has the issuer and serial number of " + other);
        }
      }
    } else if (p.table == Table::KeyPair) {
      const VELASNSubjectPublicKeyInfo spki(publicKeyDER(p.key).get());
      if (db.isKeyPairEnabled() && db.getKeyPairCountByIndex(VELDBManager::KeyPairPublicKeyInfo, spki) != 0) {
        VELDB_THROW(VELDBError::kDuplicatePublicKey, "key pair of request " +
                                                         nameText(X509_REQ_get_subject_name(p.request)) +
                                                         " is already in the database");
      }
    } else {
      const VELASNCertificateList crl(derOf(p.crl).get());
      present = db.isCRLEnabled() && db.getCRLCountByIndex(VELDBManager::CRLSignature, crl.getSignature()) != 0;
      if (present && !options.skipExisting) {
        VELDB_THROW(VELDBError::kDuplicateSignature,
                    "CRL of " + nameText(X509_CRL_get_issuer(p.crl)) + " is already in the database");
      }
    }
    if (present) {
      ++summary.skipped;
      continue;
    }
    kept.push_back(p);
  }
  plan.swap(kept);

  // A certificate that comes without its key, for a key pair stored here,
  // takes the key pair's key; the key pair goes (its request is answered).
  std::vector<StoredKeyPair> storedPairs;
  std::set<unsigned> pairsTaken;
  for (Planned& p : plan) {
    if (p.table != Table::Key || p.key != nullptr || p.join) continue;
    if (storedPairs.empty() && pairsTaken.empty()) {
      storedPairs = loadKeyPairs(db);
      if (storedPairs.empty()) break;
    }
    p.keyPair = keyPairFor(storedPairs, pairsTaken, p.cert);
    if (p.keyPair != nullptr) pairsTaken.insert(p.keyPair->id);
  }

  // Labels: given, or derived from the subject (issuer for CRLs) and made
  // unique in their table with " #2", " #3", ...
  std::set<std::pair<int, std::string>> used;
  for (Planned& p : plan) {
    if (p.explicitLabel) {
      requireLabelFree(db, p.table, p.label, p.join ? p.joinId : 0);
      used.insert({static_cast<int>(p.table), p.label});
    }
  }
  for (Planned& p : plan) {
    if (p.join) used.insert({static_cast<int>(p.table), p.label});
  }
  for (Planned& p : plan) {
    if (p.explicitLabel || p.join) continue;
    // A certificate's own name (a PKCS#12 friendly name), else the name
    // its key pair had, else one from the subject (the issuer's, with
    // " CRL", for a CRL).
    std::string base = p.cert ? certificateAlias(p.cert) : std::string();
    if (base.empty() && p.keyPair != nullptr) base = p.keyPair->label;
    if (base.empty()) {
      base = p.cert      ? labelFromName(X509_get_subject_name(p.cert))
             : p.request ? labelFromName(X509_REQ_get_subject_name(p.request))
                         : crlDefaultLabel(p.crl);
    }
    std::string label = base;
    for (int n = 2; used.count({static_cast<int>(p.table), label}) != 0 || labelTaken(db, p.table, label); ++n) {
      label = base + " #" + std::to_string(n);
    }
    used.insert({static_cast<int>(p.table), label});
    p.label = label;
  }

  // Build every record (wrapping the keys) before the first insert.
  std::vector<std::unique_ptr<VELASNKeyRecord>> keyRecords(plan.size());
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> keyPairRecords(plan.size());
  std::vector<std::unique_ptr<VELASNCRLRecord>> crlRecords(plan.size());
  for (std::size_t i = 0; i < plan.size(); ++i) {
    checkInterrupt();
    const Planned& p = plan[i];
    if (p.join) {
      keyRecords[i].reset(db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(p.joinId)));
      if (!keyRecords[i]) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
      const VELBuffer wrapped = wrapPrivateKey(p.key, password);
      const VELASNCertificate certificate = keyRecords[i]->getCertificate();
      keyRecords[i]->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      keyRecords[i]->setLabel(p.label);
    } else if (p.table == Table::Key) {
      keyRecords[i].reset(new VELASNKeyRecord(1));
      // Decoded once already, as it was read: not decoded again to check it.
      const VELASNCertificate certificate(p.cert);
      if (p.keyPair != nullptr) {
        // Wrapped under this database's password already.
        keyRecords[i]->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(p.keyPair->wrappedKey.get()));
      } else if (p.key != nullptr) {
        const VELBuffer wrapped = wrapPrivateKey(p.key, password);
        keyRecords[i]->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      } else {
        keyRecords[i]->setCertificate(certificate);
      }
      keyRecords[i]->setLabel(p.label);
      keyRecords[i]->setTrusted(options.trusted && p.key == nullptr && p.keyPair == nullptr);
    } else if (p.table == Table::KeyPair) {
      keyPairRecords[i].reset(new VELASNKeyPairRecord(1));
      const VELBuffer spki = publicKeyDER(p.key);
      const VELBuffer wrapped = wrapPrivateKey(p.key, password);
      keyPairRecords[i]->setKeyPair(VELASNSubjectPublicKeyInfo(spki.get()),
                                    VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      keyPairRecords[i]->setCertificationRequest(derOf(p.request).get());
      keyPairRecords[i]->setLabel(p.label);
    } else {
      crlRecords[i].reset(new VELASNCRLRecord());
      crlRecords[i]->setCRL(derOf(p.crl).get());
      crlRecords[i]->setLabel(p.label);
    }
  }

  // A record longer than its table's limit is refused before the table
  // grows for it.
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const VELASNRecord* record = keyRecords[i] ? static_cast<const VELASNRecord*>(keyRecords[i].get())
                                 : keyPairRecords[i] ? static_cast<const VELASNRecord*>(keyPairRecords[i].get())
                                                     : static_cast<const VELASNRecord*>(crlRecords[i].get());
    if (record != nullptr) refuseLongRecord(plan[i].table, *record, describe(plan[i]), options.maxRecordLength);
  }

  // Insert, all in one transaction: an error rolls every insert back (the
  // guard), a killed process leaves none of them.  A table cannot be
  // enabled inside a transaction; the key-pair table is enabled by the
  // transaction itself.
  if (plan.empty()) return summary;  // everything was there already
  if (!db.isCRLEnabled()) {
    for (const Planned& p : plan) {
      if (p.table == Table::CRL) {
        db.enableCRL();
        break;
      }
    }
  }
  const bool bar = options.progress && plan.size() > 1;
  try {
    FileDBTransactionGuard transaction(db);
    for (std::size_t i = 0; i < plan.size(); ++i) {
      // Ctrl-C stops the import here; the guard rolls every insert back.
      checkInterrupt();
      const Planned& p = plan[i];
      try {
        if (p.join) {
          db.updateKeyByIndex(VELDBManager::KeyRecordID, *keyRecords[i]);
        } else if (p.table == Table::Key) {
          db.insertKey(*keyRecords[i]);
          if (p.keyPair != nullptr) {
            db.deleteKeyPairByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(p.keyPair->id));
          }
        } else if (p.table == Table::KeyPair) {
          db.insertKeyPair(*keyPairRecords[i]);
        } else {
          db.insertCRL(*crlRecords[i]);
        }
      } catch (const VELException& e) {
        // A refused insert leaves the transaction as it was.
        if (!options.skipExisting || !alreadyStored(p, e.getError())) {
          std::string context = describe(p);
          if (p.table == Table::Key && e.getError() == kIssuerAndSerialTaken) {
            // Two certificates of this import share them.
            const std::string other = recordWithIssuerAndSerial(db, keyRecords[i]->getCertificate());
            if (!other.empty()) context += " has the issuer and serial number of " + other;
          }
          rethrowWithContext(e, context);
        }
        ++summary.skipped;
        if (bar) drawProgress(i + 1, plan.size());
        continue;
      }
      if (p.join) {
        ++summary.joined;
      } else if (p.table == Table::Key) {
        ++summary.certificates;
        if (p.key || p.keyPair) ++summary.keys;
        if (p.keyPair) ++summary.installed;
      } else if (p.table == Table::KeyPair) {
        ++summary.keyPairs;
      } else {
        ++summary.crls;
      }
      testCrashPoint("import", i + 1);
      if (bar) drawProgress(i + 1, plan.size());
    }
    transaction.commit();
  } catch (...) {
    // An interrupted import takes its bar away; an error leaves it above
    // the message.
    if (bar) std::fputs(pendingSignal() != 0 ? "\r\033[K" : "\n", stderr);
    throw;
  }
  return summary;
}

int cmdImport(const Args& args) {
  if (args.positional.empty()) throw UsageError("import needs at least one FILE");
  if (std::count(args.positional.begin(), args.positional.end(), "-") > 1) {
    throw UsageError("standard input (-) is one FILE; give it once");
  }
  if (args.has("label")) checkNewLabel(args.get("label"));
  const std::uint64_t maxRecordLength =
      args.has("max-record-length") ? parseMaxRecordLength(args.get("max-record-length")) : 0;
  const DbPaths paths = databasePaths(args);
  ImportPassword importPassword(args);
  InputItems items;
  for (const std::string& file : args.positional) readInputFile(file, importPassword, items);
  const Secret password = databasePassword(args);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  ImportOptions options;
  options.label = args.get("label");
  options.trusted = args.has("trusted");
  options.skipExisting = args.has("skip-existing");
  options.progress = isatty(STDERR_FILENO) != 0;
  options.maxRecordLength = maxRecordLength;
  setInterruptOutcome("nothing was imported");
  const ImportSummary summary = importItems(*db, password, items, options);
  std::cout << summary.text() << "\n";
  return 0;
}

// --- finding records ----------------------------------------------------------

Selector parseSelector(const Args& args, bool allowIssuer) {
  Selector s;
  s.label = args.get("label");
  if (!args.positional.empty()) {
    if (!s.label.empty() || args.positional.size() > 1) throw UsageError("give one LABEL");
    s.label = args.positional[0];
  }
  if (args.has("id")) {
    const std::string id = args.get("id");
    if (id.empty() || id.size() > 10 || id.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(id) > 0xFFFFFFFFULL) {
      throw UsageError("--id takes a record ID (0 to 4294967295)");
    }
    s.hasId = true;
    s.id = static_cast<unsigned>(std::stoull(id));
  }
  s.subject = args.get("subject");
  if (allowIssuer) s.issuer = args.get("issuer");
  if (args.has("table")) {
    s.hasTable = true;
    s.table = parseTable(args.get("table"));
  }
  if (allowIssuer) {
    s.serial = args.get("serial");
    s.fingerprint = args.get("fingerprint");
    if (args.has("serial")) normalizeSerial(s.serial);
    if (args.has("fingerprint")) parseFingerprint(s.fingerprint);
  }
  // With --serial, --issuer says whose serial number it is.
  const int given = !s.label.empty() + s.hasId + !s.subject.empty() + (!s.issuer.empty() && s.serial.empty()) +
                    !s.serial.empty() + !s.fingerprint.empty();
  if (given != 1) {
    throw UsageError(std::string("name the record with one of LABEL, --label, --id, --subject") +
                     (allowIssuer ? ", --issuer, --serial [--issuer], --fingerprint" : ""));
  }
  return s;
}

namespace {

bool tableEnabled(FileDBManager& db, Table t) {
  return t == Table::Key ? db.isKeyEnabled() : t == Table::KeyPair ? db.isKeyPairEnabled() : db.isCRLEnabled();
}

template <typename RECORD, typename NEXT>
void walk(VELDBIterator* iterator, NEXT next, const std::function<void(RECORD&)>& visit) {
  std::unique_ptr<VELDBIterator> it(iterator);
  while (std::unique_ptr<RECORD> r{next(*it)}) {
    checkInterrupt();
    visit(*r);
  }
}

}  // namespace

unsigned idOf(const VELASNRecord& r) { return VELDBUtility::asnToRecordID(r.getRecordID()); }

void forEachKey(FileDBManager& db, const std::function<void(VELASNKeyRecord&)>& visit) {
  walk<VELASNKeyRecord>(db.getKeyIterator(), [&](VELDBIterator& it) { return db.getKeyNextRecord(it); }, visit);
}
void forEachKeyPair(FileDBManager& db, const std::function<void(VELASNKeyPairRecord&)>& visit) {
  if (!db.isKeyPairEnabled()) return;
  walk<VELASNKeyPairRecord>(db.getKeyPairIterator(), [&](VELDBIterator& it) { return db.getKeyPairNextRecord(it); },
                            visit);
}
void forEachCRL(FileDBManager& db, const std::function<void(VELASNCRLRecord&)>& visit) {
  if (!db.isCRLEnabled()) return;
  walk<VELASNCRLRecord>(db.getCRLIterator(), [&](VELDBIterator& it) { return db.getCRLNextRecord(it); }, visit);
}

std::vector<Match> findRecords(FileDBManager& db, const Selector& s) {
  std::vector<Match> found;
  if (!s.serial.empty() || !s.fingerprint.empty()) {
    findCertificates(db, s, found);
    return found;
  }
  for (Table t : kTables) {
    if ((s.hasTable && t != s.table) || !tableEnabled(db, t)) continue;
    if (!s.label.empty() || s.hasId) {
      const VELASNLabelString label(s.label);
      const VELASNInteger id = VELDBUtility::recordIDToASN(s.id);
      std::unique_ptr<VELASNRecord> r;
      if (t == Table::Key) {
        r.reset(s.hasId ? db.getKeyByIndex(VELDBManager::KeyRecordID, id)
                        : db.getKeyByIndex(VELDBManager::KeyLabel, label));
      } else if (t == Table::KeyPair) {
        r.reset(s.hasId ? db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, id)
                        : db.getKeyPairByIndex(VELDBManager::KeyPairLabel, label));
      } else {
        r.reset(s.hasId ? db.getCRLByIndex(VELDBManager::CRLRecordID, id)
                        : db.getCRLByIndex(VELDBManager::CRLLabel, label));
      }
      if (r) found.push_back({t, idOf(*r), r->getLabel().getValue()});
      continue;
    }
    const VELASNx500Name name(parseName(s.subject.empty() ? s.issuer : s.subject).get());
    std::set<unsigned> ids;
    if (t == Table::Key && !s.subject.empty()) {
      // The index finds names encoded exactly so; the walk below finds the
      // same name in other encodings.
      std::unique_ptr<VELASNKeyRecordContainer> c(db.getKeyByIndex(VELDBManager::KeySubjectName, name));
      for (std::size_t i = 0; i < c->size(); ++i) {
        if (ids.insert(idOf((*c)[i])).second) found.push_back({t, idOf((*c)[i]), (*c)[i].getLabel().getValue()});
      }
    }
    if (t == Table::Key) {
      forEachKey(db, [&](VELASNKeyRecord& r) {
        if (!r.hasCertificate()) return;
        const VELASNx500Name other = s.subject.empty() ? r.getCertificate().getIssuer() : r.getCertificate().getSubject();
        if (other.compare(name) == 0 && ids.insert(idOf(r)).second) found.push_back({t, idOf(r), r.getLabel().getValue()});
      });
    } else if (t == Table::KeyPair && !s.subject.empty()) {
      forEachKeyPair(db, [&](VELASNKeyPairRecord& r) {
        if (r.hasCertificationRequest() && r.getCertificationRequest().getSubject().compare(name) == 0) {
          found.push_back({t, idOf(r), r.getLabel().getValue()});
        }
      });
    } else if (t == Table::CRL && !s.issuer.empty()) {
      forEachCRL(db, [&](VELASNCRLRecord& r) {
        if (r.hasCRL() && r.getCRL().getIssuer().compare(name) == 0) found.push_back({t, idOf(r), r.getLabel().getValue()});
      });
    }
  }
  return found;
}

namespace {

std::vector<Match> requireRecords(FileDBManager& db, const Selector& s, bool onlyOne) {
  std::vector<Match> found = findRecords(db, s);
  if (found.empty()) VELDB_THROW(VELDBError::kNoMatchingRecord, "no record matches");
  if (onlyOne && found.size() > 1) {
    std::string where;
    for (const Match& m : found) where += std::string(where.empty() ? "" : ", ") + tableName(m.table) + " #" + std::to_string(m.id);
    VELDB_THROW(VELDBError::kBadArgument, std::to_string(found.size()) + " records match (" + where +
                                              "): name one with --table and --id");
  }
  return found;
}

}  // namespace

// --- list, show -----------------------------------------------------------------

int cmdList(const Args& args) {
  const DbPaths paths = databasePaths(args);
  const std::string format = args.get("format", "text");
  if (format != "text" && format != "json") throw UsageError("--format is text or json");
  const bool hasTable = args.has("table");
  const Table table = hasTable ? parseTable(args.get("table")) : Table::Key;
  if (args.has("expiring") && args.has("expired")) throw UsageError("give --expiring DAYS or --expired, not both");
  const long long days = args.has("expiring") ? parseDays(args.get("expiring")) : -1;
  const Secret password = databasePassword(args);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  if (args.has("expiring") || args.has("expired")) {
    // For cron and monitoring: status 1 when anything ends (or has ended).
    const long long now = static_cast<long long>(std::time(nullptr));
    const std::size_t n = printEnding(*db, paths.base, format == "json", hasTable, table, now, days);
    return n == 0 ? 0 : 1;
  }
  printList(*db, paths.base, format == "json", hasTable, table);
  return 0;
}

int cmdShow(const Args& args) {
  const DbPaths paths = databasePaths(args);
  const Selector selector = parseSelector(args, true);
  const Secret password = databasePassword(args);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  const std::vector<Match> found = requireRecords(*db, selector, false);
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (i != 0) std::cout << "\n";
    printRecord(*db, found[i], &password);
  }
  return 0;
}

// --- export ---------------------------------------------------------------------

void writeFileAtomically(const std::string& path, const std::string& text, bool secret) {
  // A name of our own beside `path`: random, created exclusively and never
  // through a link, so that nothing planted in the directory is written
  // through.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    unsigned char random[6];
    if (RAND_bytes(random, sizeof random) != 1) VELDB_THROW(VELDBError::kNoDigest, "no random bytes");
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".velkdb-%02x%02x%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3], random[4], random[5]);
    temp = path + suffix;
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, secret ? 0600 : 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100)) throwSystemError(VELDBError::kCannotCreate, path, errno);
  }
  std::size_t done = 0;
  int error = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  // The rename replaces `path` whole; a link there is replaced, not
  // followed.
  if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    throwSystemError(VELDBError::kWrite, path, error);
  }
}

namespace {

// The PEM of the record; `withKey` adds its private key (and sets
// `keyAdded`): as stored, or in the clear when `clear` gives the password.
std::string exportRecord(FileDBManager& db, const Match& m, bool withKey, bool& keyAdded, const Secret* clear) {
  const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
  std::string pem;
  if (m.table == Table::Key) {
    std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    pem += toPEM("CERTIFICATE", r->getCertificate().getEncoding());
    if (withKey) {
      if (!r->hasPrivateKey()) {
        VELDB_THROW(VELDBError::kBadArgument, "record \"" + printable(m.label) + "\" holds no private key");
      }
      pem += clear ? clearKeyPEM(r->getPrivateKey().getEncoding(), *clear, m.label)
                   : toPEM("ENCRYPTED PRIVATE KEY", r->getPrivateKey().getEncoding());
      keyAdded = true;
    }
  } else if (m.table == Table::KeyPair) {
    std::unique_ptr<VELASNKeyPairRecord> r(db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    pem += toPEM("CERTIFICATE REQUEST", r->getCertificationRequest().getEncoding());
    if (withKey) {
      pem += clear ? clearKeyPEM(r->getKeyPair().getPrivateKeyEncoding(), *clear, m.label)
                   : toPEM("ENCRYPTED PRIVATE KEY", r->getKeyPair().getPrivateKeyEncoding());
      keyAdded = true;
    }
  } else {
    std::unique_ptr<VELASNCRLRecord> r(db.getCRLByIndex(VELDBManager::CRLRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    pem += toPEM("X509 CRL", r->getCRL().getEncoding());
  }
  return pem;
}

}  // namespace

int cmdExport(const Args& args) {
  if (args.has("pkcs12") || args.has("chain")) return exportBundle(args);
  // A key leaves in the clear only when asked exactly so.
  if (args.has("unencrypted") && !args.has("key")) {
    throw UsageError("--unencrypted goes with --key (it writes the private key in the clear)");
  }
  if (args.has("export-password-file")) throw UsageError("--export-password-file goes with --pkcs12");
  const DbPaths paths = databasePaths(args);
  const bool all = args.has("all");
  Selector selector;
  if (!all) selector = parseSelector(args, true);
  if (all && (!args.positional.empty() || args.has("label") || args.has("id") || args.has("subject") ||
              args.has("issuer") || args.has("serial") || args.has("fingerprint"))) {
    throw UsageError("--all exports whole tables; it takes no record name");
  }
  const bool withKey = args.has("key");
  const Secret password = databasePassword(args);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  std::vector<Match> found;
  if (all) {
    const bool hasTable = args.has("table");
    const Table only = hasTable ? parseTable(args.get("table")) : Table::Key;
    if (!hasTable || only == Table::Key) forEachKey(*db, [&](VELASNKeyRecord& r) { found.push_back({Table::Key, idOf(r), r.getLabel().getValue()}); });
    if (!hasTable || only == Table::KeyPair) forEachKeyPair(*db, [&](VELASNKeyPairRecord& r) { found.push_back({Table::KeyPair, idOf(r), r.getLabel().getValue()}); });
    if (!hasTable || only == Table::CRL) forEachCRL(*db, [&](VELASNCRLRecord& r) { found.push_back({Table::CRL, idOf(r), r.getLabel().getValue()}); });
  } else {
    found = requireRecords(*db, selector, false);
  }
  std::string pem;
  bool keyAdded = false;
  const Secret* clear = args.has("unencrypted") ? &password : nullptr;
  for (const Match& m : found) {
    if (withKey && m.table == Table::Key && all) {
      // With --all, --key adds the keys of the records that have one.
      std::unique_ptr<VELASNKeyRecord> r(db->getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(m.id)));
      pem += exportRecord(*db, m, r && r->hasPrivateKey(), keyAdded, clear);
    } else {
      pem += exportRecord(*db, m, withKey && m.table != Table::CRL, keyAdded, clear);
    }
  }
  const std::string out = args.get("out");
  if (out.empty() || out == "-") {
    std::cout << pem;
  } else {
    // A file with a private key is the owner's alone, whatever the umask.
    writeOutputFile(out, pem, keyAdded);
    std::cerr << "exported " << found.size() << (found.size() == 1 ? " record" : " records") << " to "
              << printable(out) << "\n";
  }
  return 0;
}

// --- delete, rename -----------------------------------------------------------

int cmdDelete(const Args& args) {
  const DbPaths paths = databasePaths(args);
  const Selector selector = parseSelector(args, true);
  const Secret password = databasePassword(args);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  const std::vector<Match> found = requireRecords(*db, selector, false);
  if (!selector.hasTable && (selector.hasId || !selector.label.empty())) {
    // An ID or label names one record per table: refuse to guess which.
    std::vector<std::string> tables;
    for (const Match& m : found) {
      if (std::find(tables.begin(), tables.end(), tableName(m.table)) == tables.end()) tables.push_back(tableName(m.table));
    }
    if (tables.size() > 1) {
      std::string names, options;
      for (std::size_t i = 0; i < tables.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == tables.size() ? " and " : ", ") + tables[i];
        options += (i == 0 ? "" : " or ") + std::string("--table ") + tables[i];
      }
      const std::string what = selector.hasId ? "ID " + std::to_string(selector.id)
                                              : "label \"" + printable(selector.label) + "\"";
      VELDB_THROW(VELDBError::kBadArgument, what + " is in the tables " + names + ": add " + options);
    }
  }
  // Every match or none, also when the process is killed: one transaction,
  // and nothing is reported deleted before it commits.
  unsigned long long deleted = 0;
  std::string report;
  {
    FileDBTransactionGuard transaction(*db);
    for (std::size_t i = 0; i < found.size(); ++i) {
      checkInterrupt();
      const Match& m = found[i];
      const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
      if (m.table == Table::Key) deleted += db->deleteKeyByIndex(VELDBManager::KeyRecordID, id);
      if (m.table == Table::KeyPair) deleted += db->deleteKeyPairByIndex(VELDBManager::KeyPairRecordID, id);
      if (m.table == Table::CRL) deleted += db->deleteCRLByIndex(VELDBManager::CRLRecordID, id);
      report += "deleted " + std::string(tableName(m.table)) + " #" + std::to_string(m.id) + " \"" +
                printable(m.label) + "\"\n";
      testCrashPoint("delete", i + 1);
    }
    transaction.commit();
  }
  std::cout << report << "deleted " << deleted << (deleted == 1 ? " record" : " records") << "\n";
  return 0;
}

int cmdRename(const Args& args) {
  const DbPaths paths = databasePaths(args);
  Args selectorArgs = args;
  if (selectorArgs.positional.empty()) throw UsageError("rename needs the NEW label");
  const std::string newLabel = selectorArgs.positional.back();
  selectorArgs.positional.pop_back();
  checkNewLabel(newLabel);
  const Selector selector = parseSelector(selectorArgs, false);
  const Secret password = databasePassword(args);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  const Match m = requireRecords(*db, selector, true).front();
  requireLabelFree(*db, m.table, newLabel, m.id);
  const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
  if (m.table == Table::Key) {
    std::unique_ptr<VELASNKeyRecord> r(db->getKeyByIndex(VELDBManager::KeyRecordID, id));
    r->setLabel(newLabel);
    db->updateKeyByIndex(VELDBManager::KeyRecordID, *r);
  } else if (m.table == Table::KeyPair) {
    std::unique_ptr<VELASNKeyPairRecord> r(db->getKeyPairByIndex(VELDBManager::KeyPairRecordID, id));
    r->setLabel(newLabel);
    db->updateKeyPairByIndex(VELDBManager::KeyPairRecordID, *r);
  } else {
    std::unique_ptr<VELASNCRLRecord> r(db->getCRLByIndex(VELDBManager::CRLRecordID, id));
    r->setLabel(newLabel);
    db->updateCRLByIndex(VELDBManager::CRLRecordID, *r);
  }
  std::cout << "renamed " << tableName(m.table) << " #" << m.id << " \"" << printable(m.label) << "\" to \""
            << newLabel << "\"\n";
  return 0;
}

// --- expire, info, verify -------------------------------------------------------

int cmdExpire(const Args& args) {
  const DbPaths paths = databasePaths(args);
  if (args.positional.size() != 1) throw UsageError("expire needs WHEN (days, never or YYYY-MM-DD)");
  const long long when = parseExpiry(args.positional[0]);
  const Secret password = databasePassword(args);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  db->setDBPasswordExpirationTime(when);
  std::cout << "password expires " << expiryText(when) << "\n";
  return 0;
}

int cmdInfo(const Args& args) {
  const DbPaths paths = databasePaths(args);
  const Secret password = databasePassword(args);
  return printInfo(paths, password) == 0 ? 0 : 1;
}

int cmdVerify(const Args& args) {
  const DbPaths paths = databasePaths(args);
  const Secret password = databasePassword(args);
  return printVerify(paths, password) == 0 ? 0 : 1;
}

}  // namespace velkdb
