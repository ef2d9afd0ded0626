// database.h -- opening a velkdb database through FileDBManager.
//
// A database is named by its base name; its tables are the files
// <base>.vkey (keys), <base>.vkyp (key pairs) and <base>.vcrl (CRLs).
// `openDatabase` opens all tables with one password, as every command but
// `info`, `verify` and `passwd` does.  `TableHandle` opens one table alone
// (with its own password), which is how `info` and `verify` report per table
// and how `passwd` finishes a change that stopped between two tables: the
// manager always needs a key table, so a key-pair or CRL table is opened
// beside an empty scratch key table made for the purpose in a private
// temporary directory.  `KeyTables` opens the two tables that hold private
// keys together, so that `passwd` re-wraps them in one transaction.
//
// While a password change is under way the file <base>.velkdb-passwd marks
// it (see passwd.cpp); an open that fails for the password then says to run
// `passwd` again.
#ifndef VELKDB_DATABASE_H
#define VELKDB_DATABASE_H

#include <memory>
#include <string>
#include <vector>

#include "filedbmanager.h"
#include "pki.h"
#include "velexception.h"

namespace velkdb {

enum class Table { Key = 0, KeyPair = 1, CRL = 2 };
constexpr Table kTables[] = {Table::Key, Table::KeyPair, Table::CRL};

// "keys", "keypairs", "crls" (as in --table and JSON).
const char* tableName(Table table);

// The files of one database.
struct DbPaths {
  std::string base;  // absolute
  std::string file(Table table) const;
  // The library's journal beside a table while a change of it is under way
  // (left there when the change was interrupted), and the journal of a
  // password change, beside the key table.
  std::string journal(Table table) const { return file(table) + "-journal"; }
  std::string passwordJournal() const { return file(Table::Key) + "-password-journal"; }
};
// Paths for `base` (relative names resolved against the working directory);
// throws 0x8B67A for an empty name or a missing directory.
DbPaths makePaths(const std::string& base);
bool fileExists(const std::string& path);
long long fileSize(const std::string& path);

// One line for an error: "error 0x8C240 (wrong password): detail".  The
// library's refusal of a table with an interrupted change pending (0x8C23A
// with no errno) is said as what it is, with the command that finishes it.
std::string errorLine(const VELException& e);

// The transaction files of the database's last transaction that a stopped
// process left (<base>.vtxn-ID), by full path.
std::vector<std::string> transactionFiles(const DbPaths& paths);

// "velkdb recover -d BASE", BASE quoted for a shell when it needs to be.
std::string recoverCommand(const std::string& base);

// Throws `error` for a system call on `what` (a file's name) that failed
// with `errnoValue`: the message names the file and the cause.
[[noreturn]] void throwSystemError(unsigned long error, const std::string& what, int errnoValue);

// Re-throws `e` with `context` in front of its message, keeping its number
// and extra value.
[[noreturn]] void rethrowWithContext(const VELException& e, const std::string& context);

// A private temporary directory, removed with every file made in it (the
// tool's scratch tables and whatever the library put beside them).
class ScratchDir {
 public:
  // CREATORS
  ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();

  // ACCESSORS
  // The path of `name` in the folder, which is made on the first call (a
  // folder that is never used is never made, and so never left behind by a
  // process that is killed).  Throws 0x8C234 when it cannot be made.
  std::string path(const std::string& name) const;

 private:
  // DATA
  mutable std::string d_dir;  // empty until made
};

// All three tables under one password (read-write: exclusive), waiting
// while another process holds them (see lockwait.h).  Throws the
// library's error with the database named; a CRL table that is present but
// does not open is an error too (the manager would leave it out quietly).
std::unique_ptr<FileDBManager> openDatabase(const DbPaths& paths, const Secret& password, bool writable);

// One table alone.  Throws the library's error for that table (0x8C236 when
// its file is absent).  The manager reads its settings from the key table,
// which for a key-pair or CRL table is the scratch one: only the key
// table's handle answers expiry questions truly.  The header version of
// the table itself is `version()`, found by opening it as version 4 first.
class TableHandle {
 public:
  // CREATORS
  TableHandle(const DbPaths& paths, Table table, const Secret& password, bool writable);
  TableHandle(const TableHandle&) = delete;
  TableHandle& operator=(const TableHandle&) = delete;
  ~TableHandle();

  // MANIPULATORS
  FileDBManager& db() { return *d_db; }

  // ACCESSORS
  int version() const { return d_version; }

 private:
  // MANIPULATORS
  // One try at what the constructor does (it retries while the table is
  // locked).
  void open(const DbPaths& paths, Table table, const Secret& password, bool writable);
  void connect(const std::string& path, Table table, const Secret& password, bool writable, bool requireV4);

  // DATA
  int d_version = 4;
  ScratchDir d_scratch;
  std::unique_ptr<FileDBManager> d_scratchDb;
  std::unique_ptr<FileDBManager> d_db;
};

// The key table and, when its file exists, the key-pair table, under one
// password and without the CRL table (with it, when `withCRL` and its file
// exists), read-write.  An absent key-pair table is not created: the
// manager's key-pair file is then one in a private temporary directory (a
// transaction enables the key-pair table, and that must not add a file to
// the database).  Throws the library's error with the database named.
class KeyTables {
 public:
  // CREATORS
  KeyTables(const DbPaths& paths, const Secret& password, bool withCRL = false);
  KeyTables(const KeyTables&) = delete;
  KeyTables& operator=(const KeyTables&) = delete;
  ~KeyTables();

  // MANIPULATORS
  FileDBManager& db() { return *d_db; }

 private:
  // DATA
  ScratchDir d_scratch;
  std::unique_ptr<FileDBManager> d_db;
};

// Throws why the CRL file at `path` does not open with `password`
// (nothing when it does).
void diagnoseCRLTable(const std::string& path, const Secret& password);

}  // namespace velkdb

#endif
