// Plan: what only the key-pair table has (what every table shares is asked in filedbtable_test.cpp):
// the public-key index, which identifies a pair whatever its label and request.
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
  const VELASNSubjectPublicKeyInfo keyA = a->getKeyPair().getSubjectPublicKeyInfo();
  const VELASNSubjectPublicKeyInfo keyB = b->getKeyPair().getSubjectPublicKeyInfo();
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

  // An update through the public key replaces the pair it finds, label and
  // request alike, in place.
  sameKey.setRecordID(0);
  c->updateRecordByIndex(VELDBManager::KeyPairPublicKeyInfo, sameKey);
  std::unique_ptr<VELASNKeyPairRecord> found(c->getRecordByIndex(VELDBManager::KeyPairPublicKeyInfo, keyA));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->getLabel().getValue(), "a2");
  EXPECT_EQ(VELDBUtility::asnToRecordID(found->getRecordID()), 1u);
  EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::KeyPairLabel, VELASNLabelString("a"))));

  EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::KeyPairPublicKeyInfo, keyB), 1u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairPublicKeyInfo, keyB), 0u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 1u);
}

}  // namespace
