// Plan: drive a real file through open, transfer, size, lock and close, checking every
// failure's number and message (the file, the operation and the cause, in words); refuse
// what is not a regular file without waiting on it; then fail the system calls one by one.
#include "filedbbinaryfile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <initializer_list>
#include <string>
#include <thread>

#include "velexception.h"
#include "velplatform.h"

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
  bool interruptFirst = false;     // first read/write fails with EINTR
  std::size_t chunk = 0;           // at most this many bytes per read/write (0: all)
  long long writeBudget = -1;      // bytes that fit before writes stop (-1: no limit)
  int writeErrorAtLimit = 0;       // 0: write returns 0 at the limit; else -1 with this errno
  int readError = 0;               // reads fail with this errno
  int closeError = 0;              // close closes, then reports this errno
  int reserveError = 0;            // reserveSpace returns this
  int sizeError = 0;               // fileSize fails with this errno
  int seekError = 0;               // seeks fail with this errno
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
  return faultyReadWith(count,
                        [&](std::size_t n) { return vel_defaultPlatform().readFileAt(fd, buffer, n, offset); });
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

// Runs `op` and checks the VELDBException it must throw: its number, and a
// message meant for the user that holds each of `parts` (the file, the
// operation, the cause), names no internal call and carries no extra number.
void expectError(const std::function<void()>& op, unsigned long number,
                 std::initializer_list<std::string> parts) {
  try {
    op();
    ADD_FAILURE() << "no exception, expected 0x" << std::hex << number;
  } catch (const VELDBException& e) {
    EXPECT_EQ(number, e.getError()) << e.what();
    const std::string message = e.getMessage();
    for (const std::string& part : parts) {
      EXPECT_NE(std::string::npos, message.find(part)) << "\"" << part << "\" not in: " << message;
    }
    EXPECT_EQ(std::string::npos, message.find("vel_")) << message;
    EXPECT_FALSE(e.hasExtra()) << e.what();
  }
}

void expectNotOpen(const std::function<void()>& op) {
  expectError(op, 0x8C232, {"no file is open"});
}

class FileDBBinaryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_faults = Faults();
    char pattern[] = "/tmp/filedbbinaryfile-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    dir = pattern;
    path = dir + "/table.vkey";
  }
  void TearDown() override {
    vel_setPlatformCalls(nullptr);
    const std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, std::system(cmd.c_str()));
  }
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
  std::string dir;
  std::string path;
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
  expectError([&] { f.openNew(path); }, 0x8C24E, {path + ": cannot create: File exists"});
  expectNotOpen([&] { f.getSize(); });
  EXPECT_TRUE(f.getFileName().empty());
  EXPECT_EQ(4u, sizeOnDisk());  // the existing file is untouched
  f.openNew(dir + "/other");    // still usable
}

TEST_F(FileDBBinaryFileTest, OpenNewInMissingDirectoryCannotCreate) {
  FileDBBinaryFile f;
  const std::string bad = dir + "/missing/x";
  expectError([&] { f.openNew(bad); }, 0x8C234, {bad + ": cannot create: No such file or directory"});
}

TEST_F(FileDBBinaryFileTest, OpenExistingMissingFileCannotOpen) {
  FileDBBinaryFile f;
  const std::string missing = dir + "/missing.vkey";
  expectError([&] { f.openExisting(missing, VELDBConnectInfo::ReadOnly); }, 0x8C236,
              {missing + ": cannot open for reading: No such file or directory"});
  expectError([&] { f.openExisting(missing, VELDBConnectInfo::ReadWrite); }, 0x8C236,
              {missing + ": cannot open for reading and writing: No such file or directory"});
  EXPECT_THROW(FileDBBinaryFile(missing, VELDBConnectInfo::ReadOnly), VELDBException);
  EXPECT_FALSE(FileDBBinaryFile::exists(missing));
}

TEST_F(FileDBBinaryFileTest, OpenExistingWithUnknownModeOpensNothing) {
  makeFile("x");
  FileDBBinaryFile f;
  expectError([&] { f.openExisting(path, static_cast<VELDBConnectInfo::AccessMode>(2)); }, 0x8C236,
              {path + ": cannot open: unknown access mode 2"});
  expectNotOpen([&] { f.getSize(); });
}

TEST_F(FileDBBinaryFileTest, SecondOpenOnOpenObjectIsRefused) {
  makeFile("data");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  for (const std::function<void()>& op : std::initializer_list<std::function<void()>>{
           [&] { f.openNew(dir + "/n"); },
           [&] { f.openExisting(path, VELDBConnectInfo::ReadOnly); },
           [&] { f.openTmpFile(); },
       }) {
    expectError(op, 0x8C233, {path + ": already open"});
  }
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
  for (const auto& op : ops) expectNotOpen(op);
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

// --- what is not a regular file ---------------------------------------------------

// Runs `op` on a thread of its own and gives back what it threw (null for
// nothing).  An `op` still running after a few seconds is a failure; then
// `unblock` frees it, so that the test ends either way.
std::exception_ptr runWithDeadline(const std::function<void()>& op, const std::function<void()>& unblock) {
  std::promise<std::exception_ptr> done;
  std::future<std::exception_ptr> result = done.get_future();
  std::thread worker([&] {
    try {
      op();
      done.set_value(nullptr);
    } catch (...) {
      done.set_value(std::current_exception());
    }
  });
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "still waiting after 5 seconds";
    unblock();
  }
  worker.join();
  return result.get();
}

const char* operationOf(VELDBConnectInfo::AccessMode mode) {
  return mode == VELDBConnectInfo::ReadOnly ? "open for reading" : "open for reading and writing";
}

TEST_F(FileDBBinaryFileTest, FifoIsRefusedAtOnceInEitherMode) {
  ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
  for (auto mode : {VELDBConnectInfo::ReadOnly, VELDBConnectInfo::ReadWrite}) {
    FileDBBinaryFile f;
    int writer = -1;
    const std::exception_ptr thrown = runWithDeadline([&] { f.openExisting(path, mode); },
                                                      [&] { writer = ::open(path.c_str(), O_RDWR | O_NONBLOCK); });
    if (writer >= 0) ::close(writer);
    expectError([&] { if (thrown) std::rethrow_exception(thrown); }, 0x8C236,
                {path + ": cannot " + operationOf(mode) + ": it is not a regular file"});
    expectNotOpen([&] { f.getSize(); });
  }
  // Nor is a FIFO's name taken for a new file.
  FileDBBinaryFile f;
  expectError([&] { f.openNew(path); }, 0x8C24E, {path + ": cannot create: File exists"});
}

TEST_F(FileDBBinaryFileTest, DirectoryAndDeviceAreRefused) {
  ASSERT_EQ(0, ::mkdir(path.c_str(), 0700));
  for (auto mode : {VELDBConnectInfo::ReadOnly, VELDBConnectInfo::ReadWrite}) {
    FileDBBinaryFile f;
    expectError([&] { f.openExisting(path, mode); }, 0x8C236,
                {path + ": cannot " + operationOf(mode) + ": it is a directory"});
    expectNotOpen([&] { f.getSize(); });
  }
  FileDBBinaryFile f;
  expectError([&] { f.openExisting("/dev/null", VELDBConnectInfo::ReadOnly); }, 0x8C236,
              {"/dev/null: cannot open for reading: it is not a regular file"});
  f.openTmpFile();  // the object is still usable
}

TEST_F(FileDBBinaryFileTest, SymbolicLinksAreFollowed) {
  makeFile("linked");
  const std::string link = dir + "/link.vkey";
  ASSERT_EQ(0, ::symlink(path.c_str(), link.c_str()));
  {
    FileDBBinaryFile viaLink(link, VELDBConnectInfo::ReadWrite);
    VELString out;
    viaLink.read(out, 6);
    EXPECT_EQ("linked", out);
    // One file under two names: the lock is the file's.
    FileDBBinaryFile direct;
    expectError([&] { direct.openExisting(path, VELDBConnectInfo::ReadOnly); }, 0x8C23A, {path, "it is in use"});
  }
  // A link is checked for what it leads to.
  const std::string fifo = dir + "/fifo";
  const std::string toFifo = dir + "/fifo-link.vkey";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, ::symlink(fifo.c_str(), toFifo.c_str()));
  FileDBBinaryFile f;
  int writer = -1;
  const std::exception_ptr thrown =
      runWithDeadline([&] { f.openExisting(toFifo, VELDBConnectInfo::ReadOnly); },
                      [&] { writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK); });
  if (writer >= 0) ::close(writer);
  expectError([&] { if (thrown) std::rethrow_exception(thrown); }, 0x8C236, {toFifo, "it is not a regular file"});
  // A dangling link is a missing file to open, and an existing name to create.
  const std::string dangling = dir + "/dangling.vkey";
  ASSERT_EQ(0, ::symlink((dir + "/nowhere").c_str(), dangling.c_str()));
  expectError([&] { f.openExisting(dangling, VELDBConnectInfo::ReadOnly); }, 0x8C236,
              {dangling + ": cannot open for reading: No such file or directory"});
  expectError([&] { f.openNew(dangling); }, 0x8C24E, {dangling + ": cannot create: File exists"});
  EXPECT_FALSE(FileDBBinaryFile::exists(dir + "/nowhere"));
}

// Opens fail with `g_openError` for a read-write open of `g_refusedPath`.
std::string g_refusedPath;
int g_openError = 0;
int refusingOpen(const char* path, int flags, int mode) {
  if (path == g_refusedPath && (flags & O_ACCMODE) == O_RDWR) {
    errno = g_openError;
    return -1;
  }
  return vel_defaultPlatform().openFile(path, flags, mode);
}

TEST_F(FileDBBinaryFileTest, ReadOnlyFileOpenedForWritingSaysWhy) {
  makeFile("data");
  ASSERT_EQ(0, ::chmod(path.c_str(), 0400));
  FileDBBinaryFile f;
  if (::geteuid() != 0) {  // permissions bind everyone but root
    expectError([&] { f.openExisting(path, VELDBConnectInfo::ReadWrite); }, 0x8C236,
                {path + ": cannot open for reading and writing: Permission denied"});
  }
  VELPlatformCalls calls = vel_defaultPlatform();
  calls.openFile = refusingOpen;
  PlatformGuard guard(calls);
  g_refusedPath = path;
  for (const auto& refusal : {std::make_pair(EACCES, "Permission denied"), std::make_pair(EROFS, "Read-only file system")}) {
    g_openError = refusal.first;
    expectError([&] { f.openExisting(path, VELDBConnectInfo::ReadWrite); }, 0x8C236,
                {path + ": cannot open for reading and writing: " + refusal.second});
  }
  f.openExisting(path, VELDBConnectInfo::ReadOnly);  // reading is still possible
}

TEST_F(FileDBBinaryFileTest, EmptyAndShortFilesSayWhereTheyEnd) {
  char header[80];
  makeFile("");
  {
    FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
    expectError([&] { f.read(header, std::uint64_t{80}); }, 0x8C238,
                {path + ": cannot read 80 bytes at offset 0: the file is empty, 80 bytes expected"});
  }
  ASSERT_EQ(0, ::unlink(path.c_str()));
  makeFile("thirteen byte");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  expectError([&] { f.read(header, std::uint64_t{80}); }, 0x8C238,
              {path + ": cannot read 80 bytes at offset 0: the file ends after 13 bytes, 80 expected"});
  expectError([&] { f.readAt(0, header, 80); }, 0x8C238,
              {path + ": cannot read 80 bytes at offset 0: the file ends after 13 bytes, 80 expected"});
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
  expectError([&] { f.read(out, 10); }, 0x8C238,
              {path + ": cannot read 10 bytes at offset 4: the file ends after 10 bytes, 14 expected"});
  EXPECT_EQ("unchanged", out);
  f.setPosition(0L, FileDBBinaryFile::End);
  char c;
  expectError([&] { f.read(&c, std::uint64_t{1}); }, 0x8C238,
              {path + ": cannot read 1 byte at offset 10: the file ends after 10 bytes, 11 expected"});
}

TEST_F(FileDBBinaryFileTest, HugeReadCountFailsLikeAShortRead) {
  // A damaged length field must not cost its size in memory.
  makeFile("0123456789");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  f.setPosition(std::uint64_t{3});
  VELString out;
  expectError([&] { f.read(out, 0x7FFFFFFFULL); }, 0x8C238,
              {path + ": cannot read 2147483647 bytes at offset 3: the file ends after 10 bytes, 2147483650 expected"});
  expectError([&] { f.read(out, 0x100000000ULL); }, 0x8C238, {path, "cannot read 4294967296 bytes", "4 GiB"});
}

TEST_F(FileDBBinaryFileTest, PositionsAt2GiBAndBeyondAreRefused) {
  FileDBBinaryFile f;
  f.openNew(path);
  f.write(VELString("abc"));
  for (std::uint64_t p : {std::uint64_t{k2GiB}, std::uint64_t{0xFFFFFFFFULL}, std::uint64_t{0x100000000ULL}, std::uint64_t{0x100000001ULL}, ~std::uint64_t{0}}) {
    expectError([&] { f.setPosition(p); }, 0x8C239,
                {path + ": cannot move to offset " + std::to_string(p), "beyond the largest file size"});
  }
  const long wide = 0x100000001L;  // not cut to 1
  expectError([&] { f.setPosition(wide, FileDBBinaryFile::Begin); }, 0x8C239,
              {path + ": cannot move to offset 4294967297", "beyond the largest file size"});
  expectError([&] { f.setPosition(-1L, FileDBBinaryFile::Begin); }, 0x8C239,
              {path + ": cannot move to offset -1: the offset is negative"});
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
  expectError([&] { f.write(VELString("x")); }, 0x8C239,
              {path + ": cannot write 1 byte at offset 0: the file is open for reading only"});
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
  expectError([&] { FileDBBinaryFile::rename(path, moved); }, 0x8C234,
              {path + ": cannot rename to " + moved + ": No such file or directory"});
  FileDBBinaryFile::remove(moved);
  EXPECT_FALSE(FileDBBinaryFile::exists(moved));
  expectError([&] { FileDBBinaryFile::remove(moved); }, 0x8C235, {moved + ": cannot remove: No such file or directory"});
  const std::string nowhere = dir + "/no/dir/x";
  expectError([&] { FileDBBinaryFile::fullPathName(nowhere); }, 0x8C236,
              {nowhere + ": cannot resolve the full path: No such file or directory"});
}

// --- locks ---------------------------------------------------------------------

TEST_F(FileDBBinaryFileTest, ReadWriteOpenExcludesOthersInProcess) {
  makeFile("x");
  FileDBBinaryFile writer(path, VELDBConnectInfo::ReadWrite);
  for (auto mode : {VELDBConnectInfo::ReadWrite, VELDBConnectInfo::ReadOnly}) {
    FileDBBinaryFile other;
    const std::string operation = mode == VELDBConnectInfo::ReadWrite ? "open for reading and writing" : "open for reading";
    expectError([&] { other.openExisting(path, mode); }, 0x8C23A,
                {path + ": cannot " + operation + ": it is in use", "holds its lock"});
    expectNotOpen([&] { other.getSize(); });
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
    return e.getError() == 0x8C23A ? 1 : 2;
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
  expectError([&] { b.lock(5, 1, VEL_LOCK_READ); }, 0x8C23A,
              {path + ": cannot read-lock bytes 5 to 5: another open of the file holds a lock on them"});
  b.lock(6, 1, VEL_LOCK_READ);  // beside it is free
  a.unlock(4, 2);
  b.lock(5, 1, VEL_LOCK_READ);
}

// --- injected faults -------------------------------------------------------------

TEST_F(FileDBBinaryFileTest, InterruptedAndPartialTransfersAreRetried) {
  PlatformGuard guard(faultyCalls());
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

TEST_F(FileDBBinaryFileTest, WriteThatStopsShortFails) {
  PlatformGuard guard(faultyCalls());
  FileDBBinaryFile f;
  f.openNew(path);
  g_faults.writeBudget = 5;  // then write returns 0
  expectError([&] { f.write(VELString("0123456789")); }, 0x8C239,
              {path + ": cannot write 10 bytes at offset 0: only 5 of 10 bytes were written"});
  g_faults.writeBudget = 0;
  g_faults.writeErrorAtLimit = ENOSPC;
  f.setPosition(std::uint64_t{5});
  expectError([&] { f.write(VELString("x")); }, 0x8C239,
              {path + ": cannot write 1 byte at offset 5: No space left on device"});
  g_faults.writeBudget = 2;  // some bytes, then no space
  expectError([&] { f.write(VELString("xyz")); }, 0x8C239,
              {path + ": cannot write 3 bytes", "only 2 of 3 bytes were written: No space left on device"});
}

TEST_F(FileDBBinaryFileTest, FailingReadThrowsWithErrno) {
  makeFile("abc");
  PlatformGuard guard(faultyCalls());
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  g_faults.readError = EIO;
  VELString out;
  expectError([&] { f.read(out, 3); }, 0x8C238, {path + ": cannot read 3 bytes at offset 0: Input/output error"});
  char bytes[3];
  expectError([&] { f.readAt(0, bytes, 3); }, 0x8C238,
              {path + ": cannot read 3 bytes at offset 0: Input/output error"});
  // Past the end: a short read, reported with where the file ends.
  g_faults.readError = 0;
  expectError([&] { f.readAt(1, bytes, 3); }, 0x8C238,
              {path + ": cannot read 3 bytes at offset 1: the file ends after 3 bytes, 4 expected"});
}

TEST_F(FileDBBinaryFileTest, GrowthPast2GiBIsRefusedBeforeWriting) {
  PlatformGuard guard(faultyCalls());
  FileDBBinaryFile f;
  f.openNew(path);
  expectError([&] { f.setSize(k2GiB); }, 0x8C239,
              {path + ": cannot change the size to 2147483648 bytes: the file would reach 2147483648 bytes"});
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
  expectError([&] { f.write(VELString("z")); }, 0x8C239,
              {path + ": cannot write 1 byte at offset 2147483647: the file would reach 2147483648 bytes"});
}

TEST_F(FileDBBinaryFileTest, ReserveWithoutSpaceFails) {
  PlatformGuard guard(faultyCalls());
  FileDBBinaryFile f;
  f.openNew(path);
  f.reserve(4096);
  g_faults.reserveError = ENOSPC;
  expectError([&] { f.reserve(8192); }, 0x8C239,
              {path + ": cannot reserve disk space for 8192 bytes: No space left on device"});
  EXPECT_THROW(f.reserve(k2GiB), VELDBException);
}

TEST_F(FileDBBinaryFileTest, FailingSizeAndSeekCalls) {
  PlatformGuard guard(faultyCalls());
  FileDBBinaryFile f;
  f.openNew(path);
  g_faults.sizeError = EIO;
  expectError([&] { f.getSize(); }, 0x8C238, {path + ": cannot find the file size: Input/output error"});
  g_faults.seekError = ESPIPE;
  expectError([&] { f.setPosition(0L, FileDBBinaryFile::End); }, 0x8C239,
              {path + ": cannot move to offset 0 from the end: Illegal seek"});
}

TEST_F(FileDBBinaryFileTest, FailingTemporaryFile) {
  PlatformGuard guard(faultyCalls());
  g_faults.tmpFails = true;
  FileDBBinaryFile f;
  expectError([&] { f.openTmpFile(); }, 0x8C234, {"(temporary file): cannot create: Too many open files"});
  expectNotOpen([&] { f.close(); });
}

TEST_F(FileDBBinaryFileTest, FailedCloseLeavesObjectClosed) {
  PlatformGuard guard(faultyCalls());
  FileDBBinaryFile f;
  f.openNew(path);
  g_faults.closeError = EIO;
  expectError([&] { f.close(); }, 0x8C237, {path + ": cannot close: Input/output error"});
  expectNotOpen([&] { f.close(); });  // the descriptor is not touched again
  EXPECT_EQ(1, g_faults.closeCalls);
  g_faults.closeError = 0;
  f.openExisting(path, VELDBConnectInfo::ReadWrite);  // the lock went with the descriptor
}

TEST_F(FileDBBinaryFileTest, DestructorSwallowsAFailingClose) {
  PlatformGuard guard(faultyCalls());
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
