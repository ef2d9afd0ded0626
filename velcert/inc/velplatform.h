// velplatform.h -- the one seam between the database and the operating system.
//
// Every system call that touches a database file goes through the function
// table `VELPlatformCalls`.  Tests install their own table (for example one
// that fails the Nth write, reports no space or writes short) with
// `vel_setPlatformCalls`; nothing else in the code base includes <unistd.h>
// or <fcntl.h>.
//
// The `vel_*` calls keep the shapes the storage engine expects:
// - results are 0 on success and an errno-style number or -1 on failure,
//   with errno set;
// - `vel_openExclusive` / `vel_openSharedRead` return 0 and a descriptor
//   >= 0, the open error number (17 for an existing file), or -1 with a
//   non-zero lock error when the file exists but its lock was refused.  The
//   lock is an open-file-description lock on byte 0, a write lock for
//   read-write and a read lock for read-only, so it excludes other processes
//   and other descriptors of this process alike;
// - the open calls never wait on what they open (a FIFO without a writer, a
//   device) and accept only a regular file: EISDIR for a directory,
//   `VEL_ENOTREGULAR` for anything else, after closing it again.  A symbolic
//   link is followed, for a directory on the way and for the file itself
//   alike: what is checked, locked and used is the file it leads to;
// - the open flags are the C-runtime flag words below, translated here.
#ifndef VELCERT_VELPLATFORM_H
#define VELCERT_VELPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "velstring.h"

// C-runtime open flag words, as the storage engine passes them.
constexpr int VEL_O_RDONLY = 0x0000;
constexpr int VEL_O_RDWR = 0x0002;
constexpr int VEL_O_CREAT = 0x0100;
constexpr int VEL_O_EXCL = 0x0400;
constexpr int VEL_O_BINARY = 0x8000;

// Lock kinds of `lockFile` and of `vel_lockfile`'s mode.
constexpr int VEL_LOCK_READ = 0;
constexpr int VEL_LOCK_WRITE = 1;
constexpr int VEL_LOCK_NONE = 2;

// What a descriptor refers to, as `fileKind` reports it.
constexpr int VEL_FILE_REGULAR = 0;
constexpr int VEL_FILE_DIRECTORY = 1;
constexpr int VEL_FILE_OTHER = 2;  // FIFO, socket, device

// The open calls' result for a path that names neither a regular file nor a
// directory.  No errno value has this meaning, so the number lies outside
// their range.
constexpr int VEL_ENOTREGULAR = 0x10000;

// Raw system calls, each with the plain POSIX contract (-1 and errno on
// failure unless noted).
struct VELPlatformCalls {
  int (*openFile)(const char* path, int posixFlags, int mode);
  long long (*readFile)(int fd, void* buffer, std::size_t count);
  long long (*writeFile)(int fd, const void* buffer, std::size_t count);
  long long (*seekFile)(int fd, long long offset, int whence);  // whence 0, 1, 2
  int (*closeFile)(int fd);
  int (*truncateFile)(int fd, long long size);
  long long (*fileSize)(int fd);
  // Makes sure that the bytes [offset, offset + length) have disk space;
  // returns 0 or an errno value (posix_fallocate's contract).
  int (*reserveSpace)(int fd, long long offset, long long length);
  // Open-file-description lock of `kind` on [offset, offset + length),
  // without waiting.
  int (*lockFile)(int fd, long long offset, long long length, int kind);
  int (*syncFile)(int fd);
  // Makes the directory entries of `path` (a directory) durable.
  int (*syncDirectory)(const char* path);
  int (*unlinkFile)(const char* path);
  int (*renameFile)(const char* from, const char* to);
  int (*accessFile)(const char* path);
  // An anonymous temporary file of mode 0600 that is gone once closed.
  int (*tmpFile)();
  // Reads at `offset` without using or moving the file position (pread).
  long long (*readFileAt)(int fd, void* buffer, std::size_t count, long long offset);
  // VEL_FILE_REGULAR, VEL_FILE_DIRECTORY or VEL_FILE_OTHER for what `fd`
  // refers to; -1 and errno on failure (fstat).
  int (*fileKind)(int fd);
  // Clears O_NONBLOCK, which the open calls set so as never to wait on what
  // they open (fcntl).
  int (*setBlocking)(int fd);
};

// The table in force, and the one that calls the operating system.
const VELPlatformCalls& vel_platform();
const VELPlatformCalls& vel_defaultPlatform();
// Installs `calls` (copied), or the default table when null.  Not
// synchronised with running file operations: tests install a table while no
// database is in use.
void vel_setPlatformCalls(const VELPlatformCalls* calls);

int vel_openExclusive(int* fd, const char* path, int flags, int permission, int* lockError);
int vel_openSharedRead(int* fd, const char* path, int flags, int* lockError);
// Gives `fd` the owner and group read and write bits that `likeFd` has
// (never any bit for others, always the owner's read and write): a file
// made beside a table that a group shares is readable by that group too.
// 0 or -1 and errno (fstat, fchmod).
int vel_shareModeOf(int fd, int likeFd);
// Opens a regular file for reading without taking or waiting for its lock
// (to read a file that this process holds locked through another
// descriptor); the result as for the calls above, never -1.
int vel_openUnlockedRead(int* fd, const char* path);
int vel_lockfile(int fd, std::uint64_t offset, std::uint64_t length, int mode);
int vel_unlockfile(int fd, std::uint64_t offset, std::uint64_t length);
// A temporary stream; `name` receives a descriptive name and
// `deleteOnClose` whether the file must be removed by name after closing
// (never, for the anonymous files made here).  Null on failure.
std::FILE* vel_tmpfile(VELString& name, bool& deleteOnClose);
int vel_deletetmpfile(const VELString& name);
int vel_fileno(std::FILE* stream);
long long vel_filesize(int fd);
int vel_chsize(int fd, long long size);
int vel_reserve(int fd, long long offset, long long length);
int vel_fsync(int fd);
// Syncs the directory that holds `path`.
int vel_syncdir(const char* path);
int vel_close(int fd);
int vel_fclose(std::FILE* stream);
// Absolute, normalised path; works for a file that does not exist yet.
int vel_fullpath(VELString& out, const char* path);
int vel_access(const char* path, int mode);
int vel_rename(const char* from, const char* to);
int vel_unlink(const char* path);
// Appends to `names` the names of the entries of `directory` that begin
// with `prefix` (names only, in no order).  0, or -1 with errno.
int vel_listdir(const char* directory, const char* prefix, std::vector<std::string>& names);
// Moves exactly `count` bytes unless end of file, no space or an error stops
// the transfer; retries on EINTR and on partial transfers.  Returns the
// number of bytes moved, or -1 (errno set) when nothing could be moved
// because of an error.
long long vel_readFully(int fd, void* buffer, std::size_t count);
long long vel_writeFully(int fd, const void* buffer, std::size_t count);
// The same as `vel_readFully`, at `offset`, leaving the file position alone.
long long vel_readFullyAt(int fd, void* buffer, std::size_t count, std::uint64_t offset);
long long vel_lseek(int fd, long long offset, int whence);

std::uint32_t vel_hton32(std::uint32_t v);
std::uint16_t vel_hton16(std::uint16_t v);
inline std::uint32_t vel_ntoh32(std::uint32_t v) { return vel_hton32(v); }
inline std::uint16_t vel_ntoh16(std::uint16_t v) { return vel_hton16(v); }
// Bounded copies: 0 on success, EINVAL for null pointers, ERANGE when
// `count` exceeds `destSize` (nothing is copied then).
int vel_memcpy_s(void* dest, std::size_t destSize, const void* src, std::size_t count);
int vel_memset_s(void* dest, std::size_t destSize, int value, std::size_t count);

#endif
