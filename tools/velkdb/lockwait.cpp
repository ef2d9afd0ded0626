#include "lockwait.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "commands.h"
#include "interrupt.h"

namespace velkdb {

namespace {

double g_lockWait = 5.0;

double randomFraction() {
  unsigned int r = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&r), sizeof r) != 1) return 0.5;
  return static_cast<double>(r) / 4294967296.0;
}

}  // namespace

void setLockWait(double seconds) { g_lockWait = seconds; }
double lockWait() { return g_lockWait; }

double parseLockWait(const std::string& text) {
  char* end = nullptr;
  const double value = text.empty() ? -1 : std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(value) || value < 0 || value > 86400 ||
      text.find_first_not_of("0123456789.") != std::string::npos) {
    throw UsageError("--wait takes a number of seconds from 0 to 86400");
  }
  return value;
}

unsigned lockBackoffMillis(unsigned attempt, double jitter) {
  const unsigned cap = 200;
  const unsigned full = attempt >= 5 ? cap : std::min(cap, 10u << attempt);
  if (jitter < 0) jitter = 0;
  if (jitter >= 1) jitter = 0.999;
  return full / 2 + static_cast<unsigned>(jitter * (full - full / 2));
}

bool writeLockedByOther(const std::string& path) {
  // Never waits on what is not a regular file (a FIFO planted there).
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  // Asking for a read lock reports only write locks in the way; ours are
  // open file description locks, so the lock of another descriptor of this
  // process counts as another's too, as it should.
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  const bool locked = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
  close(fd);
  return locked;
}

bool isLockContention(const VELException& e, const std::vector<std::string>& tableFiles) {
  if (e.getError() != VELDBError::kLock) return false;
  // The system's refusal of the lock carries its errno.
  if (e.hasExtra()) return true;
  for (const std::string& file : tableFiles) {
    if (writeLockedByOther(file)) return true;
  }
  // A writer that committed between the refusal and the look above has
  // taken its journal away and let go: the next try gets in.  Only a
  // journal still there with nobody writing is an interrupted change.
  if (tableFiles.empty()) return false;
  for (const std::string& file : tableFiles) {
    if (access((file + "-journal").c_str(), F_OK) == 0 || access((file + "-password-journal").c_str(), F_OK) == 0) {
      return false;
    }
  }
  return true;
}

void retryWhileLocked(const std::vector<std::string>& tableFiles, const std::function<void()>& attempt) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(g_lockWait));
  for (unsigned tries = 0;; ++tries) {
    // Ctrl-C ends a wait too; each pause is short enough to notice it.
    checkInterrupt();
    try {
      attempt();
      return;
    } catch (const VELException& e) {
      if (!isLockContention(e, tableFiles)) throw;
      const Clock::time_point now = Clock::now();
      if (now >= deadline) {
        if (g_lockWait <= 0) throw;
        char waited[96];
        std::snprintf(waited, sizeof waited, "still in use after waiting %.1f s (--wait SECONDS waits longer): ",
                      std::chrono::duration<double>(now - start).count());
        const VELString message = waited + e.getMessage();
        if (e.hasExtra()) {
          throw VELDBException(e.getSourceFile().c_str(), e.getLine(), e.getError(), message, e.getExtra());
        }
        throw VELDBException(e.getSourceFile().c_str(), e.getLine(), e.getError(), message);
      }
      const auto pause = std::min<Clock::duration>(
          std::chrono::milliseconds(lockBackoffMillis(tries, randomFraction())), deadline - now);
      std::this_thread::sleep_for(pause);
    }
  }
}

}  // namespace velkdb
