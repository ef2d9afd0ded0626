// Plan: drive the key-pair table over real files with records made at run time (keys and PKCS#10
// requests): lookups, counts, update, delete, refusals that leave the file alone, renumbering of
// out-of-order record IDs, and minor-version-0 files cleaned on a read-write open only.
#include "filedbkeypairstorage.h"

#include <gtest/gtest.h>

#include "filedbcrlstorage.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"

using namespace VELTestTableFiles;

namespace {

const unsigned char kKeyPairType[8] = {'X', '5', '0', '9', 'K', 'Y', 'P', 0};
const unsigned kHeaderV3 = 80;

using Connection = TableConnection<FileDBKeyPairStorage>;

VELASNLabelString label(const std::string& text) { return VELASNLabelString(text); }

VELASNSubjectPublicKeyInfo publicKeyOf(const VELASNKeyPairRecord& record) {
  return record.getKeyPair().getSubjectPublicKeyInfo();
}

std::string labelOf(const VELASNRecord& record) { return record.getLabel().getValue(); }

class KeyPairStorageTest : public NewTableTest<FileDBKeyPairStorage> {
 protected:
  // Inserts records labelled label0.. and returns copies of them.
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> insert(Connection& c, int n) {
    std::vector<std::unique_ptr<VELASNKeyPairRecord>> out;
    for (int i = 0; i < n; ++i) {
      out.push_back(VELTestPKI::makeKeyPairRecord("label" + std::to_string(i), "CN=Pair " + std::to_string(i)));
      c->insertRecord(*out.back());
    }
    return out;
  }
};

TEST_F(KeyPairStorageTest, NewFileOpensEmptyAndOtherTypesAndVersionsAreRefused) {
  {
    Connection c(d_path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), 1);
    EXPECT_EQ(c->getFileHeader()->getFileType(), VELBuffer(kKeyPairType, 8));
    EXPECT_EQ(c->getLastRecordID(), 0u);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 0u);
  }
  const std::string crlPath = d_dir + "/db.crl";
  FileDBCRLStorage::newFile(fileInfo(crlPath, VELDBConnectInfo::ReadWrite, VELDBConnectInfo::Create), crlPath);
  EXPECT_EQ(errorOf([&] { Connection c(crlPath, VELDBConnectInfo::ReadOnly); }), VELDBError::kBadFormat);
  EXPECT_EQ(FileDBStorage::referenceCount(crlPath), 0u);

  const std::string v2 = d_dir + "/v2.kyp";
  writeTable(v2, kKeyPairType, 2, false, 5000, {});
  EXPECT_EQ(errorOf([&] { Connection c(v2, VELDBConnectInfo::ReadOnly); }), VELDBError::kBadFormat);
}

TEST_F(KeyPairStorageTest, LookupsByIDLabelAndPublicKeySurviveReopen) {
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> records;
  {
    Connection c(d_path, VELDBConnectInfo::ReadWrite);
    records = insert(c, 3);
    EXPECT_EQ(VELDBUtility::asnToRecordID(records[2]->getRecordID()), 3u);
  }
  Connection c(d_path, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(c->getLastRecordID(), 3u);
  for (int i = 0; i < 3; ++i) {
    const std::string name = "label" + std::to_string(i);
    std::unique_ptr<VELASNKeyPairRecord> byLabel(c->getRecordByIndex(VELDBManager::KeyPairLabel, label(name)));
    ASSERT_TRUE(byLabel);
    EXPECT_EQ(VELASNUtility::getDEREncoding(*byLabel), VELASNUtility::getDEREncoding(*records[i]));
    std::unique_ptr<VELASNKeyPairRecord> byKey(
        c->getRecordByIndex(VELDBManager::KeyPairPublicKeyInfo, publicKeyOf(*records[i])));
    ASSERT_TRUE(byKey);
    EXPECT_EQ(labelOf(*byKey), name);
    std::unique_ptr<VELASNKeyPairRecord> byID(
        c->getRecordByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(i + 1)));
    ASSERT_TRUE(byID);
    EXPECT_EQ(labelOf(*byID), name);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairLabel, label(name)), 1u);
  }
  EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::KeyPairLabel, label("absent"))));
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(4)), 0u);
  std::unique_ptr<VELASNKeyPairRecordContainer> all(
      c->getRecordByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()));
  EXPECT_EQ(all->size(), 3u);

  // Index values outside the enums, and objects of the wrong type.
  EXPECT_EQ(errorOf([&] { c->getRecordByIndex(VELDBManager::KeyPairUniqueIndex(3), label("x")); }),
            VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { delete c->getRecordByIndex(VELDBManager::KeyPairMultiIndex(1), label("x")); }),
            VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { c->getRecordCountByIndex(VELDBManager::KeyPairPublicKeyInfo, label("x")); }),
            VELDBError::kBadArgument);
}

TEST_F(KeyPairStorageTest, UpdateChangesLabelAndRefusalsLeaveTheFileAlone) {
  Connection c(d_path, VELDBConnectInfo::ReadWrite);
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> records = insert(c, 3);
  const std::uint64_t position = c->getFileHeader()->getSize() + c->getFileHeader()->getFixedRecordLength();

  // Update through the record ID with a new label.
  records[1]->setLabel("renamed");
  c->updateRecordByIndex(VELDBManager::KeyPairRecordID, *records[1]);
  EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::KeyPairLabel, label("label1"))));
  std::unique_ptr<VELASNKeyPairRecord> found(c->getRecordByIndex(VELDBManager::KeyPairLabel, label("renamed")));
  ASSERT_TRUE(found);
  EXPECT_EQ(VELDBUtility::asnToRecordID(found->getRecordID()), 2u);
  std::unique_ptr<VELASNKeyPairRecord> atSlot(c->getRecordAt(position));
  ASSERT_TRUE(atSlot);
  EXPECT_EQ(labelOf(*atSlot), "renamed");

  const std::string before = readAll(d_path);
  // Update: unknown label, label or key of another record.
  std::unique_ptr<VELASNKeyPairRecord> stranger = VELTestPKI::makeKeyPairRecord("nobody", "CN=Nobody");
  try {
    c->updateRecordByIndex(VELDBManager::KeyPairLabel, *stranger);
    FAIL();
  } catch (const VELDBException& e) {
    EXPECT_EQ(e.getError(), VELDBError::kNoMatchingRecord);
    EXPECT_EQ(e.getMessage(), "no matching record");
  }
  records[1]->setLabel("label0");
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::KeyPairRecordID, *records[1]); }),
            VELDBError::kDuplicateLabel);
  std::unique_ptr<VELASNKeyPairRecord> keyThief(new VELASNKeyPairRecord(*records[2]));
  keyThief->setLabel("label1x");
  keyThief->setRecordID(1);
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::KeyPairRecordID, *keyThief); }),
            VELDBError::kDuplicatePublicKey);
  // Insert: the label or the key pair of a stored record.
  std::unique_ptr<VELASNKeyPairRecord> sameLabel = VELTestPKI::makeKeyPairRecord("label2", "CN=Other");
  EXPECT_EQ(errorOf([&] { c->insertRecord(*sameLabel); }), VELDBError::kDuplicateLabel);
  std::unique_ptr<VELASNKeyPairRecord> sameKey(new VELASNKeyPairRecord(*records[0]));
  sameKey->setLabel("fresh");
  EXPECT_EQ(errorOf([&] { c->insertRecord(*sameKey); }), VELDBError::kDuplicatePublicKey);
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(VELDBManager::KeyPairUniqueIndex(9), *sameKey); }),
            VELDBError::kBadArgument);
  EXPECT_EQ(readAll(d_path), before);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 3u);

  // The next insert still takes the next ID.
  std::unique_ptr<VELASNKeyPairRecord> next = VELTestPKI::makeKeyPairRecord("label3", "CN=Pair 3");
  c->insertRecord(*next);
  EXPECT_EQ(VELDBUtility::asnToRecordID(next->getRecordID()), 4u);
}

TEST_F(KeyPairStorageTest, DeleteMarksTheSlotCountsLiveRecordsAndPurgesOnClose) {
  std::uint32_t length = 0;
  {
    Connection c(d_path, VELDBConnectInfo::ReadWrite);
    insert(c, 3);
    length = c->getFileHeader()->getFixedRecordLength();
    const std::string before = readAll(d_path);
    EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::KeyPairLabel, label("absent")), 0u);
    EXPECT_EQ(readAll(d_path), before);

    EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::KeyPairLabel, label("label1")), 1u);
    const std::string after = readAll(d_path);
    const std::size_t slot = kHeaderV3 + length;
    EXPECT_EQ(bigEndian32(after, slot), 2u);
    EXPECT_EQ(after.substr(slot + 4, length - 4), before.substr(slot + 4, length - 4));
    // Live records, not slots.
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 2u);
    std::unique_ptr<VELASNKeyPairRecordContainer> all(
        c->getRecordByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()));
    EXPECT_EQ(all->size(), 2u);
  }
  EXPECT_EQ(readAll(d_path).size(), kHeaderV3 + 2u * length);
  Connection c(d_path, VELDBConnectInfo::ReadWrite);
  EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 2u);
  EXPECT_TRUE(present(c->getRecordByIndex(VELDBManager::KeyPairLabel, label("label2"))));
}

// Slots with record IDs 5, 3, 9 (as another writer may leave them).
std::vector<std::string> outOfOrderSlots(std::vector<std::unique_ptr<VELASNKeyPairRecord>>& records) {
  VELKRYAlgorithmFactory factory;
  std::vector<std::string> slots;
  const unsigned ids[] = {5, 3, 9};
  for (int i = 0; i < 3; ++i) {
    records.push_back(VELTestPKI::makeKeyPairRecord("pair" + std::to_string(i), "CN=P" + std::to_string(i)));
    records.back()->setRecordID(ids[i]);
    slots.push_back(slotImage(FileDBKeyPairRecordFields(&factory, *records.back(), 1), 5000));
  }
  return slots;
}

TEST_F(KeyPairStorageTest, OutOfOrderRecordIDsAreRenumberedAndAllOfThemDelete) {
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> records;
  const std::string path = d_dir + "/ids.kyp";
  writeTable(path, kKeyPairType, 1, false, 5000, outOfOrderSlots(records));
  const std::string original = readAll(path);
  {
    Connection c(path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(c->getLastRecordID(), 9u);
    EXPECT_FALSE(present(c->getRecordByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(3))));
    // The record is handed out under the ID that finds it.
    std::unique_ptr<VELASNKeyPairRecord> second(
        c->getRecordByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(6)));
    ASSERT_TRUE(second);
    EXPECT_EQ(labelOf(*second), "pair1");
    EXPECT_EQ(VELDBUtility::asnToRecordID(second->getRecordID()), 6u);
    std::unique_ptr<VELASNKeyPairRecord> byLabel(c->getRecordByIndex(VELDBManager::KeyPairLabel, label("pair1")));
    EXPECT_EQ(VELDBUtility::asnToRecordID(byLabel->getRecordID()), 6u);
    // Nothing written while indexing: the slot still says 3.
    EXPECT_EQ(readAll(path), original);
    EXPECT_EQ(bigEndian32(original, kHeaderV3 + 5000 + 4), 3u);

    EXPECT_EQ(c->deleteRecordByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 3u);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 0u);
    std::unique_ptr<VELASNKeyPairRecordContainer> all(
        c->getRecordByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()));
    EXPECT_EQ(all->size(), 0u);
  }
  EXPECT_EQ(readAll(path).size(), kHeaderV3);
}

// Minor version 0: dirty bytes behind the fields of slot 0 and of the
// deleted slot 1; slot 2 clean.
std::string writeVersion0(const std::string& path, bool v4) {
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> records;
  std::vector<std::string> slots = outOfOrderSlots(records);
  slots[0][4000] = 0x5A;
  slots[0][4999] = 0x01;
  slots[1][4500] = 0x7F;
  slots[1][3] = 2;  // deleted
  writeTable(path, kKeyPairType, 0, v4, 5000, slots);
  return readAll(path);
}

TEST_F(KeyPairStorageTest, MinorVersion0IsCleanedOnlyWhenOpenedForWriting) {
  for (bool v4 : {false, true}) {
    SCOPED_TRACE(v4 ? "version 4" : "version 3");
    const std::string path = d_dir + (v4 ? "/old4.kyp" : "/old3.kyp");
    const std::string original = writeVersion0(path, v4);
    const std::size_t header = v4 ? 88 : 80;
    {
      Connection c(path, VELDBConnectInfo::ReadOnly);
      EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), 0);
      EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 2u);
      EXPECT_TRUE(present(c->getRecordByIndex(VELDBManager::KeyPairLabel, label("pair0"))));
    }
    EXPECT_EQ(readAll(path), original);
    {
      Connection c(path, VELDBConnectInfo::ReadWrite);
      EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), 1);
      const std::string cleaned = readAll(path);
      EXPECT_EQ(cleaned.size(), original.size());
      EXPECT_EQ(cleaned[header + 4000], 0);
      EXPECT_EQ(cleaned[header + 4999], 0);
      EXPECT_EQ(cleaned[header + 5000 + 4500], 0);
      // The fields themselves are untouched.
      EXPECT_EQ(cleaned.substr(header, 3000), original.substr(header, 3000));
      EXPECT_TRUE(present(c->getRecordByIndex(VELDBManager::KeyPairLabel, label("pair2"))));
    }
    // Both hashes verify on reopen; the deleted slot was purged on close.
    Connection c(path, VELDBConnectInfo::ReadOnly);
    EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), 1);
    EXPECT_EQ(c->getFileHeader()->getRecordsAllocated(), 2u);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 2u);
  }
}

TEST_F(KeyPairStorageTest, MinorVersion0OpenSurvivesUnreadableDeletedSlotsAndKeepsTheFileSealed) {
  const std::string path = d_dir + "/broken.kyp";
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> records;
  std::vector<std::string> slots = outOfOrderSlots(records);
  slots[0][4000] = 0x5A;
  slots[1][3] = 2;  // deleted, with an encoding length past the slot
  slots[1][8] = static_cast<char>(0xFF);
  writeTable(path, kKeyPairType, 0, false, 5000, slots);
  {
    Connection c(path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(c->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 2u);
  }
  EXPECT_EQ(readAll(path).size(), kHeaderV3 + 2u * 5000);

  // A live slot that cannot be read stops the open; the tails cleared before
  // it are rolled back with the rest of the clean-up, so the file is as it
  // was and still sealed.
  slots[1][3] = 1;
  writeTable(path + "2", kKeyPairType, 0, false, 5000, slots);
  const std::string before = readAll(path + "2");
  EXPECT_EQ(errorOf([&] { Connection c(path + "2", VELDBConnectInfo::ReadWrite); }), VELDBError::kBadArgument);
  EXPECT_EQ(readAll(path + "2"), before);
  EXPECT_EQ(errorOf([&] { Connection c(path + "2", VELDBConnectInfo::ReadOnly); }), VELDBError::kBadArgument);
}

TEST_F(KeyPairStorageTest, ConnectionsToOneFileShareOneStorage) {
  Connection a(d_path, VELDBConnectInfo::ReadWrite);
  insert(a, 1);
  {
    Connection b(d_path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(a.storage, b.storage);
    EXPECT_EQ(FileDBStorage::referenceCount(d_path), 2u);
  }
  EXPECT_EQ(FileDBStorage::referenceCount(d_path), 1u);
  EXPECT_EQ(a->getRecordCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger()), 1u);
}

}  // namespace
