// filedbtable.h -- the table engine: one kind of record over one storage.
//
// `FileDBTable<TYPES>` is every record operation of a table, written
// once: the index build of an open (with the clean-up of an older minor
// version), lookups and counts by each index, walks, insert and update with
// their duplicate checks, delete by each index and delete-all.  What makes
// one table differ from another is its types (`FileDBTableTypes`: record,
// container, slot fields, master index, the caller's index
// enums) and its description (`FileDBTableDescription`, below): identity
// and minor versions, its unique and multi indexes with how a caller's
// object becomes their keys, and how a record becomes its slot fields.
// Each table's header names its engine (`FileDBKeyStorage` is
// `FileDBTable<FileDBKeyTableTypes>`); its source file defines
// `description()` and instantiates the engine (filedbtableimpl.h) over it.
//
// Changes.  Every operation that writes is exactly one change of the
// storage (one journal, one seal), opened only after every check that can
// refuse it, so that a refusal writes, rolls back and reloads nothing.
// The storage tells the engine nothing when a change is rolled back or a
// rewrite moves the slots; it counts them (`slotGeneration`), and every
// operation rebuilds the indexes first when the count moved on.
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
#include "filedbmasterindex.h"
#include "filedbmultiindex.h"
#include "filedbstorage.h"
#include "filedbuniqueindex.h"
#include "filedbtablenames.h"
#include "velasn.h"
#include "velbuffer.h"
#include "veldbconnectinfo.h"
#include "veldbutility.h"
#include "velkry.h"
#include "velstring.h"

// How a caller's object becomes the key an index holds; 0x8B67A when the
// object is not of the type the index expects.
namespace FileDBTableKeys {

using Digest = VELBuffer (*)(const VELASNObject& key, const VELKRYAlgorithmFactory* factory);

// The label bytes of a label string.
VELBuffer label(const VELASNObject& key, const VELKRYAlgorithmFactory* factory);
// The SHA-1 digest of the exact encoding of a `T`.
template <class T, const T& (*DOWNCAST)(const VELASNObject&)>
VELBuffer sha1(const VELASNObject& key, const VELKRYAlgorithmFactory* factory) {
  return VELDBUtility::getSHA1Digest(DOWNCAST(key), factory);
}

}  // namespace FileDBTableKeys

// What makes one table what it is; each table defines its own.
template <class TYPES>
struct FileDBTableDescription {
  using Record = typename TYPES::Record;
  using Fields = typename TYPES::Fields;
  using Field = VELBuffer Fields::*;

  // A unique index other than the record ID: its key in the fields, how a
  // caller's object becomes that key, and the numbers an insert and an
  // update throw when another record holds it.
  struct UniqueKey {
    typename TYPES::UniqueIndex which;
    Field field;
    FileDBTableKeys::Digest digestOf;
    unsigned long insertError;
    unsigned long updateError;
  };
  // A multi index (`field` null: every record, no digest), and for a
  // lookup that finds nothing by digest an optional comparison of values
  // (the same name in another encoding has another digest).
  struct MultiKey {
    typename TYPES::MultiIndex which;
    Field field;
    FileDBTableKeys::Digest digestOf;
    bool (*valueMatches)(const Record& record, const VELASNObject& key);
  };

  const char* className;
  const unsigned char* fileType;
  // Minor versions: a new file's, and the older one that a read-write open
  // cleans up (the stray bytes behind each slot's fields are zeroed) and
  // moves to the new one.  Files of any other minor version are refused.
  unsigned char minorVersion;
  unsigned char oldMinorVersion;
  // A record ID that does not increase in slot order is renumbered in
  // memory; otherwise only one that an earlier slot holds already is.
  bool renumberBackwardIDs;
  typename TYPES::UniqueIndex recordIDIndex;
  // In the order an update checks them; the first one also finds a record
  // renumbered in memory.
  std::vector<UniqueKey> uniqueKeys;
  std::vector<MultiKey> multiKeys;
  // The fields of a new record; and those an open indexes for a stored slot
  // (keys computed afresh where the table wants it; it may set
  // `renumbered`).  An open reads `stored` without its DER, which `encoding`
  // views in the slot; the fields it indexes need none either, as the
  // indexes keep only the keys.
  Fields (*makeFields)(const VELKRYAlgorithmFactory* factory, const Record& record);
  Fields (*reindex)(const VELKRYAlgorithmFactory* factory, Fields& stored, const VELASNCBuffer& encoding,
                    bool& renumbered);

  // The keys the table's master index keeps, in list order.
  std::vector<typename FileDBMasterIndex<Fields>::UniqueKey> indexedUniqueKeys() const {
    std::vector<typename FileDBMasterIndex<Fields>::UniqueKey> keys;
    for (const UniqueKey& key : uniqueKeys) keys.push_back({key.field, key.insertError});
    return keys;
  }
  std::vector<Field> indexedMultiKeys() const {
    std::vector<Field> keys;
    for (const MultiKey& key : multiKeys) {
      if (key.field != nullptr) keys.push_back(key.field);
    }
    return keys;
  }
};

template <class TYPES>
class FileDBTable : public FileDBStorage {
 public:
  using Types = TYPES;
  using Description = FileDBTableDescription<TYPES>;
  using Record = typename TYPES::Record;
  using Container = typename TYPES::Container;
  using Fields = typename TYPES::Fields;
  using MasterIndex = typename TYPES::MasterIndex;
  using IndexEntry = FileDBIndexEntry;
  using UniqueIndex = typename TYPES::UniqueIndex;
  using MultiIndex = typename TYPES::MultiIndex;

  // The table's description; defined beside each table.
  static const Description& description();
  static VELString getClassName() { return description().className; }

  // Creates an empty table file; 0x8C24E when it exists.
  static void newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static void newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName);
  // The table storage of `fileName` (a full path for file connections),
  // shared when it is open already; a string connection always gets a
  // storage of its own.  The caller holds the class mutex for file
  // connections.  Every error of opening and indexing passes out; no
  // storage is left behind then.
  static FileDBTable* connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static FileDBTable* connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                  const VELString& fileName);
  // Gives up one connection; the last one destroys the storage (compacting
  // and closing the file) and removes the file when `deleteFile` is set.
  // Never throws; `storage` is null afterwards.
  static void disconnect(FileDBTable*& storage, bool deleteFile);

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

 private:
  // A record as an index names it.
  struct Location {
    std::uint32_t recordID;
    std::uint64_t position;
  };

  // Opens the file and builds the indexes; only `connectFile` makes tables.
  FileDBTable(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);

  void validateMinorVersionNumber() override;
  void validateFileType() override;
  std::uint32_t buildIndexes() override;
  // Builds the indexes again when the storage's slots changed under them
  // (`slotGeneration`: a change rolled back, a rewrite); true when it did.
  // Every operation asks before it uses the indexes.
  bool refreshIndexes();

  // The description's entry for `index`; null for the record-ID index;
  // 0x8B67A for any other value.
  static const typename Description::UniqueKey* uniqueKeyFor(UniqueIndex index);
  // Which of the master index's unique indexes holds `key`.
  static std::size_t numberOf(const typename Description::UniqueKey& key);
  // The description's entry for `index`; 0x8B67A for a value it lacks.
  static const typename Description::MultiKey& multiKeyFor(MultiIndex index);
  // The multi index of `multi` (null: every record), with the digest of
  // `key` in `digest`.
  FileDBMultiIndex* multiIndexOf(const typename Description::MultiKey& multi, const VELASNObject& key,
                                 VELBuffer& digest);
  // The record that a unique lookup finds, or false.
  bool find(UniqueIndex index, const VELASNObject& key, Location& at);
  Record* decode(std::uint64_t position, const Fields& fields);
  // Marks the slot deleted and takes the record out of the indexes; runs
  // inside a change.
  void removeAt(const Location& at);
  std::uint64_t positionOf(const FileDBIterator& iterator) const;

  // DATA
  MasterIndex d_masterIndex;
  std::uint64_t d_indexedGeneration = 0;  // the storage's slot generation the indexes hold
};

#endif
