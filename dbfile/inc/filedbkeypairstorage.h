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
// The record operations are the table engine's (filedbtable.h); they run
// with the instance mutex held by the caller.
// Records and containers handed out are new and owned by the caller.
// Errors:
//   0x8B67A "asnObj is invalid - wrong type"  index value out of range, or
//           the caller's object is not of the type the index expects
//   0x8C23D "recordID rollover"   no record ID left
//   0x8C23E "no matching record"  update of a record that is not there
//   0x8C244, 0x8C245, 0x8C249     record ID, label, public key taken
#ifndef DBFILE_FILEDBKEYPAIRSTORAGE_H
#define DBFILE_FILEDBKEYPAIRSTORAGE_H

#include <cstddef>
#include <cstdint>

#include "filedbkeypairmasterindex.h"
#include "filedbkeypairrecordfields.h"
#include "filedbtable.h"
#include "velasnrecords.h"
#include "veldbmanager.h"

class FileDBKeyPairStorage;

// What makes the key-pair table what it is, for the table engine.
struct FileDBKeyPairTableDescription {
  using Table = FileDBKeyPairStorage;
  using Record = VELASNKeyPairRecord;
  using Container = VELASNKeyPairRecordContainer;
  using Fields = FileDBKeyPairRecordFields;
  using MasterIndex = FileDBKeyPairMasterIndex;
  using IndexEntry = FileDBKeyPairIndexEntry;
  using UniqueIndex = VELDBManager::KeyPairUniqueIndex;
  using MultiIndex = VELDBManager::KeyPairMultiIndex;
  using UniqueKey = FileDBTableUniqueKey<MasterIndex, Fields, IndexEntry, UniqueIndex>;

  static constexpr UniqueIndex kRecordIDIndex = VELDBManager::KeyPairRecordID;
  static constexpr unsigned char kMinorVersion = FileDBHeader::kKeyPairMinorVersion;
  static constexpr unsigned char kOldMinorVersion = 0;
  static constexpr bool kRenumberBackwardIDs = true;
  static const UniqueKey kUniqueKeys[];
  static const std::size_t kUniqueKeyCount;

  static VELString className() { return "FileDBKeyPairStorage"; }
  static const unsigned char* fileType() { return FileDBHeader::kKeyPairFileType; }
  static bool acceptsMinorVersion(unsigned char minor) { return minor <= kMinorVersion; }
  static Fields makeFields(const VELKRYAlgorithmFactory* factory, const Record& record);
  // The keys are computed afresh from the decoded record, not taken from
  // the slot.
  static Fields reindex(const VELKRYAlgorithmFactory* factory, Fields& stored, bool& renumbered);
  static VELBuffer lookupDigest(UniqueIndex index, const VELASNObject& key, const VELKRYAlgorithmFactory* factory);
  // Only the whole table (null); 0x8B67A for any other value.
  static FileDBMultiIndex* multiIndexFor(MasterIndex& master, MultiIndex index, const VELASNObject& key,
                                         const VELKRYAlgorithmFactory* factory, VELBuffer& digest);
  static bool hasValueFallback(MultiIndex) { return false; }
  static bool valueMatches(const Record&, const VELASNObject&) { return true; }
};

class FileDBKeyPairStorage : public FileDBTable<FileDBKeyPairTableDescription> {
 private:
  friend class FileDBTable<FileDBKeyPairTableDescription>;
  FileDBKeyPairStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
      : FileDBTable(connectInfo, fileName) {}
};

#endif
