#include "password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>

#include "filedbmanager.h"
#include "velexception.h"

namespace velkdb {

namespace {

[[noreturn]] void fail(const std::string& message) { VELDB_THROW(VELDBError::kBadArgument, message); }

std::string readPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("password file " + path + ": " + std::strerror(errno));
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
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
    std::string line = readPasswordFile(options.file);
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

}  // namespace velkdb
