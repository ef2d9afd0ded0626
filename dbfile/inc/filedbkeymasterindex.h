// filedbkeymasterindex.h -- every in-memory index of one open key table.
//
// Unique: label, signature digest, unsigned-certificate digest,
// issuer-and-serial digest, and the record-ID map.  Multi: subject-name
// digest and public-key digest.  Each live record has exactly one entry in
// each, all with the same slot position and record ID; the record-ID map's
// entry keeps copies of the record's keys so that the record can be removed
// from every index without reading its slot.  Never touches the file; the
// table's instance mutex covers every call.
#ifndef DBFILE_FILEDBKEYMASTERINDEX_H
#define DBFILE_FILEDBKEYMASTERINDEX_H

#include <cstdint>
#include <map>
#include <memory>

#include "filedbkeyrecordfields.h"
#include "filedbmultiindex.h"
#include "filedbuniqueindex.h"

struct FileDBKeyIndexEntry {
  std::uint64_t position;
  VELBuffer label;
  VELBuffer signatureHash;
  VELBuffer unsignedCertHash;
  VELBuffer subjectNameHash;
  VELBuffer subjectPublicKeyInfoHash;
  VELBuffer issuerAndSerialNumberHash;
};

class FileDBKeyMasterIndex {
 public:
  using RecordIDMap = std::map<std::uint32_t, FileDBKeyIndexEntry>;

  // CREATORS
  FileDBKeyMasterIndex();
  ~FileDBKeyMasterIndex();
  FileDBKeyMasterIndex(const FileDBKeyMasterIndex&) = delete;
  FileDBKeyMasterIndex& operator=(const FileDBKeyMasterIndex&) = delete;

  // MANIPULATORS
  // Throws the first collision of `fields` with a stored record, in this
  // order: 0x8C244 record ID, 0x8C245 label, 0x8C246 signature, 0x8C247
  // unsigned certificate, 0x8C248 issuer and serial.  Changes nothing.
  void uniqueKeyIntegrityCheck(const FileDBKeyRecordFields& fields) const;
  // Enters the record at `position` in every index.
  void insert(std::uint64_t position, const FileDBKeyRecordFields& fields);
  // Removes the record from every index.  `entry` may be the map's own
  // entry for `recordID`; it is not used after it is removed.
  void erase(std::uint32_t recordID, const FileDBKeyIndexEntry& entry);
  // Empties every index.
  void erase();
  // Makes room for `count` records in the hashed indexes.
  void reserve(std::size_t count);

  // ACCESSORS
  // The entry of `recordID`, or null; owned by the map.
  FileDBKeyIndexEntry* find(std::uint32_t recordID);
  const RecordIDMap& records() const { return *d_recordIDMap; }

  // DATA
  FileDBUniqueIndex d_labelIndex;
  FileDBUniqueIndex d_signatureIndex;
  FileDBUniqueIndex d_unsignedCertIndex;
  FileDBMultiIndex d_subjectNameIndex;
  FileDBMultiIndex d_publicKeyIndex;
  FileDBUniqueIndex d_issuerAndSerialIndex;
  std::unique_ptr<RecordIDMap> d_recordIDMap;
};

#endif
