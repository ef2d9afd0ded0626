// filedbcrlstorage.h -- the CRL table: certificate revocation lists.
//
// A `FileDBStorage` whose file has type "X509CRL" (minor version 1 when
// created; 0 and 1 accepted) and whose slots hold `FileDBCRLRecordFields`,
// with a `FileDBCRLMasterIndex` over them.  Opening reads every slot once,
// indexes each slot as stored, without decoding it.  Record IDs are taken
// as the slots hold them, even when they do not increase in slot order;
// only an ID that an earlier slot holds already is renumbered in memory, so
// that every index names one slot.  A minor-version-0 file opened
// read-write has the stray bytes behind each slot's fields zeroed and
// becomes minor version 1; opened read-only it is left as it is.
//
// The record operations are the table engine's (filedbtable.h); they run
// with the instance mutex held by the caller.
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

#include <cstddef>
#include <cstdint>

#include "filedbcrlmasterindex.h"
#include "filedbcrlrecordfields.h"
#include "filedbtable.h"
#include "velasnrecords.h"
#include "veldbmanager.h"

class FileDBCRLStorage;

// What makes the CRL table what it is, for the table engine.
struct FileDBCRLTableDescription {
  using Table = FileDBCRLStorage;
  using Record = VELASNCRLRecord;
  using Container = VELASNCRLRecordContainer;
  using Fields = FileDBCRLRecordFields;
  using MasterIndex = FileDBCRLMasterIndex;
  using IndexEntry = FileDBCRLIndexEntry;
  using UniqueIndex = VELDBManager::CRLUniqueIndex;
  using MultiIndex = VELDBManager::CRLMultiIndex;
  using UniqueKey = FileDBTableUniqueKey<MasterIndex, Fields, IndexEntry, UniqueIndex>;

  static constexpr UniqueIndex kRecordIDIndex = VELDBManager::CRLRecordID;
  static constexpr unsigned char kMinorVersion = FileDBHeader::kCRLMinorVersion;
  static constexpr unsigned char kOldMinorVersion = 0;
  static constexpr bool kRenumberBackwardIDs = false;
  static const UniqueKey kUniqueKeys[];
  static const std::size_t kUniqueKeyCount;

  static VELString className() { return "FileDBCRLStorage"; }
  static const unsigned char* fileType() { return FileDBHeader::kCRLFileType; }
  static bool acceptsMinorVersion(unsigned char minor) { return minor <= kMinorVersion; }
  static Fields makeFields(const VELKRYAlgorithmFactory* factory, const Record& record);
  // CRL slots are indexed as stored: no decoding.
  static Fields reindex(const VELKRYAlgorithmFactory* factory, Fields& stored, bool& renumbered);
  static VELBuffer lookupDigest(UniqueIndex index, const VELASNObject& key, const VELKRYAlgorithmFactory* factory);
  // The issuer name; null for all records.
  static FileDBMultiIndex* multiIndexFor(MasterIndex& master, MultiIndex index, const VELASNObject& key,
                                         const VELKRYAlgorithmFactory* factory, VELBuffer& digest);
  static bool hasValueFallback(MultiIndex) { return false; }
  static bool valueMatches(const Record&, const VELASNObject&) { return true; }
};

class FileDBCRLStorage : public FileDBTable<FileDBCRLTableDescription> {
 private:
  friend class FileDBTable<FileDBCRLTableDescription>;
  FileDBCRLStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
      : FileDBTable(connectInfo, fileName) {}
};

#endif
