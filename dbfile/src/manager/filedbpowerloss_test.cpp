// Plan: what each VELFILEDB_SYNC mode keeps when the power goes.
//
// Every run starts from the small database the crash and fault matrices
// start from (three records in each of the key, key-pair and CRL tables,
// version 3 or 4) and does one thing of their list of operations through a
// FileDBManager, from opening the database to closing it: an insert, update
// or delete by label on one table (a delete also compacts the file at
// close), or a transaction of inserts, updates and deletes over the three
// tables.  The power goes at each disk-changing call of that run in turn,
// and once after it; for each point the disk is left in a few states it
// could hold (velpowerlossplatform.h picks them with a seed) and in the state
// a killed process leaves.  Then a healthy process opens the database
// read-write with its password and reads every table: a walk, a lookup of
// each record by its label and the counts must agree, and no journal may be
// left.  A CRL file that cannot be used
// leaves its table out of the open; that counts as a refusal.
//
// What the modes keep, as these runs find it:
// - a killed process, any mode: the database opens as before or after, and
//   as after once the operation returned, transactions included.
// - full, under strict POSIX (nothing that was not synced is sure to
//   survive) and under ordered metadata: the same after any power loss, in
//   all three tables at once, also when the open that recovers loses power
//   again at any of its calls; and a database whose create returned.
// - normal, under strict POSIX and under ordered metadata: atomic (before
//   or after, always opens, all three tables together), but a single-table
//   operation that returned can be undone: its commit removes the journal
//   without syncing the directory, and a journal that comes back is rolled
//   back by the next open.  A transaction over several tables that
//   returned stays: its commit point, the removal of the transaction file,
//   is synced in this mode too.  (Every name the recovery needs -- a new
//   journal, a new table file, a transaction file -- is synced.)
// - off: a power loss may damage a table (refused as above) or undo a
//   returned operation; a single-table operation never leaves a database
//   that opens with other content; a transaction can be half there.
// Where a mode does not keep tables together, the tests check that each
// table still shows its own before or after and nothing else.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "velexception.h"
#include "velfaultdisk.h"
#include "velpowerlossplatform.h"
#include "veltestdatabase.h"
#include "veltestoperations.h"

namespace {

namespace PL = VELPowerLossPlatform;
using namespace VELTestDatabase;
using VELPowerLossPlatform::writeReal;
using VELTestOperations::Operation;

// Under a sanitizer every run costs several times as much: one disk state
// per power-loss point there (besides the kill) covers every path the code
// takes; the plain build tries more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
int seedsFor(int plain) { return kSanitized ? 1 : plain; }

const Records& records() {
  static const Records r;
  return r;
}

// The operations of a table this matrix runs: an insert, an update and a
// delete, by label (a delete also compacts the file at close).
std::vector<Operation> operationsOf(Table table, const State& before) {
  std::vector<Operation> out;
  for (const Operation& op : VELTestOperations::tableOperations(table, records(), before)) {
    for (const std::string kind : {" insert", " update by label", " delete by label"}) {
      if (op.name.size() > kind.size() && op.name.compare(op.name.size() - kind.size(), kind.size(), kind) == 0) {
        out.push_back(op);
      }
    }
  }
  return out;
}
Operation transaction(const State& before) {
  return {"transaction", VELTestOperations::returning([](FileDBManager& m) { mixedTransaction(m, records()); }),
          afterMixedTransaction(before, records())};
}

// True when every table of `seen` is that table before or after, and
// `seen` is neither as a whole.
bool mixOf(const State& seen, const State& before, const State& after) {
  if (seen == before || seen == after) return false;
  for (int t = 0; t < kTableCount; ++t) {
    if (seen.tables[t] != before.tables[t] && seen.tables[t] != after.tables[t]) return false;
  }
  return true;
}

// How a database looked to the open after one loss.
struct Seen {
  bool opened = false;
  bool tableDisabled = false;  // opened, with a table left out: `error` says why
  unsigned long error = 0;
  std::string message;
  bool consistent = false;
  std::string leftover;  // a journal or transaction file still there
  State state;
  // The read-only open made first, as a user's `list` would: what it
  // found wrong (empty when it wrote nothing and saw what the read-write
  // open then saw, or both refused).
  std::string reader;
};

// The outcomes of a sweep, counted, with the points of each operation that
// broke a promise.
struct Tally {
  int points = 0;        // power-loss points (calls, and after the run)
  int runs = 0;          // disk states tried (kills and losses)
  int before = 0;        // opened, whole, as before the operation
  int after = 0;         // opened, whole, as after it
  int lostReturned = 0;  // of `before`: the operation had returned
  int refused = 0;       // the open refused the database
  int missingTable = 0;  // of `refused`: the database opened without the CRL table
  int mixed = 0;         // opened, each table before or after, not all alike
  int wrong = 0;         // opened with other content, or inconsistent
  int leftover = 0;      // a journal or transaction file outlived the open
  int readerFaults = 0;  // a read-only open wrote, or saw other than the writer
  int killFaults = 0;    // a killed process left neither before nor after
  std::map<unsigned long, int> errors;
  // Per operation: the calls at which a state broke the promise under test,
  // and the first such state in words.
  std::map<std::string, std::pair<std::vector<long long>, std::string>> faults;

  void fault(const std::string& operation, long long at, const std::string& what) {
    auto& f = faults[operation];
    if (f.first.empty() || f.first.back() != at) f.first.push_back(at);
    if (f.second.empty()) f.second = what;
  }
  std::string summary() const {
    std::ostringstream out;
    out << points << " points, " << runs << " states: " << after << " after, " << before << " before (" << lostReturned
        << " undoing a returned operation), " << refused << " refused";
    for (const auto& e : errors) {
      out << " [0x" << std::hex << std::uppercase << e.first << std::dec << " x" << e.second << "]";
    }
    out << " (" << missingTable << " of them opening without the CRL table), " << mixed
        << " mixing tables before and after, " << wrong << " wrong content, " << leftover << " files left over, "
        << killFaults << " kill faults, " << readerFaults << " read-only opens that wrote or disagreed";
    return out.str();
  }
  std::string details() const {
    std::ostringstream out;
    for (const auto& f : faults) {
      out << "  " << f.first << ": at calls";
      for (long long at : f.second.first) out << " " << at;
      out << "; first: " << f.second.second << "\n";
    }
    return out.str();
  }
};

// What a mode promises after a power loss (after a kill every mode promises
// before or after, and after once the operation returned).  Opening with
// other content, with records that cannot be read, or leaving a journal is
// never allowed; a refusal (the CRL table left out counts as one) only where
// `opens` is false.
struct Promise {
  bool opens;          // the database opens, as before or after
  bool keepsReturned;  // an operation that returned is there
  // Several tables change together; false: each table may show its own
  // before or after (but nothing else).
  bool acrossTables = true;
};

class PowerLossTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void SetUp() override { records(); }
  void TearDown() override {
    VELFaultDisk::uninstall();
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  }

  // Every file of the test's directory: the table files, journals and
  // transaction files.
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    if (DIR* dir = ::opendir(d_dir.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") out.push_back(d_dir + "/" + name);
      }
      ::closedir(dir);
    }
    return out;
  }
  void removeAll() const {
    for (const std::string& f : files()) ::unlink(f.c_str());
  }

  VELDBConnectInfo::FILE info(VELDBConnectInfo::ConnectType type,
                              VELDBConnectInfo::AccessMode access = VELDBConnectInfo::ReadWrite) const {
    return VELDBConnectInfo::FILE(d_base, password("pl-secret"), type, access);
  }

  // The database every operation starts from; its files are kept for
  // `restore`, and what it holds in `d_before`.
  void makeBase(int version) {
    VELFaultDisk::installPowerLoss(-1, true);
    d_open = version == 4 ? VELDBConnectInfo::OpenV4 : VELDBConnectInfo::Open;
    removeAll();
    records().createDatabase(info(version == 4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create));
    VELFaultDisk::uninstall();
    d_files = snapshot();
    const Seen before = reopen();
    ASSERT_TRUE(before.opened && before.consistent) << "v" << version << ": the base does not open";
    d_before = before.state;
    restore();
  }
  void restore() const { restore(d_files); }

  // `op` from opening the database to closing it.  `returned`: the
  // operation itself reported success.
  void run(const Operation& op, bool& returned) const {
    returned = false;
    try {
      FileDBManager m(info(d_open));
      const long long n = op.run(m);
      returned = op.reports < 0 || n == op.reports;
    } catch (const VELDBException&) {
    }
  }

  // Every file of the database as it is now, and back.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> out;
    for (const std::string& f : files()) out[f] = readAll(f);
    return out;
  }
  void restore(const std::map<std::string, std::string>& saved) const {
    removeAll();
    for (const auto& f : saved) {
      if (!writeReal(f.first, f.second)) ADD_FAILURE() << "cannot write " << f.first;
    }
  }

  // The records an open database shows; false when a table is missing, or
  // a lookup by label or a count disagrees with the walk.  Throws the
  // database's errors.
  static bool read(FileDBManager& m, State& out) {
    if (!m.isKeyEnabled() || !m.isKeyPairEnabled() || !m.isCRLEnabled()) return false;
    std::vector<std::string> problems;
    out = recordsOf(m, problems);
    return problems.empty();
  }

  // Opens the database read-write on a healthy disk, as the next process would.
  // (A fresh power-loss platform that never loses power: a healthy disk
  // whose syncs cost nothing.)
  Seen reopen() const {
    VELFaultDisk::installPowerLoss(-1, true);
    Seen seen;
    // A reader first.
    const auto filesBefore = snapshot();
    bool readerConsistent = false;
    State readerState;
    try {
      FileDBManager r(info(d_open, VELDBConnectInfo::ReadOnly));
      readerConsistent = read(r, readerState);
    } catch (const VELDBException&) {
    }
    if (snapshot() != filesBefore) seen.reader = "the read-only open changed the files";
    try {
      FileDBManager m(info(d_open));
      seen.opened = true;
      // A CRL file that cannot be used leaves its table out of the open: ask
      // the table why.
      if (!m.isCRLEnabled()) {
        seen.tableDisabled = true;
        m.enableCRL();
      }
      try {
        seen.consistent = read(m, seen.state);
      } catch (const VELDBException&) {
        seen.consistent = false;  // opened, but its records cannot all be read
      }
    } catch (const VELDBException& e) {
      seen.error = e.getError();
      seen.message = e.getMessage();
    }
    VELFaultDisk::uninstall();
    const bool writerSaw = seen.opened && !seen.tableDisabled && seen.consistent;
    if (seen.reader.empty() && readerConsistent != writerSaw) {
      seen.reader = writerSaw ? "the read-only open failed where the read-write open opened"
                              : "the read-only open opened where the read-write open failed";
    } else if (seen.reader.empty() && writerSaw && readerState != seen.state) {
      seen.reader = "the read-only open saw other content than the read-write open";
    }
    const std::vector<std::string> side = sideFiles(d_dir, d_base);
    if (!side.empty()) seen.leftover = side.back();
    return seen;
  }

  // Runs `op` once to count its calls and see its result, then loses power
  // at each call and after the last one: a killed process, and one disk
  // state per seed.  `mode`/`strict`: the sync mode and the file system
  // model.  Whatever the mode, a kill must leave before or after.
  void sweep(const std::string& name, const Operation& op, FileDBJournaledFile::SyncMode mode, bool strict,
             int seeds, const Promise& promise, Tally& tally) {
    FileDBJournaledFile::setSyncMode(mode);
    bool returned = false;
    restore();
    VELFaultDisk::installPowerLoss(-1, strict);
    run(op, returned);
    const long long total = PL::calls();
    ASSERT_TRUE(returned) << name << ": the operation fails on a healthy disk";
    const Seen after = reopen();
    ASSERT_TRUE(after.opened && after.consistent && after.state == op.after)
        << name << ": after the operation " << after.state.describe() << "\nexpected " << op.after.describe();

    for (long long at = 0; at <= total; ++at) {
      ++tally.points;
      for (int seed = -1; seed < seedsFor(seeds); ++seed) {  // -1: killed, no loss
        restore();
        VELFaultDisk::installPowerLoss(at < total ? at : -1, strict);
        run(op, returned);
        if (seed >= 0 && !PL::powerLoss(static_cast<std::uint64_t>(seed * 7919 + at))) {
          ADD_FAILURE() << "the power-loss platform could not rewrite the files";
        }
        const std::string report = seed >= 0 ? PL::lastReport() : std::string();
        const Seen seen = reopen();
        ++tally.runs;
        std::ostringstream what;
        what << (seed < 0 ? "killed" : "power lost") << " at call " << at << " of " << total;
        if (seed >= 0) what << " (seed " << seed << ")";
        what << (returned ? ", the operation had returned" : "") << ": ";
        const bool isBefore = seen.opened && seen.consistent && seen.state == d_before;
        const bool isAfter = seen.opened && seen.consistent && seen.state == op.after;
        bool broken = false;
        if (isAfter) {
          ++tally.after;
        } else if (isBefore) {
          ++tally.before;
          if (returned) {
            ++tally.lostReturned;
            what << "opened as before";
            broken = promise.keepsReturned;
          }
        } else if (!seen.opened || seen.tableDisabled) {
          ++tally.refused;
          ++tally.errors[seen.error];
          if (seen.tableDisabled) {
            ++tally.missingTable;
            what << "opened without the CRL table, whose file is refused";
          } else {
            what << "open refused";
          }
          what << ", 0x" << std::hex << std::uppercase << seen.error << std::dec << " " << seen.message;
          broken = promise.opens;
        } else if (!seen.consistent) {
          ++tally.wrong;
          what << "opened, with records that cannot be read or lookups and counts that disagree with the walk";
          broken = true;
        } else if (mixOf(seen.state, d_before, op.after)) {
          ++tally.mixed;
          what << "opened with some tables as before and others as after:";
          for (int t = 0; t < kTableCount; ++t) {
            what << " " << kTableNames[t] << (seen.state.tables[t] == d_before.tables[t] ? " before" : " after");
          }
          broken = promise.acrossTables;
        } else {
          ++tally.wrong;
          what << "opened with other content: " << seen.state.describe();
          broken = true;
        }
        if (seen.opened && !seen.tableDisabled && !seen.leftover.empty()) {
          ++tally.leftover;
          what << "; left after the open: " << seen.leftover;
          broken = true;
        }
        if (!seen.reader.empty()) {
          ++tally.readerFaults;
          what << "; " << seen.reader;
          broken = true;
        }
        if (seed < 0 && (returned ? !isAfter : !(isBefore || isAfter))) {
          ++tally.killFaults;
          broken = true;
        }
        if (broken) tally.fault(name, at, what.str() + (report.empty() ? "" : "\n" + report));
      }
    }
  }

  // The sweep of insert, update and delete on one table, version 3 and 4.
  Tally sweepTable(Table table, FileDBJournaledFile::SyncMode mode, bool strict, int seeds, const Promise& promise) {
    Tally tally;
    for (int version : {3, 4}) {
      makeBase(version);
      for (const Operation& op : operationsOf(table, d_before)) {
        sweep("v" + std::to_string(version) + " " + op.name, op, mode, strict, seeds, promise, tally);
      }
    }
    return tally;
  }

  static void print(const char* what, const char* table, const Tally& tally) {
    std::printf("[ power loss ] %-26s %-8s %s\n", what, table, tally.summary().c_str());
  }

  VELDBConnectInfo::ConnectType d_open = VELDBConnectInfo::Open;
  std::map<std::string, std::string> d_files;
  State d_before;
};

// A transaction of inserts, updates and deletes over the three tables,
// committed at once: all of it or none of it after a loss at any call, the
// commit's included.  Where a mode does not keep the tables together (off),
// each table still shows its own before or after.  (The transaction makes
// many calls, each a point of its own: fewer disk states a point.)
TEST_F(PowerLossTest, TransactionOverTheThreeTablesIsAllOrNothing) {
  struct Case {
    const char* name;
    FileDBJournaledFile::SyncMode mode;
    bool strict;
    int seeds;
    Promise promise;
  };
  const Case cases[] = {
      {"full, strict POSIX", FileDBJournaledFile::SyncFull, true, 3, Promise{true, true}},
      {"full, ordered metadata", FileDBJournaledFile::SyncFull, false, 1, Promise{true, true}},
      {"normal, ordered metadata", FileDBJournaledFile::SyncNormal, false, 2, Promise{true, true}},
      {"normal, strict POSIX", FileDBJournaledFile::SyncNormal, true, 2, Promise{true, true}},
      {"off, strict POSIX", FileDBJournaledFile::SyncOff, true, 2, Promise{false, false, false}},
  };
  for (const Case& c : cases) {
    Tally tally;
    for (int version : {3, 4}) {
      makeBase(version);
      sweep("v" + std::to_string(version) + " transaction", transaction(d_before), c.mode, c.strict, c.seeds,
            c.promise, tally);
    }
    print(c.name, "txn", tally);
    EXPECT_TRUE(tally.faults.empty()) << c.name << ": " << tally.summary() << "\n" << tally.details();
  }
}

// full: the open that recovers from a loss loses power itself, at each of
// its calls; the open after that still finds the state before or after, in
// every table, and after when the operation had returned.
TEST_F(PowerLossTest, FullRecoveryCutShortByASecondLossStillEndsBeforeOrAfter) {
  FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  int firstLosses = 0;
  int recoveries = 0;
  int secondLosses = 0;
  for (int version : {3, 4}) {
    makeBase(version);
    std::vector<Operation> ops = operationsOf(kKeys, d_before);
    ops.push_back(transaction(d_before));
    for (const Operation& op : ops) {
      restore();
      bool returned = false;
      VELFaultDisk::installPowerLoss(-1, true);
      run(op, returned);
      const long long total = PL::calls();
      ASSERT_TRUE(returned) << op.name;
      for (long long at = 0; at < total; ++at) {
        restore();
        VELFaultDisk::installPowerLoss(at, true);
        run(op, returned);
        ASSERT_TRUE(PL::powerLoss(static_cast<std::uint64_t>(at * 31 + version)));
        ++firstLosses;
        const std::map<std::string, std::string> lost = snapshot();
        bool journal = false;
        for (const char* suffix : kSuffixes) journal |= lost.count(FileDBJournaledFile::journalPath(d_base + suffix)) != 0;
        if (!journal) continue;
        ++recoveries;
        VELFaultDisk::installPowerLoss(-1, true);
        try {
          FileDBManager m(info(d_open));
        } catch (const VELDBException&) {
        }
        const long long recoveryCalls = PL::calls();
        for (long long second = 0; second < recoveryCalls; ++second) {
          for (int seed = 0; seed < seedsFor(2); ++seed) {
            restore(lost);
            VELFaultDisk::installPowerLoss(second, true);
            try {
              FileDBManager m(info(d_open));
            } catch (const VELDBException&) {
            }
            ASSERT_TRUE(PL::powerLoss(static_cast<std::uint64_t>(seed)));
            const std::string report = PL::lastReport();
            const Seen seen = reopen();
            ++secondLosses;
            const bool isBefore = seen.opened && seen.consistent && seen.state == d_before;
            const bool isAfter = seen.opened && seen.consistent && seen.state == op.after;
            EXPECT_TRUE((isBefore && !returned) || isAfter)
                << "v" << version << " " << op.name << ": first loss at call " << at << " of " << total
                << ", second at call " << second << " of the recovering open's " << recoveryCalls << " (seed " << seed
                << "): " << (seen.opened ? "opened with other content" : "open refused ") << std::hex << seen.error
                << " " << seen.message << "\n"
                << report;
            EXPECT_EQ("", seen.leftover);
          }
        }
      }
    }
  }
  std::printf(
      "[ power loss ] full, a second loss while recovering: %d first losses, %d left a journal, %d second "
      "losses\n",
      firstLosses, recoveries, secondLosses);
  EXPECT_GT(recoveries, 0);
}

// full: a database whose create returned opens, empty, after a loss.
TEST_F(PowerLossTest, ACreatedDatabaseSurvivesAPowerLossUnderFull) {
  FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  for (bool strict : {true, false}) {
    for (int version : {3, 4}) {
      for (std::uint64_t seed = 0; seed < 4; ++seed) {
        removeAll();
        VELFaultDisk::installPowerLoss(-1, strict);
        { FileDBManager m(info(version == 4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create)); }
        ASSERT_TRUE(PL::powerLoss(seed));
        const std::string report = PL::lastReport();
        d_open = version == 4 ? VELDBConnectInfo::OpenV4 : VELDBConnectInfo::Open;
        const Seen seen = reopen();
        bool empty = true;
        for (const auto& table : seen.state.tables) empty &= table.empty();
        EXPECT_TRUE(seen.opened && !seen.tableDisabled && seen.consistent && empty)
            << (strict ? "strict POSIX" : "ordered metadata") << ", v" << version << ", seed " << seed << ": 0x"
            << std::hex << seen.error << " " << seen.message << "\n"
            << report;
      }
    }
  }
}

// --- the platform itself ---------------------------------------------------

// Drives the installed platform's calls on files of one directory.
class PowerLossPlatformTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void TearDown() override { VELFaultDisk::uninstall(); }
  void clear() const {
    for (const char* name : {"a", "b", "c", "x", "y", "z", "w"}) ::unlink(path(name).c_str());
  }
  std::string path(const char* name) const { return d_dir + "/" + name; }
  bool exists(const char* name) const { return ::access(path(name).c_str(), F_OK) == 0; }
  std::string content(const char* name) const { return readAll(path(name)); }

  static const VELPlatformCalls& os() { return vel_platform(); }
  int create(const char* name) const { return os().openFile(path(name).c_str(), O_RDWR | O_CREAT, 0600); }
  static void put(int fd, long long at, const std::string& bytes) {
    ASSERT_EQ(at, os().seekFile(fd, at, 0));
    ASSERT_EQ(static_cast<long long>(bytes.size()), os().writeFile(fd, bytes.data(), bytes.size()));
  }
  void syncDir() const { ASSERT_EQ(0, os().syncDirectory(d_dir.c_str())); }
};

// Writes since the last sync land as an ordered subset, each one whole, not
// at all, or as a prefix (some ending on a sector boundary); what was synced
// always stays, and a sync covers every write before it.
TEST_F(PowerLossPlatformTest, UnsyncedWritesLandAsASubsetInOrderAndMayTear) {
  const std::string a(1000, 'a');
  bool seenDurable = false, seenAll = false, seenTorn = false, seenSectorTear = false, seenReordered = false;
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    clear();
    VELFaultDisk::installPowerLoss(-1, true);
    const int fd = create("x");
    ASSERT_GE(fd, 0);
    put(fd, 0, a);
    ASSERT_EQ(0, os().syncFile(fd));
    syncDir();
    put(fd, 200, std::string(600, 'b'));   // over synced bytes
    put(fd, 1000, std::string(700, 'c'));  // past the synced end
    os().closeFile(fd);
    ASSERT_TRUE(PL::powerLoss(seed));
    const std::string x = content("x");
    ASSERT_GE(x.size(), 1000u);
    ASSERT_LE(x.size(), 1700u);
    EXPECT_EQ(x.substr(0, 200), a.substr(0, 200));
    EXPECT_EQ(x.substr(800, 200), a.substr(0, 200));
    const std::size_t b = x.find_first_not_of('b', 200) - 200;  // the b-prefix of [200, 800)
    EXPECT_EQ(x.substr(200 + b, 600 - b), a.substr(0, 600 - b)) << "seed " << seed;
    EXPECT_EQ(x.substr(1000), std::string(x.size() - 1000, 'c')) << "seed " << seed;
    seenDurable |= x == a;
    seenAll |= x.size() == 1700 && b == 600;
    seenTorn |= (b > 0 && b < 600) || (x.size() > 1000 && x.size() < 1700);
    seenSectorTear |= b == 312;  // ends at offset 512
    seenReordered |= b == 0 && x.size() == 1700;
  }
  EXPECT_TRUE(seenDurable && seenAll && seenTorn && seenSectorTear && seenReordered);

  // Synced: exactly what was written, whatever the seed.
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    clear();
    VELFaultDisk::installPowerLoss(-1, true);
    const int fd = create("x");
    put(fd, 0, a);
    put(fd, 500, "tail");
    ASSERT_EQ(0, os().syncFile(fd));
    os().closeFile(fd);
    syncDir();
    ASSERT_TRUE(PL::powerLoss(seed));
    EXPECT_EQ(content("x"), a.substr(0, 500) + "tail" + a.substr(504));
  }
}

// Strict POSIX: a creation, unlink or rename not followed by a sync of its
// directory may be undone, an unlinked file coming back with its durable
// content; after the directory sync each one stays.
TEST_F(PowerLossPlatformTest, UnderStrictPosixOnlyADirectorySyncKeepsNameChanges) {
  for (bool syncAtEnd : {false, true}) {
    bool xLost = false, xKept = false, yBack = false, yGone = false, renameUndone = false, renameKept = false;
    for (std::uint64_t seed = 0; seed < 64; ++seed) {
      VELFaultDisk::uninstall();
      clear();
      writeReal(path("y"), "old y");  // on disk before: durable
      writeReal(path("z"), "old z");
      VELFaultDisk::installPowerLoss(-1, true);
      const int fd = create("x");
      put(fd, 0, "new x");
      ASSERT_EQ(0, os().syncFile(fd));  // its content, not its name
      os().closeFile(fd);
      ASSERT_EQ(0, os().unlinkFile(path("y").c_str()));
      ASSERT_EQ(0, os().renameFile(path("z").c_str(), path("w").c_str()));
      if (syncAtEnd) syncDir();
      ASSERT_TRUE(PL::powerLoss(seed));
      // A name that is there leads to the right content.
      for (const auto& expected :
           std::map<const char*, const char*>{{"x", "new x"}, {"y", "old y"}, {"w", "old z"}, {"z", "old z"}}) {
        if (exists(expected.first)) {
          EXPECT_EQ(content(expected.first), expected.second);
        }
      }
      (exists("x") ? xKept : xLost) = true;
      (exists("y") ? yBack : yGone) = true;
      if (exists("z")) renameUndone = true;
      if (exists("w") && !exists("z")) renameKept = true;
    }
    if (syncAtEnd) {
      EXPECT_TRUE(xKept && yGone && renameKept);
      EXPECT_FALSE(xLost || yBack || renameUndone);
    } else {
      EXPECT_TRUE(xKept && xLost && yBack && yGone && renameUndone && renameKept);
    }
  }
}

// Ordered metadata: name changes persist as a prefix of their order, and a
// sync of any file makes every one before it durable.
TEST_F(PowerLossPlatformTest, OrderedMetadataKeepsAPrefixOfTheNameChanges) {
  std::set<std::string> prefixes;
  for (std::uint64_t seed = 0; seed < 64; ++seed) {
    clear();
    VELFaultDisk::installPowerLoss(-1, false);
    for (const char* name : {"a", "b", "c"}) os().closeFile(create(name));
    ASSERT_TRUE(PL::powerLoss(seed));
    std::string present;
    for (const char* name : {"a", "b", "c"}) {
      if (exists(name)) present += name;
    }
    EXPECT_TRUE(present.empty() || present == "a" || present == "ab" || present == "abc") << present;
    prefixes.insert(present);
  }
  EXPECT_EQ(4u, prefixes.size());
  for (std::uint64_t seed = 0; seed < 16; ++seed) {
    clear();
    VELFaultDisk::installPowerLoss(-1, false);
    os().closeFile(create("a"));
    const int fd = create("b");
    ASSERT_EQ(0, os().syncFile(fd));  // commits the creations of a and b
    os().closeFile(fd);
    os().closeFile(create("c"));
    ASSERT_TRUE(PL::powerLoss(seed));
    EXPECT_TRUE(exists("a") && exists("b"));
  }
}

// At the loss point the disk stops: that call and every later changing call
// fail with EIO, reads go on, and only the calls before it are counted.
TEST_F(PowerLossPlatformTest, TheDiskStopsAtTheLossPoint) {
  VELFaultDisk::installPowerLoss(2, true);
  const int fd = create("x");  // call 0
  put(fd, 0, "abc");           // call 1
  EXPECT_FALSE(PL::powerGone());
  errno = 0;
  EXPECT_EQ(-1, os().writeFile(fd, "def", 3));  // call 2: the loss
  EXPECT_EQ(EIO, errno);
  EXPECT_TRUE(PL::powerGone());
  EXPECT_EQ(-1, os().syncFile(fd));
  EXPECT_EQ(-1, os().truncateFile(fd, 0));
  EXPECT_EQ(-1, os().unlinkFile(path("x").c_str()));
  EXPECT_EQ(-1, os().openFile(path("y").c_str(), O_RDWR | O_CREAT, 0600));
  char buffer[3];
  EXPECT_EQ(3, os().readFileAt(fd, buffer, 3, 0));
  EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
  EXPECT_EQ(0, os().closeFile(fd));
  EXPECT_EQ(2, PL::calls());
  EXPECT_FALSE(exists("y"));
}

class PowerLossTableTest : public PowerLossTest, public ::testing::WithParamInterface<Table> {
 protected:
  // The sweep of the table in sync mode `mode` on each file system model
  // (strict POSIX or not) with the number of disk states a point it gets.
  void check(const char* name, FileDBJournaledFile::SyncMode mode, const std::vector<std::pair<bool, int>>& models,
             const Promise& promise) {
    for (const auto& model : models) {
      const Tally tally = sweepTable(GetParam(), mode, model.first, model.second, promise);
      print((std::string(name) + (model.first ? ", strict POSIX" : ", ordered metadata")).c_str(),
            kTableNames[GetParam()], tally);
      EXPECT_TRUE(tally.faults.empty()) << tally.summary() << "\n" << tally.details();
    }
  }
};

// full: after any loss the database opens as before or after, and as after
// once the operation has returned -- even on a file system that promises
// nothing that was not synced.
TEST_P(PowerLossTableTest, FullKeepsEveryReturnedChangeAndIsAtomicAtEveryLoss) {
  check("full", FileDBJournaledFile::SyncFull, {{true, 3}, {false, 2}}, Promise{true, true});
}

// normal, on ordered metadata and on strict POSIX: atomic, but an
// operation that returned may be undone.
TEST_P(PowerLossTableTest, NormalIsAtomicButMayUndoAReturnedChange) {
  check("normal", FileDBJournaledFile::SyncNormal, {{false, 3}, {true, 2}}, Promise{true, false});
}

// off, on strict POSIX: a power loss may cost the database, which then
// refuses to open, but it never opens with other content.
TEST_P(PowerLossTableTest, OffNeverOpensWithWrongContent) {
  check("off", FileDBJournaledFile::SyncOff, {{true, 2}}, Promise{false, false});
}

std::string tableCase(const ::testing::TestParamInfo<Table>& info) {
  static const char* const kNames[kTableCount] = {"Key", "KeyPair", "CRL"};
  return kNames[info.param];
}
INSTANTIATE_TEST_SUITE_P(Tables, PowerLossTableTest, ::testing::Values(kKeys, kKeyPairs, kCRLs), tableCase);

}  // namespace
