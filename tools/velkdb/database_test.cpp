// How velkdb words the library's errors for a user: the file, what was
// being done to it and the real cause, never an internal call's name, and
// never a byte count read as errno.
#include "database.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

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
