#include "filedbkeypairmasterindex.h"

#include "velexception.h"
#include "veltrace.h"

FileDBKeyPairMasterIndex::FileDBKeyPairMasterIndex() : d_recordIDMap(new RecordIDMap()) {
  VEL_TRACE_SCOPE("FileDBKeyPairMasterIndex::ctor");
}

FileDBKeyPairMasterIndex::~FileDBKeyPairMasterIndex() { VEL_TRACE_SCOPE("FileDBKeyPairMasterIndex::dtor"); }

FileDBKeyPairIndexEntry* FileDBKeyPairMasterIndex::find(std::uint32_t recordID) {
  VEL_TRACE_SCOPE("find");
  auto it = d_recordIDMap->find(recordID);
  return it == d_recordIDMap->end() ? nullptr : &it->second;
}

void FileDBKeyPairMasterIndex::uniqueKeyIntegrityCheck(const FileDBKeyPairRecordFields& fields) const {
  VEL_TRACE_SCOPE("uniqueKeyIntegrityCheck");
  if (d_recordIDMap->count(fields.recordID) != 0) VELDB_THROW(VELDBError::kDuplicateRecordID, "");
  if (d_labelIndex.find(fields.label) != nullptr) VELDB_THROW(VELDBError::kDuplicateLabel, "");
  if (d_publicKeyIndex.find(fields.subjectPublicKeyInfoHash) != nullptr) VELDB_THROW(VELDBError::kDuplicatePublicKey, "");
}

void FileDBKeyPairMasterIndex::insert(std::uint64_t position, const FileDBKeyPairRecordFields& fields) {
  VEL_TRACE_SCOPE("insert");
  (*d_recordIDMap)[fields.recordID] = FileDBKeyPairIndexEntry{position, fields.label, fields.subjectPublicKeyInfoHash};
  const FileDBUniqueLocation at{position, fields.recordID};
  d_labelIndex.insert(fields.label, at);
  d_publicKeyIndex.insert(fields.subjectPublicKeyInfoHash, at);
}

void FileDBKeyPairMasterIndex::erase(std::uint32_t recordID, const FileDBKeyPairIndexEntry& entry) {
  VEL_TRACE_SCOPE("erase");
  d_labelIndex.erase(entry.label, recordID);
  d_publicKeyIndex.erase(entry.subjectPublicKeyInfoHash, recordID);
  d_recordIDMap->erase(recordID);  // `entry` may live here: last
}

void FileDBKeyPairMasterIndex::erase() {
  VEL_TRACE_SCOPE("erase");
  d_labelIndex.erase();
  d_publicKeyIndex.erase();
  d_recordIDMap->clear();
}

void FileDBKeyPairMasterIndex::reserve(std::size_t count) {
  d_labelIndex.reserve(count);
  d_publicKeyIndex.reserve(count);
}
