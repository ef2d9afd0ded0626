#include "filedbkeystorage.h"

#include <vector>

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltrace.h"

namespace {

const char kWrongType[] = "asnObj is invalid - wrong type";

}  // namespace

// --- life cycle ----------------------------------------------------------

void FileDBKeyStorage::newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("newFile");
  FileDBStorage::newFile(connectInfo, fileName, kMinorVersion, FileDBHeader::kKeyFileType);
}

void FileDBKeyStorage::newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                               const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  newFile(*connectInfo, fileName);
}

FileDBKeyStorage* FileDBKeyStorage::connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("connectFile");
  return static_cast<FileDBKeyStorage*>(connectTable(connectInfo, fileName, getClassName(),
                                             [&] { return new FileDBKeyStorage(connectInfo, fileName); }));
}

FileDBKeyStorage* FileDBKeyStorage::connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                                const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  return connectFile(*connectInfo, fileName);
}

void FileDBKeyStorage::disconnect(FileDBKeyStorage*& storage, bool deleteFile) {
  VEL_TRACE_SCOPE("disconnect");
  disconnectTable(storage, deleteFile);
  storage = nullptr;
}

FileDBKeyStorage::FileDBKeyStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
    : FileDBStorage(connectInfo, fileName) {
  VEL_TRACE_SCOPE("FileDBKeyStorage::ctor");
  d_lastRecordID = openTable();
}

FileDBKeyStorage::~FileDBKeyStorage() { VEL_TRACE_SCOPE("FileDBKeyStorage::dtor"); }

void FileDBKeyStorage::validateMinorVersionNumber() {
  VEL_TRACE_SCOPE("validateMinorVersionNumber");
  const unsigned char minor = d_header->getMinorVersionNumber();
  if (minor != 1 && minor != 2) VELDB_THROW(VELDBError::kBadFormat, "");
}

void FileDBKeyStorage::validateFileType() { requireFileType(FileDBHeader::kKeyFileType); }

// --- indexing ---------------------------------------------------------------

std::uint32_t FileDBKeyStorage::buildIndexes() {
  VEL_TRACE_SCOPE("buildIndexes");
  FileDBIterator iterator(getClassName());
  unsigned int highestRecordID = 0;
  std::uint64_t badRecordIdCount = 0;
  d_masterIndex.erase();
  d_masterIndex.reserve(d_header->getRecordsAllocated());
  const bool upgrade =
      d_header->getMinorVersionNumber() == 1 && d_connectInfo->getAccessMode() == VELDBConnectInfo::ReadWrite;
  // The clean-up of an old minor version is one change.
  std::unique_ptr<ChangeScope> change(upgrade ? new ChangeScope(*this) : nullptr);
  for (;;) {
    std::unique_ptr<FileDBKeyRecordFields> fields(upgrade ? getRecordFieldsAt_V1(iterator)
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

bool FileDBKeyStorage::addRecordToIndexes(FileDBKeyRecordFields& fields, FileDBIterator& iterator,
                                          unsigned int& highestRecordID) {
  VEL_TRACE_SCOPE("addRecordToIndexes");
  bool repaired = false;
  if (fields.recordID <= highestRecordID) {
    // Past the last record ID a repair would wrap to 0 and give two slots one
    // ID, so that lookups could return the wrong record.
    if (highestRecordID == 0xFFFFFFFFu) VELDB_THROW(VELDBError::kRecordIDRollover, "recordID rollover");
    fields.recordID = highestRecordID + 1;
    repaired = true;
  }
  VELASNKeyRecord record;
  VELASNUtility::setDEREncoding(record, fields.encoding);
  if (repaired || VELDBUtility::asnToRecordID(record.getRecordID()) != fields.recordID) {
    record.setRecordID(fields.recordID);
    repaired = true;
  }
  // Every key is computed afresh from the record; the stored encoding is
  // the record's own unless its ID was repaired.
  const FileDBKeyRecordFields rebuilt =
      repaired ? FileDBKeyRecordFields(d_connectInfo->getAlgorithmFactory(), record, fields.recordFlag,
                                       fields.issuerRecordID)
               : FileDBKeyRecordFields(d_connectInfo->getAlgorithmFactory(), record, fields.recordFlag,
                                       fields.issuerRecordID, std::move(fields.encoding));
  if (rebuilt.recordID > highestRecordID) highestRecordID = rebuilt.recordID;
  const std::uint64_t position =
      iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                               d_header->getRecordsAllocated());
  d_masterIndex.insert(position, rebuilt);
  ++iterator.d_index;
  return !repaired;
}

// --- slot readers -----------------------------------------------------------

FileDBKeyRecordFields* FileDBKeyStorage::getRecordFieldsAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (!readSlot(position)) return nullptr;
  return new FileDBKeyRecordFields(*d_readBuffer);
}

FileDBKeyRecordFields* FileDBKeyStorage::getRecordFieldsAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (nextLiveSlot(iterator) == 0) return nullptr;
  return new FileDBKeyRecordFields(*d_readBuffer);
}

FileDBKeyRecordFields* FileDBKeyStorage::getRecordFieldsAt_V1(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt_V1");
  for (;;) {
    const std::uint64_t position =
        iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                                 d_header->getRecordsAllocated());
    if (position == 0) return nullptr;
    const bool live = readSlot(position);
    std::unique_ptr<FileDBKeyRecordFields> fields(new FileDBKeyRecordFields(*d_readBuffer));
    // The caller re-seals once the walk is done (the version changes then).
    clearSlotTail(position, d_readBuffer->getPosition());
    if (live) return fields.release();
    ++iterator.d_index;
    d_purgeOnClose = true;
  }
}

VELASNKeyRecord* FileDBKeyStorage::decode(std::uint64_t position, const FileDBKeyRecordFields& fields) {
  std::unique_ptr<VELASNKeyRecord> record(new VELASNKeyRecord(0));
  VELASNUtility::setDEREncoding(*record, fields.encoding);
  // A record whose ID was repaired while indexing still carries the old ID
  // in its slot; hand it out under the ID that finds it again.
  const FileDBKeyIndexEntry* entry = d_masterIndex.find(VELDBUtility::asnToRecordID(record->getRecordID()));
  if (entry == nullptr || entry->position != position) {
    const FileDBUniqueLocation* at = d_masterIndex.d_signatureIndex.find(fields.signatureHash);
    if (at != nullptr && at->position == position) record->setRecordID(at->recordID);
  }
  return record.release();
}

// --- lookups ----------------------------------------------------------------

VELASNKeyRecord* FileDBKeyStorage::getRecordAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<FileDBKeyRecordFields> fields(getRecordFieldsAt(position));
  return fields ? decode(position, *fields) : nullptr;
}

VELASNKeyRecord* FileDBKeyStorage::getRecordAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<FileDBKeyRecordFields> fields(getRecordFieldsAt(iterator));
  if (!fields) return nullptr;
  // The walk skipped deleted slots: the record lies where the iterator is now.
  return decode(iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()),
                                         d_header->getFixedRecordLength(), d_header->getRecordsAllocated()),
                *fields);
}

bool FileDBKeyStorage::findRecordID(VELDBManager::KeyUniqueIndex index, const VELASNObject& key,
                                    std::uint32_t& recordID) {
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  const FileDBUniqueLocation* at = nullptr;
  switch (index) {
    case VELDBManager::KeyRecordID:
      recordID = VELDBUtility::asnToRecordID(VELDBUtility::downcastInteger(key));
      return d_masterIndex.find(recordID) != nullptr;
    case VELDBManager::KeyLabel:
      at = d_masterIndex.d_labelIndex.find(VELDBUtility::asnToLabelBuffer(VELDBUtility::downcastLabelString(key)));
      break;
    case VELDBManager::KeySignature:
      at = d_masterIndex.d_signatureIndex.find(
          VELDBUtility::getSHA1Digest(VELDBUtility::downcastBitString(key), factory));
      break;
    case VELDBManager::KeyTBSCertificate:
      at = d_masterIndex.d_unsignedCertIndex.find(
          VELDBUtility::getSHA1Digest(VELDBUtility::downcastTBSCertificate(key), factory));
      break;
    case VELDBManager::KeyIssuerAndSerialNumber:
      at = d_masterIndex.d_issuerAndSerialIndex.find(
          VELDBUtility::getSHA1Digest(VELDBUtility::downcastIssuerAndSerialNumber(key), factory));
      break;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  if (at == nullptr) return false;
  recordID = at->recordID;
  return d_masterIndex.find(recordID) != nullptr;
}

FileDBMultiIndex* FileDBKeyStorage::multiIndexFor(VELDBManager::KeyMultiIndex index, const VELASNObject& key,
                                                  VELBuffer& digest) {
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  switch (index) {
    case VELDBManager::KeyAllRecords:
      return nullptr;
    case VELDBManager::KeySubjectName:
      digest = VELDBUtility::getSHA1Digest(VELDBUtility::downcastX500name(key), factory);
      return &d_masterIndex.d_subjectNameIndex;
    case VELDBManager::KeyPublicKeyInfo:
      digest = VELDBUtility::getSHA1Digest(VELDBUtility::downcastSubjectPublicKeyInfo(key), factory);
      return &d_masterIndex.d_publicKeyIndex;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
}

VELASNKeyRecord* FileDBKeyStorage::getRecordByIndex(VELDBManager::KeyUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  std::uint32_t recordID = 0;
  if (!findRecordID(index, key, recordID)) return nullptr;
  return getRecordAt(d_masterIndex.find(recordID)->position);
}

VELASNKeyRecordContainer* FileDBKeyStorage::getRecordByIndex(VELDBManager::KeyMultiIndex index,
                                                             const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  std::unique_ptr<VELASNKeyRecordContainer> out(new VELASNKeyRecordContainer());
  VELBuffer digest;
  FileDBMultiIndex* multi = multiIndexFor(index, key, digest);
  if (multi == nullptr) {
    FileDBIterator iterator(getClassName());
    for (;;) {
      std::unique_ptr<VELASNKeyRecord> record(getRecordAt(iterator));
      if (!record) break;
      out->push_back(std::move(record));
      ++iterator.d_index;
    }
    return out.release();
  }
  // Collect the positions first: reading records does not touch the index,
  // but a walk should not depend on that.
  std::vector<std::uint32_t> positions;
  for (const FileDBMultiLocation* at = multi->find(digest); at != nullptr; at = multi->findNext()) {
    positions.push_back(at->position);
  }
  for (std::uint32_t position : positions) {
    std::unique_ptr<VELASNKeyRecord> record(getRecordAt(position));
    if (record) out->push_back(std::move(record));
  }
  if (index == VELDBManager::KeySubjectName && out->empty()) {
    // The same name in another encoding has another digest: compare names.
    const VELASNx500Name& name = VELDBUtility::downcastX500name(key);
    FileDBIterator iterator(getClassName());
    for (;;) {
      std::unique_ptr<VELASNKeyRecord> record(getRecordAt(iterator));
      if (!record) break;
      ++iterator.d_index;
      if (!record->hasCertificate()) continue;
      if (record->getCertificate().getSubject().compare(name) == 0) out->push_back(std::move(record));
    }
  }
  return out.release();
}

std::uint64_t FileDBKeyStorage::getRecordCountByIndex(VELDBManager::KeyUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  std::uint32_t recordID = 0;
  return findRecordID(index, key, recordID) ? 1 : 0;
}

std::uint64_t FileDBKeyStorage::getRecordCountByIndex(VELDBManager::KeyMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  VELBuffer digest;
  FileDBMultiIndex* multi = multiIndexFor(index, key, digest);
  if (multi == nullptr) return d_masterIndex.records().size();
  std::uint64_t count = 0;
  for (const FileDBMultiLocation* at = multi->find(digest); at != nullptr; at = multi->findNext()) ++count;
  return count;
}

// --- changes ------------------------------------------------------------------

void FileDBKeyStorage::insertRecord(VELASNKeyRecord& record) {
  VEL_TRACE_SCOPE("insertRecord");
  const std::uint32_t id = nextRecordID();
  record.setRecordID(id);
  ChangeScope change(*this);
  const FileDBKeyRecordFields fields(d_connectInfo->getAlgorithmFactory(), record, kRecordInUse, 0);
  d_masterIndex.uniqueKeyIntegrityCheck(fields);
  if (fields.getSize() > d_header->getFixedRecordLength()) resize(fields.getSize());
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = appendSlot(*d_writeBuffer);
  d_masterIndex.insert(position, fields);
  try {
    incrRecordsAllocated();
  } catch (...) {
    FileDBKeyIndexEntry* entry = d_masterIndex.find(id);
    if (entry != nullptr) d_masterIndex.erase(id, *entry);
    throw;
  }
  d_lastRecordID = id;
  change.commit();
}

void FileDBKeyStorage::updateRecordByIndex(VELDBManager::KeyUniqueIndex index, VELASNKeyRecord& record) {
  VEL_TRACE_SCOPE("updateRecordByIndex");
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  const VELASNCertificate& certificate = record.getCertificate();
  const VELBuffer label = VELDBUtility::asnToLabelBuffer(record.getLabel());
  const VELBuffer signatureHash = VELDBUtility::getSHA1Digest(certificate.getSignatureEncoding(), factory);
  const VELBuffer unsignedCertHash = VELDBUtility::getSHA1Digest(certificate.getTBSCertificateEncoding(), factory);
  const VELBuffer issuerAndSerialHash =
      VELDBUtility::getSHA1Digest(VELASNUtility::getIssuerAndSerialNumber(certificate), factory);

  std::uint32_t recordID = 0;
  const FileDBUniqueLocation* at = nullptr;
  switch (index) {
    case VELDBManager::KeyRecordID:
      recordID = VELDBUtility::asnToRecordID(record.getRecordID());
      break;
    case VELDBManager::KeyLabel:
      at = d_masterIndex.d_labelIndex.find(label);
      break;
    case VELDBManager::KeySignature:
      at = d_masterIndex.d_signatureIndex.find(signatureHash);
      break;
    case VELDBManager::KeyTBSCertificate:
      at = d_masterIndex.d_unsignedCertIndex.find(unsignedCertHash);
      break;
    case VELDBManager::KeyIssuerAndSerialNumber:
      at = d_masterIndex.d_issuerAndSerialIndex.find(issuerAndSerialHash);
      break;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
  if (index != VELDBManager::KeyRecordID) {
    if (at == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
    recordID = at->recordID;
  }
  FileDBKeyIndexEntry* entry = d_masterIndex.find(recordID);
  if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");

  if (label != entry->label && d_masterIndex.d_labelIndex.find(label) != nullptr) VELDB_THROW(0x8C245, "");
  if (signatureHash != entry->signatureHash && d_masterIndex.d_signatureIndex.find(signatureHash) != nullptr) {
    VELDB_THROW(0x8C246, "");
  }
  if (unsignedCertHash != entry->unsignedCertHash &&
      d_masterIndex.d_unsignedCertIndex.find(unsignedCertHash) != nullptr) {
    VELDB_THROW(0x8C247, "");
  }
  if (issuerAndSerialHash != entry->issuerAndSerialNumberHash &&
      d_masterIndex.d_issuerAndSerialIndex.find(issuerAndSerialHash) != nullptr) {
    VELDB_THROW(0x8C248, "");
  }

  record.setRecordID(recordID);
  const FileDBKeyRecordFields fields(factory, record, kRecordInUse, 0);
  if (fields.getSize() > d_header->getFixedRecordLength()) {
    // Growing the record length is a change of its own: the update below
    // finds the file grown either way.
    resize(fields.getSize());
    entry = d_masterIndex.find(recordID);
    if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "");
  }
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = entry->position;
  ChangeScope change(*this);
  d_file->protect(position, d_header->getFixedRecordLength());
  writeSlot(position, *d_writeBuffer);
  d_masterIndex.erase(recordID, *entry);
  d_masterIndex.insert(position, fields);
  setPasswordDatabaseHash();
  change.commit();
}

std::uint64_t FileDBKeyStorage::deleteRecordByIndex(VELDBManager::KeyUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  std::uint32_t recordID = 0;
  if (!findRecordID(index, key, recordID)) return 0;
  FileDBKeyIndexEntry* entry = d_masterIndex.find(recordID);
  const std::uint64_t position = entry->position;
  markSlotDeleted(position);
  d_masterIndex.erase(recordID, *d_masterIndex.find(recordID));
  return 1;
}

std::uint64_t FileDBKeyStorage::deleteRecordByIndex(VELDBManager::KeyMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  std::vector<std::uint32_t> ids;
  VELBuffer digest;
  FileDBMultiIndex* multi = multiIndexFor(index, key, digest);
  if (multi == nullptr) {
    // The IDs the index knows, which include IDs repaired while indexing.
    for (const auto& record : d_masterIndex.records()) ids.push_back(record.first);
  } else {
    for (const FileDBMultiLocation* at = multi->find(digest); at != nullptr; at = multi->findNext()) {
      ids.push_back(at->recordID);
    }
  }
  // All of them or none.
  ChangeScope change(*this);
  std::uint64_t deleted = 0;
  for (std::uint32_t id : ids) {
    deleted += deleteRecordByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(id));
  }
  change.commit();
  return deleted;
}
