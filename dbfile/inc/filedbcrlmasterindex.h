// filedbcrlmasterindex.h -- every in-memory index of one open CRL table.
//
// Unique: label, signature digest, to-be-signed digest, plus the record-ID
// map.  Multi: issuer-name digest (many CRLs share an issuer).  Each live
// record has exactly one entry in each, all with the same slot position and
// record ID; the record-ID map's entry keeps copies of the record's keys so
// that the record can be removed from every index without reading its slot.
// Never touches the file; the table's instance mutex covers every call.
#ifndef DBFILE_FILEDBCRLMASTERINDEX_H
#define DBFILE_FILEDBCRLMASTERINDEX_H

#include <cstdint>
#include <map>
#include <memory>

#include "filedbcrlrecordfields.h"
#include "filedbmultiindex.h"
#include "filedbuniqueindex.h"

struct FileDBCRLIndexEntry {
  std::uint64_t position;
  VELBuffer label;
  VELBuffer signatureHash;
  VELBuffer unsignedCRLHash;
  VELBuffer issuerNameHash;
};

class FileDBCRLMasterIndex {
 public:
  using RecordIDMap = std::map<std::uint32_t, FileDBCRLIndexEntry>;

  // CREATORS
  FileDBCRLMasterIndex();
  ~FileDBCRLMasterIndex();
  FileDBCRLMasterIndex(const FileDBCRLMasterIndex&) = delete;
  FileDBCRLMasterIndex& operator=(const FileDBCRLMasterIndex&) = delete;

  // MANIPULATORS
  // Throws the first collision of `fields` with a stored record, in this
  // order: 0x8C244 record ID, 0x8C245 label, 0x8C246 signature, 0x8C24A
  // to-be-signed part.  The issuer takes no part.  Changes nothing.
  void uniqueKeyIntegrityCheck(const FileDBCRLRecordFields& fields) const;
  // Enters the record at `position` in every index (replacing an entry with
  // the same record ID or unique key).
  void insert(std::uint64_t position, const FileDBCRLRecordFields& fields);
  // Removes the record from every index.  `entry` may be the map's own
  // entry for `recordID`; it is not used after it is removed.
  void erase(std::uint32_t recordID, const FileDBCRLIndexEntry& entry);
  // Empties every index.
  void erase();
  // Makes room for `count` records in the hashed indexes.
  void reserve(std::size_t count);

  // ACCESSORS
  // The entry of `recordID`, or null; owned by the map.
  FileDBCRLIndexEntry* find(std::uint32_t recordID);
  const RecordIDMap& records() const { return *d_recordIDMap; }

  // DATA
  FileDBUniqueIndex d_labelIndex;
  FileDBUniqueIndex d_signatureIndex;
  FileDBUniqueIndex d_unsignedCRLIndex;
  FileDBMultiIndex d_issuerNameIndex;
  std::unique_ptr<RecordIDMap> d_recordIDMap;
};

#endif
