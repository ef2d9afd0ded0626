// Plan: kill a change at every write it makes (and tear that write in half), then reopen:
// the table must hold exactly the records before or after the change, for every kind of change.
#include "filedbjournaledfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "filedbjournalkey.h"
#include "velcrashplatform.h"
#include "velplatform.h"
#include "veltesttable.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::readAll;
using VELTestUtil::writeAll;

using VELTestTable::kTestType;
using VELTestTable::TestTable;
using Records = std::vector<std::pair<std::uint32_t, VELString>>;

using namespace VELCrashPlatform;

using VELTestUtil::password;

// --- journals made by hand ---------------------------------------------------

using Regions = std::vector<std::pair<std::uint64_t, std::string>>;  // offset, original bytes
using Piece = FileDBJournalKey::Piece;

std::string be64(std::uint64_t v) {
  std::string out(8, '\0');
  for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<char>(v & 0xFF);
  return out;
}

std::string sha256(const std::string& bytes) {
  unsigned char sum[32];
  FileDBJournalKey::checksum(sum, {Piece(bytes.data(), bytes.size())});
  return std::string(reinterpret_cast<char*>(sum), 32);
}

// A journal of the current layout whose MACs are made with `key`: it passes
// every check that needs no password.
std::string craftJournal(const FileDBJournalKey& key, std::uint64_t originalSize, const Regions& regions) {
  const std::string nonce(16, 'n');
  std::string out = "VELJRNL2" + nonce + be64(originalSize);
  unsigned char mac[32];
  key.mac(mac, {Piece(out.data(), 32)});
  out.append(reinterpret_cast<char*>(mac), 32);
  out += sha256(out);
  for (const auto& region : regions) {
    const std::string head = be64(region.first) + be64(region.second.size());
    key.mac(mac, {Piece(nonce.data(), 16), Piece(head.data(), 16), Piece(region.second.data(), region.second.size())});
    out += head + region.second + std::string(reinterpret_cast<char*>(mac), 32);
  }
  return out;
}

// A journal of the earlier layout: unkeyed SHA-256 throughout.
std::string legacyJournal(std::uint64_t originalSize, const Regions& regions) {
  const std::string nonce(16, 'o');
  std::string out = "VELJRNL1" + nonce + be64(originalSize);
  out += sha256(out);
  for (const auto& region : regions) {
    const std::string head = be64(region.first) + be64(region.second.size());
    out += head + region.second + sha256(nonce + head + region.second);
  }
  return out;
}

// The error of `body`, which must throw a VELDBException.
VELDBException errorFrom(const std::function<void()>& body) {
  try {
    body();
  } catch (const VELDBException& e) {
    return e;
  }
  ADD_FAILURE() << "no error";
  return VELDBException(__FILE__, __LINE__, 0);
}

struct Outcome {
  Records records;
  VELString password;
};

class JournalTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void SetUp() override {
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);  // kills, not power loss
  }
  void TearDown() override {
    vel_setPlatformCalls(nullptr);
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  }
  VELDBConnectInfo::FILE info(const char* pw, VELDBConnectInfo::AccessMode mode = VELDBConnectInfo::ReadWrite) {
    return VELDBConnectInfo::FILE(d_dir + "/table", password(pw), VELDBConnectInfo::Open, mode);
  }
  // A table of three records, one of them long.
  void makeBase(VELDBConnectInfo::ConnectType type) {
    VELDBConnectInfo::FILE create(d_dir + "/table", password("old"), type, VELDBConnectInfo::ReadWrite);
    FileDBStorage::newFile(create, d_path, 1, kTestType);
    TestTable t(info("old"), d_path);
    t.append(1, "first");
    t.append(2, std::string(3000, 's'));
    t.append(3, "third");
  }
  // The table as a fresh read-write open sees it.
  Outcome open() {
    for (const char* pw : {"old", "new"}) {
      try {
        TestTable t(info(pw), d_path);
        return Outcome{t.records(), pw};
      } catch (const VELDBException& e) {
        if (e.getError() != VELDBError::kBadPassword) throw;
      }
    }
    ADD_FAILURE() << "no password opens the table";
    return Outcome{};
  }

  // Runs `change` once cleanly, then once per crash point; every outcome
  // must be the state before or the state after.  Returns the points tried.
  int crashEveryWhere(VELDBConnectInfo::ConnectType type, const std::function<void(TestTable&)>& change) {
    makeBase(type);
    const std::string base = readAll(d_path);
    const Outcome before = open();
    const auto changeOnce = [&] {
      TestTable t(info("old"), d_path);
      change(t);
    };
    const long long total = countCalls(changeOnce);
    const Outcome after = open();
    EXPECT_FALSE(after.records == before.records && after.password == before.password) << "the change changed nothing";
    int points = 0;
    for (long long k = 0; k < total; ++k) {
      writeAll(d_path, base);
      unlink(FileDBJournaledFile::journalPath(d_path).c_str());
      crashAt(k, changeOnce);
      const Outcome seen = open();
      const bool isBefore = seen.records == before.records && seen.password == before.password;
      const bool isAfter = seen.records == after.records && seen.password == after.password;
      EXPECT_TRUE(isBefore || isAfter) << "crash at call " << k << " of " << total;
      EXPECT_FALSE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(d_path))) << "journal left after recovery";
      ++points;
    }
    writeAll(d_path, base);
    return points;
  }

  // A table of `type` whose append was killed after it wrote part of
  // itself: a journal is left.  What the table held before.
  Outcome interruptedBase(VELDBConnectInfo::ConnectType type) {
    makeBase(type);
    const Outcome before = open();
    crashAt(4, [&] {
      TestTable t(info("old"), d_path);
      t.append(4, "interrupted");
    });
    EXPECT_TRUE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(d_path)));
    return before;
  }

  const std::string d_path = d_dir + "/table.vtst";
};

TEST_F(JournalTest, EveryCrashPointOfEveryChangeRecoversToACommittedState) {
  const std::vector<std::pair<const char*, std::function<void(TestTable&)>>> kinds = {
      {"insert", [](TestTable& t) { t.append(4, "fourth"); }},
      {"insert with resize", [](TestTable& t) { t.append(4, std::string(7000, 'g')); }},
      {"update", [](TestTable& t) { t.update(1, 2, std::string(2000, 'u')); }},
      {"delete", [](TestTable& t) { t.markDeleted(0); }},
      {"expiry",
       [](TestTable& t) {
         t.setPasswordExpirationTime(12345);
         t.append(5, "x");
       }},
      {"password", [](TestTable& t) { t.setPassword(password("old"), password("new"), 0); }},
      {"compaction",
       [](TestTable& t) {
         t.markDeleted(1);
         t.purge();
       }},
  };
  for (auto type : {VELDBConnectInfo::Create, VELDBConnectInfo::CreateV4}) {
    for (const auto& kind : kinds) {
      SCOPED_TRACE(kind.first);
      const int points = crashEveryWhere(type, kind.second);
      EXPECT_GT(points, 3);
      std::printf("[ journal ] %-20s v%d: %d crash points\n", kind.first, type == VELDBConnectInfo::Create ? 3 : 4,
                  points);
      unlink(d_path.c_str());
    }
  }
}

TEST_F(JournalTest, AFailedChangeIsRolledBackAtOnceAndReported) {
  makeBase(VELDBConnectInfo::CreateV4);
  TestTable t(info("old"), d_path);
  const Records before = t.records();
  installCrash(6);  // fail somewhere inside the insert; later calls work again
  g_crashAt = 6;
  try {
    t.append(4, "lost");
    FAIL() << "the failure was not reported";
  } catch (const VELDBException&) {
  }
  // The disk works again: the next change first rolls the failed one back.
  vel_setPlatformCalls(nullptr);
  t.append(4, "kept");
  Records expected = before;
  expected.emplace_back(4, "kept");
  EXPECT_EQ(t.records(), expected);
}

// A read-only open writes nothing, even with no one else holding the file:
// it refuses and says how to recover; one read-write open recovers.
TEST_F(JournalTest, ReadOnlyOpenNeverRecoversAndSaysHow) {
  const Outcome before = interruptedBase(VELDBConnectInfo::Create);
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  const std::string table = readAll(d_path);
  const std::string journalBytes = readAll(journal);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      TestTable t(info("old", VELDBConnectInfo::ReadOnly), d_path);
      FAIL() << "opened a file that needs recovery";
    } catch (const VELDBException& e) {
      EXPECT_EQ(e.getError(), VELDBError::kLock);
      EXPECT_NE(e.getMessage().find("read-write open"), std::string::npos);
    }
    EXPECT_EQ(readAll(d_path), table);
    EXPECT_EQ(readAll(journal), journalBytes);
  }
  {
    TestTable t(info("old"), d_path);
    EXPECT_EQ(t.records(), before.records);
  }
  EXPECT_FALSE(FileDBBinaryFile::exists(journal));
  TestTable t(info("old", VELDBConnectInfo::ReadOnly), d_path);
  EXPECT_EQ(t.records(), before.records);
}

TEST_F(JournalTest, DamagedJournalsAreHandledSafely) {
  makeBase(VELDBConnectInfo::CreateV4);
  const Outcome before = open();
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  // Cut short inside its header, and pure garbage: removed, file untouched.
  for (const std::string& bytes : {std::string("VELJRN"), std::string(500, '\x5A')}) {
    writeAll(journal, bytes);
    EXPECT_EQ(open().records, before.records);
    EXPECT_FALSE(FileDBBinaryFile::exists(journal));
  }
}

TEST_F(JournalTest, KilledProcessesNeverCostTheTable) {
  makeBase(VELDBConnectInfo::CreateV4);
  std::mt19937 random(20261206);
  for (int round = 0; round < 12; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        TestTable t(info("old"), d_path);
        for (std::uint32_t i = 0;; ++i) {
          t.append(100 + i, std::string(100 + i % 50, 'k'));
          if (i % 3 == 0) t.markDeleted(3);
          if (i % 7 == 0) t.update(0, 1, "first " + std::to_string(i));
        }
      } catch (...) {
      }
      _exit(0);
    }
    usleep(2000 + random() % 20000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    const Outcome seen = open();  // recovers, or throws and fails the test
    EXPECT_GE(seen.records.size(), 2u);
  }
}

// A journal that is whole but was not made for this table under this
// password -- another password, another table of the same password, or
// crafted without the password -- is refused, named, kept, and writes
// nothing; the right password still recovers the genuine one.
TEST_F(JournalTest, AJournalNotMadeForThisTableUnderThisPasswordIsRefusedAndKept) {
  const Outcome before = interruptedBase(VELDBConnectInfo::CreateV4);
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  const std::string table = readAll(d_path);
  const std::string genuine = readAll(journal);
  auto expectRefused = [&](const char* pw, const std::string& path, const std::string& tableBytes) {
    const VELDBException e = errorFrom([&] { TestTable t(info(pw), path); });
    EXPECT_EQ(e.getError(), VELDBError::kBadPassword) << e.what();
    EXPECT_NE(e.getMessage().find(FileDBJournaledFile::journalPath(path)), std::string::npos) << e.what();
    EXPECT_EQ(readAll(path), tableBytes);
  };

  // A wrong password: the journal is not taken for one cut short.
  expectRefused("other", d_path, table);
  EXPECT_EQ(readAll(journal), genuine);

  // This table's journal beside another table of the same password.
  const std::string second = d_dir + "/second.vtst";
  {
    VELDBConnectInfo::FILE create(d_dir + "/second", password("old"), VELDBConnectInfo::CreateV4,
                                  VELDBConnectInfo::ReadWrite);
    FileDBStorage::newFile(create, second, 1, kTestType);
  }
  const std::string secondBytes = readAll(second);
  writeAll(FileDBJournaledFile::journalPath(second), genuine);
  expectRefused("old", second, secondBytes);
  EXPECT_EQ(readAll(FileDBJournaledFile::journalPath(second)), genuine);
  unlink(FileDBJournaledFile::journalPath(second).c_str());
  unlink(second.c_str());

  // Crafted without the password: zero the header, cut the file short.
  const FileDBJournalKey guess(password("guess"), FileDBJournalKey::kTableJournal, d_path);
  const std::string crafted = craftJournal(guess, 10, {{0, std::string(100, '\0')}});
  writeAll(journal, crafted);
  expectRefused("old", d_path, table);
  EXPECT_EQ(readAll(journal), crafted);

  writeAll(journal, genuine);
  EXPECT_EQ(open().records, before.records);
  EXPECT_FALSE(FileDBBinaryFile::exists(journal));
}

// A header torn by a crash (its checksum does not match: the rest of it
// never reached the disk, so neither did any change to the table) is
// removed, whatever records follow.
TEST_F(JournalTest, AJournalWhoseHeaderWasCutShortIsRemovedAndTheTableKept) {
  makeBase(VELDBConnectInfo::CreateV4);
  const Outcome before = open();
  const std::string table = readAll(d_path);
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  const FileDBJournalKey key(password("old"), FileDBJournalKey::kTableJournal, d_path);
  std::string torn = craftJournal(key, 10, {{0, std::string(100, '\0')}});
  std::fill(torn.begin() + 40, torn.begin() + 96, '\0');
  writeAll(journal, torn);
  EXPECT_EQ(open().records, before.records);
  EXPECT_EQ(readAll(d_path), table);
  EXPECT_FALSE(FileDBBinaryFile::exists(journal));
}

// A journal of the earlier layout cannot be authenticated: it is applied
// only when the table it restores, tried on a scratch copy, is sealed under
// the password given; otherwise refused and kept, the table untouched.
TEST_F(JournalTest, AnEarlierLayoutJournalIsAppliedOnlyWhenTheTableItRestoresIsSealed) {
  makeBase(VELDBConnectInfo::CreateV4);
  const Outcome before = open();
  const std::string original = readAll(d_path);
  {
    TestTable t(info("old"), d_path);
    t.append(4, std::string(2500, 'x'));
  }
  const std::string changed = readAll(d_path);
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  // What an earlier release left when it died just before its commit.
  const std::string left =
      legacyJournal(original.size(), {{0, original.substr(0, std::min(original.size(), changed.size()))}});

  auto expectRefused = [&](const char* pw, const std::string& journalBytes, unsigned long error) {
    writeAll(journal, journalBytes);
    const VELDBException e = errorFrom([&] { TestTable t(info(pw), d_path); });
    EXPECT_EQ(e.getError(), error) << e.what();
    EXPECT_NE(e.getMessage().find(journal), std::string::npos) << e.what();
    EXPECT_EQ(readAll(d_path), changed);
    EXPECT_EQ(readAll(journal), journalBytes);
  };
  // Crafted: zeroes the header; keeps the header and changes a record.  And
  // the genuine one under a wrong password.
  expectRefused("old", legacyJournal(changed.size(), {{0, std::string(88, '\0')}}), VELDBError::kBadPassword);
  expectRefused("old", legacyJournal(changed.size(), {{100, "forged record bytes"}}), VELDBError::kBadPassword);
  expectRefused("other", left, VELDBError::kBadPassword);

  writeAll(journal, left);
  EXPECT_EQ(open().records, before.records);
  EXPECT_EQ(readAll(d_path), original);
  EXPECT_FALSE(FileDBBinaryFile::exists(journal));
}

// The transaction file decides whether a marked journal is written back:
// an authentic one rolls the part back, none means it committed, and one
// not made under the password is refused with both files kept.
TEST_F(JournalTest, ATransactionFileCountsOnlyWhenItIsAuthentic) {
  const std::string data = d_dir + "/data.vtst";
  const std::string journal = FileDBJournaledFile::journalPath(data);
  unsigned char id[16];
  for (int i = 0; i < 16; ++i) id[i] = static_cast<unsigned char>(0xA0 + i);
  const VELString transaction = FileDBJournaledFile::transactionPath(data, id);
  const std::string original(64, 'a');
  // A part of a transaction, marked, whose process died before the commit
  // point's aftermath: the file holds the change, the journal stays.
  auto leaveMarkedPart = [&] {
    writeAll(data, original);
    FileDBJournaledFile f(data, [] { return password("old"); });
    f.beginChange();
    f.setPosition(0);
    const std::uint64_t n = 16;
    f.write(std::string(16, 'b').data(), n);
    ASSERT_TRUE(f.prepareCommit(id));
  };
  auto recoverWith = [&](const char* pw) {
    FileDBBinaryFile file(data, VELDBConnectInfo::ReadWrite);
    return FileDBJournaledFile::recover(file, journal, password(pw));
  };
  const std::string changed = std::string(16, 'b') + original.substr(16);

  leaveMarkedPart();
  FileDBJournaledFile::writeTransactionFile(transaction, id, password("old"));
  EXPECT_TRUE(recoverWith("old"));
  EXPECT_EQ(readAll(data), original);
  unlink(transaction.c_str());

  leaveMarkedPart();
  EXPECT_TRUE(recoverWith("old"));
  EXPECT_EQ(readAll(data), changed);
  EXPECT_FALSE(FileDBBinaryFile::exists(journal));

  // Planted: under another password, and in the earlier, unkeyed layout.
  std::string legacy = "VELTXN01" + std::string(reinterpret_cast<char*>(id), 16);
  legacy += sha256(legacy);
  for (int planted = 0; planted < 2; ++planted) {
    leaveMarkedPart();
    if (planted == 0) {
      FileDBJournaledFile::writeTransactionFile(transaction, id, password("guess"));
    } else {
      writeAll(transaction, legacy);
    }
    const std::string plantedBytes = readAll(transaction);
    const std::string journalBytes = readAll(journal);
    const VELDBException e = errorFrom([&] { recoverWith("old"); });
    EXPECT_EQ(e.getError(), VELDBError::kBadPassword) << e.what();
    EXPECT_NE(e.getMessage().find(transaction), std::string::npos) << e.what();
    EXPECT_EQ(readAll(data), changed);
    EXPECT_EQ(readAll(journal), journalBytes);
    EXPECT_EQ(readAll(transaction), plantedBytes);
    unlink(transaction.c_str());
    unlink(journal.c_str());
  }
  unlink(data.c_str());
}

// Journals are bound to the table file's name, not its directory: a
// database moved while a change was interrupted still recovers.
TEST_F(JournalTest, AJournalStaysValidWhenItsDirectoryMoves) {
  const Outcome before = interruptedBase(VELDBConnectInfo::CreateV4);
  const std::string moved = d_dir + "-moved";
  ASSERT_EQ(0, rename(d_dir.c_str(), moved.c_str()));
  const std::string path = moved + "/table.vtst";
  {
    TestTable t(
        VELDBConnectInfo::FILE(moved + "/table", password("old"), VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite),
        path);
    EXPECT_EQ(t.records(), before.records);
  }
  EXPECT_FALSE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(path)));
  ASSERT_EQ(0, rename(moved.c_str(), d_dir.c_str()));
}

}  // namespace
