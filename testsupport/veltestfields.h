// veltestfields.h -- the slot fields and master index of each of the key,
// key-pair and CRL tables, side by side, for the tests that ask the same
// questions of all three: a fresh record's fields, the keys the table
// indexes (unique keys with their collision numbers, then multi keys, in
// the table's order), the byte strings a slot holds and the size of the
// fixed part of a slot.
#ifndef TESTSUPPORT_VELTESTFIELDS_H
#define TESTSUPPORT_VELTESTFIELDS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filedbcrlmasterindex.h"
#include "filedbkeymasterindex.h"
#include "filedbkeypairmasterindex.h"
#include "velexception.h"
#include "veltestpki.h"

namespace VELTestFields {

struct KeyFields {
  using Index = FileDBKeyMasterIndex;
  using Fields = FileDBKeyRecordFields;
  using Record = VELASNKeyRecord;
  static constexpr std::uint64_t kFixedSize = 140;  // besides the encoding and the label
  static constexpr int kLengthsInARow = 0;          // the issuer's record ID sits between them
  static Fields fields(const Record& r, std::uint32_t flag = 1) { return Fields(nullptr, r, flag, 0); }
  static std::unique_ptr<Record> record(const std::string& label) {
    return VELTestPKI::makeKeyRecord(label, "CN=" + label, false);
  }
  static std::vector<Index::UniqueKey> uniqueKeys() {
    return {{&Fields::label, VELDBError::kDuplicateLabel},
            {&Fields::signatureHash, VELDBError::kDuplicateSignature},
            {&Fields::unsignedCertHash, VELDBError::kDuplicateToBeSigned},
            {&Fields::issuerAndSerialNumberHash, VELDBError::kDuplicateIssuerAndSerial}};
  }
  static std::vector<Index::Field> multiKeys() { return {&Fields::subjectNameHash, &Fields::subjectPublicKeyInfoHash}; }
};

struct KeyPairFields {
  using Index = FileDBKeyPairMasterIndex;
  using Fields = FileDBKeyPairRecordFields;
  using Record = VELASNKeyPairRecord;
  static constexpr std::uint64_t kFixedSize = 40;
  static constexpr int kLengthsInARow = 3;  // byte strings behind state and record ID, none between
  static Fields fields(const Record& r, std::uint32_t flag = 1) { return Fields(nullptr, r, flag); }
  static std::unique_ptr<Record> record(const std::string& label) {
    return VELTestPKI::makeKeyPairRecord(label, "CN=" + label);
  }
  static std::vector<Index::UniqueKey> uniqueKeys() {
    return {{&Fields::label, VELDBError::kDuplicateLabel},
            {&Fields::subjectPublicKeyInfoHash, VELDBError::kDuplicatePublicKey}};
  }
  static std::vector<Index::Field> multiKeys() { return {}; }
};

struct CRLFields {
  using Index = FileDBCRLMasterIndex;
  using Fields = FileDBCRLRecordFields;
  using Record = VELASNCRLRecord;
  static constexpr std::uint64_t kFixedSize = 88;
  static constexpr int kLengthsInARow = 5;
  static Fields fields(const Record& r, std::uint32_t flag = 1) { return Fields(nullptr, r, flag); }
  static std::unique_ptr<Record> record(const std::string& label) {
    return VELTestPKI::makeCRLRecord(label, "CN=" + label + " CA", 2);
  }
  static std::vector<Index::UniqueKey> uniqueKeys() {
    return {{&Fields::label, VELDBError::kDuplicateLabel},
            {&Fields::signatureHash, VELDBError::kDuplicateSignature},
            {&Fields::unsignedCRLHash, VELDBError::kDuplicateCRLToBeSigned}};
  }
  static std::vector<Index::Field> multiKeys() { return {&Fields::issuerNameHash}; }
};

using Tables = ::testing::Types<KeyFields, KeyPairFields, CRLFields>;

// The fields of a fresh record labelled `label` with record ID `id`.
template <class TABLE>
typename TABLE::Fields fieldsOf(const std::string& label, std::uint32_t id) {
  std::unique_ptr<typename TABLE::Record> r = TABLE::record(label);
  r->setRecordID(id);
  return TABLE::fields(*r);
}

// The keys of the fields: unique keys, then multi keys, in the table's order.
template <class TABLE>
std::vector<VELBuffer> keysOf(const typename TABLE::Fields& f) {
  std::vector<VELBuffer> out;
  for (const auto& u : TABLE::uniqueKeys()) out.push_back(f.*u.field);
  for (const auto m : TABLE::multiKeys()) out.push_back(f.*m);
  return out;
}

}  // namespace VELTestFields

#endif
