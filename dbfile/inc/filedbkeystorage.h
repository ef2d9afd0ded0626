// filedbkeystorage.h -- the key table: certificates with their private keys.
//
// A `FileDBStorage` whose file has type "X509KEY" (minor version 2 when
// created; 1 and 2 accepted) and whose slots hold `FileDBKeyRecordFields`,
// with a `FileDBKeyMasterIndex` over them.  Opening reads every slot once,
// decodes each record and computes its keys afresh; record IDs out of order
// are repaired in memory (trace "badRecordIdCount detected").  A
// minor-version-1 file opened read-write has the stray bytes behind each
// slot's fields zeroed and becomes minor version 2.  An open that fails
// leaves the file sealed and never compacts it; a record-ID repair that
// would pass 4294967295 fails the open with 0x8C23D.
//
// Record operations run with the instance mutex held by the caller.
// Records handed out are new and owned by the caller.  Errors:
//   0x8B67A "asnObj is invalid - wrong type"  index value out of range, or
//           the caller's object is not of the type the index expects
//   0x8C23D "recordID rollover"   no record ID left
//   0x8C23E "no matching record"  update of a record that is not there
//   0x8C244..0x8C248              record ID, label, signature, unsigned
//                                 certificate, issuer-and-serial taken
#ifndef DBFILE_FILEDBKEYSTORAGE_H
#define DBFILE_FILEDBKEYSTORAGE_H

#include <cstdint>
#include <memory>

#include "filedbiterator.h"
#include "filedbkeymasterindex.h"
#include "filedbkeyrecordfields.h"
#include "filedbstorage.h"
#include "velasnrecords.h"
#include "veldbmanager.h"

class FileDBKeyStorage : public FileDBStorage {
 public:
  static constexpr unsigned char kMinorVersion = FileDBHeader::kKeyMinorVersion;

  static VELString getClassName() { return "FileDBKeyStorage"; }

  // Creates an empty key file.
  static void newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static void newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName);
  // The table storage of `fileName` (a full path for file connections),
  // shared when it is open already; a string connection always gets a
  // storage of its own.  The caller holds the class mutex for file
  // connections.
  static FileDBKeyStorage* connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static FileDBKeyStorage* connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                       const VELString& fileName);
  // Gives up one connection; the last one destroys the storage (compacting
  // and closing the file) and removes the file when `deleteFile` is set.
  // Never throws; `storage` is null afterwards.
  static void disconnect(FileDBKeyStorage*& storage, bool deleteFile);

  // Slot readers; the caller owns the result; null: no live slot.
  FileDBKeyRecordFields* getRecordFieldsAt(std::uint64_t position);
  FileDBKeyRecordFields* getRecordFieldsAt(FileDBIterator& iterator);
  FileDBKeyRecordFields* getRecordFieldsAt_V1(FileDBIterator& iterator);

  // Record operations.
  VELASNKeyRecord* getRecordAt(std::uint64_t position);
  VELASNKeyRecord* getRecordAt(FileDBIterator& iterator);
  VELASNKeyRecord* getRecordByIndex(VELDBManager::KeyUniqueIndex index, const VELASNObject& key);
  VELASNKeyRecordContainer* getRecordByIndex(VELDBManager::KeyMultiIndex index, const VELASNObject& key);
  std::uint64_t getRecordCountByIndex(VELDBManager::KeyUniqueIndex index, const VELASNObject& key);
  // For `KeyAllRecords`: the number of live records.
  std::uint64_t getRecordCountByIndex(VELDBManager::KeyMultiIndex index, const VELASNObject& key);
  // Appends `record` under the next record ID, which is written into it.
  void insertRecord(VELASNKeyRecord& record);
  // Replaces the record found through `index` in place; it keeps its ID,
  // which is written into `record`.
  void updateRecordByIndex(VELDBManager::KeyUniqueIndex index, VELASNKeyRecord& record);
  std::uint64_t deleteRecordByIndex(VELDBManager::KeyUniqueIndex index, const VELASNObject& key);
  // For `KeyAllRecords`: every live record.
  std::uint64_t deleteRecordByIndex(VELDBManager::KeyMultiIndex index, const VELASNObject& key);

  bool isKindOf(const VELString& name) const override { return name == getClassName(); }
  VELString getInstanceName() const override { return getClassName(); }

 protected:
  FileDBKeyStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  ~FileDBKeyStorage() override;

  void validateMinorVersionNumber() override;
  void validateFileType() override;
  std::uint32_t buildIndexes() override;

 private:
  bool addRecordToIndexes(FileDBKeyRecordFields& fields, FileDBIterator& iterator, unsigned int& highestRecordID);
  // The multi index that `index` selects, with the digest of `key` in
  // `digest`; null for the whole table; 0x8B67A for any other value.
  FileDBMultiIndex* multiIndexFor(VELDBManager::KeyMultiIndex index, const VELASNObject& key, VELBuffer& digest);
  // The record ID that a unique lookup finds, or false.
  bool findRecordID(VELDBManager::KeyUniqueIndex index, const VELASNObject& key, std::uint32_t& recordID);
  VELASNKeyRecord* decode(std::uint64_t position, const FileDBKeyRecordFields& fields);

  // DATA
  FileDBKeyMasterIndex d_masterIndex;
};

#endif
