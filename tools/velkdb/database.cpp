#include "database.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "lockwait.h"
#include "password.h"
#include "text.h"
#include "veldbconnectinfo.h"

namespace velkdb {

namespace {

const char* const kSuffixes[] = {".vkey", ".vkyp", ".vcrl"};
// The scratch key table's files, named in the scratch directory.
const char* const kScratchFiles[] = {"s.vkey", "s.vkyp", "s.vcrl"};

// A FILE connect info naming each table file in full (empty base name).
VELDBConnectInfo::FILE fileInfo(const std::string& key, const std::string& keyPair, const std::string& crl,
                                const Secret& password, VELDBConnectInfo::ConnectType type, bool writable) {
  return VELDBConnectInfo::FILE("", toEncryptor(password), type,
                                writable ? VELDBConnectInfo::ReadWrite : VELDBConnectInfo::ReadOnly, key, keyPair, crl);
}

// The binary file names the call that failed and the file: "vel_read-PATH",
// "vel_openExclusive(PATH)".  For a user: what was being done, to which file.
struct FileCall {
  const char* prefix;
  const char* doing;
};
const FileCall kFileCalls[] = {
    {"vel_openExclusive(", "opening for reading and writing"},
    {"vel_openSharedRead(", "opening for reading"},
    {"vel_openUnlockedRead(", "opening for reading"},
    {"vel_openExclusive-", "creating"},
    {"vel_read-", "reading"},
    {"vel_write-", "writing"},
    {"vel_seek-", "seeking"},
    {"vel_chsize-", "changing the size"},
    {"vel_reserve-", "reserving space"},
    {"vel_fsync-", "syncing to disk"},
    {"vel_syncdir-", "syncing the directory"},
    {"vel_lockfile-", "locking"},
    {"vel_unlockfile-", "unlocking"},
    {"vel_fullpath-", "finding the full path"},
    {"vel_unlink-", "removing"},
    {"vel_rename-", "renaming"},
};

// A read or write that moved fewer bytes than asked for gives the byte count
// as its extra number, a failed one errno: only these errno values are what
// a read or a write fails with.
bool isTransferErrno(bool write, long long value) {
  switch (value) {
    case EIO:
    case EINTR:
    case EAGAIN:
    case EBADF:
    case EINVAL:
    case EISDIR:
      return true;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EPERM:
    case EROFS:
      return write;
    case EOVERFLOW:
      return !write;
    default:
      return false;
  }
}

// "PATH: doing: cause" for a message of the binary file; the message as it
// is for any other.
std::string describe(const VELException& e) {
  // velkdb puts what it was doing in front: "certificate CN=x: vel_write-PATH".
  const std::string whole = e.getMessage();
  std::size_t at = whole.compare(0, 4, "vel_") == 0 ? 0 : whole.find(": vel_");
  if (at == std::string::npos) return whole;
  if (at != 0) at += 2;
  const std::string context = whole.substr(0, at);
  const std::string message = whole.substr(at);
  for (const FileCall& call : kFileCalls) {
    const std::string prefix = call.prefix;
    if (message.compare(0, prefix.size(), prefix) != 0) continue;
    std::string path = message.substr(prefix.size());
    std::string after;  // what follows "vel_call(PATH)", kept behind the words
    if (prefix.back() == '(') {
      const std::size_t close = path.rfind(')');
      if (close != std::string::npos) {
        after = path.substr(close + 1);
        path.erase(close);
      }
    }
    std::string text = context + path + ": " + call.doing;
    if (!e.hasExtra() || e.getExtra() == 0) return text + after;
    const long long extra = e.getExtra();
    const bool transfer = prefix == "vel_read-" || prefix == "vel_write-";
    if (e.getError() == VELDBError::kLock) {
      text += ": another process has it open for writing";
    } else if (transfer && !isTransferErrno(prefix == "vel_write-", extra)) {
      text += prefix == "vel_read-" ? ": the file ended after " + std::to_string(extra) + " bytes"
                                    : ": only " + std::to_string(extra) + " bytes were written (is the disk full?)";
    } else if (extra > 0 && extra < 4096) {
      text += std::string(": ") + std::strerror(static_cast<int>(extra));
    }
    return text + after;
  }
  if (message == "vel_filesize" && e.hasExtra() && e.getExtra() > 0 && e.getExtra() < 4096) {
    return context + "reading a file's size: " + std::strerror(static_cast<int>(e.getExtra()));
  }
  return whole;
}

// The library refuses a read-only open of a table with a journal beside
// it, and a password change left half done, with 0x8C23A and no errno --
// which its meaning calls a lock, though nobody holds one: a stopped
// change waits for one read-write open.  Said so, with the command; empty
// for any other error.
std::string pendingChange(const VELException& e) {
  if (e.getError() != VELDBError::kLock || (e.hasExtra() && e.getExtra() != 0)) return std::string();
  const std::string message = e.getMessage();
  const std::size_t phrase = message.find("interrupted password change");
  const bool password = phrase != std::string::npos;
  const std::size_t at = password ? phrase : message.find("interrupted change");
  if (at == std::string::npos) return std::string();
  // The library names the file last, after a '-'.
  std::size_t dash = message.find(")-/", at);
  dash = dash != std::string::npos ? dash + 1 : message.find("-/", at);
  const std::string path = dash == std::string::npos ? std::string() : message.substr(dash + 1);
  auto endsWith = [&](const std::string& suffix) {
    return path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  const std::string passwordJournal = std::string(kSuffixes[0]) + "-password-journal";
  std::string base, table;
  if (endsWith(passwordJournal)) {
    base = path.substr(0, path.size() - passwordJournal.size());
  } else {
    for (Table t : kTables) {
      if (endsWith(kSuffixes[static_cast<int>(t)])) {
        base = path.substr(0, path.size() - std::strlen(kSuffixes[static_cast<int>(t)]));
        table = tableName(t);
      }
    }
  }
  const std::string run = "run `" + (base.empty() ? std::string("velkdb recover -d BASE") : recoverCommand(base)) + "`";
  if (password) {
    return "an interrupted password change is pending" + (base.empty() ? std::string() : " on the database " + base) +
           "; " + run + " with the database's password (or any command that writes) to finish it";
  }
  return "an interrupted change is pending" + (table.empty() ? std::string() : " on the " + table + " table " + path) +
         "; " + run + " (or any command that writes) to finish it";
}

}  // namespace

std::string recoverCommand(const std::string& base) { return "velkdb recover -d " + shellQuoted(base); }

std::vector<std::string> transactionFiles(const DbPaths& paths) {
  const std::size_t slash = paths.base.rfind('/');
  const std::string dir = slash == 0 ? "/" : paths.base.substr(0, slash);
  const std::string prefix = paths.base.substr(slash + 1) + ".vtxn-";
  std::vector<std::string> found;
  if (DIR* d = opendir(dir.c_str())) {
    while (const struct dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(paths.base.substr(0, slash + 1) + name);
    }
    closedir(d);
  }
  return found;
}

std::string errorLine(const VELException& e) {
  const std::string pending = pendingChange(e);
  if (!pending.empty()) {
    char head[32];
    std::snprintf(head, sizeof head, "error 0x%lX", e.getError());
    std::string line = std::string(head) + " (interrupted change pending): " + pending;
    for (char& c : line) {
      if (c == '\n') c = ' ';
    }
    return printable(line);
  }
  char head[32];
  std::snprintf(head, sizeof head, "error 0x%lX", e.getError());
  std::string line = std::string(head) + " (" + VELDBError::meaning(e.getError()) + ")";
  const std::string detail = describe(e);
  if (!detail.empty()) line += ": " + detail;
  // One line, and nothing in it (a label, a name from a certificate) that
  // drives the terminal.
  for (char& c : line) {
    if (c == '\n') c = ' ';
  }
  return printable(line);
}

const char* tableName(Table table) {
  switch (table) {
    case Table::Key:
      return "keys";
    case Table::KeyPair:
      return "keypairs";
    case Table::CRL:
      return "crls";
  }
  return "?";
}

std::string DbPaths::file(Table table) const { return base + kSuffixes[static_cast<int>(table)]; }

DbPaths makePaths(const std::string& base) {
  if (base.empty()) VELDB_THROW(VELDBError::kBadArgument, "no database: give --db BASE (or VELKDB_DB)");
  DbPaths paths;
  if (base[0] == '/') {
    paths.base = base;
  } else {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) VELDB_THROW(VELDBError::kBadArgument, "cannot read the working directory");
    paths.base = std::string(cwd) + "/" + base;
  }
  const std::size_t slash = paths.base.rfind('/');
  const std::string dir = slash == 0 ? "/" : paths.base.substr(0, slash);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    VELDB_THROW(VELDBError::kBadArgument, "database directory " + dir + " does not exist");
  }
  if (slash + 1 == paths.base.size()) VELDB_THROW(VELDBError::kBadArgument, "database name ends in '/'");
  return paths;
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

long long fileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

void throwSystemError(unsigned long error, const std::string& what, int errnoValue) {
  throw VELDBException(__FILE__, __LINE__, error, what + ": " + std::strerror(errnoValue), errnoValue);
}

void rethrowWithContext(const VELException& e, const std::string& context) {
  const VELString message = e.getMessage().empty() ? context : context + ": " + e.getMessage();
  if (e.hasExtra()) throw VELDBException(e.getSourceFile().c_str(), e.getLine(), e.getError(), message, e.getExtra());
  throw VELDBException(e.getSourceFile().c_str(), e.getLine(), e.getError(), message);
}

ScratchDir::ScratchDir() = default;

std::string ScratchDir::path(const std::string& name) const {
  if (d_dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkdb-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      throwSystemError(VELDBError::kCannotCreate, "temporary directory " + pattern, errno);
    }
    d_dir = pattern;
  }
  return d_dir + "/" + name;
}

ScratchDir::~ScratchDir() {
  if (d_dir.empty()) return;
  // Besides the scratch tables the library may leave files of its own here
  // (journals, a table a transaction enabled): the directory is ours alone,
  // so everything in it goes.
  if (DIR* dir = opendir(d_dir.c_str())) {
    std::vector<std::string> names;
    while (const struct dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) unlink(path(name).c_str());
  }
  rmdir(d_dir.c_str());
}

void diagnoseCRLTable(const std::string& path, const Secret& password) {
  // The manager drops a CRL table that does not open without saying why.
  // Opened in the key table's place the file goes through the same header,
  // password and hash checks, and is refused for its file type (0x8C241)
  // only when all of those pass.
  ScratchDir scratch;
  try {
    FileDBManager probe(
        fileInfo(path, scratch.path("none.vkyp"), scratch.path("none.vcrl"), password, VELDBConnectInfo::Open, false));
  } catch (const VELException& e) {
    if (e.getError() == VELDBError::kBadFormat) {
      // Only the file type was refused: the CRL table itself is sound.
      return;
    }
    rethrowWithContext(e, "CRL table " + path);
  }
  VELDB_THROW(VELDBError::kBadFormat, "CRL table " + path + ": holds a key table");
}

namespace {

std::vector<std::string> tableFiles(const DbPaths& paths) {
  return {paths.file(Table::Key), paths.file(Table::KeyPair), paths.file(Table::CRL)};
}

// What the open went past (a journal left unapplied because it could not
// be trusted), one warning line each.
void warnOpenNotices(const FileDBManager& db) {
  for (const VELString& notice : db.getOpenNotices()) std::cerr << "velkdb: warning: " << printable(notice) << "\n";
}

std::unique_ptr<FileDBManager> openDatabaseOnce(const DbPaths& paths, const Secret& password, bool writable) {
  std::unique_ptr<FileDBManager> db;
  try {
    db.reset(
        new FileDBManager(VELDBConnectInfo::FILE(paths.base, toEncryptor(password), VELDBConnectInfo::Open,
                                                 writable ? VELDBConnectInfo::ReadWrite : VELDBConnectInfo::ReadOnly)));
  } catch (const VELException& e) {
    if (!fileExists(paths.file(Table::Key))) rethrowWithContext(e, "no database " + paths.base + " (no .vkey file)");
    rethrowWithContext(e, "database " + paths.base);
  }
  if (!db->isCRLEnabled() && fileExists(paths.file(Table::CRL))) {
    db.reset();
    diagnoseCRLTable(paths.file(Table::CRL), password);
    VELDB_THROW(VELDBError::kCannotOpen, "CRL table " + paths.file(Table::CRL) + " does not open");
  }
  warnOpenNotices(*db);
  return db;
}

}  // namespace

std::unique_ptr<FileDBManager> openDatabase(const DbPaths& paths, const Secret& password, bool writable) {
  std::unique_ptr<FileDBManager> db;
  retryWhileLocked(tableFiles(paths), [&] { db = openDatabaseOnce(paths, password, writable); });
  return db;
}

TableHandle::TableHandle(const DbPaths& paths, Table table, const Secret& password, bool writable) {
  retryWhileLocked(tableFiles(paths), [&] { open(paths, table, password, writable); });
}

void TableHandle::open(const DbPaths& paths, Table table, const Secret& password, bool writable) {
  const std::string path = paths.file(table);
  if (!fileExists(path)) VELDB_THROW(VELDBError::kCannotOpen, path + ": no such file");
  d_db.reset();
  d_scratchDb.reset();
  d_version = 4;
  try {
    try {
      connect(path, table, password, writable, true);
    } catch (const VELException& e) {
      // A version-3 table is refused by a version-4 open, and only then.
      if (e.getError() != VELDBError::kBadMajorVersion) throw;
      d_version = 3;
      connect(path, table, password, writable, false);
    }
  } catch (const VELException& e) {
    d_db.reset();
    d_scratchDb.reset();
    rethrowWithContext(e, std::string(tableName(table)) + " table " + path);
  }
  if (d_db->isCRLEnabled() || table != Table::CRL) warnOpenNotices(*d_db);
  if (table == Table::CRL && !d_db->isCRLEnabled()) {
    d_db.reset();
    diagnoseCRLTable(path, password);
    if (d_version == 4) {
      // Not refused for its password or hashes: try it as version 3.
      d_version = 3;
      connect(path, table, password, writable, false);
      if (d_db->isCRLEnabled()) return;
      d_db.reset();
      d_scratchDb.reset();
    }
    VELDB_THROW(VELDBError::kCannotOpen, "crls table " + path + " does not open");
  }
}

void TableHandle::connect(const std::string& path, Table table, const Secret& password, bool writable, bool requireV4) {
  const VELDBConnectInfo::ConnectType type = requireV4 ? VELDBConnectInfo::OpenV4 : VELDBConnectInfo::Open;
  if (table == Table::Key) {
    d_db.reset(new FileDBManager(
        fileInfo(path, d_scratch.path("none.vkyp"), d_scratch.path("none.vcrl"), password, type, writable)));
    return;
  }
  // An empty key table under the same password stands in for the real one.
  if (!d_scratchDb) {
    d_scratchDb.reset(
        new FileDBManager(fileInfo(d_scratch.path(kScratchFiles[0]), d_scratch.path(kScratchFiles[1]),
                                   d_scratch.path(kScratchFiles[2]), password, VELDBConnectInfo::CreateV4, true)));
  }
  d_db.reset(new FileDBManager(
      fileInfo(d_scratch.path(kScratchFiles[0]), table == Table::KeyPair ? path : d_scratch.path("none.vkyp"),
               table == Table::CRL ? path : d_scratch.path("none.vcrl"), password, type, writable)));
}

KeyTables::KeyTables(const DbPaths& paths, const Secret& password, bool withCRL) {
  const std::string keyPair =
      fileExists(paths.file(Table::KeyPair)) ? paths.file(Table::KeyPair) : d_scratch.path("none.vkyp");
  try {
    retryWhileLocked(tableFiles(paths), [&] {
      const std::string crl = withCRL && fileExists(paths.file(Table::CRL)) ? paths.file(Table::CRL)
                                                                            : d_scratch.path("none.vcrl");
      d_db.reset(new FileDBManager(fileInfo(paths.file(Table::Key), keyPair, crl, password, VELDBConnectInfo::Open,
                                            true)));
    });
    warnOpenNotices(*d_db);
  } catch (const VELException& e) {
    rethrowWithContext(e, "database " + paths.base);
  }
}

KeyTables::~KeyTables() { d_db.reset(); }

TableHandle::~TableHandle() {
  d_db.reset();
  d_scratchDb.reset();
}

}  // namespace velkdb
