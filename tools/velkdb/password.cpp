#include "password.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "filedbmanager.h"
#include "text.h"
#include "velexception.h"

namespace velkdb {

namespace {


// A password file longer than this without a line end is refused.
constexpr std::size_t kMaxPasswordLine = 64 * 1024;

// A password file is the user's own secret: a regular file, FIFO or
// socket of the user that neither group nor others may read.  Anything else
// (another user's file, a group-readable FIFO, a terminal or other device)
// is used with a warning, for someone else may have seen or given the
// password.
void warnAboutPasswordFile(const std::string& path, const std::string& option, const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const std::string head = "velkdb: warning: " + option + " " + printable(path);
  const bool ownKind = S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
  if (!ownKind) {
    std::cerr << head << " is not a regular file, FIFO or socket (mode " << mode
              << "); keep the password in a file readable by you alone (chmod 600)\n";
  } else if (st.st_uid != geteuid()) {
    std::cerr << head << " belongs to another user (uid " << st.st_uid
              << "); keep the password in a file of your own, readable by you alone (chmod 600)\n";
  } else if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    std::cerr << head << " is readable by " << ((st.st_mode & S_IROTH) != 0 ? "others" : "its group") << " (mode "
              << mode << "); make it readable by its owner only (chmod 600)\n";
  }
}

// The first line of the password file `path` (without its line end).  A
// file that is not the user's own secret is used, with a warning
// (warnAboutPasswordFile).
std::string readPasswordFile(const std::string& path, const std::string& option) {
  const std::string name = "password file " + printable(path);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(name + ": " + std::strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    fail(name + ": " + std::strerror(error));
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    fail(name + ": is a directory");
  }
  warnAboutPasswordFile(path, option, st);
  std::string text;
  char buf[4096];
  bool lineEnd = false;
  while (!lineEnd) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      OPENSSL_cleanse(buf, sizeof buf);
      OPENSSL_cleanse(&text[0], text.size());
      close(fd);
      fail(name + ": " + std::strerror(error));
    }
    if (n == 0) break;
    const char* end = static_cast<const char*>(std::memchr(buf, '\n', static_cast<std::size_t>(n)));
    lineEnd = end != nullptr;
    text.append(buf, lineEnd ? static_cast<std::size_t>(end - buf) : static_cast<std::size_t>(n));
    if (text.size() > kMaxPasswordLine) {
      OPENSSL_cleanse(buf, sizeof buf);
      OPENSSL_cleanse(&text[0], text.size());
      close(fd);
      fail(name + ": its first line is longer than " + std::to_string(kMaxPasswordLine) + " bytes");
    }
  }
  OPENSSL_cleanse(buf, sizeof buf);
  close(fd);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// Reads one line from the terminal with echo off.  False when there is no
// terminal.
bool promptLine(const std::string& prompt, std::string& out) {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct termios saved {};
  const bool isTerminal = tcgetattr(fd, &saved) == 0;
  if (!isTerminal) {
    close(fd);
    return false;
  }
  struct termios quiet = saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;
  tcsetattr(fd, TCSAFLUSH, &quiet);
  if (write(fd, prompt.data(), prompt.size()) < 0) {
    // The prompt is a courtesy; reading goes on.
  }
  std::string line;
  char c = 0;
  ssize_t n = 0;
  while ((n = read(fd, &c, 1)) == 1 && c != '\n') {
    if (line.size() < 4096) line += c;
  }
  tcsetattr(fd, TCSAFLUSH, &saved);
  close(fd);
  if (n < 0) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  out = Secret(line).bytes();
  std::fill(line.begin(), line.end(), '\0');
  return true;
}

bool fromSources(const PasswordOptions& options, bool confirm, Secret& out) {
  if (options.useDefault) {
    out = defaultPasswordSecret();
    return true;
  }
  if (!options.file.empty()) {
    std::string line = readPasswordFile(options.file, options.fileOption);
    out = Secret(line);
    std::fill(line.begin(), line.end(), '\0');
    return true;
  }
  if (!options.envName.empty()) {
    if (const char* env = std::getenv(options.envName.c_str())) {
      out = Secret(env);
      return true;
    }
  }
  std::string first;
  if (!promptLine(options.prompt, first)) return false;
  if (confirm) {
    std::string second;
    if (!promptLine("Repeat: ", second) || second != first) fail("the two passwords differ");
  }
  out = Secret(first);
  return true;
}

}  // namespace

Secret obtainPassword(const PasswordOptions& options, bool confirm) {
  Secret out;
  if (!fromSources(options, confirm, out)) {
    fail("no password: use " + options.fileOption + ", " + (options.envName.empty() ? "" : options.envName + ", ") +
         "or run on a terminal");
  }
  if (out.bytes().empty()) fail("empty password");
  return out;
}

bool obtainOptionalPassword(const PasswordOptions& options, Secret& out) {
  return fromSources(options, false, out);
}

VELPasswordEncryptor toEncryptor(const Secret& secret) {
  return VELPasswordEncryptor(secret.bytes().data(), secret.bytes().size());
}

Secret defaultPasswordSecret() {
  const VELFastBuffer clear = FileDBManager::defaultPassword().getClearPassword();
  return Secret(std::string(reinterpret_cast<const char*>(clear.data()), clear.length()));
}

namespace {

// The passwords a guesser tries first (the top of the lists drawn from
// leaked password databases).  The short ones fail the length test too;
// they are here so that the warning gives the real reason.
const char* const kCommonPasswords[] = {
    "123456",        "123456789",      "12345678",      "12345",         "1234567",      "1234567890",
    "123123",        "111111",         "000000",        "654321",        "password",     "password1",
    "password123",   "password1234",   "passw0rd",      "p@ssw0rd",      "qwerty",       "qwerty123",
    "qwertyuiop",    "qwerty123456",   "1q2w3e4r",      "1q2w3e4r5t6y",  "abc123",       "abcd1234",
    "iloveyou",      "admin",          "admin123",      "administrator", "letmein",      "welcome",
    "welcome123",    "monkey",         "dragon",        "sunshine",      "princess",     "football",
    "baseball",      "master",         "trustno1",      "changeme",      "secret",       "default",
    "shadow",        "superman",       "starwars",      "whatever",      "login",        "123456789012",
    "qwertyuiopasdf", "passwordpassword", "changeme1234", "letmein12345",
};

}  // namespace

std::string passwordWeakness(const Secret& password) {
  const std::string& bytes = password.bytes();
  std::size_t characters = 0;
  for (unsigned char c : bytes) {
    if ((c & 0xC0) != 0x80) ++characters;  // UTF-8: continuation bytes are no characters of their own
  }
  for (const char* common : kCommonPasswords) {
    const std::size_t n = std::strlen(common);
    if (n != bytes.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < n && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(bytes[i])) == static_cast<unsigned char>(common[i]);
    }
    if (same) return "is one of the most common passwords";
  }
  if (characters < kMinStrongPassword) {
    return "is short (" + std::to_string(characters) + (characters == 1 ? " character" : " characters") +
           "; use " + std::to_string(kMinStrongPassword) + " or more)";
  }
  return std::string();
}

void warnIfWeakPassword(const Secret& password) {
  const std::string weakness = passwordWeakness(password);
  if (weakness.empty()) return;
  std::cerr << "velkdb: warning: the new database password " << weakness
            << ": whoever gets a copy of a table file can test about a million passwords a second against it "
               "(--weak-password-ok silences this warning)\n";
}

}  // namespace velkdb
