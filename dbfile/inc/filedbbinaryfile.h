// filedbbinaryfile.h -- the only door between the database and the disk.
//
// `FileDBBinaryFile` wraps one descriptor: creating a database file
// exclusively, opening one exclusively (read-write) or shared (read-only)
// with a lock taken by the open itself, positioned raw reads and writes that
// move the full byte count or fail, size changes, byte-range locks, an
// anonymous temporary file, and the static operations on path names
// (exists, full path, remove, rename, list, directory sync).
// Every failure is a `VELDBException` whose message names the failing call:
//
//   0x8C232 not open            0x8C233 already open
//   0x8C234 cannot create       0x8C235 cannot delete
//   0x8C236 cannot open         0x8C237 cannot close
//   0x8C238 read, file size     0x8C239 write, seek, size change
//   0x8C23A lock (also a lock refused at open)
//   0x8C23B unlock              0x8C24E file to create exists
//
// Files stay below 2 GiB: a write or size change that would reach past
// 2^31 - 1 bytes is refused with 0x8C239 before anything is written.
//
// One object is used by one thread at a time; the storage engine serialises
// all use of its file.  `StringDBBinaryFile` (below) keeps the same
// interface over a caller's string.
#ifndef DBFILE_FILEDBBINARYFILE_H
#define DBFILE_FILEDBBINARYFILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "veldbconnectinfo.h"
#include "velpassword.h"
#include "velstring.h"

class FileDBBinaryFile {
 public:
  // Any value but Current and End counts as Begin (fixed underlying type, so
  // every int is a valid value).
  enum Origin : int { Begin = 1, Current = 2, End = 3 };

  // Largest size a database file may reach.
  static constexpr std::uint64_t kMaxFileSize = 0x7FFFFFFFULL;

  // CREATORS
  FileDBBinaryFile();
  // Opens `path` as `openExisting` does; a failure leaves by the exception.
  FileDBBinaryFile(const VELString& path, VELDBConnectInfo::AccessMode mode);
  FileDBBinaryFile(const FileDBBinaryFile&) = delete;
  FileDBBinaryFile& operator=(const FileDBBinaryFile&) = delete;
  // Closes an open file; never throws.
  virtual ~FileDBBinaryFile();

  // MANIPULATORS
  // Creates `path` (mode 0600) and opens it read-write with the write lock.
  virtual void openNew(const VELString& path);
  // Opens `path` shared (mode 0) or exclusive (mode 1).
  virtual void openExisting(const VELString& path, VELDBConnectInfo::AccessMode mode);
  // Opens `path` read-only without taking or waiting for its lock, to read a
  // file that this process holds locked through another descriptor;
  // closing it leaves that lock alone.  0x8C236 "vel_openUnlockedRead(path)".
  virtual void openUnlockedRead(const VELString& path);
  // Opens an anonymous temporary file, gone once closed.
  virtual void openTmpFile();
  // Releases the lock and closes; the object ends closed even on failure.
  virtual void close();
  // Reads exactly `count` bytes into `out`.
  virtual void read(VELString& out, std::uint64_t count);
  virtual void read(void* buffer, const std::uint64_t& count);
  // Reads exactly `count` bytes at `offset`, in one system call where the
  // file allows, without using the file position; afterwards the position
  // is unspecified.  Errors as `read`.
  virtual void readAt(std::uint64_t offset, void* buffer, std::uint64_t count);
  virtual const VELConstString& getFileName() const;
  virtual std::uint64_t getSize() const;
  virtual void isOpenCheck() const;
  virtual void notOpenCheck() const;
  virtual void write(const VELString& data);
  virtual void write(const void* buffer, const std::uint64_t& count);
  virtual std::uint64_t setPosition(const long& offset, const Origin& origin);
  virtual std::uint64_t setPosition(std::uint64_t position);
  virtual void setSize(std::uint64_t size);
  virtual void lock(std::uint64_t offset, std::uint64_t length, int mode);
  virtual void unlock(std::uint64_t offset, std::uint64_t length);
  // Makes sure that the file can grow to `size` bytes without running out
  // of space, so that a later rewrite cannot fail half-way for want of
  // disk.  Throws 0x8C239 (with errno) when the space cannot be had.
  virtual void reserve(std::uint64_t size);
  // Forces written data to stable storage.  Throws 0x8C239 on failure.
  virtual void sync();
  // Lets the group of `table` read and write this file as it may the table
  // (new files are 0600; a database a group shares has tables of 0660, and
  // a journal one member leaves must be recoverable by the others).  A
  // failure is traced, never thrown: the file stays the owner's.
  void shareModeOf(const FileDBBinaryFile& table) noexcept;
  // True for a file that lives in memory (no journal, no disk temporary).
  virtual bool isInMemory() const { return false; }
  // Writes and size changes made through this object so far: a change
  // compares two readings to learn whether it touched the file.
  std::uint64_t getModificationCount() const { return modificationCount; }

  // Change brackets.  Every change the storage makes to a table file runs
  // between `beginChange` and `commitChange` (or `rollbackChange`), so that
  // a journaled file can keep the original bytes of what the change
  // overwrites.  `protect` announces a region the change will overwrite, so
  // that it is saved in one go.  A plain file ignores all four.
  virtual void beginChange() {}
  virtual void protect(std::uint64_t offset, std::uint64_t length) {
    (void)offset;
    (void)length;
  }
  virtual void commitChange() {}
  virtual void rollbackChange() {}
  // Inside a change that changes the table's password: what the change
  // leaves behind (a journal) must open under `password` too.  A plain file
  // ignores it.
  virtual void admitPassword(const VELPasswordEncryptor& password) { (void)password; }
  // The two halves of `commitChange`, for a commit that spans several
  // files.  `prepareCommit` makes the change durable without ending it and,
  // when `transactionID` (16 bytes) is given, marks the journal as part of
  // that transaction; true when the change wrote (the file has a journal).
  // `finishCommit` ends it.  A plain file: nothing to prepare.
  virtual bool prepareCommit(const unsigned char* transactionID) {
    (void)transactionID;
    return false;
  }
  virtual void finishCommit() { commitChange(); }
  // Rolls back a change whose own rollback failed earlier (its journal is
  // still there); true when the file was changed by that.
  virtual bool recoverPending() { return false; }

  // Existence only; never throws.
  static bool exists(const VELString& path);
  static VELString fullPathName(const VELString& path);
  static void remove(const VELString& path);
  static void rename(const VELString& from, const VELString& to);
  // The names of the entries of `directory` that begin with `prefix`
  // (names only, in no order).  Throws 0x8C238 "vel_listdir-" directory.
  static std::vector<std::string> list(const VELString& directory, const VELString& prefix);
  // Makes the entries of the directory that holds `path` durable: a file
  // made, renamed or removed there.  Throws kWrite "vel_syncdir-" path with
  // errno.
  static void syncDirectory(const VELString& path);

 protected:
  int getFileDescriptor() const { return fileDescriptor; }
  // The position of the next read or write.
  std::uint64_t currentPosition();
  // Counted by every write and size change, here and in derived classes.
  std::uint64_t modificationCount = 0;

 private:
  void checkGrowth(std::uint64_t end) const;
  // Bytes between the cursor and the end of the file.
  std::uint64_t bytesAvailable();
  void resetToClosed();

  // DATA
  VELConstString fileName;
  int fileDescriptor;
  std::FILE* tmpStream;
  bool deleteOnClose;
  bool holdsLock;          // false for an unlocked reader
  std::uint64_t position;  // cursor as of the last call; -1 when unknown
};

#endif
