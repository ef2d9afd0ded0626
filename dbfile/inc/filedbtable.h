// filedbtable.h -- the table engine: one kind of record over one storage.
//
// `FileDBTable<DESCRIPTION>` is every record operation of a table, written
// once: the index build of an open (with the clean-up of an older minor
// version), lookups and counts by each index, walks, insert and update with
// their duplicate checks, delete by each index and delete-all.  What makes
// one table differ from another is its description, a struct of types and
// static functions:
//
//   Table                the named class over the engine (its constructor
//                        is made reachable with `friend FileDBTable<...>`)
//   Record, Container    the record type and its container
//   Fields, MasterIndex, IndexEntry
//                        the slot layout, the in-memory indexes and their
//                        record-ID map entry (`position` and the keys)
//   UniqueIndex, MultiIndex, kRecordIDIndex
//                        the caller's index enums, and the record-ID value
//   kUniqueKeys[], kUniqueKeyCount
//                        every unique index but the record ID, in the order
//                        an update checks them: which index, its member of
//                        the master index, the key in the fields and in the
//                        index entry, and the number an update throws when
//                        another record holds the key
//   className(), fileType(), kMinorVersion, kOldMinorVersion,
//   acceptsMinorVersion(minor)
//                        identity and versions; a read-write open of a
//                        file of `kOldMinorVersion` zeroes the stray bytes
//                        behind each slot's fields and moves it to
//                        `kMinorVersion`
//   kRenumberBackwardIDs a record ID that does not increase in slot order
//                        is renumbered in memory; otherwise only one that
//                        an earlier slot holds already is
//   makeFields(factory, record)          the fields of a new record
//   reindex(factory, stored, renumbered) the fields an open indexes for a
//                        stored slot (keys computed afresh where the table
//                        wants it); `renumbered` may be set by it
//   lookupDigest(index, key, factory)    the index key of a caller's object
//   multiIndexFor(master, index, key, factory, digest)
//                        the multi index `index` selects (null: the whole
//                        table), with the digest of `key`; 0x8B67A otherwise
//   hasValueFallback(index), valueMatches(record, key)
//                        a multi lookup that finds nothing by digest
//                        compares values (a name encoded another way)
//
// Changes.  Every operation that writes is exactly one change of the
// storage (one journal, one seal), opened only after every check that can
// refuse it, so that a refusal writes, rolls back and reloads nothing.
// Record IDs: an insert takes the next one once its checks passed; an ID
// handed out is not handed out again in the session, even when its change
// is rolled back.
//
// Lookups by a unique index act on the slot that the index names; a
// record renumbered in memory is handed out under the ID that finds it.
//
// Errors: 0x8B67A "asnObj is invalid - wrong type" (an index value out of
// range, or an object not of the type the index expects), 0x8C23D "recordID
// rollover", 0x8C23E "no matching record" (an update), the master index's
// duplicate numbers on insert and the description's on update, and the
// storage's file errors.  Callers hold the instance mutex; records and
// containers handed out are new and the caller's.
#ifndef DBFILE_FILEDBTABLE_H
#define DBFILE_FILEDBTABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "filedbiterator.h"
#include "filedbmultiindex.h"
#include "filedbstorage.h"
#include "filedbuniqueindex.h"
#include "velasn.h"
#include "velbuffer.h"
#include "veldbconnectinfo.h"
#include "velkry.h"
#include "velstring.h"

// One unique index of a table, as its description lists it.
template <class MASTER, class FIELDS, class ENTRY, class UNIQUE>
struct FileDBTableUniqueKey {
  UNIQUE which;
  FileDBUniqueIndex MASTER::*index;
  VELBuffer FIELDS::*field;
  VELBuffer ENTRY::*entryField;
  unsigned long updateError;
};

template <class DESCRIPTION>
class FileDBTable : public FileDBStorage {
 public:
  using Description = DESCRIPTION;
  using Table = typename DESCRIPTION::Table;
  using Record = typename DESCRIPTION::Record;
  using Container = typename DESCRIPTION::Container;
  using Fields = typename DESCRIPTION::Fields;
  using MasterIndex = typename DESCRIPTION::MasterIndex;
  using IndexEntry = typename DESCRIPTION::IndexEntry;
  using UniqueIndex = typename DESCRIPTION::UniqueIndex;
  using MultiIndex = typename DESCRIPTION::MultiIndex;

  static constexpr unsigned char kMinorVersion = DESCRIPTION::kMinorVersion;

  static VELString getClassName() { return DESCRIPTION::className(); }

  // Creates an empty table file; 0x8C24E when it exists.
  static void newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static void newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName);
  // The table storage of `fileName` (a full path for file connections),
  // shared when it is open already; a string connection always gets a
  // storage of its own.  The caller holds the class mutex for file
  // connections.  Every error of opening and indexing passes out; no
  // storage is left behind then.
  static Table* connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static Table* connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                            const VELString& fileName);
  // Gives up one connection; the last one destroys the storage (compacting
  // and closing the file) and removes the file when `deleteFile` is set.
  // Never throws; `storage` is null afterwards.
  static void disconnect(Table*& storage, bool deleteFile);

  // Slot readers; the caller owns the result; null: no live slot.  The
  // iterator form takes the first live slot at or after the iterator's
  // index and leaves the index on it.
  Fields* getRecordFieldsAt(std::uint64_t position);
  Fields* getRecordFieldsAt(FileDBIterator& iterator);

  // Record operations.
  Record* getRecordAt(std::uint64_t position);
  Record* getRecordAt(FileDBIterator& iterator);
  Record* getRecordByIndex(UniqueIndex index, const VELASNObject& key);
  Container* getRecordByIndex(MultiIndex index, const VELASNObject& key);
  std::uint64_t getRecordCountByIndex(UniqueIndex index, const VELASNObject& key);
  // For the all-records index: the number of live records.
  std::uint64_t getRecordCountByIndex(MultiIndex index, const VELASNObject& key);
  // Appends `record` under the next record ID, which is written into it.
  void insertRecord(Record& record);
  // Replaces the record found through `index` in place; it keeps its ID,
  // which is written into `record`.
  void updateRecordByIndex(UniqueIndex index, Record& record);
  std::uint64_t deleteRecordByIndex(UniqueIndex index, const VELASNObject& key);
  // Every record the multi index finds (for the all-records index: every
  // live record), as one change.
  std::uint64_t deleteRecordByIndex(MultiIndex index, const VELASNObject& key);

  bool isKindOf(const VELString& name) const override { return name == getClassName(); }
  VELString getInstanceName() const override { return getClassName(); }

 protected:
  FileDBTable(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);

  void validateMinorVersionNumber() override;
  void validateFileType() override;
  std::uint32_t buildIndexes() override;

  // DATA
  MasterIndex d_masterIndex;

 private:
  // A record as an index names it.
  struct Location {
    std::uint32_t recordID;
    std::uint64_t position;
  };

  // The record that a unique lookup finds, or false.
  bool find(UniqueIndex index, const VELASNObject& key, Location& at);
  // The description's entry for `index`; null for the record-ID index;
  // 0x8B67A for any other value.
  const typename DESCRIPTION::UniqueKey* uniqueKeyFor(UniqueIndex index) const;
  Record* decode(std::uint64_t position, const Fields& fields);
  // Marks the slot deleted and takes the record out of the indexes; runs
  // inside a change.
  void removeAt(const Location& at);
  std::uint64_t positionOf(const FileDBIterator& iterator) const;
};

#endif
