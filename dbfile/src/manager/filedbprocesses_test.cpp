// Plan: real processes (fork) on one database: a read-write process refuses every other
// read-write or read-only opener with kLock and leaves the bytes alone; read-only processes
// share; readers that open in a loop while a writer changes the file never see a torn table.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "filedbjournaledfile.h"
#include "filedbmanager.h"
#include "velexception.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;

// Runs `body` in a child process; returns its pid.  The child exits with
// what `body` returns, or 99 when it throws.
pid_t spawn(const std::function<int()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (const VELDBException& e) {
      std::fprintf(stderr, "child: 0x%lX %s\n", e.getError(), e.getMessage().c_str());
    } catch (...) {
      std::fprintf(stderr, "child: unexpected exception\n");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A child that holds a connection until its pipe is closed by the parent.
struct Holder {
  pid_t pid = -1;
  int release = -1;  // write end: closing it lets the child go
};

class FileDBProcessesTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void SetUp() override {
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
    FileDBManager m(info(VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite));
    for (int i = 0; i < 2; ++i) {
      std::unique_ptr<VELASNKeyRecord> r =
          VELTestPKI::makeKeyRecord("seed" + std::to_string(i), "CN=seed " + std::to_string(i));
      m.insertKey(*r);
    }
  }

  VELDBConnectInfo::FILE info(VELDBConnectInfo::ConnectType type, VELDBConnectInfo::AccessMode mode) const {
    return VELDBConnectInfo::FILE(d_base, VELTestUtil::password("process secret"), type, mode);
  }

  // A child that connects with `mode`, tells the parent, and holds the
  // connection until released.
  Holder hold(VELDBConnectInfo::AccessMode mode) {
    int ready[2];
    int release[2];
    EXPECT_EQ(0, pipe(ready));
    EXPECT_EQ(0, pipe(release));
    Holder h;
    h.pid = spawn([&]() {
      ::close(ready[0]);
      ::close(release[1]);
      // Another holder's release end kept open here would keep it waiting.
      for (int fd : d_releases) ::close(fd);
      FileDBManager m(info(VELDBConnectInfo::Open, mode));
      const char ok = 'y';
      if (write(ready[1], &ok, 1) != 1) return 2;
      char c;
      while (read(release[0], &c, 1) > 0) {
      }
      return 0;
    });
    ::close(ready[1]);
    ::close(release[0]);
    char c = 0;
    EXPECT_EQ(1, read(ready[0], &c, 1)) << "the holder did not connect";
    ::close(ready[0]);
    h.release = release[1];
    d_releases.push_back(h.release);
    return h;
  }
  int let(Holder& h) {
    ::close(h.release);
    d_releases.erase(std::remove(d_releases.begin(), d_releases.end(), h.release), d_releases.end());
    return waitFor(h.pid);
  }

  std::vector<int> d_releases;
};

TEST_F(FileDBProcessesTest, ReadWriteProcessExcludesEveryOtherOpener) {
  const std::string before = readAll(d_base + ".vkey");
  Holder writer = hold(VELDBConnectInfo::ReadWrite);
  // This process has no connection of its own: every open is a new one.
  EXPECT_EQ(VELDBError::kLock,
            errorOf([&]() { FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite)); }));
  EXPECT_EQ(VELDBError::kLock,
            errorOf([&]() { FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly)); }));
  // A create over the open database is refused too, and changes nothing.
  EXPECT_NE(0u, errorOf([&]() { FileDBManager m(info(VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite)); }));
  EXPECT_EQ(before, readAll(d_base + ".vkey"));
  EXPECT_FALSE(::access((d_base + ".vkey-journal").c_str(), F_OK) == 0);
  EXPECT_EQ(0, let(writer));
  EXPECT_EQ(before, readAll(d_base + ".vkey"));
  // Once it is gone the database opens again.
  EXPECT_EQ(0u, errorOf([&]() { FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite)); }));
}

TEST_F(FileDBProcessesTest, ReadOnlyProcessesShareAndKeepWritersOut) {
  const std::string before = readAll(d_base + ".vkey");
  Holder reader = hold(VELDBConnectInfo::ReadOnly);
  Holder second = hold(VELDBConnectInfo::ReadOnly);
  unsigned long long count = 0;
  EXPECT_EQ(0u, errorOf([&]() {
              FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly));
              count = m.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNLabelString());
            }));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(VELDBError::kLock,
            errorOf([&]() { FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite)); }));
  EXPECT_EQ(0, let(reader));
  EXPECT_EQ(VELDBError::kLock,
            errorOf([&]() { FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite)); }));
  EXPECT_EQ(0, let(second));
  EXPECT_EQ(before, readAll(d_base + ".vkey"));
  EXPECT_EQ(0u, errorOf([&]() { FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite)); }));
}

// Writer: opens read-write, inserts (and now and then deletes, so that the
// close compacts), closes, over and over.  Readers: open read-only over and
// over; each open is refused with kLock or shows a whole table.
TEST_F(FileDBProcessesTest, ReadersNeverSeeAHalfWrittenRecord) {
  constexpr int kRounds = 30;
  std::vector<std::unique_ptr<VELASNKeyRecord>> records;
  for (int i = 0; i < kRounds; ++i) {
    records.push_back(VELTestPKI::makeKeyRecord("w" + std::to_string(i), "CN=writer " + std::to_string(i)));
  }
  int done[2];
  ASSERT_EQ(0, pipe(done));

  const pid_t writer = spawn([&]() {
    ::close(done[0]);
    int busy = 0;
    for (int round = 0; round < kRounds; ++round) {
      for (;;) {
        try {
          FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite));
          VELASNKeyRecord r(*records[static_cast<std::size_t>(round)]);
          m.insertKey(r);
          if (round % 3 == 2) {
            m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("w" + std::to_string(round - 1)));
          }
          break;
        } catch (const VELDBException& e) {
          if (e.getError() != VELDBError::kLock) throw;
          ++busy;
          usleep(200);
        }
      }
    }
    std::printf("[processes] writer: %d rounds, %d opens refused while readers held the file\n", kRounds, busy);
    ::close(done[1]);
    return 0;
  });
  ::close(done[1]);

  auto readerBody = [&]() {
    ::close(done[0]);
    int opened = 0;
    int refused = 0;
    for (int i = 0; i < 100000; ++i) {
      try {
        FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly));
        const VELASNLabelString none;
        const unsigned long long count = m.getKeyCountByIndex(VELDBManager::KeyAllRecords, none);
        std::unique_ptr<VELDBIterator> it(m.getKeyIterator());
        unsigned long long walked = 0;
        for (;;) {
          std::unique_ptr<VELASNKeyRecord> r(m.getKeyNextRecord(*it));
          if (!r) break;
          if (!r->hasCertificate()) return 3;
          std::unique_ptr<VELASNKeyRecord> byLabel(m.getKeyByIndex(VELDBManager::KeyLabel, r->getLabel()));
          if (!byLabel) return 4;
          ++walked;
        }
        if (walked != count || count < 2) return 5;
        ++opened;
      } catch (const VELDBException& e) {
        if (e.getError() != VELDBError::kLock) {
          std::fprintf(stderr, "reader: 0x%lX %s\n", e.getError(), e.getMessage().c_str());
          return 6;
        }
        ++refused;
      }
      // Stop once the writer is through (its pipe end closes).
      if (::kill(getppid(), 0) != 0) break;
      if (access((d_dir + "/writer-done").c_str(), F_OK) == 0) break;
      usleep(100);
    }
    std::printf("[processes] reader: %d opens saw a whole table, %d refused with 0x8C23A\n", opened, refused);
    return opened + refused > 0 ? 0 : 7;
  };
  const pid_t reader1 = spawn(readerBody);
  const pid_t reader2 = spawn(readerBody);
  ::close(done[0]);

  EXPECT_EQ(0, waitFor(writer));
  { std::ofstream(d_dir + "/writer-done").put('x'); }
  EXPECT_EQ(0, waitFor(reader1));
  EXPECT_EQ(0, waitFor(reader2));
  ::unlink((d_dir + "/writer-done").c_str());

  // Every round's record that was not deleted is there.
  FileDBManager m(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite));
  unsigned long long expected = 2;
  for (int round = 0; round < kRounds; ++round) expected += (round % 3 == 1) ? 0 : 1;
  EXPECT_EQ(expected, m.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNLabelString()));
}

}  // namespace
