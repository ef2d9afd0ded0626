// filedbkeypairmasterindex.h -- every in-memory index of one open key-pair
// table.
//
// Unique: label and public-key digest, plus the record-ID map.  Each live
// record has exactly one entry in each, all with the same slot position and
// record ID; the record-ID map's entry keeps copies of the record's keys so
// that the record can be removed from every index without reading its slot.
// Never touches the file; the table's instance mutex covers every call.
#ifndef DBFILE_FILEDBKEYPAIRMASTERINDEX_H
#define DBFILE_FILEDBKEYPAIRMASTERINDEX_H

#include <cstdint>
#include <map>
#include <memory>

#include "filedbkeypairrecordfields.h"
#include "filedbuniqueindex.h"

struct FileDBKeyPairIndexEntry {
  std::uint64_t position;
  VELBuffer label;
  VELBuffer subjectPublicKeyInfoHash;
};

class FileDBKeyPairMasterIndex {
 public:
  using RecordIDMap = std::map<std::uint32_t, FileDBKeyPairIndexEntry>;

  // CREATORS
  FileDBKeyPairMasterIndex();
  ~FileDBKeyPairMasterIndex();
  FileDBKeyPairMasterIndex(const FileDBKeyPairMasterIndex&) = delete;
  FileDBKeyPairMasterIndex& operator=(const FileDBKeyPairMasterIndex&) = delete;

  // MANIPULATORS
  // Throws the first collision of `fields` with a stored record, in this
  // order: 0x8C244 record ID, 0x8C245 label, 0x8C249 public key.  Changes
  // nothing.
  void uniqueKeyIntegrityCheck(const FileDBKeyPairRecordFields& fields) const;
  // Enters the record at `position` in every index (replacing an entry with
  // the same record ID or key).
  void insert(std::uint64_t position, const FileDBKeyPairRecordFields& fields);
  // Removes the record from every index.  `entry` may be the map's own
  // entry for `recordID`; it is not used after it is removed.
  void erase(std::uint32_t recordID, const FileDBKeyPairIndexEntry& entry);
  // Empties every index.
  void erase();
  // Makes room for `count` records in the hashed indexes.
  void reserve(std::size_t count);

  // ACCESSORS
  // The entry of `recordID`, or null; owned by the map.
  FileDBKeyPairIndexEntry* find(std::uint32_t recordID);
  const RecordIDMap& records() const { return *d_recordIDMap; }

  // DATA
  FileDBUniqueIndex d_labelIndex;
  FileDBUniqueIndex d_publicKeyIndex;
  std::unique_ptr<RecordIDMap> d_recordIDMap;
};

#endif
