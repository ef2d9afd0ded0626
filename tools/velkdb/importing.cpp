// Storing what an import read: each key paired with its certificate or
// request, the clashes refused, labels given, and everything written in one
// transaction (importItems, for `import`, `request` and the demo).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>

#include "background.h"
#include "clash.h"
#include "commands.h"
#include "filedbtransactionguard.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

// One record to be inserted.
struct Planned {
  Table table;
  X509* cert = nullptr;      // key table
  // `cert`'s DER with its parts sliced, made once for the checks and the
  // record (not for a join, whose certificate is stored); or why it could
  // not be, for the check to report in its turn.
  std::shared_ptr<const VELASNCertificate> certificate;
  std::exception_ptr certificateFault;
  std::shared_ptr<const std::string> faultyDER;
  EVP_PKEY* key = nullptr;   // key table (optional) or key-pair table
  X509_REQ* request = nullptr;
  X509_CRL* crl = nullptr;
  std::string label;
  std::string inputLabel;  // the label the input file gave the record
  bool trustMark = false;  // the input file marked the certificate trusted
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

// Said with a refusal of a record in the way, for a key store whose CA
// certificates are stored under other names or signatures.
const char* const kSkipHint = " (--skip-existing skips it and imports the rest)";

// What the record is about, for an error.
std::string describe(const Planned& p) {
  if (p.table == Table::Key) return "certificate " + nameText(X509_get_subject_name(p.cert));
  if (p.table == Table::KeyPair) return "key pair of request " + nameText(X509_REQ_get_subject_name(p.request));
  return "CRL of " + nameText(X509_CRL_get_issuer(p.crl));
}

// An insert refused because the same certificate (without a key) or CRL is
// stored.  The checks before the inserts find what was stored before the
// import; this finds what an earlier input of the same import stored (the
// same certificate or CRL signed twice).
bool alreadyStored(const Planned& p, unsigned long error) {
  const unsigned long signatureTaken = 0x8C246, certificateTaken = 0x8C247, crlTaken = 0x8C24A;
  if (p.table == Table::Key) return p.key == nullptr && (error == signatureTaken || error == certificateTaken);
  if (p.table == Table::CRL) return error == signatureTaken || error == crlTaken;
  return false;
}

// An insert refused because another record holds one of its unique keys
// (label, signature, to-be-signed part, issuer and serial, public key):
// what --skip-existing skips.
bool uniqueKeyTaken(unsigned long error) {
  return error >= VELDBError::kDuplicateLabel && error <= VELDBError::kDuplicateLast;
}


// Slices `p.cert` once; returns its DER, which `p` keeps.
std::string_view prepareCertificate(Planned& p) {
  try {
    p.certificate = std::make_shared<const VELASNCertificate>(p.cert);
  } catch (const VELException&) {
    p.certificateFault = std::current_exception();
    p.faultyDER = std::make_shared<const std::string>(derOf(p.cert).toString());
    return *p.faultyDER;
  }
  const VELASNCBuffer der = p.certificate->getEncoding();
  return std::string_view(reinterpret_cast<const char*>(der.data()), der.length());
}

// One import: the stages in the order they run.  Nothing is written before
// `write`, and `write` is one transaction.
class ImportRun {
 public:
  ImportRun(FileDBManager& db, const Secret& password, const ImportOptions& options)
      : d_db(db), d_password(password), d_options(options) {}

  // Pairs each private key with its certificate or request, or with the
  // certificates stored without it; then the certificates and CRLs without
  // keys.  False when the input holds nothing new.
  bool classify(InputItems& items);
  // Names the record --label is for.
  void applyExplicitLabel();
  // Refuses, before anything is stored, what the tables would refuse; a
  // keyed certificate stored without its key joins it.
  void checkClashes();
  // A certificate that comes without its key takes a stored key pair's.
  void joinStoredKeyPairs();
  void assignLabels();
  void buildRecords();
  void write();

  const ImportSummary& summary() const { return d_summary; }
  bool nothingToWrite() const { return d_plan.empty(); }

 private:
  void pairKeys(InputItems& items, std::vector<bool>& certUsed);
  void takeAttributes(const InputItems& items);
  void joinKeyAlone(EVP_PKEY* key);
  // What the checks found of a record of the plan.
  enum class Found { kNothing, kStored, kInTheWay };
  Found checkCertificate(Planned& p);
  // A different record in the way of `p`: refused with `error`, or skipped
  // with --skip-existing.
  Found inTheWay(unsigned long error, const std::string& message);
  void writeOne(std::size_t i);
  // A key wrapped for a record, or why it could not be.
  struct WrappedKey {
    VELBuffer der;
    std::exception_ptr fault;
  };
  std::vector<WrappedKey> wrapKeys();

  FileDBManager& d_db;
  const Secret& d_password;
  const ImportOptions& d_options;
  ImportSummary d_summary;
  std::vector<Planned> d_plan;
  std::size_t d_withKeys = 0;           // the first records of the plan: those with a key
  bool d_keysEmpty = false;             // the key table held no record when the checks began
  std::vector<Ossl<X509>> d_storedCerts;  // of the records that keys join
  std::set<unsigned> d_joined;
  std::vector<StoredKeyPair> d_storedPairs;
  std::vector<std::unique_ptr<VELASNRecord>> d_records;
};

void ImportRun::joinKeyAlone(EVP_PKEY* key) {
  // A key alone joins the certificates stored without it.
  const StoredCertificates stored = certificatesFor(d_db, key);
  for (unsigned id : stored.withoutKey) {
    if (!d_joined.insert(id).second) continue;
    std::unique_ptr<VELASNKeyRecord> r(d_db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(id)));
    if (!r) continue;
    d_storedCerts.push_back(certFromDER(r->getCertificate().getEncoding()));
    Planned j;
    j.key = key;
    j.table = Table::Key;
    j.cert = d_storedCerts.back().get();
    j.join = true;
    j.joinId = id;
    j.label = r->getLabel().getValue();
    d_plan.push_back(j);
  }
  if (!stored.withoutKey.empty()) return;
  const bool pairStored = d_db.isKeyPairEnabled() &&
                          d_db.getKeyPairCountByIndex(VELDBManager::KeyPairPublicKeyInfo,
                                                      VELASNSubjectPublicKeyInfo(publicKeyDER(key).get())) != 0;
  if (stored.anyWithKey || pairStored) {
    // The same key stored already: an import run twice imports nothing new.
    ++d_summary.skipped;
    return;
  }
  VELDB_THROW(VELDBError::kBadArgument, "a private key (" + keyText(key) +
                                            ") matches no certificate or certification request of the input "
                                            "or of the database");
}

void ImportRun::pairKeys(InputItems& items, std::vector<bool>& certUsed) {
  std::vector<bool> requestUsed(items.requests.size(), false);
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
      joinKeyAlone(key.get());
    } else {
      d_plan.push_back(p);
    }
  }
  for (std::size_t i = 0; i < items.requests.size(); ++i) {
    if (!requestUsed[i]) {
      VELDB_THROW(VELDBError::kBadArgument,
                  "certification request " + nameText(X509_REQ_get_subject_name(items.requests[i].get())) +
                      " comes without its private key");
    }
  }
  d_withKeys = d_plan.size();
}

bool ImportRun::classify(InputItems& items) {
  std::vector<bool> certUsed(items.certs.size(), false);
  pairKeys(items, certUsed);
  // By the DER of the certificates of the plan, which keeps them.
  std::set<std::string_view> seenCerts;
  for (Planned& p : d_plan) {
    if (p.cert && !p.join) seenCerts.insert(prepareCertificate(p));
  }
  for (std::size_t i = 0; i < items.certs.size(); ++i) {
    if (certUsed[i]) continue;
    Planned p;
    p.table = Table::Key;
    p.cert = items.certs[i].get();
    // The same certificate twice in the input is stored once.
    if (!seenCerts.insert(prepareCertificate(p)).second) continue;
    d_plan.push_back(std::move(p));
  }
  std::set<std::string> seenCRLs;
  for (auto& crl : items.crls) {
    // So is the same CRL.
    if (!seenCRLs.insert(derOf(crl.get()).toString()).second) continue;
    Planned p;
    p.table = Table::CRL;
    p.crl = crl.get();
    d_plan.push_back(p);
  }
  if (d_plan.empty() && d_summary.skipped != 0) return false;
  if (d_plan.empty()) VELDB_THROW(VELDBError::kBadArgument, "the input holds nothing to import");
  takeAttributes(items);
  return true;
}

void ImportRun::takeAttributes(const InputItems& items) {
  // A key pair's label is its request's; a certificate with its key takes
  // the key's label when the certificate has none.  A trust mark counts
  // only for a certificate without a key.
  for (Planned& p : d_plan) {
    if (p.join) continue;
    const ItemAttributes* main = items.attributesOf(p.cert    ? static_cast<const void*>(p.cert)
                                                     : p.request ? static_cast<const void*>(p.request)
                                                                 : static_cast<const void*>(p.crl));
    const ItemAttributes* key = p.key ? items.attributesOf(p.key) : nullptr;
    if (main != nullptr) p.inputLabel = main->label;
    if (p.inputLabel.empty() && key != nullptr) p.inputLabel = key->label;
    if (main != nullptr && main->trusted && p.table == Table::Key) {
      if (p.key == nullptr && d_options.keepTrust) {
        p.trustMark = true;
      } else if (p.key == nullptr) {
        ++d_summary.trustIgnored;
      }
    }
  }
}

void ImportRun::applyExplicitLabel() {
  // An explicit label names the record with a key, or the only record.
  if (d_options.label.empty()) return;
  if (d_plan.size() != 1 && d_withKeys != 1) {
    VELDB_THROW(VELDBError::kBadArgument, "--label names one record, but the input holds " +
                                              std::to_string(d_plan.size()) + " (import them one by one)");
  }
  d_plan[0].label = d_options.label;
  d_plan[0].explicitLabel = true;
}

ImportRun::Found ImportRun::inTheWay(unsigned long error, const std::string& message) {
  if (!d_options.skipExisting) VELDB_THROW(error, message);
  return Found::kInTheWay;
}

ImportRun::Found ImportRun::checkCertificate(Planned& p) {
  if (p.certificateFault) std::rethrow_exception(p.certificateFault);
  // An empty table holds nothing to clash with.
  if (d_keysEmpty) return Found::kNothing;
  const VELASNCertificate& cert = *p.certificate;
  const VELASNCBuffer der = cert.getEncoding();
  const VELASNBitString signature = cert.getSignature();
  // The same signature: the same bytes signed, so the same certificate.
  const bool sameStored = d_db.getKeyCountByIndex(VELDBManager::KeySignature, signature) != 0;
  const bool present =
      sameStored || d_db.getKeyCountByIndex(VELDBManager::KeyTBSCertificate, cert.getTBSCertificate()) != 0;
  if (present && p.key != nullptr) {
    // The certificate is stored without its key: the key joins it.
    std::unique_ptr<VELASNKeyRecord> stored(d_db.getKeyByIndex(VELDBManager::KeySignature, signature));
    const VELASNCBuffer storedDER = stored ? stored->getCertificate().getEncoding() : VELASNCBuffer();
    const bool same = storedDER.length() == der.length() &&
                      std::equal(der.data(), der.data() + der.length(), storedDER.data());
    if (stored && !stored->hasPrivateKey() && same && d_joined.insert(idOf(*stored)).second) {
      p.join = true;
      p.joinId = idOf(*stored);
      if (!p.explicitLabel) p.label = stored->getLabel().getValue();
      return Found::kNothing;
    }
    // Stored with its key already (the same certificate, so the same key)
    // is what an import run twice finds.  Another certificate is in the way.
    if (!(stored && stored->hasPrivateKey() && same)) {
      return inTheWay(VELDBError::kDuplicateSignature, "certificate " + nameText(X509_get_subject_name(p.cert)) +
                                                           " is already in the database" + kSkipHint);
    }
  }
  // The same certificate is what an import run twice finds: skipped.
  // Another certificate with the same contents signed anew is in the way.
  if (present && !sameStored) {
    return inTheWay(VELDBError::kDuplicateSignature, "certificate " + nameText(X509_get_subject_name(p.cert)) +
                                                         " is already in the database" + kSkipHint);
  }
  if (!present) {
    // Another certificate with the same issuer and serial number.
    const std::string other = recordWithIssuerAndSerial(d_db, cert);
    if (!other.empty()) {
      return inTheWay(kIssuerAndSerialTaken, "certificate " + nameText(X509_get_subject_name(p.cert)) +
                                                 " has the issuer and serial number of " + other + kSkipHint);
    }
  }
  return present ? Found::kStored : Found::kNothing;
}

void ImportRun::checkClashes() {
  d_keysEmpty = d_db.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger()) == 0;
  std::vector<Planned> kept;
  for (Planned& p : d_plan) {
    Found found = Found::kNothing;
    if (p.join) {
      kept.push_back(p);
      continue;
    }
    if (p.table == Table::Key) {
      found = checkCertificate(p);
    } else if (p.table == Table::KeyPair) {
      const VELASNSubjectPublicKeyInfo spki(publicKeyDER(p.key).get());
      // The same key pair (its public key) stored already: skipped.
      if (d_db.isKeyPairEnabled() && d_db.getKeyPairCountByIndex(VELDBManager::KeyPairPublicKeyInfo, spki) != 0) {
        found = Found::kStored;
      }
    } else {
      const VELASNCertificateList crl(derOf(p.crl).get());
      if (d_db.isCRLEnabled() && d_db.getCRLCountByIndex(VELDBManager::CRLSignature, crl.getSignature()) != 0) {
        found = Found::kStored;
      }
    }
    if (found == Found::kStored) ++d_summary.skipped;
    if (found == Found::kInTheWay) ++d_summary.inTheWay;
    if (found == Found::kNothing) kept.push_back(p);
  }
  d_plan.swap(kept);
}

void ImportRun::joinStoredKeyPairs() {
  // A certificate that comes without its key, for a key pair stored here,
  // takes the key pair's key; the key pair goes (its request is answered).
  std::set<unsigned> pairsTaken;
  for (Planned& p : d_plan) {
    if (p.table != Table::Key || p.key != nullptr || p.join) continue;
    if (d_storedPairs.empty() && pairsTaken.empty()) {
      d_storedPairs = loadKeyPairs(d_db);
      if (d_storedPairs.empty()) break;
    }
    p.keyPair = keyPairFor(d_storedPairs, pairsTaken, p.cert);
    if (p.keyPair != nullptr) pairsTaken.insert(p.keyPair->id);
  }
}

void ImportRun::assignLabels() {
  // Labels: given, or derived from the subject (issuer for CRLs) and made
  // unique in their table with " #2", " #3", ...
  std::set<std::pair<int, std::string>> used;
  for (auto p = d_plan.begin(); p != d_plan.end();) {
    if (p->explicitLabel) {
      try {
        requireLabelFree(d_db, p->table, p->label, p->join ? p->joinId : 0);
      } catch (const VELException&) {
        if (!d_options.skipExisting) throw;
        ++d_summary.inTheWay;
        p = d_plan.erase(p);
        continue;
      }
      used.insert({static_cast<int>(p->table), p->label});
    }
    ++p;
  }
  for (Planned& p : d_plan) {
    if (p.join) used.insert({static_cast<int>(p.table), p.label});
  }
  for (Planned& p : d_plan) {
    if (p.explicitLabel || p.join) continue;
    // A certificate's own name (a PKCS#12 friendly name), else the name
    // its key pair had, else one from the subject (the issuer's, with
    // " CRL", for a CRL).
    std::string base = p.cert ? certificateAlias(p.cert) : std::string();
    if (base.empty() && !p.inputLabel.empty() && labelFault(p.inputLabel).empty()) base = p.inputLabel;
    if (base.empty() && p.keyPair != nullptr) base = p.keyPair->label;
    if (base.empty()) {
      base = p.cert      ? labelFromName(X509_get_subject_name(p.cert))
             : p.request ? labelFromName(X509_REQ_get_subject_name(p.request))
                         : crlDefaultLabel(p.crl);
    }
    std::string label = base;
    for (int n = 2; used.count({static_cast<int>(p.table), label}) != 0 ||
                    (!(p.table == Table::Key && d_keysEmpty) && labelTaken(d_db, p.table, label));
         ++n) {
      label = base + " #" + std::to_string(n);
    }
    used.insert({static_cast<int>(p.table), label});
    p.label = label;
  }
}

// Wraps the keys of the plan under the database password, by the plan's
// index: two at a time, the second in another thread, since each wrap is a
// key derivation of kWrapIterations rounds.  A fault is kept for the record
// whose building reports it, as if the keys had been wrapped one by one.
std::vector<ImportRun::WrappedKey> ImportRun::wrapKeys() {
  std::vector<WrappedKey> wrapped(d_plan.size());
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < d_plan.size(); ++i) {
    const Planned& p = d_plan[i];
    if (p.join || p.table == Table::KeyPair || (p.table == Table::Key && p.keyPair == nullptr && p.key != nullptr)) {
      todo.push_back(i);
    }
  }
  std::atomic<std::size_t> next{0};
  auto wrapSome = [&](bool here) {
    for (std::size_t k = next++; k < todo.size(); k = next++) {
      // Ctrl-C stops the wrapping here; the other thread ends with its key.
      if (here) checkInterrupt();
      if (!here && pendingSignal() != 0) return;
      WrappedKey& w = wrapped[todo[k]];
      try {
        w.der = wrapPrivateKey(d_plan[todo[k]].key, d_password);
      } catch (...) {
        w.fault = std::current_exception();
      }
    }
  };
  struct Helper {
    std::atomic<std::size_t>& next;
    std::size_t end;
    std::thread thread;
    ~Helper() {
      next = end;  // nothing more for it to take
      if (thread.joinable()) thread.join();
    }
  } helper{next, todo.size(), {}};
  if (todo.size() > 1) {
    try {
      helper.thread = startBackgroundThread([&wrapSome] { wrapSome(false); });
    } catch (const std::system_error&) {
      // No second thread to be had: this one wraps them all.
    }
  }
  wrapSome(true);
  return wrapped;
}

void ImportRun::buildRecords() {
  // Every record is built (the keys wrapped) before the first insert.
  d_records.clear();
  std::vector<WrappedKey> keys = wrapKeys();
  auto wrappedKey = [&keys](std::size_t i) -> const VELBuffer& {
    if (keys[i].fault) std::rethrow_exception(keys[i].fault);
    return keys[i].der;
  };
  for (std::size_t i = 0; i < d_plan.size(); ++i) {
    const Planned& p = d_plan[i];
    checkInterrupt();
    if (p.join) {
      std::unique_ptr<VELASNKeyRecord> r(
          d_db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(p.joinId)));
      if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
      const VELBuffer& wrapped = wrappedKey(i);
      const VELASNCertificate certificate = r->getCertificate();
      r->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      r->setLabel(p.label);
      d_records.emplace_back(std::move(r));
    } else if (p.table == Table::Key) {
      std::unique_ptr<VELASNKeyRecord> r(new VELASNKeyRecord(1));
      // Decoded once already, as it was read: not decoded again to check it.
      const VELASNCertificate& certificate = *p.certificate;
      if (p.keyPair != nullptr) {
        // Wrapped under this database's password already.
        r->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(p.keyPair->wrappedKey.get()));
      } else if (p.key != nullptr) {
        const VELBuffer& wrapped = wrappedKey(i);
        r->setKeyAndCertificate(certificate, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      } else {
        r->setCertificate(certificate);
      }
      r->setLabel(p.label);
      r->setTrusted((d_options.trusted || p.trustMark) && p.key == nullptr && p.keyPair == nullptr);
      d_records.emplace_back(std::move(r));
    } else if (p.table == Table::KeyPair) {
      std::unique_ptr<VELASNKeyPairRecord> r(new VELASNKeyPairRecord(1));
      const VELBuffer spki = publicKeyDER(p.key);
      const VELBuffer& wrapped = wrappedKey(i);
      r->setKeyPair(VELASNSubjectPublicKeyInfo(spki.get()), VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      r->setCertificationRequest(derOf(p.request).get());
      r->setLabel(p.label);
      d_records.emplace_back(std::move(r));
    } else {
      std::unique_ptr<VELASNCRLRecord> r(new VELASNCRLRecord());
      r->setCRL(derOf(p.crl).get());
      r->setLabel(p.label);
      d_records.emplace_back(std::move(r));
    }
    // A record longer than its table's limit is refused before the table
    // grows for it.
    refuseLongRecord(p.table, *d_records.back(), describe(p), d_options.maxRecordLength);
  }
}

void ImportRun::writeOne(std::size_t i) {
  const Planned& p = d_plan[i];
  VELASNRecord& record = *d_records[i];
  if (p.join) {
    d_db.updateKeyByIndex(VELDBManager::KeyRecordID, static_cast<VELASNKeyRecord&>(record));
  } else if (p.table == Table::Key) {
    d_db.insertKey(static_cast<VELASNKeyRecord&>(record));
    if (p.keyPair != nullptr) {
      d_db.deleteKeyPairByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(p.keyPair->id));
    }
  } else if (p.table == Table::KeyPair) {
    d_db.insertKeyPair(static_cast<VELASNKeyPairRecord&>(record));
  } else {
    d_db.insertCRL(static_cast<VELASNCRLRecord&>(record));
  }
  if (p.join) {
    ++d_summary.joined;
  } else if (p.table == Table::Key) {
    ++d_summary.certificates;
    if (p.key || p.keyPair) ++d_summary.keys;
    if (p.keyPair) ++d_summary.installed;
  } else if (p.table == Table::KeyPair) {
    ++d_summary.keyPairs;
  } else {
    ++d_summary.crls;
  }
}

void ImportRun::write() {
  // All in one transaction: an error rolls every insert back (the guard), a
  // killed process leaves none of them.  A table cannot be enabled inside a
  // transaction; the key-pair table is enabled by the transaction itself.
  if (!d_db.isCRLEnabled()) {
    for (const Planned& p : d_plan) {
      if (p.table == Table::CRL) {
        d_db.enableCRL();
        break;
      }
    }
  }
  const bool bar = d_options.progress && d_plan.size() > 1;
  try {
    FileDBTransactionGuard transaction(d_db);
    for (std::size_t i = 0; i < d_plan.size(); ++i) {
      // Ctrl-C stops the import here; the guard rolls every insert back.
      checkInterrupt();
      const Planned& p = d_plan[i];
      try {
        writeOne(i);
      } catch (const VELException& e) {
        // A refused insert leaves the transaction as it was.
        if (!d_options.skipExisting || !uniqueKeyTaken(e.getError())) {
          std::string context = describe(p);
          if (p.table == Table::Key && e.getError() == kIssuerAndSerialTaken) {
            // Two certificates of this import share them.
            const std::string other =
                recordWithIssuerAndSerial(d_db, static_cast<VELASNKeyRecord&>(*d_records[i]).getCertificate());
            if (!other.empty()) context += " has the issuer and serial number of " + other;
          }
          rethrowWithContext(e, context);
        }
        ++(alreadyStored(p, e.getError()) ? d_summary.skipped : d_summary.inTheWay);
        if (bar) drawProgress(i + 1, d_plan.size());
        continue;
      }
      testCrashPoint("import", i + 1);
      if (bar) drawProgress(i + 1, d_plan.size());
    }
    transaction.commit();
  } catch (...) {
    // An interrupted import takes its bar away; an error leaves it above
    // the message.
    if (bar) std::fputs(pendingSignal() != 0 ? "\r\033[K" : "\n", stderr);
    throw;
  }
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
  if (inTheWay != 0) out << "; skipped " << inTheWay << " in the way of other records";
  if (trustIgnored != 0) {
    out << "; " << trustIgnored << (trustIgnored == 1 ? " trust mark" : " trust marks")
        << " of the input not taken (--keep-trust takes them)";
  }
  return out.str();
}

ImportSummary importItems(FileDBManager& db, const Secret& password, InputItems& items,
                          const ImportOptions& options) {
  ImportRun run(db, password, options);
  if (!run.classify(items)) return run.summary();
  run.applyExplicitLabel();
  run.checkClashes();
  run.joinStoredKeyPairs();
  run.assignLabels();
  run.buildRecords();
  if (!run.nothingToWrite()) run.write();  // else everything was there already
  return run.summary();
}

}  // namespace velkdb
