// veltestdatabase.h -- helpers for the tests that drive a whole
// database (key, key-pair and CRL tables) through the manager and compare
// what a reopen finds with what must be there: a fixed set of records of
// the three tables, and the state of a database as labels, record DER and
// expiration times.
#ifndef TESTSUPPORT_VELTESTDATABASE_H
#define TESTSUPPORT_VELTESTDATABASE_H

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "filedbbinaryfile.h"
#include "filedbcrlstorage.h"
#include "filedbkeypairstorage.h"
#include "filedbkeystorage.h"
#include "filedbmanager.h"
#include "filedbtransaction.h"
#include "filedbtransactionguard.h"
#include "velasnrecords.h"
#include "velexception.h"
#include "velmutex.h"
#include "velpassword.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace VELTestDatabase {

// --- files -------------------------------------------------------------------

using VELTestUtil::fileSize;
using VELTestUtil::password;
using VELTestUtil::readAll;
using VELTestUtil::writeAll;

// The names of the files in `dir` other than the three tables of `base`
// (journals, transaction files and the like).
inline std::vector<std::string> sideFiles(const std::string& dir, const std::string& base) {
  std::vector<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string path = entry.path().string();
    if (path != base + ".vkey" && path != base + ".vkyp" && path != base + ".vcrl") {
      out.push_back(entry.path().filename().string());
    }
  }
  return out;
}
// Removes every file in `dir` other than the three tables of `base`.
inline void removeSideFiles(const std::string& dir, const std::string& base) {
  for (const std::string& name : sideFiles(dir, base)) std::filesystem::remove(dir + "/" + name);
}

inline std::string hex(unsigned long v) {
  std::ostringstream out;
  out << std::hex << std::uppercase << v;
  return out.str();
}

enum Table { kKeys, kKeyPairs, kCRLs, kTableCount };
inline const char* const kTableNames[kTableCount] = {"key", "key pair", "CRL"};
inline const char* const kSuffixes[kTableCount] = {".vkey", ".vkyp", ".vcrl"};

// Every file of the database: the tables under their suffixes, the files
// beside them under their names.
inline std::map<std::string, std::string> databaseFiles(const std::string& dir, const std::string& base) {
  std::map<std::string, std::string> out;
  for (const char* suffix : kSuffixes) out[suffix] = readAll(base + suffix);
  for (const std::string& name : sideFiles(dir, base)) out[name] = readAll(dir + "/" + name);
  return out;
}
// The tables as `images` (key, key pair, CRL) hold them, nothing beside them.
inline void restoreTables(const std::string& dir, const std::string& base, const std::string* images) {
  removeSideFiles(dir, base);
  for (int t = 0; t < kTableCount; ++t) writeAll(base + kSuffixes[t], images[t]);
}

// --- records -----------------------------------------------------------------

template <class RECORD>
std::string derOf(const RECORD& r) {
  const VELBuffer b = r.write();
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

template <class RECORD>
unsigned idOf(const RECORD& r) {
  return static_cast<unsigned>(r.getRecordID().getUnsignedValue());
}

// A key record for a new certificate of `key` named `subject`.
inline std::unique_ptr<VELASNKeyRecord> keyRecord(const std::string& label, EVP_PKEY* key, const std::string& subject,
                                                  bool withPrivateKey = true) {
  VELTestPKI::Cert cert = VELTestPKI::makeSelfSigned(key, subject);
  std::unique_ptr<VELASNKeyRecord> record(new VELASNKeyRecord());
  record->setLabel(label);
  const VELBuffer certDER = VELTestPKI::derOf(cert.get());
  if (withPrivateKey) {
    record->setKeyAndCertificate(certDER.get(), VELTestPKI::encryptedPrivateKeyDER(key).get());
  } else {
    record->setCertificate(certDER.get());
  }
  return record;
}

// A certificate authority whose CRLs share one issuer name.
struct Authority {
  VELTestPKI::PKey key;
  VELTestPKI::Cert cert;
  explicit Authority(const std::string& name) : key(VELTestPKI::makeKey()) {
    VELTestPKI::CertOptions options;
    options.ca = true;
    cert = VELTestPKI::makeSelfSigned(key.get(), name, options);
  }
  std::unique_ptr<VELASNCRLRecord> crl(const std::string& label, std::size_t revoked = 2) const {
    VELTestPKI::CRL list = VELTestPKI::makeCRL(cert.get(), key.get(), revoked);
    std::unique_ptr<VELASNCRLRecord> record(new VELASNCRLRecord());
    record->setLabel(label);
    record->setCRL(VELTestPKI::derOf(list.get()).get());
    return record;
  }
};

// A copy of `r` with another label and record ID.
template <class RECORD>
std::unique_ptr<RECORD> relabelled(const RECORD& r, const std::string& label, unsigned id = 0) {
  std::unique_ptr<RECORD> copy(new RECORD(r));
  copy->setLabel(label);
  copy->setRecordID(id);
  return copy;
}

// The records the database tests use.  A database starts with k1..k3,
// p1..p3 and c1..c3 (record IDs 1, 2, 3 in each table); the others are
// inserted or written over them.
struct Records {
  // k1 and k3 share a subject, k2 and k3 a public key; k2 has no private key.
  std::unique_ptr<VELASNKeyRecord> k1, k2, k3, k4, k1renewed, k2renewed, bigKey;
  std::unique_ptr<VELASNKeyPairRecord> p1, p2, p3, p4, p1renewed, p2renewed, bigPair;
  // c1 and c2 are of authority A, the others of B.
  std::unique_ptr<VELASNCRLRecord> c1, c2, c3, c4, c1renewed, c2renewed, bigCRL;

  Records() {
    VELTestPKI::PKey a = VELTestPKI::makeKey();
    VELTestPKI::PKey b = VELTestPKI::makeKey();
    VELTestPKI::PKey c = VELTestPKI::makeKey();
    k1 = keyRecord("k1", a.get(), "CN=record one");
    k2 = keyRecord("k2", b.get(), "CN=record two", false);
    k3 = keyRecord("k3", b.get(), "CN=record one");
    k4 = keyRecord("k4", c.get(), "CN=record four");
    k1renewed = keyRecord("k1", c.get(), "CN=record one renewed");
    k2renewed = keyRecord("k2 renewed", c.get(), "CN=record two renewed");
    // Past the 5000-byte slots of a new file.
    bigKey = VELTestPKI::makeKeyRecord(std::string(5200, 'L'), "CN=record big");
    p1 = VELTestPKI::makeKeyPairRecord("p1", "CN=pair one");
    p2 = VELTestPKI::makeKeyPairRecord("p2", "CN=pair two");
    p3 = VELTestPKI::makeKeyPairRecord("p3", "CN=pair three");
    p4 = VELTestPKI::makeKeyPairRecord("p4", "CN=pair four");
    p1renewed = VELTestPKI::makeKeyPairRecord("p1", "CN=pair one renewed");
    p2renewed = VELTestPKI::makeKeyPairRecord("p2 renewed", "CN=pair two renewed");
    bigPair = VELTestPKI::makeKeyPairRecord(std::string(5200, 'P'), "CN=pair big");
    const Authority authorityA("CN=authority A");
    const Authority authorityB("CN=authority B");
    c1 = authorityA.crl("c1");
    c2 = authorityA.crl("c2");
    c3 = authorityB.crl("c3");
    c4 = authorityB.crl("c4");
    c1renewed = authorityA.crl("c1", 3);
    c2renewed = authorityB.crl("c2 renewed", 1);
    bigCRL = authorityB.crl("c big", 200);
  }

  // Creates the database of `info` (a create type) with k1..k3, p1..p3 and
  // c1..c3.
  void createDatabase(const VELDBConnectInfo::FILE& info) const {
    FileDBManager m(info);
    for (const VELASNKeyRecord* r : {k1.get(), k2.get(), k3.get()}) {
      VELASNKeyRecord copy(*r);
      m.insertKey(copy);
    }
    for (const VELASNKeyPairRecord* r : {p1.get(), p2.get(), p3.get()}) {
      VELASNKeyPairRecord copy(*r);
      m.insertKeyPair(copy);
    }
    for (const VELASNCRLRecord* r : {c1.get(), c2.get(), c3.get()}) {
      VELASNCRLRecord copy(*r);
      m.insertCRL(copy);
    }
  }
};

// --- the state of a database -------------------------------------------------

// Per table, label -> DER of each record (with its record ID), and each
// table's password expiration time.
struct State {
  std::map<std::string, std::string> tables[kTableCount];
  long long expiry[kTableCount] = {0, 0, 0};
  bool operator==(const State& o) const {
    for (int t = 0; t < kTableCount; ++t) {
      if (tables[t] != o.tables[t] || expiry[t] != o.expiry[t]) return false;
    }
    return true;
  }
  bool operator!=(const State& o) const { return !(*this == o); }
  // Labels (cut short) and expiration times, for failure messages.
  std::string describe() const {
    std::ostringstream out;
    for (int t = 0; t < kTableCount; ++t) {
      out << (t == 0 ? "" : "; ") << kTableNames[t] << " {";
      bool first = true;
      for (const auto& kv : tables[t]) {
        out << (first ? "" : ",") << (kv.first.size() > 12 ? kv.first.substr(0, 12) + "..." : kv.first);
        first = false;
      }
      out << "}";
      if (expiry[t] != 0) out << " expiry " << expiry[t];
    }
    return out.str();
  }
};

// `s` with `r` stored under record ID `id` (replacing a record of its label).
template <class RECORD>
State with(State s, Table t, const RECORD& r, unsigned id) {
  RECORD copy(r);
  copy.setRecordID(id);
  s.tables[t][copy.getLabel().getValue()] = derOf(copy);
  return s;
}
inline State without(State s, Table t, const std::vector<std::string>& labels) {
  for (const std::string& label : labels) s.tables[t].erase(label);
  return s;
}
inline State expiring(State s, long long time) {
  for (long long& e : s.expiry) e = time;
  return s;
}

// The expiration time of the table of `path` as this process has it open.
template <class STORAGE>
long long expiryOf(const VELDBConnectInfo::FILE& info, const std::string& path) {
  VELMutexLocker guard(FileDBStorage::getClassMutex());
  STORAGE* storage = STORAGE::connectFile(info, FileDBBinaryFile::fullPathName(path));
  long long time = 0;
  {
    VELMutexLocker instance(storage->getInstanceMutex());
    time = storage->getPasswordExpirationTime();
  }
  STORAGE::disconnect(storage, false);
  return time;
}

// Why the table file `path` cannot be opened on its own; empty when it can.
template <class STORAGE>
std::string refusalOf(const VELDBConnectInfo::FILE& info, const std::string& path) {
  try {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    STORAGE* storage = STORAGE::connectFile(info, FileDBBinaryFile::fullPathName(path));
    STORAGE::disconnect(storage, false);
  } catch (const VELDBException& e) {
    return "0x" + hex(e.getError()) + " " + e.getMessage();
  }
  return std::string();
}

// Why a reopened database lacks its key-pair or CRL table (the manager
// opens without them); empty when both are enabled.  Gives `m` up to ask
// the files themselves.
inline std::string disabledTables(std::unique_ptr<FileDBManager>& m, const VELDBConnectInfo::FILE& info,
                                  const std::string& base) {
  const bool keyPairOff = !m->isKeyPairEnabled();
  const bool crlOff = !m->isCRLEnabled();
  if (!keyPairOff && !crlOff) return std::string();
  m.reset();
  std::string why;
  if (keyPairOff) {
    why += "key-pair table disabled (" + refusalOf<FileDBKeyPairStorage>(info, base + kSuffixes[kKeyPairs]) + ")";
  }
  if (crlOff) {
    why += std::string(keyPairOff ? ", " : "") + "CRL table disabled (" +
           refusalOf<FileDBCRLStorage>(info, base + kSuffixes[kCRLs]) + ")";
  }
  return why;
}

// Walks one table into `out`; every record must be found again by its
// label, and the whole-table count must be the number walked.
template <class RECORD, class NEXT, class BY_LABEL>
void walkTable(std::map<std::string, std::string>& out, VELDBIterator* iterator, NEXT next, BY_LABEL byLabel,
               unsigned long long count, const char* table, std::vector<std::string>& problems) {
  std::unique_ptr<VELDBIterator> it(iterator);
  for (;;) {
    std::unique_ptr<RECORD> r(next(*it));
    if (!r) break;
    const std::string label = r->getLabel().getValue();
    const std::string der = derOf(*r);
    if (!out.emplace(label, der).second) problems.push_back(std::string(table) + " label seen twice: " + label);
    std::unique_ptr<RECORD> found(byLabel(VELASNLabelString(label)));
    if (!found || derOf(*found) != der) problems.push_back(std::string(table) + " lookup by label differs: " + label);
  }
  if (count != out.size()) {
    problems.push_back(std::string(table) + " count " + std::to_string(count) + " but " + std::to_string(out.size()) +
                       " records walked");
  }
}

// The records of an open database (expiration times left 0); every
// inconsistency found on the way goes to `problems`.
inline State recordsOf(FileDBManager& m, std::vector<std::string>& problems) {
  State s;
  const VELASNInteger any;
  walkTable<VELASNKeyRecord>(
      s.tables[kKeys], m.getKeyIterator(), [&](VELDBIterator& it) { return m.getKeyNextRecord(it); },
      [&](const VELASNLabelString& l) { return m.getKeyByIndex(VELDBManager::KeyLabel, l); },
      m.getKeyCountByIndex(VELDBManager::KeyAllRecords, any), "key", problems);
  walkTable<VELASNKeyPairRecord>(
      s.tables[kKeyPairs], m.getKeyPairIterator(), [&](VELDBIterator& it) { return m.getKeyPairNextRecord(it); },
      [&](const VELASNLabelString& l) { return m.getKeyPairByIndex(VELDBManager::KeyPairLabel, l); },
      m.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, any), "key pair", problems);
  walkTable<VELASNCRLRecord>(
      s.tables[kCRLs], m.getCRLIterator(), [&](VELDBIterator& it) { return m.getCRLNextRecord(it); },
      [&](const VELASNLabelString& l) { return m.getCRLByIndex(VELDBManager::CRLLabel, l); },
      m.getCRLCountByIndex(VELDBManager::CRLAllRecords, any), "CRL", problems);
  return s;
}

// The state of an open database whose files are `base` and the suffixes,
// opened with `info`; every inconsistency found on the way goes to
// `problems`.
inline State stateOf(FileDBManager& m, const VELDBConnectInfo::FILE& info, const std::string& base,
                     std::vector<std::string>& problems) {
  State s = recordsOf(m, problems);
  s.expiry[kKeys] = expiryOf<FileDBKeyStorage>(info, base + kSuffixes[kKeys]);
  s.expiry[kKeyPairs] = expiryOf<FileDBKeyPairStorage>(info, base + kSuffixes[kKeyPairs]);
  s.expiry[kCRLs] = expiryOf<FileDBCRLStorage>(info, base + kSuffixes[kCRLs]);
  return s;
}

// --- a transaction over the three tables ---------------------------------------

// Inserts, updates and deletes in every table, interleaved, in one
// transaction (rolled back when any of it throws), on a database made by
// `Records::createDatabase`.
inline void mixedTransaction(FileDBManager& m, const Records& r) {
  FileDBTransactionGuard transaction(m);
  VELASNKeyRecord k4(*r.k4);
  m.insertKey(k4);
  VELASNKeyPairRecord p1(*r.p1renewed);
  m.updateKeyPairByIndex(VELDBManager::KeyPairLabel, p1);
  if (m.deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("c3")) != 1) {
    VELDB_THROW(VELDBError::kNoMatchingRecord, "c3 not deleted");
  }
  VELASNCRLRecord c4(*r.c4);
  m.insertCRL(c4);
  if (m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("k2")) != 1) {
    VELDB_THROW(VELDBError::kNoMatchingRecord, "k2 not deleted");
  }
  m.updateCRLByIndex(VELDBManager::CRLRecordID, *relabelled(*r.c2renewed, "c2 renewed", 2));
  VELASNKeyPairRecord p4(*r.p4);
  m.insertKeyPair(p4);
  transaction.commit();
}
// What `mixedTransaction` makes of `s`.
inline State afterMixedTransaction(const State& s, const Records& r) {
  State out = without(without(without(s, kCRLs, {"c3"}), kKeys, {"k2"}), kCRLs, {"c2"});
  out = with(out, kKeys, *r.k4, 4);
  out = with(out, kKeyPairs, *r.p1renewed, 1);
  out = with(out, kCRLs, *r.c4, 4);
  out = with(out, kCRLs, *r.c2renewed, 2);
  return with(out, kKeyPairs, *r.p4, 4);
}

}  // namespace VELTestDatabase

#endif
