// filedbtableimpl.h -- the table engine's member definitions.
//
// Included by the source file of each table, which instantiates the engine
// over its own types (`template class FileDBTable<...>;`) beside its
// description; nothing else includes it.
#ifndef DBFILE_FILEDBTABLEIMPL_H
#define DBFILE_FILEDBTABLEIMPL_H

#include "filedbtable.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltrace.h"

namespace FileDBTableImpl {

constexpr char kWrongType[] = "asnObj is invalid - wrong type";

}  // namespace FileDBTableImpl

// --- life cycle ----------------------------------------------------------

template <class T>
void FileDBTable<T>::newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("newFile");
  FileDBStorage::newFile(connectInfo, fileName, description().minorVersion, description().fileType);
}

template <class T>
void FileDBTable<T>::newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  newFile(*connectInfo, fileName);
}

template <class T>
FileDBTable<T>* FileDBTable<T>::connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName) {
  VEL_TRACE_SCOPE("connectFile");
  return static_cast<FileDBTable*>(
      connectTable(connectInfo, fileName, getClassName(), [&] { return new FileDBTable(connectInfo, fileName); }));
}

template <class T>
FileDBTable<T>* FileDBTable<T>::connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                            const VELString& fileName) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  return connectFile(*connectInfo, fileName);
}

template <class T>
void FileDBTable<T>::disconnect(FileDBTable*& storage, bool deleteFile) {
  VEL_TRACE_SCOPE("disconnect");
  disconnectTable(storage, deleteFile);
  storage = nullptr;
}

template <class T>
FileDBTable<T>::FileDBTable(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
    : FileDBStorage(connectInfo, fileName) {
  VEL_TRACE_SCOPE("FileDBTable::ctor");
  try {
    validateMinorVersionNumber();
    validateFileType();
    d_lastRecordID = buildIndexes();
    d_indexedGeneration = slotGeneration();
    finishOpen();
  } catch (...) {
    refuseOpen();
  }
}

template <class T>
void FileDBTable<T>::validateMinorVersionNumber() {
  VEL_TRACE_SCOPE("validateMinorVersionNumber");
  const unsigned char minor = d_header->getMinorVersionNumber();
  if (minor < description().oldMinorVersion || minor > description().minorVersion) {
    VELDB_THROW(VELDBError::kBadFormat, "");
  }
}

template <class T>
void FileDBTable<T>::validateFileType() {
  requireFileType(description().fileType);
}

// --- indexing ---------------------------------------------------------------

template <class T>
std::uint32_t FileDBTable<T>::buildIndexes() {
  VEL_TRACE_SCOPE("buildIndexes");
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  FileDBIterator iterator(getClassName());
  std::uint32_t highestRecordID = 0;
  std::uint64_t renumberedCount = 0;
  d_masterIndex.erase();
  d_masterIndex.reserve(d_header->getRecordsAllocated());
  const Description& table = description();
  const bool upgrade = d_header->getMinorVersionNumber() == table.oldMinorVersion &&
                       d_connectInfo->getAccessMode() == VELDBConnectInfo::ReadWrite;
  // The clean-up of an old minor version is one change: a failure rolls it
  // back whole.
  std::unique_ptr<ChangeScope> change(upgrade ? new ChangeScope(*this) : nullptr);
  // Each record is entered once the next one is decoded and its keys taken:
  // the fetch of the index memory its keys land in, started beforehand,
  // overlaps that work.
  std::optional<Fields> pending;
  std::uint64_t pendingPosition = 0;
  typename MasterIndex::KeyHashes pendingHashes;
  auto enterPending = [&] {
    if (!pending) return;
    d_masterIndex.insert(pendingPosition, std::move(*pending), pendingHashes);
    pending.reset();
  };
  // A slot's DER is decoded where it lies in the read buffer: the stored
  // fields hold no copy of it (but for an upgrade, which reads them whole).
  std::optional<Fields> stored;
  VELASNCBuffer encoding;
  for (;;) {
    stored.reset();
    if (upgrade) {
      const std::unique_ptr<Fields> whole(nextFieldsClearingTails<Fields>(iterator));
      if (!whole) break;
      stored.emplace(std::move(*whole));
      encoding = stored->encoding.get();
    } else {
      if (nextLiveSlot(iterator) == 0) break;
      stored.emplace(*d_readBuffer, &encoding);
    }
    // Record IDs that repeat (or, for tables that want it, go back) take
    // the next free one, in memory only: two slots with one ID would make
    // lookups and deletes act on the wrong record.
    bool renumbered = false;
    const bool taken = table.renumberBackwardIDs ? stored->recordID <= highestRecordID
                                                 : (pending && pending->recordID == stored->recordID) ||
                                                       d_masterIndex.find(stored->recordID) != nullptr;
    if (taken) {
      if (highestRecordID == 0xFFFFFFFFu) VELDB_THROW(VELDBError::kRecordIDRollover, "recordID rollover");
      stored->recordID = highestRecordID + 1;
      renumbered = true;
    }
    Fields fields = table.reindex(factory, *stored, encoding, renumbered);
    if (renumbered) ++renumberedCount;
    highestRecordID = std::max(highestRecordID, fields.recordID);
    enterPending();
    pendingHashes = d_masterIndex.prefetch(fields);
    pendingPosition = positionOf(iterator);
    pending.emplace(std::move(fields));
    ++iterator.d_index;
  }
  enterPending();
  // One re-seal covers every slot tail cleared above and the new version.
  if (upgrade) {
    setMinorVersion(table.minorVersion);
    change->commit();
  }
  if (renumberedCount != 0) VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "badRecordIdCount detected");
  return highestRecordID;
}

template <class T>
bool FileDBTable<T>::refreshIndexes() {
  const std::uint64_t generation = slotGeneration();
  if (generation == d_indexedGeneration) return false;
  d_lastRecordID = std::max(d_lastRecordID, buildIndexes());
  d_indexedGeneration = generation;
  return true;
}

template <class T>
std::uint64_t FileDBTable<T>::positionOf(const FileDBIterator& iterator) const {
  return iterator.getFilePosition(static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(),
                                  d_header->getRecordsAllocated());
}

// --- slot readers -----------------------------------------------------------

template <class T>
typename T::Fields* FileDBTable<T>::getRecordFieldsAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (!readSlot(position)) return nullptr;
  return new Fields(*d_readBuffer);
}

template <class T>
typename T::Fields* FileDBTable<T>::getRecordFieldsAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordFieldsAt");
  if (nextLiveSlot(iterator) == 0) return nullptr;
  return new Fields(*d_readBuffer);
}

template <class T>
typename T::Record* FileDBTable<T>::decode(std::uint64_t position, const Fields& fields) {
  std::unique_ptr<Record> record(new Record(0));
  VELASNUtility::setDEREncoding(*record, fields.encoding);
  // A record renumbered while indexing still carries its old ID in its
  // slot; hand it out under the ID that finds it again.
  const IndexEntry* entry = d_masterIndex.find(VELDBUtility::asnToRecordID(record->getRecordID()));
  if (entry == nullptr || entry->position != position) {
    const typename Description::UniqueKey& identity = description().uniqueKeys.front();
    const FileDBUniqueLocation* at = d_masterIndex.uniqueIndex(0).find(fields.*identity.field);
    if (at != nullptr && at->position == position) record->setRecordID(at->recordID);
  }
  return record.release();
}

// --- lookups ----------------------------------------------------------------

template <class T>
typename T::Record* FileDBTable<T>::getRecordAt(std::uint64_t position) {
  VEL_TRACE_SCOPE("getRecordAt");
  refreshIndexes();
  std::unique_ptr<Fields> fields(getRecordFieldsAt(position));
  return fields ? decode(position, *fields) : nullptr;
}

template <class T>
typename T::Record* FileDBTable<T>::getRecordAt(FileDBIterator& iterator) {
  VEL_TRACE_SCOPE("getRecordAt");
  refreshIndexes();
  std::unique_ptr<Fields> fields(getRecordFieldsAt(iterator));
  // The walk skipped deleted slots: the record lies where the iterator is now.
  return fields ? decode(positionOf(iterator), *fields) : nullptr;
}

template <class T>
const typename FileDBTable<T>::Description::UniqueKey* FileDBTable<T>::uniqueKeyFor(UniqueIndex index) {
  if (index == description().recordIDIndex) return nullptr;
  for (const typename Description::UniqueKey& key : description().uniqueKeys) {
    if (key.which == index) return &key;
  }
  VELDB_THROW(VELDBError::kBadArgument, FileDBTableImpl::kWrongType);
}

template <class T>
std::size_t FileDBTable<T>::numberOf(const typename Description::UniqueKey& key) {
  return static_cast<std::size_t>(&key - description().uniqueKeys.data());
}

template <class T>
const typename FileDBTable<T>::Description::MultiKey& FileDBTable<T>::multiKeyFor(MultiIndex index) {
  for (const typename Description::MultiKey& key : description().multiKeys) {
    if (key.which == index) return key;
  }
  VELDB_THROW(VELDBError::kBadArgument, FileDBTableImpl::kWrongType);
}

template <class T>
FileDBMultiIndex* FileDBTable<T>::multiIndexOf(const typename Description::MultiKey& multi, const VELASNObject& key,
                                               VELBuffer& digest) {
  if (multi.field == nullptr) return nullptr;
  digest = multi.digestOf(key, d_connectInfo->getAlgorithmFactory());
  return d_masterIndex.multiIndexOf(multi.field);
}

template <class T>
bool FileDBTable<T>::find(UniqueIndex index, const VELASNObject& key, Location& at) {
  const typename Description::UniqueKey* unique = uniqueKeyFor(index);
  if (unique == nullptr) {
    at.recordID = VELDBUtility::asnToRecordID(VELDBUtility::downcastInteger(key));
    const IndexEntry* entry = d_masterIndex.find(at.recordID);
    if (entry == nullptr) return false;
    at.position = entry->position;
    return true;
  }
  const FileDBUniqueLocation* location = d_masterIndex.uniqueIndex(numberOf(*unique))
                                             .find(unique->digestOf(key, d_connectInfo->getAlgorithmFactory()));
  if (location == nullptr || d_masterIndex.find(location->recordID) == nullptr) return false;
  at.recordID = location->recordID;
  at.position = location->position;
  return true;
}

template <class T>
typename T::Record* FileDBTable<T>::getRecordByIndex(UniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  refreshIndexes();
  Location at{};
  return find(index, key, at) ? getRecordAt(at.position) : nullptr;
}

template <class T>
typename T::Container* FileDBTable<T>::getRecordByIndex(MultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordByIndex");
  refreshIndexes();
  std::unique_ptr<Container> out(new Container());
  const typename Description::MultiKey& multiKey = multiKeyFor(index);
  VELBuffer digest;
  FileDBMultiIndex* multi = multiIndexOf(multiKey, key, digest);
  const auto walk = [&](bool compare) {
    FileDBIterator iterator(getClassName());
    for (;;) {
      std::unique_ptr<Record> record(getRecordAt(iterator));
      if (!record) break;
      ++iterator.d_index;
      if (!compare || multiKey.valueMatches(*record, key)) out->push_back(std::move(record));
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
  if (out->empty() && multiKey.valueMatches != nullptr) walk(true);
  return out.release();
}

template <class T>
std::uint64_t FileDBTable<T>::getRecordCountByIndex(UniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  refreshIndexes();
  Location at{};
  return find(index, key, at) ? 1 : 0;
}

template <class T>
std::uint64_t FileDBTable<T>::getRecordCountByIndex(MultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getRecordCountByIndex");
  refreshIndexes();
  VELBuffer digest;
  FileDBMultiIndex* multi = multiIndexOf(multiKeyFor(index), key, digest);
  // Live records, not slots: deleted slots stay until the file is purged.
  if (multi == nullptr) return d_masterIndex.records().size();
  std::uint64_t count = 0;
  for (const FileDBMultiLocation* at = multi->find(digest); at != nullptr; at = multi->findNext()) ++count;
  return count;
}

// --- changes ------------------------------------------------------------------

template <class T>
void FileDBTable<T>::insertRecord(Record& record) {
  VEL_TRACE_SCOPE("insertRecord");
  refreshIndexes();
  const std::uint32_t id = nextRecordID();
  record.setRecordID(id);
  Fields fields = description().makeFields(d_connectInfo->getAlgorithmFactory(), record);
  d_masterIndex.uniqueKeyIntegrityCheck(fields);
  // Checked: from here on the ID is used, whatever becomes of the change.
  d_lastRecordID = id;
  ChangeScope change(*this);
  if (fields.getSize() > d_header->getFixedRecordLength()) resize(fields.getSize());
  // After a growth, or an earlier rollback that opening the change finished.
  refreshIndexes();
  fields.toBuffer(*d_writeBuffer);
  const std::uint64_t position = appendSlot(*d_writeBuffer);
  incrRecordsAllocated();
  d_masterIndex.insert(position, std::move(fields));
  change.commit();
}

template <class T>
void FileDBTable<T>::updateRecordByIndex(UniqueIndex index, Record& record) {
  VEL_TRACE_SCOPE("updateRecordByIndex");
  refreshIndexes();
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  // The record's keys, computed once; its ID may still change below.
  const Description& table = description();
  Fields fields = table.makeFields(factory, record);
  const typename Description::UniqueKey* unique = uniqueKeyFor(index);
  Location at{};
  if (unique == nullptr) {
    at.recordID = VELDBUtility::asnToRecordID(record.getRecordID());
  } else {
    const FileDBUniqueLocation* location = d_masterIndex.uniqueIndex(numberOf(*unique)).find(fields.*unique->field);
    if (location == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
    at.recordID = location->recordID;
  }
  const IndexEntry* entry = d_masterIndex.find(at.recordID);
  if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "no matching record");
  at.position = entry->position;
  // A key that changes must not be another record's.
  for (std::size_t k = 0; k < table.uniqueKeys.size(); ++k) {
    const VELBuffer& value = fields.*table.uniqueKeys[k].field;
    if (value != entry->keys[k] && d_masterIndex.uniqueIndex(k).find(value) != nullptr) {
      VELDB_THROW(table.uniqueKeys[k].updateError, "");
    }
  }
  if (fields.recordID != at.recordID) {
    record.setRecordID(at.recordID);
    fields = table.makeFields(factory, record);
  }

  ChangeScope change(*this);
  if (fields.getSize() > d_header->getFixedRecordLength()) resize(fields.getSize());
  // The growth moves every slot, and opening the change may first have
  // finished the rollback of an earlier one: the record is found again.
  if (refreshIndexes()) {
    entry = d_masterIndex.find(at.recordID);
    if (entry == nullptr) VELDB_THROW(VELDBError::kNoMatchingRecord, "");
    at.position = entry->position;
  }
  fields.toBuffer(*d_writeBuffer);
  d_file->protect(at.position, d_header->getFixedRecordLength());
  writeSlot(at.position, *d_writeBuffer);
  // Re-entering the record moves it in the multi indexes when a key changed.
  d_masterIndex.erase(at.recordID, *entry);
  d_masterIndex.insert(at.position, std::move(fields));
  setPasswordDatabaseHash();
  change.commit();
}

template <class T>
void FileDBTable<T>::removeAt(const Location& at) {
  markSlotDeleted(at.position);
  const IndexEntry* entry = d_masterIndex.find(at.recordID);
  if (entry != nullptr) d_masterIndex.erase(at.recordID, *entry);
}

template <class T>
std::uint64_t FileDBTable<T>::deleteRecordByIndex(UniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  refreshIndexes();
  Location at{};
  if (!find(index, key, at)) return 0;
  ChangeScope change(*this);
  removeAt(at);
  change.commit();
  return 1;
}

template <class T>
std::uint64_t FileDBTable<T>::deleteRecordByIndex(MultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteRecordByIndex");
  refreshIndexes();
  // Every record is collected before the first delete changes the indexes:
  // the IDs the indexes know (renumbered ones too), with their slots.
  std::vector<Location> doomed;
  VELBuffer digest;
  FileDBMultiIndex* multi = multiIndexOf(multiKeyFor(index), key, digest);
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

#endif
