// recover: finish what a stopped process left beside the database.
//
// A change stopped midway (a killed import, a power cut) leaves the
// library's journal beside its table, and a password change stopped midway
// leaves the password journal beside the key table; the next read-write
// open puts the tables back as their last committed change left them.
// `recover` is that one open, with a report of what it found before and
// what is left after.
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "text.h"

namespace velkdb {

namespace {

int runRecover(const DbOptions& o) {
  const DbPaths paths = databasePaths(o);
  const Secret password = databasePassword(o);
  if (!fileExists(paths.file(Table::Key))) {
    VELDB_THROW(VELDBError::kCannotOpen, "no database " + paths.base + " (no .vkey file)");
  }

  bool tableJournal[3] = {};
  for (Table t : kTables) tableJournal[static_cast<int>(t)] = fileExists(paths.journal(t));
  const bool passwordJournal = fileExists(paths.passwordJournal());

  // The password change is rolled back by the open itself; given the new
  // password of that change, the open is then refused for it.
  bool refusedAfterRollback = false;
  try {
    std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  } catch (const VELException& e) {
    if (!(passwordJournal && e.getError() == VELDBError::kBadPassword && !fileExists(paths.passwordJournal()))) throw;
    refusedAfterRollback = true;
  }

  unsigned done = 0, left = 0;
  if (passwordJournal && fileExists(paths.passwordJournal())) {
    ++left;
    std::cout << "password: the interrupted password change is still pending ("
              << printable(paths.passwordJournal()) << ")\n";
  } else if (passwordJournal) {
    ++done;
    std::cout << "password: rolled back an interrupted password change; the database has the password it had "
                 "before that change\n";
  }
  for (Table t : kTables) {
    if (!tableJournal[static_cast<int>(t)]) continue;
    if (fileExists(paths.journal(t))) {
      ++left;
      std::cout << tableName(t) << ": the interrupted change is still pending (" << printable(paths.journal(t))
                << ")\n";
    } else {
      ++done;
      std::cout << tableName(t) << ": finished an interrupted change; the table is as its last committed "
                                   "change left it\n";
    }
  }
  for (const std::string& file : transactionFiles(paths)) {
    ++left;
    std::cout << "left: " << printable(file) << "\n";
  }
  if (done == 0 && left == 0) std::cout << "nothing was pending\n";
  if (refusedAfterRollback && left != 0) {
    std::cout << "run `" << printable(recoverCommand(paths.base))
              << "` again with the password the database had before the change\n";
  }
  return left == 0 ? 0 : 1;
}

}  // namespace

const CommandText kText = {"recover", "finish a change that a stopped process left",
                           "recover -d BASE",
                           R"(A change stopped midway (a killed process, a power cut) leaves a journal beside its table, and a
password change stopped midway a password journal beside the key table; until one read-write open
finishes it, read-only commands read the table as its last committed change left it.  recover is
that open: it says, per table, what it finished (the table is then as its last committed change left
it; a password change is rolled back to the password the database had before it), or that nothing
was pending.  Either password of a stopped passwd finishes it the way it was decided.  Exits 1 when
anything is still pending afterwards.)"};

Command addRecover(CLI::App& root) { return databaseCommand(root, kText, runRecover); }

}  // namespace velkdb
