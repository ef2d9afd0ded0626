// Connecting a manager to its tables and giving them back: the FILE and
// STRING databases, duplicates, and tables enabled later.

#include "filedbmanager.h"

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "filedbbinaryfile.h"
#include "filedbcrlstorage.h"
#include "filedbdropped.h"
#include "filedbjournaledfile.h"
#include "filedbkeypairstorage.h"
#include "filedbkeystorage.h"
#include "filedbpasswordjournal.h"
#include "filedbstorage.h"
#include "filedbtablepaths.h"
#include "filedbtransaction.h"
#include "velexception.h"
#include "velmutex.h"
#include "veltrace.h"

namespace {

const unsigned char kDefaultPassword[10] = {0x4E, 0x21, 0x7A, 0x05, 0x33, 0x68, 0x0B, 0x52, 0x19, 0x6D};

bool isCreateType(const VELDBConnectInfo::OBJECT& info) {
  const int type = static_cast<int>(info.getConnectType());
  return type == 0 || type == 2;
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
// `suffix` names the table's file among the database's.
template <class STORAGE>
void enableTable(std::atomic<STORAGE*>& slot, const VELDBConnectInfo::OBJECT& connectInfo,
                 const VELConstString& (VELDBConnectInfo::FILE::*suffix)() const, FileDBStorage* sibling) {
  const auto& info = static_cast<const VELDBConnectInfo::FILE&>(connectInfo);
  VELMutexLocker guard(FileDBStorage::getClassMutex());
  // Checked under the class mutex: two threads enabling the same table of
  // one manager must not both connect (one connection would never be given
  // back, keeping the file open and locked).
  if (slot.load(std::memory_order_acquire) != nullptr) return;
  const VELString path = FileDBBinaryFile::fullPathName(info.getName().str() + (info.*suffix)().str());
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

// A password change that a dead process left half done is rolled back
// before the tables are opened, so that they agree on one password again,
// by a read-write open that gives either password of the change.  A
// read-only open writes nothing: it reads each table with the header the
// rollback would put back (into `committedHeaders`).  A password journal
// that cannot be trusted is left in place and its refusal returned; it
// stops the open only when the key table does not open as it stands.
std::unique_ptr<VELDBException> settlePasswordJournal(const FileDBPasswordJournal::Paths& paths,
                                                      const VELDBConnectInfo::OBJECT& info,
                                                      std::map<VELString, VELBuffer>& committedHeaders) {
  const VELString& keyPath = paths[FileDBPasswordJournal::kKeyTable];
  if (!FileDBBinaryFile::exists(FileDBPasswordJournal::path(keyPath))) return nullptr;
  const bool readOnly = info.getAccessMode() != VELDBConnectInfo::ReadWrite;
  FileDBPasswordJournal::Outcome outcome = FileDBPasswordJournal::Outcome::kNone;
  try {
    outcome = readOnly ? FileDBPasswordJournal::committedHeaders(paths, info.getLogicalDBPassword(), committedHeaders)
                       : FileDBPasswordJournal::recover(paths, info.getLogicalDBPassword());
  } catch (const VELDBException& e) {
    // Not made under this password for this database, of an earlier
    // layout, or not describing these tables: never applied.
    if (e.getError() != VELDBError::kBadPassword && e.getError() != VELDBError::kBadFormat) throw;
    e.writeToTrace();
    committedHeaders.clear();
    return std::unique_ptr<VELDBException>(new VELDBException(e));
  }
  if (outcome == FileDBPasswordJournal::Outcome::kRestoredWithNew) {
    VELDB_THROW(VELDBError::kBadPassword,
                readOnly ? "a password change of this database was interrupted before it committed: the database "
                           "still has the password it had before the change (a read-write open with either "
                           "password completes the rollback)-" + keyPath
                         : "an interrupted password change was rolled back: the database has the password it had "
                           "before the change-" + keyPath);
  }
  return nullptr;
}

// Makes the three table files of a new database.  A create that fails half
// way removes the files it made, so that the caller can try again.
void createTables(const FileDBPasswordJournal::Paths& paths, const VELDBConnectInfo::OBJECT& info) {
  for (const VELString& path : paths) {
    if (FileDBBinaryFile::exists(path)) VELDB_THROW(VELDBError::kFileExists, "");
  }
  std::vector<const VELString*> made;
  try {
    FileDBKeyStorage::newFile(info, paths[FileDBPasswordJournal::kKeyTable]);
    made.push_back(&paths[FileDBPasswordJournal::kKeyTable]);
    FileDBKeyPairStorage::newFile(info, paths[FileDBPasswordJournal::kKeyPairTable]);
    made.push_back(&paths[FileDBPasswordJournal::kKeyPairTable]);
    FileDBCRLStorage::newFile(info, paths[FileDBPasswordJournal::kCRLTable]);
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

// A CRL table that cannot be used (missing, damaged, sealed under another
// password) does not stop the database; the caller is told in `notices`
// which table was left out and why.
FileDBCRLStorage* connectCRLTable(const VELDBConnectInfo::OBJECT& info, const VELString& path,
                                  std::vector<VELString>& notices) {
  try {
    return FileDBCRLStorage::connectFile(info, path);
  } catch (const VELException& e) {
    e.writeToTrace();
    if (FileDBBinaryFile::exists(path)) {
      notices.push_back("CRL table left out (" + path + "): " + e.what());
      VEL_TRACE_WRITE(8, VELTraceLevel::kError, notices.back());
    }
  } catch (...) {
    FileDBDropped::trace();
  }
  return nullptr;
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
  const FileDBPasswordJournal::Paths paths = fileDBTablePaths(*d_connectInfo);
  const VELString& keyPath = paths[FileDBPasswordJournal::kKeyTable];
  const VELString& keyPairPath = paths[FileDBPasswordJournal::kKeyPairTable];
  const VELString& crlPath = paths[FileDBPasswordJournal::kCRLTable];

  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();
  if (!password.isPresent() || password.length() == 0) d_connectInfo->setLogicalDBPassword(defaultPassword());

  std::map<VELString, VELBuffer> committedHeaders;
  std::unique_ptr<VELDBException> passwordJournalRefused;
  if (FileDBStorage::findFileMap(keyPath) == nullptr) {
    passwordJournalRefused = settlePasswordJournal(paths, *d_connectInfo, committedHeaders);
  }
  const FileDBStorage::CommittedHeaders committed(committedHeaders);

  if (isCreateType(*d_connectInfo)) createTables(paths, *d_connectInfo);

  FileDBKeyStorage* key = nullptr;
  FileDBKeyPairStorage* keyPair = nullptr;
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
  FileDBCRLStorage* crl = connectCRLTable(*d_connectInfo, crlPath, d_openNotices);
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

void FileDBManager::enableKey() {
  VEL_TRACE_SCOPE("enableKey");
  if (!isFileConnection() || d_keyStorage.load(std::memory_order_acquire) != nullptr) return;
  refuseInTransaction("a table cannot be enabled inside a transaction");
  enableTable(d_keyStorage, *d_connectInfo, &VELDBConnectInfo::FILE::getKeyFileSuffix, nullptr);
}

void FileDBManager::enableKeyPair() {
  VEL_TRACE_SCOPE("enableKeyPair");
  if (!isFileConnection() || d_keyPairStorage.load(std::memory_order_acquire) != nullptr) return;
  refuseInTransaction("a table cannot be enabled inside a transaction");
  enableTable(d_keyPairStorage, *d_connectInfo, &VELDBConnectInfo::FILE::getKeyPairFileSuffix, d_keyStorage.load());
}

void FileDBManager::enableCRL() {
  VEL_TRACE_SCOPE("enableCRL");
  if (!isFileConnection() || d_crlStorage.load(std::memory_order_acquire) != nullptr) return;
  refuseInTransaction("a table cannot be enabled inside a transaction");
  enableTable(d_crlStorage, *d_connectInfo, &VELDBConnectInfo::FILE::getCRLFileSuffix, d_keyStorage.load());
}
