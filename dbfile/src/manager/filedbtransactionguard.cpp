#include "filedbtransactionguard.h"

#include "filedbdropped.h"
#include "filedbmanager.h"
#include "velexception.h"

FileDBTransactionGuard::FileDBTransactionGuard(FileDBManager& manager) : d_manager(manager), d_open(false) {
  d_manager.beginTransaction();
  d_open = true;
}

FileDBTransactionGuard::~FileDBTransactionGuard() {
  if (!d_open) return;
  try {
    d_manager.rollbackTransaction();
  } catch (...) {
    FileDBDropped::trace();
  }
}

void FileDBTransactionGuard::commit() {
  if (!d_open) VELDB_THROW(VELDBError::kBadArgument, "the transaction is closed already");
  d_open = false;
  d_manager.commitTransaction();
}

void FileDBTransactionGuard::rollback() {
  if (!d_open) return;
  d_open = false;
  d_manager.rollbackTransaction();
}
