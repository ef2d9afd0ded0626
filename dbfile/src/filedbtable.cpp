#include "filedbtable.h"

#include <algorithm>
#include <utility>

#include "filedbcrlstorage.h"
#include "filedbkeypairstorage.h"
#include "filedbkeystorage.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltrace.h"

namespace {

const char kWrongType[] = "asnObj is invalid - wrong type";

}  // namespace

// --- life cycle ----------------------------------------------------------

template <class D>
void FileDBTable<D>::newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("newFile");
  FileDBStorage::newFile(connectInfo, fileName, D::kMinorVersion, D::fileType());
}

template <class D>
void FileDBTable<D>::newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                             const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  newFile(*connectInfo, fileName);
}

template <class D>
typename D::Table* FileDBTable<D>::connectFile(const VELDBConnectInfo::OBJECT& connectInfo,
                                               const VELString& fileName) {
  VEL_TRACE_SCOPE("connectFile");
  return static_cast<Table*>(
      connectTable(connectInfo, fileName, getClassName(), [&] { return new Table(connectInfo, fileName); }));
}

template <class D>
typename D::Table* FileDBTable<D>::connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                               const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  return connectFile(*connectInfo, fileName);
}

template <class D>
void FileDBTable<D>::disconnect(Table*& storage, bool deleteFile) {
  VEL_TRACE_SCOPE("disconnect");
  disconnectTable(storage, deleteFile);
  storage = nullptr;
}

template <class D>
FileDBTable<D>::FileDBTable(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
    : FileDBStorage(connectInfo, fileName) {
  VEL_TRACE_SCOPE("FileDBTable::ctor");
  d_lastRecordID = openTable();
}

template <class D>
void FileDBTable<D>::validateMinorVersionNumber() {
  VEL_TRACE_SCOPE("validateMinorVersionNumber");
  if (!D::acceptsMinorVersion(d_header->getMinorVersionNumber())) VELDB_THROW(VELDBError::kBadFormat, "");
}

template <class D>
void FileDBTable<D>::validateFileType() {
  requireFileType(D::fileType());
}

// --- indexing ---------------------------------------------------------------

template <class D>
std::uint32_t FileDBTable<D>::buildIndexes() {
  VEL_TRACE_SCOPE("buildIndexes");
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  FileDBIterator iterator(getClassName());
  std::uint32_t highestRecordID = 0;
  std::uint64_t renumberedCount = 0;
  d_masterIndex.erase();
  d_masterIndex.reserve(d_header->getRecordsAllocated());
  const bool upgrade = d_header->getMinorVersionNumber() == D::kOldMinorVersion &&
                       d_connectInfo->getAccessMode() == VELDBConnectInfo::ReadWrite;
  // The clean-up of an old minor version is one change: a failure rolls it
  // back whole.
  std::unique_ptr<ChangeScope> change(upgrade ? new ChangeScope(*this) : nullptr);
  for (;;) {
    std::unique_ptr<Fields> stored(upgrade ? nextFieldsClearingTails<Fields>(iterator)
                                           : getRecordFieldsAt(iterator));
    if (!stored) break;
    // Record IDs that repeat (or, for tables that want it, go back) take
    // the next free one, in memory only: two slots with one ID would make
    // lookups and deletes act on the wrong record.
    bool renumbered = false;
    const bool taken = D::kRenumberBackwardIDs ? stored->recordID <= highestRecordID
                                               : d_masterIndex.find(stored->recordID) != nullptr;
    if (taken) {
      if (highestRecordID == 0xFFFFFFFFu) VELDB_THROW(VELDBError::kRecordIDRollover, "recordID rollover");
      stored->recordID = highestRecordID + 1;
      renumbered = true;
    }
    const Fields fields = D::reindex(factory, *stored, renumbered);
    if (renumbered) ++renumberedCount;
    highestRecordID = std::max(highestRecordID, fields.recordID);
    d_masterIndex.insert(positionOf(iterator), fields);
    ++iterator.d_index;
  }
  // One re-seal covers every slot tail cleared above and the new version.
  if (upgrade) {
    setMinorVersion(D::kMinorVersion);
    change->commit();
  }
  if (renumberedCount != 0) VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "badRecordIdCount detected");
  return highestRecordID;
}

template <class D>
std::uint64_t FileDBTable<D>::positionOf(const FileDBIterator& iterator) const {
  return iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                                  d_header->getRecordsAllocated());
}

// --- slot readers -----------------------------------------------------------

template <class D>
typename D::Fields* FileDBTable<D>::getRecordFieldsAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (!readSlot(position)) return nullptr;
  return new Fields(*d_readBuffer);
}

template <class D>
typename D::Fields* FileDBTable<D>::getRecordFieldsAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (nextLiveSlot(iterator) == 0) return nullptr;
  return new Fields(*d_readBuffer);
}

template <class D>
typename D::Record* FileDBTable<D>::decode(std::uint64_t position, const Fields& fields) {
  std::unique_ptr<Record> record(new Record(0));
  VELASNUtility::setDEREncoding(*record, fields.encoding);
  // A record renumbered while indexing still carries its old ID in its
  // slot; hand it out under the ID that finds it again.
  const IndexEntry* entry = d_masterIndex.find(VELDBUtility::asnToRecordID(record->getRecordID()));
  if (entry == nullptr || entry->position != position) {
    const typename D::UniqueKey& identity = D::kUniqueKeys[0];
    const FileDBUniqueLocation* at = (d_masterIndex.*identity.index).find(fields.*identity.field);
    if (at != nullptr && at->position == position) record->setRecordID(at->recordID);
  }
  return record.release();
}

// --- lookups ----------------------------------------------------------------

template <class D>
typename D::Record* FileDBTable<D>::getRecordAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<Fields> fields(getRecordFieldsAt(position));
  return fields ? decode(position, *fields) : nullptr;
}

template <class D>
typename D::Record* FileDBTable<D>::getRecordAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordAt");
  std::unique_ptr<Fields> fields(getRecordFieldsAt(iterator));
  // The walk skipped deleted slots: the record lies where the iterator is now.
  return fields ? decode(positionOf(iterator), *fields) : nullptr;
}

template <class D>
const typename D::UniqueKey* FileDBTable<D>::uniqueKeyFor(UniqueIndex index) const {
  if (index == D::kRecordIDIndex) return nullptr;
  for (std::size_t i = 0; i < D::kUniqueKeyCount; ++i) {
    if (D::kUniqueKeys[i].which == index) return &D::kUniqueKeys[i];
  }
  VELDB_THROW(VELDBError::kBadArgument, kWrongType);
}

template <class D>
bool FileDBTable<D>::find(UniqueIndex index, const VELASNObject& key, Location& at) {
  const typename D::UniqueKey* unique = uniqueKeyFor(index);
  if (unique == nullptr) {
    at.recordID = VELDBUtility::asnToRecordID(VELDBUtility::downcastInteger(key));
    const IndexEntry* entry = d_masterIndex.find(at.recordID);
    if (entry == nullptr) return false;
    at.position = entry->position;
    return true;
  }
  const FileDBUniqueLocation* location =
      (d_masterIndex.*unique->index).find(D::lookupDigest(index, key, d_connectInfo->getAlgorithmFactory()));
  if (location == nullptr || d_masterIndex.find(location->recordID) == nullptr) return false;
  at.recordID = location->recordID;
  at.position = location->position;
  return true;
}

template <class D>
typename D::Record* FileDBTable<D>::getRecordByIndex(UniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  Location at{};
  return find(index, key, at) ? getRecordAt(at.position) : nullptr;
}

template <class D>
typename D::Container* FileDBTable<D>::getRecordByIndex(MultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  std::unique_ptr<Container> out(new Container());
  VELBuffer digest;
  FileDBMultiIndex* multi = D::multiIndexFor(d_masterIndex, index, key, d_connectInfo->getAlgorithmFactory(), digest);
  const auto walk = [&](bool compare) {
    FileDBIterator iterator(getClassName());
    for (;;) {
      std::unique_ptr<Record> record(getRecordAt(iterator));
      if (!record) break;
      ++iterator.d_index;
      if (!compare || D::valueMatches(*record, key)) out->push_back(std::move(record));
    }
  };
  if (multi == nullptr) {
    walk(false);
    return out.release();
  }
  // Collect the positions first: reading records does not touch the index,
  // but a walk should not depend on that.
  std::vector<std::uint32_t> positions;
  for (const FileDBMultiLocation* at = multi->find(digest); at != nullptr; at = multi->findNext()) {
    positions.push_back(at->position);
  }
  for (std::uint32_t position : positions) {
    std::unique_ptr<Record> record(getRecordAt(position));
    if (record) out->push_back(std::move(record));
  }
  // The same value in another encoding has another digest: compare values.
  if (out->empty() && D::hasValueFallback(index)) walk(true);
  return out.release();
}

template <class D>
std::uint64_t FileDBTable<D>::getRecordCountByIndex(UniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  Location at{};
  return find(index, key, at) ? 1 : 0;
}

template <class D>
std::uint64_t FileDBTable<D>::getRecordCountByIndex(MultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  VELBuffer digest;
  FileDBMultiIndex* multi = D::multiIndexFor(d_masterIndex, index, key, d_connectInfo->getAlgorithmFactory(), digest);
  // Live records, not slots: deleted slots stay until the file is purged.
  if (multi == nullptr) return d_masterIndex.records().size();
  std::uint64_t count = 0;
  for (const FileDBMultiLocation* at = multi->find(digest); at != nullptr; at = multi->findNext()) ++count;
  return count;
}

// --- changes ------------------------------------------------------------------

template <class D>
void FileDBTable<D>::insertRecord(Record& record) {
  VEL_TRACE_SCOPE("insertRecord");
  const std::uint32_t id = nextRecordID();
  record.setRecordID(id);
  const Fields fields = D::makeFields(d_connectInfo->getAlgorithmFactory(), record);
  d_masterIndex.uniqueKeyIntegrityCheck(fields);
  // Checked: from here on the ID is used, whatever becomes of the change.
  d_lastRecordID = id;
  ChangeScope change(*this);
  if (fields.getSize() > d_header->getFixedRecordLength()) resize(fields.getSize());
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = appendSlot(*d_writeBuffer);
  incrRecordsAllocated();
  d_masterIndex.insert(position, fields);
  change.commit();
}

template <class D>
void FileDBTable<D>::updateRecordByIndex(UniqueIndex index, Record& record) {
  VEL_TRACE_SCOPE("updateRecordByIndex");
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  // The record's keys, computed once; its ID may still change below.
  Fields fields = D::makeFields(factory, record);
  const typename D::UniqueKey* unique = uniqueKeyFor(index);
  Location at{};
  if (unique == nullptr) {
    at.recordID = VELDBUtility::asnToRecordID(record.getRecordID());
  } else {
    const FileDBUniqueLocation* location = (d_masterIndex.*unique->index).find(fields.*unique->field);
    if (location == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
    at.recordID = location->recordID;
  }
  const IndexEntry* entry = d_masterIndex.find(at.recordID);
  if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
  at.position = entry->position;
  // A key that changes must not be another record's.
  for (std::size_t i = 0; i < D::kUniqueKeyCount; ++i) {
    const typename D::UniqueKey& key = D::kUniqueKeys[i];
    const VELBuffer& value = fields.*key.field;
    if (value != entry->*key.entryField && (d_masterIndex.*key.index).find(value) != nullptr) {
      VELDB_THROW(key.updateError, "");
    }
  }
  if (fields.recordID != at.recordID) {
    record.setRecordID(at.recordID);
    fields = D::makeFields(factory, record);
  }

  ChangeScope change(*this);
  if (fields.getSize() > d_header->getFixedRecordLength()) {
    resize(fields.getSize());
    entry = d_masterIndex.find(at.recordID);
    if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "");
    at.position = entry->position;
  }
  fields.toBuffer(*d_writeBuffer);
  d_file->protect(at.position, d_header->getFixedRecordLength());
  writeSlot(at.position, *d_writeBuffer);
  // Re-entering the record moves it in the multi indexes when a key changed.
  d_masterIndex.erase(at.recordID, *entry);
  d_masterIndex.insert(at.position, fields);
  setPasswordDatabaseHash();
  change.commit();
}

template <class D>
void FileDBTable<D>::removeAt(const Location& at) {
  markSlotDeleted(at.position);
  const IndexEntry* entry = d_masterIndex.find(at.recordID);
  if (entry != nullptr) d_masterIndex.erase(at.recordID, *entry);
}

template <class D>
std::uint64_t FileDBTable<D>::deleteRecordByIndex(UniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  Location at{};
  if (!find(index, key, at)) return 0;
  ChangeScope change(*this);
  removeAt(at);
  change.commit();
  return 1;
}

template <class D>
std::uint64_t FileDBTable<D>::deleteRecordByIndex(MultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  // Every record is collected before the first delete changes the indexes:
  // the IDs the indexes know (renumbered ones too), with their slots.
  std::vector<Location> doomed;
  VELBuffer digest;
  FileDBMultiIndex* multi = D::multiIndexFor(d_masterIndex, index, key, d_connectInfo->getAlgorithmFactory(), digest);
  if (multi == nullptr) {
    doomed.reserve(d_masterIndex.records().size());
    for (const auto& record : d_masterIndex.records()) doomed.push_back(Location{record.first, record.second.position});
  } else {
    for (const FileDBMultiLocation* at = multi->find(digest); at != nullptr; at = multi->findNext()) {
      doomed.push_back(Location{at->recordID, at->position});
    }
  }
  if (doomed.empty()) return 0;
  // All of them or none.
  ChangeScope change(*this);
  for (const Location& at : doomed) removeAt(at);
  change.commit();
  return doomed.size();
}

template class FileDBTable<FileDBKeyTableDescription>;
template class FileDBTable<FileDBKeyPairTableDescription>;
template class FileDBTable<FileDBCRLTableDescription>;
