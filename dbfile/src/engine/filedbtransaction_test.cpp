// Plan: transactions through the manager over all three tables: what a commit makes durable and
// what a rollback or a destroyed manager leaves; misuse and failures inside a transaction; other
// managers and threads; the cost of a commit in syncs.  Crashes at every disk call and refusals
// in the middle of a transaction are driven by the crash-point matrix.
#include "filedbtransaction.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "filedbtransactionguard.h"
#include "velfaultdisk.h"
#include "velexception.h"
#include "velplatform.h"
#include "veltestdatabase.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;

const VELASNInteger kAny(0);
using Counts = std::array<std::uint64_t, 3>;

class TransactionTest : public VELTestUtil::TempDirTest<::testing::TestWithParam<int>> {
 protected:
  void SetUp() override { open(GetParam() == 4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create); }
  void TearDown() override {
    VELFaultDisk::uninstall();
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  }

  std::unique_ptr<FileDBManager> open(VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Open,
                                      VELDBConnectInfo::AccessMode mode = VELDBConnectInfo::ReadWrite) const {
    return std::unique_ptr<FileDBManager>(
        new FileDBManager(VELDBConnectInfo::FILE(d_base, VELPasswordEncryptor("tx secret", 9), type, mode)));
  }
  std::vector<std::string> paths() const { return {d_base + ".vkey", d_base + ".vkyp", d_base + ".vcrl"}; }
  std::vector<std::string> images() const {
    std::vector<std::string> out;
    for (const std::string& p : paths()) out.push_back(readAll(p));
    return out;
  }
  // Nothing but the three tables is left in the directory.
  bool onlyTables() const { return VELTestDatabase::sideFiles(d_dir, d_base).empty(); }
  // The records in the key, key-pair and CRL tables.
  static Counts counts(FileDBManager& m) {
    return {m.getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny),
            m.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, kAny),
            m.getCRLCountByIndex(VELDBManager::CRLAllRecords, kAny)};
  }
};

// One record in each table, the key with the label `label`.
void insertOneOfEach(FileDBManager& m, const std::string& label) {
  m.insertKey(*VELTestPKI::makeKeyRecord(label, "CN=" + label));
  m.insertKeyPair(*VELTestPKI::makeKeyPairRecord(label + "-pair", "CN=" + label + " pair"));
  m.insertCRL(*VELTestPKI::makeCRLRecord(label + "-crl", "CN=" + label + " CA"));
}

// A password change joins the transaction: rolled back, the tables keep the
// old password and none of the records, and the manager changes records and
// the password as before.  (Committed with the records: the crash-point
// matrix.)
TEST_P(TransactionTest, APasswordChangeRollsBackWithTheRecords) {
  const VELPasswordEncryptor old("tx secret", 9);
  const VELPasswordEncryptor renewed("tx renewed", 10);
  const std::vector<std::string> before = images();
  std::unique_ptr<FileDBManager> m = open();
  m->beginTransaction();
  insertOneOfEach(*m, "moved");
  m->setDBPassword(old, renewed, 0);
  insertOneOfEach(*m, "after");
  EXPECT_EQ(2u, counts(*m)[0]);
  m->rollbackTransaction();
  EXPECT_EQ(before, images());
  EXPECT_EQ(0u, counts(*m)[0]);
  insertOneOfEach(*m, "again");
  m->setDBPassword(old, renewed, 0);
  m.reset();
  EXPECT_TRUE(onlyTables());
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { open(); }));
  m.reset(new FileDBManager(
      VELDBConnectInfo::FILE(d_base, renewed, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly)));
  EXPECT_EQ((Counts{1, 1, 1}), counts(*m));
}

// Rolled back, abandoned to a guard or to the manager's end, a transaction
// leaves the files as they were; committed, it makes every table durable at
// once, and the caller sees its changes before.
TEST_P(TransactionTest, RollbackLeavesTheFilesAsTheyWereAndCommitMakesEveryTableDurable) {
  {
    std::unique_ptr<FileDBManager> m = open();
    insertOneOfEach(*m, "kept");
  }
  const std::vector<std::string> before = images();
  std::unique_ptr<FileDBManager> m = open();
  for (int way = 0; way < 3; ++way) {
    SCOPED_TRACE(way);
    if (way == 2) {
      // The guard rolls back what it did not commit.
      FileDBTransactionGuard transaction(*m);
      insertOneOfEach(*m, "gone");
    } else {
      m->beginTransaction();
      insertOneOfEach(*m, "gone");
      m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("kept"));
      m->deleteCRLByIndex(VELDBManager::CRLAllRecords, kAny);
      if (way == 0) {
        m->rollbackTransaction();
      } else {
        m.reset();  // a manager destroyed in a transaction rolls it back
        m = open();
      }
    }
    EXPECT_FALSE(m->inTransaction());
    EXPECT_TRUE(before == images());
    EXPECT_TRUE(onlyTables());
    EXPECT_EQ((Counts{1, 1, 1}), counts(*m));
    ASSERT_NE(nullptr,
              std::unique_ptr<VELASNKeyRecord>(m->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("kept"))));
  }
  m->beginTransaction();
  EXPECT_TRUE(m->inTransaction());
  for (int i = 0; i < 5; ++i) insertOneOfEach(*m, "r" + std::to_string(i));
  m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("r0"));
  EXPECT_EQ((Counts{5, 6, 6}), counts(*m));
  ASSERT_NE(nullptr,
            std::unique_ptr<VELASNKeyRecord>(m->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("r3"))));
  m->commitTransaction();
  EXPECT_FALSE(m->inTransaction());
  m.reset();
  EXPECT_TRUE(onlyTables());
  m = open(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ((Counts{5, 6, 6}), counts(*m));
}

TEST_P(TransactionTest, MisuseIsRefusedClearly) {
  std::unique_ptr<FileDBManager> reader = open(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(VELDBError::kAccessDenied, errorOf([&] { reader->beginTransaction(); }));
  reader.reset();
  std::unique_ptr<FileDBManager> m = open();
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { m->commitTransaction(); }));
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { m->rollbackTransaction(); }));
  m->beginTransaction();
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { m->beginTransaction(); }));
  const VELPasswordEncryptor old("tx secret", 9);
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { m->setDBPassword(VELPasswordEncryptor("not it", 6), old, 0); }));
  EXPECT_EQ(VELDBError::kBadArgument,
            errorOf([&] { m->getKeyByIndex(static_cast<VELDBManager::KeyUniqueIndex>(99), kAny); }));
  EXPECT_TRUE(m->inTransaction());
  // A second manager of the same tables cannot open a second transaction on
  // them, but works inside this one (same thread: no deadlock).
  std::unique_ptr<FileDBManager> other = open();
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { other->beginTransaction(); }));
  other->insertKey(*VELTestPKI::makeKeyRecord("by-other", "CN=by other"));
  EXPECT_EQ(1u, m->getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny));
  m->rollbackTransaction();
  EXPECT_EQ(0u, other->getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny));
  // The settings that are changes join the transaction.
  m->beginTransaction();
  m->setDBPasswordExpirationTime(4000000000LL);
  m->rollbackTransaction();
  EXPECT_EQ(0, m->getDBPasswordExpirationTime());
}

TEST_P(TransactionTest, OtherThreadsWaitAndNeverSeeUncommittedChanges) {
  std::unique_ptr<FileDBManager> m = open();
  std::unique_ptr<FileDBManager> other = open();
  m->beginTransaction();
  for (int i = 0; i < 3; ++i) insertOneOfEach(*m, "t" + std::to_string(i));
  std::atomic<bool> committed{false};
  std::atomic<std::uint64_t> seen{99};
  std::atomic<bool> seenAfterCommit{false};
  std::thread reader([&] {
    const std::uint64_t n = other->getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny);
    seenAfterCommit = committed.load();
    seen = n;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(99u, seen.load());  // still waiting
  committed = true;
  m->commitTransaction();
  reader.join();
  EXPECT_TRUE(seenAfterCommit.load());
  EXPECT_EQ(3u, seen.load());
}

// A failing disk inside a transaction: the transaction is rolled back at
// once, every later operation in it is refused, and the database is as
// before.
TEST_P(TransactionTest, AFailureAfterAWriteRollsTheWholeTransactionBack) {
  {
    std::unique_ptr<FileDBManager> m = open();
    insertOneOfEach(*m, "kept");
  }
  const std::vector<std::string> before = images();
  // Once, and a disk that fails every write until it is healed (the
  // rollback then waits for the transaction's end).
  for (bool sticky : {false, true}) {
    SCOPED_TRACE(sticky);
    std::unique_ptr<FileDBManager> m = open();
    m->beginTransaction();
    insertOneOfEach(*m, "first");
    // The first write is the slot the insert appends.
    VELFaultDisk::install();
    VELFaultDisk::fail(VELFaultDisk::kWrite, 1, EIO, false, sticky);
    EXPECT_EQ(VELDBError::kWrite, errorOf([&] { m->insertCRL(*VELTestPKI::makeCRLRecord("second", "CN=second")); }));
    VELFaultDisk::uninstall();
    EXPECT_EQ(VELDBError::kTransactionAbandoned, errorOf([&] { m->insertKey(*VELTestPKI::makeKeyRecord("third", "CN=third")); }));
    EXPECT_EQ(VELDBError::kTransactionAbandoned, errorOf([&] { m->commitTransaction(); }));
    EXPECT_FALSE(m->inTransaction());
    EXPECT_TRUE(before == images());
    EXPECT_EQ((Counts{1, 1, 1}), counts(*m));
  }
  std::unique_ptr<FileDBManager> m = open();
  m->insertKey(*VELTestPKI::makeKeyRecord("after", "CN=after"));
  EXPECT_EQ(2u, m->getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny));
}

// The file syncs the fault disk counted.
long long fileSyncs() {
  const VELFaultDisk::Disk& d = VELFaultDisk::disk();
  return d.calls[VELFaultDisk::kSync] - d.dirSyncs;
}

TEST_P(TransactionTest, ACommitCostsOneJournalAndOneSetOfSyncsWhateverItsSize) {
  std::unique_ptr<FileDBManager> m = open();
  insertOneOfEach(*m, "seed");
  int syncs[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    const int n = i == 0 ? 1 : 40;
    VELFaultDisk::install();
    m->beginTransaction();
    for (int r = 0; r < n; ++r) insertOneOfEach(*m, "n" + std::to_string(i) + "-" + std::to_string(r));
    m->commitTransaction();
    syncs[i] = static_cast<int>(fileSyncs());
    VELFaultDisk::uninstall();
  }
  EXPECT_EQ(syncs[0], syncs[1]) << "syncs for one record of each kind against forty";
  // Overwrites too: updating and deleting forty records of each table is
  // one sync of each journal, not one a record.
  VELFaultDisk::install();
  m->beginTransaction();
  for (int r = 0; r < 40; ++r) {
    const std::string label = "n1-" + std::to_string(r);
    m->updateKeyByIndex(VELDBManager::KeyLabel, *VELTestPKI::makeKeyRecord(label, "CN=renewed " + label));
    m->deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString(label + "-pair"));
    m->deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString(label + "-crl"));
  }
  m->commitTransaction();
  const long long overwrites = fileSyncs();
  VELFaultDisk::uninstall();
  EXPECT_LE(overwrites, 3 * 3 + 1);
  EXPECT_EQ((Counts{42, 2, 2}), counts(*m));
  // Per table file: its journal before the first overwrite and once marked, the
  // file itself; and the transaction file.
  EXPECT_LE(syncs[1], 3 * 4 + 1);
}

TEST(TransactionStringTest, RollbackGivesTheCallerBackItsStringUnchanged) {
  VELString image;
  const VELPasswordEncryptor password("string secret", 13);
  {
    FileDBManager m(VELDBConnectInfo::STRING("mem", &image, password, VELDBConnectInfo::Create,
                                             VELDBConnectInfo::ReadWrite, nullptr));
    m.insertKey(*VELTestPKI::makeKeyRecord("kept", "CN=kept"));
  }
  const VELString before = image;
  FileDBManager m(
      VELDBConnectInfo::STRING("mem", &image, password, VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite, nullptr));
  m.beginTransaction();
  m.insertKey(*VELTestPKI::makeKeyRecord("gone", "CN=gone"));
  m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("kept"));
  m.insertCRL(*VELTestPKI::makeCRLRecord("gone-crl", "CN=CA"));
  m.rollbackTransaction();
  EXPECT_EQ(before, image);
  EXPECT_EQ(1u, m.getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny));
  EXPECT_EQ(0u, m.getCRLCountByIndex(VELDBManager::CRLAllRecords, kAny));
  m.beginTransaction();
  m.insertKey(*VELTestPKI::makeKeyRecord("committed", "CN=committed"));
  m.commitTransaction();
  EXPECT_EQ(2u, m.getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny));
}

INSTANTIATE_TEST_SUITE_P(Versions, TransactionTest, ::testing::Values(3, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return "V" + std::to_string(info.param); });

}  // namespace
