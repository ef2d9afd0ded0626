#include "filedbkeymasterindex.h"

#include "velexception.h"
#include "veltrace.h"

FileDBKeyMasterIndex::FileDBKeyMasterIndex() : d_recordIDMap(new RecordIDMap()) {
  VEL_TRACE_SCOPE("FileDBKeyMasterIndex::ctor");
}

FileDBKeyMasterIndex::~FileDBKeyMasterIndex() { VEL_TRACE_SCOPE("FileDBKeyMasterIndex::dtor"); }

FileDBKeyIndexEntry* FileDBKeyMasterIndex::find(std::uint32_t recordID) {
  VEL_TRACE_SCOPE("find");
  auto it = d_recordIDMap->find(recordID);
  return it == d_recordIDMap->end() ? nullptr : &it->second;
}

void FileDBKeyMasterIndex::uniqueKeyIntegrityCheck(const FileDBKeyRecordFields& fields) const {
  VEL_TRACE_SCOPE("uniqueKeyIntegrityCheck");
  if (d_recordIDMap->count(fields.recordID) != 0) VELDB_THROW(VELDBError::kDuplicateRecordID, "");
  if (d_labelIndex.find(fields.label) != nullptr) VELDB_THROW(VELDBError::kDuplicateLabel, "");
  if (d_signatureIndex.find(fields.signatureHash) != nullptr) VELDB_THROW(VELDBError::kDuplicateSignature, "");
  if (d_unsignedCertIndex.find(fields.unsignedCertHash) != nullptr) VELDB_THROW(VELDBError::kDuplicateToBeSigned, "");
  if (d_issuerAndSerialIndex.find(fields.issuerAndSerialNumberHash) != nullptr) VELDB_THROW(VELDBError::kDuplicateIssuerAndSerial, "");
}

void FileDBKeyMasterIndex::insert(std::uint64_t position, const FileDBKeyRecordFields& fields) {
  VEL_TRACE_SCOPE("insert");
  (*d_recordIDMap)[fields.recordID] =
      FileDBKeyIndexEntry{position,         fields.label,           fields.signatureHash,
                          fields.unsignedCertHash, fields.subjectNameHash, fields.subjectPublicKeyInfoHash,
                          fields.issuerAndSerialNumberHash};
  const FileDBUniqueLocation unique{position, fields.recordID};
  const FileDBMultiLocation multi{static_cast<std::uint32_t>(position), fields.recordID};
  d_labelIndex.insert(fields.label, unique);
  d_signatureIndex.insert(fields.signatureHash, unique);
  d_unsignedCertIndex.insert(fields.unsignedCertHash, unique);
  d_subjectNameIndex.insert(fields.subjectNameHash, multi);
  d_publicKeyIndex.insert(fields.subjectPublicKeyInfoHash, multi);
  d_issuerAndSerialIndex.insert(fields.issuerAndSerialNumberHash, unique);
}

void FileDBKeyMasterIndex::erase(std::uint32_t recordID, const FileDBKeyIndexEntry& entry) {
  VEL_TRACE_SCOPE("erase");
  const FileDBMultiLocation multi{static_cast<std::uint32_t>(entry.position), recordID};
  d_labelIndex.erase(entry.label, recordID);
  d_signatureIndex.erase(entry.signatureHash, recordID);
  d_unsignedCertIndex.erase(entry.unsignedCertHash, recordID);
  d_subjectNameIndex.erase(entry.subjectNameHash, multi);
  d_publicKeyIndex.erase(entry.subjectPublicKeyInfoHash, multi);
  d_issuerAndSerialIndex.erase(entry.issuerAndSerialNumberHash, recordID);
  d_recordIDMap->erase(recordID);  // `entry` may live here: last
}

void FileDBKeyMasterIndex::reserve(std::size_t count) {
  d_labelIndex.reserve(count);
  d_signatureIndex.reserve(count);
  d_unsignedCertIndex.reserve(count);
  d_issuerAndSerialIndex.reserve(count);
  d_subjectNameIndex.reserve(count);
  d_publicKeyIndex.reserve(count);
}

void FileDBKeyMasterIndex::erase() {
  VEL_TRACE_SCOPE("erase");
  d_labelIndex.erase();
  d_signatureIndex.erase();
  d_unsignedCertIndex.erase();
  d_subjectNameIndex.erase();
  d_publicKeyIndex.erase();
  d_issuerAndSerialIndex.erase();
  d_recordIDMap->clear();
}
