// Plan: what the table engine promises every table alike, run over the key, key-pair and CRL
// tables through the manager: a refused change touches nothing and hands out no ID, an ID is never
// handed out twice in a session, and a change of many records is one journaled change.
#include "filedbtable.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <string>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "veldbutility.h"
#include "velfaultdisk.h"
#include "velplatform.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;

const VELASNInteger kAny(0);

// One table as the manager shows it.
struct KeyTable {
  using Record = VELASNKeyRecord;
  static const char* suffix() { return ".vkey"; }
  static std::unique_ptr<Record> make(const std::string& label) {
    return VELTestPKI::makeKeyRecord(label, "CN=" + label + " " + std::to_string(next()));
  }
  static void insert(FileDBManager& m, Record& r) { m.insertKey(r); }
  static void update(FileDBManager& m, Record& r) { m.updateKeyByIndex(VELDBManager::KeyRecordID, r); }
  static unsigned long long remove(FileDBManager& m, const std::string& label) {
    return m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString(label));
  }
  static unsigned long long removeAll(FileDBManager& m) {
    return m.deleteKeyByIndex(VELDBManager::KeyAllRecords, kAny);
  }
  static unsigned long long count(FileDBManager& m) { return m.getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny); }
  static int next() {
    static int n = 0;
    return ++n;
  }
};

struct KeyPairTable {
  using Record = VELASNKeyPairRecord;
  static const char* suffix() { return ".vkyp"; }
  static std::unique_ptr<Record> make(const std::string& label) {
    return VELTestPKI::makeKeyPairRecord(label, "CN=" + label);
  }
  static void insert(FileDBManager& m, Record& r) { m.insertKeyPair(r); }
  static void update(FileDBManager& m, Record& r) { m.updateKeyPairByIndex(VELDBManager::KeyPairRecordID, r); }
  static unsigned long long remove(FileDBManager& m, const std::string& label) {
    return m.deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString(label));
  }
  static unsigned long long removeAll(FileDBManager& m) {
    return m.deleteKeyPairByIndex(VELDBManager::KeyPairAllRecords, kAny);
  }
  static unsigned long long count(FileDBManager& m) {
    return m.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, kAny);
  }
};

struct CRLTable {
  using Record = VELASNCRLRecord;
  static const char* suffix() { return ".vcrl"; }
  static std::unique_ptr<Record> make(const std::string& label) {
    return VELTestPKI::makeCRLRecord(label, "CN=" + label + " CA");
  }
  static void insert(FileDBManager& m, Record& r) { m.insertCRL(r); }
  static void update(FileDBManager& m, Record& r) { m.updateCRLByIndex(VELDBManager::CRLRecordID, r); }
  static unsigned long long remove(FileDBManager& m, const std::string& label) {
    return m.deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString(label));
  }
  static unsigned long long removeAll(FileDBManager& m) {
    return m.deleteCRLByIndex(VELDBManager::CRLAllRecords, kAny);
  }
  static unsigned long long count(FileDBManager& m) { return m.getCRLCountByIndex(VELDBManager::CRLAllRecords, kAny); }
};

template <class TABLE>
class TableEngineTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void SetUp() override {
    d_manager.reset(new FileDBManager(VELDBConnectInfo::FILE(d_base, VELPasswordEncryptor("engine", 6),
                                                             VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite)));
  }
  void TearDown() override { d_manager.reset(); }
  std::string path() const { return d_base + TABLE::suffix(); }
  static std::uint32_t idOf(const typename TABLE::Record& r) { return VELDBUtility::asnToRecordID(r.getRecordID()); }

  std::unique_ptr<FileDBManager> d_manager;
};

using Tables = ::testing::Types<KeyTable, KeyPairTable, CRLTable>;
TYPED_TEST_SUITE(TableEngineTest, Tables);

TYPED_TEST(TableEngineTest, ARefusedChangeTouchesNothingAndTakesNoID) {
  FileDBManager& m = *this->d_manager;
  for (const char* label : {"a", "b", "c"}) TypeParam::insert(m, *TypeParam::make(label));
  EXPECT_EQ(1u, TypeParam::remove(m, "c"));
  const std::string before = readAll(this->path());
  std::unique_ptr<typename TypeParam::Record> duplicate = TypeParam::make("a");
  std::unique_ptr<typename TypeParam::Record> missing = TypeParam::make("missing");
  missing->setRecordID(77);
  {
    const VELFaultDisk::Installed counting;
    EXPECT_EQ(VELDBError::kDuplicateLabel, errorOf([&] { TypeParam::insert(m, *duplicate); }));
    EXPECT_EQ(VELDBError::kNoMatchingRecord, errorOf([&] { TypeParam::update(m, *missing); }));
    EXPECT_EQ(0u, TypeParam::remove(m, "nothing"));
    // No journal, no write, and no re-read of the table.
    EXPECT_EQ(0, VELFaultDisk::disk().calls[VELFaultDisk::kWrite]);
    EXPECT_EQ(0, VELFaultDisk::disk().creates);
    EXPECT_EQ(0, VELFaultDisk::disk().calls[VELFaultDisk::kRead]);
  }
  EXPECT_TRUE(before == readAll(this->path()));
  // IDs 1 to 3 were handed out; the record deleted last does not give its
  // ID back.
  std::unique_ptr<typename TypeParam::Record> next = TypeParam::make("d");
  TypeParam::insert(m, *next);
  EXPECT_EQ(4u, this->idOf(*next));
}

TYPED_TEST(TableEngineTest, NoIDIsHandedOutTwiceEvenWhenItsChangeIsRolledBack) {
  FileDBManager& m = *this->d_manager;
  TypeParam::insert(m, *TypeParam::make("first"));
  std::unique_ptr<typename TypeParam::Record> undone = TypeParam::make("undone");
  m.beginTransaction();
  TypeParam::insert(m, *undone);
  m.rollbackTransaction();
  std::unique_ptr<typename TypeParam::Record> next = TypeParam::make("next");
  TypeParam::insert(m, *next);
  EXPECT_GT(this->idOf(*next), this->idOf(*undone));
  EXPECT_EQ(2u, TypeParam::count(m));
}

TYPED_TEST(TableEngineTest, DeletingManyRecordsIsOneJournaledChange) {
  FileDBManager& m = *this->d_manager;
  m.beginTransaction();
  for (int i = 0; i < 12; ++i) TypeParam::insert(m, *TypeParam::make("r" + std::to_string(i)));
  m.commitTransaction();
  {
    const VELFaultDisk::Installed counting;
    EXPECT_EQ(12u, TypeParam::removeAll(m));
    EXPECT_EQ(1, VELFaultDisk::disk().creates);  // one journal for the twelve
  }
  EXPECT_EQ(0u, TypeParam::count(m));
  EXPECT_FALSE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(this->path())));
}

}  // namespace
