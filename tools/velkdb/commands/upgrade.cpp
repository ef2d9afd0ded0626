// velkdb upgrade: a version-3 database made version 4, all at once.
//
// Version-3 tables seal their slots with an XOR of per-slot digests, so
// slots of two snapshots of a file can be combined into a table that still
// verifies; version 4 seals them with a keyed hash over the whole file.
//
// The steps, and what a crash at each leaves:
//  1. The database is held (opened read-write) for the whole upgrade, and a
//     version-4 copy of every table is built beside it under the names
//     BASE.vkey.velkdb-upgrade, ..., every record under its own record ID
//     (see copyTable), with its label, trust flag and wrapped key as
//     stored, and the password expiry.  A crash leaves the database as it was; the next
//     upgrade removes the partial copy.
//  2. The copy is opened again as version 4 and compared record by record
//     with the database.  Any difference stops the upgrade before step 3.
//  3. Each original table is linked to BASE.vkey.velkdb-v3, ..., then each
//     copy is renamed over its original, one table at a time, and the
//     directory synced.  A rename replaces a table whole, and both tables
//     hold the same records under the same password: a crash between two
//     renames leaves a database that opens and reads as before with some
//     tables at version 4, which the next upgrade completes.
//  4. The version-3 links are removed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <map>
#include <memory>

#include "cli.h"
#include "filedbtransactionguard.h"
#include "text.h"
#include "veldbconnectinfo.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

std::string upgradeName(const DbPaths& paths, Table t) { return paths.file(t) + ".velkdb-upgrade"; }
std::string backupName(const DbPaths& paths, Table t) { return paths.file(t) + ".velkdb-v3"; }

void syncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throwSystemError(VELDBError::kWrite, dir, errno);
  const int result = fsync(fd);
  const int error = errno;
  close(fd);
  if (result != 0) throwSystemError(VELDBError::kWrite, dir, error);
}

void removeIfThere(const std::string& path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT) throwSystemError(VELDBError::kCannotDelete, path, errno);
}

// Every record of one table: its ID and its DER (a record of any table
// stores exactly this).
using Snapshot = std::map<unsigned, std::string>;

std::string derText(const VELASNRecord& r) {
  const VELBuffer der = r.write();
  return std::string(reinterpret_cast<const char*>(der.data()), der.length());
}

Snapshot snapshot(FileDBManager& db, Table t) {
  Snapshot s;
  auto keep = [&](VELASNRecord& r) {
    if (!s.emplace(idOf(r), derText(r)).second) {
      VELDB_THROW(VELDBError::kDuplicateRecordID, std::string(tableName(t)) + " table: record ID " +
                                                      std::to_string(idOf(r)) + " is used twice");
    }
  };
  if (t == Table::Key) forEachKey(db, [&](VELASNKeyRecord& r) { keep(r); });
  if (t == Table::KeyPair) forEachKeyPair(db, [&](VELASNKeyPairRecord& r) { keep(r); });
  if (t == Table::CRL) forEachCRL(db, [&](VELASNCRLRecord& r) { keep(r); });
  return s;
}

// Inserts a copy of the record with DER `der` into table `t` of `db`.
unsigned insertCopy(FileDBManager& db, Table t, const std::string& der) {
  const VELASNCBuffer view(der.data(), der.size());
  if (t == Table::Key) {
    VELASNKeyRecord r(1);
    r.read(view);
    db.insertKey(r);
    return idOf(r);
  }
  if (t == Table::KeyPair) {
    VELASNKeyPairRecord r(1);
    r.read(view);
    db.insertKeyPair(r);
    return idOf(r);
  }
  VELASNCRLRecord r;
  r.read(view);
  db.insertCRL(r);
  return idOf(r);
}

void deleteById(FileDBManager& db, Table t, unsigned id) {
  const VELASNInteger key = VELDBUtility::recordIDToASN(id);
  if (t == Table::Key) db.deleteKeyByIndex(VELDBManager::KeyRecordID, key);
  if (t == Table::KeyPair) db.deleteKeyPairByIndex(VELDBManager::KeyPairRecordID, key);
  if (t == Table::CRL) db.deleteCRLByIndex(VELDBManager::CRLRecordID, key);
}

// How many record IDs are used up between two closes of the new database.
constexpr std::size_t kFillersPerPass = 1000;

// Copies `records` into table `t` of the new database `fresh` under their
// own IDs.  A new table hands out IDs from 1 up, one after the other: the
// ID of a record deleted from the old table is used up by a copy inserted
// and deleted again, and the slots of those go when the database is closed
// (every kFillersPerPass of them, reopened with `reopen`, so that the file
// stays small).
void copyTable(std::unique_ptr<FileDBManager>& fresh, const VELDBConnectInfo::FILE& reopen, Table t,
               const Snapshot& records) {
  unsigned next = 1;
  std::size_t fillers = 0;
  auto expect = [&](unsigned got, unsigned wanted) {
    if (got != wanted) {
      VELDB_THROW(VELDBError::kRecordIDRollover, std::string(tableName(t)) + " table: the record of ID " +
                                                     std::to_string(wanted) + " got the ID " + std::to_string(got));
    }
  };
  std::unique_ptr<FileDBTransactionGuard> transaction(new FileDBTransactionGuard(*fresh));
  for (const auto& record : records) {
    for (; next < record.first; ++next, ++fillers) {
      const unsigned id = insertCopy(*fresh, t, record.second);
      expect(id, next);
      deleteById(*fresh, t, id);
    }
    expect(insertCopy(*fresh, t, record.second), record.first);
    ++next;
    if (fillers >= kFillersPerPass) {
      transaction->commit();
      transaction.reset();
      fresh.reset();  // closing removes the deleted slots
      fresh.reset(new FileDBManager(reopen));
      transaction.reset(new FileDBTransactionGuard(*fresh));
      fillers = 0;
    }
  }
  transaction->commit();
}

}  // namespace

namespace {

void removeCopies(const DbPaths& paths) {
  for (Table t : kTables) unlink(upgradeName(paths, t).c_str());
}

// Steps 3 and after: the copies checked take the tables' places.
void swapInCopies(const DbPaths& paths, const std::vector<Table>& present) {
  // 3. The old tables linked aside, then each replaced whole by its copy,
  // which takes the old file's mode (and, for root, its owner).
  for (Table t : present) {
    struct stat st {};
    if (stat(paths.file(t).c_str(), &st) == 0) {
      if (chmod(upgradeName(paths, t).c_str(), st.st_mode & 07777) != 0 ||
          (geteuid() == 0 && chown(upgradeName(paths, t).c_str(), st.st_uid, st.st_gid) != 0)) {
        const int error = errno;
        removeCopies(paths);
        throwSystemError(VELDBError::kWrite, upgradeName(paths, t) + " (the database is unchanged)", error);
      }
    }
    removeIfThere(backupName(paths, t));
    if (link(paths.file(t).c_str(), backupName(paths, t).c_str()) != 0) {
      const int error = errno;
      removeCopies(paths);
      throwSystemError(VELDBError::kCannotCreate, backupName(paths, t) + " (the database is unchanged)", error);
    }
  }
  syncDirectoryOf(paths.base);
  std::size_t renamed = 0;
  for (Table t : present) {
    if (std::rename(upgradeName(paths, t).c_str(), paths.file(t).c_str()) != 0) {
      throwSystemError(VELDBError::kWrite,
                       "renaming " + upgradeName(paths, t) + " to " + paths.file(t) +
                           " (the tables renamed so far are at version 4 with the same records; run `velkdb "
                           "upgrade` again to complete it)",
                       errno);
    }
    testCrashPoint("upgrade", ++renamed);
  }
  // A table the database did not have is not added.
  removeCopies(paths);
  syncDirectoryOf(paths.base);
}

int runUpgrade(const DbOptions& o) {
  const DbPaths paths = databasePaths(o);
  const Secret password = databasePassword(o);
  if (!fileExists(paths.file(Table::Key))) VELDB_THROW(VELDBError::kCannotOpen, "no database " + paths.base);
  std::vector<Table> present;
  std::size_t old = 0;
  for (Table t : kTables) {
    if (!fileExists(paths.file(t))) continue;
    present.push_back(t);
    TableHandle table(paths, t, password, false);
    if (table.version() == 3) ++old;
  }
  if (old == 0) {
    // Links that a stopped upgrade left are not needed any more.
    for (Table t : kTables) removeIfThere(backupName(paths, t));
    std::cout << "database " << printable(paths.base) << " is at version 4 already; nothing to do\n";
    return 0;
  }

  // 1. Held for the whole upgrade; every table copied beside it.
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  std::map<Table, Snapshot> records;
  for (Table t : present) records[t] = snapshot(*db, t);
  const long long expiry = db->getDBPasswordExpirationTime();
  for (Table t : kTables) removeIfThere(upgradeName(paths, t));
  const auto removeCopy = [&] { removeCopies(paths); };
  VELDBConnectInfo::FILE info("", toEncryptor(password), VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite,
                              upgradeName(paths, Table::Key), upgradeName(paths, Table::KeyPair),
                              upgradeName(paths, Table::CRL));
  // The slots keep the length the key table has (the others grow as their
  // records need).
  if (const unsigned long length = db->getKeyRecordLength()) {
    info.setInitialRecordLength(static_cast<std::uint32_t>(length));
  }
  try {
    {
      std::unique_ptr<FileDBManager> fresh(new FileDBManager(info));
      if (expiry != 0) fresh->setDBPasswordExpirationTime(expiry);
      info.setConnectType(VELDBConnectInfo::OpenV4);
      for (Table t : present) copyTable(fresh, info, t, records[t]);
    }
    // 2. The copy, opened again as version 4, holds what the database does.
    info.setAccessMode(VELDBConnectInfo::ReadOnly);
    FileDBManager copy(info);
    if (copy.getDBVersion() != 4 || copy.getDBPasswordExpirationTime() != expiry) {
      VELDB_THROW(VELDBError::kBadFormat, "the version-4 copy is not what was written");
    }
    for (Table t : present) {
      if (snapshot(copy, t) != records[t]) {
        VELDB_THROW(VELDBError::kBadFormat, std::string("the version-4 copy of the ") + tableName(t) +
                                                " table differs from the table");
      }
    }
  } catch (const VELException& e) {
    removeCopy();
    rethrowWithContext(e, "upgrading " + paths.base + " (the database is unchanged)");
  }

  swapInCopies(paths, present);
  db.reset();

  // 4. The old tables go.
  for (Table t : present) removeIfThere(backupName(paths, t));
  syncDirectoryOf(paths.base);
  std::size_t count = 0;
  for (const auto& table : records) count += table.second.size();
  std::cout << "upgraded " << printable(paths.base) << " to version 4 (" << present.size()
            << (present.size() == 1 ? " table, " : " tables, ") << count << (count == 1 ? " record" : " records")
            << ")\n";
  return 0;
}

}  // namespace

const CommandText kText = {"upgrade", "turn a version-3 database into a version-4 one",
                           "upgrade -d BASE",
                           R"(Rewrites every version-3 table of the database as version 4, keeping every record under its record
ID with its label, trust flag and private key as stored, and the password and its expiry.  Version-3
tables can be forged by combining snapshots of a file (their seal is an XOR of per-slot digests);
version 4 seals each file with a keyed hash.  The new tables are built beside the old ones
(BASE.vkey.velkdb-upgrade, ...), opened again and compared with them record by record, and only then
renamed into place one by one, the old files kept as BASE.vkey.velkdb-v3, ... until the renames are
done.  A crash before the renames leaves the database as it was; a crash between them leaves tables
that all open with the same records, some at version 4, and running upgrade again completes it.  A
database already at version 4 is left alone (exit status 0).)"};

Command addUpgrade(CLI::App& root) { return databaseCommand(root, kText, runUpgrade); }

}  // namespace velkdb
