// The POSIX side of the platform seam.  This is the only file of the code
// base that talks to the operating system about database files.
#include "velplatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

int sysOpen(const char* path, int flags, int mode) {
  int fd;
  do {
    fd = ::open(path, flags, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

long long sysRead(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }

long long sysWrite(int fd, const void* buffer, std::size_t count) { return ::write(fd, buffer, count); }

long long sysSeek(int fd, long long offset, int whence) {
  const int w = whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : SEEK_SET;
  return ::lseek(fd, static_cast<off_t>(offset), w);
}

int sysClose(int fd) { return ::close(fd); }

int sysTruncate(int fd, long long size) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc;
}

long long sysFileSize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

int sysReserve(int fd, long long offset, long long length) {
  if (length <= 0) return 0;
  // Reserve blocks without changing the file's size: the caller changes the
  // size itself when it is ready to.
  if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0) return 0;
  // File systems without allocation support: nothing can be reserved up front.
  if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return 0;
  return errno;
}

int sysLock(int fd, long long offset, long long length, int kind) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = kind == VEL_LOCK_WRITE ? F_WRLCK : kind == VEL_LOCK_READ ? F_RDLCK : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;  // required for open-file-description locks
  return ::fcntl(fd, F_OFD_SETLK, &fl);
}

int sysSync(int fd) { return ::fsync(fd); }

int sysSyncDirectory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int rc = ::fsync(fd);
  const int e = errno;
  ::close(fd);
  errno = e;
  return rc;
}

int sysUnlink(const char* path) { return ::unlink(path); }

int sysRename(const char* from, const char* to) { return ::rename(from, to); }

int sysAccess(const char* path) { return ::access(path, F_OK); }

int sysTmpFile() {
  const char* dir = ::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int fd = -1;
#ifdef O_TMPFILE
  fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string pattern = std::string(dir) + "/velfiledb-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  ::unlink(name.data());  // anonymous from here on: gone when closed, even after a crash
  ::fchmod(fd, 0600);
  return fd;
}

long long sysReadAt(int fd, void* buffer, std::size_t count, long long offset) {
  return ::pread(fd, buffer, count, static_cast<off_t>(offset));
}

int sysFileKind(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  if (S_ISREG(st.st_mode)) return VEL_FILE_REGULAR;
  if (S_ISDIR(st.st_mode)) return VEL_FILE_DIRECTORY;
  return VEL_FILE_OTHER;
}

int sysSetBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1) return -1;
  if ((flags & O_NONBLOCK) == 0) return 0;
  return ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

const VELPlatformCalls kDefaultCalls = {
    sysOpen, sysRead,          sysWrite,  sysSeek,   sysClose,  sysTruncate, sysFileSize, sysReserve,  sysLock,
    sysSync, sysSyncDirectory, sysUnlink, sysRename, sysAccess, sysTmpFile,  sysReadAt,   sysFileKind, sysSetBlocking};

VELPlatformCalls g_installed = kDefaultCalls;
std::atomic<const VELPlatformCalls*> g_calls{&kDefaultCalls};

int translateFlags(int flags) {
  // Never wait in the open itself (a FIFO without a writer would hold it
  // forever) and never take a terminal as the controlling one: what is
  // opened is checked before it is used.
  int posix = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  posix |= (flags & VEL_O_RDWR) ? O_RDWR : O_RDONLY;
  if (flags & VEL_O_CREAT) posix |= O_CREAT;
  if (flags & VEL_O_EXCL) posix |= O_EXCL;
  return posix;
}

// Closes `fd` and gives back `error`, whatever the close does to errno.
int closeWith(const VELPlatformCalls& calls, int fd, int error) {
  calls.closeFile(fd);
  errno = error;
  return error;
}

constexpr int kNoLock = -1;

// Opens `path`, makes sure that it is a regular file, and takes the
// whole-file lock of `kind` on byte 0 (none for kNoLock).
int openLocked(int* fd, const char* path, int flags, int permission, int* lockError, int kind) {
  *fd = -1;
  if (path == nullptr) return EINVAL;
  const VELPlatformCalls& calls = vel_platform();
  errno = 0;
  const int f = calls.openFile(path, translateFlags(flags), permission);
  if (f < 0) return errno != 0 ? errno : EIO;
  const int fileKind = calls.fileKind(f);
  if (fileKind != VEL_FILE_REGULAR) {
    const int e = fileKind == VEL_FILE_DIRECTORY ? EISDIR
                  : fileKind == VEL_FILE_OTHER   ? VEL_ENOTREGULAR
                  : errno != 0                   ? errno
                                                 : EIO;
    return closeWith(calls, f, e);
  }
  if (calls.setBlocking(f) != 0) return closeWith(calls, f, errno != 0 ? errno : EIO);
  if (kind != kNoLock && calls.lockFile(f, 0, 1, kind) != 0) {
    const int e = errno != 0 ? errno : EAGAIN;
    calls.closeFile(f);
    if (lockError != nullptr) {
      *lockError = e;
      return -1;
    }
    return e;
  }
  *fd = f;
  return 0;
}

}  // namespace

const VELPlatformCalls& vel_platform() { return *g_calls.load(std::memory_order_acquire); }

const VELPlatformCalls& vel_defaultPlatform() { return kDefaultCalls; }

void vel_setPlatformCalls(const VELPlatformCalls* calls) {
  if (calls == nullptr) {
    g_calls.store(&kDefaultCalls, std::memory_order_release);
    return;
  }
  g_installed = *calls;
  g_calls.store(&g_installed, std::memory_order_release);
}

int vel_openExclusive(int* fd, const char* path, int flags, int permission, int* lockError) {
  return openLocked(fd, path, flags | VEL_O_RDWR, permission, lockError, VEL_LOCK_WRITE);
}

int vel_openSharedRead(int* fd, const char* path, int flags, int* lockError) {
  return openLocked(fd, path, flags & ~(VEL_O_RDWR | VEL_O_CREAT | VEL_O_EXCL), 0, lockError, VEL_LOCK_READ);
}

int vel_openUnlockedRead(int* fd, const char* path) { return openLocked(fd, path, VEL_O_BINARY, 0, nullptr, kNoLock); }

int vel_lockfile(int fd, std::uint64_t offset, std::uint64_t length, int mode) {
  const int kind = mode == VEL_LOCK_READ ? VEL_LOCK_READ : VEL_LOCK_WRITE;
  if (vel_platform().lockFile(fd, static_cast<long long>(offset), static_cast<long long>(length), kind) != 0) {
    return errno != 0 ? errno : EAGAIN;
  }
  return 0;
}

int vel_unlockfile(int fd, std::uint64_t offset, std::uint64_t length) {
  if (vel_platform().lockFile(fd, static_cast<long long>(offset), static_cast<long long>(length), VEL_LOCK_NONE) != 0) {
    return errno != 0 ? errno : EINVAL;
  }
  return 0;
}

std::FILE* vel_tmpfile(VELString& name, bool& deleteOnClose) {
  deleteOnClose = false;
  const int fd = vel_platform().tmpFile();
  if (fd < 0) return nullptr;
  std::FILE* stream = ::fdopen(fd, "w+b");
  if (stream == nullptr) {
    const int e = errno;
    vel_platform().closeFile(fd);
    errno = e;
    return nullptr;
  }
  name = "(temporary file)";
  return stream;
}

int vel_deletetmpfile(const VELString& name) {
  if (name.empty() || name[0] != '/') return 0;  // anonymous: nothing to remove
  return vel_platform().unlinkFile(name.c_str()) == 0 ? 0 : errno;
}

int vel_fileno(std::FILE* stream) { return stream ? ::fileno(stream) : -1; }

long long vel_filesize(int fd) { return vel_platform().fileSize(fd); }

int vel_chsize(int fd, long long size) {
  if (size < 0) {
    errno = EINVAL;
    return -1;
  }
  return vel_platform().truncateFile(fd, size) == 0 ? 0 : -1;
}

int vel_reserve(int fd, long long offset, long long length) {
  const int rc = vel_platform().reserveSpace(fd, offset, length);
  if (rc != 0) errno = rc;
  return rc;
}

int vel_fsync(int fd) { return vel_platform().syncFile(fd); }

int vel_syncdir(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::string p(path);
  const std::size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  return vel_platform().syncDirectory(dir.c_str());
}

int vel_close(int fd) { return vel_platform().closeFile(fd); }

int vel_fclose(std::FILE* stream) { return ::fclose(stream); }

int vel_fullpath(VELString& out, const char* path) {
  if (path == nullptr || *path == '\0') {
    errno = ENOENT;
    return -1;
  }
  char resolved[PATH_MAX];
  if (::realpath(path, resolved) != nullptr) {
    out = resolved;
    return 0;
  }
  if (errno != ENOENT) return -1;
  // The file itself may not exist yet: resolve its directory, keep its name.
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") {
    errno = ENOENT;
    return -1;
  }
  if (::realpath(dir.c_str(), resolved) == nullptr) return -1;
  out = resolved;
  if (out.back() != '/') out += '/';
  out += base;
  return 0;
}

int vel_shareModeOf(int fd, int likeFd) {
  struct stat st {};
  if (::fstat(likeFd, &st) != 0) return -1;
  const mode_t mode = (st.st_mode & (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP)) | S_IRUSR | S_IWUSR;
  return mode == (S_IRUSR | S_IWUSR) ? 0 : ::fchmod(fd, mode);
}

int vel_access(const char* path, int) {
  if (path == nullptr) return -1;
  return vel_platform().accessFile(path);
}

int vel_rename(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return vel_platform().renameFile(from, to);
}

int vel_unlink(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return vel_platform().unlinkFile(path);
}

namespace {

// Calls `step(done)` until `count` bytes have moved: retries on EINTR and
// after partial transfers; stops at end of file (or no space), or at an
// error, which is reported only when nothing moved.
template <class Step>
long long transferFully(std::size_t count, Step step) {
  std::size_t done = 0;
  while (done < count) {
    const long long n = step(done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<long long>(done) : -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long long>(done);
}

}  // namespace

long long vel_readFully(int fd, void* buffer, std::size_t count) {
  const VELPlatformCalls& calls = vel_platform();
  unsigned char* p = static_cast<unsigned char*>(buffer);
  return transferFully(count, [&](std::size_t done) { return calls.readFile(fd, p + done, count - done); });
}

long long vel_readFullyAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) {
  const VELPlatformCalls& calls = vel_platform();
  unsigned char* p = static_cast<unsigned char*>(buffer);
  return transferFully(count, [&](std::size_t done) {
    return calls.readFileAt(fd, p + done, count - done, static_cast<long long>(offset + done));
  });
}

long long vel_writeFully(int fd, const void* buffer, std::size_t count) {
  const VELPlatformCalls& calls = vel_platform();
  const unsigned char* p = static_cast<const unsigned char*>(buffer);
  return transferFully(count, [&](std::size_t done) { return calls.writeFile(fd, p + done, count - done); });
}

long long vel_lseek(int fd, long long offset, int whence) { return vel_platform().seekFile(fd, offset, whence); }

std::uint32_t vel_hton32(std::uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  std::uint32_t out;
  std::memcpy(&out, b, 4);
  return out;
}

std::uint16_t vel_hton16(std::uint16_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  std::uint16_t out;
  std::memcpy(&out, b, 2);
  return out;
}

int vel_memcpy_s(void* dest, std::size_t destSize, const void* src, std::size_t count) {
  if (count == 0) return 0;
  if (dest == nullptr || src == nullptr) return EINVAL;
  if (count > destSize) return ERANGE;
  std::memmove(dest, src, count);
  return 0;
}

int vel_memset_s(void* dest, std::size_t destSize, int value, std::size_t count) {
  if (count == 0) return 0;
  if (dest == nullptr) return EINVAL;
  if (count > destSize) return ERANGE;
  std::memset(dest, value, count);
  return 0;
}

int vel_listdir(const char* directory, const char* prefix, std::vector<std::string>& names) {
  if (directory == nullptr || prefix == nullptr) {
    errno = EINVAL;
    return -1;
  }
  DIR* dir = opendir(directory);
  if (dir == nullptr) return -1;
  const std::size_t prefixLength = std::strlen(prefix);
  errno = 0;
  while (const struct dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix, prefixLength) == 0) names.emplace_back(entry->d_name);
  }
  const int error = errno;
  closedir(dir);
  errno = error;
  return error == 0 ? 0 : -1;
}
