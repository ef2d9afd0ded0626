// The manager's record operations: iterators, lookups, counts, inserts,
// updates and deletes of the three tables, and its transactions.  Each
// operation runs under the table's instance mutex.

#include "filedbmanager.h"

#include <memory>
#include <utility>
#include <vector>

#include "filedbcrlstorage.h"
#include "filedbiterator.h"
#include "filedbkeypairstorage.h"
#include "filedbkeystorage.h"
#include "filedbstorage.h"
#include "filedbtransaction.h"
#include "velexception.h"
#include "velmutex.h"
#include "veltrace.h"

namespace {

// The storage of an enabled table, or the table's "not enabled" error.
template <class STORAGE>
STORAGE* enabledOrThrow(const std::atomic<STORAGE*>& slot, unsigned long notEnabled) {
  STORAGE* storage = slot.load(std::memory_order_acquire);
  if (storage == nullptr) VELDB_THROW(notEnabled, "");
  return storage;
}

// `call` on the storage of an enabled table, under its instance mutex.
template <class STORAGE, class CALL>
auto underMutex(const std::atomic<STORAGE*>& slot, unsigned long notEnabled, CALL call)
    -> decltype(call(*slot.load())) {
  STORAGE* storage = enabledOrThrow(slot, notEnabled);
  VELMutexLocker guard(storage->getInstanceMutex());
  return call(*storage);
}

// The record `it` is at, stepping it past; null at the end of the table.
template <class STORAGE>
auto nextRecord(STORAGE& storage, FileDBIterator& it) -> decltype(storage.getRecordAt(it)) {
  auto* record = storage.getRecordAt(it);
  if (record != nullptr) ++it.d_index;
  return record;
}

}  // namespace

// --- connection state -----------------------------------------------------

bool FileDBManager::isFileConnection() const { return d_connectInfo->isKindOf(VELDBConnectInfo::FILE::getClassName()); }

bool FileDBManager::isStringConnection() const {
  return d_connectInfo->isKindOf(VELDBConnectInfo::STRING::getClassName());
}

void FileDBManager::refuseInTransaction(const char* what) const {
  if (d_transaction) VELDB_THROW(VELDBError::kBadArgument, what);
}

void FileDBManager::checkWritable() const {
  if (static_cast<int>(d_connectInfo->getAccessMode()) != 1) VELDB_THROW(VELDBError::kAccessDenied, "");
}

bool FileDBManager::isKeyEnabled() const { return d_keyStorage.load(std::memory_order_acquire) != nullptr; }

bool FileDBManager::isKeyPairEnabled() const { return d_keyPairStorage.load(std::memory_order_acquire) != nullptr; }

bool FileDBManager::isCRLEnabled() const { return d_crlStorage.load(std::memory_order_acquire) != nullptr; }

const FileDBKeyStorage* FileDBManager::getKeyStorage() const { return d_keyStorage.load(std::memory_order_acquire); }

unsigned long FileDBManager::getKeyRecordLength() const {
  VEL_TRACE_SCOPE("getKeyRecordLength");
  FileDBKeyStorage* keys = d_keyStorage.load(std::memory_order_acquire);
  if (keys == nullptr) return 0;
  VELMutexLocker guard(keys->getInstanceMutex());
  return keys->getFileHeader()->getFixedRecordLength();
}

void FileDBManager::deleteDBOnDisconnect() {
  VEL_TRACE_SCOPE("deleteDBOnDisconnect");
  checkWritable();
  d_deleteOnDisconnect.store(true);
}

bool FileDBManager::isKindOf(const VELString& name) const {
  return name == getClassName() || VELDBManager::isKindOf(name);
}

VELString FileDBManager::getInstanceName() const { return getClassName(); }

// --- iterators ------------------------------------------------------------

FileDBIterator& FileDBManager::downcastIterator(VELDBIterator& iterator, const VELString& tableName) const {
  VEL_TRACE_SCOPE("downcastIterator");
  // The class name alone is not trusted for the cast: another class could
  // answer to it.
  FileDBIterator* fileIterator = dynamic_cast<FileDBIterator*>(&iterator);
  if (!iterator.isKindOf(FileDBIterator::getClassName()) || fileIterator == nullptr) {
    VELDB_THROW(VELDBError::kBadArgument, "iter is invalid - wrong type");
  }
  if (fileIterator->d_tableName != VELConstString(tableName)) {
    VELDB_THROW(VELDBError::kBadArgument, "iter is invalid - wrong table");
  }
  return *fileIterator;
}

VELDBIterator* FileDBManager::getKeyIterator() {
  VEL_TRACE_SCOPE("getKeyIterator");
  return new FileDBIterator(enabledOrThrow(d_keyStorage, VELDBError::kKeyNotEnabled)->getInstanceName());
}

VELDBIterator* FileDBManager::getKeyPairIterator() {
  VEL_TRACE_SCOPE("getKeyPairIterator");
  return new FileDBIterator(enabledOrThrow(d_keyPairStorage, VELDBError::kKeyPairNotEnabled)->getInstanceName());
}

VELDBIterator* FileDBManager::getCRLIterator() {
  VEL_TRACE_SCOPE("getCRLIterator");
  return new FileDBIterator(enabledOrThrow(d_crlStorage, VELDBError::kCRLNotEnabled)->getInstanceName());
}

VELASNKeyRecord* FileDBManager::getKeyNextRecord(VELDBIterator& iterator) {
  VEL_TRACE_SCOPE("getKeyNextRecord");
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled, [&](FileDBKeyStorage& storage) {
    return nextRecord(storage, downcastIterator(iterator, storage.getInstanceName()));
  });
}

VELASNKeyPairRecord* FileDBManager::getKeyPairNextRecord(VELDBIterator& iterator) {
  VEL_TRACE_SCOPE("getKeyPairNextRecord");
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled, [&](FileDBKeyPairStorage& storage) {
    return nextRecord(storage, downcastIterator(iterator, storage.getInstanceName()));
  });
}

VELASNCRLRecord* FileDBManager::getCRLNextRecord(VELDBIterator& iterator) {
  VEL_TRACE_SCOPE("getCRLNextRecord");
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled, [&](FileDBCRLStorage& storage) {
    return nextRecord(storage, downcastIterator(iterator, storage.getInstanceName()));
  });
}

// --- lookups and counts ---------------------------------------------------

VELASNKeyRecordContainer* FileDBManager::getKeyByIndex(KeyMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyByIndex");
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled,
                    [&](auto& table) { return table.getRecordByIndex(index, key); });
}

VELASNKeyRecord* FileDBManager::getKeyByIndex(KeyUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyByIndex");
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled,
                    [&](auto& table) { return table.getRecordByIndex(index, key); });
}

VELASNKeyPairRecordContainer* FileDBManager::getKeyPairByIndex(KeyPairMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyPairByIndex");
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.getRecordByIndex(index, key); });
}

VELASNKeyPairRecord* FileDBManager::getKeyPairByIndex(KeyPairUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyPairByIndex");
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.getRecordByIndex(index, key); });
}

VELASNCRLRecordContainer* FileDBManager::getCRLByIndex(CRLMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getCRLByIndex");
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled,
                    [&](auto& table) { return table.getRecordByIndex(index, key); });
}

VELASNCRLRecord* FileDBManager::getCRLByIndex(CRLUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getCRLByIndex");
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled,
                    [&](auto& table) { return table.getRecordByIndex(index, key); });
}

unsigned long long FileDBManager::getKeyCountByIndex(KeyMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyCountByIndex");
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled,
                    [&](auto& table) { return table.getRecordCountByIndex(index, key); });
}

unsigned long long FileDBManager::getKeyCountByIndex(KeyUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyCountByIndex");
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled,
                    [&](auto& table) { return table.getRecordCountByIndex(index, key); });
}

unsigned long long FileDBManager::getKeyPairCountByIndex(KeyPairMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyPairCountByIndex");
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.getRecordCountByIndex(index, key); });
}

unsigned long long FileDBManager::getKeyPairCountByIndex(KeyPairUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getKeyPairCountByIndex");
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.getRecordCountByIndex(index, key); });
}

unsigned long long FileDBManager::getCRLCountByIndex(CRLMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getCRLCountByIndex");
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled,
                    [&](auto& table) { return table.getRecordCountByIndex(index, key); });
}

unsigned long long FileDBManager::getCRLCountByIndex(CRLUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("getCRLCountByIndex");
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled,
                    [&](auto& table) { return table.getRecordCountByIndex(index, key); });
}

// --- changes --------------------------------------------------------------

void FileDBManager::insertKey(VELASNKeyRecord& record) {
  VEL_TRACE_SCOPE("insertKey");
  checkWritable();
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled, [&](auto& table) { return table.insertRecord(record); });
}

void FileDBManager::insertKeyPair(VELASNKeyPairRecord& record) {
  VEL_TRACE_SCOPE("insertKeyPair");
  checkWritable();
  // The enabling takes the class mutex; it runs before the instance mutex.
  if (d_keyPairStorage.load(std::memory_order_acquire) == nullptr) enableKeyPair();
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.insertRecord(record); });
}

void FileDBManager::insertCRL(VELASNCRLRecord& record) {
  VEL_TRACE_SCOPE("insertCRL");
  checkWritable();
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled, [&](auto& table) { return table.insertRecord(record); });
}

void FileDBManager::updateKeyByIndex(KeyUniqueIndex index, VELASNKeyRecord& record) {
  VEL_TRACE_SCOPE("updateKeyByIndex");
  checkWritable();
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled,
                    [&](auto& table) { return table.updateRecordByIndex(index, record); });
}

void FileDBManager::updateKeyPairByIndex(KeyPairUniqueIndex index, VELASNKeyPairRecord& record) {
  VEL_TRACE_SCOPE("updateKeyPairByIndex");
  checkWritable();
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.updateRecordByIndex(index, record); });
}

void FileDBManager::updateCRLByIndex(CRLUniqueIndex index, VELASNCRLRecord& record) {
  VEL_TRACE_SCOPE("updateCRLByIndex");
  checkWritable();
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled,
                    [&](auto& table) { return table.updateRecordByIndex(index, record); });
}

unsigned long long FileDBManager::deleteKeyByIndex(KeyMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteKeyByIndex");
  checkWritable();
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled,
                    [&](auto& table) { return table.deleteRecordByIndex(index, key); });
}

unsigned long long FileDBManager::deleteKeyByIndex(KeyUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteKeyByIndex");
  checkWritable();
  return underMutex(d_keyStorage, VELDBError::kKeyNotEnabled,
                    [&](auto& table) { return table.deleteRecordByIndex(index, key); });
}

unsigned long long FileDBManager::deleteKeyPairByIndex(KeyPairMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteKeyPairByIndex");
  checkWritable();
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.deleteRecordByIndex(index, key); });
}

unsigned long long FileDBManager::deleteKeyPairByIndex(KeyPairUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteKeyPairByIndex");
  checkWritable();
  return underMutex(d_keyPairStorage, VELDBError::kKeyPairNotEnabled,
                    [&](auto& table) { return table.deleteRecordByIndex(index, key); });
}

unsigned long long FileDBManager::deleteCRLByIndex(CRLMultiIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteCRLByIndex");
  checkWritable();
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled,
                    [&](auto& table) { return table.deleteRecordByIndex(index, key); });
}

unsigned long long FileDBManager::deleteCRLByIndex(CRLUniqueIndex index, const VELASNObject& key) {
  VEL_TRACE_SCOPE("deleteCRLByIndex");
  checkWritable();
  return underMutex(d_crlStorage, VELDBError::kCRLNotEnabled,
                    [&](auto& table) { return table.deleteRecordByIndex(index, key); });
}

// --- transactions ---------------------------------------------------------

void FileDBManager::beginTransaction() {
  VEL_TRACE_SCOPE("beginTransaction");
  checkWritable();
  if (d_transaction) VELDB_THROW(VELDBError::kBadArgument, "a transaction is open on this manager already");
  // Enabling takes the class mutex, which must not be asked for while the
  // transaction holds the tables: the key-pair table a transaction may
  // insert into is enabled now, as `insertKeyPair` would.
  if (isFileConnection() && d_keyPairStorage.load(std::memory_order_acquire) == nullptr) enableKeyPair();
  std::vector<FileDBStorage*> tables;
  for (FileDBStorage* table : {static_cast<FileDBStorage*>(d_keyStorage.load(std::memory_order_acquire)),
                               static_cast<FileDBStorage*>(d_keyPairStorage.load(std::memory_order_acquire)),
                               static_cast<FileDBStorage*>(d_crlStorage.load(std::memory_order_acquire))}) {
    if (table != nullptr) tables.push_back(table);
  }
  d_transaction.reset(new FileDBTransaction(tables));
}

void FileDBManager::commitTransaction() {
  VEL_TRACE_SCOPE("commitTransaction");
  if (!d_transaction) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open on this manager");
  const std::unique_ptr<FileDBTransaction> transaction = std::move(d_transaction);
  transaction->commit();
}

void FileDBManager::rollbackTransaction() {
  VEL_TRACE_SCOPE("rollbackTransaction");
  if (!d_transaction) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open on this manager");
  const std::unique_ptr<FileDBTransaction> transaction = std::move(d_transaction);
  transaction->rollback();
}

bool FileDBManager::inTransaction() const { return d_transaction != nullptr; }
