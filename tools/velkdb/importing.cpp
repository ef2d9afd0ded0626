// Planning an import (importItems, for `import`, `request` and the demo):
// each key paired with its certificate or request, what is stored already
// skipped, the clashes refused, labels given.  importwrite.cpp builds the
// records and writes them.
#include <algorithm>
#include <exception>
#include <memory>
#include <set>
#include <string_view>

#include "clash.h"
#include "importrun.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

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

// Said with a refusal of a record in the way, for a key store whose CA
// certificates are stored under other names or signatures.
const char* const kSkipHint = " (--skip-existing skips it and imports the rest)";

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

}  // namespace

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
  // Each certificate's public key, decoded once, when a key is compared with it.
  std::vector<Ossl<EVP_PKEY>> certKeys(items.certs.size());
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
      if (certUsed[i]) continue;
      if (!certKeys[i]) certKeys[i] = publicKeyOf(items.certs[i].get());
      if (certKeys[i] && EVP_PKEY_eq(certKeys[i].get(), key.get()) == 1) {
        certUsed[i] = true;
        p.table = Table::Key;
        p.cert = items.certs[i].get();
      }
    }
    ERR_clear_error();
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
      return inTheWay(VELDBError::kDuplicateIssuerAndSerial, "certificate " + nameText(X509_get_subject_name(p.cert)) +
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
      } catch (const VELException& e) {
        // Only the label in use is skipped; a failed lookup is reported.
        if (!d_options.skipExisting || e.getError() != VELDBError::kDuplicateLabel) throw;
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
