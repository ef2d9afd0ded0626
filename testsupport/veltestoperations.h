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
#include <string>
#include <utility>
#include <vector>

#include "velasnutility.h"
#include "veldbutility.h"
#include "veltestdatabase.h"

namespace VELTestOperations {

using namespace VELTestDatabase;

// `run` changes the open database and returns the number of records it
// reports deleted, or -1; `reports` is that number when it succeeds.
struct Operation {
  std::string name;
  std::function<long long(FileDBManager&)> run;
  State after;
  long long reports = -1;
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

inline std::vector<Operation> keyOperations(const Records& records, const State& s) {
  const Records* r = &records;
  const VELASNCertificate* k1 = &records.k1->getCertificate();
  const VELASNCertificate* k2 = &records.k2->getCertificate();
  const State withoutK2 = without(s, kKeys, {"k2"});
  const State k2renamed = with(withoutK2, kKeys, *relabelled(*records.k2, "k2 renamed"), 2);
  std::vector<Operation> ops = {
      {"key insert", returning([r](FileDBManager& m) {
         VELASNKeyRecord k(*r->k4);
         m.insertKey(k);
       }),
       with(s, kKeys, *records.k4, 4)},
      {"key insert growing the slots", returning([r](FileDBManager& m) {
         VELASNKeyRecord k(*r->bigKey);
         m.insertKey(k);
       }),
       with(s, kKeys, *records.bigKey, 4)},
      {"key update by record ID", returning([r](FileDBManager& m) {
         m.updateKeyByIndex(VELDBManager::KeyRecordID, *relabelled(*r->k2renewed, "k2 renewed", 2));
       }),
       with(withoutK2, kKeys, *records.k2renewed, 2)},
      {"key update by label", returning([r](FileDBManager& m) {
         VELASNKeyRecord k(*r->k1renewed);
         m.updateKeyByIndex(VELDBManager::KeyLabel, k);
       }),
       with(s, kKeys, *records.k1renewed, 1)},
  };
  const std::pair<VELDBManager::KeyUniqueIndex, const char*> byCertificate[] = {
      {VELDBManager::KeySignature, "signature"},
      {VELDBManager::KeyTBSCertificate, "to-be-signed certificate"},
      {VELDBManager::KeyIssuerAndSerialNumber, "issuer and serial number"}};
  for (const auto& index : byCertificate) {
    const VELDBManager::KeyUniqueIndex i = index.first;
    ops.push_back({std::string("key update by ") + index.second,
                   returning([r, i](FileDBManager& m) { m.updateKeyByIndex(i, *relabelled(*r->k2, "k2 renamed")); }),
                   k2renamed});
  }
  const std::vector<Operation> deletes = {
      {"key delete by record ID", counting([](FileDBManager& m) {
         return m.deleteKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(2));
       }),
       withoutK2, 1},
      {"key delete by label", counting([](FileDBManager& m) {
         return m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("k2"));
       }),
       withoutK2, 1},
      {"key delete by signature",
       counting([k2](FileDBManager& m) { return m.deleteKeyByIndex(VELDBManager::KeySignature, k2->getSignature()); }),
       withoutK2, 1},
      {"key delete by to-be-signed certificate", counting([k2](FileDBManager& m) {
         return m.deleteKeyByIndex(VELDBManager::KeyTBSCertificate, k2->getTBSCertificate());
       }),
       withoutK2, 1},
      {"key delete by issuer and serial number", counting([k2](FileDBManager& m) {
         return m.deleteKeyByIndex(VELDBManager::KeyIssuerAndSerialNumber, VELASNUtility::getIssuerAndSerialNumber(*k2));
       }),
       withoutK2, 1},
      {"key delete all", counting([](FileDBManager& m) {
         return m.deleteKeyByIndex(VELDBManager::KeyAllRecords, VELASNInteger());
       }),
       without(s, kKeys, {"k1", "k2", "k3"}), 3},
      {"key delete by subject",
       counting([k1](FileDBManager& m) { return m.deleteKeyByIndex(VELDBManager::KeySubjectName, k1->getSubject()); }),
       without(s, kKeys, {"k1", "k3"}), 2},
      {"key delete by public key", counting([k2](FileDBManager& m) {
         return m.deleteKeyByIndex(VELDBManager::KeyPublicKeyInfo, k2->getSubjectPublicKeyInfo());
       }),
       without(s, kKeys, {"k2", "k3"}), 2},
  };
  ops.insert(ops.end(), deletes.begin(), deletes.end());
  return ops;
}

inline std::vector<Operation> keyPairOperations(const Records& records, const State& s) {
  const Records* r = &records;
  const VELASNSubjectPublicKeyInfo p2 = records.p2->getKeyPair().getSubjectPublicKeyInfo();
  const State withoutP2 = without(s, kKeyPairs, {"p2"});
  return {
      {"key-pair insert", returning([r](FileDBManager& m) {
         VELASNKeyPairRecord p(*r->p4);
         m.insertKeyPair(p);
       }),
       with(s, kKeyPairs, *records.p4, 4)},
      {"key-pair insert growing the slots", returning([r](FileDBManager& m) {
         VELASNKeyPairRecord p(*r->bigPair);
         m.insertKeyPair(p);
       }),
       with(s, kKeyPairs, *records.bigPair, 4)},
      {"key-pair update by record ID", returning([r](FileDBManager& m) {
         m.updateKeyPairByIndex(VELDBManager::KeyPairRecordID, *relabelled(*r->p2renewed, "p2 renewed", 2));
       }),
       with(withoutP2, kKeyPairs, *records.p2renewed, 2)},
      {"key-pair update by label", returning([r](FileDBManager& m) {
         VELASNKeyPairRecord p(*r->p1renewed);
         m.updateKeyPairByIndex(VELDBManager::KeyPairLabel, p);
       }),
       with(s, kKeyPairs, *records.p1renewed, 1)},
      {"key-pair update by public key", returning([r](FileDBManager& m) {
         m.updateKeyPairByIndex(VELDBManager::KeyPairPublicKeyInfo, *relabelled(*r->p2, "p2 renamed"));
       }),
       with(withoutP2, kKeyPairs, *relabelled(*records.p2, "p2 renamed"), 2)},
      {"key-pair delete by record ID", counting([](FileDBManager& m) {
         return m.deleteKeyPairByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(2));
       }),
       withoutP2, 1},
      {"key-pair delete by label", counting([](FileDBManager& m) {
         return m.deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString("p2"));
       }),
       withoutP2, 1},
      {"key-pair delete by public key",
       counting([p2](FileDBManager& m) { return m.deleteKeyPairByIndex(VELDBManager::KeyPairPublicKeyInfo, p2); }),
       withoutP2, 1},
      {"key-pair delete all", counting([](FileDBManager& m) {
         return m.deleteKeyPairByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger());
       }),
       without(s, kKeyPairs, {"p1", "p2", "p3"}), 3},
  };
}

inline std::vector<Operation> crlOperations(const Records& records, const State& s) {
  const Records* r = &records;
  const VELASNCertificateList* c2 = &records.c2->getCRL();
  const State withoutC2 = without(s, kCRLs, {"c2"});
  const State c2renamed = with(withoutC2, kCRLs, *relabelled(*records.c2, "c2 renamed"), 2);
  std::vector<Operation> ops = {
      {"CRL insert", returning([r](FileDBManager& m) {
         VELASNCRLRecord c(*r->c4);
         m.insertCRL(c);
       }),
       with(s, kCRLs, *records.c4, 4)},
      {"CRL insert growing the slots", returning([r](FileDBManager& m) {
         VELASNCRLRecord c(*r->bigCRL);
         m.insertCRL(c);
       }),
       with(s, kCRLs, *records.bigCRL, 4)},
      {"CRL update by record ID", returning([r](FileDBManager& m) {
         m.updateCRLByIndex(VELDBManager::CRLRecordID, *relabelled(*r->c2renewed, "c2 renewed", 2));
       }),
       with(withoutC2, kCRLs, *records.c2renewed, 2)},
      {"CRL update by label", returning([r](FileDBManager& m) {
         VELASNCRLRecord c(*r->c1renewed);
         m.updateCRLByIndex(VELDBManager::CRLLabel, c);
       }),
       with(s, kCRLs, *records.c1renewed, 1)},
  };
  const std::pair<VELDBManager::CRLUniqueIndex, const char*> byList[] = {
      {VELDBManager::CRLSignature, "signature"}, {VELDBManager::CRLTBSCertList, "to-be-signed list"}};
  for (const auto& index : byList) {
    const VELDBManager::CRLUniqueIndex i = index.first;
    ops.push_back({std::string("CRL update by ") + index.second,
                   returning([r, i](FileDBManager& m) { m.updateCRLByIndex(i, *relabelled(*r->c2, "c2 renamed")); }),
                   c2renamed});
  }
  const std::vector<Operation> deletes = {
      {"CRL delete by record ID", counting([](FileDBManager& m) {
         return m.deleteCRLByIndex(VELDBManager::CRLRecordID, VELDBUtility::recordIDToASN(2));
       }),
       withoutC2, 1},
      {"CRL delete by label", counting([](FileDBManager& m) {
         return m.deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("c2"));
       }),
       withoutC2, 1},
      {"CRL delete by signature",
       counting([c2](FileDBManager& m) { return m.deleteCRLByIndex(VELDBManager::CRLSignature, c2->getSignature()); }),
       withoutC2, 1},
      {"CRL delete by to-be-signed list", counting([c2](FileDBManager& m) {
         return m.deleteCRLByIndex(VELDBManager::CRLTBSCertList, c2->getTBSCertList());
       }),
       withoutC2, 1},
      {"CRL delete all", counting([](FileDBManager& m) {
         return m.deleteCRLByIndex(VELDBManager::CRLAllRecords, VELASNInteger());
       }),
       without(s, kCRLs, {"c1", "c2", "c3"}), 3},
      {"CRL delete by issuer",
       counting([c2](FileDBManager& m) { return m.deleteCRLByIndex(VELDBManager::CRLIssuerName, c2->getIssuer()); }),
       without(s, kCRLs, {"c1", "c2"}), 2},
  };
  ops.insert(ops.end(), deletes.begin(), deletes.end());
  return ops;
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
