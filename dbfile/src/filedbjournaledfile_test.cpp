// Plan: kill a change at every write it makes (and tear that write in half), then reopen:
// the table must hold exactly the records before or after the change, for every kind of change.
#include "filedbjournaledfile.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "velcrashplatform.h"
#include "velplatform.h"
#include "veltesttable.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::readAll;
using VELTestUtil::writeAll;

using VELTestTable::TestTable;
using VELTestTable::kTestType;
using Records = std::vector<std::pair<std::uint32_t, VELString>>;

using namespace VELCrashPlatform;

VELPasswordEncryptor password(const char* text) { return VELPasswordEncryptor(text, std::strlen(text)); }



struct Outcome {
  Records records;
  VELString password;
};

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);  // kills, not power loss
    char tmpl[] = "/tmp/veljournal-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    d_dir = tmpl;
    d_path = d_dir + "/table.vtst";
  }
  void TearDown() override {
    vel_setPlatformCalls(nullptr);
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
    unlink(d_path.c_str());
    unlink(FileDBJournaledFile::journalPath(d_path).c_str());
    rmdir(d_dir.c_str());
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
    installCrash(-1);
    {
      TestTable t(info("old"), d_path);
      change(t);
    }
    const long long total = g_ops;
    vel_setPlatformCalls(nullptr);
    const Outcome after = open();
    EXPECT_FALSE(after.records == before.records && after.password == before.password) << "the change changed nothing";
    int points = 0;
    for (long long k = 0; k < total; ++k) {
      writeAll(d_path, base);
      unlink(FileDBJournaledFile::journalPath(d_path).c_str());
      installCrash(k);
      try {
        TestTable t(info("old"), d_path);
        change(t);
      } catch (const VELDBException&) {
      }
      vel_setPlatformCalls(nullptr);
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

  // An append killed after it wrote part of itself: a journal is left.
  void interruptAppend() {
    installCrash(4);
    try {
      TestTable t(info("old"), d_path);
      t.append(4, "interrupted");
    } catch (const VELDBException&) {
    }
    vel_setPlatformCalls(nullptr);
    ASSERT_TRUE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(d_path)));
  }

  std::string d_dir;
  std::string d_path;
};

TEST_F(JournalTest, EveryCrashPointOfEveryChangeRecoversToACommittedState) {
  const std::vector<std::pair<const char*, std::function<void(TestTable&)>>> kinds = {
      {"insert", [](TestTable& t) { t.append(4, "fourth"); }},
      {"insert with resize", [](TestTable& t) { t.append(4, std::string(7000, 'g')); }},
      {"update", [](TestTable& t) { t.update(1, 2, std::string(2000, 'u')); }},
      {"delete", [](TestTable& t) { t.markDeleted(0); }},
      {"expiry", [](TestTable& t) { t.setPasswordExpirationTime(12345); t.append(5, "x"); }},
      {"password", [](TestTable& t) { t.setPassword(password("old"), password("new"), 0); }},
      {"compaction", [](TestTable& t) { t.markDeleted(1); t.purge(); }},
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
  makeBase(VELDBConnectInfo::Create);
  const Outcome before = open();
  interruptAppend();
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

}  // namespace
