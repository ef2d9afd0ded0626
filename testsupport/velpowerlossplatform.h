// velpowerlossplatform.h -- the power-loss model under the fault disk (velfaultdisk.h).
//
// Every call goes through to the real file system (syncs only when asked
// for: `reset`), and the platform keeps, beside it, what a disk would hold
// if the power went now:
//
// - per file (an inode, followed through its names): the content as of its
//   last successful `syncFile`, and the writes and size changes made since,
//   in their order;
// - per directory: which name leads to which file as of the last
//   `syncDirectory` of that directory, and the creations, unlinks and
//   renames made since, in their order.  A file that is unlinked keeps its
//   content here, so that an unlink that was not durable can come back.
//
// A file or name seen for the first time (opened, unlinked or renamed while
// the platform is installed) is taken as durable as it stands on disk.
//
// The power goes at call number `at` of the calls that change the disk
// (opening with O_CREAT, write, truncate, syncFile, syncDirectory, unlink,
// rename; `reset(-1)` only counts), or when the test calls `powerLoss`.
// From then on every changing call fails with EIO (reserving space and
// temporary files too, uncounted); reads, seeks, locks and closes still work,
// on what the real files hold (the page cache of a machine that is still
// running).  The write that was under way when the power went may have
// reached the disk whole, in part or not at all, like any other unsynced
// write.
//
// `powerLoss(seed)` then rewrites the real directories to one state the disk
// could hold after the loss, chosen with the seed, and the model takes that
// state as durable (the machine rebooted; the test installs a healthy
// platform).  Call it once the objects of the process that lost power are
// gone (its descriptors closed).  The state:
//
// - file content: the durable content, then a subset of the writes and size
//   changes made since the last sync, applied in their order: per file, none
//   of them, all of them, or each one by chance; any write applied may be
//   torn, keeping only a prefix that ends on a 512-byte sector boundary of
//   the file or anywhere.  Bytes between the old end and a write that landed
//   beyond it read as zeros.
// - names, with `strictPosix` on (nothing not synced is promised): each name
//   touched since its directory was last synced independently takes its
//   durable binding or any binding it has had since: a creation may vanish,
//   an unlink may come back with the file's durable content (and a subset of
//   its later writes), a rename may revert at either name or at both.
// - names, with `strictPosix` off (a journalling file system that keeps
//   metadata in order, like ext4 with data=ordered): creations, unlinks and
//   renames persist as a prefix of the order in which they were made, a
//   rename whole, and any successful syncFile or syncDirectory makes every
//   one made before it durable (one journal for the whole file system).
//   File content is treated as above in both cases.
//
// Not modelled: a sync that fails and loses data; O_APPEND writes; writes that tear in the
// middle (only prefixes are lost) or sectors of one write that land out of
// order; hard links (two names left on one file get copies of its content);
// directories made or removed; size changes apart from their data;
// anonymous temporary files (not followed: they are gone after a loss
// anyway); changes made behind the platform's back while it is installed
// (by the test or another process): these directories must be changed
// through the platform only, from install to `powerLoss`.
#ifndef TESTSUPPORT_VELPOWERLOSSPLATFORM_H
#define TESTSUPPORT_VELPOWERLOSSPLATFORM_H

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "velplatform.h"

namespace VELPowerLossPlatform {

// One write or size change made since the file's last sync.
struct Change {
  bool truncate = false;
  std::uint64_t offset = 0;  // write: where; truncate: the new size
  std::string bytes;         // write only
};

struct Inode {
  std::string durable;
  std::vector<Change> pending;
};

using Name = std::pair<std::string, std::string>;  // (directory, entry)
constexpr long kAbsent = -1;

// A creation, unlink or rename half: after it, `name` leads to `inode`.
// The two halves of a rename share `group`.
struct NameChange {
  std::uint64_t group;
  Name name;
  long inode;
};

struct State {
  std::mutex mutex;
  bool strictPosix = true;
  long long ops = 0;
  long long lossAt = -1;
  bool dead = false;
  std::uint64_t nextGroup = 0;
  std::vector<Inode> inodes;
  std::map<int, long> descriptors;  // followed descriptors -> inode
  std::map<Name, long> current;     // every name seen, as it is now
  std::map<Name, long> durable;     // every name seen, as the disk keeps it
  std::vector<NameChange> unsynced;
  std::string report;
};

inline State& state() {
  static State s;
  return s;
}

// --- helpers (with the mutex held) -----------------------------------------

inline std::string readReal(const std::string& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

// Replaces the content of `path` (made if missing).  Written over in place
// and then cut, never truncated to empty first: ext4 flushes a file that is
// truncated to zero and rewritten when it is closed, which costs a disk
// write per call.
inline bool writeReal(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool ok = done == bytes.size() && ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
  ::close(fd);
  return ok;
}

// (canonical directory, entry) of `path`; false when its directory does not
// resolve (such paths pass through unfollowed).
inline bool split(const char* path, Name& out) {
  if (path == nullptr) return false;
  const std::string p(path);
  const std::size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  const std::string entry = slash == std::string::npos ? p : p.substr(slash + 1);
  if (entry.empty()) return false;
  char resolved[PATH_MAX];
  if (::realpath(dir.c_str(), resolved) == nullptr) return false;
  out = Name(resolved, entry);
  return true;
}

inline std::string pathOf(const Name& name) {
  return name.first == "/" ? "/" + name.second : name.first + "/" + name.second;
}

// Makes sure `name` is known: a file that is there now counts as durable.
inline void see(State& s, const Name& name) {
  if (s.current.count(name) != 0) return;
  struct stat st;
  long inode = kAbsent;
  if (::stat(pathOf(name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    s.inodes.push_back(Inode{readReal(pathOf(name)), {}});
    inode = static_cast<long>(s.inodes.size()) - 1;
  }
  s.current[name] = inode;
  s.durable[name] = inode;
}

inline void bindName(State& s, const Name& name, long inode, std::uint64_t group) {
  s.current[name] = inode;
  s.unsynced.push_back(NameChange{group, name, inode});
}

// True, with errno EIO, when a call finds the power gone.
inline bool gone(const State& s) {
  if (s.dead) errno = EIO;
  return s.dead;
}
// The same for a changing call, which may take the power; counted while it
// is on.
inline bool lost(State& s) {
  if (s.lossAt >= 0 && s.ops == s.lossAt) s.dead = true;
  if (gone(s)) return true;
  ++s.ops;
  return false;
}

inline void apply(std::string& content, const Change& change, std::size_t keep) {
  if (change.truncate) {
    content.resize(static_cast<std::size_t>(change.offset), '\0');
    return;
  }
  const std::size_t at = static_cast<std::size_t>(change.offset);
  if (content.size() < at + keep) content.resize(at + keep, '\0');
  content.replace(at, keep, change.bytes, 0, keep);
}

inline void commitNames(State& s, const std::string* directory) {
  std::vector<NameChange> rest;
  for (const NameChange& c : s.unsynced) {
    if (directory == nullptr || c.name.first == *directory) {
      s.durable[c.name] = c.inode;
    } else {
      rest.push_back(c);
    }
  }
  s.unsynced.swap(rest);
}

// --- the calls -------------------------------------------------------------

inline int plOpen(const char* path, int flags, int mode) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Name name;
  const bool followed = split(path, name);
  if (followed) see(s, name);
  if ((flags & O_CREAT) != 0 && lost(s)) return -1;
  const int fd = vel_defaultPlatform().openFile(path, flags, mode);
  if (fd < 0 || !followed) return fd;
  long inode = s.current[name];
  if (inode == kAbsent) {
    s.inodes.push_back(Inode{});
    inode = static_cast<long>(s.inodes.size()) - 1;
    bindName(s, name, inode, s.nextGroup++);
  } else if ((flags & O_TRUNC) != 0) {
    Change c;
    c.truncate = true;
    s.inodes[static_cast<std::size_t>(inode)].pending.push_back(c);
  }
  s.descriptors[fd] = inode;
  return fd;
}

inline long long plWrite(int fd, const void* buffer, std::size_t count) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto it = s.descriptors.find(fd);
  if (it == s.descriptors.end()) {
    if (gone(s)) return -1;
    return vel_defaultPlatform().writeFile(fd, buffer, count);
  }
  const long long at = vel_defaultPlatform().seekFile(fd, 0, 1);
  if (at < 0) return -1;
  Change c;
  c.offset = static_cast<std::uint64_t>(at);
  if (!s.dead && lost(s)) {
    // Under way as the power went: it may land, whole or in part.
    c.bytes.assign(static_cast<const char*>(buffer), count);
    s.inodes[static_cast<std::size_t>(it->second)].pending.push_back(c);
  }
  if (gone(s)) return -1;
  const long long n = vel_defaultPlatform().writeFile(fd, buffer, count);
  if (n > 0) {
    c.bytes.assign(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
    s.inodes[static_cast<std::size_t>(it->second)].pending.push_back(c);
  }
  return n;
}

inline int plTruncate(int fd, long long size) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto it = s.descriptors.find(fd);
  if (it == s.descriptors.end() ? gone(s) : lost(s)) return -1;
  const int rc = vel_defaultPlatform().truncateFile(fd, size);
  if (rc == 0 && it != s.descriptors.end()) {
    Change c;
    c.truncate = true;
    c.offset = static_cast<std::uint64_t>(size);
    s.inodes[static_cast<std::size_t>(it->second)].pending.push_back(c);
  }
  return rc;
}

inline int plSync(int fd) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto it = s.descriptors.find(fd);
  if (it == s.descriptors.end() ? gone(s) : lost(s)) return -1;
  const int rc = it == s.descriptors.end() ? vel_defaultPlatform().syncFile(fd) : 0;
  if (rc != 0 || it == s.descriptors.end()) return rc;
  Inode& inode = s.inodes[static_cast<std::size_t>(it->second)];
  for (const Change& c : inode.pending) apply(inode.durable, c, c.bytes.size());
  inode.pending.clear();
  if (!s.strictPosix) commitNames(s, nullptr);
  return rc;
}

inline int plSyncDirectory(const char* path) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (lost(s)) return -1;
  char resolved[PATH_MAX];
  if (::realpath(path, resolved) == nullptr) return 0;
  const std::string directory(resolved);
  commitNames(s, s.strictPosix ? &directory : nullptr);
  return 0;
}

inline int plUnlink(const char* path) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Name name;
  const bool followed = split(path, name);
  if (followed) see(s, name);
  if (lost(s)) return -1;
  const int rc = vel_defaultPlatform().unlinkFile(path);
  if (rc == 0 && followed) bindName(s, name, kAbsent, s.nextGroup++);
  return rc;
}

inline int plRename(const char* from, const char* to) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Name source;
  Name target;
  const bool followed = split(from, source) && split(to, target);
  if (followed) {
    see(s, source);
    see(s, target);
  }
  if (lost(s)) return -1;
  const int rc = vel_defaultPlatform().renameFile(from, to);
  if (rc == 0 && followed && source != target) {
    const long inode = s.current[source];
    const std::uint64_t group = s.nextGroup++;
    bindName(s, target, inode, group);
    bindName(s, source, kAbsent, group);
  }
  return rc;
}

inline int plClose(int fd) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.descriptors.erase(fd);
  }
  return vel_defaultPlatform().closeFile(fd);
}

inline bool dead() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.dead;
}

inline int plReserve(int fd, long long offset, long long length) {
  if (dead()) return EIO;
  return vel_defaultPlatform().reserveSpace(fd, offset, length);
}

inline int plTmpFile() {
  if (dead()) {
    errno = EIO;
    return -1;
  }
  return vel_defaultPlatform().tmpFile();
}

// --- the test's side ---------------------------------------------------------

// A fresh model; the power goes at changing call number `at` (-1: never by
// itself).  Names and files are followed from the first time they are met.
// Syncs of followed files and of directories are only modelled (the real
// disk's durability is not under test, and a real sync costs milliseconds).
// The model is put under the library by
// `VELFaultDisk::installPowerLoss`.
inline void reset(long long at, bool strictPosix) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.strictPosix = strictPosix;
  s.ops = 0;
  s.lossAt = at;
  s.dead = false;
  s.nextGroup = 0;
  s.inodes.clear();
  s.descriptors.clear();
  s.current.clear();
  s.durable.clear();
  s.unsynced.clear();
  s.report.clear();
}

// The model's calls: the real disk's, with the changing ones followed.
inline const VELPlatformCalls& modelCalls() {
  static const VELPlatformCalls calls = [] {
    VELPlatformCalls c = vel_defaultPlatform();
    c.openFile = plOpen;
    c.writeFile = plWrite;
    c.truncateFile = plTruncate;
    c.syncFile = plSync;
    c.syncDirectory = plSyncDirectory;
    c.unlinkFile = plUnlink;
    c.renameFile = plRename;
    c.closeFile = plClose;
    c.reserveSpace = plReserve;
    c.tmpFile = plTmpFile;
    return c;
  }();
  return calls;
}

// Changing calls made before the power went (all of them while it is on).
inline long long calls() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.ops;
}
// True once the power has gone.
inline bool powerGone() { return dead(); }
// What the last `powerLoss` chose, one line per name or file it touched.
inline std::string lastReport() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.report;
}

// Takes the power now if it is still on, and rewrites the real directories
// to a state the disk could hold, chosen with `seed`.  Returns false when
// the real files could not be rewritten.
inline bool powerLoss(std::uint64_t seed) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.dead = true;
  std::mt19937_64 random(seed * 0x9E3779B97F4A7C15ULL + 1);
  std::ostringstream report;

  // Names: where each one leads after the loss.
  std::map<Name, long> after = s.durable;
  if (s.strictPosix) {
    std::map<Name, std::vector<long>> seen;
    for (const NameChange& c : s.unsynced) seen[c.name].push_back(c.inode);
    for (const auto& entry : seen) {
      const std::size_t pick = static_cast<std::size_t>(random() % (entry.second.size() + 1));
      if (pick > 0) after[entry.first] = entry.second[pick - 1];
      report << pathOf(entry.first) << ": binding " << pick << " of " << entry.second.size() << " unsynced\n";
    }
  } else if (!s.unsynced.empty()) {
    std::vector<std::uint64_t> groups;
    for (const NameChange& c : s.unsynced) {
      if (groups.empty() || groups.back() != c.group) groups.push_back(c.group);
    }
    const std::size_t kept = static_cast<std::size_t>(random() % (groups.size() + 1));
    for (const NameChange& c : s.unsynced) {
      if (std::find(groups.begin(), groups.begin() + static_cast<std::ptrdiff_t>(kept), c.group) !=
          groups.begin() + static_cast<std::ptrdiff_t>(kept)) {
        after[c.name] = c.inode;
      }
    }
    report << "names: " << kept << " of " << groups.size() << " unsynced changes kept\n";
  }

  // Content of every file that some name leads to.
  std::set<long> live;
  for (const auto& entry : after) {
    if (entry.second != kAbsent) live.insert(entry.second);
  }
  std::map<long, std::string> content;
  for (long id : live) {
    const Inode& inode = s.inodes[static_cast<std::size_t>(id)];
    std::string bytes = inode.durable;
    const unsigned style = static_cast<unsigned>(random() % 3);  // none, all, by chance
    std::size_t applied = 0;
    std::size_t torn = 0;
    for (const Change& c : inode.pending) {
      const bool take = style == 1 || (style == 2 && random() % 2 == 0);
      if (!take) continue;
      std::size_t keep = c.bytes.size();
      if (!c.truncate && keep > 1 && random() % 4 == 0) {
        // Torn: a prefix, ending on a sector boundary of the file or anywhere.
        const std::uint64_t firstBoundary = (c.offset / 512 + 1) * 512;
        if (random() % 2 == 0 && firstBoundary < c.offset + keep) {
          const std::uint64_t sectors = (c.offset + keep - firstBoundary + 511) / 512;
          keep = static_cast<std::size_t>(firstBoundary + 512 * (random() % sectors) - c.offset);
        } else {
          keep = static_cast<std::size_t>(random() % keep);
        }
        ++torn;
      }
      apply(bytes, c, keep);
      ++applied;
    }
    if (!inode.pending.empty()) {
      std::string where = "(unlinked)";
      for (const auto& entry : after) {
        if (entry.second == id) where = pathOf(entry.first);
      }
      report << where << ": " << applied << " of " << inode.pending.size() << " unsynced changes, " << torn
             << " torn\n";
    }
    content[id] = std::move(bytes);
  }

  // Rewrite the real directories.
  bool ok = true;
  for (const auto& entry : after) {
    const std::string path = pathOf(entry.first);
    if (entry.second == kAbsent) {
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) ok = false;
    } else {
      const Inode& inode = s.inodes[static_cast<std::size_t>(entry.second)];
      const bool unchanged = s.current[entry.first] == entry.second && inode.pending.empty();
      if (!unchanged && !writeReal(path, content[entry.second])) ok = false;
    }
    if (s.current[entry.first] != entry.second) report << path << ": not as the process left it\n";
  }

  // The rebooted machine's disk holds exactly this.
  for (auto& entry : content) {
    Inode& inode = s.inodes[static_cast<std::size_t>(entry.first)];
    inode.durable = entry.second;
    inode.pending.clear();
  }
  s.current = after;
  s.durable = after;
  s.unsynced.clear();
  s.descriptors.clear();
  s.report = report.str();
  return ok;
}

}  // namespace VELPowerLossPlatform

#endif
