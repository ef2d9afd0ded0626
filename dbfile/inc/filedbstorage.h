// filedbstorage.h -- one open table file, shared by every connection to it.
//
// A `FileDBStorage` owns the open file (on disk, or in a caller's string),
// the header read from it, two record buffers of one slot each and a copy of
// the connection description.  It offers what every table needs on the whole
// file: creating an empty file, opening and checking one, growing the record
// length, counting a new slot, recognising deleted slots, compacting on
// close, and the password, expiry, version and label settings.  The key,
// key-pair and CRL tables derive from it and add their layout and indexes.
//
// File: header (80 bytes for version 3, 88 for version 4), then
// `recordsAllocated` slots of `fixedRecordLength` bytes each.  The first
// field of a slot is its state, big-endian 32-bit: 1 in use, 2 deleted.
//
// Sharing: one process opens each file once.  A process-wide map from full
// path name to open storage counts the connections; the last disconnection
// destroys the storage.  Locks: callers hold `getClassMutex()` around
// connecting, creating and disconnecting, and the storage's
// `getInstanceMutex()` around every other operation; the storage takes no
// lock of its own except the one that guards the creation of the map.
//
// "Re-sealing the header" below means: a new salt and password header hash,
// the database hash over header and every slot, and the header written at
// offset 0, all with the connection's current password.
#ifndef DBFILE_FILEDBSTORAGE_H
#define DBFILE_FILEDBSTORAGE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "filedbbinaryfile.h"
#include "filedbbuffer.h"
#include "filedbheader.h"
#include "filedbiterator.h"
#include "velbuffer.h"
#include "veldbconnectinfo.h"
#include "velexception.h"
#include "velmutex.h"
#include "velpassword.h"
#include "velstring.h"

class FileDBStorage {
 public:
  // Record-slot states.
  static constexpr std::uint32_t kRecordInUse = 1;
  static constexpr std::uint32_t kRecordDeleted = 2;
  // Record length of a new file, and the step in which it grows.
  static constexpr std::uint32_t kInitialRecordLength = FileDBHeader::kInitialFixedRecordLength;
  static constexpr std::uint32_t kRecordLengthStep = FileDBHeader::kFixedRecordLengthStep;
  // Largest record length accepted in a file that holds no slot: nothing this
  // system writes comes near it, and it bounds what a crafted header can make
  // the open allocate.
  static constexpr std::uint32_t kMaxEmptyRecordLength = 64u * 1024u * 1024u;
  // Smallest record length a create accepts: a key slot's fixed fields (40
  // bytes and five 20-byte digests) and room for a small record.
  static constexpr std::uint32_t kMinInitialRecordLength = 256;

  // CREATORS
  // Opens and checks the existing file `fileName` (for a string connection,
  // the connection's string) and starts the database hash check that
  // `finishOpen` completes.  Throws: the open errors of the binary file;
  // 0x8C241 bad magic; 0x8C242 unknown major version, or not version 4 for
  // connect type 3; 0x8C240 wrong password; 0x8C243 size mismatch (also a
  // record length of 0 with slots, or one no file can hold).  Called only
  // by the table constructors, which then check the minor version and file
  // type, build their indexes and call `finishOpen` (`refuseOpen` when a
  // step fails).
  FileDBStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  FileDBStorage(const FileDBStorage&) = delete;
  FileDBStorage& operator=(const FileDBStorage&) = delete;
  // Compacts the file when it holds deleted slots (failures dropped), then
  // closes it.  Never throws.
  virtual ~FileDBStorage();

  // Creates an empty table file: header only, no slot, record length the
  // connection's initial record length (5000 when it is 0; 0x8B67A when it
  // is below `kMinInitialRecordLength` or above `kMaxEmptyRecordLength`);
  // version 4 for connect types 2 and 3, else version 3.  Throws 0x8C24E when
  // the file exists, and the binary file's errors.
  static void newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName,
                      unsigned char minorVersion, const unsigned char* fileType);
  static void newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName,
                      unsigned char minorVersion, const unsigned char* fileType);

  // The storage already open for `fileName` with one more reference, or null
  // when it is not open in this process.  Throws 0x8C240 when the password
  // differs from the open storage's, 0x8C23A when read-write is asked of a
  // storage opened read-only, 0x8C236 when the file is open as another table
  // class; the reference count is unchanged then.
  static FileDBStorage* connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName,
                                    const VELString& className);
  static FileDBStorage* connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                    const VELString& fileName, const VELString& className);

  // What the tables' `connectFile` and `disconnect` share.  A file
  // connection gets the storage already open for `fileName`, or one made by
  // `make` and entered in the map; any other connection gets one of its own,
  // never shared.  The caller holds the class mutex for file connections.
  static FileDBStorage* connectTable(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName,
                                     const VELString& className, const std::function<FileDBStorage*()>& make);
  // Gives up one connection; the last one destroys the storage and, when
  // `deleteFile` is set, removes the file.  Never throws.
  static void disconnectTable(FileDBStorage* storage, bool deleteFile) noexcept;

  // The process-wide map of open files (`FileDBStorageRegistry`).
  static void initFileDBStorageMap();
  static FileDBStorage* findFileMap(const VELString& fullPathName);
  // Enters `storage` with count 1, or counts one more reference to the
  // storage present; 0x8C236 when the present one is of another class.
  static void insertFileMap(const VELString& fullPathName, FileDBStorage* storage, const VELString& className);
  // Gives up one reference; returns the references left (0 also when absent).
  static std::uint64_t removeFileMap(const VELString& fullPathName);
  // References held on `fullPathName` (0 when not open); for diagnostics.
  static std::uint64_t referenceCount(const VELString& fullPathName);
  // Frees the map without destroying the storages it names (library unload).
  static void releaseFileDBStorageMap();

  // Headers that read-only opens on this thread lay over the table files
  // they open, by full path, while the object lives: the headers a password
  // change that a dead process left half done replaced (the manager reads
  // them from the password journal).
  class CommittedHeaders {
   public:
    explicit CommittedHeaders(const std::map<VELString, VELBuffer>& headers);
    ~CommittedHeaders();
    CommittedHeaders(const CommittedHeaders&) = delete;
    CommittedHeaders& operator=(const CommittedHeaders&) = delete;

   private:
    const std::map<VELString, VELBuffer>* d_previous;
  };
  // The header laid over `fileName` on this thread, or null.
  static const VELBuffer* committedHeader(const VELString& fileName);

  static VELMutex& getClassMutex() { return d_classMutex; }
  static VELString getClassName() { return "FileDBStorage"; }

  // MANIPULATORS
  VELMutex& getInstanceMutex() { return d_instanceMutex; }
  // Rewrites the file without its deleted slots, in place; runs from the
  // destructor.  A slot in a state other than in use or
  // deleted (written elsewhere) is a record to the indexes, and is kept.
  void purge();
  // Grows the record length in steps of 1000 until it reaches
  // `minimumRecordLength`; every slot keeps its bytes followed by zeros, the
  // header is re-sealed and the slots count as moved (`slotGeneration`).
  // Refused with 0x8C239 before anything is written when the file would
  // exceed 2 GiB, and when the disk cannot hold the new size.
  void resize(std::uint64_t minimumRecordLength);
  // Counts one more slot in the header and re-seals it.
  void incrRecordsAllocated();

  // Settings.
  unsigned char getMajorVersion() const;
  void setMinorVersion(unsigned char minor);
  long long getPasswordExpirationTime() const;
  void setPasswordExpirationTime(long long time);
  bool hasPasswordExpired() const;
  // Throws 0x8C240 when `oldPassword` is not the current one or
  // `newPassword` equals it; otherwise stores the expiry, re-seals the file
  // with `newPassword` and makes it the password of every connection.  When
  // it throws, the connections keep the password the file is sealed with
  // (the new one when the failure came after the change was committed).
  void setPassword(const VELPasswordEncryptor& oldPassword, const VELPasswordEncryptor& newPassword,
                   long long expirationTime);
  // True when the header in memory (the file's, after any rollback) is
  // sealed for `password`.
  bool headerTakes(const VELPasswordEncryptor& password) const;
  // Renews the database hash and writes the header (after a slot was
  // overwritten in place).
  void setPasswordDatabaseHash();
  VELString getLabel() const;
  void setLabel(const VELString& label);

  // ACCESSORS
  const FileDBHeader* getFileHeader() const { return d_header.get(); }
  // The header as it stands on disk between changes: the common part and
  // both hashes.
  VELBuffer getHeaderImage() const;
  const VELConstString& getFullPathName() const { return d_file->getFileName(); }
  // True when the slot in `slot` is marked deleted.
  bool isRecordDeleted(FileDBBuffer& slot) const;
  const VELDBConnectInfo::OBJECT& getConnectInfo() const { return *d_connectInfo; }
  // Why the open left the journal beside the file in place and did not
  // apply it (the table verified as it stands), or empty.
  const VELString& getJournalNotApplied() const { return d_opening.journalNotApplied; }
  std::uint32_t getLastRecordID() const { return d_lastRecordID; }
  // Counts the times the slots changed under the table's indexes other than
  // through the table's own writes: a change rolled back (the file and its
  // header reloaded) and a rewrite that moved the slots.  The storage never
  // touches the indexes; a table keeps the count its indexes were built at
  // and builds them again before it next uses them when the count moved on.
  std::uint64_t slotGeneration() const { return d_slotGeneration; }

  virtual bool isKindOf(const VELString& name) const { return name == getClassName(); }
  virtual VELString getInstanceName() const { return getClassName(); }

  // MANIPULATORS -- transactions
  // A transaction is one change of the file held open across any number of
  // operations, each of which becomes a part of it; `FileDBTransaction`
  // drives these for the tables of one database, with the instance mutex
  // held throughout.  Begin: the change is opened (an in-memory table keeps
  // a copy of its image to go back to).  Seal: what the operations left
  // pending is sealed into the file; 0x8C23F when an operation failed after
  // it wrote (the transaction was rolled back then).  Commit: `commit`
  // alone for a transaction over this file only; `prepareCommit` then
  // `finishCommit` for one over several.  Rollback: the file, the indexes
  // and the header go back to the state at begin; record IDs handed out
  // stay used.
  // The storages of one transaction share its state: a change abandoned in
  // one of them abandons the transaction in all.
  struct TransactionState {
    std::vector<FileDBStorage*> members;
    bool failed = false;
  };
  void beginTransaction(const std::shared_ptr<TransactionState>& state = nullptr);
  void sealTransaction();
  void commitTransaction();
  bool prepareCommit(const unsigned char* transactionID);
  void finishCommit();
  void rollbackTransaction() noexcept;
  bool inTransaction() const { return d_transaction.scope != nullptr; }
  // The password the file had when the current (or last) change began.
  const VELPasswordEncryptor& getChangePassword() const { return d_change.password; }
  // True when the transaction wrote to a file on disk.
  bool transactionWroteToDisk() const;

 protected:
  // One change of the file: every operation that writes opens one before
  // its first write and commits it after its last.  Scopes nest; the
  // outermost one brackets the change on the file (which journals it) and
  // announces the header, which every change re-seals.  `commit` ends the
  // change (a failure is thrown, the change rolled back).  A scope left
  // without `commit` rolls back: the outermost one rolls the file back and,
  // when the change wrote, reloads the header from it and counts the slots
  // as changed (`slotGeneration`), so that memory and file agree again; an
  // inner one that wrote rolls back the whole change at once (the rest of
  // it cannot be kept without its part), and every later scope of that
  // change is refused with 0x8C23F until the outermost one ends.  A scope that wrote nothing rolls back nothing.
  //
  // Where the change stands: idle (no scope open), open (scopes open,
  // `depth` of them), or abandoned (an inner scope that wrote failed; the
  // change was rolled back at once and every further scope is refused
  // until the outermost one ends).  Each step checks the state it needs;
  // a step taken in the wrong state is an internal error (0x8B67A).
  enum class ChangeState { kIdle, kOpen, kAbandoned };
  class ChangeScope {
   public:
    explicit ChangeScope(FileDBStorage& storage);
    ~ChangeScope();
    ChangeScope(const ChangeScope&) = delete;
    ChangeScope& operator=(const ChangeScope&) = delete;
    void commit();
    // Ends the scope as committed by its caller (the file's change was
    // committed directly); neither seals nor touches the file.
    void close();

   private:
    // Counts the scope out; the outermost one leaves the change idle.
    void leave();

    FileDBStorage& d_storage;
    bool d_outer;
    bool d_done;
    std::uint64_t d_modifications;  // the file's count when the scope opened
    bool d_purgeOnClose;             // the storage's wish when it opened
  };

  // Re-reads the header after a rolled-back change and counts the slots as
  // changed, for the table to rebuild its indexes.  The record-ID counter
  // never goes back: an ID handed out once is not handed out again in this
  // session.
  void reloadAfterRollback();
  // Throws an internal error unless the change is in `state`.
  void expectChange(ChangeState state, const char* step) const;
  // Rolls back the whole change that an inner scope broke.
  void abandonChange() noexcept;
  // Seals what the current change left pending: salt and header hash when
  // the header changed, the database hash, and the header on disk.
  void sealPending();

  // What every table's constructor does after this one: checks the minor
  // version and file type, builds its indexes, then `finishOpen`, which
  // completes the database hash check and removes a journal the table
  // verifies without.  The open reads the slots once: the index walk hands
  // each block it reads to the hash, and the rest of the file is hashed
  // after it.  When a step fails, the constructor's handler calls
  // `refuseOpen`, which rethrows: damage the hash finds is reported as
  // 0x8C243 whatever the walk tripped over first, and the indexes built
  // from such a file are dropped with the storage.
  void finishOpen();
  [[noreturn]] void refuseOpen();
  // Completes the database hash check an open began, reading what the walk
  // did not hand over; 0x8C243 when the hash differs.  Nothing when none is
  // pending.
  void finishOpenHash();

  // When the open left a journal unapplied, throws `e`'s number with a
  // message that says so (the table does not verify as it stands).
  void refuseWithJournal(const VELDBException& e) const;
  // Throws 0x8C241 unless the header's file type is the 8 bytes at `type`.
  void requireFileType(const unsigned char* type) const;

  // Each table's own checks and index build, which its constructor calls
  // in this order after this constructor, the storage itself never: a
  // rollback or rewrite counts the slots as changed (`slotGeneration`) and
  // the table rebuilds when it next uses its indexes.
  virtual void validateMinorVersionNumber() = 0;
  virtual void validateFileType() = 0;
  // Builds every index from the file; returns the highest record ID.
  virtual std::uint32_t buildIndexes() = 0;

  // Re-seals the header with the current password.
  void resealHeader();
  // Byte offset of slot `index`.
  std::uint64_t slotPosition(std::uint64_t index) const;

  // Slot access shared by the three tables.
  // Reads the slot at `position` into `d_readBuffer` (one positional read;
  // the file position is unspecified afterwards); true when it is not
  // marked deleted.
  bool readSlot(std::uint64_t position);
  // Writes one whole slot (the buffer's first record-length bytes) at
  // `position`.  `slot` must not be `d_readBuffer`, which may be used to read
  // the slot's old content for the incremental database hash.
  void writeSlot(std::uint64_t position, const FileDBBuffer& slot);
  // The same, when the caller holds the slot's old content already.
  void writeSlot(std::uint64_t position, const FileDBBuffer& slot, const unsigned char* oldSlot);
  // Appends one whole slot at the end of the file; returns its position.
  // The caller counts it with `incrRecordsAllocated` once its indexes
  // know it.
  std::uint64_t appendSlot(const FileDBBuffer& slot);
  // Marks the slot at `position` deleted (only its state changes), renews
  // the database hash and asks for compaction on close.
  void markSlotDeleted(std::uint64_t position);
  // Zeroes the bytes of the slot at `position` from `from` to its end when
  // any of them is not zero (slots of older minor versions); true when the
  // file was changed (the caller renews the database hash).
  bool clearSlotTail(std::uint64_t position, std::uint64_t from);
  // Moves `iterator` to the next slot that is not deleted, starting at its
  // current slot, and leaves that slot in `d_readBuffer`; returns its
  // position, or 0 when the walk has passed the last slot.
  std::uint64_t nextLiveSlot(FileDBIterator& iterator);
  // The walk of an open that cleans up an older minor version: moves
  // `iterator` to the next live slot and returns its fields (`FIELDS` read
  // from the slot), after zeroing the slot's bytes behind them.  A deleted
  // slot on the way gets the same clearing when its fields can be read,
  // never stops the walk, and asks for compaction on close.  Null past the
  // last slot.  The caller re-seals once the walk is done.
  template <class FIELDS>
  FIELDS* nextFieldsClearingTails(FileDBIterator& iterator) {
    for (;;) {
      const std::uint64_t position =
          iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                                   d_header->getRecordsAllocated());
      if (position == 0) return nullptr;
      if (readSlot(position)) {
        std::unique_ptr<FIELDS> fields(new FIELDS(*d_readBuffer));
        clearSlotTail(position, d_readBuffer->getPosition());
        return fields.release();
      }
      try {
        const FIELDS fields(*d_readBuffer);
        clearSlotTail(position, d_readBuffer->getPosition());
      } catch (const VELDBException& e) {
        if (e.getError() != VELDBError::kBadArgument) throw;
      }
      ++iterator.d_index;
      d_purgeOnClose = true;
    }
  }
  // The record ID that the next insert takes; 0x8C23D "recordID rollover"
  // when the IDs are used up.
  std::uint32_t nextRecordID() const;

  // DATA
  std::unique_ptr<VELDBConnectInfo::OBJECT> d_connectInfo;
  std::unique_ptr<FileDBBinaryFile> d_file;
  std::unique_ptr<FileDBHeader> d_header;
  std::unique_ptr<FileDBBuffer> d_readBuffer;
  std::unique_ptr<FileDBBuffer> d_writeBuffer;
  std::uint32_t d_lastRecordID;
  std::uint64_t d_slotGeneration = 0;
  bool d_purgeOnClose;
  VELMutex d_instanceMutex;
  VELString d_label;
  // What the open found and has still to finish.
  struct Opening {
    // Why the journal beside the file was left unapplied, or empty.
    VELString journalNotApplied;
    bool unboundJournal = false;  // made under the password, not this table's change
    // The database hash of the open under way, and the slot bytes it has
    // taken: [header size, hashedTo).  Every change finishes it first, so
    // nothing is written to a file whose hash is unchecked.
    std::unique_ptr<FileDBHeader::DatabaseHasher> hash;
    std::uint64_t hashedTo = 0;
  } d_opening;
  // Slots read ahead by a walk, in one large read: [start, start +
  // bytes.size()) of the file as it was; emptied by every change.
  struct ReadAhead {
    std::vector<unsigned char> bytes;
    std::uint64_t start = 0;
  } d_readAhead;
  // The change under way.
  struct Change {
    ChangeState state = ChangeState::kIdle;
    int depth = 0;                  // scopes open
    VELPasswordEncryptor password;  // the password when the change began
    // Sealing is deferred to the end of the outermost change, so that
    // every change hashes the file once however many slots it writes.
    bool sealPending = false;
    bool saltPending = false;
    bool closing = false;  // the storage is being destroyed: nothing is reloaded
  } d_change;
  // The open transaction: its outer scope, the file's count at begin, for
  // an in-memory table the image to go back to, and what the storages of
  // the transaction share.
  struct Transaction {
    std::unique_ptr<ChangeScope> scope;
    std::uint64_t modifications = 0;
    std::unique_ptr<VELString> image;
    std::shared_ptr<TransactionState> shared;
  } d_transaction;

  static VELMutex d_classMutex;

 private:
  std::unique_ptr<FileDBHeader> readHeaderLike(FileDBBinaryFile& file) const;
  // The whole-file rewrites, in place inside a change (which journals what
  // they overwrite), each writing the new slots once and hashing them once
  // under a re-sealed header.  `compact` drops the deleted slots, moving
  // the others down; `grow` gives every slot record length `length` (its
  // bytes, then zeros).
  void compact();
  void grow(std::uint64_t length);
  void checkSize() const;
};

#endif
