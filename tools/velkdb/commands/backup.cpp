// `velkdb backup`: the table files copied byte for byte as one committed
// state.
//
// The database is opened read-only, which holds every table's shared lock
// for as long as it stays open: no writer can start or finish a change
// meanwhile, so the three copies are of the same moment.  Each table is
// read through a second, unlocked descriptor of the disk layer (the lock
// stays with the open database), copied to a new file beside DEST, synced,
// and only when every copy is whole are they renamed to DEST's names and
// the directory synced.  A change left unfinished by a stopped process (a
// journal beside a table) would be copied half done: the backup is refused
// until `recover` has finished it.
#include <algorithm>
#include <iostream>
#include <memory>
#include <vector>

#include "cli.h"
#include "filedbbinaryfile.h"
#include "interrupt.h"
#include "text.h"

namespace velkdb {

namespace {

struct BackupOptions {
  DbOptions db;
  std::string dest;
  bool force = false;
};

// Bytes read and written at a time.
constexpr std::uint64_t kChunk = 1u << 20;

// The suffix of a copy under way, beside its final name.
const char kPartSuffix[] = ".velkdb-backup-part";

// What the library leaves beside a database's tables while a change is
// under way, and after one a stopped process left unfinished: the tables'
// journals, a password change's journal, transaction files.
std::vector<std::string> changeFiles(const DbPaths& paths) {
  std::vector<std::string> found = transactionFiles(paths);
  for (Table t : kTables) {
    if (fileExists(paths.journal(t))) found.push_back(paths.journal(t));
  }
  if (fileExists(paths.passwordJournal())) found.push_back(paths.passwordJournal());
  return found;
}

void copyTable(const std::string& from, const std::string& to) {
  FileDBBinaryFile source;
  source.openUnlockedRead(from);
  if (FileDBBinaryFile::exists(to)) FileDBBinaryFile::remove(to);  // a stopped backup's
  FileDBBinaryFile copy;
  copy.openNew(to);
  copy.shareModeOf(source);
  const std::uint64_t size = source.getSize();
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min(size, kChunk)));
  for (std::uint64_t at = 0; at < size; at += kChunk) {
    checkInterrupt();
    const std::uint64_t n = std::min(kChunk, size - at);
    source.readAt(at, buffer.data(), n);
    copy.write(buffer.data(), n);
  }
  copy.sync();
  copy.close();
  source.close();
}

int runBackup(const BackupOptions& o) {
  const DbPaths paths = databasePaths(o.db);
  const DbPaths dest = makePaths(o.dest);
  if (dest.base == paths.base) throw UsageError("DEST is the database itself");
  // Left beside DEST from an earlier life, a journal would be laid over the
  // copies at their next open: it goes with the tables.
  std::vector<std::string> inTheWay = changeFiles(dest);
  for (Table t : kTables) {
    if (fileExists(dest.file(t))) inTheWay.push_back(dest.file(t));
  }
  if (!inTheWay.empty() && !o.force) {
    VELDB_THROW(VELDBError::kFileExists,
                printable(inTheWay.front()) + " exists: give --force to replace the database at " + printable(dest.base));
  }
  const Secret password = databasePassword(o.db);
  // Held open until every table is copied: the shared locks keep writers
  // out (the open waits for one under way), so a journal found now is one
  // a stopped process left.
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  const std::vector<std::string> pending = changeFiles(paths);
  if (!pending.empty()) {
    VELDB_THROW(VELDBError::kBadArgument, "a change left unfinished lies beside the database (" +
                                              printable(pending.front()) + "); run `" +
                                              printable(recoverCommand(paths.base)) + "` first, then back up");
  }
  std::vector<Table> tables = {Table::Key};
  if (db->isKeyPairEnabled()) tables.push_back(Table::KeyPair);
  if (db->isCRLEnabled()) tables.push_back(Table::CRL);

  setInterruptOutcome("nothing was backed up");
  std::vector<std::string> parts;
  try {
    for (Table t : tables) {
      parts.push_back(dest.file(t) + kPartSuffix);
      copyTable(paths.file(t), parts.back());
    }
  } catch (...) {
    for (const std::string& part : parts) {
      try {
        FileDBBinaryFile::remove(part);
      } catch (const VELException&) {  // gone already
      }
    }
    throw;
  }
  // The copies are whole: what was at DEST goes (--force), they take its
  // names.
  for (const std::string& path : inTheWay) FileDBBinaryFile::remove(path);
  for (std::size_t i = 0; i < tables.size(); ++i) FileDBBinaryFile::rename(parts[i].c_str(), dest.file(tables[i]));
  FileDBBinaryFile::syncDirectory(dest.file(Table::Key));
  db.reset();
  std::cout << "backed up " << tables.size() << (tables.size() == 1 ? " table" : " tables") << " of "
            << printable(paths.base) << " to " << printable(dest.base) << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {
    "backup", "copy the database's table files, as one consistent state, to another base name",
    "backup -d BASE [--force] DEST",
    R"(Copies the table files of the database (BASE.vkey, and BASE.vkyp and BASE.vcrl when present) to
DEST.vkey, DEST.vkyp and DEST.vcrl, byte for byte: the same records with the same IDs, labels,
trust, keys, key pairs, CRLs and settings, under the same password.  The database is held read-only
(its shared lock: readers go on, writers wait) until every copy is whole; each copy is written beside
its final name, synced, and renamed into place, and the directory synced.  DEST is a base name like
--db's; a database at DEST is refused unless --force replaces it (its tables, journals and anything
else the library keeps beside them).  A change left unfinished by a stopped process is refused: run
velkdb recover first.  To restore, with no velkdb or other program using the database, copy the
DEST files back to BASE's names (or back up from DEST with --force), then velkdb verify.)"};

Command addBackup(CLI::App& root) {
  auto o = std::make_shared<BackupOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("DEST", o->dest, "base name of the copy")->required();
  app->add_flag("--force", o->force, "replace a database at DEST");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runBackup(*o); }};
}

}  // namespace velkdb
