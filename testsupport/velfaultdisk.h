// velfaultdisk.h -- the one disk that tests put under the library's system calls.
//
// Installed, it passes every call to the real file system and counts it by
// kind.  On top of that it can, in any combination:
//
// - fail a call: the Nth call of one kind fails with an errno (EIO, ENOSPC,
//   EACCES, ...), once, for every later call of that kind (`repeat`), or for
//   every later call of the disk's kinds (`sticky`: a disk that died); a
//   write can instead stop short, doing half and reporting that, after which
//   the next write finds the disk full;
// - shape transfers: EINTR on the first read and write, at most `chunk`
//   bytes a transfer, a budget of bytes after which writes stop;
// - crash: at changing call number N (opening with O_CREAT, write, truncate,
//   unlink, rename) do half of a write, or nothing, and fail every changing
//   call from then on, as if the process had been killed there;
// - lose power: under the calls sits the power-loss model of
//   velpowerlossplatform.h, which keeps what the disk would hold if the
//   power went, drops or tears unsynced writes, and orders name changes
//   under strict POSIX or an ordered-metadata file system.
//
// `Installed` puts the disk in for a scope; every test that replaces the
// system calls does it through here.
#ifndef TESTSUPPORT_VELFAULTDISK_H
#define TESTSUPPORT_VELFAULTDISK_H

#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "velexception.h"
#include "velplatform.h"
#include "velpowerlossplatform.h"

namespace VELFaultDisk {

// The kinds of call counted.  A sticky failure fails every call of the kinds
// before kRename; renames, closes and size queries keep working.  Temporary
// files count as opens.
enum Kind { kRead, kWrite, kSeek, kTruncate, kReserve, kSync, kOpen, kUnlink, kRename, kClose, kSize, kKindCount };
const char* const kKindNames[kKindCount] = {"read", "write", "seek",   "truncate", "reserve", "sync",
                                            "open", "unlink", "rename", "close",   "size"};

// How an armed call fails.
enum Mode { kEIO, kENOSPC, kShortWrite };
const char* const kModeNames[] = {"EIO", "ENOSPC", "short"};

struct Disk {
  long long calls[kKindCount] = {};
  long long creates = 0;   // opens with O_CREAT
  long long dirSyncs = 0;  // of the kSync calls, those of directories

  // The armed failure: call `failAt` (1-based) of `kind`; -1: none.
  Kind kind = kRead;
  long long failAt = -1;
  int error = EIO;
  bool shortWrite = false;
  bool repeat = false;  // every later call of `kind` fails too
  bool sticky = false;  // every later call of the disk's kinds fails too
  std::string onlyPath;  // opens: only read-write opens of this path fail
  bool tripped = false;
  bool shortPending = false;  // a short write happened: the next write reports no space

  // Transfers.
  bool interruptFirst = false;  // the first read and the first write meet EINTR
  std::size_t chunk = 0;        // at most this many bytes a read or write (0: all)
  long long writeBudget = -1;   // bytes that fit before writes stop (-1: no limit)
  int writeErrorAtLimit = 0;    // at the limit: 0, write returns 0; else -1 with this errno

  // Crash.
  long long changes = 0;  // changing calls made
  long long crashAt = -1;
  bool dead = false;

  // Power loss: the model sits under the calls.
  bool power = false;
};

inline Disk& disk() {
  static Disk d;
  return d;
}

// --- the layers ------------------------------------------------------------------------------

// What the calls reach in the end: the real disk, or the power-loss model.
inline const VELPlatformCalls& lower() {
  return disk().power ? VELPowerLossPlatform::modelCalls() : vel_defaultPlatform();
}

// True when this call of `kind` must fail (errno set).
inline bool failing(Kind kind) {
  Disk& d = disk();
  if (d.tripped && d.sticky && kind < kRename) {
    errno = d.error;
    return true;
  }
  const long long n = ++d.calls[kind];
  if (kind == d.kind && d.failAt > 0 && ((n == d.failAt && !d.tripped) || (d.repeat && n >= d.failAt))) {
    d.tripped = true;
    errno = d.error;
    return true;
  }
  return false;
}

// True when the process "dies" at this changing call (or has died); the
// call then fails with EIO.
inline bool dies() {
  Disk& d = disk();
  if (d.crashAt >= 0 && d.changes == d.crashAt) d.dead = true;
  if (d.dead) {
    errno = EIO;
    return true;
  }
  ++d.changes;
  return false;
}
inline bool atCrash() {
  const Disk& d = disk();
  return !d.dead && d.crashAt >= 0 && d.changes == d.crashAt;
}

inline bool interrupted(Kind kind) {
  if (disk().interruptFirst && disk().calls[kind] == 1) {
    errno = EINTR;
    return true;
  }
  return false;
}

inline std::size_t shaped(std::size_t count) {
  const std::size_t chunk = disk().chunk;
  return chunk != 0 && count > chunk ? chunk : count;
}

// --- the calls -------------------------------------------------------------------------------

inline long long fdRead(int fd, void* buffer, std::size_t count) {
  if (failing(kRead) || interrupted(kRead)) return -1;
  return lower().readFile(fd, buffer, shaped(count));
}
inline long long fdReadAt(int fd, void* buffer, std::size_t count, long long offset) {
  if (failing(kRead) || interrupted(kRead)) return -1;
  return lower().readFileAt(fd, buffer, shaped(count), offset);
}

inline long long fdWrite(int fd, const void* buffer, std::size_t count) {
  Disk& d = disk();
  if (d.shortPending) {
    // The retry after a short write: the disk is full.
    d.shortPending = false;
    errno = ENOSPC;
    return -1;
  }
  if (d.shortWrite && !(d.tripped && d.sticky) && d.kind == kWrite && !d.tripped &&
      d.calls[kWrite] + 1 == d.failAt && count > 1) {
    ++d.calls[kWrite];
    d.tripped = true;
    d.shortPending = true;
    return lower().writeFile(fd, buffer, count / 2);
  }
  if (failing(kWrite) || interrupted(kWrite)) return -1;
  if (atCrash() && count > 1) lower().writeFile(fd, buffer, count / 2);  // torn
  if (dies()) return -1;
  if (d.writeBudget == 0) {
    if (d.writeErrorAtLimit == 0) return 0;
    errno = d.writeErrorAtLimit;
    return -1;
  }
  count = shaped(count);
  if (d.writeBudget > 0 && static_cast<long long>(count) > d.writeBudget) {
    count = static_cast<std::size_t>(d.writeBudget);
  }
  const long long n = lower().writeFile(fd, buffer, count);
  if (n > 0 && d.writeBudget > 0) d.writeBudget -= n;
  return n;
}

inline long long fdSeek(int fd, long long offset, int whence) {
  if (failing(kSeek)) return -1;
  return lower().seekFile(fd, offset, whence);
}
inline int fdTruncate(int fd, long long size) {
  if (failing(kTruncate)) return -1;
  if (dies()) return -1;
  return lower().truncateFile(fd, size);
}
inline int fdReserve(int fd, long long offset, long long length) {
  if (failing(kReserve)) return errno;
  return lower().reserveSpace(fd, offset, length);
}
inline int fdSync(int fd) {
  if (failing(kSync)) return -1;
  return lower().syncFile(fd);
}
inline int dirSync(const char* path) {
  ++disk().dirSyncs;
  if (failing(kSync)) return -1;
  return lower().syncDirectory(path);
}
inline int pathOpen(const char* path, int flags, int mode) {
  Disk& d = disk();
  const bool targeted = d.onlyPath.empty() || (path == d.onlyPath && (flags & O_ACCMODE) == O_RDWR);
  if (targeted ? failing(kOpen) : (++d.calls[kOpen], false)) return -1;
  if ((flags & O_CREAT) != 0) {
    ++d.creates;
    if (dies()) return -1;
  }
  return lower().openFile(path, flags, mode);
}
inline int tmpOpen() {
  if (failing(kOpen)) return -1;
  return lower().tmpFile();
}
inline int pathUnlink(const char* path) {
  if (failing(kUnlink)) return -1;
  if (dies()) return -1;
  return lower().unlinkFile(path);
}
inline int pathRename(const char* from, const char* to) {
  if (failing(kRename)) return -1;
  if (dies()) return -1;
  return lower().renameFile(from, to);
}
// A close that fails has still let the descriptor go, as on Linux.
inline int fdClose(int fd) {
  const int rc = lower().closeFile(fd);
  if (failing(kClose)) return -1;
  return rc;
}
inline long long fdSize(int fd) {
  if (failing(kSize)) return -1;
  return lower().fileSize(fd);
}

// --- the test's side -------------------------------------------------------------------------

// Puts the disk under the library with nothing armed, counts from zero.
inline void install() {
  disk() = Disk();
  VELPlatformCalls calls = vel_defaultPlatform();
  calls.readFile = fdRead;
  calls.readFileAt = fdReadAt;
  calls.writeFile = fdWrite;
  calls.seekFile = fdSeek;
  calls.truncateFile = fdTruncate;
  calls.reserveSpace = fdReserve;
  calls.syncFile = fdSync;
  calls.syncDirectory = dirSync;
  calls.openFile = pathOpen;
  calls.tmpFile = tmpOpen;
  calls.unlinkFile = pathUnlink;
  calls.renameFile = pathRename;
  calls.closeFile = fdClose;
  calls.fileSize = fdSize;
  vel_setPlatformCalls(&calls);
}

// The real disk again.
inline void uninstall() { vel_setPlatformCalls(nullptr); }

// The disk for one scope.
struct Installed {
  Installed() { install(); }
  ~Installed() { uninstall(); }
  Installed(const Installed&) = delete;
  Installed& operator=(const Installed&) = delete;
};

// Counts from zero again, failing call `at` of `kind` with `error` (none
// for -1); crash and power settings stay.
inline void fail(Kind kind, long long at, int error, bool sticky = false, bool repeat = false) {
  Disk& d = disk();
  for (long long& c : d.calls) c = 0;
  d.creates = 0;
  d.dirSyncs = 0;
  d.kind = kind;
  d.failAt = at;
  d.error = error;
  d.shortWrite = false;
  d.repeat = repeat;
  d.sticky = sticky;
  d.onlyPath.clear();
  d.tripped = false;
  d.shortPending = false;
}

// The same in one of the modes the fault matrix tries.
inline void arm(Kind kind, long long at, Mode mode, bool sticky) {
  fail(kind, at, mode == kEIO ? EIO : ENOSPC, sticky);
  disk().shortWrite = mode == kShortWrite;
}

// No more failures (counts and crash state are kept).
inline void heal() {
  Disk& d = disk();
  d.failAt = -1;
  d.sticky = false;
  d.repeat = false;
  d.shortPending = false;
}

// Installs the disk dying at changing call `at` (-1: only counting).
inline void installCrash(long long at) {
  install();
  disk().crashAt = at;
}

// Changing calls counted since the crash was installed.
inline long long changes() { return disk().changes; }
inline bool crashed() { return disk().dead; }

// Runs `body` on the disk dying at changing call `at`; a `VELDBException`
// it throws is the death's.  True when the death was reached.  The real
// disk is back afterwards.
template <class F>
bool crashAt(long long at, F&& body) {
  installCrash(at);
  try {
    body();
  } catch (const VELDBException&) {
  }
  uninstall();
  return disk().dead;
}

// The changing calls `body` makes; the real disk is back afterwards.
template <class F>
long long countChanges(F&& body) {
  installCrash(-1);
  body();
  const long long total = disk().changes;
  uninstall();
  return total;
}

// Installs the disk over the power-loss model with a fresh model; the power
// goes at the model's changing call `at` (-1: only when the test calls
// `VELPowerLossPlatform::powerLoss`).
inline void installPowerLoss(long long at, bool strictPosix) {
  VELPowerLossPlatform::reset(at, strictPosix);
  install();
  disk().power = true;
}

}  // namespace VELFaultDisk

#endif
