// velcrashplatform.h -- a platform that dies, for crash tests.
//
// Counts every call that changes what is on disk (creating a file, writing,
// cutting, removing, renaming).  At call number `at` it does half of a write
// (or nothing) and from then on every such call fails with EIO, as if the
// process had been killed there.  `installCrash(-1)` only counts.
#ifndef TESTSUPPORT_VELCRASHPLATFORM_H
#define TESTSUPPORT_VELCRASHPLATFORM_H

#include <fcntl.h>

#include <cerrno>

#include "velexception.h"
#include "velplatform.h"

namespace VELCrashPlatform {

// Counts every call that changes what is on disk; at call number `g_crashAt`
// it does half of a write (or nothing) and from then on every such call
// fails, as if the process had been killed there.

inline long long g_ops = 0;
inline long long g_crashAt = -1;
inline bool g_dead = false;

inline bool dies() {
  if (g_dead) return true;
  if (g_crashAt >= 0 && g_ops == g_crashAt) {
    g_dead = true;
    return true;
  }
  ++g_ops;
  return false;
}

inline int crashOpen(const char* path, int flags, int mode) {
  if ((flags & O_CREAT) != 0 && dies()) {
    errno = EIO;
    return -1;
  }
  return vel_defaultPlatform().openFile(path, flags, mode);
}
inline long long crashWrite(int fd, const void* buffer, std::size_t count) {
  if (!g_dead && g_crashAt >= 0 && g_ops == g_crashAt && count > 1) {
    vel_defaultPlatform().writeFile(fd, buffer, count / 2);  // torn
  }
  if (dies()) {
    errno = EIO;
    return -1;
  }
  return vel_defaultPlatform().writeFile(fd, buffer, count);
}
inline int crashTruncate(int fd, long long size) {
  if (dies()) {
    errno = EIO;
    return -1;
  }
  return vel_defaultPlatform().truncateFile(fd, size);
}
inline int crashUnlink(const char* path) {
  if (dies()) {
    errno = EIO;
    return -1;
  }
  return vel_defaultPlatform().unlinkFile(path);
}
inline int crashRename(const char* from, const char* to) {
  if (dies()) {
    errno = EIO;
    return -1;
  }
  return vel_defaultPlatform().renameFile(from, to);
}

inline void installCrash(long long at) {
  g_ops = 0;
  g_crashAt = at;
  g_dead = false;
  VELPlatformCalls calls = vel_defaultPlatform();
  calls.openFile = crashOpen;
  calls.writeFile = crashWrite;
  calls.truncateFile = crashTruncate;
  calls.unlinkFile = crashUnlink;
  calls.renameFile = crashRename;
  vel_setPlatformCalls(&calls);
}

// The calls counted since the last `installCrash`.
inline long long calls() { return g_ops; }

// Runs `body` on this platform dying at call `at`; a `VELDBException` it
// throws is the death's.  True when the death was reached.  The default
// platform is back afterwards.
template <class F>
bool crashAt(long long at, F&& body) {
  installCrash(at);
  try {
    body();
  } catch (const VELDBException&) {
  }
  vel_setPlatformCalls(nullptr);
  return g_dead;
}

// The number of calls that change the disk that `body` makes, counted on
// this platform; the default platform is back afterwards.
template <class F>
long long countCalls(F&& body) {
  installCrash(-1);
  body();
  const long long total = g_ops;
  vel_setPlatformCalls(nullptr);
  return total;
}

}  // namespace VELCrashPlatform

#endif
