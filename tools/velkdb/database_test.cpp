// How velkdb words the library's errors for a user: the file, what was
// being done to it and the real cause, never an internal call's name, and
// never a byte count read as errno.
#include "database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "veldbconnectinfo.h"
#include "velexception.h"

namespace {

std::string line(unsigned long error, const std::string& message, long long extra) {
  return velkdb::errorLine(VELDBException("f.cpp", 1, error, message, extra));
}

TEST(ErrorLineTest, FileCallsBecomeWordsWithTheirCause) {
  EXPECT_EQ(line(VELDBError::kCannotOpen, "vel_openExclusive(/d/db.vkey)", EACCES),
            "error 0x8C236 (cannot open file): /d/db.vkey: opening for reading and writing: Permission denied");
  EXPECT_EQ(line(VELDBError::kWrite, "certificate CN=a: vel_write-/d/db.vkey", ENOSPC),
            "error 0x8C239 (write error): certificate CN=a: /d/db.vkey: writing: No space left on device");
  EXPECT_EQ(line(VELDBError::kRead, "vel_read-/d/db.vkey", EIO),
            "error 0x8C238 (read error): /d/db.vkey: reading: Input/output error");
  EXPECT_EQ(line(VELDBError::kLock, "vel_openSharedRead(/d/db.vkey)", EAGAIN),
            "error 0x8C23A (file is locked by another user): /d/db.vkey: opening for reading: another process has it "
            "open for writing");
}

TEST(ErrorLineTest, WordsAroundTheCallStay) {
  // Context in front (the lock wait's), text behind the call's parenthesis.
  EXPECT_EQ(line(VELDBError::kLock, "still in use after waiting 0.5 s: vel_openSharedRead(/d/db.vkey) again", EAGAIN),
            "error 0x8C23A (file is locked by another user): still in use after waiting 0.5 s: /d/db.vkey: opening for "
            "reading: another process has it open for writing again");
}

TEST(ErrorLineTest, ByteCountsAreNotTakenForErrno) {
  // 4064 and 28 bytes: not "Unknown error 4064", not "No space left on device".
  EXPECT_EQ(line(VELDBError::kWrite, "vel_write-/d/db.vkey", 4064),
            "error 0x8C239 (write error): /d/db.vkey: writing: only 4064 bytes were written (is the disk full?)");
  EXPECT_EQ(line(VELDBError::kRead, "vel_read-/d/db.vkey", 28),
            "error 0x8C238 (read error): /d/db.vkey: reading: the file ended after 28 bytes");
  // A message of the library's own keeps its words; its extra is no errno.
  const std::string shortFile = line(VELDBError::kRead, "/d/db.vkey: no table is in it", 30);
  EXPECT_EQ(shortFile, "error 0x8C238 (read error): /d/db.vkey: no table is in it");
}

TEST(ErrorLineTest, EveryNumberHasItsMeaningAndTheLineStaysOneLine) {
  EXPECT_EQ(line(VELDBError::kDuplicateIssuerAndSerial, "", 0),
            "error 0x8C248 (duplicate record: issuer and serial number in use)");
  EXPECT_EQ(line(0x12345, "a\nb", 0), "error 0x12345 (unknown error): a b");
}

// The smallest --record-length velkdb takes is the smallest the library
// creates a table with: a change on either side shows here.
TEST(RecordLengthTest, TheLibraryCreatesTheSmallestVelkdbTakes) {
  char pattern[] = "/tmp/velkdb-len-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const auto create = [&](const std::string& name, std::uint32_t length) {
    VELDBConnectInfo::FILE info(dir + "/" + name, velkdb::toEncryptor(velkdb::Secret("length test")),
                                VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite);
    info.setInitialRecordLength(length);
    FileDBManager db(info);
  };
  EXPECT_NO_THROW(create("smallest", velkdb::kMinCreateRecordLength));
  EXPECT_THROW(create("smaller", velkdb::kMinCreateRecordLength - 1), VELException);
  std::system(("rm -rf '" + dir + "'").c_str());
}

// Plan: `-o PATH` output lands where the user meant it -- a terminal or a
// FIFO of the user's own is written in place (never replaced, never waited
// on without a reader); another user's FIFO is refused.
class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velkdb-out-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    d_dir = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + d_dir + "'").c_str()); }
  std::string path(const std::string& name) const { return d_dir + "/" + name; }

  std::string d_dir;
};

TEST_F(OutputFileTest, ATerminalIsWrittenInPlace) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  // Held open so that the terminal stays after velkdb closes it.
  const int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(keep, 0);
  velkdb::writeOutputFile(slave, "to the terminal\n", false);
  char buf[256] = {};
  const ssize_t n = read(master, buf, sizeof buf - 1);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(buf).find("to the terminal"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(lstat(slave.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  close(keep);
  close(master);
}

TEST_F(OutputFileTest, AFifoIsWrittenToItsReaderAndAFifoWithoutOneIsRefusedAtOnce) {
  const std::string fifo = path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  try {
    velkdb::writeOutputFile(fifo, "nobody reads this\n", false);
    ADD_FAILURE() << "a FIFO without a reader was written";
  } catch (const VELException& e) {
    EXPECT_EQ(e.getError(), VELDBError::kCannotOpen);
    EXPECT_NE(std::string(e.getMessage()).find("no reader"), std::string::npos) << e.getMessage();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  struct stat st {};
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  velkdb::writeOutputFile(fifo, "-----BEGIN X-----\n", true);
  char buf[64] = {};
  EXPECT_EQ(read(reader, buf, sizeof buf - 1), 18);
  EXPECT_STREQ(buf, "-----BEGIN X-----\n");
  close(reader);
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(OutputFileTest, AnotherUsersFifoIsRefused) {
  // Run as a user that does not own the FIFO (root owns it; the child
  // becomes nobody).  Without root there is no other user to be.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(chmod(d_dir.c_str(), 0755), 0);
  const std::string fifo = path("theirs");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  ASSERT_EQ(chmod(fifo.c_str(), 0666), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    try {
      velkdb::writeOutputFile(fifo, "for someone else\n", false);
    } catch (const VELException& e) {
      _exit(e.getError() == VELDBError::kCannotOpen &&
                    std::string(e.getMessage()).find("another user") != std::string::npos
                ? 0
                : 2);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: written, 2: refused for another reason, 3: could not become nobody";
  char buf[64];
  EXPECT_LE(read(reader, buf, sizeof buf), 0) << "something reached the FIFO";
  close(reader);
}

TEST(ErrorLineTest, AnInterruptedChangeIsNoLockAndSaysHowToFinishIt) {
  const std::string refusal =
      "an interrupted change must first be recovered by one read-write open with the database's password (a "
      "read-only open writes nothing)-";
  const std::string pair = velkdb::errorLine(
      VELDBException("f.cpp", 1, VELDBError::kLock, "keypairs table /d/db.vkyp: " + refusal + "/d/db.vkyp"));
  EXPECT_EQ(pair, "error 0x8C23A (interrupted change pending): an interrupted change is pending on the keypairs "
                  "table /d/db.vkyp; run `velkdb recover -d /d/db` (or any command that writes) to finish it");
  // A directory name with a dash and a space: the path is found whole and
  // the command quoted for a shell.
  const std::string spaced = velkdb::errorLine(
      VELDBException("f.cpp", 1, VELDBError::kLock, "database x: " + refusal + "/d/my db-/it's.vkey"));
  EXPECT_NE(spaced.find("the keys table /d/my db-/it's.vkey; run `velkdb recover -d '/d/my db-/it'\\''s'`"),
            std::string::npos)
      << spaced;
  const std::string password = velkdb::errorLine(VELDBException(
      "f.cpp", 1, VELDBError::kLock,
      "an interrupted password change must first be recovered by one read-write open with the database's password "
      "(a read-only open writes nothing)-/d/db.vkey-password-journal"));
  EXPECT_EQ(password, "error 0x8C23A (interrupted change pending): an interrupted password change is pending on the "
                      "database /d/db; run `velkdb recover -d /d/db` with the database's password (or any command "
                      "that writes) to finish it");
  // A lock the system refused (errno as extra number) is one.
  EXPECT_NE(line(VELDBError::kLock, "interrupted change vel_openExclusive(/d/db.vkey)", EAGAIN).find("locked by another"),
            std::string::npos);
}

}  // namespace
