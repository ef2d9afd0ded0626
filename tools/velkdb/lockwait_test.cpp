// Plan: the back-off schedule, which refusals count as another process
// holding the database (with a real lock held on a real file), and the
// retry loop's attempts and deadline.
#include "lockwait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "commands.h"

using namespace velkdb;

namespace {

VELDBException osLockRefusal() {
  return VELDBException(__FILE__, __LINE__, VELDBError::kLock, "vel_openExclusive(x)", 11);
}
VELDBException journalRefusal() {
  return VELDBException(__FILE__, __LINE__, VELDBError::kLock, "an interrupted change must first be recovered");
}

class LockWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velkdb-lockwait-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    d_file = pattern;
  }
  void TearDown() override {
    if (d_holder >= 0) close(d_holder);
    unlink(d_file.c_str());
    setLockWait(5);
  }
  // Takes the write lock the library takes, on another open file description.
  void holdWriteLock() {
    d_holder = open(d_file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(d_holder, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    ASSERT_EQ(0, fcntl(d_holder, F_OFD_SETLK, &lock));
  }
  // The error retryWhileLocked ends with over an open that the system
  // refuses every time, counting the attempts.
  VELDBException refusedEveryTime(int& attempts) const {
    try {
      retryWhileLocked({d_file}, [&] {
        ++attempts;
        throw osLockRefusal();
      });
    } catch (const VELDBException& e) {
      return e;
    }
    ADD_FAILURE() << "no throw";
    return VELDBException(__FILE__, __LINE__, 0, "", 0);
  }

  std::string d_file;
  int d_holder = -1;
};

TEST_F(LockWaitTest, BackoffDoublesFromTenToTwoHundredMillisecondsWithJitter) {
  EXPECT_EQ(5u, lockBackoffMillis(0, 0.0));
  EXPECT_EQ(9u, lockBackoffMillis(0, 0.99));
  EXPECT_EQ(20u, lockBackoffMillis(2, 0.0));
  EXPECT_EQ(80u, lockBackoffMillis(4, 0.0));
  EXPECT_EQ(100u, lockBackoffMillis(5, 0.0));
  EXPECT_LE(lockBackoffMillis(30, 0.999), 200u);
  EXPECT_LE(lockBackoffMillis(1000, 5.0), 200u);
}

TEST_F(LockWaitTest, ContentionIsTheSystemsRefusalOrAJournalOfALiveWriter) {
  const std::vector<std::string> files = {d_file};
  EXPECT_TRUE(isLockContention(osLockRefusal(), files));
  // A journal nobody is writing: an interrupted change, not waited for.
  const std::string journal = d_file + "-journal";
  const int fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_FALSE(writeLockedByOther(d_file));
  EXPECT_FALSE(isLockContention(journalRefusal(), files));
  // Gone by the time it is looked for: its writer committed just then.
  unlink(journal.c_str());
  EXPECT_TRUE(isLockContention(journalRefusal(), files));
  holdWriteLock();
  EXPECT_TRUE(writeLockedByOther(d_file));
  EXPECT_TRUE(isLockContention(journalRefusal(), files));
  EXPECT_FALSE(isLockContention(VELDBException(__FILE__, __LINE__, VELDBError::kBadPassword, ""), files));
  EXPECT_FALSE(writeLockedByOther(d_file + ".absent"));
}

TEST_F(LockWaitTest, OtherErrorsAndWaitZeroFailAtOnceUnchanged) {
  int attempts = 0;
  EXPECT_THROW(retryWhileLocked({d_file},
                                [&] {
                                  ++attempts;
                                  throw VELDBException(__FILE__, __LINE__, VELDBError::kBadPassword, "");
                                }),
               VELDBException);
  EXPECT_EQ(1, attempts);
  setLockWait(0);
  attempts = 0;
  const VELDBException e = refusedEveryTime(attempts);
  EXPECT_EQ(VELDBError::kLock, e.getError());
  EXPECT_EQ("vel_openExclusive(x)", e.getMessage());
  EXPECT_EQ(11, e.getExtra());
  EXPECT_EQ(1, attempts);
}

TEST_F(LockWaitTest, GivesUpAtTheDeadlineSayingHowLongItWaited) {
  setLockWait(0.3);
  int attempts = 0;
  const auto start = std::chrono::steady_clock::now();
  const VELDBException e = refusedEveryTime(attempts);
  EXPECT_EQ(VELDBError::kLock, e.getError());
  EXPECT_NE(std::string::npos, e.getMessage().find("still in use after waiting"));
  EXPECT_EQ(11, e.getExtra());
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took, 0.29);
  EXPECT_LT(took, 2.0);
  EXPECT_GT(attempts, 3);
}

TEST_F(LockWaitTest, WaitValues) {
  EXPECT_DOUBLE_EQ(0, parseLockWait("0"));
  EXPECT_DOUBLE_EQ(2.5, parseLockWait("2.5"));
  for (const char* text : {"", "-1", "soon", "1e3", "86401", "nan", "inf", " 5"}) {
    EXPECT_THROW(parseLockWait(text), UsageError) << text;
  }
}

}  // namespace
