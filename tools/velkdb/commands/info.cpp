// `velkdb info`: the database's files, versions, expiry and record counts.
#include <iostream>

#include "cli.h"
#include "text.h"

namespace velkdb {

const CommandText kText = {"info", "show files, versions, expiry, record counts and sizes",
                           "info -d BASE",
                           R"(Opens each table alone and prints its file name, size, header version and record count, and the
database's password expiry (kept in the key table).  Exits 1 when a table does not open.)"};

namespace {

unsigned long long countOf(FileDBManager& db, Table t) {
  const VELASNInteger any;
  if (t == Table::Key) return db.getKeyCountByIndex(VELDBManager::KeyAllRecords, any);
  if (t == Table::KeyPair) return db.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, any);
  return db.getCRLCountByIndex(VELDBManager::CRLAllRecords, any);
}

int run(const DbOptions& db) { return printInfo(databasePaths(db), databasePassword(db)) == 0 ? 0 : 1; }

}  // namespace

int printInfo(const DbPaths& paths, const Secret& password) {
  int faults = 0;
  std::cout << "database: " << printable(paths.base) << "\n";
  for (Table t : kTables) {
    const std::string file = paths.file(t);
    std::cout << tableName(t) << ":\n  file:     " << printable(file) << "\n";
    if (!fileExists(file)) {
      std::cout << "  absent" << (t == Table::Key ? " (no database here)" : "") << "\n";
      if (t == Table::Key) ++faults;
      continue;
    }
    std::cout << "  size:     " << fileSize(file) << " bytes\n";
    try {
      TableHandle table(paths, t, password, false);
      FileDBManager& db = table.db();
      std::cout << "  version:  " << table.version() << "\n"
                << "  records:  " << countOf(db, t) << "\n";
      if (table.version() == 3) std::cout << "  note:     " << kVersion3Note << "\n";
      if (t == Table::Key) {
        // The database's settings are read from its key table.
        std::cout << "  password expires: " << expiryText(db.getDBPasswordExpirationTime())
                  << (db.hasDBPasswordExpired() ? " (EXPIRED)" : "") << "\n";
      }
    } catch (const VELException& e) {
      ++faults;
      std::cout << "  error:    " << errorLine(e) << "\n";
    }
  }
  return faults;
}

Command addInfo(CLI::App& root) { return databaseCommand(root, kText, run); }

}  // namespace velkdb
