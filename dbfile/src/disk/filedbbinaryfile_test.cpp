// Plan: drive a real file through open, transfer, size, lock and close, checking every
// failure's number, message and extra number; then fail the system calls one by one.  Locks
// between processes are driven through whole databases by the processes test.
#include "filedbbinaryfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "velexception.h"
#include "velfaultdisk.h"
#include "velplatform.h"
#include "veltestutil.h"

namespace {

constexpr std::uint64_t k2GiB = 0x80000000ULL;

// Exposes the descriptor, to look at the file from outside.
class InspectableFile : public FileDBBinaryFile {
 public:
  using FileDBBinaryFile::getFileDescriptor;
};

using namespace VELFaultDisk;

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
  void TearDown() override { VELFaultDisk::uninstall(); }
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
  const Installed d_faulty;
};

// --- opening -------------------------------------------------------------------

// A refused open names the call and the file, gives the cause as the extra
// number, leaves the object closed and usable, and an existing file as it was.
TEST_F(FileDBBinaryFileTest, RefusedOpensNameTheirCauseAndStayClosed) {
  makeFile("keep");
  const std::string bad = dir + "/missing/x";
  const std::string missing = dir + "/missing.vkey";
  const struct {
    std::function<void(FileDBBinaryFile&)> open;
    unsigned long error;
    std::string message;
    long long extra;
  } cases[] = {
      {[&](FileDBBinaryFile& f) { f.openNew(path); }, VELDBError::kFileExists, "vel_openExclusive-" + path, EEXIST},
      {[&](FileDBBinaryFile& f) { f.openNew(bad); }, VELDBError::kCannotCreate, "vel_openExclusive-" + bad, ENOENT},
      {[&](FileDBBinaryFile& f) { f.openExisting(missing, VELDBConnectInfo::ReadOnly); }, VELDBError::kCannotOpen,
       "vel_openSharedRead(" + missing + ")", ENOENT},
      {[&](FileDBBinaryFile& f) { f.openExisting(missing, VELDBConnectInfo::ReadWrite); }, VELDBError::kCannotOpen,
       "vel_openExclusive(" + missing + ")", ENOENT},
      // An unknown access mode opens nothing.
      {[&](FileDBBinaryFile& f) { f.openExisting(path, static_cast<VELDBConnectInfo::AccessMode>(2)); },
       VELDBError::kCannotOpen, "", 0},
  };
  int n = 0;
  for (const auto& c : cases) {
    FileDBBinaryFile f;
    expectError([&] { c.open(f); }, c.error, c.message, true, c.extra);
    expectError([&] { f.getSize(); }, VELDBError::kNotOpen, "", false);
    EXPECT_TRUE(f.getFileName().empty());
    f.openNew(dir + "/usable" + std::to_string(n++));
  }
  EXPECT_EQ(4u, sizeOnDisk());
  EXPECT_THROW(FileDBBinaryFile(missing, VELDBConnectInfo::ReadOnly), VELDBException);
  EXPECT_FALSE(FileDBBinaryFile::exists(missing));
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
      [&] { f.readAt(0, buf, four); },
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

// --- transfers, positions and sizes ---------------------------------------------

TEST_F(FileDBBinaryFileTest, WritesAndReadsAtPositions) {
  FileDBBinaryFile f;
  f.openNew(path);
  EXPECT_EQ(path, f.getFileName().str());
  EXPECT_EQ(0u, f.getSize());
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
  // setSize grows with zeros and cuts.
  f.setSize(12);
  EXPECT_EQ(12u, f.getSize());
  f.setPosition(std::uint64_t{8});
  f.read(out, 4);
  EXPECT_EQ(VELString("89\0\0", 4), out);
  f.setSize(1);
  EXPECT_EQ(1u, sizeOnDisk());
}

TEST_F(FileDBBinaryFileTest, ShortReadsReportTheBytesThereWere) {
  makeFile("0123456789");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  f.setPosition(std::uint64_t{4});
  VELString out = "unchanged";
  expectError([&] { f.read(out, 10); }, VELDBError::kRead, "vel_read-" + path, true, 6);
  EXPECT_EQ("unchanged", out);
  f.setPosition(0L, FileDBBinaryFile::End);
  char c;
  expectError([&] { f.read(&c, std::uint64_t{1}); }, VELDBError::kRead, "vel_read-" + path, true, 0);
  char bytes[3];
  expectError([&] { f.readAt(8, bytes, 3); }, VELDBError::kRead, "vel_read-" + path, true, 2);
  // A huge count fails like a short read: a damaged length field must not
  // cost its size in memory.
  f.setPosition(std::uint64_t{3});
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

// The descriptors this process has open.
std::size_t openDescriptors() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

TEST_F(FileDBBinaryFileTest, ReadWriteOpenExcludesOthersInProcess) {
  makeFile("x");
  FileDBBinaryFile writer(path, VELDBConnectInfo::ReadWrite);
  const std::size_t descriptors = openDescriptors();
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
  EXPECT_EQ(descriptors, openDescriptors()) << "a refused open kept its descriptor";
  writer.close();  // releases the lock
  FileDBBinaryFile next(path, VELDBConnectInfo::ReadWrite);
  // A new file holds the write lock from its creation.
  FileDBBinaryFile creator;
  creator.openNew(dir + "/new");
  FileDBBinaryFile reader;
  EXPECT_THROW(reader.openExisting(dir + "/new", VELDBConnectInfo::ReadOnly), VELDBException);
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
  disk().interruptFirst = true;
  disk().chunk = 3;
  FileDBBinaryFile f;
  f.openNew(path);
  const VELString data = "a slot of twenty-six bytes";
  f.write(data);
  EXPECT_GT(disk().calls[kWrite], 9);
  f.setPosition(std::uint64_t{0});
  VELString out;
  f.read(out, data.size());
  EXPECT_EQ(data, out);
  EXPECT_GT(disk().calls[kRead], 9);

  // A positional read is retried the same way and starts where it is told,
  // wherever the file position stands.
  disk().calls[kRead] = 0;
  disk().interruptFirst = true;
  f.setPosition(std::uint64_t{0});
  char slot[15] = {0};
  f.readAt(10, slot, 15);
  EXPECT_EQ(std::string(slot, 15), "twenty-six byte");
  EXPECT_GT(disk().calls[kRead], 5);
}

TEST_F(FileDBBinaryFileFaultTest, WriteThatStopsShortFails) {
  FileDBBinaryFile f;
  f.openNew(path);
  disk().writeBudget = 5;  // then write returns 0
  expectError([&] { f.write(VELString("0123456789")); }, VELDBError::kWrite, "vel_write-" + path, true, 5);
  disk().writeBudget = 0;
  disk().writeErrorAtLimit = ENOSPC;
  expectError([&] { f.write(VELString("x")); }, VELDBError::kWrite, "vel_write-" + path, true, ENOSPC);
  disk().writeBudget = 2;  // some bytes, then no space
  expectError([&] { f.write(VELString("xyz")); }, VELDBError::kWrite, "vel_write-" + path, true, 2);
}

TEST_F(FileDBBinaryFileFaultTest, GrowthPast2GiBIsRefusedBeforeWriting) {
  FileDBBinaryFile f;
  f.openNew(path);
  expectError([&] { f.setSize(k2GiB); }, VELDBError::kWrite, "file would exceed 2 GiB-" + path, true,
              static_cast<long long>(k2GiB));
  EXPECT_EQ(0, disk().calls[kTruncate]);
  f.setPosition(std::uint64_t{0x7FFFFF00});
  const VELString slot(0x200, 's');
  EXPECT_THROW(f.write(slot), VELDBException);
  EXPECT_EQ(0, disk().calls[kWrite]);
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
  fail(kReserve, 1, ENOSPC, false, true);
  expectError([&] { f.reserve(8192); }, VELDBError::kWrite, "vel_reserve-" + path, true, ENOSPC);
  // Past 2 GiB is refused before the disk is asked.
  heal();
  const long long asked = disk().calls[kReserve];
  expectError([&] { f.reserve(k2GiB); }, VELDBError::kWrite, "file would exceed 2 GiB-" + path, true,
              static_cast<long long>(k2GiB));
  EXPECT_EQ(asked, disk().calls[kReserve]);
}

// A failing call: its number, the call and file as the message, and errno as
// the extra number.
TEST_F(FileDBBinaryFileFaultTest, FailingCallsReportTheirErrno) {
  makeFile("abc");
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  VELString out;
  char bytes[3];
  const struct {
    Kind kind;  // the call made to fail; kKindCount: none, the system refuses
    int error;
    std::function<void()> op;
    unsigned long number;
    std::string message;
  } cases[] = {
      {kKindCount, EBADF, [&] { f.write(VELString("x")); }, VELDBError::kWrite, "vel_write-" + path},  // read-only
      {kRead, EIO, [&] { f.read(out, 3); }, VELDBError::kRead, "vel_read-" + path},
      {kRead, EIO, [&] { f.readAt(0, bytes, 3); }, VELDBError::kRead, "vel_read-" + path},
      {kSize, EIO, [&] { f.getSize(); }, VELDBError::kRead, "vel_filesize"},
      {kSeek, ESPIPE, [&] { f.setPosition(0L, FileDBBinaryFile::End); }, VELDBError::kWrite, "vel_seek-" + path},
  };
  for (const auto& c : cases) {
    if (c.kind != kKindCount) fail(c.kind, 1, c.error, false, true);
    expectError(c.op, c.number, c.message, true, c.error);
    heal();
  }
}

TEST_F(FileDBBinaryFileFaultTest, FailingTemporaryFile) {
  fail(kOpen, 1, EMFILE, false, true);
  FileDBBinaryFile f;
  expectError([&] { f.openTmpFile(); }, VELDBError::kCannotCreate, "tmpfile", false);
  expectError([&] { f.close(); }, VELDBError::kNotOpen, "", false);
}

// A failed close leaves the object closed, and a destructor swallows it.
TEST_F(FileDBBinaryFileFaultTest, FailedCloseLeavesObjectClosed) {
  FileDBBinaryFile f;
  f.openNew(path);
  fail(kClose, 1, EIO, false, true);
  expectError([&] { f.close(); }, VELDBError::kCannotClose, "vel_close", true, EIO);
  expectError([&] { f.close(); }, VELDBError::kNotOpen, "", false);  // the descriptor is not touched again
  EXPECT_EQ(1, disk().calls[kClose]);
  heal();
  f.openExisting(path, VELDBConnectInfo::ReadWrite);  // the lock went with the descriptor
  f.close();
  {
    FileDBBinaryFile g(path, VELDBConnectInfo::ReadWrite);
    fail(kClose, 1, EIO, false, true);
  }  // must not throw
  EXPECT_EQ(1, disk().calls[kClose]);
  heal();
  FileDBBinaryFile again(path, VELDBConnectInfo::ReadWrite);
}

}  // namespace
