// filedbjournaledfile.h -- a table file whose changes survive a crash.
//
// A rollback journal beside the table file (its name with "-journal"
// appended) holds, while a change is under way, the file's size before the
// change and the original bytes of every region the change overwrites.  The
// table file keeps its own format: a file without a journal is exactly what
// the format describes.
//
// Journal layout (numbers big-endian):
//
//   offset  width  field
//   0       8      magic "VELJRNL3"
//   8       16     nonce, fresh for every change
//   24      8      size of the table file before the change
//   32      40     the record key (32 random bytes, drawn by each process
//                  for each password of the table), wrapped (AES-256 key
//                  wrap) under the journal key of the password the table
//                  had when the change began
//   72      32     HMAC-SHA256 of bytes 0..71 under the record key
//   104     32     SHA-256 of bytes 0..103
//   136     ...    records: offset (8), length (8), the bytes,
//                  HMAC-SHA256 of nonce || offset || length || bytes (32)
//                  under the record key
//
// A record's offset is where its bytes go in the table file, or one of
// three marks at the top of the 64-bit range, which no table reaches:
//   0xFFFFFFFFFFFFFFFF  transaction record: the transaction's ID (16 bytes)
//   0xFFFFFFFFFFFFFFFE  header before: the table's first bytes (its header,
//                       up to 88 bytes, fewer when the file is shorter) as
//                       they were when the change began; always the first
//                       record, written with the journal's header
//   0xFFFFFFFFFFFFFFFD  header after: the same bytes as a write of this
//                       change is about to leave them; written before that
//                       write reaches the file
//   0xFFFFFFFFFFFFFFFC  password record: the record key wrapped under the
//                       journal key of another password (40 bytes); a
//                       change that changes the table's password writes one
//                       for the new password, so that either password
//                       recovers its journal
//
// The journal key is the table journal key of `FileDBJournalKey`: derived
// from a password (the one the table had when the change began, which
// opens the table once the journal is applied, or one the change admitted)
// and bound to the table file's base name.  The unkeyed SHA-256 only tells a header cut short by
// a crash from a whole one; the MACs tell a journal this database made
// under this password from any other.  The header records bind the journal
// to the one change it belongs to: the table it restores must stand, in
// its first bytes, as the change left it -- every byte as it was before the
// change or as one of its announced headers has it (a header write torn by
// a power loss mixes the two).  A journal moved over from another table or
// database, or kept from an earlier change of this table that has since
// committed, finds a header with another salt and hashes, and is not
// applied.  (A copy of the journal of the very last change, put back after
// it committed, cannot be told from a crash just before that journal's
// removal: it rolls that one change back.  Journals are mode 0600.)
//
// A change: the first write creates the journal with its header and the
// header-before record; before bytes that existed before the change are
// overwritten (or cut off), their original content is appended as a
// record; the journal is made durable before the first such overwrite
// reaches the file, and before the file first grows; at commit the file is
// made durable and the journal removed.  Removing the journal is the
// commit point.  Overwrites of bytes the file had before the change are
// held in memory (reads of this object see them) until the commit, a size
// change or 4 MiB of them: then one sync of the journal covers them all, so
// that a change of many records -- a transaction -- syncs its journal about
// once, not once a record.
//
// A change that is one part of a transaction over several table files
// ends its journal, at commit, with a transaction record.  It is written
// only once the transaction file (below) is durable.
//
// Recovery (a read-write open that finds a journal):
// - a header that is cut short (shorter than the header, or its SHA-256
//   does not match, or no known magic), or a journal without its
//   header-before record, was being written when the process stopped,
//   before the file was touched: the journal is removed;
// - a journal that cannot be trusted -- a whole header whose MAC does not
//   verify under the connection's password, a table that does not stand as
//   the journal's change left it, or a journal of an earlier layout
//   ("VELJRNL1", "VELJRNL2", which carry no binding to their change) -- is
//   never applied and left in place; the caller decides (`recover`): the
//   open goes on when the table verifies as it stands, and is refused
//   otherwise;
// - otherwise every record that verifies is written back (the first record
//   that does not verify was being written when the change stopped, before
//   its region was touched, and ends the walk), the file is cut to its
//   original size, made durable, and the journal removed.  A journal that
//   ends with a transaction record is written back only while the
//   transaction file still holds that transaction's ID; without it the
//   transaction had committed, and the journal is removed unapplied.
//
// Readers (`openCommitted`): a read-only open writes nothing and removes
// nothing.  It takes the table's shared lock first (so no writer is under
// way), then reads the journal as recovery would and, when recovery would
// write it back, lays the journal's bytes and original size over the file
// in memory: the reader sees the last committed state.
//
// Transaction file (`transactionPath`: the table path without its last
// extension, then ".vtxn-" and the transaction's ID in hex; a new name for
// every transaction, so that one never stands in for another): magic
// "VELTXN02" (8), the transaction ID (16), HMAC-SHA256 of those 24 bytes
// (32) under the transaction file key (password, and the base name of the
// path up to its ID).  One that does not verify is refused like a journal:
// a planted one could roll back a committed transaction.  A commit over
// several files: the transaction file is written and made durable, every
// journal gets its transaction record and is synced, every table file is
// synced, then the transaction file is removed -- the commit point -- and
// the journals after it.  A transaction file that no journal needs any
// more (the transaction never reached its commit point and every table
// was rolled back) is removed by the next read-write open of the whole
// database (`removeStaleTransactionFiles`).
//
// What a MAC cannot stop: a journal this database really made under this
// password, kept by someone who could read the directory while a change
// ran and put back later, rolls the table's bytes back to that change's
// start (most often the table then fails its hash and is refused at open).
// Whoever can write the directory can equally put back an old copy of a
// table file; the table format keeps no counter that could tell.
//
// Durability, process-wide, from the environment variable VELFILEDB_SYNC:
//   full   (default) a journal synced before the file is first overwritten
//          or grows, the directory synced when a journal, transaction file
//          or table file is made and when one of them is removed, the file
//          synced before its journal goes: every change that returned
//          survives a power loss;
//   normal the same without the directory sync when a single file's
//          journal goes: a power loss never damages a table, but may roll
//          back a change that had returned;
//   off    the same order without any sync: survives a killed process, not
//          a power loss.
//
// Every write and size change of this file must happen inside a change;
// one outside is refused with 0x8C239, so no path of the storage can
// forget the journal.
#ifndef DBFILE_FILEDBJOURNALEDFILE_H
#define DBFILE_FILEDBJOURNALEDFILE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "filedbbinaryfile.h"
#include "velbuffer.h"
#include "velpassword.h"

class FileDBJournalKey;

class FileDBJournaledFile : public FileDBBinaryFile {
 public:
  enum SyncMode { SyncOff = 0, SyncNormal = 1, SyncFull = 2 };

  // The password of the table, asked for when a change makes its journal
  // (it may change between two changes).
  using PasswordSource = std::function<VELPasswordEncryptor()>;
  // What `recover` did.
  enum class Recovery {
    kNone,        // no journal
    kDiscarded,   // cut short before the table was touched, or of a
                  // transaction that had committed: removed unapplied
    kRolledBack,  // written back and removed
    kNotApplied,  // not made under this password for this table, or of an
                  // earlier layout: left in place, the file untouched
    kUnbound,     // made under this password, but not by the change that
                  // left this table as it stands (moved from another
                  // database, kept from an earlier change, or its binding
                  // records lost with the power under SyncOff): left in
                  // place, the file untouched
  };

  // CREATORS
  // Opens `path` read-write (exclusive), as the base class does.
  FileDBJournaledFile(const VELString& path, PasswordSource password);
  ~FileDBJournaledFile() override;

  // The journal's path for a table file.
  static VELString journalPath(const VELString& path);
  // The durability mode in force (read once from VELFILEDB_SYNC).
  static SyncMode syncMode();
  // Overrides the mode for this process (tests and benchmarks).
  static void setSyncMode(SyncMode mode);
  // Rolls `file` (open read-write, holding the write lock) back to the state
  // that the journal at `journal` records, and removes the journal.  A
  // journal that cannot be trusted (see above) is left in place and the
  // file untouched: with `notApplied` given, its path and why go there and
  // kNotApplied or kUnbound is returned; without, it is refused (0x8C240;
  // 0x8C241 for an earlier layout).  Throws the binary file's errors, and 0x8C240 for a
  // transaction file that does not verify.
  static Recovery recover(FileDBBinaryFile& file, const VELString& journal, const VELPasswordEncryptor& password,
                          VELString* notApplied = nullptr);
  // Opens the table file `path` read-only (shared lock) as its last
  // committed state: the journal beside it laid over it in memory when a
  // read-write open would apply it, and `header` (when given) over its
  // first bytes.  A journal that cannot be trusted is not laid over; its
  // path and why go to `notApplied`.  Without a journal or `header`, a
  // plain read-only file.  Throws the binary file's open errors, 0x8C238
  // for a journal that does not hold the bytes a shortened file lost.
  static std::unique_ptr<FileDBBinaryFile> openCommitted(const VELString& path, const VELPasswordEncryptor& password,
                                                         const VELBuffer* header, VELString* notApplied);
  // True when the journal at `journal` has a whole header of this layout,
  // recorded a file of `size` bytes, and every record it holds (read
  // without its key) lies below `limit`: applying it, then writing all of
  // [0, limit), leaves the same file as writing [0, limit) alone.  A
  // password change writes only headers; its journals are of this kind.
  static bool onlyRestoresBelow(const VELString& journal, std::uint64_t limit, std::uint64_t size);
  // The transaction file of transaction `id` (16 bytes) of the database
  // that `tablePath` belongs to.
  static VELString transactionPath(const VELString& tablePath, const unsigned char* id);
  // Writes the transaction file at `path` for transaction `id` (16 bytes),
  // authenticated under `password` (the tables' password), or under each of
  // `passwords` (one or two: the password before a transaction that changes
  // it, and the new one), and makes it durable (but under SyncOff).
  static void writeTransactionFile(const VELString& path, const unsigned char* id,
                                   const VELPasswordEncryptor& password);
  static void writeTransactionFile(const VELString& path, const unsigned char* id,
                                   const std::vector<VELPasswordEncryptor>& passwords);
  // Removes the transaction file at `path` durably: the commit point of a
  // transaction over several files.
  static void removeTransactionFile(const VELString& path);
  // Removes every transaction file of the database whose table files are
  // `tablePaths` when none of them has a journal; never throws.
  static void removeStaleTransactionFiles(const std::vector<VELString>& tablePaths) noexcept;

  // MANIPULATORS
  void beginChange() override;
  void admitPassword(const VELPasswordEncryptor& password) override;
  void protect(std::uint64_t offset, std::uint64_t length) override;
  void commitChange() override;
  bool prepareCommit(const unsigned char* transactionID) override;
  void finishCommit() override;
  void rollbackChange() override;
  bool recoverPending() override;
  using FileDBBinaryFile::write;
  void write(const void* buffer, const std::uint64_t& count) override;
  void setSize(std::uint64_t size) override;
  using FileDBBinaryFile::read;
  void read(void* buffer, const std::uint64_t& count) override;
  void readAt(std::uint64_t offset, void* buffer, std::uint64_t count) override;

 private:
  void requireChange() const;
  void appendPasswordRecord(const VELPasswordEncryptor& password);
  void ensureJournal();
  // Saves the original bytes of [offset, offset + length) that lie inside
  // the file's size before the change and are not saved yet.
  void saveOriginal(std::uint64_t offset, std::uint64_t length);
  void appendRecord(std::uint64_t offset, const unsigned char* bytes, std::uint64_t length);
  // Records the table's first bytes as the write of `count` bytes at `at`
  // leaves them, when it changes them; true when it did.
  bool announceHeader(std::uint64_t at, const void* buffer, std::uint64_t count);
  // Before the first write of a change: the journal, with every region
  // announced so far.
  void saveAnnounced();
  void syncJournalBeforeOverwrite();
  // Writes the held-back overwrites, after one sync of the journal.
  void flushDeferred();
  // Lays the held-back overwrites over `count` bytes read at `offset`.
  void overlayDeferred(std::uint64_t offset, void* buffer, std::uint64_t count) const;
  void dropJournal();

  // DATA
  VELString d_journalPath;
  PasswordSource d_password;
  // The keys of the journal of this change (or of the one left to
  // recover).
  struct Keys {
    VELPasswordEncryptor password;            // the journal was made under
    std::unique_ptr<FileDBJournalKey> record;  // its record key
    unsigned char raw[32] = {};                // the same, raw, to wrap it again
    unsigned char wrapped[40] = {};            // wrapped under `password`
    unsigned char nonce[16] = {};              // the journal's, fresh for each
  } d_keys;
  std::vector<unsigned char> d_recordBuffer;  // one record as it is written
  // Passwords this change admitted: its journal opens under each.
  std::vector<VELPasswordEncryptor> d_admitted;
  std::unique_ptr<FileDBBinaryFile> d_journal;  // open while a change has written
  bool d_inChange;
  bool d_journalSynced;        // every record written so far is durable
  bool d_journalHeaderSynced;  // the journal's header (the original size) is
  // Overwrites held back, in the order they were made, and their bytes.
  struct Deferred {
    std::vector<std::pair<std::uint64_t, std::vector<unsigned char>>> writes;
    std::uint64_t bytes = 0;
  } d_deferred;
  std::uint64_t d_originalSize;
  std::map<std::uint64_t, std::uint64_t> d_saved;  // start -> end of saved ranges
  // The table's first bytes as this change has left them so far (the
  // header-before record, then each header-after record).
  std::vector<unsigned char> d_headerImage;
  // Regions announced by `protect` before the change first wrote: saved
  // with the first write, so that a change that writes nothing makes no
  // journal.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> d_announced;
  // Set when a change ended without its journal being removed or applied
  // (its rollback or its commit failed): the next change recovers first.
  bool d_recoverPending;
};

#endif
