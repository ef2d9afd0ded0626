#include "filedbmanager.h"

#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "filedbbinaryfile.h"
#include "filedbcrlstorage.h"
#include "filedbiterator.h"
#include "filedbkeypairstorage.h"
#include "filedbkeystorage.h"
#include "filedbtransaction.h"
#include "filedbdropped.h"
#include "filedbjournaledfile.h"
#include "filedbpasswordjournal.h"
#include "filedbstorage.h"
#include "velexception.h"
#include "velmutex.h"
#include "veltrace.h"

namespace {

const unsigned char kDefaultPassword[10] = {0x4E, 0x21, 0x7A, 0x05, 0x33, 0x68, 0x0B, 0x52, 0x19, 0x6D};

bool isCreateType(const VELDBConnectInfo::OBJECT& info) {
  const int type = static_cast<int>(info.getConnectType());
  return type == 0 || type == 2;
}

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

// Connects `path` as a table of class STORAGE; a missing file gives null,
// other errors pass on.  A file that is there but cannot be opened (no
// permission, a directory or FIFO under the table's name) fails with the
// same number as a missing one and passes on too, with its reason.
template <class STORAGE>
STORAGE* connectIfPresent(const VELDBConnectInfo::OBJECT& info, const VELString& path) {
  try {
    return STORAGE::connectFile(info, path);
  } catch (const VELDBException& e) {
    e.writeToTrace();
    if (e.getError() != VELDBError::kCannotOpen || FileDBBinaryFile::exists(path)) throw;
  }
  return nullptr;
}

// Connects a FILE table now, creating its file when it cannot be opened.
// The caller holds the class mutex.
template <class STORAGE>
void enableTable(std::atomic<STORAGE*>& slot, const VELDBConnectInfo::OBJECT& info, const VELString& suffix,
                 FileDBStorage* sibling) {
  // Checked under the class mutex: two threads enabling the same table of
  // one manager must not both connect (one connection would never be given
  // back, keeping the file open and locked).
  if (slot.load(std::memory_order_acquire) != nullptr) return;
  const VELString path = FileDBBinaryFile::fullPathName(info.getName().str() + suffix);
  STORAGE* storage = connectIfPresent<STORAGE>(info, path);
  if (storage == nullptr) {
    // A table made now takes the password that the database's key table has
    // now, which a password change may have made different from the one this
    // manager was opened with: a database whose tables have different
    // passwords could not be opened again.
    // Passwords change only under the class mutex, which is held here: no
    // instance mutex is needed (a transaction may hold it for long).
    std::unique_ptr<VELDBConnectInfo::OBJECT> own(info.duplicate());
    if (sibling != nullptr) own->setLogicalDBPassword(sibling->getConnectInfo().getLogicalDBPassword());
    STORAGE::newFile(*own, path);
    storage = STORAGE::connectFile(*own, path);
  }
  slot.store(storage, std::memory_order_release);
}

template <class STORAGE>
void release(std::atomic<STORAGE*>& slot, bool deleteFile) noexcept {
  STORAGE* storage = slot.exchange(nullptr, std::memory_order_acq_rel);
  STORAGE::disconnect(storage, deleteFile);
}

}  // namespace

// --- creators -------------------------------------------------------------

FileDBManager::FileDBManager(const VELDBConnectInfo::OBJECT& connectInfo)
    : VELDBManager(),
      d_connectInfo(connectInfo.duplicate()),
      d_keyStorage(nullptr),
      d_keyPairStorage(nullptr),
      d_crlStorage(nullptr),
      d_deleteOnDisconnect(false) {
  VEL_TRACE_SCOPE("FileDBManager::ctor");
  if (isFileConnection()) {
    connectFileDatabase();
  } else if (isStringConnection()) {
    connectStringDatabase();
  } else {
    VELDB_THROW(VELDBError::kBadArgument, "connect info type unknown");
  }
}

FileDBManager::FileDBManager(const FileDBManager& other)
    : VELDBManager(),
      d_connectInfo(other.d_connectInfo->duplicate()),
      d_keyStorage(nullptr),
      d_keyPairStorage(nullptr),
      d_crlStorage(nullptr),
      d_deleteOnDisconnect(false) {
  VEL_TRACE_SCOPE("FileDBManager::ctor");
  try {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    d_deleteOnDisconnect.store(other.d_deleteOnDisconnect.load());
    FileDBKeyStorage* otherKey = other.d_keyStorage.load(std::memory_order_acquire);
    FileDBKeyPairStorage* otherKeyPair = other.d_keyPairStorage.load(std::memory_order_acquire);
    FileDBCRLStorage* otherCRL = other.d_crlStorage.load(std::memory_order_acquire);
    if (isStringConnection()) {
      // One key storage over the caller's string, shared with `other`.
      d_sharedStringKey = other.d_sharedStringKey;
      d_keyStorage.store(d_sharedStringKey.get(), std::memory_order_release);
      // The in-memory tables are copied while no operation is changing them,
      // so the copy is a complete, sealed table.
      if (otherKeyPair != nullptr) {
        {
          VELMutexLocker instance(otherKeyPair->getInstanceMutex());
          d_keyPairImage = other.d_keyPairImage;
        }
        d_keyPairConnectInfo = makeImageConnectInfo(&d_keyPairImage);
        d_keyPairStorage.store(FileDBKeyPairStorage::connectFile(*d_keyPairConnectInfo, VELString()),
                               std::memory_order_release);
      }
      if (otherCRL != nullptr) {
        {
          VELMutexLocker instance(otherCRL->getInstanceMutex());
          d_crlImage = other.d_crlImage;
        }
        d_crlConnectInfo = makeImageConnectInfo(&d_crlImage);
        d_crlStorage.store(FileDBCRLStorage::connectFile(*d_crlConnectInfo, VELString()), std::memory_order_release);
      }
    } else {
      if (otherKey != nullptr) {
        d_keyStorage.store(FileDBKeyStorage::connectFile(*d_connectInfo, otherKey->getFullPathName()),
                           std::memory_order_release);
      }
      if (otherKeyPair != nullptr) {
        d_keyPairStorage.store(FileDBKeyPairStorage::connectFile(*d_connectInfo, otherKeyPair->getFullPathName()),
                               std::memory_order_release);
      }
      if (otherCRL != nullptr) {
        d_crlStorage.store(FileDBCRLStorage::connectFile(*d_connectInfo, otherCRL->getFullPathName()),
                           std::memory_order_release);
      }
    }
  } catch (...) {
    // A failed duplicate gives back what it connected: a kept connection
    // would hold the file open (and locked) for the life of the process.
    disconnectAll(false);
    throw;
  }
}

FileDBManager::~FileDBManager() {
  VEL_TRACE_SCOPE("FileDBManager::dtor");
  d_transaction.reset();  // a transaction left open rolls back
  disconnectAll(d_deleteOnDisconnect.load());
}

VELDBManager* FileDBManager::duplicate() const {
  VEL_TRACE_SCOPE("duplicate");
  return new FileDBManager(*this);
}

void FileDBManager::connectFileDatabase() {
  VELMutexLocker guard(FileDBStorage::getClassMutex());
  const auto& info = static_cast<const VELDBConnectInfo::FILE&>(*d_connectInfo);
  const VELString name = info.getName().str();
  const VELString keyPath = FileDBBinaryFile::fullPathName(name + info.getKeyFileSuffix().str());
  const VELString keyPairPath = FileDBBinaryFile::fullPathName(name + info.getKeyPairFileSuffix().str());
  const VELString crlPath = FileDBBinaryFile::fullPathName(name + info.getCRLFileSuffix().str());

  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();
  if (!password.isPresent() || password.length() == 0) d_connectInfo->setLogicalDBPassword(defaultPassword());

  // A password change that a dead process left half done is rolled back
  // before the tables are opened, so that they agree on one password again,
  // by a read-write open that gives either password of the change.  A
  // read-only open writes nothing: it reads each table with the header the
  // rollback would put back.  While the key file is open in this process
  // its connections own it.  A password journal that cannot be trusted is
  // left in place; it stops the open only when the key table does not open
  // as it stands.
  const bool readOnly = d_connectInfo->getAccessMode() != VELDBConnectInfo::ReadWrite;
  std::map<VELString, VELBuffer> committedHeaders;
  std::unique_ptr<VELDBException> passwordJournalRefused;
  if (FileDBStorage::findFileMap(keyPath) == nullptr && FileDBBinaryFile::exists(FileDBPasswordJournal::path(keyPath))) {
    FileDBPasswordJournal::Outcome outcome = FileDBPasswordJournal::Outcome::kNone;
    try {
      outcome = readOnly ? FileDBPasswordJournal::committedHeaders({keyPath, keyPairPath, crlPath},
                                                                   d_connectInfo->getLogicalDBPassword(), committedHeaders)
                         : FileDBPasswordJournal::recover({keyPath, keyPairPath, crlPath},
                                                          d_connectInfo->getLogicalDBPassword());
    } catch (const VELDBException& e) {
      // Not made under this password for this database, of an earlier
      // layout, or not describing these tables: never applied.
      if (e.getError() != VELDBError::kBadPassword && e.getError() != VELDBError::kBadFormat) throw;
      e.writeToTrace();
      passwordJournalRefused.reset(new VELDBException(e));
      committedHeaders.clear();
    }
    if (outcome == FileDBPasswordJournal::Outcome::kRestoredWithNew) {
      VELDB_THROW(VELDBError::kBadPassword,
                  readOnly ? "a password change of this database was interrupted before it committed: the database "
                             "still has the password it had before the change (a read-write open with either "
                             "password completes the rollback)-" + keyPath
                           : "an interrupted password change was rolled back: the database has the password it had "
                             "before the change-" + keyPath);
    }
  }
  const FileDBStorage::CommittedHeaders committed(committedHeaders);

  if (isCreateType(*d_connectInfo)) {
    for (const VELString* path : {&keyPath, &keyPairPath, &crlPath}) {
      if (FileDBBinaryFile::exists(*path)) VELDB_THROW(VELDBError::kFileExists, "");
    }
    // A create that fails half way removes the files it made, so that the
    // caller can try again.
    std::vector<const VELString*> made;
    try {
      FileDBKeyStorage::newFile(*d_connectInfo, keyPath);
      made.push_back(&keyPath);
      FileDBKeyPairStorage::newFile(*d_connectInfo, keyPairPath);
      made.push_back(&keyPairPath);
      FileDBCRLStorage::newFile(*d_connectInfo, crlPath);
    } catch (...) {
      for (const VELString* path : made) {
        try {
          FileDBBinaryFile::remove(*path);
        } catch (const VELException& e) {
          e.writeToTrace();
        }
      }
      throw;
    }
  }

  FileDBKeyStorage* key = nullptr;
  FileDBKeyPairStorage* keyPair = nullptr;
  FileDBCRLStorage* crl = nullptr;
  try {
    key = connectIfPresent<FileDBKeyStorage>(*d_connectInfo, keyPath);
    keyPair = connectIfPresent<FileDBKeyPairStorage>(*d_connectInfo, keyPairPath);
  } catch (const VELDBException& e) {
    FileDBKeyPairStorage::disconnect(keyPair, false);
    FileDBKeyStorage::disconnect(key, false);
    // Tables that do not open as they stand are not rescued by a password
    // journal that could not be trusted: its refusal is the reason given.
    if (passwordJournalRefused) throw *passwordJournalRefused;
    throw;
  } catch (...) {
    FileDBKeyPairStorage::disconnect(keyPair, false);
    FileDBKeyStorage::disconnect(key, false);
    throw;
  }
  // A CRL table that cannot be used (missing, damaged, sealed under another
  // password) does not stop the database; the caller is told which table
  // was left out and why.
  try {
    crl = FileDBCRLStorage::connectFile(*d_connectInfo, crlPath);
  } catch (const VELException& e) {
    e.writeToTrace();
    FileDBCRLStorage::disconnect(crl, false);
    crl = nullptr;
    if (FileDBBinaryFile::exists(crlPath)) {
      d_openNotices.push_back("CRL table left out (" + crlPath + "): " + e.what());
      VEL_TRACE_WRITE(8, VELTraceLevel::kError, d_openNotices.back());
    }
  } catch (...) {
    FileDBCRLStorage::disconnect(crl, false);
    crl = nullptr;
  }
  if (passwordJournalRefused) {
    d_openNotices.push_back(VELString("password journal not applied: ") + passwordJournalRefused->getMessage());
  }
  const std::pair<const char*, const FileDBStorage*> opened[] = {{"key", key}, {"key pair", keyPair}, {"CRL", crl}};
  for (const auto& table : opened) {
    if (table.second != nullptr && !table.second->getJournalNotApplied().empty()) {
      d_openNotices.push_back(VELString(table.first) + " table: " + table.second->getJournalNotApplied());
    }
  }
  if (key == nullptr) {
    FileDBKeyPairStorage::disconnect(keyPair, false);
    FileDBCRLStorage::disconnect(crl, false);
    VELDB_THROW(VELDBError::kCannotOpen, keyPath + ": cannot open: No such file or directory");
  }
  d_keyStorage.store(key, std::memory_order_release);
  d_keyPairStorage.store(keyPair, std::memory_order_release);
  d_crlStorage.store(crl, std::memory_order_release);
  // A transaction that never reached its commit point leaves its file; once
  // every table's journal is recovered, nothing needs it.
  if (d_connectInfo->getAccessMode() == VELDBConnectInfo::ReadWrite) {
    FileDBJournaledFile::removeStaleTransactionFiles({keyPath, keyPairPath, crlPath});
  }
}

void FileDBManager::connectStringDatabase() {
  try {
    const VELString name = d_connectInfo->getName().str();
    if (isCreateType(*d_connectInfo)) FileDBKeyStorage::newFile(*d_connectInfo, name);
    FileDBKeyStorage* key = FileDBKeyStorage::connectFile(*d_connectInfo, name);
    d_sharedStringKey.reset(key, [](FileDBKeyStorage* storage) { FileDBKeyStorage::disconnect(storage, false); });
    d_keyStorage.store(key, std::memory_order_release);

    d_keyPairConnectInfo = makeImageConnectInfo(&d_keyPairImage);
    FileDBKeyPairStorage::newFile(*d_keyPairConnectInfo, name);
    d_keyPairStorage.store(FileDBKeyPairStorage::connectFile(*d_keyPairConnectInfo, VELString()),
                           std::memory_order_release);

    d_crlConnectInfo = makeImageConnectInfo(&d_crlImage);
    FileDBCRLStorage::newFile(*d_crlConnectInfo, name);
    d_crlStorage.store(FileDBCRLStorage::connectFile(*d_crlConnectInfo, VELString()), std::memory_order_release);
  } catch (...) {
    disconnectAll(false);
    throw;
  }
}

std::unique_ptr<VELDBConnectInfo::OBJECT> FileDBManager::makeImageConnectInfo(VELString* image) const {
  return std::unique_ptr<VELDBConnectInfo::OBJECT>(
      new VELDBConnectInfo::STRING(VELString(), image, d_connectInfo->getLogicalDBPassword(), VELDBConnectInfo::Open,
                                   VELDBConnectInfo::ReadWrite, nullptr));
}

void FileDBManager::disconnectAll(bool deleteFiles) noexcept {
  VELMutexLocker guard(FileDBStorage::getClassMutex());
  release(d_crlStorage, deleteFiles);
  release(d_keyPairStorage, deleteFiles);
  if (d_sharedStringKey) {
    d_keyStorage.store(nullptr, std::memory_order_release);
    d_sharedStringKey.reset();
  } else {
    release(d_keyStorage, deleteFiles);
  }
}

VELPasswordEncryptor FileDBManager::defaultPassword() {
  return VELPasswordEncryptor(kDefaultPassword, sizeof kDefaultPassword);
}

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

void FileDBManager::enableKey() {
  VEL_TRACE_SCOPE("enableKey");
  if (!isFileConnection() || d_keyStorage.load(std::memory_order_acquire) != nullptr) return;
  refuseInTransaction("a table cannot be enabled inside a transaction");
  VELMutexLocker guard(FileDBStorage::getClassMutex());
  const auto& info = static_cast<const VELDBConnectInfo::FILE&>(*d_connectInfo);
  enableTable(d_keyStorage, info, info.getKeyFileSuffix().str(), nullptr);
}

void FileDBManager::enableKeyPair() {
  VEL_TRACE_SCOPE("enableKeyPair");
  if (!isFileConnection() || d_keyPairStorage.load(std::memory_order_acquire) != nullptr) return;
  refuseInTransaction("a table cannot be enabled inside a transaction");
  VELMutexLocker guard(FileDBStorage::getClassMutex());
  const auto& info = static_cast<const VELDBConnectInfo::FILE&>(*d_connectInfo);
  enableTable(d_keyPairStorage, info, info.getKeyPairFileSuffix().str(), d_keyStorage.load());
}

void FileDBManager::enableCRL() {
  VEL_TRACE_SCOPE("enableCRL");
  if (!isFileConnection() || d_crlStorage.load(std::memory_order_acquire) != nullptr) return;
  refuseInTransaction("a table cannot be enabled inside a transaction");
  VELMutexLocker guard(FileDBStorage::getClassMutex());
  const auto& info = static_cast<const VELDBConnectInfo::FILE&>(*d_connectInfo);
  enableTable(d_crlStorage, info, info.getCRLFileSuffix().str(), d_keyStorage.load());
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
  FileDBKeyStorage* storage = enabledOrThrow(d_keyStorage, VELDBError::kKeyNotEnabled);
  VELMutexLocker guard(storage->getInstanceMutex());
  FileDBIterator& it = downcastIterator(iterator, storage->getInstanceName());
  VELASNKeyRecord* record = storage->getRecordAt(it);
  if (record != nullptr) ++it.d_index;
  return record;
}

VELASNKeyPairRecord* FileDBManager::getKeyPairNextRecord(VELDBIterator& iterator) {
  VEL_TRACE_SCOPE("getKeyPairNextRecord");
  FileDBKeyPairStorage* storage = enabledOrThrow(d_keyPairStorage, VELDBError::kKeyPairNotEnabled);
  VELMutexLocker guard(storage->getInstanceMutex());
  FileDBIterator& it = downcastIterator(iterator, storage->getInstanceName());
  VELASNKeyPairRecord* record = storage->getRecordAt(it);
  if (record != nullptr) ++it.d_index;
  return record;
}

VELASNCRLRecord* FileDBManager::getCRLNextRecord(VELDBIterator& iterator) {
  VEL_TRACE_SCOPE("getCRLNextRecord");
  FileDBCRLStorage* storage = enabledOrThrow(d_crlStorage, VELDBError::kCRLNotEnabled);
  VELMutexLocker guard(storage->getInstanceMutex());
  FileDBIterator& it = downcastIterator(iterator, storage->getInstanceName());
  VELASNCRLRecord* record = storage->getRecordAt(it);
  if (record != nullptr) ++it.d_index;
  return record;
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

// --- settings -------------------------------------------------------------

namespace {

// The enabled tables in the order key, key pair, CRL, as the virtual
// enabled tests answer (a table whose storage is missing is left out).
std::vector<FileDBStorage*> enabledTables(const FileDBManager& manager, FileDBStorage* key, FileDBStorage* keyPair,
                                          FileDBStorage* crl) {
  std::vector<FileDBStorage*> tables;
  if (manager.isKeyEnabled() && key != nullptr) tables.push_back(key);
  if (manager.isKeyPairEnabled() && keyPair != nullptr) tables.push_back(keyPair);
  if (manager.isCRLEnabled() && crl != nullptr) tables.push_back(crl);
  return tables;
}

}  // namespace

std::vector<FileDBStorage*> FileDBManager::enabledTableList() const {
  return enabledTables(*this, d_keyStorage.load(std::memory_order_acquire),
                       d_keyPairStorage.load(std::memory_order_acquire), d_crlStorage.load(std::memory_order_acquire));
}

unsigned char FileDBManager::getDBVersion() {
  VEL_TRACE_SCOPE("getDBVersion");
  const std::vector<FileDBStorage*> tables = enabledTableList();
  if (tables.empty()) return 0;
  VELMutexLocker guard(tables.front()->getInstanceMutex());
  return tables.front()->getMajorVersion();
}

bool FileDBManager::hasDBPasswordExpired() {
  VEL_TRACE_SCOPE("hasDBPasswordExpired");
  const std::vector<FileDBStorage*> tables = enabledTableList();
  if (tables.empty()) return false;
  VELMutexLocker guard(tables.front()->getInstanceMutex());
  return tables.front()->hasPasswordExpired();
}

long long FileDBManager::getDBPasswordExpirationTime() {
  VEL_TRACE_SCOPE("getDBPasswordExpirationTime");
  const std::vector<FileDBStorage*> tables = enabledTableList();
  if (tables.empty()) return 0;
  VELMutexLocker guard(tables.front()->getInstanceMutex());
  return tables.front()->getPasswordExpirationTime();
}

VELString FileDBManager::getDBLabel() const {
  VEL_TRACE_SCOPE("getDBLabel");
  FileDBStorage* key = d_keyStorage.load(std::memory_order_acquire);
  const std::vector<FileDBStorage*> tables = enabledTableList();
  if (tables.empty()) return VELString();
  FileDBStorage* table = tables.front();
  VELMutexLocker guard(table->getInstanceMutex());
  VELString label = table->getLabel();
  if (table == key && label.empty()) label = table->getFullPathName().str();
  return label;
}

void FileDBManager::setDBPasswordExpirationTime(long long time) {
  VEL_TRACE_SCOPE("setDBPasswordExpirationTime");
  checkWritable();
  const std::vector<FileDBStorage*> tables = enabledTableList();
  // Inside a transaction of this thread the change joins it; otherwise the
  // tables change together, as one transaction of their own.
  bool joining = false;
  for (FileDBStorage* table : tables) {
    VELMutexLocker guard(table->getInstanceMutex());
    joining = joining || table->inTransaction();
  }
  if (joining) {
    for (FileDBStorage* table : tables) {
      VELMutexLocker guard(table->getInstanceMutex());
      table->setPasswordExpirationTime(time);
    }
    return;
  }
  FileDBTransaction transaction(tables);
  for (FileDBStorage* table : tables) table->setPasswordExpirationTime(time);
  transaction.commit();
}

void FileDBManager::setDBLabel(const VELString& label) {
  VEL_TRACE_SCOPE("setDBLabel");
  checkWritable();
  for (FileDBStorage* table : enabledTableList()) {
    VELMutexLocker guard(table->getInstanceMutex());
    table->setLabel(label);
  }
}

void FileDBManager::setDBPassword(const VELPasswordEncryptor& oldPassword, const VELPasswordEncryptor& newPassword,
                                  long long expirationTime) {
  VEL_TRACE_SCOPE("setDBPassword");
  checkWritable();
  VELPasswordEncryptor effectiveOld = defaultPassword();
  if (oldPassword.isPresent() && oldPassword.length() != 0) effectiveOld = oldPassword;
  // A FILE connection replaces an empty password by the default one at
  // connect: a file sealed under an empty password could never be opened.
  if (isFileConnection() && (!newPassword.isPresent() || newPassword.length() == 0)) {
    VELDB_THROW(VELDBError::kBadArgument, "the new password of a database on disk must not be empty");
  }

  // The change holds the class mutex (no connection comes or goes, and no
  // other password change runs) and every table's instance mutex (no record
  // changes between the tables' header changes).  A transaction holds
  // instance mutexes for long and may take the class mutex meanwhile: the
  // instance mutexes are only tried here, and on a refusal the class mutex
  // is given back before trying again.
  VELMutex& classMutex = FileDBStorage::getClassMutex();
  std::vector<FileDBStorage*> tables;
  for (;;) {
    classMutex.lock();
    tables = enabledTableList();
    std::size_t locked = 0;
    while (locked < tables.size() && tables[locked]->getInstanceMutex().tryLock()) ++locked;
    if (locked == tables.size()) break;
    while (locked > 0) tables[--locked]->getInstanceMutex().unlock();
    classMutex.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  struct Unlock {
    VELMutex& classMutex;
    const std::vector<FileDBStorage*>& tables;
    ~Unlock() {
      for (std::size_t i = tables.size(); i > 0; --i) tables[i - 1]->getInstanceMutex().unlock();
      classMutex.unlock();
    }
  } unlock{classMutex, tables};

  // Every table is checked before any changes: tables left with different
  // passwords could no longer be opened together.
  for (FileDBStorage* table : tables) {
    if (table->getConnectInfo().getLogicalDBPassword() != effectiveOld || newPassword == effectiveOld) {
      VELDB_THROW(VELDBError::kBadPassword, "");
    }
  }

  // Inside a transaction of this thread the change joins it: every table's
  // new header commits with the rest of the transaction, or none does (its
  // journals and transaction file open under either password).  A table
  // outside the transaction cannot join it.
  bool joining = false;
  for (FileDBStorage* table : tables) joining = joining || table->inTransaction();
  if (joining) {
    for (FileDBStorage* table : tables) {
      if (!table->inTransaction()) {
        VELDB_THROW(VELDBError::kBadArgument, "the password cannot be changed by a transaction that lacks a table");
      }
    }
    for (FileDBStorage* table : tables) table->setPassword(effectiveOld, newPassword, expirationTime);
    return;
  }

  // The old headers go to a journal first, so that a process that dies
  // between two tables leaves a database that opens with the old password.
  const bool onDisk = isFileConnection() && !tables.empty();
  VELString keyPath;
  if (onDisk) {
    // The journal names each table by its kind; recovery finds the files as
    // an open does.
    const auto& info = static_cast<const VELDBConnectInfo::FILE&>(*d_connectInfo);
    const VELString name = info.getName().str();
    const FileDBPasswordJournal::Paths paths = {
        FileDBBinaryFile::fullPathName(name + info.getKeyFileSuffix().str()),
        FileDBBinaryFile::fullPathName(name + info.getKeyPairFileSuffix().str()),
        FileDBBinaryFile::fullPathName(name + info.getCRLFileSuffix().str())};
    keyPath = paths[FileDBPasswordJournal::kKeyTable];
    std::vector<std::pair<FileDBPasswordJournal::Table, VELBuffer>> headers;
    for (FileDBStorage* table : tables) {
      const FileDBPasswordJournal::Table kind =
          table == d_keyStorage.load(std::memory_order_acquire)       ? FileDBPasswordJournal::kKeyTable
          : table == d_keyPairStorage.load(std::memory_order_acquire) ? FileDBPasswordJournal::kKeyPairTable
                                                                      : FileDBPasswordJournal::kCRLTable;
      headers.emplace_back(kind, table->getHeaderImage());
    }
    FileDBPasswordJournal::write(paths, headers, effectiveOld, newPassword);
  }

  std::vector<std::pair<FileDBStorage*, long long>> previous;
  try {
    for (FileDBStorage* table : tables) {
      previous.emplace_back(table, table->getPasswordExpirationTime());
      table->setPassword(effectiveOld, newPassword, expirationTime);
    }
    if (onDisk) FileDBPasswordJournal::remove(keyPath);
  } catch (...) {
    // Set back every table that took the new password -- the one that
    // failed too, when its change reached the disk before the failure.  The
    // journal goes only when all of them are back; otherwise the next open
    // puts the old headers back.
    bool restored = true;
    for (const auto& entry : previous) {
      try {
        if (entry.first->getConnectInfo().getLogicalDBPassword() != newPassword) continue;
        entry.first->setPassword(newPassword, effectiveOld, entry.second);
      } catch (const VELException& e) {
        e.writeToTrace();
        restored = false;
      } catch (...) {
        restored = false;
      }
    }
    if (onDisk && restored) {
      try {
        FileDBPasswordJournal::remove(keyPath);
      } catch (...) {
        FileDBDropped::trace();
      }
    }
    throw;
  }
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
