// Plan: full paths resolve directories (through links and "..") and keep a missing last
// name; bounded copies refuse what does not fit; the open calls report exists/missing/lock,
// and refuse at once, leaving nothing open, what is not a regular file.
#include "velplatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "veltestutil.h"

namespace {

class VELPlatformTest : public ::testing::Test {
 protected:
  void touch(const std::string& path) {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  // Its real path: the full-path results are compared with it.
  const VELTestUtil::TempDir d_tmp{"velplatform"};
  const std::string dir = d_tmp.path();
};

// Directories are resolved (through links, "." and ".."), the last name
// may be missing, a relative name is taken from the working directory, and
// a failure leaves the output alone.
TEST_F(VELPlatformTest, FullPathResolvesTheDirectoryAndKeepsTheLastName) {
  touch(dir + "/there");
  ASSERT_EQ(0, ::mkdir((dir + "/real").c_str(), 0700));
  ASSERT_EQ(0, ::symlink((dir + "/real").c_str(), (dir + "/link").c_str()));
  const std::pair<std::string, std::string> cases[] = {
      {dir + "/there", dir + "/there"},
      {dir + "/not-yet.vkey", dir + "/not-yet.vkey"},
      {dir + "/real/../real/./new.vkey", dir + "/real/new.vkey"},
      {dir + "/real/..", dir},
      {dir + "/link/db.vkey", dir + "/real/db.vkey"},  // one file, one name
  };
  VELString out;
  for (const auto& c : cases) {
    ASSERT_EQ(0, vel_fullpath(out, c.first.c_str())) << c.first;
    EXPECT_EQ(c.second, out) << c.first;
  }

  char cwd[PATH_MAX];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, ::chdir(dir.c_str()));
  const int rc = vel_fullpath(out, "relative.vkey");
  ASSERT_EQ(0, ::chdir(cwd));
  ASSERT_EQ(0, rc);
  EXPECT_EQ(dir + "/relative.vkey", out);

  out = "unchanged";
  errno = 0;
  EXPECT_NE(0, vel_fullpath(out, (dir + "/no-such-dir/db.vkey").c_str()));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_NE(0, vel_fullpath(out, ""));
  EXPECT_NE(0, vel_fullpath(out, nullptr));
  EXPECT_EQ("unchanged", out);
}

TEST(VELMemTest, BoundedCopyAndFillRefuseWhatDoesNotFit) {
  char dest[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(ERANGE, vel_memcpy_s(dest, sizeof dest, "abcde", 5));
  EXPECT_EQ(ERANGE, vel_memset_s(dest, sizeof dest, 0, 5));
  EXPECT_EQ(0, std::memcmp(dest, "xxxx", 4));  // nothing written
  EXPECT_EQ(0, vel_memcpy_s(dest, sizeof dest, "abcd", 4));
  EXPECT_EQ(0, std::memcmp(dest, "abcd", 4));
  EXPECT_EQ(0, vel_memset_s(dest, sizeof dest, 'z', 4));
  EXPECT_EQ(0, std::memcmp(dest, "zzzz", 4));
  EXPECT_EQ(EINVAL, vel_memcpy_s(nullptr, 4, "a", 1));
  EXPECT_EQ(EINVAL, vel_memcpy_s(dest, 4, nullptr, 1));
  EXPECT_EQ(EINVAL, vel_memset_s(nullptr, 4, 0, 1));
  EXPECT_EQ(0, vel_memcpy_s(dest, 0, "a", 0));
  // Overlapping ranges are copied as if through a scratch area.
  char overlap[] = "abcdef";
  EXPECT_EQ(0, vel_memcpy_s(overlap + 1, 5, overlap, 4));
  EXPECT_STREQ("aabcdf", overlap);
}

TEST(VELByteOrderTest, HostToNetworkIsBigEndian) {
  const std::uint32_t n = vel_hton32(0x01020304);
  const std::uint16_t s = vel_hton16(0x0A0B);
  EXPECT_EQ(0, std::memcmp(&n, "\x01\x02\x03\x04", 4));
  EXPECT_EQ(0, std::memcmp(&s, "\x0A\x0B", 2));
  EXPECT_EQ(0x01020304u, vel_ntoh32(n));
  EXPECT_EQ(0x0A0Bu, vel_ntoh16(s));
}

TEST_F(VELPlatformTest, OpenCallsReportExistsMissingAndRefusedLock) {
  const std::string path = dir + "/db";
  int fd = -1;
  ASSERT_EQ(0, vel_openExclusive(&fd, path.c_str(), 0x8502, 0600, nullptr));
  ASSERT_GE(fd, 0);
  int again = -1;
  EXPECT_EQ(17, vel_openExclusive(&again, path.c_str(), 0x8502, 0600, nullptr));
  EXPECT_EQ(-1, again);

  int lockError = 0;
  EXPECT_EQ(-1, vel_openSharedRead(&again, path.c_str(), 0x8000, &lockError));
  EXPECT_NE(0, lockError);
  EXPECT_EQ(-1, again);

  EXPECT_EQ(0, vel_unlockfile(fd, 0, 1));  // releases what the open took
  lockError = 0;
  ASSERT_EQ(0, vel_openSharedRead(&again, path.c_str(), 0x8000, &lockError));
  EXPECT_EQ(0, lockError);
  EXPECT_EQ(0, vel_close(again));
  EXPECT_EQ(0, vel_close(fd));

  lockError = 0;
  EXPECT_EQ(ENOENT, vel_openSharedRead(&again, (dir + "/missing").c_str(), 0x8000, &lockError));
  EXPECT_EQ(0, lockError);
  EXPECT_EQ(0, vel_access(path.c_str(), 0));
  EXPECT_NE(0, vel_access((dir + "/missing").c_str(), 0));
}

// Descriptors this process has open.
int openDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

TEST_F(VELPlatformTest, OpenCallsRefuseWhatIsNotARegularFileAtOnce) {
  const std::string fifo = dir + "/fifo";
  const std::string sub = dir + "/sub";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, ::mkdir(sub.c_str(), 0700));
  const int before = openDescriptors();
  // Each call on a thread of its own: one that waits on the FIFO fails the
  // test, and is then freed by a writer.
  auto promptly = [&](const std::function<int(int*)>& open) {
    int fd = -1;
    std::packaged_task<int()> task([&] { return open(&fd); });
    std::future<int> result = task.get_future();
    std::thread worker(std::move(task));
    int writer = -1;
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "the open waited";
      writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    }
    worker.join();
    if (writer >= 0) ::close(writer);
    EXPECT_EQ(-1, fd);
    return result.get();
  };
  int lockError = 0;
  EXPECT_EQ(VEL_ENOTREGULAR,
            promptly([&](int* fd) { return vel_openSharedRead(fd, fifo.c_str(), 0x8000, &lockError); }));
  EXPECT_EQ(VEL_ENOTREGULAR,
            promptly([&](int* fd) { return vel_openExclusive(fd, fifo.c_str(), 0x8002, 0, &lockError); }));
  EXPECT_EQ(EISDIR, promptly([&](int* fd) { return vel_openSharedRead(fd, sub.c_str(), 0x8000, &lockError); }));
  EXPECT_EQ(EISDIR, promptly([&](int* fd) { return vel_openExclusive(fd, sub.c_str(), 0x8002, 0, &lockError); }));
  EXPECT_EQ(0, lockError);
  EXPECT_EQ(before, openDescriptors());  // what was refused was closed again
}

TEST_F(VELPlatformTest, OpenedFileIsBlockingAndReachedThroughALink) {
  touch(dir + "/real");
  ASSERT_EQ(0, ::symlink((dir + "/real").c_str(), (dir + "/link").c_str()));
  int fd = -1;
  int lockError = 0;
  ASSERT_EQ(0, vel_openExclusive(&fd, (dir + "/link").c_str(), 0x8002, 0, &lockError));
  EXPECT_EQ(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(VEL_FILE_REGULAR, vel_defaultPlatform().fileKind(fd));
  // The lock is the file's, whatever name reached it.
  int other = -1;
  EXPECT_EQ(-1, vel_openSharedRead(&other, (dir + "/real").c_str(), 0x8000, &lockError));
  EXPECT_NE(0, lockError);
  EXPECT_EQ(0, vel_close(fd));
}

}  // namespace
