// Plan: what each VELFILEDB_SYNC mode keeps when the power goes.
//
// Every run starts from one small database (two records in each of the key,
// key-pair and CRL tables, version 3 or 4) and does one thing through a
// FileDBManager, from opening the database to closing it: an insert, update
// or delete on one table (a delete also compacts the file at close), or a
// transaction of two inserts into each table.  The power goes at each
// disk-changing call of that run in turn, and once after it; for each point
// the disk is left in a few states it could hold (velpowerlossplatform.h
// picks them with a seed) and in the state a killed process leaves.  Then a
// healthy process opens the database read-write with its password and reads
// every table: a walk, a lookup of each record by its label and the counts
// must agree, and no journal may be left.  A CRL file that cannot be used
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
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "velexception.h"
#include "velfaultdisk.h"
#include "velpowerlossplatform.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

namespace PL = VELPowerLossPlatform;
using VELPowerLossPlatform::writeReal;
using VELTestUtil::readAll;

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

enum class Table { Key, KeyPair, CRL };
enum class Op { Insert, Update, Delete };
const char* tableName(Table t) { return t == Table::Key ? "key" : t == Table::KeyPair ? "key-pair" : "CRL"; }
const char* opName(Op o) { return o == Op::Insert ? "insert" : o == Op::Update ? "update" : "delete"; }

// What a database shows: per table, label -> the record's DER.
using Content = std::array<std::map<std::string, std::string>, 3>;

std::string der(const VELASNObject& record) {
  const VELBuffer b = record.write();
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

template <class Record, class Next, class Find, class Count>
bool readTable(std::map<std::string, std::string>& out, VELDBIterator* iterator, Next next, Find find, Count count) {
  bool consistent = true;
  std::unique_ptr<VELDBIterator> it(iterator);
  while (std::unique_ptr<Record> r{next(*it)}) {
    const std::string label = r->getLabel().getValue();
    const std::string bytes = der(*r);
    if (!out.emplace(label, bytes).second) consistent = false;
    std::unique_ptr<Record> again(find(r->getLabel()));
    if (!again || der(*again) != bytes) consistent = false;
  }
  return consistent && count() == out.size();
}

// Every record of the three tables by a walk; `consistent` turns false when
// a table is missing, or a lookup by label or a count disagrees with the
// walk.  Throws the database's errors.
Content readContent(FileDBManager& m, bool& consistent) {
  Content c;
  consistent = m.isKeyEnabled() && m.isKeyPairEnabled() && m.isCRLEnabled();
  if (!consistent) return c;
  consistent &= readTable<VELASNKeyRecord>(
      c[0], m.getKeyIterator(), [&](VELDBIterator& i) { return m.getKeyNextRecord(i); },
      [&](const VELASNLabelString& l) { return m.getKeyByIndex(VELDBManager::KeyLabel, l); },
      [&] { return m.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)); });
  consistent &= readTable<VELASNKeyPairRecord>(
      c[1], m.getKeyPairIterator(), [&](VELDBIterator& i) { return m.getKeyPairNextRecord(i); },
      [&](const VELASNLabelString& l) { return m.getKeyPairByIndex(VELDBManager::KeyPairLabel, l); },
      [&] { return m.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)); });
  consistent &= readTable<VELASNCRLRecord>(
      c[2], m.getCRLIterator(), [&](VELDBIterator& i) { return m.getCRLNextRecord(i); },
      [&](const VELASNLabelString& l) { return m.getCRLByIndex(VELDBManager::CRLLabel, l); },
      [&] { return m.getCRLCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger(0)); });
  return c;
}

// True when every table of `seen` is that table before or after, and
// `seen` is neither as a whole.
bool mixOf(const Content& seen, const Content& before, const Content& after) {
  if (seen == before || seen == after) return false;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    if (seen[t] != before[t] && seen[t] != after[t]) return false;
  }
  return true;
}

// Records made once: 0 and 1 form the base, 2 is inserted, 3 replaces 0
// (same label, new content), 4 and 5 go in by transaction.
struct Records {
  std::vector<std::unique_ptr<VELASNKeyRecord>> keys;
  std::vector<std::unique_ptr<VELASNKeyPairRecord>> keyPairs;
  std::vector<std::unique_ptr<VELASNCRLRecord>> crls;
};

const Records& records() {
  static const Records r = [] {
    Records out;
    int n = 0;
    for (const char* label : {"alpha", "beta", "gamma", "alpha", "delta", "epsilon"}) {
      const std::string subject = std::string("CN=") + label + " " + std::to_string(n++);
      out.keys.push_back(VELTestPKI::makeKeyRecord(label, subject));
      out.keyPairs.push_back(VELTestPKI::makeKeyPairRecord(label, subject));
      out.crls.push_back(VELTestPKI::makeCRLRecord(label, subject, 2));
    }
    return out;
  }();
  return r;
}

// How a database looked to the open after one loss.
struct Seen {
  bool opened = false;
  bool tableDisabled = false;  // opened, with a table left out: `error` says why
  unsigned long error = 0;
  std::string message;
  bool consistent = false;
  std::string leftover;  // a journal or transaction file still there
  Content content;
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

  std::vector<std::string> paths() const { return {d_base + ".vkey", d_base + ".vkyp", d_base + ".vcrl"}; }

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

  VELDBConnectInfo::FILE info(VELDBConnectInfo::ConnectType type) const {
    return VELDBConnectInfo::FILE(d_base, VELTestUtil::password("pl-secret"), type, VELDBConnectInfo::ReadWrite);
  }

  // A database of two records per table; its files are kept for `restore`.
  void makeBase(int version) {
    VELFaultDisk::installPowerLoss(-1, true);
    d_open = version == 4 ? VELDBConnectInfo::OpenV4 : VELDBConnectInfo::Open;
    removeAll();
    {
      FileDBManager m(info(version == 4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create));
      for (int i = 0; i < 2; ++i) {
        VELASNKeyRecord k(*records().keys[i]);
        m.insertKey(k);
        VELASNKeyPairRecord kp(*records().keyPairs[i]);
        m.insertKeyPair(kp);
        VELASNCRLRecord crl(*records().crls[i]);
        m.insertCRL(crl);
      }
    }
    VELFaultDisk::uninstall();
    d_files.clear();
    for (const std::string& p : paths()) d_files[p] = readAll(p);
  }
  void restore() const { restore(d_files); }

  // One operation, from opening the database to closing it.  `returned`:
  // the operation itself reported success.
  void run(Table table, Op op, bool& returned) const {
    returned = false;
    try {
      FileDBManager m(info(d_open));
      const Records& r = records();
      const VELASNLabelString beta("beta");
      switch (table) {
        case Table::Key: {
          VELASNKeyRecord rec(*r.keys[op == Op::Insert ? 2 : 3]);
          if (op == Op::Insert) m.insertKey(rec);
          if (op == Op::Update) m.updateKeyByIndex(VELDBManager::KeyLabel, rec);
          if (op == Op::Delete && m.deleteKeyByIndex(VELDBManager::KeyLabel, beta) != 1) return;
          break;
        }
        case Table::KeyPair: {
          VELASNKeyPairRecord rec(*r.keyPairs[op == Op::Insert ? 2 : 3]);
          if (op == Op::Insert) m.insertKeyPair(rec);
          if (op == Op::Update) m.updateKeyPairByIndex(VELDBManager::KeyPairLabel, rec);
          if (op == Op::Delete && m.deleteKeyPairByIndex(VELDBManager::KeyPairLabel, beta) != 1) return;
          break;
        }
        case Table::CRL: {
          VELASNCRLRecord rec(*r.crls[op == Op::Insert ? 2 : 3]);
          if (op == Op::Insert) m.insertCRL(rec);
          if (op == Op::Update) m.updateCRLByIndex(VELDBManager::CRLLabel, rec);
          if (op == Op::Delete && m.deleteCRLByIndex(VELDBManager::CRLLabel, beta) != 1) return;
          break;
        }
      }
      returned = true;
    } catch (const VELDBException&) {
    }
  }

  // Several inserts across the three tables, committed at once.
  void runTransaction(bool& returned) const {
    returned = false;
    try {
      FileDBManager m(info(d_open));
      const Records& r = records();
      m.beginTransaction();
      for (int i = 4; i <= 5; ++i) {
        VELASNKeyRecord k(*r.keys[i]);
        m.insertKey(k);
        VELASNKeyPairRecord kp(*r.keyPairs[i]);
        m.insertKeyPair(kp);
        VELASNCRLRecord crl(*r.crls[i]);
        m.insertCRL(crl);
      }
      m.commitTransaction();
      returned = true;
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

  // Opens the database read-write on a healthy disk, as the next process would.
  // (A fresh power-loss platform that never loses power: a healthy disk
  // whose syncs cost nothing.)
  Seen reopen() const {
    VELFaultDisk::installPowerLoss(-1, true);
    Seen seen;
    // A reader first.
    const auto filesBefore = snapshot();
    bool readerOpened = false;
    bool readerConsistent = false;
    Content readerContent;
    try {
      FileDBManager r(VELDBConnectInfo::FILE(d_base, VELTestUtil::password("pl-secret"), d_open,
                                             VELDBConnectInfo::ReadOnly));
      readerOpened = r.isCRLEnabled();
      readerContent = readContent(r, readerConsistent);
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
        seen.content = readContent(m, seen.consistent);
      } catch (const VELDBException&) {
        seen.consistent = false;  // opened, but its records cannot all be read
      }
    } catch (const VELDBException& e) {
      seen.error = e.getError();
      seen.message = e.getMessage();
    }
    VELFaultDisk::uninstall();
    const bool writerSaw = seen.opened && !seen.tableDisabled && seen.consistent;
    if (seen.reader.empty() && (readerOpened && readerConsistent) != writerSaw) {
      seen.reader = writerSaw ? "the read-only open failed where the read-write open opened"
                              : "the read-only open opened where the read-write open failed";
    } else if (seen.reader.empty() && writerSaw && readerContent != seen.content) {
      seen.reader = "the read-only open saw other content than the read-write open";
    }
    const std::vector<std::string> tables = paths();
    for (const std::string& f : files()) {
      if (std::find(tables.begin(), tables.end(), f) == tables.end()) seen.leftover = f;
    }
    return seen;
  }

  // Runs `operation` once to count its calls and see its result, then loses
  // power at each call and after the last one: a killed process, and one
  // disk state per seed.  `mode`/`strict`: the sync mode and the file
  // system model.  Whatever the mode, a kill must leave before or after.
  template <class Operation>
  void sweep(const std::string& name, FileDBJournaledFile::SyncMode mode, bool strict, int seeds,
             const Promise& promise, Operation operation, Tally& tally) {
    FileDBJournaledFile::setSyncMode(mode);
    bool returned = false;
    restore();
    const Seen before = reopen();
    ASSERT_TRUE(before.opened && before.consistent) << name << ": the base does not open";
    restore();
    VELFaultDisk::installPowerLoss(-1, strict);
    operation(returned);
    const long long total = PL::calls();
    ASSERT_TRUE(returned) << name << ": the operation fails on a healthy disk";
    const Seen after = reopen();
    ASSERT_TRUE(after.opened && after.consistent) << name << ": no clean state after the operation";
    ASSERT_NE(before.content, after.content) << name << ": the operation changed nothing";

    for (long long at = 0; at <= total; ++at) {
      ++tally.points;
      for (int seed = -1; seed < seedsFor(seeds); ++seed) {  // -1: killed, no loss
        restore();
        VELFaultDisk::installPowerLoss(at < total ? at : -1, strict);
        operation(returned);
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
        const bool isBefore = seen.opened && seen.consistent && seen.content == before.content;
        const bool isAfter = seen.opened && seen.consistent && seen.content == after.content;
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
        } else if (mixOf(seen.content, before.content, after.content)) {
          ++tally.mixed;
          what << "opened with some tables as before and others as after:";
          for (std::size_t t = 0; t < seen.content.size(); ++t) {
            what << " " << tableName(static_cast<Table>(t))
                 << (seen.content[t] == before.content[t] ? " before" : " after");
          }
          broken = promise.acrossTables;
        } else {
          ++tally.wrong;
          what << "opened with other content";
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
      for (Op op : {Op::Insert, Op::Update, Op::Delete}) {
        std::ostringstream name;
        name << "v" << version << " " << tableName(table) << " " << opName(op);
        sweep(
            name.str(), mode, strict, seeds, promise, [&](bool& returned) { run(table, op, returned); }, tally);
      }
    }
    return tally;
  }

  static void print(const char* what, Table table, const Tally& tally) {
    std::printf("[ power loss ] %-26s %-8s %s\n", what, tableName(table), tally.summary().c_str());
  }

  VELDBConnectInfo::ConnectType d_open = VELDBConnectInfo::Open;
  std::map<std::string, std::string> d_files;
};

// A transaction of two inserts into each of the three tables, committed at
// once: all of it or none of it after a loss at any call, the commit's
// included.  Where a mode does not keep the tables together (off), each
// table still shows its own before or after.
TEST_F(PowerLossTest, TransactionOverTheThreeTablesIsAllOrNothing) {
  struct Case {
    const char* name;
    FileDBJournaledFile::SyncMode mode;
    bool strict;
    int seeds;
    Promise promise;
  };
  const Case cases[] = {
      {"full, strict POSIX", FileDBJournaledFile::SyncFull, true, 4, Promise{true, true}},
      {"full, ordered metadata", FileDBJournaledFile::SyncFull, false, 2, Promise{true, true}},
      {"normal, ordered metadata", FileDBJournaledFile::SyncNormal, false, 3, Promise{true, true}},
      {"normal, strict POSIX", FileDBJournaledFile::SyncNormal, true, 3, Promise{true, true}},
      {"off, strict POSIX", FileDBJournaledFile::SyncOff, true, 3, Promise{false, false, false}},
  };
  for (const Case& c : cases) {
    Tally tally;
    for (int version : {3, 4}) {
      makeBase(version);
      sweep(
          std::string("v") + std::to_string(version) + " transaction", c.mode, c.strict, c.seeds, c.promise,
          [&](bool& returned) { runTransaction(returned); }, tally);
    }
    std::printf("[ power loss ] %-26s %-8s %s\n", c.name, "txn", tally.summary().c_str());
    EXPECT_TRUE(tally.faults.empty()) << c.name << ": " << tally.summary() << "\n" << tally.details();
  }
}

// full: the open that recovers from a loss loses power itself, at each of
// its calls; the open after that still finds the state before or after, in
// every table, and after when the operation had returned.
TEST_F(PowerLossTest, FullRecoveryCutShortByASecondLossStillEndsBeforeOrAfter) {
  FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  struct Scenario {
    std::string name;
    std::function<void(bool&)> operation;
  };
  std::vector<Scenario> scenarios;
  for (Op op : {Op::Insert, Op::Update, Op::Delete}) {
    scenarios.push_back({std::string("key ") + opName(op), [this, op](bool& r) { run(Table::Key, op, r); }});
  }
  scenarios.push_back({"transaction", [this](bool& r) { runTransaction(r); }});
  int firstLosses = 0;
  int recoveries = 0;
  int secondLosses = 0;
  for (int version : {3, 4}) {
    makeBase(version);
    for (const Scenario& scenario : scenarios) {
      restore();
      const Seen before = reopen();
      restore();
      bool returned = false;
      VELFaultDisk::installPowerLoss(-1, true);
      scenario.operation(returned);
      const long long total = PL::calls();
      const Seen after = reopen();
      ASSERT_TRUE(returned && after.opened && after.consistent) << scenario.name;
      for (long long at = 0; at < total; ++at) {
        restore();
        VELFaultDisk::installPowerLoss(at, true);
        scenario.operation(returned);
        ASSERT_TRUE(PL::powerLoss(static_cast<std::uint64_t>(at * 31 + version)));
        ++firstLosses;
        const std::map<std::string, std::string> lost = snapshot();
        bool journal = false;
        for (const std::string& p : paths()) journal |= lost.count(FileDBJournaledFile::journalPath(p)) != 0;
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
            const bool isBefore = seen.opened && seen.consistent && seen.content == before.content;
            const bool isAfter = seen.opened && seen.consistent && seen.content == after.content;
            EXPECT_TRUE((isBefore && !returned) || isAfter)
                << "v" << version << " " << scenario.name << ": first loss at call " << at << " of " << total
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
        EXPECT_TRUE(seen.opened && !seen.tableDisabled && seen.consistent && seen.content == Content())
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

class PowerLossTableTest : public PowerLossTest, public ::testing::WithParamInterface<Table> {};

// full: after any loss the database opens as before or after, and as after
// once the operation has returned -- even on a file system that promises
// nothing that was not synced.
TEST_P(PowerLossTableTest, FullKeepsEveryReturnedChangeAndIsAtomicAtEveryLoss) {
  for (bool strict : {true, false}) {
    const Tally tally =
        sweepTable(GetParam(), FileDBJournaledFile::SyncFull, strict, strict ? 3 : 2, Promise{true, true});
    print(strict ? "full, strict POSIX" : "full, ordered metadata", GetParam(), tally);
    EXPECT_TRUE(tally.faults.empty()) << tally.summary() << "\n" << tally.details();
  }
}

// normal, on ordered metadata and on strict POSIX: atomic, but an
// operation that returned may be undone.
TEST_P(PowerLossTableTest, NormalIsAtomicButMayUndoAReturnedChange) {
  for (bool strict : {false, true}) {
    const Tally tally =
        sweepTable(GetParam(), FileDBJournaledFile::SyncNormal, strict, strict ? 2 : 3, Promise{true, false});
    print(strict ? "normal, strict POSIX" : "normal, ordered metadata", GetParam(), tally);
    EXPECT_TRUE(tally.faults.empty()) << tally.summary() << "\n" << tally.details();
  }
}

// off, on strict POSIX: a power loss may cost the database, which then
// refuses to open, but it never opens with other content.
TEST_P(PowerLossTableTest, OffNeverOpensWithWrongContent) {
  const Tally tally = sweepTable(GetParam(), FileDBJournaledFile::SyncOff, true, 2, Promise{false, false});
  print("off, strict POSIX", GetParam(), tally);
  EXPECT_TRUE(tally.faults.empty()) << tally.summary() << "\n" << tally.details();
}

INSTANTIATE_TEST_SUITE_P(Tables, PowerLossTableTest, ::testing::Values(Table::Key, Table::KeyPair, Table::CRL),
                         [](const ::testing::TestParamInfo<Table>& info) {
                           return std::string(info.param == Table::Key       ? "Key"
                                              : info.param == Table::KeyPair ? "KeyPair"
                                                                             : "CRL");
                         });

}  // namespace
