// filedbcrlstorage.h -- the CRL table: certificate revocation lists.
//
// A `FileDBStorage` whose file has type "X509CRL" (minor version 1 when
// created; 0 and 1 accepted) and whose slots hold `FileDBCRLRecordFields`,
// with a `FileDBCRLMasterIndex` over them.  Opening reads every slot once,
// decodes each record and computes its keys afresh.  Record IDs are taken
// as the slots hold them (unlike the key and key-pair tables, no
// renumbering); the highest one counts.  A minor-version-0 file opened
// read-write has the stray bytes behind each slot's fields zeroed and
// becomes minor version 1; opened read-only it is left as it is.
//
// Record operations run with the instance mutex held by the caller.
// Records and containers handed out are new and owned by the caller.
// Errors:
//   0x8B67A "asnObj is invalid - wrong type"  index value out of range, or
//           the caller's object is not of the type the index expects
//   0x8C23D "recordID rollover"   no record ID left
//   0x8C23E "no matching record"  update of a record that is not there
//   0x8C244, 0x8C245, 0x8C246     record ID, label, signature taken
//   0x8C24A                       to-be-signed part taken on insert
//   0x8C247                       to-be-signed part taken on update
#ifndef DBFILE_FILEDBCRLSTORAGE_H
#define DBFILE_FILEDBCRLSTORAGE_H

#include <cstdint>
#include <memory>

#include "filedbcrlmasterindex.h"
#include "filedbcrlrecordfields.h"
#include "filedbiterator.h"
#include "filedbstorage.h"
#include "velasnrecords.h"
#include "veldbmanager.h"

class FileDBCRLStorage : public FileDBStorage {
 public:
  static constexpr unsigned char kMinorVersion = FileDBHeader::kCRLMinorVersion;

  static VELString getClassName() { return "FileDBCRLStorage"; }

  // Creates an empty CRL file; 0x8C24E when it exists.
  static void newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static void newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName);
  // The table storage of `fileName` (a full path for file connections),
  // shared when it is open already; a string connection always gets a
  // storage of its own.  The caller holds the class mutex for file
  // connections.  Every error of opening and indexing passes out; no
  // storage is left behind then.
  static FileDBCRLStorage* connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  static FileDBCRLStorage* connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                       const VELString& fileName);
  // Gives up one connection; the last one destroys the storage (compacting
  // and closing the file) and removes the file when `deleteFile` is set.
  // Never throws; `storage` is null afterwards.
  static void disconnect(FileDBCRLStorage*& storage, bool deleteFile);

  // Slot readers; the caller owns the result; null: no live slot.
  FileDBCRLRecordFields* getRecordFieldsAt(std::uint64_t position);
  // The first live slot at or after the iterator's index; the index is left
  // on it.
  FileDBCRLRecordFields* getRecordFieldsAt(FileDBIterator& iterator);
  // The same walk for a minor-version-0 file open read-write: every slot's
  // bytes behind its fields are zeroed on the way; the caller re-seals.
  FileDBCRLRecordFields* getRecordFieldsAt_V0(FileDBIterator& iterator);

  // Record operations.
  VELASNCRLRecord* getRecordAt(std::uint64_t position);
  VELASNCRLRecord* getRecordAt(FileDBIterator& iterator);
  VELASNCRLRecord* getRecordByIndex(VELDBManager::CRLUniqueIndex index, const VELASNObject& key);
  VELASNCRLRecordContainer* getRecordByIndex(VELDBManager::CRLMultiIndex index, const VELASNObject& key);
  std::uint64_t getRecordCountByIndex(VELDBManager::CRLUniqueIndex index, const VELASNObject& key);
  // For `CRLAllRecords`: the number of live records.
  std::uint64_t getRecordCountByIndex(VELDBManager::CRLMultiIndex index, const VELASNObject& key);
  // Appends `record` under the next record ID, which is written into it.
  void insertRecord(VELASNCRLRecord& record);
  // Replaces the record found through `index` in place; it keeps its ID,
  // which is written into `record`.
  void updateRecordByIndex(VELDBManager::CRLUniqueIndex index, VELASNCRLRecord& record);
  std::uint64_t deleteRecordByIndex(VELDBManager::CRLUniqueIndex index, const VELASNObject& key);
  // For `CRLAllRecords`: every live record; for `CRLIssuerName`: every
  // record of that issuer.
  std::uint64_t deleteRecordByIndex(VELDBManager::CRLMultiIndex index, const VELASNObject& key);

  bool isKindOf(const VELString& name) const override { return name == getClassName(); }
  VELString getInstanceName() const override { return getClassName(); }

 protected:
  FileDBCRLStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName);
  ~FileDBCRLStorage() override;

  void validateMinorVersionNumber() override;
  void validateFileType() override;
  std::uint32_t buildIndexes() override;

 private:
  void addRecordToIndexes(FileDBCRLRecordFields& fields, FileDBIterator& iterator, std::uint32_t& highestRecordID);
  // The record ID that a unique lookup finds, or false.
  bool findRecordID(VELDBManager::CRLUniqueIndex index, const VELASNObject& key, std::uint32_t& recordID);
  // The first issuer-index entry of the name `key` (0x8B67A when `key` is
  // no name); `findNext` of the issuer index gives the others.
  const FileDBMultiLocation* findIssuer(const VELASNObject& key);
  VELASNCRLRecord* decode(const FileDBCRLRecordFields& fields) const;

  // DATA
  FileDBCRLMasterIndex d_masterIndex;
};

#endif
