// Plan: drive a real file through open, transfer, size, lock and close, checking every
// failure's number, message and extra number; then fail the system calls one by one.
#include "filedbbinaryfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "velexception.h"
#include "velplatform.h"
#include "veltestutil.h"

namespace {

constexpr std::uint64_t k2GiB = 0x80000000ULL;

// Exposes the descriptor, to look at the file from outside.
class InspectableFile : public FileDBBinaryFile {
 public:
  using FileDBBinaryFile::getFileDescriptor;
};

// Installs a platform table for one test and puts the default back, whatever
// the test does.
class PlatformGuard {
 public:
  explicit PlatformGuard(const VELPlatformCalls& calls) { vel_setPlatformCalls(&calls); }
  ~PlatformGuard() { vel_setPlatformCalls(nullptr); }
  PlatformGuard(const PlatformGuard&) = delete;
  PlatformGuard& operator=(const PlatformGuard&) = delete;
};

// What the injected calls do; reset by every fixture.
struct Faults {
  int readCalls = 0;
  int writeCalls = 0;
  int closeCalls = 0;
  int truncateCalls = 0;
  bool interruptFirst = false;  // first read/write fails with EINTR
  std::size_t chunk = 0;        // at most this many bytes per read/write (0: all)
  long long writeBudget = -1;   // bytes that fit before writes stop (-1: no limit)
  int writeErrorAtLimit = 0;    // 0: write returns 0 at the limit; else -1 with this errno
  int readError = 0;            // reads fail with this errno
  int closeError = 0;           // close closes, then reports this errno
  int reserveError = 0;         // reserveSpace returns this
  int sizeError = 0;            // fileSize fails with this errno
  int seekError = 0;            // seeks fail with this errno
  bool tmpFails = false;
};
Faults g_faults;

// What an injected read meets: EINTR first, an error, a partial transfer.
template <class Read>
long long faultyReadWith(std::size_t count, Read read) {
  ++g_faults.readCalls;
  if (g_faults.interruptFirst && g_faults.readCalls == 1) {
    errno = EINTR;
    return -1;
  }
  if (g_faults.readError != 0) {
    errno = g_faults.readError;
    return -1;
  }
  if (g_faults.chunk != 0 && count > g_faults.chunk) count = g_faults.chunk;
  return read(count);
}

long long faultyRead(int fd, void* buffer, std::size_t count) {
  return faultyReadWith(count, [&](std::size_t n) { return vel_defaultPlatform().readFile(fd, buffer, n); });
}

long long faultyReadAt(int fd, void* buffer, std::size_t count, long long offset) {
  return faultyReadWith(count, [&](std::size_t n) { return vel_defaultPlatform().readFileAt(fd, buffer, n, offset); });
}

long long faultyWrite(int fd, const void* buffer, std::size_t count) {
  ++g_faults.writeCalls;
  if (g_faults.interruptFirst && g_faults.writeCalls == 1) {
    errno = EINTR;
    return -1;
  }
  if (g_faults.writeBudget == 0) {
    if (g_faults.writeErrorAtLimit == 0) return 0;
    errno = g_faults.writeErrorAtLimit;
    return -1;
  }
  if (g_faults.chunk != 0 && count > g_faults.chunk) count = g_faults.chunk;
  if (g_faults.writeBudget > 0 && static_cast<long long>(count) > g_faults.writeBudget) {
    count = static_cast<std::size_t>(g_faults.writeBudget);
  }
  const long long n = vel_defaultPlatform().writeFile(fd, buffer, count);
  if (n > 0 && g_faults.writeBudget > 0) g_faults.writeBudget -= n;
  return n;
}

int faultyClose(int fd) {
  ++g_faults.closeCalls;
  const int rc = vel_defaultPlatform().closeFile(fd);
  if (g_faults.closeError != 0) {
    errno = g_faults.closeError;
    return -1;
  }
  return rc;
}

int faultyTruncate(int fd, long long size) {
  ++g_faults.truncateCalls;
  return vel_defaultPlatform().truncateFile(fd, size);
}

int faultyReserve(int fd, long long offset, long long length) {
  if (g_faults.reserveError != 0) return g_faults.reserveError;
  return vel_defaultPlatform().reserveSpace(fd, offset, length);
}

long long faultySize(int fd) {
  if (g_faults.sizeError != 0) {
    errno = g_faults.sizeError;
    return -1;
  }
  return vel_defaultPlatform().fileSize(fd);
}

long long faultySeek(int fd, long long offset, int whence) {
  if (g_faults.seekError != 0) {
    errno = g_faults.seekError;
    return -1;
  }
  return vel_defaultPlatform().seekFile(fd, offset, whence);
}

int faultyTmp() {
  if (g_faults.tmpFails) {
    errno = EMFILE;
    return -1;
  }
  return vel_defaultPlatform().tmpFile();
}

VELPlatformCalls faultyCalls() {
  VELPlatformCalls calls = vel_defaultPlatform();
  calls.readFile = faultyRead;
  calls.readFileAt = faultyReadAt;
  calls.writeFile = faultyWrite;
  calls.closeFile = faultyClose;
  calls.truncateFile = faultyTruncate;
  calls.reserveSpace = faultyReserve;
  calls.fileSize = faultySize;
  calls.seekFile = faultySeek;
  calls.tmpFile = faultyTmp;
  return calls;
}

// Runs `op` and checks the VELDBException it must throw.
void expectError(const std::function<void()>& op, unsigned long number, const std::string& message, bool hasExtra,
                 long long extra = 0) {
  try {
    op();
    ADD_FAILURE() << "no exception, expected 0x" << std::hex << number;
  } catch (const VELDBException& e) {
    EXPECT_EQ(number, e.getError()) << e.what();
    EXPECT_EQ(message, e.getMessage()) << e.what();
    EXPECT_EQ(hasExtra, e.hasExtra()) << e.what();
    if (hasExtra) {
      EXPECT_EQ(extra, e.getExtra()) << e.what();
    }
  }
}

bool isLockRefusal(int e) { return e == EAGAIN || e == EACCES; }

class FileDBBinaryFileTest : public ::testing::Test {
 protected:
  void SetUp() override { g_faults = Faults(); }
  void TearDown() override { vel_setPlatformCalls(nullptr); }
  // A file of `content` at `path`, closed again.
  void makeFile(const std::string& content) {
    FileDBBinaryFile f;
    f.openNew(path);
    f.write(content);
    f.close();
  }
  std::uint64_t sizeOnDisk() {
    struct stat st;
    EXPECT_EQ(0, ::stat(path.c_str(), &st));
    return static_cast<std::uint64_t>(st.st_size);
  }
  const VELTestUtil::TempDir d_tmp{"filedbbinaryfile"};
  const std::string dir = d_tmp.path();
  const std::string path = dir + "/table.vkey";
};

// The same, with the failing system calls installed for the whole test.
class FileDBBinaryFileFaultTest : public FileDBBinaryFileTest {
 protected:
  const PlatformGuard d_faulty{faultyCalls()};
};

// --- opening -------------------------------------------------------------------

TEST_F(FileDBBinaryFileTest, NewFileIsOwnerReadWriteOnly) {
  FileDBBinaryFile f;
  f.openNew(path);
  EXPECT_EQ(path, f.getFileName().str());
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777u);
  EXPECT_EQ(0u, f.getSize());
}

TEST_F(FileDBBinaryFileTest, OpenNewOnExistingPathFailsAndStaysClosed) {
  makeFile("keep");
  FileDBBinaryFile f;
  expectError([&] { f.openNew(path); }, VELDBError::kFileExists, "vel_openExclusive-" + path, true, 17);
  expectError([&] { f.getSize(); }, VELDBError::kNotOpen, "", false);
  EXPECT_TRUE(f.getFileName().empty());
  EXPECT_EQ(4u, sizeOnDisk());  // the existing file is untouched
  f.openNew(dir + "/other");    // still usable
}

TEST_F(FileDBBinaryFileTest, OpenNewInMissingDirectoryCannotCreate) {
  FileDBBinaryFile f;
  const std::string bad = dir + "/missing/x";
  expectError([&] { f.openNew(bad); }, VELDBError::kCannotCreate, "vel_openExclusive-" + bad, true, ENOENT);
}

TEST_F(FileDBBinaryFileTest, OpenExistingMissingFileCannotOpen) {
  FileDBBinaryFile f;
  const std::string missing = dir + "/missing.vkey";
  expectError([&] { f.openExisting(missing, VELDBConnectInfo::ReadOnly); }, VELDBError::kCannotOpen,
              "vel_openSharedRead(" + missing + ")", true, ENOENT);
  expectError([&] { f.openExisting(missing, VELDBConnectInfo::ReadWrite); }, VELDBError::kCannotOpen,
              "vel_openExclusive(" + missing + ")", true, ENOENT);
  EXPECT_THROW(FileDBBinaryFile(missing, VELDBConnectInfo::ReadOnly), VELDBException);
  EXPECT_FALSE(FileDBBinaryFile::exists(missing));
}

TEST_F(FileDBBinaryFileTest, OpenExistingWithUnknownModeOpensNothing) {
  makeFile("x");
  FileDBBinaryFile f;
  expectError([&] { f.openExisting(path, static_cast<VELDBConnectInfo::AccessMode>(2)); }, VELDBError::kCannotOpen, "",
              true, 0);
  expectError([&] { f.getSize(); }, VELDBError::kNotOpen, "", false);
}

TEST_F(FileDBBinaryFileTest, SecondOpenOnOpenObjectIsRefused) {
  makeFile("data");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  expectError([&] { f.openNew(dir + "/n"); }, VELDBError::kAlreadyOpen, "", false);
  expectError([&] { f.openExisting(path, VELDBConnectInfo::ReadOnly); }, VELDBError::kAlreadyOpen, "", false);
  expectError([&] { f.openTmpFile(); }, VELDBError::kAlreadyOpen, "", false);
  EXPECT_FALSE(FileDBBinaryFile::exists(dir + "/n"));
  VELString out;
  f.read(out, 4);  // the first open is intact
  EXPECT_EQ("data", out);
}

TEST_F(FileDBBinaryFileTest, ClosedObjectRefusesEveryOperation) {
  FileDBBinaryFile f;
  VELString out;
  char buf[4];
  const std::uint64_t four = 4;
  const long zero = 0;
  const FileDBBinaryFile::Origin begin = FileDBBinaryFile::Begin;
  const std::function<void()> ops[] = {
      [&] { f.close(); },
      [&] { f.read(out, 4); },
      [&] { f.read(buf, four); },
      [&] { f.write(VELString("abcd")); },
      [&] { f.write(buf, four); },
      [&] { f.setPosition(zero, begin); },
      [&] { f.setPosition(std::uint64_t{0}); },
      [&] { f.getSize(); },
      [&] { f.setSize(0); },
      [&] { f.lock(0, 1, VEL_LOCK_WRITE); },
      [&] { f.unlock(0, 1); },
      [&] { f.reserve(10); },
      [&] { f.sync(); },
  };
  for (const auto& op : ops) expectError(op, VELDBError::kNotOpen, "", false);
}

TEST_F(FileDBBinaryFileTest, ReopensAfterClose) {
  FileDBBinaryFile f;
  f.openNew(path);
  f.write(VELString("abc"));
  f.close();
  EXPECT_TRUE(f.getFileName().empty());
  f.openExisting(path, VELDBConnectInfo::ReadWrite);
  EXPECT_EQ(path, f.getFileName().str());
  EXPECT_EQ(3u, f.getSize());
  f.close();
  f.openTmpFile();
  f.close();
  f.openExisting(path, VELDBConnectInfo::ReadOnly);
}

// --- transfers, positions and sizes ---------------------------------------------

TEST_F(FileDBBinaryFileTest, WritesAndReadsAtPositions) {
  FileDBBinaryFile f;
  f.openNew(path);
  f.write(VELString("0123456789"));
  EXPECT_EQ(10u, f.setPosition(0L, FileDBBinaryFile::End));
  EXPECT_EQ(10u, f.getSize());
  EXPECT_EQ(4u, f.setPosition(std::uint64_t{4}));
  f.write(VELString("AB"));
  EXPECT_EQ(8u, f.setPosition(2L, FileDBBinaryFile::Current));
  EXPECT_EQ(3u, f.setPosition(-5L, FileDBBinaryFile::Current));
  VELString out;
  f.read(out, 4);
  EXPECT_EQ("3AB6", out);
  // An unknown origin counts from the start.
  EXPECT_EQ(1u, f.setPosition(1L, static_cast<FileDBBinaryFile::Origin>(7)));
  f.read(out, 0);
  EXPECT_TRUE(out.empty());
}

TEST_F(FileDBBinaryFileTest, ReadPastEndReportsBytesAvailable) {
  makeFile("0123456789");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  f.setPosition(std::uint64_t{4});
  VELString out = "unchanged";
  expectError([&] { f.read(out, 10); }, VELDBError::kRead, "vel_read-" + path, true, 6);
  EXPECT_EQ("unchanged", out);
  f.setPosition(0L, FileDBBinaryFile::End);
  char c;
  expectError([&] { f.read(&c, std::uint64_t{1}); }, VELDBError::kRead, "vel_read-" + path, true, 0);
}

TEST_F(FileDBBinaryFileTest, HugeReadCountFailsLikeAShortRead) {
  // A damaged length field must not cost its size in memory.
  makeFile("0123456789");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  f.setPosition(std::uint64_t{3});
  VELString out;
  expectError([&] { f.read(out, 0x7FFFFFFFULL); }, VELDBError::kRead, "vel_read-" + path, true, 7);
  expectError([&] { f.read(out, 0x100000000ULL); }, VELDBError::kRead, "vel_read-" + path, true, 0);
}

TEST_F(FileDBBinaryFileTest, PositionsAt2GiBAndBeyondAreRefused) {
  FileDBBinaryFile f;
  f.openNew(path);
  f.write(VELString("abc"));
  for (std::uint64_t p : {std::uint64_t{k2GiB}, std::uint64_t{0xFFFFFFFFULL}, std::uint64_t{0x100000000ULL},
                          std::uint64_t{0x100000001ULL}, ~std::uint64_t{0}}) {
    expectError([&] { f.setPosition(p); }, VELDBError::kWrite, "vel_seek-" + path, true, EINVAL);
  }
  const long wide = 0x100000001L;  // not cut to 1
  expectError([&] { f.setPosition(wide, FileDBBinaryFile::Begin); }, VELDBError::kWrite, "vel_seek-" + path, true,
              EINVAL);
  expectError([&] { f.setPosition(-1L, FileDBBinaryFile::Begin); }, VELDBError::kWrite, "vel_seek-" + path, true,
              EINVAL);
  // The largest position is still reachable, and nothing was overwritten.
  EXPECT_EQ(0x7FFFFFFFu, f.setPosition(std::uint64_t{0x7FFFFFFF}));
  EXPECT_EQ(3u, f.getSize());
}

TEST_F(FileDBBinaryFileTest, SetSizeGrowsWithZerosAndCuts) {
  FileDBBinaryFile f;
  f.openNew(path);
  f.write(VELString("abc"));
  f.setSize(6);
  EXPECT_EQ(6u, f.getSize());
  f.setPosition(std::uint64_t{0});
  VELString out;
  f.read(out, 6);
  EXPECT_EQ(VELString("abc\0\0\0", 6), out);
  f.setSize(1);
  EXPECT_EQ(1u, sizeOnDisk());
}

TEST_F(FileDBBinaryFileTest, ReadOnlyOpenCannotWrite) {
  makeFile("abc");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  expectError([&] { f.write(VELString("x")); }, VELDBError::kWrite, "vel_write-" + path, true, EBADF);
}

TEST_F(FileDBBinaryFileTest, TemporaryFileIsAnonymousPrivateAndGoneAfterClose) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ASSERT_EQ(0, ::setenv("TMPDIR", dir.c_str(), 1));
  InspectableFile f;
  f.openTmpFile();
  if (old) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_FALSE(f.getFileName().empty());
  struct stat st;
  ASSERT_EQ(0, ::fstat(f.getFileDescriptor(), &st));
  EXPECT_EQ(0u, st.st_nlink);  // no name in any directory
  EXPECT_EQ(0600u, st.st_mode & 0777u);
  f.write(VELString("scratch"));
  EXPECT_EQ(7u, f.getSize());
  f.setPosition(std::uint64_t{0});
  VELString out;
  f.read(out, 7);
  EXPECT_EQ("scratch", out);
  const std::string listing = "test -z \"$(ls -A '" + dir + "')\"";
  EXPECT_EQ(0, std::system(listing.c_str())) << "temporary file has a name";
  f.close();
  EXPECT_TRUE(f.getFileName().empty());
  EXPECT_EQ(-1, f.getFileDescriptor());
  f.openTmpFile();  // and again
}

TEST_F(FileDBBinaryFileTest, StaticPathOperations) {
  makeFile("x");
  EXPECT_TRUE(FileDBBinaryFile::exists(path));
  EXPECT_EQ(path, FileDBBinaryFile::fullPathName(dir + "/./table.vkey"));
  const std::string moved = dir + "/moved.vkey";
  FileDBBinaryFile::rename(path, moved);
  EXPECT_FALSE(FileDBBinaryFile::exists(path));
  EXPECT_TRUE(FileDBBinaryFile::exists(moved));
  expectError([&] { FileDBBinaryFile::rename(path, moved); }, VELDBError::kCannotCreate,
              "vel_rename-" + path + " to " + moved, true, ENOENT);
  FileDBBinaryFile::remove(moved);
  EXPECT_FALSE(FileDBBinaryFile::exists(moved));
  expectError([&] { FileDBBinaryFile::remove(moved); }, VELDBError::kCannotDelete, "vel_unlink-" + moved, true, ENOENT);
  const std::string nowhere = dir + "/no/dir/x";
  expectError([&] { FileDBBinaryFile::fullPathName(nowhere); }, VELDBError::kCannotOpen, "vel_fullpath-" + nowhere,
              true, ENOENT);
}

// --- locks ---------------------------------------------------------------------

TEST_F(FileDBBinaryFileTest, ReadWriteOpenExcludesOthersInProcess) {
  makeFile("x");
  FileDBBinaryFile writer(path, VELDBConnectInfo::ReadWrite);
  for (auto mode : {VELDBConnectInfo::ReadWrite, VELDBConnectInfo::ReadOnly}) {
    FileDBBinaryFile other;
    try {
      other.openExisting(path, mode);
      ADD_FAILURE() << "second open succeeded, mode " << mode;
    } catch (const VELDBException& e) {
      EXPECT_EQ(VELDBError::kLock, e.getError());
      EXPECT_EQ(
          mode == VELDBConnectInfo::ReadWrite ? "vel_openExclusive(" + path + ")" : "vel_openSharedRead(" + path + ")",
          e.getMessage());
      EXPECT_TRUE(isLockRefusal(static_cast<int>(e.getExtra()))) << e.getExtra();
    }
    expectError([&] { other.getSize(); }, VELDBError::kNotOpen, "", false);
  }
  writer.close();  // releases the lock
  FileDBBinaryFile next(path, VELDBConnectInfo::ReadWrite);
}

TEST_F(FileDBBinaryFileTest, NewFileHoldsTheWriteLock) {
  FileDBBinaryFile creator;
  creator.openNew(path);
  FileDBBinaryFile reader;
  EXPECT_THROW(reader.openExisting(path, VELDBConnectInfo::ReadOnly), VELDBException);
}

TEST_F(FileDBBinaryFileTest, ReadOnlyOpensShareAndExcludeAWriter) {
  makeFile("x");
  FileDBBinaryFile a(path, VELDBConnectInfo::ReadOnly);
  FileDBBinaryFile b(path, VELDBConnectInfo::ReadOnly);
  FileDBBinaryFile writer;
  EXPECT_THROW(writer.openExisting(path, VELDBConnectInfo::ReadWrite), VELDBException);
  a.close();
  EXPECT_THROW(writer.openExisting(path, VELDBConnectInfo::ReadWrite), VELDBException);  // b still reads
  b.close();
  writer.openExisting(path, VELDBConnectInfo::ReadWrite);
}

// Runs `child` in a forked process and returns its exit status (or -1).
int inChild(const std::function<int()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = child();
    } catch (...) {
      code = 98;
    }
    ::_exit(code);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// 0 when the open succeeded, 1 when it was refused for the lock, 2 otherwise.
int tryOpen(const std::string& path, VELDBConnectInfo::AccessMode mode) {
  FileDBBinaryFile f;
  try {
    f.openExisting(path, mode);
    return 0;
  } catch (const VELDBException& e) {
    return e.getError() == VELDBError::kLock ? 1 : 2;
  }
}

TEST_F(FileDBBinaryFileTest, LocksHoldAcrossProcesses) {
  makeFile("x");
  {
    FileDBBinaryFile writer(path, VELDBConnectInfo::ReadWrite);
    EXPECT_EQ(1, inChild([&] { return tryOpen(path, VELDBConnectInfo::ReadWrite); }));
    EXPECT_EQ(1, inChild([&] { return tryOpen(path, VELDBConnectInfo::ReadOnly); }));
  }
  {
    FileDBBinaryFile reader(path, VELDBConnectInfo::ReadOnly);
    EXPECT_EQ(0, inChild([&] { return tryOpen(path, VELDBConnectInfo::ReadOnly); }));
    EXPECT_EQ(1, inChild([&] { return tryOpen(path, VELDBConnectInfo::ReadWrite); }));
  }
  EXPECT_EQ(0, inChild([&] { return tryOpen(path, VELDBConnectInfo::ReadWrite); }));
}

TEST_F(FileDBBinaryFileTest, ExplicitRangeLocks) {
  makeFile("0123456789");
  FileDBBinaryFile a(path, VELDBConnectInfo::ReadWrite);
  a.unlock(0, 1);  // gives up the open's lock, so that a reader gets in
  FileDBBinaryFile b(path, VELDBConnectInfo::ReadOnly);
  a.lock(4, 2, VEL_LOCK_WRITE);
  try {
    b.lock(5, 1, VEL_LOCK_READ);
    ADD_FAILURE() << "overlapping lock granted";
  } catch (const VELDBException& e) {
    EXPECT_EQ(VELDBError::kLock, e.getError());
    EXPECT_EQ("vel_lockfile-" + path, e.getMessage());
    EXPECT_TRUE(isLockRefusal(static_cast<int>(e.getExtra())));
  }
  b.lock(6, 1, VEL_LOCK_READ);  // beside it is free
  a.unlock(4, 2);
  b.lock(5, 1, VEL_LOCK_READ);
}

// --- injected faults -------------------------------------------------------------

TEST_F(FileDBBinaryFileFaultTest, InterruptedAndPartialTransfersAreRetried) {
  g_faults.interruptFirst = true;
  g_faults.chunk = 3;
  FileDBBinaryFile f;
  f.openNew(path);
  const VELString data = "a slot of twenty-six bytes";
  f.write(data);
  EXPECT_GT(g_faults.writeCalls, 9);
  f.setPosition(std::uint64_t{0});
  VELString out;
  f.read(out, data.size());
  EXPECT_EQ(data, out);
  EXPECT_GT(g_faults.readCalls, 9);

  // A positional read is retried the same way and starts where it is told,
  // wherever the file position stands.
  g_faults.readCalls = 0;
  g_faults.interruptFirst = true;
  f.setPosition(std::uint64_t{0});
  char slot[15] = {0};
  f.readAt(10, slot, 15);
  EXPECT_EQ(std::string(slot, 15), "twenty-six byte");
  EXPECT_GT(g_faults.readCalls, 5);
}

TEST_F(FileDBBinaryFileFaultTest, WriteThatStopsShortFails) {
  FileDBBinaryFile f;
  f.openNew(path);
  g_faults.writeBudget = 5;  // then write returns 0
  expectError([&] { f.write(VELString("0123456789")); }, VELDBError::kWrite, "vel_write-" + path, true, 5);
  g_faults.writeBudget = 0;
  g_faults.writeErrorAtLimit = ENOSPC;
  expectError([&] { f.write(VELString("x")); }, VELDBError::kWrite, "vel_write-" + path, true, ENOSPC);
  g_faults.writeBudget = 2;  // some bytes, then no space
  expectError([&] { f.write(VELString("xyz")); }, VELDBError::kWrite, "vel_write-" + path, true, 2);
}

TEST_F(FileDBBinaryFileTest, FailingReadThrowsWithErrno) {
  makeFile("abc");
  PlatformGuard guard(faultyCalls());
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  g_faults.readError = EIO;
  VELString out;
  expectError([&] { f.read(out, 3); }, VELDBError::kRead, "vel_read-" + path, true, EIO);
  char bytes[3];
  expectError([&] { f.readAt(0, bytes, 3); }, VELDBError::kRead, "vel_read-" + path, true, EIO);
  // Past the end: a short read, reported with the bytes there were.
  g_faults.readError = 0;
  expectError([&] { f.readAt(1, bytes, 3); }, VELDBError::kRead, "vel_read-" + path, true, 2);
}

TEST_F(FileDBBinaryFileFaultTest, GrowthPast2GiBIsRefusedBeforeWriting) {
  FileDBBinaryFile f;
  f.openNew(path);
  expectError([&] { f.setSize(k2GiB); }, VELDBError::kWrite, "file would exceed 2 GiB-" + path, true,
              static_cast<long long>(k2GiB));
  EXPECT_EQ(0, g_faults.truncateCalls);
  f.setPosition(std::uint64_t{0x7FFFFF00});
  const VELString slot(0x200, 's');
  EXPECT_THROW(f.write(slot), VELDBException);
  EXPECT_EQ(0, g_faults.writeCalls);
  EXPECT_EQ(0u, f.getSize());
  // Up to the limit is fine.
  f.setPosition(std::uint64_t{0x7FFFFFFE});
  f.write(VELString("z"));
  EXPECT_EQ(0x7FFFFFFFu, f.getSize());
  expectError([&] { f.write(VELString("z")); }, VELDBError::kWrite, "file would exceed 2 GiB-" + path, true,
              static_cast<long long>(k2GiB));
}

TEST_F(FileDBBinaryFileFaultTest, ReserveWithoutSpaceFails) {
  FileDBBinaryFile f;
  f.openNew(path);
  f.reserve(4096);
  g_faults.reserveError = ENOSPC;
  expectError([&] { f.reserve(8192); }, VELDBError::kWrite, "vel_reserve-" + path, true, ENOSPC);
  EXPECT_THROW(f.reserve(k2GiB), VELDBException);
}

TEST_F(FileDBBinaryFileFaultTest, FailingSizeAndSeekCalls) {
  FileDBBinaryFile f;
  f.openNew(path);
  g_faults.sizeError = EIO;
  expectError([&] { f.getSize(); }, VELDBError::kRead, "vel_filesize", true, EIO);
  g_faults.seekError = ESPIPE;
  expectError([&] { f.setPosition(0L, FileDBBinaryFile::End); }, VELDBError::kWrite, "vel_seek-" + path, true, ESPIPE);
}

TEST_F(FileDBBinaryFileFaultTest, FailingTemporaryFile) {
  g_faults.tmpFails = true;
  FileDBBinaryFile f;
  expectError([&] { f.openTmpFile(); }, VELDBError::kCannotCreate, "tmpfile", false);
  expectError([&] { f.close(); }, VELDBError::kNotOpen, "", false);
}

TEST_F(FileDBBinaryFileFaultTest, FailedCloseLeavesObjectClosed) {
  FileDBBinaryFile f;
  f.openNew(path);
  g_faults.closeError = EIO;
  expectError([&] { f.close(); }, VELDBError::kCannotClose, "vel_close", true, EIO);
  expectError([&] { f.close(); }, VELDBError::kNotOpen, "", false);  // the descriptor is not touched again
  EXPECT_EQ(1, g_faults.closeCalls);
  g_faults.closeError = 0;
  f.openExisting(path, VELDBConnectInfo::ReadWrite);  // the lock went with the descriptor
}

TEST_F(FileDBBinaryFileFaultTest, DestructorSwallowsAFailingClose) {
  {
    FileDBBinaryFile f;
    f.openNew(path);
    g_faults.closeError = EIO;
  }  // must not throw
  EXPECT_EQ(1, g_faults.closeCalls);
  g_faults.closeError = 0;
  FileDBBinaryFile again(path, VELDBConnectInfo::ReadWrite);
}

}  // namespace
