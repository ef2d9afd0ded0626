// filedbtransactionguard.h -- a transaction that rolls back unless committed.
//
//   FileDBTransactionGuard transaction(manager);
//   manager.insertKey(a);
//   manager.insertCRL(b);
//   transaction.commit();   // both, durably; a throw before here: neither
//
// The guard begins a transaction on `manager` (see
// `FileDBManager::beginTransaction` for the semantics and errors) and rolls
// it back in its destructor unless `commit` succeeded.  The manager must
// outlive the guard.  One thread uses a guard.
#ifndef DBFILE_FILEDBTRANSACTIONGUARD_H
#define DBFILE_FILEDBTRANSACTIONGUARD_H

class FileDBManager;

class FileDBTransactionGuard {
 public:
  // CREATORS
  // Begins a transaction on `manager`; its errors pass on.
  explicit FileDBTransactionGuard(FileDBManager& manager);
  FileDBTransactionGuard(const FileDBTransactionGuard&) = delete;
  FileDBTransactionGuard& operator=(const FileDBTransactionGuard&) = delete;
  // Rolls the transaction back unless it was committed; never throws.
  ~FileDBTransactionGuard();

  // MANIPULATORS
  // Commits; the transaction is closed afterwards whether or not this
  // throws (a failed commit leaves nothing of it).
  void commit();
  // Rolls back now; nothing when the transaction is closed already.
  void rollback();

 private:
  // DATA
  FileDBManager& d_manager;
  bool d_open;
};

#endif
