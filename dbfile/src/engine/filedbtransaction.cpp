#include "filedbtransaction.h"

#include <memory>

#include "filedbjournaledfile.h"
#include "velexception.h"
#include "velkry.h"
#include "veltrace.h"

FileDBTransaction::FileDBTransaction(const std::vector<FileDBStorage*>& storages)
    : d_storages(storages), d_locked(0), d_open(false) {
  VEL_TRACE_SCOPE("FileDBTransaction::ctor");
  std::size_t begun = 0;
  try {
    for (FileDBStorage* storage : d_storages) {
      storage->getInstanceMutex().lock();
      ++d_locked;
    }
    const std::shared_ptr<FileDBStorage::TransactionState> state(new FileDBStorage::TransactionState());
    state->members = d_storages;
    for (FileDBStorage* storage : d_storages) {
      storage->beginTransaction(state);
      ++begun;
    }
  } catch (...) {
    for (std::size_t i = 0; i < begun; ++i) d_storages[i]->rollbackTransaction();
    unlock();
    throw;
  }
  d_open = true;
}

FileDBTransaction::~FileDBTransaction() {
  VEL_TRACE_SCOPE("FileDBTransaction::dtor");
  rollback();
}

void FileDBTransaction::unlock() noexcept {
  while (d_locked > 0) d_storages[--d_locked]->getInstanceMutex().unlock();
}

void FileDBTransaction::rollback() noexcept {
  VEL_TRACE_SCOPE("FileDBTransaction::rollback");
  if (d_open) {
    for (FileDBStorage* storage : d_storages) storage->rollbackTransaction();
    d_open = false;
  }
  unlock();
}

void FileDBTransaction::commit() {
  VEL_TRACE_SCOPE("FileDBTransaction::commit");
  if (!d_open) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  VELString transactionFile;
  bool committed = false;
  try {
    std::vector<FileDBStorage*> writers;
    for (FileDBStorage* storage : d_storages) {
      storage->sealTransaction();
      if (storage->transactionWroteToDisk()) writers.push_back(storage);
    }
    if (writers.size() <= 1) {
      // One journal at most: it is the commit point, as for any change.
      for (FileDBStorage* storage : d_storages) storage->commitTransaction();
      committed = true;
    } else {
      unsigned char id[16];
      VELKRYUtility::generateRandomData(id, sizeof id);
      transactionFile = FileDBJournaledFile::transactionPath(writers.front()->getFullPathName(), id);
      // Authenticated under the tables' password as the transaction found
      // it and, when the transaction changed it, under the new one too: a
      // recovery with either password must find out whether it committed.
      std::vector<VELPasswordEncryptor> passwords{writers.front()->getChangePassword()};
      const VELPasswordEncryptor now = writers.front()->getConnectInfo().getLogicalDBPassword();
      if (now != passwords.front()) passwords.push_back(now);
      FileDBJournaledFile::writeTransactionFile(transactionFile, id, passwords);
      for (FileDBStorage* storage : writers) storage->prepareCommit(id);
      FileDBJournaledFile::removeTransactionFile(transactionFile);
      committed = true;
      for (FileDBStorage* storage : d_storages) {
        try {
          storage->finishCommit();
        } catch (const VELException& e) {
          e.writeToTrace();
        }
      }
    }
  } catch (...) {
    if (!committed) {
      for (FileDBStorage* storage : d_storages) storage->rollbackTransaction();
      if (!transactionFile.empty() && FileDBBinaryFile::exists(transactionFile)) {
        try {
          FileDBBinaryFile::remove(transactionFile);
        } catch (const VELException& e) {
          e.writeToTrace();
        }
      }
    }
    d_open = false;
    unlock();
    throw;
  }
  d_open = false;
  unlock();
}
