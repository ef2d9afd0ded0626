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
// The record operations are the table engine's (filedbtable.h); they run
// with the instance mutex held by the caller.  Records handed out are new
// and owned by the caller.  Errors:
//   0x8B67A "asnObj is invalid - wrong type"  index value out of range, or
//           the caller's object is not of the type the index expects
//   0x8C23D "recordID rollover"   no record ID left
//   0x8C23E "no matching record"  update of a record that is not there
//   0x8C244..0x8C248              record ID, label, signature, unsigned
//                                 certificate, issuer-and-serial taken
#ifndef DBFILE_FILEDBKEYSTORAGE_H
#define DBFILE_FILEDBKEYSTORAGE_H

#include <cstddef>
#include <cstdint>

#include "filedbkeymasterindex.h"
#include "filedbkeyrecordfields.h"
#include "filedbtable.h"
#include "velasnrecords.h"
#include "veldbmanager.h"

class FileDBKeyStorage;

// What makes the key table what it is, for the table engine.
struct FileDBKeyTableDescription {
  using Table = FileDBKeyStorage;
  using Record = VELASNKeyRecord;
  using Container = VELASNKeyRecordContainer;
  using Fields = FileDBKeyRecordFields;
  using MasterIndex = FileDBKeyMasterIndex;
  using IndexEntry = FileDBKeyIndexEntry;
  using UniqueIndex = VELDBManager::KeyUniqueIndex;
  using MultiIndex = VELDBManager::KeyMultiIndex;
  using UniqueKey = FileDBTableUniqueKey<MasterIndex, Fields, IndexEntry, UniqueIndex>;

  static constexpr UniqueIndex kRecordIDIndex = VELDBManager::KeyRecordID;
  static constexpr unsigned char kMinorVersion = FileDBHeader::kKeyMinorVersion;
  static constexpr unsigned char kOldMinorVersion = 1;
  static constexpr bool kRenumberBackwardIDs = true;
  static const UniqueKey kUniqueKeys[];
  static const std::size_t kUniqueKeyCount;

  static VELString className() { return "FileDBKeyStorage"; }
  static const unsigned char* fileType() { return FileDBHeader::kKeyFileType; }
  static bool acceptsMinorVersion(unsigned char minor) { return minor == 1 || minor == 2; }
  static Fields makeFields(const VELKRYAlgorithmFactory* factory, const Record& record);
  // Every key is computed afresh from the decoded record; the stored
  // encoding is kept unless the ID was repaired (or the record's own ID
  // differs from its slot's, which counts as a repair).
  static Fields reindex(const VELKRYAlgorithmFactory* factory, Fields& stored, bool& renumbered);
  static VELBuffer lookupDigest(UniqueIndex index, const VELASNObject& key, const VELKRYAlgorithmFactory* factory);
  // Subject name and public key; null for all records.
  static FileDBMultiIndex* multiIndexFor(MasterIndex& master, MultiIndex index, const VELASNObject& key,
                                         const VELKRYAlgorithmFactory* factory, VELBuffer& digest);
  // A subject name found by no digest is compared as a name.
  static bool hasValueFallback(MultiIndex index) { return index == VELDBManager::KeySubjectName; }
  static bool valueMatches(const Record& record, const VELASNObject& key);
};

class FileDBKeyStorage : public FileDBTable<FileDBKeyTableDescription> {
 private:
  friend class FileDBTable<FileDBKeyTableDescription>;
  FileDBKeyStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
      : FileDBTable(connectInfo, fileName) {}
};

#endif
