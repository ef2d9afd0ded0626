// Where `-o FILE` output goes: standard output, a device or FIFO written in
// place, or a file replaced whole.
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "text.h"

namespace velkdb {

namespace {

// Writes all of `text` to `fd` (blocking), synced when `sync`, then closes
// it: 0, or the errno of the first failure.
int writeAllAndClose(int fd, const std::string& text, bool sync) {
  std::size_t done = 0;
  int error = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (error == 0 && sync && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

// A terminal, /dev/null or a FIFO at `path`: written where it is.  Only the
// user's own (root: any), so that a device or FIFO planted by another user
// cannot take what velkdb writes.  The open does not wait for a reader and
// does not follow a link put in the device's place since it was looked at.
void writeInPlace(const std::string& path, const struct stat& seen, const std::string& text) {
  const uid_t me = geteuid();
  if (me != 0 && seen.st_uid != me) {
    VELDB_THROW(VELDBError::kCannotOpen, printable(path) + ": the " +
                                             (S_ISFIFO(seen.st_mode) ? "FIFO" : "device") +
                                             " belongs to another user (uid " + std::to_string(seen.st_uid) +
                                             "); refused");
  }
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    if (error == ENXIO && S_ISFIFO(seen.st_mode)) {
      VELDB_THROW(VELDBError::kCannotOpen, printable(path) + ": the FIFO has no reader");
    }
    throwSystemError(VELDBError::kCannotOpen, printable(path), error);
  }
  struct stat now {};
  if (fstat(fd, &now) != 0 || now.st_dev != seen.st_dev || now.st_ino != seen.st_ino ||
      (now.st_mode & S_IFMT) != (seen.st_mode & S_IFMT)) {
    close(fd);
    VELDB_THROW(VELDBError::kCannotOpen, printable(path) + ": changed while it was being opened; refused");
  }
  // Opened without waiting; the writes wait for the reader as usual.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    close(fd);
    throwSystemError(VELDBError::kWrite, printable(path), error);
  }
  const int error = writeAllAndClose(fd, text, false);
  if (error != 0) throwSystemError(VELDBError::kWrite, printable(path), error);
}

}  // namespace

void writeFileAtomically(const std::string& path, const std::string& text, bool secret) {
  // A name of our own beside `path`: random, created exclusively and never
  // through a link, so that nothing planted in the directory is written
  // through.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    unsigned char random[6];
    if (RAND_bytes(random, sizeof random) != 1) VELDB_THROW(VELDBError::kNoDigest, "no random bytes");
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".velkdb-%02x%02x%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3], random[4], random[5]);
    temp = path + suffix;
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, secret ? 0600 : 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100)) throwSystemError(VELDBError::kCannotCreate, path, errno);
  }
  int error = writeAllAndClose(fd, text, true);
  // The rename replaces `path` whole; a link there is replaced, not
  // followed.
  if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    throwSystemError(VELDBError::kWrite, path, error);
  }
}

void writeOutputFile(const std::string& path, const std::string& text, bool secret) {
  if (path == "-") {
    std::cout << text;
    std::cout.flush();
    if (!std::cout.good()) VELDB_THROW(VELDBError::kWrite, "standard output: write failed");
    return;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) throwSystemError(VELDBError::kCannotOpen, printable(path), errno);
    writeFileAtomically(path, text, secret);
    return;
  }
  if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
    writeInPlace(path, st, text);
    return;
  }
  if (S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode)) {
    // A disk or a socket is neither overwritten nor replaced by a file.
    VELDB_THROW(VELDBError::kCannotOpen, printable(path) + ": is a " +
                                             (S_ISBLK(st.st_mode) ? "block device" : "socket") +
                                             ", not a file, terminal or FIFO; refused");
  }
  // A regular file, or a link (replaced, not followed).
  writeFileAtomically(path, text, secret);
}

}  // namespace velkdb
