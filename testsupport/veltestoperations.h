// veltestoperations.h -- every record operation of each table, written once
// for the crash, fault and power-loss matrices.
//
// The operations work on the database `Records::createDatabase` makes (IDs:
// k1 1, k2 2, k3 3; p1 1, p2 2, p3 3; c1 1, c2 2, c3 3) and say what they
// leave.
#ifndef TESTSUPPORT_VELTESTOPERATIONS_H
#define TESTSUPPORT_VELTESTOPERATIONS_H

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velasnutility.h"
#include "veldbutility.h"
#include "veltestdatabase.h"

namespace VELTestOperations {

using namespace VELTestDatabase;

// `run` changes the open database and returns the number of records it
// reports deleted, or -1; `reports` is that number when it succeeds.  A
// matrix may run `prepare` first on a healthy disk; with `run` empty the
// close that follows is the operation.
struct Operation {
  std::string name;
  std::function<long long(FileDBManager&)> run;
  State after;
  long long reports = -1;
  bool changesPassword = false;
  std::function<void(FileDBManager&)> prepare = nullptr;
};

template <class F>
std::function<long long(FileDBManager&)> returning(F f) {
  return [f](FileDBManager& m) -> long long {
    f(m);
    return -1;
  };
}

template <class F>
std::function<long long(FileDBManager&)> counting(F f) {
  return [f](FileDBManager& m) { return static_cast<long long>(f(m)); };
}

// One table as its operations drive it: the records they use (x1 renewed,
// x2, x2 renewed, x4 and one too big for a new file's slots), the manager's
// calls and indexes, and x2's keys in its other unique indexes and the keys
// of its multi indexes, each with the labels a delete by it takes.
template <class RECORD, class UNIQUE, class MULTI>
struct TableOperations {
  std::string name;
  Table table;
  std::string prefix;  // of the labels
  const RECORD *x1renewed, *x2, *x2renewed, *x4, *big;
  void (FileDBManager::*insert)(RECORD&);
  void (FileDBManager::*update)(UNIQUE, RECORD&);
  unsigned long long (FileDBManager::*remove)(UNIQUE, const VELASNObject&);
  unsigned long long (FileDBManager::*removeAll)(MULTI, const VELASNObject&);
  UNIQUE byID, byLabel;
  MULTI all;
  std::vector<std::pair<UNIQUE, std::pair<std::string, std::shared_ptr<VELASNObject>>>> uniqueKeys;
  std::vector<std::pair<MULTI, std::pair<std::string, std::shared_ptr<VELASNObject>>>> multiKeys;
  std::vector<std::vector<std::string>> multiDeletes;  // the labels each multi key takes

  // Inserts, updates through every unique index, deletes through every
  // index, in this order.
  std::vector<Operation> operations(const State& s) const {
    const TableOperations t = *this;
    const std::string x2label = prefix + "2";
    const State withoutX2 = without(s, table, {x2label});
    const State renamed = with(withoutX2, table, *relabelled(*x2, x2label + " renamed"), 2);
    std::vector<Operation> ops = {
        {name + " insert", returning([t](FileDBManager& m) {
           RECORD r(*t.x4);
           (m.*t.insert)(r);
         }),
         with(s, table, *x4, 4)},
        {name + " insert growing the slots", returning([t](FileDBManager& m) {
           RECORD r(*t.big);
           (m.*t.insert)(r);
         }),
         with(s, table, *big, 4)},
        {name + " update by record ID", returning([t, x2label](FileDBManager& m) {
           (m.*t.update)(t.byID, *relabelled(*t.x2renewed, x2label + " renewed", 2));
         }),
         with(withoutX2, table, *x2renewed, 2)},
        {name + " update by label", returning([t](FileDBManager& m) {
           RECORD r(*t.x1renewed);
           (m.*t.update)(t.byLabel, r);
         }),
         with(s, table, *x1renewed, 1)},
    };
    for (const auto& key : uniqueKeys) {
      const UNIQUE i = key.first;
      ops.push_back({name + " update by " + key.second.first, returning([t, i, x2label](FileDBManager& m) {
                       (m.*t.update)(i, *relabelled(*t.x2, x2label + " renamed"));
                     }),
                     renamed});
    }
    const std::shared_ptr<VELASNObject> id = std::make_shared<VELASNInteger>(VELDBUtility::recordIDToASN(2));
    const std::shared_ptr<VELASNObject> label = std::make_shared<VELASNLabelString>(x2label);
    std::vector<std::pair<UNIQUE, std::pair<std::string, std::shared_ptr<VELASNObject>>>> deletes = {
        {byID, {"record ID", id}}, {byLabel, {"label", label}}};
    deletes.insert(deletes.end(), uniqueKeys.begin(), uniqueKeys.end());
    for (const auto& key : deletes) {
      const UNIQUE i = key.first;
      const std::shared_ptr<VELASNObject> object = key.second.second;
      ops.push_back({name + " delete by " + key.second.first,
                     counting([t, i, object](FileDBManager& m) { return (m.*t.remove)(i, *object); }), withoutX2, 1});
    }
    ops.push_back({name + " delete all",
                   counting([t](FileDBManager& m) { return (m.*t.removeAll)(t.all, VELASNInteger()); }),
                   without(s, table, {prefix + "1", prefix + "2", prefix + "3"}), 3});
    for (std::size_t k = 0; k < multiKeys.size(); ++k) {
      const MULTI i = multiKeys[k].first;
      const std::shared_ptr<VELASNObject> object = multiKeys[k].second.second;
      ops.push_back({name + " delete by " + multiKeys[k].second.first,
                     counting([t, i, object](FileDBManager& m) { return (m.*t.removeAll)(i, *object); }),
                     without(s, table, multiDeletes[k]), static_cast<long long>(multiDeletes[k].size())});
    }
    return ops;
  }
};

template <class T, class... ARGS>
std::pair<std::string, std::shared_ptr<VELASNObject>> key(const char* name, ARGS&&... args) {
  return {name, std::make_shared<T>(std::forward<ARGS>(args)...)};
}

inline std::vector<Operation> keyOperations(const Records& r, const State& s) {
  const VELASNCertificate& k1 = r.k1->getCertificate();
  const VELASNCertificate& k2 = r.k2->getCertificate();
  using M = VELDBManager;
  const TableOperations<VELASNKeyRecord, M::KeyUniqueIndex, M::KeyMultiIndex> ops = {
      "key", kKeys, "k", r.k1renewed.get(), r.k2.get(), r.k2renewed.get(), r.k4.get(), r.bigKey.get(),
      &FileDBManager::insertKey, &FileDBManager::updateKeyByIndex, &FileDBManager::deleteKeyByIndex,
      &FileDBManager::deleteKeyByIndex, M::KeyRecordID, M::KeyLabel, M::KeyAllRecords,
      {{M::KeySignature, key<VELASNBitString>("signature", k2.getSignature())},
       {M::KeyTBSCertificate, key<VELASNTBSCertificate>("to-be-signed certificate", k2.getTBSCertificate())},
       {M::KeyIssuerAndSerialNumber, key<VELASNIssuerAndSerialNumber>("issuer and serial number",
                                                                      VELASNUtility::getIssuerAndSerialNumber(k2))}},
      {{M::KeySubjectName, key<VELASNx500Name>("subject", k1.getSubject())},
       {M::KeyPublicKeyInfo, key<VELASNSubjectPublicKeyInfo>("public key", k2.getSubjectPublicKeyInfo())}},
      {{"k1", "k3"}, {"k2", "k3"}}};
  return ops.operations(s);
}

inline std::vector<Operation> keyPairOperations(const Records& r, const State& s) {
  using M = VELDBManager;
  const TableOperations<VELASNKeyPairRecord, M::KeyPairUniqueIndex, M::KeyPairMultiIndex> ops = {
      "key-pair", kKeyPairs, "p", r.p1renewed.get(), r.p2.get(), r.p2renewed.get(), r.p4.get(), r.bigPair.get(),
      &FileDBManager::insertKeyPair, &FileDBManager::updateKeyPairByIndex, &FileDBManager::deleteKeyPairByIndex,
      &FileDBManager::deleteKeyPairByIndex, M::KeyPairRecordID, M::KeyPairLabel, M::KeyPairAllRecords,
      {{M::KeyPairPublicKeyInfo,
        key<VELASNSubjectPublicKeyInfo>("public key", r.p2->getKeyPair().getSubjectPublicKeyInfo())}},
      {},
      {}};
  return ops.operations(s);
}

inline std::vector<Operation> crlOperations(const Records& r, const State& s) {
  const VELASNCertificateList& c2 = r.c2->getCRL();
  using M = VELDBManager;
  const TableOperations<VELASNCRLRecord, M::CRLUniqueIndex, M::CRLMultiIndex> ops = {
      "CRL", kCRLs, "c", r.c1renewed.get(), r.c2.get(), r.c2renewed.get(), r.c4.get(), r.bigCRL.get(),
      &FileDBManager::insertCRL, &FileDBManager::updateCRLByIndex, &FileDBManager::deleteCRLByIndex,
      &FileDBManager::deleteCRLByIndex, M::CRLRecordID, M::CRLLabel, M::CRLAllRecords,
      {{M::CRLSignature, key<VELASNBitString>("signature", c2.getSignature())},
       {M::CRLTBSCertList, key<VELASNTBSCertList>("to-be-signed list", c2.getTBSCertList())}},
      {{M::CRLIssuerName, key<VELASNx500Name>("issuer", c2.getIssuer())}},
      {{"c1", "c2"}}};
  return ops.operations(s);
}

// The operations of one table.
inline std::vector<Operation> tableOperations(Table table, const Records& records, const State& s) {
  switch (table) {
    case kKeys:
      return keyOperations(records, s);
    case kKeyPairs:
      return keyPairOperations(records, s);
    default:
      return crlOperations(records, s);
  }
}

// What a matrix test runs on: a header version, and the table whose
// operations it drives (-1: a test about the whole database).
struct Case {
  int version;
  int table;
};

inline std::vector<Case> versions() { return {{3, -1}, {4, -1}}; }
inline std::vector<Case> versionsAndTables() {
  std::vector<Case> out;
  for (int version : {3, 4}) {
    for (int t = 0; t < kTableCount; ++t) out.push_back({version, t});
  }
  return out;
}

inline std::string caseName(const ::testing::TestParamInfo<Case>& p) {
  static const char* const kNames[kTableCount] = {"Key", "KeyPair", "CRL"};
  return "V" + std::to_string(p.param.version) + (p.param.table < 0 ? "" : kNames[p.param.table]);
}

}  // namespace VELTestOperations

#endif
