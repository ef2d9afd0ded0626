#include "filedbcrlmasterindex.h"

#include "velexception.h"
#include "veltrace.h"

FileDBCRLMasterIndex::FileDBCRLMasterIndex() : d_recordIDMap(new RecordIDMap()) {
  VEL_TRACE_SCOPE("FileDBCRLMasterIndex::ctor");
}

FileDBCRLMasterIndex::~FileDBCRLMasterIndex() { VEL_TRACE_SCOPE("FileDBCRLMasterIndex::dtor"); }

FileDBCRLIndexEntry* FileDBCRLMasterIndex::find(std::uint32_t recordID) {
  VEL_TRACE_SCOPE("find");
  auto it = d_recordIDMap->find(recordID);
  return it == d_recordIDMap->end() ? nullptr : &it->second;
}

void FileDBCRLMasterIndex::uniqueKeyIntegrityCheck(const FileDBCRLRecordFields& fields) const {
  VEL_TRACE_SCOPE("uniqueKeyIntegrityCheck");
  if (d_recordIDMap->count(fields.recordID) != 0) VELDB_THROW(VELDBError::kDuplicateRecordID, "");
  if (d_labelIndex.find(fields.label) != nullptr) VELDB_THROW(VELDBError::kDuplicateLabel, "");
  if (d_signatureIndex.find(fields.signatureHash) != nullptr) VELDB_THROW(VELDBError::kDuplicateSignature, "");
  if (d_unsignedCRLIndex.find(fields.unsignedCRLHash) != nullptr) VELDB_THROW(VELDBError::kDuplicateCRLToBeSigned, "");
}

void FileDBCRLMasterIndex::insert(std::uint64_t position, const FileDBCRLRecordFields& fields) {
  VEL_TRACE_SCOPE("insert");
  (*d_recordIDMap)[fields.recordID] = FileDBCRLIndexEntry{position, fields.label, fields.signatureHash,
                                                          fields.unsignedCRLHash, fields.issuerNameHash};
  const FileDBUniqueLocation unique{position, fields.recordID};
  const FileDBMultiLocation multi{static_cast<std::uint32_t>(position), fields.recordID};
  d_labelIndex.insert(fields.label, unique);
  d_signatureIndex.insert(fields.signatureHash, unique);
  d_unsignedCRLIndex.insert(fields.unsignedCRLHash, unique);
  d_issuerNameIndex.insert(fields.issuerNameHash, multi);
}

void FileDBCRLMasterIndex::erase(std::uint32_t recordID, const FileDBCRLIndexEntry& entry) {
  VEL_TRACE_SCOPE("erase");
  const FileDBMultiLocation multi{static_cast<std::uint32_t>(entry.position), recordID};
  d_labelIndex.erase(entry.label, recordID);
  d_signatureIndex.erase(entry.signatureHash, recordID);
  d_unsignedCRLIndex.erase(entry.unsignedCRLHash, recordID);
  d_issuerNameIndex.erase(entry.issuerNameHash, multi);
  d_recordIDMap->erase(recordID);  // `entry` may live here: last
}

void FileDBCRLMasterIndex::erase() {
  VEL_TRACE_SCOPE("erase");
  d_labelIndex.erase();
  d_signatureIndex.erase();
  d_unsignedCRLIndex.erase();
  d_issuerNameIndex.erase();
  d_recordIDMap->clear();
}

void FileDBCRLMasterIndex::reserve(std::size_t count) {
  d_labelIndex.reserve(count);
  d_signatureIndex.reserve(count);
  d_unsignedCRLIndex.reserve(count);
  d_issuerNameIndex.reserve(count);
}
