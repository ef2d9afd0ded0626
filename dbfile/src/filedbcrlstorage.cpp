#include "filedbcrlstorage.h"

#include <vector>

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltrace.h"

namespace {

const char kWrongType[] = "asnObj is invalid - wrong type";

}  // namespace

// --- life cycle ----------------------------------------------------------

void FileDBCRLStorage::newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("newFile");
  FileDBStorage::newFile(connectInfo, fileName, kMinorVersion, FileDBHeader::kCRLFileType);
}

void FileDBCRLStorage::newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                   const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  newFile(*connectInfo, fileName);
}

FileDBCRLStorage* FileDBCRLStorage::connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("connectFile");
  return static_cast<FileDBCRLStorage*>(connectTable(connectInfo, fileName, getClassName(),
                                             [&] { return new FileDBCRLStorage(connectInfo, fileName); }));
}

FileDBCRLStorage* FileDBCRLStorage::connectFile(
    const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  return connectFile(*connectInfo, fileName);
}

void FileDBCRLStorage::disconnect(FileDBCRLStorage*& storage, bool deleteFile) {
  VEL_TRACE_SCOPE("disconnect");
  disconnectTable(storage, deleteFile);
  storage = nullptr;
}

FileDBCRLStorage::FileDBCRLStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
    : FileDBStorage(connectInfo, fileName) {
  VEL_TRACE_SCOPE("FileDBCRLStorage::ctor");
  d_lastRecordID = openTable();
}

FileDBCRLStorage::~FileDBCRLStorage() { VEL_TRACE_SCOPE("FileDBCRLStorage::dtor"); }

void FileDBCRLStorage::validateMinorVersionNumber() {
  VEL_TRACE_SCOPE("validateMinorVersionNumber");
  if (d_header->getMinorVersionNumber() > kMinorVersion) VELDB_THROW(VELDBError::kBadFormat, "");
}

void FileDBCRLStorage::validateFileType() { requireFileType(FileDBHeader::kCRLFileType); }

// --- indexing ---------------------------------------------------------------

std::uint32_t FileDBCRLStorage::buildIndexes() {
  VEL_TRACE_SCOPE("buildIndexes");
  FileDBIterator iterator(getClassName());
  std::uint32_t highestRecordID = 0;
  d_masterIndex.erase();
  const bool upgrade =
      d_header->getMinorVersionNumber() == 0 && d_connectInfo->getAccessMode() == VELDBConnectInfo::ReadWrite;
  // The clean-up of an old minor version is one change: a failure rolls it
  // back whole.
  std::unique_ptr<ChangeScope> change(upgrade ? new ChangeScope(*this) : nullptr);
  for (;;) {
    std::unique_ptr<FileDBCRLRecordFields> fields(upgrade ? getRecordFieldsAt_V0(iterator)
                                                          : getRecordFieldsAt(iterator));
    if (!fields) break;
    addRecordToIndexes(*fields, iterator, highestRecordID);
  }
  // One re-seal covers every slot tail cleared above and the new version.
  if (upgrade) {
    setMinorVersion(kMinorVersion);
    change->commit();
  }
  return highestRecordID;
}

void FileDBCRLStorage::addRecordToIndexes(FileDBCRLRecordFields& fields, FileDBIterator& iterator,
                                          std::uint32_t& highestRecordID) {
  VEL_TRACE_SCOPE("addRecordToIndexes");
  // CRL slots are indexed as stored: no decoding, and record IDs are kept
  // even when they do not increase in slot order.
  if (fields.recordID > highestRecordID) highestRecordID = fields.recordID;
  const std::uint64_t position =
      iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                               d_header->getRecordsAllocated());
  d_masterIndex.insert(position, fields);
  ++iterator.d_index;
}

// --- slot readers -----------------------------------------------------------

FileDBCRLRecordFields* FileDBCRLStorage::getRecordFieldsAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (!readSlot(position)) return nullptr;
  return new FileDBCRLRecordFields(*d_readBuffer);
}

FileDBCRLRecordFields* FileDBCRLStorage::getRecordFieldsAt_V0(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt_V0");
  return nextFieldsClearingTails<FileDBCRLRecordFields>(iterator);
}

FileDBCRLRecordFields* FileDBCRLStorage::getRecordFieldsAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (nextLiveSlot(iterator) == 0) return nullptr;
  return new FileDBCRLRecordFields(*d_readBuffer);
}

VELASNCRLRecord* FileDBCRLStorage::decode(const FileDBCRLRecordFields& fields) const {
  std::unique_ptr<VELASNCRLRecord> record(new VELASNCRLRecord(0));
  VELASNUtility::setDEREncoding(*record, fields.encoding);
  return record.release();
}

// --- lookups ----------------------------------------------------------------

VELASNCRLRecord* FileDBCRLStorage::getRecordAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<FileDBCRLRecordFields> fields(getRecordFieldsAt(position));
  return fields ? decode(*fields) : nullptr;
}

VELASNCRLRecord* FileDBCRLStorage::getRecordAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<FileDBCRLRecordFields> fields(getRecordFieldsAt(iterator));
  return fields ? decode(*fields) : nullptr;
}

bool FileDBCRLStorage::findRecordID(VELDBManager::CRLUniqueIndex index, const VELASNObject& key,
                                    std::uint32_t& recordID) {
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  const FileDBUniqueLocation* at = nullptr;
  switch (index) {
    case VELDBManager::CRLRecordID:
      recordID = VELDBUtility::asnToRecordID(VELDBUtility::downcastInteger(key));
      return d_masterIndex.find(recordID) != nullptr;
    case VELDBManager::CRLLabel:
      at = d_masterIndex.d_labelIndex.find(VELDBUtility::asnToLabelBuffer(VELDBUtility::downcastLabelString(key)));
      break;
    case VELDBManager::CRLSignature:
      at = d_masterIndex.d_signatureIndex.find(
          VELDBUtility::getSHA1Digest(VELDBUtility::downcastBitString(key), factory));
      break;
    case VELDBManager::CRLTBSCertList:
      at = d_masterIndex.d_unsignedCRLIndex.find(
          VELDBUtility::getSHA1Digest(VELDBUtility::downcastTBSCertList(key), factory));
      break;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  if (at == nullptr) return false;
  recordID = at->recordID;
  return d_masterIndex.find(recordID) != nullptr;
}

const FileDBMultiLocation* FileDBCRLStorage::findIssuer(const VELASNObject& key) {
  return d_masterIndex.d_issuerNameIndex.find(
      VELDBUtility::getSHA1Digest(VELDBUtility::downcastX500name(key), d_connectInfo->getAlgorithmFactory()));
}

VELASNCRLRecord* FileDBCRLStorage::getRecordByIndex(VELDBManager::CRLUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  std::uint32_t recordID = 0;
  if (!findRecordID(index, key, recordID)) return nullptr;
  return getRecordAt(d_masterIndex.find(recordID)->position);
}

VELASNCRLRecordContainer* FileDBCRLStorage::getRecordByIndex(VELDBManager::CRLMultiIndex index,
                                                             const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  std::unique_ptr<VELASNCRLRecordContainer> out(new VELASNCRLRecordContainer());
  switch (index) {
    case VELDBManager::CRLAllRecords: {
      FileDBIterator iterator(getClassName());
      for (;;) {
        std::unique_ptr<VELASNCRLRecord> record(getRecordAt(iterator));
        if (!record) break;
        out->push_back(std::move(record));
        ++iterator.d_index;
      }
      break;
    }
    case VELDBManager::CRLIssuerName: {
      // Collect the positions first, so that no index walk spans a read.
      std::vector<std::uint32_t> positions;
      for (const FileDBMultiLocation* at = findIssuer(key); at != nullptr;
           at = d_masterIndex.d_issuerNameIndex.findNext()) {
        positions.push_back(at->position);
      }
      for (std::uint32_t position : positions) {
        std::unique_ptr<VELASNCRLRecord> record(getRecordAt(position));
        if (record) out->push_back(std::move(record));
      }
      break;
    }
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  return out.release();
}

std::uint64_t FileDBCRLStorage::getRecordCountByIndex(VELDBManager::CRLUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  std::uint32_t recordID = 0;
  return findRecordID(index, key, recordID) ? 1 : 0;
}

std::uint64_t FileDBCRLStorage::getRecordCountByIndex(VELDBManager::CRLMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  switch (index) {
    case VELDBManager::CRLAllRecords:
      // Live records, not slots: deleted slots stay until the file is purged.
      return d_masterIndex.records().size();
    case VELDBManager::CRLIssuerName: {
      std::uint64_t count = 0;
      for (const FileDBMultiLocation* at = findIssuer(key); at != nullptr;
           at = d_masterIndex.d_issuerNameIndex.findNext()) {
        ++count;
      }
      return count;
    }
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
}

// --- changes ------------------------------------------------------------------

void FileDBCRLStorage::insertRecord(VELASNCRLRecord& record) {
  VEL_TRACE_SCOPE("insertRecord");
  const std::uint32_t id = nextRecordID();
  record.setRecordID(id);
  const FileDBCRLRecordFields fields(d_connectInfo->getAlgorithmFactory(), record, kRecordInUse);
  d_masterIndex.uniqueKeyIntegrityCheck(fields);
  if (fields.getSize() > d_header->getFixedRecordLength()) resize(fields.getSize());
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = appendSlot(*d_writeBuffer);
  d_masterIndex.insert(position, fields);
  try {
    incrRecordsAllocated();
  } catch (...) {
    FileDBCRLIndexEntry* entry = d_masterIndex.find(id);
    if (entry != nullptr) d_masterIndex.erase(id, *entry);
    throw;
  }
  d_lastRecordID = id;
}

void FileDBCRLStorage::updateRecordByIndex(VELDBManager::CRLUniqueIndex index, VELASNCRLRecord& record) {
  VEL_TRACE_SCOPE("updateRecordByIndex");
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  const VELASNCertificateList& crl = record.getCRL();
  const VELBuffer label = VELDBUtility::asnToLabelBuffer(record.getLabel());
  const VELBuffer signatureHash = VELDBUtility::getSHA1Digest(crl.getSignatureEncoding(), factory);
  const VELBuffer unsignedCRLHash = VELDBUtility::getSHA1Digest(crl.getTBSCertListEncoding(), factory);

  std::uint32_t recordID = 0;
  const FileDBUniqueLocation* at = nullptr;
  switch (index) {
    case VELDBManager::CRLRecordID:
      recordID = VELDBUtility::asnToRecordID(record.getRecordID());
      break;
    case VELDBManager::CRLLabel:
      at = d_masterIndex.d_labelIndex.find(label);
      break;
    case VELDBManager::CRLSignature:
      at = d_masterIndex.d_signatureIndex.find(signatureHash);
      break;
    case VELDBManager::CRLTBSCertList:
      at = d_masterIndex.d_unsignedCRLIndex.find(unsignedCRLHash);
      break;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  if (index != VELDBManager::CRLRecordID) {
    if (at == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
    recordID = at->recordID;
  }
  FileDBCRLIndexEntry* entry = d_masterIndex.find(recordID);
  if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
  if (label != entry->label && d_masterIndex.d_labelIndex.find(label) != nullptr) VELDB_THROW(0x8C245, "");
  if (signatureHash != entry->signatureHash && d_masterIndex.d_signatureIndex.find(signatureHash) != nullptr) {
    VELDB_THROW(0x8C246, "");
  }
  // The update reports this collision as 0x8C247; the insert as 0x8C24A.
  if (unsignedCRLHash != entry->unsignedCRLHash && d_masterIndex.d_unsignedCRLIndex.find(unsignedCRLHash) != nullptr) {
    VELDB_THROW(0x8C247, "");
  }

  record.setRecordID(recordID);
  const FileDBCRLRecordFields fields(factory, record, kRecordInUse);
  if (fields.getSize() > d_header->getFixedRecordLength()) {
    resize(fields.getSize());
    entry = d_masterIndex.find(recordID);
    if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "");
  }
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = entry->position;
  writeSlot(position, *d_writeBuffer);
  // Re-entering the record moves it in the issuer index when the issuer
  // changed.
  d_masterIndex.erase(recordID, *entry);
  d_masterIndex.insert(position, fields);
  setPasswordDatabaseHash();
}

std::uint64_t FileDBCRLStorage::deleteRecordByIndex(VELDBManager::CRLUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  std::uint32_t recordID = 0;
  if (!findRecordID(index, key, recordID)) return 0;
  const std::uint64_t position = d_masterIndex.find(recordID)->position;
  markSlotDeleted(position);
  d_masterIndex.erase(recordID, *d_masterIndex.find(recordID));
  return 1;
}

std::uint64_t FileDBCRLStorage::deleteRecordByIndex(VELDBManager::CRLMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  // Every ID is collected before the first delete changes the indexes.
  std::vector<std::uint32_t> ids;
  switch (index) {
    case VELDBManager::CRLAllRecords:
      ids.reserve(d_masterIndex.records().size());
      for (const auto& record : d_masterIndex.records()) ids.push_back(record.first);
      break;
    case VELDBManager::CRLIssuerName:
      for (const FileDBMultiLocation* at = findIssuer(key); at != nullptr;
           at = d_masterIndex.d_issuerNameIndex.findNext()) {
        ids.push_back(at->recordID);
      }
      break;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  std::uint64_t deleted = 0;
  for (std::uint32_t id : ids) {
    deleted += deleteRecordByIndex(VELDBManager::CRLRecordID, VELDBUtility::recordIDToASN(id));
  }
  return deleted;
}
