// Plan: kill the process at every call that changes the disk (the Nth such call tears its write
// in half and every later one fails, as the fault disk does when it crashes), for every record and settings
// operation of the key, key-pair and CRL tables through the manager, on version 3 and version 4
// databases, with the close that follows; crash points are tried from the first call on until an
// operation completes without reaching one.  After each, the manager is given up, and a reopen
// on a healthy disk must find every table enabled, no journal left, counts and lookups agreeing
// with the records, and exactly the state before or the state after.  The same for transactions
// that change the three tables together: all of a transaction or none of it, also when one
// table can only be opened, and recovered, after a later transaction over the others.  Also: a
// refused operation leaves an open transaction as it was.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "filedbtransactionguard.h"
#include "velasnutility.h"
#include "velfaultdisk.h"
#include "veldbutility.h"
#include "velexception.h"
#include "velplatform.h"
#include "veltestdatabase.h"
#include "veltestoperations.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

using namespace VELTestDatabase;

Records* g_records = nullptr;
const Records& rec() { return *g_records; }

using VELTestUtil::errorOf;

using VELTestOperations::Operation;
using VELTestOperations::returning;

// What a reopen found.
struct Seen {
  bool opened = false;
  State state;
  bool newPassword = false;
};

class FileDBCrashPointsTest : public VELTestUtil::TempDirTest<::testing::TestWithParam<VELTestOperations::Case>> {
 protected:
  static void SetUpTestSuite() { g_records = new Records(); }
  static void TearDownTestSuite() {
    delete g_records;
    g_records = nullptr;
  }

  void SetUp() override {
    // Kills, not power loss: the order of writes is what matters.
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
    rec().createDatabase(info(GetParam().version == 3 ? VELDBConnectInfo::Create : VELDBConnectInfo::CreateV4, d_old));
    for (int t = 0; t < kTableCount; ++t) d_image[t] = readAll(d_base + kSuffixes[t]);
    const Seen initial = reopen("the initial database");
    ASSERT_TRUE(initial.opened);
    d_initial = initial.state;
  }
  void TearDown() override {
    VELFaultDisk::uninstall();
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  }

  VELDBConnectInfo::FILE info(VELDBConnectInfo::ConnectType type, const VELPasswordEncryptor& pw) const {
    return VELDBConnectInfo::FILE(d_base, pw, type, VELDBConnectInfo::ReadWrite);
  }
  std::unique_ptr<FileDBManager> open(const VELPasswordEncryptor& pw) const {
    return std::unique_ptr<FileDBManager>(new FileDBManager(info(VELDBConnectInfo::Open, pw)));
  }
  std::string prefix() const { return "v" + std::to_string(GetParam().version) + " "; }
  // The tables as they were made, nothing beside them.
  void restoreFiles() { restoreTables(d_dir, d_base, d_image); }
  std::map<std::string, std::string> files() const { return databaseFiles(d_dir, d_base); }
  // A read-only open first, as a user's `list` would be: it must write
  // nothing; what it saw goes to `reader`.
  void readFirst(const std::string& where, Seen& reader) {
    const std::map<std::string, std::string> before = files();
    for (const VELPasswordEncryptor* pw : {&d_old, &d_new}) {
      const VELDBConnectInfo::FILE ro(d_base, *pw, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
      try {
        FileDBManager r(ro);
        std::vector<std::string> problems;
        reader.state = stateOf(r, ro, d_base, problems);
        for (const std::string& p : problems) ADD_FAILURE() << where << ", read-only: " << p;
        reader.newPassword = pw == &d_new;
        reader.opened = r.isKeyPairEnabled() && r.isCRLEnabled();
        break;
      } catch (const VELDBException& e) {
        if (e.getError() != VELDBError::kBadPassword || pw == &d_new) {
          ADD_FAILURE() << where << ": a read-only open refused: 0x" << hex(e.getError()) << " " << e.getMessage();
          break;
        }
      }
    }
    if (files() != before) ADD_FAILURE() << where << ": a read-only open changed the files";
  }

  // Opens the database on a healthy disk, read-only first and then
  // read-write, with the old password or else the new one, and reads it
  // whole; every fault of the reopen is reported against `where`.
  Seen reopen(const std::string& where) {
    Seen reader;
    readFirst(where, reader);
    Seen seen = reopenReadWrite(where);
    if (seen.opened && !(reader.opened && reader.state == seen.state && reader.newPassword == seen.newPassword)) {
      ADD_FAILURE() << where << ": a read-only open saw " << (reader.opened ? reader.state.describe() : "nothing")
                    << (reader.newPassword ? " (new password)" : "") << "\nthe read-write open then "
                    << seen.state.describe() << (seen.newPassword ? " (new password)" : "");
    }
    return seen;
  }

  Seen reopenReadWrite(const std::string& where) {
    Seen seen;
    std::unique_ptr<FileDBManager> m;
    // Every other reopen tries the new password first: an interrupted
    // password change recovers under either.
    d_newFirst = !d_newFirst;
    const VELPasswordEncryptor* first = d_newFirst ? &d_new : &d_old;
    const VELPasswordEncryptor* second = d_newFirst ? &d_old : &d_new;
    for (const VELPasswordEncryptor* pw : {first, second}) {
      try {
        m = open(*pw);
        seen.newPassword = pw == &d_new;
        break;
      } catch (const VELDBException& e) {
        if (e.getError() != VELDBError::kBadPassword || pw == second) {
          ADD_FAILURE() << where << ": the database does not open: 0x" << hex(e.getError()) << " " << e.getMessage();
          return seen;
        }
      }
    }
    const VELDBConnectInfo::FILE used = info(VELDBConnectInfo::Open, seen.newPassword ? d_new : d_old);
    const std::string disabled = disabledTables(m, used, d_base);
    if (!disabled.empty()) {
      ADD_FAILURE() << where << ": reopened with the " << disabled;
      return seen;
    }
    std::vector<std::string> problems;
    seen.state = stateOf(*m, used, d_base, problems);
    for (const std::string& p : problems) ADD_FAILURE() << where << ": " << p;
    m.reset();
    // Journals, password journal and transaction files are recovered and
    // gone.
    for (const std::string& name : sideFiles(d_dir, d_base)) {
      ADD_FAILURE() << where << ": " << name << " left after the reopen";
    }
    seen.opened = true;
    return seen;
  }

  // Runs `change` on the tables as they were made, killed at changing call
  // `point` (the close after it included); false when it ran to the end
  // without reaching that call.  What it threw goes to `error`.
  // A delete that reports another count than it should fails.
  bool killAt(const Operation& change, long long point, std::string& error) {
    restoreFiles();
    {
      std::unique_ptr<FileDBManager> m = open(d_old);
      if (change.prepare) change.prepare(*m);
      VELFaultDisk::installCrash(point);
      try {
        const long long n = change.run ? change.run(*m) : -1;
        if (change.reports >= 0 && n != change.reports) {
          error = "deleted " + std::to_string(n) + " records, not " + std::to_string(change.reports);
        }
      } catch (const VELException& e) {
        error = std::string("threw: ") + e.what();
      }
    }
    const bool reached = VELFaultDisk::crashed();
    VELFaultDisk::uninstall();
    return reached;
  }

  // Kills `change` (and the close after it) at call 0, 1, 2, ... until it
  // completes without reaching the crash point; every reopen must show the
  // state before or after.  With the close as the operation (a compaction
  // after `prepare`), the records must be those after it whatever the point.
  // Prints one line; returns the points tried.
  long long crashEverywhere(const Operation& change) {
    const std::string name = prefix() + change.name;
    const State& initial = change.run ? d_initial : change.after;
    EXPECT_TRUE(d_initial != change.after || change.changesPassword) << name << ": the change changes nothing";
    long long before = 0;
    long long after = 0;
    long long broken = 0;
    long long point = 0;
    for (;; ++point) {
      std::string error;
      const bool reached = killAt(change, point, error);
      const bool threw = !error.empty();
      const std::string where = name + ", crash at call " + std::to_string(point);
      if (!reached) {
        // It ran to the end: the state after, with nothing reported.
        EXPECT_FALSE(threw) << name << ": failed on a healthy disk: " << error;
        const Seen seen = reopen(name + ", no crash");
        EXPECT_TRUE(seen.opened && seen.state == change.after && seen.newPassword == change.changesPassword)
            << name << ", no crash: reopened " << seen.state.describe() << "\nexpected " << change.after.describe();
        break;
      }
      const Seen seen = reopen(where);
      if (!seen.opened) {
        ++broken;
      } else if (seen.state == initial && !seen.newPassword) {
        ++before;
      } else if (seen.state == change.after && seen.newPassword == change.changesPassword) {
        ++after;
      } else {
        ++broken;
        ADD_FAILURE() << where << ": reopened neither before nor after: " << seen.state.describe()
                      << (seen.newPassword ? " (new password)" : "") << "\nbefore   " << initial.describe()
                      << "\nafter    " << change.after.describe();
      }
      if (point > 5000) {
        ADD_FAILURE() << name << ": still crashing after " << point << " calls";
        break;
      }
    }
    if (change.run) {
      std::printf("[crash] %s: %lld crash points, %lld recovered (%lld before, %lld after)\n", name.c_str(), point,
                  before + after, before, after);
    } else {
      std::printf("[crash] %s: %lld crash points, %lld recovered\n", name.c_str(), point, before + after);
    }
    std::fflush(stdout);
    EXPECT_EQ(0, broken) << name;
    EXPECT_GT(point, 0) << name << ": changed nothing on disk";
    return point;
  }

  void crashEverywhere(const std::vector<Operation>& changes) {
    for (const Operation& change : changes) crashEverywhere(change);
  }

  std::string d_image[kTableCount];
  State d_initial;
  bool d_newFirst = false;
  const VELPasswordEncryptor d_old = password("old crash password");
  const VELPasswordEncryptor d_new = password("new crash password");
};

// --- single operations ---------------------------------------------------------------------------

class FileDBCrashPointsTableTest : public FileDBCrashPointsTest {};

TEST_P(FileDBCrashPointsTableTest, RecordOperationsRecoverAtEveryCrashPoint) {
  for (const VELTestOperations::Operation& op :
       VELTestOperations::tableOperations(static_cast<Table>(GetParam().table), rec(), d_initial)) {
    crashEverywhere(op);
  }
}

// Every table takes the new time, or none does.
TEST_P(FileDBCrashPointsTest, ExpirationTimeChangeRecoversAtEveryCrashPoint) {
  const long long time = 4102444800LL;  // 2100-01-01
  crashEverywhere({{"expiration time", returning([time](FileDBManager& m) { m.setDBPasswordExpirationTime(time); }),
                    expiring(d_initial, time)}});
}

// Told apart by the password alone: every table opens with the old one or
// every table with the new one.
TEST_P(FileDBCrashPointsTest, PasswordChangeRecoversAtEveryCrashPoint) {
  crashEverywhere(
      {{"password", returning([this](FileDBManager& m) { m.setDBPassword(d_old, d_new, 0); }), d_initial, -1, true}});
  // The password changed in the middle of a transaction over the three
  // tables: every journal it leaves, and its transaction file, open under
  // either password, and a reader with either finds the committed one.
  const State deleted = without(without(without(d_initial, kKeys, {"k2"}), kCRLs, {"c3"}), kKeyPairs, {"p3"});
  crashEverywhere({{"password in a transaction",
                    returning([this](FileDBManager& m) {
                      FileDBTransactionGuard transaction(m);
                      if (m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("k2")) != 1) {
                        VELDB_THROW(VELDBError::kNoMatchingRecord, "k2 not deleted");
                      }
                      m.setDBPassword(d_old, d_new, 0);
                      if (m.deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("c3")) != 1 ||
                          m.deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString("p3")) != 1) {
                        VELDB_THROW(VELDBError::kNoMatchingRecord, "c3 or p3 not deleted");
                      }
                      transaction.commit();
                    }),
                    deleted, -1, true}});
}

// A deletion makes the close of that session compact the file: killed
// during the compaction, the records are the same either way.
TEST_P(FileDBCrashPointsTest, CloseTimeCompactionRecoversAtEveryCrashPoint) {
  const char* const labels[kTableCount] = {"k2", "p2", "c2"};
  for (int t = 0; t < kTableCount; ++t) {
    const VELASNLabelString label(labels[t]);
    Operation compaction = {kTableNames[t] + std::string(" compaction"), nullptr,
                            without(d_initial, static_cast<Table>(t), {labels[t]})};
    compaction.prepare = [t, label](FileDBManager& m) {
      unsigned long long n = 0;
      if (t == kKeys) n = m.deleteKeyByIndex(VELDBManager::KeyLabel, label);
      if (t == kKeyPairs) n = m.deleteKeyPairByIndex(VELDBManager::KeyPairLabel, label);
      if (t == kCRLs) n = m.deleteCRLByIndex(VELDBManager::CRLLabel, label);
      ASSERT_EQ(1u, n) << label.getValue();
    };
    crashEverywhere(compaction);
    EXPECT_LT(fileSize(d_base + kSuffixes[t]), static_cast<long long>(d_image[t].size()))
        << compaction.name << ": not compacted";
  }
}

// --- transactions ----------------------------------------------------------------------------------

Operation mixed(const State& s) {
  return {"transaction of inserts, updates and deletes",
          returning([](FileDBManager& m) { mixedTransaction(m, rec()); }), afterMixedTransaction(s, rec())};
}

TEST_P(FileDBCrashPointsTest, TransactionsAcrossTheThreeTablesAreAllOrNothingAtEveryCrashPoint) {
  const State& s = d_initial;
  const VELASNCertificate& k2 = rec().k2->getCertificate();
  std::vector<Operation> changes;

  changes.push_back(mixed(s));

  // Growing slots, deleting many, and a refusal in the middle.
  changes.push_back({"transaction with growth, wholesale deletes and a refusal",
                     returning([&k2](FileDBManager& m) {
                       FileDBTransactionGuard transaction(m);
                       VELASNKeyPairRecord big(*rec().bigPair);
                       m.insertKeyPair(big);
                       if (m.deleteCRLByIndex(VELDBManager::CRLAllRecords, VELASNInteger()) != 3) {
                         VELDB_THROW(VELDBError::kNoMatchingRecord, "not every CRL deleted");
                       }
                       std::unique_ptr<VELASNKeyRecord> taken = relabelled(*rec().k4, "k1");
                       if (errorOf([&] { m.insertKey(*taken); }) != VELDBError::kDuplicateLabel) {
                         VELDB_THROW(VELDBError::kBadArgument, "a duplicate label was not refused");
                       }
                       VELASNCRLRecord c4(*rec().c4);
                       m.insertCRL(c4);
                       VELASNKeyRecord k1(*rec().k1renewed);
                       m.updateKeyByIndex(VELDBManager::KeyLabel, k1);
                       if (m.deleteKeyByIndex(VELDBManager::KeyPublicKeyInfo, k2.getSubjectPublicKeyInfo()) != 2) {
                         VELDB_THROW(VELDBError::kNoMatchingRecord, "k2 and k3 not deleted");
                       }
                       transaction.commit();
                     }),
                     with(with(with(without(without(s, kCRLs, {"c1", "c2", "c3"}), kKeys, {"k2", "k3"}), kKeyPairs,
                                    *rec().bigPair, 4),
                               kCRLs, *rec().c4, 4),
                          kKeys, *rec().k1renewed, 1)});

  // The same records changed again and again: only the net change stays.
  changes.push_back({"transaction changing the same records repeatedly",
                     returning([](FileDBManager& m) {
                       m.beginTransaction();
                       VELASNKeyRecord k4(*rec().k4);
                       m.insertKey(k4);
                       m.updateKeyByIndex(VELDBManager::KeyRecordID, *relabelled(*rec().k4, "k4 renamed", 4));
                       if (m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("k4 renamed")) != 1) {
                         VELDB_THROW(VELDBError::kNoMatchingRecord, "k4 not deleted");
                       }
                       VELASNCRLRecord c4(*rec().c4);
                       m.insertCRL(c4);
                       if (m.deleteCRLByIndex(VELDBManager::CRLRecordID, VELDBUtility::recordIDToASN(4)) != 1) {
                         VELDB_THROW(VELDBError::kNoMatchingRecord, "c4 not deleted");
                       }
                       VELASNKeyPairRecord p1(*rec().p1renewed);
                       m.updateKeyPairByIndex(VELDBManager::KeyPairLabel, p1);
                       VELASNKeyPairRecord back(*rec().p1);
                       m.updateKeyPairByIndex(VELDBManager::KeyPairLabel, back);
                       if (m.deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString("p3")) != 1) {
                         VELDB_THROW(VELDBError::kNoMatchingRecord, "p3 not deleted");
                       }
                       m.commitTransaction();
                     }),
                     without(s, kKeyPairs, {"p3"})});
  crashEverywhere(changes);
}

// A table that cannot be opened at the first open after a crash (here
// another holder keeps the CRL file) recovers later, after a transaction
// over the other tables was committed: it must still end the interrupted
// transaction the way the other tables did.
TEST_P(FileDBCrashPointsTest, ATableRecoveredLaterEndsTheTransactionAsTheOthersDid) {
  const Operation change = mixed(d_initial);
  const std::string name = prefix() + "CRL table recovered after a later transaction";
  const std::string crlPath = FileDBBinaryFile::fullPathName(d_base + kSuffixes[kCRLs]);
  const State wasBefore = without(without(d_initial, kKeys, {"k1"}), kKeyPairs, {"p2"});
  const State wasAfter = without(without(change.after, kKeys, {"k1"}), kKeyPairs, {"p2"});
  long long before = 0;
  long long after = 0;
  long long point = 0;
  for (;; ++point) {
    std::string error;
    if (!killAt(change, point, error)) break;
    const std::string where = name + ", crash at call " + std::to_string(point);
    {
      // The key and key-pair tables recover now, the CRL table cannot.
      const FileDBBinaryFile holder(crlPath, VELDBConnectInfo::ReadOnly);
      std::unique_ptr<FileDBManager> m = open(d_old);
      ASSERT_FALSE(m->isCRLEnabled()) << where;
      m->beginTransaction();
      EXPECT_EQ(1u, m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("k1"))) << where;
      EXPECT_EQ(1u, m->deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString("p2"))) << where;
      m->commitTransaction();
    }
    const Seen seen = reopen(where);
    if (seen.state == wasBefore) {
      ++before;
    } else if (seen.state == wasAfter) {
      ++after;
    } else {
      ADD_FAILURE() << where << ": reopened neither before nor after: " << seen.state.describe() << "\nbefore   "
                    << wasBefore.describe() << "\nafter    " << wasAfter.describe();
    }
  }
  std::printf("[crash] %s: %lld crash points, %lld recovered (%lld before, %lld after)\n", name.c_str(), point,
              before + after, before, after);
  std::fflush(stdout);
}

// --- refusals ------------------------------------------------------------------------------------

// Refusals of every kind in the middle of a transaction: the transaction
// stays open with every change made before, sees them, and commits them.
TEST_P(FileDBCrashPointsTest, ARefusedOperationLeavesTheTransactionAsItWas) {
  {
    std::unique_ptr<FileDBManager> m = open(d_old);
    m->beginTransaction();
    VELASNKeyRecord k4(*rec().k4);
    m->insertKey(k4);
    VELASNKeyPairRecord p1(*rec().p1renewed);
    m->updateKeyPairByIndex(VELDBManager::KeyPairLabel, p1);
    VELASNCRLRecord c4(*rec().c4);
    m->insertCRL(c4);
    EXPECT_EQ(1u, m->deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("c1")));

    const struct {
      const char* what;
      unsigned long expected;
      std::function<void()> body;
    } refusals[] = {
        {"key insert with a label taken", VELDBError::kDuplicateLabel,
         [&] { m->insertKey(*relabelled(*rec().k1renewed, "k4")); }},
        {"key insert of a certificate stored", VELDBError::kDuplicateSignature,
         [&] { m->insertKey(*relabelled(*rec().k2, "k9")); }},
        {"key update of no record", VELDBError::kNoMatchingRecord,
         [&] { m->updateKeyByIndex(VELDBManager::KeyLabel, *relabelled(*rec().k1renewed, "nobody")); }},
        {"key delete with a key of the wrong type", VELDBError::kBadArgument,
         [&] { m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNInteger(1)); }},
        {"key-pair insert of a public key stored", VELDBError::kDuplicatePublicKey,
         [&] { m->insertKeyPair(*relabelled(*rec().p1renewed, "p9")); }},
        {"key-pair update to a label taken", VELDBError::kDuplicateLabel,
         [&] { m->updateKeyPairByIndex(VELDBManager::KeyPairRecordID, *relabelled(*rec().p2renewed, "p3", 2)); }},
        {"CRL insert of a list stored", VELDBError::kDuplicateSignature,
         [&] { m->insertCRL(*relabelled(*rec().c4, "c9")); }},
        {"CRL update of a record deleted", VELDBError::kNoMatchingRecord,
         [&] { m->updateCRLByIndex(VELDBManager::CRLRecordID, *relabelled(*rec().c1renewed, "c1", 1)); }},
        {"password change from a password the tables do not have", VELDBError::kBadPassword,
         [&] { m->setDBPassword(d_new, d_old, 0); }},
    };
    for (const auto& refusal : refusals) {
      EXPECT_EQ(refusal.expected, errorOf(refusal.body)) << refusal.what;
      EXPECT_TRUE(m->inTransaction()) << refusal.what;
      // This thread still sees what the transaction did.
      EXPECT_EQ(1u, m->getKeyCountByIndex(VELDBManager::KeyLabel, VELASNLabelString("k4"))) << refusal.what;
      EXPECT_EQ(0u, m->getCRLCountByIndex(VELDBManager::CRLLabel, VELASNLabelString("c1"))) << refusal.what;
      EXPECT_EQ(1u, m->getCRLCountByIndex(VELDBManager::CRLLabel, VELASNLabelString("c4"))) << refusal.what;
      EXPECT_EQ(4u, m->getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger())) << refusal.what;
    }
    // The transaction goes on after the refusals, and commits all of it.
    VELASNKeyRecord k1(*rec().k1renewed);
    m->updateKeyByIndex(VELDBManager::KeyLabel, k1);
    m->commitTransaction();
    EXPECT_FALSE(m->inTransaction());
  }
  const State expected =
      with(with(with(with(without(d_initial, kCRLs, {"c1"}), kKeys, *rec().k4, 4), kKeyPairs, *rec().p1renewed, 1),
                kCRLs, *rec().c4, 4),
           kKeys, *rec().k1renewed, 1);
  const Seen seen = reopen(prefix() + "after the commit");
  EXPECT_TRUE(seen.state == expected) << seen.state.describe() << "\nexpected " << expected.describe();
}

INSTANTIATE_TEST_SUITE_P(Versions, FileDBCrashPointsTest, ::testing::ValuesIn(VELTestOperations::versions()),
                         VELTestOperations::caseName);
INSTANTIATE_TEST_SUITE_P(Tables, FileDBCrashPointsTableTest,
                         ::testing::ValuesIn(VELTestOperations::versionsAndTables()), VELTestOperations::caseName);

}  // namespace
