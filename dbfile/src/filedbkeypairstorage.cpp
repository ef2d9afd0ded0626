#include "filedbkeypairstorage.h"

#include <vector>

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltrace.h"

namespace {

const char kWrongType[] = "asnObj is invalid - wrong type";

}  // namespace

// --- life cycle ----------------------------------------------------------

void FileDBKeyPairStorage::newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("newFile");
  FileDBStorage::newFile(connectInfo, fileName, kMinorVersion, FileDBHeader::kKeyPairFileType);
}

void FileDBKeyPairStorage::newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                   const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  newFile(*connectInfo, fileName);
}

FileDBKeyPairStorage* FileDBKeyPairStorage::connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("connectFile");
  return static_cast<FileDBKeyPairStorage*>(connectTable(connectInfo, fileName, getClassName(),
                                             [&] { return new FileDBKeyPairStorage(connectInfo, fileName); }));
}

FileDBKeyPairStorage* FileDBKeyPairStorage::connectFile(
    const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  return connectFile(*connectInfo, fileName);
}

void FileDBKeyPairStorage::disconnect(FileDBKeyPairStorage*& storage, bool deleteFile) {
  VEL_TRACE_SCOPE("disconnect");
  disconnectTable(storage, deleteFile);
  storage = nullptr;
}

FileDBKeyPairStorage::FileDBKeyPairStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
    : FileDBStorage(connectInfo, fileName) {
  VEL_TRACE_SCOPE("FileDBKeyPairStorage::ctor");
  d_lastRecordID = openTable();
}

FileDBKeyPairStorage::~FileDBKeyPairStorage() { VEL_TRACE_SCOPE("FileDBKeyPairStorage::dtor"); }

void FileDBKeyPairStorage::validateMinorVersionNumber() {
  VEL_TRACE_SCOPE("validateMinorVersionNumber");
  if (d_header->getMinorVersionNumber() > kMinorVersion) VELDB_THROW(VELDBError::kBadFormat, "");
}

void FileDBKeyPairStorage::validateFileType() { requireFileType(FileDBHeader::kKeyPairFileType); }

// --- indexing ---------------------------------------------------------------

std::uint32_t FileDBKeyPairStorage::buildIndexes() {
  VEL_TRACE_SCOPE("buildIndexes");
  FileDBIterator iterator(getClassName());
  std::uint32_t highestRecordID = 0;
  std::uint64_t badRecordIdCount = 0;
  d_masterIndex.erase();
  const bool upgrade =
      d_header->getMinorVersionNumber() == 0 && d_connectInfo->getAccessMode() == VELDBConnectInfo::ReadWrite;
  // The clean-up of an old minor version is one change: a failure rolls it
  // back whole.
  std::unique_ptr<ChangeScope> change(upgrade ? new ChangeScope(*this) : nullptr);
  for (;;) {
    std::unique_ptr<FileDBKeyPairRecordFields> fields(upgrade ? getRecordFieldsAt_V0(iterator)
                                                              : getRecordFieldsAt(iterator));
    if (!fields) break;
    if (!addRecordToIndexes(*fields, iterator, highestRecordID)) ++badRecordIdCount;
  }
  // One re-seal covers every slot tail cleared above and the new version.
  if (upgrade) {
    setMinorVersion(kMinorVersion);
    change->commit();
  }
  if (badRecordIdCount != 0) VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "badRecordIdCount detected");
  return highestRecordID;
}

bool FileDBKeyPairStorage::addRecordToIndexes(FileDBKeyPairRecordFields& fields, FileDBIterator& iterator,
                                              std::uint32_t& highestRecordID) {
  VEL_TRACE_SCOPE("addRecordToIndexes");
  // Record IDs must increase in slot order: one that repeats or goes back
  // takes the next free one, in memory only.
  bool renumbered = false;
  if (fields.recordID <= highestRecordID) {
    fields.recordID = highestRecordID + 1;
    renumbered = true;
  }
  VELASNKeyPairRecord record(0);
  VELASNUtility::setDEREncoding(record, fields.encoding);
  if (renumbered || VELDBUtility::asnToRecordID(record.getRecordID()) != fields.recordID) {
    record.setRecordID(fields.recordID);
  }
  // The keys are computed afresh from the record, not taken from the slot.
  const FileDBKeyPairRecordFields rebuilt(d_connectInfo->getAlgorithmFactory(), record, fields.recordFlag);
  if (rebuilt.recordID > highestRecordID) highestRecordID = rebuilt.recordID;
  const std::uint64_t position =
      iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                               d_header->getRecordsAllocated());
  d_masterIndex.insert(position, rebuilt);
  ++iterator.d_index;
  return !renumbered;
}

// --- slot readers -----------------------------------------------------------

FileDBKeyPairRecordFields* FileDBKeyPairStorage::getRecordFieldsAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (!readSlot(position)) return nullptr;
  return new FileDBKeyPairRecordFields(*d_readBuffer);
}

FileDBKeyPairRecordFields* FileDBKeyPairStorage::getRecordFieldsAt_V0(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt_V0");
  return nextFieldsClearingTails<FileDBKeyPairRecordFields>(iterator);
}

FileDBKeyPairRecordFields* FileDBKeyPairStorage::getRecordFieldsAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (nextLiveSlot(iterator) == 0) return nullptr;
  return new FileDBKeyPairRecordFields(*d_readBuffer);
}

VELASNKeyPairRecord* FileDBKeyPairStorage::decodeAt(std::uint64_t position,
                                                    const FileDBKeyPairRecordFields& fields) {
  std::unique_ptr<VELASNKeyPairRecord> record(new VELASNKeyPairRecord(0));
  VELASNUtility::setDEREncoding(*record, fields.encoding);
  // A record renumbered while indexing still carries its old ID in its
  // slot; hand it out under the ID the indexes know it by.
  const FileDBKeyPairIndexEntry* entry = d_masterIndex.find(fields.recordID);
  if (entry == nullptr || entry->position != position) {
    const FileDBUniqueLocation* at =
        d_masterIndex.d_labelIndex.find(VELDBUtility::asnToLabelBuffer(record->getLabel()));
    if (at != nullptr && at->position == position) record->setRecordID(at->recordID);
  }
  return record.release();
}

// --- lookups ----------------------------------------------------------------

VELASNKeyPairRecord* FileDBKeyPairStorage::getRecordAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<FileDBKeyPairRecordFields> fields(getRecordFieldsAt(position));
  return fields ? decodeAt(position, *fields) : nullptr;
}

VELASNKeyPairRecord* FileDBKeyPairStorage::getRecordAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<FileDBKeyPairRecordFields> fields(getRecordFieldsAt(iterator));
  if (!fields) return nullptr;
  const std::uint64_t position =
      iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                               d_header->getRecordsAllocated());
  return decodeAt(position, *fields);
}

bool FileDBKeyPairStorage::findRecordID(VELDBManager::KeyPairUniqueIndex index, const VELASNObject& key,
                                        std::uint32_t& recordID) {
  const FileDBUniqueLocation* at = nullptr;
  switch (index) {
    case VELDBManager::KeyPairRecordID:
      recordID = VELDBUtility::asnToRecordID(VELDBUtility::downcastInteger(key));
      return d_masterIndex.find(recordID) != nullptr;
    case VELDBManager::KeyPairLabel:
      at = d_masterIndex.d_labelIndex.find(VELDBUtility::asnToLabelBuffer(VELDBUtility::downcastLabelString(key)));
      break;
    case VELDBManager::KeyPairPublicKeyInfo:
      at = d_masterIndex.d_publicKeyIndex.find(VELDBUtility::getSHA1Digest(
          VELDBUtility::downcastSubjectPublicKeyInfo(key), d_connectInfo->getAlgorithmFactory()));
      break;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  if (at == nullptr) return false;
  recordID = at->recordID;
  return d_masterIndex.find(recordID) != nullptr;
}

VELASNKeyPairRecord* FileDBKeyPairStorage::getRecordByIndex(VELDBManager::KeyPairUniqueIndex index,
                                                            const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  std::uint32_t recordID = 0;
  if (!findRecordID(index, key, recordID)) return nullptr;
  return getRecordAt(d_masterIndex.find(recordID)->position);
}

VELASNKeyPairRecordContainer* FileDBKeyPairStorage::getRecordByIndex(VELDBManager::KeyPairMultiIndex index,
                                                                     const VELASNObject& /*key*/) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  if (index != VELDBManager::KeyPairAllRecords) VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  std::unique_ptr<VELASNKeyPairRecordContainer> out(new VELASNKeyPairRecordContainer());
  FileDBIterator iterator(getClassName());
  for (;;) {
    std::unique_ptr<VELASNKeyPairRecord> record(getRecordAt(iterator));
    if (!record) break;
    out->push_back(std::move(record));
    ++iterator.d_index;
  }
  return out.release();
}

std::uint64_t FileDBKeyPairStorage::getRecordCountByIndex(VELDBManager::KeyPairUniqueIndex index,
                                                          const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  std::uint32_t recordID = 0;
  return findRecordID(index, key, recordID) ? 1 : 0;
}

std::uint64_t FileDBKeyPairStorage::getRecordCountByIndex(VELDBManager::KeyPairMultiIndex index,
                                                          const VELASNObject& /*key*/) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  if (index != VELDBManager::KeyPairAllRecords) VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  // Live records, not slots: deleted slots stay until the file is purged.
  return d_masterIndex.records().size();
}

// --- changes ------------------------------------------------------------------

void FileDBKeyPairStorage::insertRecord(VELASNKeyPairRecord& record) {
  VEL_TRACE_SCOPE("insertRecord");
  const std::uint32_t id = nextRecordID();
  record.setRecordID(id);
  const FileDBKeyPairRecordFields fields(d_connectInfo->getAlgorithmFactory(), record, kRecordInUse);
  d_masterIndex.uniqueKeyIntegrityCheck(fields);
  if (fields.getSize() > d_header->getFixedRecordLength()) resize(fields.getSize());
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = appendSlot(*d_writeBuffer);
  d_masterIndex.insert(position, fields);
  try {
    incrRecordsAllocated();
  } catch (...) {
    FileDBKeyPairIndexEntry* entry = d_masterIndex.find(id);
    if (entry != nullptr) d_masterIndex.erase(id, *entry);
    throw;
  }
  d_lastRecordID = id;
}

void FileDBKeyPairStorage::updateRecordByIndex(VELDBManager::KeyPairUniqueIndex index,
                                               VELASNKeyPairRecord& record) {
  VEL_TRACE_SCOPE("updateRecordByIndex");
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  const VELBuffer label = VELDBUtility::asnToLabelBuffer(record.getLabel());
  const VELBuffer publicKeyHash =
      VELDBUtility::getSHA1Digest(record.getKeyPair().getSubjectPublicKeyInfoEncoding(), factory);

  std::uint32_t recordID = 0;
  const FileDBUniqueLocation* at = nullptr;
  switch (index) {
    case VELDBManager::KeyPairRecordID:
      recordID = VELDBUtility::asnToRecordID(record.getRecordID());
      break;
    case VELDBManager::KeyPairLabel:
      at = d_masterIndex.d_labelIndex.find(label);
      break;
    case VELDBManager::KeyPairPublicKeyInfo:
      at = d_masterIndex.d_publicKeyIndex.find(publicKeyHash);
      break;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  if (index != VELDBManager::KeyPairRecordID) {
    if (at == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
    recordID = at->recordID;
  }
  FileDBKeyPairIndexEntry* entry = d_masterIndex.find(recordID);
  if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
  if (label != entry->label && d_masterIndex.d_labelIndex.find(label) != nullptr) VELDB_THROW(0x8C245, "");
  if (publicKeyHash != entry->subjectPublicKeyInfoHash && d_masterIndex.d_publicKeyIndex.find(publicKeyHash) != nullptr) {
    VELDB_THROW(0x8C249, "");
  }

  record.setRecordID(recordID);
  const FileDBKeyPairRecordFields fields(factory, record, kRecordInUse);
  if (fields.getSize() > d_header->getFixedRecordLength()) {
    resize(fields.getSize());
    entry = d_masterIndex.find(recordID);
    if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "");
  }
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = entry->position;
  writeSlot(position, *d_writeBuffer);
  d_masterIndex.erase(recordID, *entry);
  d_masterIndex.insert(position, fields);
  setPasswordDatabaseHash();
}

std::uint64_t FileDBKeyPairStorage::deleteRecordByIndex(VELDBManager::KeyPairUniqueIndex index,
                                                        const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  std::uint32_t recordID = 0;
  if (!findRecordID(index, key, recordID)) return 0;
  const std::uint64_t position = d_masterIndex.find(recordID)->position;
  markSlotDeleted(position);
  d_masterIndex.erase(recordID, *d_masterIndex.find(recordID));
  return 1;
}

std::uint64_t FileDBKeyPairStorage::deleteRecordByIndex(VELDBManager::KeyPairMultiIndex index,
                                                        const VELASNObject& /*key*/) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  if (index != VELDBManager::KeyPairAllRecords) VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  // The IDs the index knows, in slot order, which include IDs renumbered
  // while indexing; a slot's own stored ID may name no record or another.
  std::vector<std::uint32_t> ids;
  ids.reserve(d_masterIndex.records().size());
  for (const auto& record : d_masterIndex.records()) ids.push_back(record.first);
  std::uint64_t deleted = 0;
  for (std::uint32_t id : ids) {
    deleted += deleteRecordByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(id));
  }
  return deleted;
}
