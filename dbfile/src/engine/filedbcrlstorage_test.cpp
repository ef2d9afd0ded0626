// Plan: drive the CRL table over real files with CRLs made at run time (several issuers, some large
// enough to grow the record length): lookups by every index, issuer counts and deletes, the
// insert/update collision numbers, IDs kept as stored, minor-version-0 files.
#include "filedbcrlstorage.h"

#include <gtest/gtest.h>

#include "velasnutility.h"
#include "veldbutility.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"

using namespace VELTestTableFiles;

namespace {

const unsigned char kCRLType[8] = {'X', '5', '0', '9', 'C', 'R', 'L', 0};
const unsigned kHeaderV3 = 80;

using Connection = TableConnection<FileDBCRLStorage>;

struct Issuer {
  VELTestPKI::PKey key;
  VELTestPKI::Cert cert;
  std::string name;
};

Issuer makeIssuer(const std::string& name) {
  Issuer issuer;
  issuer.key = VELTestPKI::makeKey();
  VELTestPKI::CertOptions options;
  options.ca = true;
  issuer.cert = VELTestPKI::makeSelfSigned(issuer.key.get(), name, options);
  issuer.name = name;
  return issuer;
}

std::unique_ptr<VELASNCRLRecord> crlRecord(const Issuer& issuer, const std::string& label, std::size_t revoked) {
  VELTestPKI::CRL crl = VELTestPKI::makeCRL(issuer.cert.get(), issuer.key.get(), revoked);
  std::unique_ptr<VELASNCRLRecord> record(new VELASNCRLRecord());
  record->setLabel(label);
  record->setCRL(VELTestPKI::derOf(crl.get()).get());
  return record;
}

// The same CRL with another signature value (its last byte changed): the
// to-be-signed part stays equal.
std::unique_ptr<VELASNCRLRecord> resigned(const VELASNCRLRecord& record, const std::string& label) {
  VELBuffer der = VELASNUtility::getDEREncoding(record.getCRL());
  std::string bytes = der.toString();
  bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
  std::unique_ptr<VELASNCRLRecord> out(new VELASNCRLRecord());
  out->setLabel(label);
  out->setCRL(VELBuffer(bytes).get());
  return out;
}

VELASNLabelString label(const std::string& text) { return VELASNLabelString(text); }
std::uint32_t idOf(const VELASNRecord& record) { return VELDBUtility::asnToRecordID(record.getRecordID()); }

using CRLStorageTest = NewTableTest<FileDBCRLStorage>;

TEST_F(CRLStorageTest, NewFileOpensEmptyAndOtherVersionsAreRefused) {
  {
    Connection c(d_path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), 1);
    EXPECT_EQ(c->getFileHeader()->getFileType(), VELBuffer(kCRLType, 8));
    EXPECT_EQ(c->getLastRecordID(), 0u);
  }
  const std::string v2 = d_dir + "/v2.crl";
  writeTable(v2, kCRLType, 2, true, 5000, {});
  EXPECT_EQ(errorOf([&] { Connection c(v2, VELDBConnectInfo::ReadOnly); }), VELDBError::kBadFormat);
}

TEST_F(CRLStorageTest, ManyIssuersAndLargeCRLsGrowTheRecordLengthAndStayFindable) {
  std::vector<Issuer> issuers;
  for (int i = 0; i < 3; ++i) issuers.push_back(makeIssuer("CN=Issuer " + std::to_string(i) + ",O=Test"));
  std::vector<std::unique_ptr<VELASNCRLRecord>> records;
  std::uint32_t length = 0;
  {
    Connection c(d_path, VELDBConnectInfo::ReadWrite);
    // Issuer 0 gets small CRLs, issuer 2 CRLs far past 5000 bytes.
    const std::size_t revoked[3][3] = {{1, 2, 3}, {0, 40, 5}, {150, 10, 400}};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        records.push_back(crlRecord(issuers[i], "crl" + std::to_string(i) + std::to_string(j), revoked[i][j]));
        c->insertRecord(*records.back());
        EXPECT_EQ(idOf(*records.back()), static_cast<std::uint32_t>(records.size()));
      }
    }
    length = c->getFileHeader()->getFixedRecordLength();
    VELKRYAlgorithmFactory factory;
    const FileDBCRLRecordFields largest(&factory, *records[8], 1);
    EXPECT_GE(length, largest.getSize());
    EXPECT_LT(length, largest.getSize() + 1000);
    EXPECT_EQ(length % 1000, 0u);
  }
  EXPECT_EQ(readAll(d_path).size(), kHeaderV3 + 9u * length);

  // Reopening verifies both hashes.
  Connection c(d_path, VELDBConnectInfo::ReadWrite);
  EXPECT_EQ(c->getLastRecordID(), 9u);
  for (std::size_t k = 0; k < records.size(); ++k) {
    const VELASNCertificateList& crl = records[k]->getCRL();
    const VELBuffer der = VELASNUtility::getDEREncoding(*records[k]);
    std::unique_ptr<VELASNCRLRecord> byLabel(c->getRecordByIndex(VELDBManager::CRLLabel, records[k]->getLabel()));
    ASSERT_TRUE(byLabel);
    EXPECT_EQ(VELASNUtility::getDEREncoding(*byLabel), der);
    std::unique_ptr<VELASNCRLRecord> bySignature(c->getRecordByIndex(VELDBManager::CRLSignature, crl.getSignature()));
    ASSERT_TRUE(bySignature);
    EXPECT_EQ(idOf(*bySignature), k + 1);
    std::unique_ptr<VELASNCRLRecord> byTBS(c->getRecordByIndex(VELDBManager::CRLTBSCertList, crl.getTBSCertList()));
    ASSERT_TRUE(byTBS);
    EXPECT_EQ(idOf(*byTBS), k + 1);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLRecordID, VELDBUtility::recordIDToASN(k + 1)), 1u);
  }
  const VELASNx500Name issuer1 = records[3]->getCRL().getIssuer();
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, issuer1), 3u);
  std::unique_ptr<VELASNCRLRecordContainer> ofIssuer(c->getRecordByIndex(VELDBManager::CRLIssuerName, issuer1));
  ASSERT_EQ(ofIssuer->size(), 3u);
  VELTestPKI::Name other = VELTestPKI::makeName("CN=Nobody");
  const VELASNx500Name nobody(VELTestPKI::derOf(other.get()).get());
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, nobody), 0u);
  EXPECT_EQ(std::unique_ptr<VELASNCRLRecordContainer>(c->getRecordByIndex(VELDBManager::CRLIssuerName, nobody))->size(),
            0u);
  EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLIssuerName, nobody), 0u);

  // Delete by issuer: that issuer's three, the others stay.
  EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLIssuerName, issuer1), 3u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, issuer1), 0u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 6u);
  EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::CRLLabel, label("crl11"))));
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLIssuerName, records[8]->getCRL().getIssuer()), 3u);
  std::unique_ptr<VELASNCRLRecordContainer> all(c->getRecordByIndex(VELDBManager::CRLAllRecords, VELASNInteger()));
  EXPECT_EQ(all->size(), 6u);

  EXPECT_EQ(errorOf([&] { delete c->getRecordByIndex(VELDBManager::CRLMultiIndex(2), nobody); }),
            VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { c->getRecordCountByIndex(VELDBManager::CRLUniqueIndex(4), nobody); }),
            VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { c->getRecordCountByIndex(VELDBManager::CRLIssuerName, label("x")); }),
            VELDBError::kBadArgument);
}

TEST_F(CRLStorageTest, CollisionsOfInsertAndUpdateAreRefusedWithTheirOwnNumbers) {
  const Issuer issuer = makeIssuer("CN=Collisions");
  Connection c(d_path, VELDBConnectInfo::ReadWrite);
  std::unique_ptr<VELASNCRLRecord> a = crlRecord(issuer, "a", 2);
  std::unique_ptr<VELASNCRLRecord> b = crlRecord(issuer, "b", 3);
  c->insertRecord(*a);
  c->insertRecord(*b);
  const std::string before = readAll(d_path);

  std::unique_ptr<VELASNCRLRecord> copy(new VELASNCRLRecord(*a));
  copy->setLabel("copy");
  EXPECT_EQ(errorOf([&] { c->insertRecord(*copy); }), VELDBError::kDuplicateSignature);
  std::unique_ptr<VELASNCRLRecord> sameTBS = resigned(*a, "same tbs");
  EXPECT_EQ(errorOf([&] { c->insertRecord(*sameTBS); }), VELDBError::kDuplicateCRLToBeSigned);
  std::unique_ptr<VELASNCRLRecord> sameLabel = crlRecord(issuer, "a", 1);
  EXPECT_EQ(errorOf([&] { c->insertRecord(*sameLabel); }), VELDBError::kDuplicateLabel);

  // Update b (by its label) to a's to-be-signed part: kDuplicateToBeSigned here.
  std::unique_ptr<VELASNCRLRecord> bAsA = resigned(*a, "b");
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::CRLLabel, *bAsA); }), VELDBError::kDuplicateToBeSigned);
  std::unique_ptr<VELASNCRLRecord> bWithASignature(new VELASNCRLRecord(*a));
  bWithASignature->setLabel("b2");
  bWithASignature->setRecordID(2);
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::CRLRecordID, *bWithASignature); }),
            VELDBError::kDuplicateSignature);
  std::unique_ptr<VELASNCRLRecord> unknown = crlRecord(issuer, "unknown", 1);
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::CRLSignature, *unknown); }),
            VELDBError::kNoMatchingRecord);
  EXPECT_EQ(readAll(d_path), before);

  // Update through the signature: same ID and slot, new label.
  std::unique_ptr<VELASNCRLRecord> renamed(new VELASNCRLRecord(*b));
  renamed->setLabel("b renamed");
  renamed->setRecordID(0);
  c->updateRecordByIndex(VELDBManager::CRLSignature, *renamed);
  EXPECT_EQ(idOf(*renamed), 2u);
  std::unique_ptr<VELASNCRLRecord> atSlot(c->getRecordAt(kHeaderV3 + 5000));
  ASSERT_TRUE(atSlot);
  EXPECT_EQ(atSlot->getLabel().getValue(), "b renamed");
  EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::CRLLabel, label("b"))));

  // Delete by label marks the slot; the whole-table count is of live records.
  EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLLabel, label("a")), 1u);
  EXPECT_EQ(bigEndian32(readAll(d_path), kHeaderV3), 2u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 1u);
}

// Slots with record IDs 5, 3, 9; minor version and dirt as asked.
std::string writeCRLTable(const std::string& path, unsigned char minor, bool v4, bool dirty) {
  const Issuer issuer = makeIssuer("CN=Old Writer");
  VELKRYAlgorithmFactory factory;
  std::vector<std::string> slots;
  const unsigned ids[] = {5, 3, 9};
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<VELASNCRLRecord> record = crlRecord(issuer, "old" + std::to_string(i), 2);
    record->setRecordID(ids[i]);
    slots.push_back(slotImage(FileDBCRLRecordFields(&factory, *record, 1), 5000));
  }
  if (dirty) {
    slots[1][4200] = 0x33;
    slots[2][3] = 2;  // deleted
    slots[2][4999] = 0x44;
  }
  writeTable(path, kCRLType, minor, v4, 5000, slots);
  return readAll(path);
}

TEST_F(CRLStorageTest, RecordIDsAreKeptAsStored) {
  const std::string path = d_dir + "/ids.crl";
  writeCRLTable(path, 1, false, false);
  Connection c(path, VELDBConnectInfo::ReadWrite);
  EXPECT_EQ(c->getLastRecordID(), 9u);
  std::unique_ptr<VELASNCRLRecord> second(
      c->getRecordByIndex(VELDBManager::CRLRecordID, VELDBUtility::recordIDToASN(3)));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->getLabel().getValue(), "old1");
  EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::CRLRecordID, VELDBUtility::recordIDToASN(6))));
  std::unique_ptr<VELASNCRLRecord> next = crlRecord(makeIssuer("CN=New"), "new", 1);
  c->insertRecord(*next);
  EXPECT_EQ(idOf(*next), 10u);
  EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 4u);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 0u);
}

TEST_F(CRLStorageTest, MinorVersion0IsCleanedOnlyWhenOpenedForWriting) {
  const std::string path = d_dir + "/old.crl";
  const std::string original = writeCRLTable(path, 0, true, true);
  const std::size_t header = 88;
  {
    Connection c(path, VELDBConnectInfo::ReadOnly);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 2u);
  }
  EXPECT_EQ(readAll(path), original);
  {
    Connection c(path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), 1);
    const std::string cleaned = readAll(path);
    EXPECT_EQ(cleaned[header + 5000 + 4200], 0);
    EXPECT_EQ(cleaned[header + 10000 + 4999], 0);
    EXPECT_EQ(cleaned.substr(header, 5000), original.substr(header, 5000));
  }
  Connection c(path, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), 1);
  EXPECT_EQ(c->getFileHeader()->getRecordsAllocated(), 2u);
  EXPECT_TRUE(present(c->getRecordByIndex(VELDBManager::CRLLabel, label("old1"))));
}

TEST_F(CRLStorageTest, SlotsSharingAnIDAreEachFoundAndDeletedThroughTheirOwnKeys) {
  // Another writer left two live slots under ID 5.
  const std::string path = d_dir + "/shared.crl";
  const Issuer issuer = makeIssuer("CN=Shared");
  VELKRYAlgorithmFactory factory;
  std::vector<std::string> slots;
  std::vector<std::unique_ptr<VELASNCRLRecord>> records;
  const unsigned ids[] = {5, 5, 9};
  for (int i = 0; i < 3; ++i) {
    records.push_back(crlRecord(issuer, "r" + std::to_string(i), 1));
    records.back()->setRecordID(ids[i]);
    slots.push_back(slotImage(FileDBCRLRecordFields(&factory, *records.back(), 1), 5000));
  }
  writeTable(path, kCRLType, 1, false, 5000, slots);
  {
    Connection c(path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 3u);
    for (int i = 0; i < 3; ++i) {
      const std::string name = "r" + std::to_string(i);
      std::unique_ptr<VELASNCRLRecord> byLabel(c->getRecordByIndex(VELDBManager::CRLLabel, label(name)));
      ASSERT_TRUE(byLabel);
      EXPECT_EQ(byLabel->getLabel().getValue(), name);
      std::unique_ptr<VELASNCRLRecord> bySignature(
          c->getRecordByIndex(VELDBManager::CRLSignature, records[i]->getCRL().getSignature()));
      ASSERT_TRUE(bySignature);
      EXPECT_EQ(bySignature->getLabel().getValue(), name);
      // Each is handed out under an ID that finds it again.
      std::unique_ptr<VELASNCRLRecord> byID(
          c->getRecordByIndex(VELDBManager::CRLRecordID, VELDBUtility::recordIDToASN(idOf(*byLabel))));
      ASSERT_TRUE(byID);
      EXPECT_EQ(byID->getLabel().getValue(), name);
    }
    EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLLabel, label("r0")), 1u);
    EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::CRLLabel, label("r0"))));
    EXPECT_TRUE(present(c->getRecordByIndex(VELDBManager::CRLLabel, label("r1"))));
    EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 2u);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 0u);
  }
  Connection c(path, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger()), 0u);
}

}  // namespace
