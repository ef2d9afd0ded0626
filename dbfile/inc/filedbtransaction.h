// filedbtransaction.h -- one atomic, durable change over the tables of one
// database.
//
// A `FileDBTransaction` holds the instance mutex of every table storage it
// is given (taken in the order given: key, key pair, CRL, as every holder
// of several takes them) from construction to its end, and keeps one change
// of each storage open (`FileDBStorage::beginTransaction`), so that every
// operation on those storages in this thread becomes a part of it, and
// every other thread waits.
//
// Commit.  Every storage seals what its operations left pending (one seal,
// one HMAC pass for version 4, per table file).  When at most one table
// file was written, that file's change commits as any single change does:
// its journal is the commit point.  When several were, their journals must
// commit together: the database's transaction file (see
// filedbjournaledfile.h) is written and made durable, every journal is
// marked with the transaction's ID and synced, every table file synced;
// removing the transaction file is the commit point; the journals go after
// it.  A kill or power loss before that point rolls every table back at its
// next read-write open; after it, every table keeps the change.
//
// Any failure before the commit point rolls every table back (files,
// indexes, counters) and passes the error on.  A failure after it (a
// journal that cannot be removed) is traced, not thrown: the change stands,
// and the journal left is recognised as committed and removed by the next
// change or open.
//
// Errors: 0x8B67A when the transaction is closed already, or when a storage
// has one open; 0x8C23F when an operation failed after it wrote (the
// transaction was rolled back then); the file errors of sealing and
// syncing.
#ifndef DBFILE_FILEDBTRANSACTION_H
#define DBFILE_FILEDBTRANSACTION_H

#include <cstddef>
#include <vector>

#include "filedbstorage.h"

class FileDBTransaction {
 public:
  // CREATORS
  // Locks every storage and begins the transaction on each; on failure
  // nothing stays begun or locked.
  explicit FileDBTransaction(const std::vector<FileDBStorage*>& storages);
  FileDBTransaction(const FileDBTransaction&) = delete;
  FileDBTransaction& operator=(const FileDBTransaction&) = delete;
  // Rolls back a transaction still open, and unlocks.  Never throws.
  ~FileDBTransaction();

  // MANIPULATORS
  // Commits; the transaction is closed afterwards, whether this throws or
  // not (a failed commit is rolled back).
  void commit();
  // Rolls every storage back and closes the transaction.
  void rollback() noexcept;

  // ACCESSORS
  bool isOpen() const { return d_open; }

 private:
  void unlock() noexcept;

  // DATA
  std::vector<FileDBStorage*> d_storages;
  std::size_t d_locked;  // leading storages whose mutex is held
  bool d_open;
};

#endif
