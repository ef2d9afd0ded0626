// Plan: what only the CRL table has (what every table shares is asked in filedbtable_test.cpp): the
// signature and to-be-signed indexes with the insert/update collision numbers, and the issuer multi
// index over several issuers, some with CRLs large enough to grow the record length.
#include "filedbcrlstorage.h"

#include <gtest/gtest.h>

#include <set>

#include "velasnutility.h"
#include "veldbutility.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"

using namespace VELTestTableFiles;

namespace {

using Connection = TableConnection<FileDBCRLStorage>;
using CRLStorageTest = NewTableTest<FileDBCRLStorage>;

std::uint32_t idOf(const VELASNRecord& record) { return VELDBUtility::asnToRecordID(record.getRecordID()); }

TEST_F(CRLStorageTest, TheIssuerIndexFindsCountsAndDeletesEachIssuersCRLs) {
  std::vector<std::unique_ptr<VELASNCRLRecord>> records;
  {
    Connection c(d_path, VELDBConnectInfo::ReadWrite);
    // Three CRLs (each of a CA of its own) per issuer name: issuer 0 gets
    // small CRLs, issuer 2 CRLs far past 5000 bytes.
    const std::size_t revoked[3][3] = {{1, 2, 3}, {0, 40, 5}, {150, 10, 400}};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        records.push_back(VELTestPKI::makeCRLRecord("crl" + std::to_string(i) + std::to_string(j),
                                                    "CN=Issuer " + std::to_string(i) + ",O=Test", revoked[i][j]));
        c->insertRecord(*records.back());
      }
    }
  }

  // Reopening verifies both hashes and builds the issuer index again.
  Connection c(d_path, VELDBConnectInfo::ReadWrite);
  const VELASNx500Name issuer1 = records[3]->getCRL().getIssuer();
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, issuer1), 3u);
  std::unique_ptr<VELASNCRLRecordContainer> ofIssuer(c->getRecordByIndex(VELDBManager::CRLIssuerName, issuer1));
  ASSERT_EQ(ofIssuer->size(), 3u);
  std::set<std::uint32_t> ids;
  for (std::size_t i = 0; i < 3; ++i) ids.insert(idOf((*ofIssuer)[i]));
  EXPECT_EQ(ids, (std::set<std::uint32_t>{4, 5, 6}));
  VELTestPKI::Name other = VELTestPKI::makeName("CN=Nobody");
  const VELASNx500Name nobody(VELTestPKI::derOf(other.get()).get());
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, nobody), 0u);
  EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLIssuerName, nobody), 0u);

  // Delete by issuer: that issuer's three, the others stay.
  EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLIssuerName, issuer1), 3u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, issuer1), 0u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 6u);
  EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::CRLLabel, VELASNLabelString("crl11"))));
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, records[8]->getCRL().getIssuer()), 3u);
  EXPECT_EQ(errorOf([&] { c->getRecordCountByIndex(VELDBManager::CRLIssuerName, VELASNLabelString("x")); }),
            VELDBError::kBadArgument);
}

// The same CRL with another signature value (its last byte changed): the
// to-be-signed part stays equal.
std::unique_ptr<VELASNCRLRecord> resigned(const VELASNCRLRecord& record, const std::string& label) {
  std::string bytes = VELASNUtility::getDEREncoding(record.getCRL()).toString();
  bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
  std::unique_ptr<VELASNCRLRecord> out(new VELASNCRLRecord());
  out->setLabel(label);
  out->setCRL(VELBuffer(bytes).get());
  return out;
}

TEST_F(CRLStorageTest, ATakenToBeSignedPartIsRefusedWithOneNumberOnInsertAndAnotherOnUpdate) {
  Connection c(d_path, VELDBConnectInfo::ReadWrite);
  std::unique_ptr<VELASNCRLRecord> a = VELTestPKI::makeCRLRecord("a", "CN=Collisions", 2);
  std::unique_ptr<VELASNCRLRecord> b = VELTestPKI::makeCRLRecord("b", "CN=Collisions", 3);
  c->insertRecord(*a);
  c->insertRecord(*b);
  const std::string before = readAll(d_path);

  std::unique_ptr<VELASNCRLRecord> sameTBS = resigned(*a, "same tbs");
  EXPECT_EQ(errorOf([&] { c->insertRecord(*sameTBS); }), VELDBError::kDuplicateCRLToBeSigned);
  // Update b (through its label) to a's to-be-signed part; an update through
  // a signature no record has finds nothing.
  std::unique_ptr<VELASNCRLRecord> bAsA = resigned(*a, "b");
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::CRLLabel, *bAsA); }), VELDBError::kDuplicateToBeSigned);
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::CRLSignature, *resigned(*a, "b2")); }),
            VELDBError::kNoMatchingRecord);
  EXPECT_EQ(readAll(d_path), before);
}

}  // namespace
