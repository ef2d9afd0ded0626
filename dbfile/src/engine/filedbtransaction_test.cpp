// Plan: transactions through the manager over all three tables: what a commit makes durable and
// what a rollback, a destroyed manager or a crash at any disk call leaves; refusals and failures
// inside a transaction; other managers and threads; the cost of a commit in syncs.
#include "filedbtransaction.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "filedbtransactionguard.h"
#include "velfaultdisk.h"
#include "veldbutility.h"
#include "velexception.h"
#include "velplatform.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;

const VELASNInteger kAny(0);

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
  // What the directory holds besides the three tables.
  std::vector<std::string> others() const {
    std::vector<std::string> names;
    vel_listdir(d_dir.c_str(), "", names);
    std::vector<std::string> out;
    for (const std::string& name : names) {
      if (name != "." && name != ".." && name != "db.vkey" && name != "db.vkyp" && name != "db.vcrl") {
        out.push_back(name);
      }
    }
    return out;
  }
  void restore(const std::vector<std::string>& before) const {
    for (const std::string& name : others()) ::unlink((d_dir + "/" + name).c_str());
    for (std::size_t i = 0; i < before.size(); ++i) VELTestUtil::writeAll(paths()[i], before[i]);
  }
  // Nothing but the three tables is left in the directory.
  bool onlyTables() const { return others().empty(); }
  static std::uint64_t counts(FileDBManager& m, std::uint64_t* keyPairs, std::uint64_t* crls) {
    *keyPairs = m.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, kAny);
    *crls = m.getCRLCountByIndex(VELDBManager::CRLAllRecords, kAny);
    return m.getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny);
  }
};

// One record in each table, the key with the label `label`.
void insertOneOfEach(FileDBManager& m, const std::string& label) {
  m.insertKey(*VELTestPKI::makeKeyRecord(label, "CN=" + label));
  m.insertKeyPair(*VELTestPKI::makeKeyPairRecord(label + "-pair", "CN=" + label + " pair"));
  m.insertCRL(*VELTestPKI::makeCRLRecord(label + "-crl", "CN=" + label + " CA"));
}

TEST_P(TransactionTest, CommitMakesEveryTableDurableAtOnceAndTheCallerSeesItsChangesBefore) {
  {
    std::unique_ptr<FileDBManager> m = open();
    m->beginTransaction();
    EXPECT_TRUE(m->inTransaction());
    for (int i = 0; i < 5; ++i) insertOneOfEach(*m, "r" + std::to_string(i));
    m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("r0"));
    std::uint64_t pairs = 0;
    std::uint64_t crls = 0;
    EXPECT_EQ(4u, counts(*m, &pairs, &crls));
    EXPECT_EQ(5u, pairs);
    EXPECT_EQ(5u, crls);
    std::unique_ptr<VELASNKeyRecord> found(m->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("r3")));
    ASSERT_NE(found, nullptr);
    m->commitTransaction();
    EXPECT_FALSE(m->inTransaction());
  }
  EXPECT_TRUE(onlyTables());
  std::unique_ptr<FileDBManager> m = open(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  std::uint64_t pairs = 0;
  std::uint64_t crls = 0;
  EXPECT_EQ(4u, counts(*m, &pairs, &crls));
  EXPECT_EQ(5u, pairs);
  EXPECT_EQ(5u, crls);
}

// A password change joins the transaction: rolled back, the tables keep the
// old password and none of the records; committed, the new password opens
// every table with every record, and the old one none.
TEST_P(TransactionTest, APasswordChangeCommitsOrRollsBackWithTheRecords) {
  const VELPasswordEncryptor old("tx secret", 9);
  const VELPasswordEncryptor renewed("tx renewed", 10);
  const std::vector<std::string> before = images();
  for (bool commit : {false, true}) {
    {
      std::unique_ptr<FileDBManager> m = open();
      m->beginTransaction();
      insertOneOfEach(*m, "moved");
      m->setDBPassword(old, renewed, 0);
      insertOneOfEach(*m, "after");
      std::uint64_t pairs = 0;
      std::uint64_t crls = 0;
      EXPECT_EQ(2u, counts(*m, &pairs, &crls));
      if (commit) {
        m->commitTransaction();
      } else {
        m->rollbackTransaction();
        EXPECT_EQ(before, images());
        EXPECT_EQ(0u, counts(*m, &pairs, &crls));
        // The manager has the old password again: it changes records and
        // the password as before.
        insertOneOfEach(*m, "again");
        m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("again"));
        m->deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString("again-pair"));
        m->deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("again-crl"));
      }
    }
    EXPECT_TRUE(onlyTables());
  }
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { open(); }));
  std::unique_ptr<FileDBManager> m(new FileDBManager(
      VELDBConnectInfo::FILE(d_base, renewed, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly)));
  std::uint64_t pairs = 0;
  std::uint64_t crls = 0;
  EXPECT_EQ(2u, counts(*m, &pairs, &crls));
  EXPECT_EQ(2u, pairs);
  EXPECT_EQ(2u, crls);
}

TEST_P(TransactionTest, RollbackAndAnAbandonedTransactionLeaveTheFilesAsTheyWereAndIDsUsed) {
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
    std::uint64_t pairs = 0;
    std::uint64_t crls = 0;
    EXPECT_EQ(1u, counts(*m, &pairs, &crls));
    EXPECT_EQ(1u, pairs);
    EXPECT_EQ(1u, crls);
    ASSERT_NE(nullptr,
              std::unique_ptr<VELASNKeyRecord>(m->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("kept"))));
  }
  // IDs 2 to 4 went to rolled-back inserts of this manager's session; the
  // reopened session starts from what the file holds, but never below.
  std::unique_ptr<VELASNKeyRecord> next = VELTestPKI::makeKeyRecord("next", "CN=next");
  m->beginTransaction();
  m->insertKey(*next);
  const std::uint32_t inside = VELDBUtility::asnToRecordID(next->getRecordID());
  m->rollbackTransaction();
  m->insertKey(*next);
  EXPECT_GT(VELDBUtility::asnToRecordID(next->getRecordID()), inside);
}

TEST_P(TransactionTest, ARefusedOperationLeavesTheTransactionAsItWas) {
  std::unique_ptr<FileDBManager> m = open();
  m->beginTransaction();
  m->insertKey(*VELTestPKI::makeKeyRecord("a", "CN=a"));
  std::unique_ptr<VELASNKeyRecord> duplicate = VELTestPKI::makeKeyRecord("a", "CN=other");
  EXPECT_EQ(VELDBError::kDuplicateLabel, errorOf([&] { m->insertKey(*duplicate); }));
  EXPECT_EQ(VELDBError::kNoMatchingRecord,
            errorOf([&] { m->updateCRLByIndex(VELDBManager::CRLLabel, *VELTestPKI::makeCRLRecord("x", "CN=x")); }));
  EXPECT_EQ(VELDBError::kBadArgument,
            errorOf([&] { m->getKeyByIndex(static_cast<VELDBManager::KeyUniqueIndex>(99), kAny); }));
  m->insertKey(*VELTestPKI::makeKeyRecord("b", "CN=b"));
  m->commitTransaction();
  m.reset();
  m = open(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(2u, m->getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny));
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
    std::uint64_t pairs = 0;
    std::uint64_t crls = 0;
    EXPECT_EQ(1u, counts(*m, &pairs, &crls));
    EXPECT_EQ(1u, pairs);
    EXPECT_EQ(1u, crls);
  }
  std::unique_ptr<FileDBManager> m = open();
  m->insertKey(*VELTestPKI::makeKeyRecord("after", "CN=after"));
  EXPECT_EQ(2u, m->getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny));
}

TEST_P(TransactionTest, EveryCrashPointOfACommitOverThreeTablesLeavesAllOrNothing) {
  {
    std::unique_ptr<FileDBManager> m = open();
    insertOneOfEach(*m, "base");
  }
  const std::vector<std::string> before = images();
  const std::unique_ptr<VELASNKeyRecord> update = VELTestPKI::makeKeyRecord("base", "CN=base updated");
  const auto transaction = [&] {
    std::unique_ptr<FileDBManager> m = open();
    m->beginTransaction();
    insertOneOfEach(*m, "new");
    m->updateKeyByIndex(VELDBManager::KeyLabel, *update);
    m->deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("base-crl"));
    m->commitTransaction();
  };
  const long long total = VELFaultDisk::countChanges(transaction);
  int none = 0;
  int all = 0;
  for (long long k = 0; k <= total; ++k) {
    restore(before);
    VELFaultDisk::crashAt(k, transaction);
    std::unique_ptr<FileDBManager> m;
    ASSERT_NO_THROW(m = open()) << "crash at call " << k;
    ASSERT_TRUE(m->isKeyPairEnabled() && m->isCRLEnabled()) << "crash at call " << k;
    std::uint64_t pairs = 0;
    std::uint64_t crls = 0;
    const std::uint64_t keys = counts(*m, &pairs, &crls);
    std::unique_ptr<VELASNKeyRecord> base(m->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("base")));
    ASSERT_NE(base, nullptr) << "crash at call " << k;
    const bool updated = base->getCertificate().getSubject().compare(update->getCertificate().getSubject()) == 0;
    if (keys == 1 && pairs == 1 && crls == 1 && !updated) {
      ++none;
    } else {
      EXPECT_TRUE(keys == 2 && pairs == 2 && crls == 1 && updated)
          << "crash at call " << k << ": keys " << keys << ", pairs " << pairs << ", crls " << crls;
      EXPECT_EQ(nullptr, std::unique_ptr<VELASNCRLRecord>(
                             m->getCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("base-crl"))));
      ++all;
    }
    m.reset();
    EXPECT_TRUE(onlyTables()) << "crash at call " << k;
  }
  std::printf("[ transaction v%d ] %lld crash points: %d left nothing, %d left all\n", GetParam(), total + 1, none,
              all);
  EXPECT_GT(none, 0);
  EXPECT_GT(all, 0);
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
  std::uint64_t pairs = 0;
  std::uint64_t crls = 0;
  EXPECT_EQ(42u, counts(*m, &pairs, &crls));
  EXPECT_EQ(2u, pairs);
  EXPECT_EQ(2u, crls);
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
