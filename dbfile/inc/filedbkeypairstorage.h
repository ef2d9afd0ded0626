// filedbkeypairstorage.h -- the key-pair table: key pairs with their
// certificate requests.
//
// A `FileDBStorage` whose file has type "X509KYP" (minor version 1 when
// created; 0 and 1 accepted) and whose slots hold
// `FileDBKeyPairRecordFields`, with a `FileDBKeyPairMasterIndex` over them.
// Opening reads every slot once, decodes each record and computes its keys
// afresh.  Record IDs that do not increase in slot order are renumbered in
// memory (the slot keeps its old ID; trace "badRecordIdCount detected").  A
// minor-version-0 file opened read-write has the stray bytes behind each
// slot's fields zeroed and becomes minor version 1; opened read-only it is
// left as it is.
//
// Record operations run with the instance mutex held by the caller.
// Records and containers handed out are new and owned by the caller.
// Errors:
//   0x8B67A "asnObj is invalid - wrong type"  index value out of range, or
//           the caller's object is not of the type the index expects
//   0x8C23D "recordID rollover"   no record ID left
//   0x8C23E "no matching record"  update of a record that is not there
//   0x8C244, 0x8C245, 0x8C249     record ID, label, public key taken
#ifndef DBFILE_FILEDBKEYPAIRSTORAGE_H
#define DBFILE_FILEDBKEYPAIRSTORAGE_H

#include <cstdint>
#include <memory>

#include "filedbiterator.h"
#include "filedbkeypairmasterindex.h"
#include "filedbkeypairrecordfields.h"
#include "filedbstorage.h"
#include "velasnrecords.h"
#include "veldbmanager.h"

class FileDBKeyPairStorage : public FileDBStorage {
 public:
  static constexpr unsigned char kMinorVersion = FileDBHeader::kKeyPairMinorVersion;

  static VELString getClassName() { return "FileDBKeyPairStorage"; }

  // Creates an empty key-pair file; 0x8C24E when it exists.
  static void newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static void newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName);
  // The table storage of `fileName` (a full path for file connections),
  // shared when it is open already; a string connection always gets a
  // storage of its own.  The caller holds the class mutex for file
  // connections.  Every error of opening and indexing passes out; no
  // storage is left behind then.
  static FileDBKeyPairStorage* connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static FileDBKeyPairStorage* connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                           const VELString& fileName);
  // Gives up one connection; the last one destroys the storage (compacting
  // and closing the file) and removes the file when `deleteFile` is set.
  // Never throws; `storage` is null afterwards.
  static void disconnect(FileDBKeyPairStorage*& storage, bool deleteFile);

  // Slot readers; the caller owns the result; null: no live slot.
  FileDBKeyPairRecordFields* getRecordFieldsAt(std::uint64_t position);
  // The first live slot at or after the iterator's index; the index is left
  // on it.
  FileDBKeyPairRecordFields* getRecordFieldsAt(FileDBIterator& iterator);
  // The same walk for a minor-version-0 file open read-write: every slot's
  // bytes behind its fields are zeroed on the way; the caller re-seals.
  FileDBKeyPairRecordFields* getRecordFieldsAt_V0(FileDBIterator& iterator);

  // Record operations.
  VELASNKeyPairRecord* getRecordAt(std::uint64_t position);
  VELASNKeyPairRecord* getRecordAt(FileDBIterator& iterator);
  VELASNKeyPairRecord* getRecordByIndex(VELDBManager::KeyPairUniqueIndex index, const VELASNObject& key);
  VELASNKeyPairRecordContainer* getRecordByIndex(VELDBManager::KeyPairMultiIndex index, const VELASNObject& key);
  std::uint64_t getRecordCountByIndex(VELDBManager::KeyPairUniqueIndex index, const VELASNObject& key);
  // For `KeyPairAllRecords`: the number of live records.
  std::uint64_t getRecordCountByIndex(VELDBManager::KeyPairMultiIndex index, const VELASNObject& key);
  // Appends `record` under the next record ID, which is written into it.
  void insertRecord(VELASNKeyPairRecord& record);
  // Replaces the record found through `index` in place; it keeps its ID,
  // which is written into `record`.
  void updateRecordByIndex(VELDBManager::KeyPairUniqueIndex index, VELASNKeyPairRecord& record);
  std::uint64_t deleteRecordByIndex(VELDBManager::KeyPairUniqueIndex index, const VELASNObject& key);
  // For `KeyPairAllRecords`: every live record.
  std::uint64_t deleteRecordByIndex(VELDBManager::KeyPairMultiIndex index, const VELASNObject& key);

  bool isKindOf(const VELString& name) const override { return name == getClassName(); }
  VELString getInstanceName() const override { return getClassName(); }

 protected:
  FileDBKeyPairStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  ~FileDBKeyPairStorage() override;

  void validateMinorVersionNumber() override;
  void validateFileType() override;
  std::uint32_t buildIndexes() override;

 private:
  bool addRecordToIndexes(FileDBKeyPairRecordFields& fields, FileDBIterator& iterator,
                          std::uint32_t& highestRecordID);
  // The record ID that a unique lookup finds, or false.
  bool findRecordID(VELDBManager::KeyPairUniqueIndex index, const VELASNObject& key, std::uint32_t& recordID);
  // The record of the live slot at `position` whose fields are `fields`,
  // under the record ID the indexes know it by; owned by the caller.
  VELASNKeyPairRecord* decodeAt(std::uint64_t position, const FileDBKeyPairRecordFields& fields);

  // DATA
  FileDBKeyPairMasterIndex d_masterIndex;
};

#endif
