#include "passwordfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "storeerror.h"

namespace velstore {

namespace {

constexpr std::size_t kMaxPasswordLine = 64 * 1024;

class FileCloser {
 public:
  explicit FileCloser(int fd) : d_fd(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() { close(d_fd); }

 private:
  int d_fd;
};

// Why the file with status `st` may not hold a password ("" when it may).
std::string modeFault(const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    return S_ISDIR(st.st_mode) ? "is a directory" : "is not a regular file or FIFO";
  }
  if (st.st_uid != geteuid()) {
    return "belongs to another user (uid " + std::to_string(st.st_uid) +
           "); keep the password in a file of your own, readable by you alone (chmod 600)";
  }
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    const bool others = (st.st_mode & S_IROTH) != 0;
    return std::string("is readable by ") + (others ? "others" : "its group") + " (mode " + mode +
           "); make it readable by its owner only (chmod 600)";
  }
  return std::string();
}

}  // namespace

SecretBytes readPasswordFile(const std::string& path) {
  const std::string name = "password file " + path;
  auto refuse = [&](const std::string& why) -> StoreError { return StoreError(Reason::kPasswordFile, name + ": " + why); };
  // Not blocking in open: a FIFO nobody writes to would wait forever.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw refuse(std::strerror(errno));
  const FileCloser closer(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) throw refuse(std::strerror(errno));
  const std::string fault = modeFault(st);
  if (!fault.empty()) throw refuse(fault);
  // A FIFO's writer may still be writing: read it blocking (without a
  // writer it ends at once).
  if (S_ISFIFO(st.st_mode)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  SecretBytes line;
  char buf[4096];
  bool lineEnd = false;
  while (!lineEnd) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      OPENSSL_cleanse(buf, sizeof buf);
      throw refuse(std::strerror(error));
    }
    if (n == 0) break;
    const char* end = static_cast<const char*>(std::memchr(buf, '\n', static_cast<std::size_t>(n)));
    lineEnd = end != nullptr;
    line.append(buf, lineEnd ? static_cast<std::size_t>(end - buf) : static_cast<std::size_t>(n));
    if (line.size() > kMaxPasswordLine) {
      OPENSSL_cleanse(buf, sizeof buf);
      throw refuse("its first line is longer than " + std::to_string(kMaxPasswordLine) + " bytes");
    }
  }
  OPENSSL_cleanse(buf, sizeof buf);
  if (!line.empty() && line.back() == '\r') line.popBack();
  if (line.empty()) throw refuse("the password in it is empty");
  return line;
}

}  // namespace velstore
