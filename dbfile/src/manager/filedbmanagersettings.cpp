// The settings every table of a database shares: version, label, password
// and its expiry.  They change together, or none does.

#include "filedbmanager.h"

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "filedbcrlstorage.h"
#include "filedbdropped.h"
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

// `call` on the first of `tables` under its instance mutex (the tables
// share their settings); `none` when no table is enabled.
template <class RESULT, class CALL>
RESULT onFirstTable(const std::vector<FileDBStorage*>& tables, RESULT none, CALL call) {
  if (tables.empty()) return none;
  VELMutexLocker guard(tables.front()->getInstanceMutex());
  return call(*tables.front());
}

// Holds the class mutex (no connection comes or goes, and no other password
// change runs) and the instance mutex of every table `list()` gives (no
// record changes between the tables' header changes).  A transaction holds
// instance mutexes for long and may take the class mutex meanwhile: the
// instance mutexes are only tried here, and on a refusal the class mutex is
// given back before trying again.
class AllTablesLocked {
 public:
  template <class LIST>
  explicit AllTablesLocked(LIST list) : d_classMutex(FileDBStorage::getClassMutex()) {
    for (;;) {
      d_classMutex.lock();
      d_tables = list();
      std::size_t locked = 0;
      while (locked < d_tables.size() && d_tables[locked]->getInstanceMutex().tryLock()) ++locked;
      if (locked == d_tables.size()) return;
      while (locked > 0) d_tables[--locked]->getInstanceMutex().unlock();
      d_classMutex.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~AllTablesLocked() {
    for (std::size_t i = d_tables.size(); i > 0; --i) d_tables[i - 1]->getInstanceMutex().unlock();
    d_classMutex.unlock();
  }
  AllTablesLocked(const AllTablesLocked&) = delete;
  AllTablesLocked& operator=(const AllTablesLocked&) = delete;

  const std::vector<FileDBStorage*>& tables() const { return d_tables; }

 private:
  VELMutex& d_classMutex;
  std::vector<FileDBStorage*> d_tables;
};

// Sets back every table of `changed` that took `newPassword`, with the
// expiry it had.  True when all of them are back.
bool setBackPasswords(const std::vector<std::pair<FileDBStorage*, long long>>& changed,
                      const VELPasswordEncryptor& newPassword, const VELPasswordEncryptor& oldPassword) {
  bool restored = true;
  for (const auto& entry : changed) {
    try {
      if (entry.first->getConnectInfo().getLogicalDBPassword() != newPassword) continue;
      entry.first->setPassword(newPassword, oldPassword, entry.second);
    } catch (const VELException& e) {
      e.writeToTrace();
      restored = false;
    } catch (...) {
      FileDBDropped::trace();
      restored = false;
    }
  }
  return restored;
}

}  // namespace

std::vector<FileDBStorage*> FileDBManager::enabledTableList() const {
  return enabledTables(*this, d_keyStorage.load(std::memory_order_acquire),
                       d_keyPairStorage.load(std::memory_order_acquire), d_crlStorage.load(std::memory_order_acquire));
}

unsigned char FileDBManager::getDBVersion() {
  VEL_TRACE_SCOPE("getDBVersion");
  return onFirstTable(enabledTableList(), static_cast<unsigned char>(0), [](FileDBStorage& table) { return table.getMajorVersion(); });
}

bool FileDBManager::hasDBPasswordExpired() {
  VEL_TRACE_SCOPE("hasDBPasswordExpired");
  return onFirstTable(enabledTableList(), false, [](FileDBStorage& table) { return table.hasPasswordExpired(); });
}

long long FileDBManager::getDBPasswordExpirationTime() {
  VEL_TRACE_SCOPE("getDBPasswordExpirationTime");
  return onFirstTable(enabledTableList(), static_cast<long long>(0), [](FileDBStorage& table) { return table.getPasswordExpirationTime(); });
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

  const AllTablesLocked locked([this] { return enabledTableList(); });
  const std::vector<FileDBStorage*>& tables = locked.tables();

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
  // The journal names each table by its kind; recovery finds the files as
  // an open does.
  const bool onDisk = isFileConnection() && !tables.empty();
  const FileDBPasswordJournal::Paths paths = onDisk ? fileDBTablePaths(*d_connectInfo) : FileDBPasswordJournal::Paths();
  const VELString& keyPath = paths[FileDBPasswordJournal::kKeyTable];
  if (onDisk) {
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

  std::vector<std::pair<FileDBStorage*, long long>> changed;
  try {
    for (FileDBStorage* table : tables) {
      changed.emplace_back(table, table->getPasswordExpirationTime());
      table->setPassword(effectiveOld, newPassword, expirationTime);
    }
    if (onDisk) FileDBPasswordJournal::remove(keyPath);
  } catch (...) {
    // Set back every table that took the new password -- the one that
    // failed too, when its change reached the disk before the failure.  The
    // journal goes only when all of them are back; otherwise the next open
    // puts the old headers back.
    if (setBackPasswords(changed, newPassword, effectiveOld) && onDisk) {
      try {
        FileDBPasswordJournal::remove(keyPath);
      } catch (...) {
        FileDBDropped::trace();
      }
    }
    throw;
  }
}
