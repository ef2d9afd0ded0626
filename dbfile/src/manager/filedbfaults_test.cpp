// Plan: fail every system call that a record or settings operation of any of the three tables
// makes through the manager, a transaction over the three makes, or a close-time compaction
// makes (the Nth read, write, seek, size change, space reservation, sync, journal open or
// unlink; EIO, or a short write followed by a full disk; once, or from then on until the disk is
// healed), on version 3 and version 4 databases.  Then heal the disk, close, reopen with the
// password in force and classify the database: every table enabled, its committed records intact
// with the operation wholly done or wholly absent, counts and lookups agreeing with the records;
// a refusal to open is counted and fails the test too.  The counts are printed, one line per
// operation.
//
// The library reports ENOSPC and EIO alike (the number is only carried into the message), so a
// full disk is tried where one happens: on the second write after a short one, and on a space
// reservation.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "velfaultdisk.h"
#include "velplatform.h"
#include "veltestdatabase.h"
#include "veltestoperations.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

using namespace VELFaultDisk;

// The kinds the matrix fails: every one before the renames.
constexpr int kMatrixKinds = kRename;

using namespace VELTestDatabase;

Records* g_records = nullptr;
const Records& rec() { return *g_records; }

using VELTestOperations::Operation;
using VELTestOperations::returning;

struct Tally {
  long long tried = 0;
  long long done = 0;           // reopened, the operation wholly done
  long long absent = 0;         // reopened, the operation wholly absent
  long long refused = 0;        // reopen refused with a clear error
  long long reportedError = 0;  // the operation threw
  long long silentSuccess = 0;  // a call failed, the operation still succeeded (and is done)
  std::map<Kind, long long> perKind;
};

class FileDBFaultsTest : public VELTestUtil::TempDirTest<::testing::TestWithParam<VELTestOperations::Case>> {
 protected:
  static void SetUpTestSuite() {
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
    g_records = new Records();
  }
  static void TearDownTestSuite() {
    delete g_records;
    g_records = nullptr;
  }

  void SetUp() override {
    const VELDBConnectInfo::ConnectType create =
        GetParam().version == 3 ? VELDBConnectInfo::Create : VELDBConnectInfo::CreateV4;
    rec().createDatabase(info(create, d_old));
    {
      FileDBManager m(info(VELDBConnectInfo::Open, d_old));
      std::vector<std::string> problems;
      d_initial = stateOf(m, info(VELDBConnectInfo::Open, d_old), d_base, problems);
      EXPECT_TRUE(problems.empty());
    }
    for (int t = 0; t < kTableCount; ++t) d_image[t] = readAll(d_base + kSuffixes[t]);
  }
  void TearDown() override {
    uninstall();
    heal();
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
  }

  VELDBConnectInfo::FILE info(VELDBConnectInfo::ConnectType type, const VELPasswordEncryptor& pw) const {
    return VELDBConnectInfo::FILE(d_base, pw, type, VELDBConnectInfo::ReadWrite);
  }
  std::string prefix() const { return "v" + std::to_string(GetParam().version) + " "; }

  // The tables as they were made, nothing beside them.
  void restoreFiles() { restoreTables(d_dir, d_base, d_image); }

  // Runs `op` once on a healthy disk, counting the calls of each kind that
  // it makes (syncs with durability asked for, the rest without); checks
  // that it leaves `op.after`.
  std::vector<long long> countCalls(const Operation& op) {
    std::vector<long long> counts(kMatrixKinds, 0);
    for (bool syncs : {false, true}) {
      FileDBJournaledFile::setSyncMode(syncs ? FileDBJournaledFile::SyncFull : FileDBJournaledFile::SyncOff);
      restoreFiles();
      std::unique_ptr<FileDBManager> m(new FileDBManager(info(VELDBConnectInfo::Open, d_old)));
      if (op.prepare) op.prepare(*m);
      arm(kRead, -1, kEIO, false);
      if (op.run) {
        EXPECT_EQ(op.reports, op.run(*m)) << prefix() << op.name << ": the healthy run";
      } else {
        m.reset();
      }
      for (int k = 0; k < kMatrixKinds; ++k) {
        if ((k == kSync) == syncs) counts[k] = disk().calls[k];
      }
      heal();
      m.reset();
      for (int t = 0; t < kTableCount; ++t) d_compactedSize[t] = fileSize(d_base + kSuffixes[t]);
      const VELDBConnectInfo::FILE again = info(VELDBConnectInfo::Open, op.changesPassword ? d_new : d_old);
      FileDBManager reopened(again);
      std::vector<std::string> problems;
      const State seen = stateOf(reopened, again, d_base, problems);
      EXPECT_TRUE(problems.empty()) << prefix() << op.name << ": the healthy run: " << problems.front();
      EXPECT_TRUE(seen == op.after) << prefix() << op.name << ": the healthy run left " << seen.describe()
                                    << "\nexpected " << op.after.describe();
    }
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
    return counts;
  }

  // One injected fault, classified; anything that is neither a refusal nor
  // a clean before or after state fails the test.
  void inject(const Operation& op, Kind kind, long long at, Mode mode, bool sticky, Tally& tally) {
    restoreFiles();
    std::unique_ptr<FileDBManager> m(new FileDBManager(info(VELDBConnectInfo::Open, d_old)));
    if (op.prepare) op.prepare(*m);
    const std::string where = prefix() + op.name + " " + kKindNames[kind] + "#" + std::to_string(at) + " " +
                              kModeNames[mode] + (sticky ? " sticky" : " once");
    arm(kind, at, mode, sticky);
    bool threw = false;
    long long reported = -1;
    try {
      if (op.run) {
        reported = op.run(*m);
      } else {
        m.reset();
      }
    } catch (const VELDBException&) {
      threw = true;
    }
    const bool tripped = disk().tripped;
    heal();
    m.reset();  // the close on a healthy disk
    ++tally.tried;
    ++tally.perKind[kind];
    if (threw) ++tally.reportedError;
    EXPECT_TRUE(tripped || !threw) << where << ": failed without a fault";
    if (op.run && !threw) {
      EXPECT_EQ(op.reports, reported) << where << ": reported a wrong count";
    }

    // Reopen with the password in force: the new one only when the change
    // reported success.
    const bool newInForce = op.changesPassword && !threw;
    // A reader first, as a user's `list` would be, with either password: it
    // writes nothing, and sees what the read-write open below sees.
    const std::map<std::string, std::string> filesBefore = databaseFiles(d_dir, d_base);
    bool readerOpened = false;
    State readerSaw;
    for (const VELPasswordEncryptor* pw : {&d_old, &d_new}) {
      const VELDBConnectInfo::FILE ro(d_base, *pw, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
      try {
        FileDBManager reader(ro);
        std::vector<std::string> problems;
        readerSaw = stateOf(reader, ro, d_base, problems);
        readerOpened = problems.empty() && reader.isKeyPairEnabled() && reader.isCRLEnabled();
        break;
      } catch (const VELDBException&) {
      }
    }
    EXPECT_TRUE(databaseFiles(d_dir, d_base) == filesBefore) << where << ": a read-only open changed the files";
    std::unique_ptr<FileDBManager> reopened;
    const VELPasswordEncryptor* inForce = newInForce ? &d_new : &d_old;
    unsigned long refusal = 0;
    VELString message;
    bool otherPassword = false;
    try {
      reopened.reset(new FileDBManager(info(VELDBConnectInfo::Open, *inForce)));
    } catch (const VELDBException& e) {
      refusal = e.getError();
      message = e.getMessage();
    }
    if (refusal == VELDBError::kBadPassword && op.changesPassword && threw) {
      // The change reported an error yet took effect: acceptable only when
      // the whole of it did (every table under the new password).
      inForce = &d_new;
      try {
        reopened.reset(new FileDBManager(info(VELDBConnectInfo::Open, *inForce)));
        refusal = 0;
        otherPassword = true;
      } catch (const VELDBException& e) {
        refusal = e.getError();
        message = e.getMessage();
      }
    }
    if (refusal != 0) {
      ++tally.refused;
      d_refusals.push_back(where + ": 0x" + hex(refusal) + " " + message);
      return;
    }
    const VELDBConnectInfo::FILE used = info(VELDBConnectInfo::Open, *inForce);
    const std::string disabled = disabledTables(reopened, used, d_base);
    if (!disabled.empty()) {
      ADD_FAILURE() << where << ": reopened with the " << disabled;
      return;
    }
    std::vector<std::string> problems;
    const State now = stateOf(*reopened, used, d_base, problems);
    for (const std::string& p : problems) ADD_FAILURE() << where << ": " << p;
    EXPECT_TRUE(readerOpened && readerSaw == now)
        << where << ": a read-only open saw " << (readerOpened ? readerSaw.describe() : std::string("nothing"))
        << "\nthe read-write open then " << now.describe();
    reopened.reset();
    for (const std::string& name : sideFiles(d_dir, d_base)) {
      ADD_FAILURE() << where << ": " << name << " left after the reopen";
    }
    if (!op.run) {
      // The close: records are the same either way; each file is compacted
      // or as it was.
      bool sizes = true;
      for (int t = 0; t < kTableCount; ++t) {
        const long long size = fileSize(d_base + kSuffixes[t]);
        sizes = sizes && (size == d_compactedSize[t] || size == static_cast<long long>(d_image[t].size()));
      }
      const bool compacted = fileSize(d_base + kSuffixes[kKeys]) == d_compactedSize[kKeys];
      if (now == op.after && sizes) {
        ++(compacted ? tally.done : tally.absent);
      } else {
        ADD_FAILURE() << where << ": reopened neither compacted nor as it was: " << now.describe();
      }
      return;
    }
    if (now == op.after && (op.changesPassword ? (newInForce || otherPassword) : true)) {
      ++tally.done;
      if (!threw && tripped) ++tally.silentSuccess;
      if (threw) d_doneDespiteError.push_back(where);
    } else if (now == d_initial && !otherPassword && (!op.changesPassword || !newInForce) && threw) {
      ++tally.absent;
    } else {
      ADD_FAILURE() << where << ": reopened neither before nor after (threw " << threw << "): " << now.describe();
    }
  }

  // Every call of every kind that `op` makes, failed in every mode.
  Tally exercise(const Operation& op) {
    install();
    d_refusals.clear();
    d_doneDespiteError.clear();
    Tally tally;
    const std::vector<long long> counts = countCalls(op);
    for (int k = 0; k < kMatrixKinds; ++k) {
      const Kind kind = static_cast<Kind>(k);
      // Syncs happen only when durability is asked for.
      FileDBJournaledFile::setSyncMode(kind == kSync ? FileDBJournaledFile::SyncFull : FileDBJournaledFile::SyncOff);
      for (long long at = 1; at <= counts[kind]; ++at) {
        for (Mode mode : {kEIO, kENOSPC, kShortWrite}) {
          if (mode == kShortWrite && kind != kWrite) continue;
          if (mode == kENOSPC && kind != kReserve) continue;
          for (bool sticky : {false, true}) inject(op, kind, at, mode, sticky, tally);
        }
      }
    }
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
    uninstall();
    std::ostringstream line;
    line << "[faults] " << prefix() << op.name << ": " << tally.tried << " faults tried (";
    bool first = true;
    for (const auto& kv : tally.perKind) {
      line << (first ? "" : " ") << kKindNames[kv.first] << " " << kv.second;
      first = false;
    }
    line << "); error reported " << tally.reportedError << "; reopened with the operation done " << tally.done
         << " (of which a failed call was absorbed " << tally.silentSuccess << "), absent " << tally.absent
         << "; refused " << tally.refused;
    std::printf("%s\n", line.str().c_str());
    for (const std::string& r : d_refusals) std::printf("[faults]   refused: %s\n", r.c_str());
    for (const std::string& r : d_doneDespiteError) std::printf("[faults]   error reported, done: %s\n", r.c_str());
    std::fflush(stdout);
    return tally;
  }

  // Runs each operation; none may leave a database that refuses to open:
  // every failure is rolled back at once or at the next open.
  void exerciseAll(const std::vector<Operation>& ops) {
    for (const Operation& op : ops) {
      const Tally t = exercise(op);
      EXPECT_GT(t.tried, 0) << op.name;
      EXPECT_EQ(0, t.refused) << prefix() << op.name;
    }
  }

  std::string d_image[kTableCount];
  State d_initial;
  const VELPasswordEncryptor d_old = password("old fault password");
  const VELPasswordEncryptor d_new = password("new fault password");
  std::vector<std::string> d_refusals;
  std::vector<std::string> d_doneDespiteError;
  long long d_compactedSize[kTableCount] = {-1, -1, -1};  // each file after the healthy run
};

class FileDBFaultsTableTest : public FileDBFaultsTest {};

TEST_P(FileDBFaultsTableTest, RecordOperationsAreAllOrNothing) {
  exerciseAll(VELTestOperations::tableOperations(static_cast<Table>(GetParam().table), rec(), d_initial));
}

TEST_P(FileDBFaultsTest, TransactionIsAllOrNothingAcrossTheTables) {
  exerciseAll({{"transaction of inserts, updates and deletes",
                returning([](FileDBManager& m) { mixedTransaction(m, rec()); }), afterMixedTransaction(d_initial, rec())}});
}

TEST_P(FileDBFaultsTest, ExpirationTimeChangeIsAllOrNothingAcrossTheTables) {
  const long long time = 4102444800LL;  // 2100-01-01
  exerciseAll({{"expiration time", returning([time](FileDBManager& m) { m.setDBPasswordExpirationTime(time); }),
                expiring(d_initial, time)}});
}

TEST_P(FileDBFaultsTest, PasswordChangeIsAllOrNothing) {
  const Operation op = {"password", returning([this](FileDBManager& m) { m.setDBPassword(d_old, d_new, 0); }),
                        d_initial, -1, true};
  // When the disk dies after one table took the new password and before
  // the others did, setting it back fails too; the next open puts the old
  // headers back from the password journal.
  exerciseAll({op});
}

TEST_P(FileDBFaultsTest, CloseTimeCompactionLosesNothing) {
  Operation op;
  op.name = "compaction";
  op.prepare = [](FileDBManager& m) {
    ASSERT_EQ(1u, m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("k2")));
    ASSERT_EQ(1u, m.deleteKeyPairByIndex(VELDBManager::KeyPairLabel, VELASNLabelString("p2")));
    ASSERT_EQ(1u, m.deleteCRLByIndex(VELDBManager::CRLLabel, VELASNLabelString("c2")));
  };
  op.after = without(without(without(d_initial, kKeys, {"k2"}), kKeyPairs, {"p2"}), kCRLs, {"c2"});
  exerciseAll({op});
}

INSTANTIATE_TEST_SUITE_P(Versions, FileDBFaultsTest, ::testing::ValuesIn(VELTestOperations::versions()),
                         VELTestOperations::caseName);
INSTANTIATE_TEST_SUITE_P(Tables, FileDBFaultsTableTest, ::testing::ValuesIn(VELTestOperations::versionsAndTables()),
                         VELTestOperations::caseName);

}  // namespace
