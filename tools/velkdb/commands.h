// commands.h -- velkdb's sub-commands and what they share.
//
// Each command returns the process's exit status (0 success, 1 a fault
// found or an error); errors are thrown as `VELDBException` and printed by
// main as one line.  Usage errors are thrown as `UsageError` (exit status
// 2).
#ifndef VELKDB_COMMANDS_H
#define VELKDB_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "database.h"
#include "password.h"
#include "pki.h"

namespace velkdb {

// A command line that does not fit the command's synopsis.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

// The database options every command but demo takes (cli.h declares them):
// -d/--db (else $VELKDB_DB), --password-file, --default-password.  The
// password itself is never an option's value: $VELKDB_PASSWORD or a prompt.
struct DbOptions {
  std::string base;
  std::string passwordFile;
  bool defaultPassword = false;
};
DbPaths databasePaths(const DbOptions& db);
Secret databasePassword(const DbOptions& db, bool confirm = false);
// The database the options name, opened (read-write when `writable`) with
// its password, which a command that wraps keys keeps.
struct OpenedDatabase {
  Secret password;
  std::unique_ptr<FileDBManager> db;
};
OpenedDatabase openDatabase(const DbOptions& db, bool writable);

// An expiry given as a number of days from now, "never", or YYYY-MM-DD
// (midnight UTC): seconds since 1970, 0 for never.  Throws UsageError.
long long parseExpiry(const std::string& text);
// Throws UsageError when `when` (from parseExpiry(text)) has passed, unless
// `force`; the message names `forceOption` when there is one.
void refusePassedExpiry(long long when, const std::string& text, bool force, const char* forceOption);
// "never" or the UTC date and time.
std::string expiryText(long long time);

// A --record-length value: the slot length of a new database's tables, in
// bytes, from the smallest that holds a record's fixed fields (the least
// the library creates a table with) to 1 MiB.  Throws UsageError saying the
// range.
std::uint32_t parseRecordLength(const std::string& text);
constexpr std::uint32_t kMinCreateRecordLength = 256;
constexpr std::uint32_t kMaxCreateRecordLength = 1024 * 1024;

// The longest record (its DER envelope) an import stores without being
// told otherwise: 64 KiB in the key and key-pair tables, 16 MiB in the CRL
// table.  A longer record would grow every slot of its table to its
// length.  `import --max-record-length N` puts N in their place (1 byte to
// 1 GiB; parseMaxRecordLength throws UsageError saying the range).
constexpr std::uint64_t kMaxKeyRecordLength = 64 * 1024;
constexpr std::uint64_t kMaxCRLRecordLength = 16 * 1024 * 1024;
std::uint64_t parseMaxRecordLength(const std::string& text);
// Throws 0x8B67A naming `what`, the record's length and the limit when the
// record is longer than `limit` (0: the table's default).
void refuseLongRecord(Table table, const VELASNRecord& record, const std::string& what, std::uint64_t limit);

// Writes `text` to `path`, replacing it whole: into a new file of a random
// name beside it (created exclusively, never through a link), synced, then
// renamed over `path` (a link at `path` is replaced, not followed).  The
// new file has mode 0600 when `secret`, else 0666 less the umask.  Throws
// 0x8C234 or 0x8C239 with errno; nothing is left behind on a failure.
void writeFileAtomically(const std::string& path, const std::string& text, bool secret);

// Writes `text` where `-o PATH` says: "-" is standard output; a character
// device or FIFO (the user's own; root: any) is written in place, never
// replaced, and a FIFO without a reader is refused at once (0x8C236); a
// block device or socket is refused (0x8C236); anything else, a link
// included, is replaced whole by writeFileAtomically.
void writeOutputFile(const std::string& path, const std::string& text, bool secret);

// Test hook: with VELKDB_TEST_CRASH=STEP:N in the environment, the call
// for that step and count ends the process at once (exit status 99, no
// clean-up, as a crash would).  Steps: import:N and delete:N after N records
// of the transaction, rewrap:N after N keys re-wrapped, table:N after N
// table password changes.
void testCrashPoint(const char* step, std::size_t count);

// Throws UsageError when `label` cannot be a new label (labelFault).
void checkNewLabel(const std::string& label);

// -- pieces the demo reuses

struct ImportOptions {
  std::string label;       // for the one record the input is about
  bool trusted = false;    // mark certificates trusted
  bool keepTrust = false;  // take the trust marks the input files carry
  bool skipExisting = false;
  bool progress = false;   // draw a progress bar on standard error
  std::uint64_t maxRecordLength = 0;  // 0: the tables' defaults (refuseLongRecord)
};
struct ImportSummary {
  unsigned certificates = 0, keys = 0, keyPairs = 0, crls = 0, skipped = 0;
  unsigned installed = 0;  // certificates that took a stored key pair's key (the key pair removed)
  unsigned joined = 0;     // keys that joined certificates stored without them
  unsigned trustIgnored = 0;  // trust marks of the input not taken (no --keep-trust)
  unsigned inTheWay = 0;      // records a different record's label or unique key kept out (--skip-existing)
  std::string text() const;
};
// Stores what `items` holds (see the import command) in one transaction: all or
// nothing, also when the process is killed.  `db` must have no transaction
// open.
ImportSummary importItems(FileDBManager& db, const Secret& password, InputItems& items,
                          const ImportOptions& options);

// Which records a command is about (cli.h declares its options).
struct Selector {
  std::string positionalLabel;  // LABEL; checkSelector makes it `label`
  std::string label, subject, issuer;
  std::string serial, fingerprint;  // certificates by serial (with issuer) or fingerprint (find.h)
  bool hasId = false;
  unsigned id = 0;
  bool hasTable = false;
  Table table = Table::Key;
};
struct Match {
  Table table;
  unsigned id;
  std::string label;
};
std::vector<Match> findRecords(FileDBManager& db, const Selector& selector);
// findRecords, refusing none (0x8C23E) and, when `onlyOne`, several.
std::vector<Match> requireRecords(FileDBManager& db, const Selector& selector, bool onlyOne);

// Walks a table (nothing for a table not enabled).
void forEachKey(FileDBManager& db, const std::function<void(VELASNKeyRecord&)>& visit);
void forEachKeyPair(FileDBManager& db, const std::function<void(VELASNKeyPairRecord&)>& visit);
void forEachCRL(FileDBManager& db, const std::function<void(VELASNCRLRecord&)>& visit);
// The record's ID.
unsigned idOf(const VELASNRecord& record);

// `list` and `show` output for an open database.
void printList(FileDBManager& db, const std::string& dbName, bool json, bool hasTable, Table table);
void printRecord(FileDBManager& db, const Match& match, const Secret* password);
// `show --format json`: every field printRecord prints, the extensions, as
// one document {"database": NAME, "records": [...]}.
void printRecordsJSON(FileDBManager& db, const std::string& dbName, const std::vector<Match>& matches,
                      const Secret* password);
// `info` and `verify` on the database; return the number of faults.
int printInfo(const DbPaths& paths, const Secret& password);
int printVerify(const DbPaths& paths, const Secret& password);
// Why a version-3 table is worth upgrading, for info and verify.
inline constexpr const char* kVersion3Note =
    "version-3 tables can be forged by combining snapshots of the file; run `velkdb upgrade` to make the "
    "database version 4";

}  // namespace velkdb

#endif
