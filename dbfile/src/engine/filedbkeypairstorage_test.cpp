// Plan: what only the key-pair table has (what every table shares, updates and deletes through the
// public-key index among them, is asked in filedbtable_test.cpp and the matrices): the public-key
// index identifies a pair whatever its label and request.
#include "filedbkeypairstorage.h"

#include <gtest/gtest.h>

#include "veldbutility.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"

using namespace VELTestTableFiles;

namespace {

using Connection = TableConnection<FileDBKeyPairStorage>;
using KeyPairStorageTest = NewTableTest<FileDBKeyPairStorage>;

TEST_F(KeyPairStorageTest, ThePublicKeyIdentifiesAPairWhateverItsLabelAndRequest) {
  Connection c(d_path, VELDBConnectInfo::ReadWrite);
  std::unique_ptr<VELASNKeyPairRecord> a = VELTestPKI::makeKeyPairRecord("a", "CN=A");
  std::unique_ptr<VELASNKeyPairRecord> b = VELTestPKI::makeKeyPairRecord("b", "CN=B");
  c->insertRecord(*a);
  c->insertRecord(*b);
  const std::string before = readAll(d_path);

  // A's key pair under another label and with B's request.
  VELASNKeyPairRecord sameKey(*a);
  sameKey.setLabel("a2");
  sameKey.setCertificationRequest(b->getCertificationRequest());
  EXPECT_EQ(errorOf([&] { c->insertRecord(sameKey); }), VELDBError::kDuplicatePublicKey);
  sameKey.setRecordID(2);
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::KeyPairRecordID, sameKey); }),
            VELDBError::kDuplicatePublicKey);
  EXPECT_EQ(readAll(d_path), before);
}

}  // namespace
