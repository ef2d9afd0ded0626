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
//   0       8      magic "VELJRNL1"
//   8       16     nonce, fresh for every change
//   24      8      size of the table file before the change
//   32      32     SHA-256 of bytes 0..31
//   64      ...    records: offset (8), length (8), the original bytes,
//                  SHA-256 of nonce || offset || length || bytes (32)
//
// A change: the first write creates the journal with its header; before
// bytes that existed before the change are overwritten (or cut off), their
// original content is appended as a record; the journal is made durable
// before the first such overwrite reaches the file, and before the file
// first grows; at commit the file is made durable and the journal removed.
// Removing the journal is the commit point.  Overwrites of bytes the file
// had before the change are held in memory (reads of this object see them)
// until the commit, a size change or 4 MiB of them: then one sync of the
// journal covers them all, so that a change of many records -- a
// transaction -- syncs its journal about once, not once a record.
//
// A change that is one part of a transaction over several table files
// ends its journal, at commit, with a transaction record: offset
// 0xFFFFFFFFFFFFFFFF, length 16, the transaction's ID, checksummed like
// any record.  It is written only once the transaction file (below) is
// durable.
//
// Recovery (a read-write open that finds a journal): a journal whose header
// does not verify was cut short before the file was touched and is
// removed; otherwise every record that verifies is written back, the file
// is cut to its original size, made durable, and the journal removed.  A
// journal that ends with a transaction record is written back only while
// the transaction file still holds that transaction's ID; without it the
// transaction had committed, and the journal is removed unapplied.
//
// Transaction file (`transactionPath`: the table path without its last
// extension, then ".vtxn-" and the transaction's ID in hex; a new name for
// every transaction, so that one never stands in for another): magic
// "VELTXN01" (8), the transaction ID (16), SHA-256 of those 24 bytes (32).
// A commit over several files: the transaction file is written and made
// durable, every journal gets its transaction record and is synced, every
// table file is synced, then the transaction file is removed -- the commit
// point -- and the journals after it.  A transaction file that no journal
// needs any more (the transaction never reached its commit point and
// every table was rolled back) is removed by the next read-write open of
// the whole database (`removeStaleTransactionFiles`).
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
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "filedbbinaryfile.h"

class FileDBJournaledFile : public FileDBBinaryFile {
 public:
  enum SyncMode { SyncOff = 0, SyncNormal = 1, SyncFull = 2 };

  // CREATORS
  // Opens `path` read-write (exclusive), as the base class does.
  explicit FileDBJournaledFile(const VELString& path);
  ~FileDBJournaledFile() override;

  // The journal's path for a table file.
  static VELString journalPath(const VELString& path);
  // The durability mode in force (read once from VELFILEDB_SYNC).
  static SyncMode syncMode();
  // Overrides the mode for this process (tests and benchmarks).
  static void setSyncMode(SyncMode mode);
  // Rolls `file` (open read-write, holding the write lock) back to the state
  // that the journal at `journal` records, and removes the journal.  Returns
  // true when a journal was found.  Throws the binary file's errors.
  static bool recover(FileDBBinaryFile& file, const VELString& journal);
  // The transaction file of transaction `id` (16 bytes) of the database
  // that `tablePath` belongs to.
  static VELString transactionPath(const VELString& tablePath, const unsigned char* id);
  // Writes the transaction file at `path` for transaction `id` (16 bytes)
  // and makes it durable (but under SyncOff).
  static void writeTransactionFile(const VELString& path, const unsigned char* id);
  // Removes the transaction file at `path` durably: the commit point of a
  // transaction over several files.
  static void removeTransactionFile(const VELString& path);
  // Removes every transaction file of the database whose table files are
  // `tablePaths` when none of them has a journal; never throws.
  static void removeStaleTransactionFiles(const std::vector<VELString>& tablePaths) noexcept;

  // MANIPULATORS
  void beginChange() override;
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
  void ensureJournal();
  // Saves the original bytes of [offset, offset + length) that lie inside
  // the file's size before the change and are not saved yet.
  void saveOriginal(std::uint64_t offset, std::uint64_t length);
  void appendRecord(std::uint64_t offset, const unsigned char* bytes, std::uint64_t length);
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
  std::unique_ptr<FileDBBinaryFile> d_journal;  // open while a change has written
  bool d_inChange;
  bool d_journalSynced;        // every record written so far is durable
  bool d_journalHeaderSynced;  // the journal's header (the original size) is
  // Overwrites held back, in the order they were made.
  std::vector<std::pair<std::uint64_t, std::vector<unsigned char>>> d_deferred;
  std::uint64_t d_deferredBytes;
  std::uint64_t d_originalSize;
  unsigned char d_nonce[16];
  std::map<std::uint64_t, std::uint64_t> d_saved;  // start -> end of saved ranges
  // Regions announced by `protect` before the change first wrote: saved
  // with the first write, so that a change that writes nothing makes no
  // journal.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> d_announced;
  // Set when a change ended without its journal being removed or applied
  // (its rollback or its commit failed): the next change recovers first.
  bool d_recoverPending;
};

#endif
