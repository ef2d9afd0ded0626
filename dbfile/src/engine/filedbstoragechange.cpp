// The change of a storage: its scopes and states, sealing, rollback and
// the transactions built on it.
#include "filedbstorage.h"

#include "filedbdropped.h"
#include "velexception.h"
#include "veltrace.h"

FileDBStorage::ChangeScope::ChangeScope(FileDBStorage& storage)
    : d_storage(storage),
      d_outer(storage.d_change.depth == 0),
      d_done(false),
      d_modifications(0),
      d_purgeOnClose(storage.d_purgeOnClose) {
  if (storage.d_change.state == ChangeState::kAbandoned) {
    VELDB_THROW(VELDBError::kTransactionAbandoned, "the transaction was rolled back after a failure; roll it back to go on-" +
                                        storage.getFullPathName().str());
  }
  storage.d_readAhead.bytes.clear();
  if (d_outer) {
    storage.expectChange(ChangeState::kIdle, "begin");
    // Nothing is written to a file whose hash the open has not checked yet.
    storage.finishOpenHash();
    // A change whose rollback failed (the disk was failing) is rolled back
    // before anything else is written.
    if (storage.d_file->recoverPending()) storage.reloadAfterRollback();
    storage.d_change.password = storage.d_connectInfo->getLogicalDBPassword();
    storage.d_file->beginChange();
    try {
      storage.d_file->protect(0, storage.d_header ? storage.d_header->getSize() : 0);
    } catch (...) {
      storage.d_file->rollbackChange();
      throw;
    }
  }
  d_modifications = storage.d_file->getModificationCount();
  if (d_outer) storage.d_change.state = ChangeState::kOpen;
  ++storage.d_change.depth;
}

void FileDBStorage::ChangeScope::close() {
  if (d_done) return;
  d_done = true;
  leave();
}

void FileDBStorage::ChangeScope::leave() {
  --d_storage.d_change.depth;
  if (d_outer) d_storage.d_change.state = ChangeState::kIdle;
}

void FileDBStorage::ChangeScope::commit() {
  if (d_done) return;
  d_storage.d_readAhead.bytes.clear();  // slots read ahead may be stale now
  if (!d_outer) {
    d_done = true;
    leave();
    return;
  }
  if (d_storage.d_change.state == ChangeState::kAbandoned) {
    VELDB_THROW(VELDBError::kTransactionAbandoned,
                "the transaction was rolled back after a failure-" + d_storage.getFullPathName().str());
  }
  // Sealing writes the header: it belongs to the change.  A failure here
  // leaves the scope open, so that its destructor rolls the change back.
  d_storage.expectChange(ChangeState::kOpen, "commit");
  d_storage.sealPending();
  d_done = true;
  leave();
  try {
    d_storage.d_file->commitChange();
  } catch (...) {
    // Not known to be durable: take it back, so the caller's failure is true.
    try {
      d_storage.d_file->rollbackChange();
      d_storage.reloadAfterRollback();
    } catch (...) {
      FileDBDropped::trace();
    }
    throw;
  }
}

FileDBStorage::ChangeScope::~ChangeScope() {
  d_storage.d_readAhead.bytes.clear();
  if (d_done) return;
  const bool abandoned = d_storage.d_change.state == ChangeState::kAbandoned;
  leave();
  const bool wrote = d_storage.d_file->getModificationCount() != d_modifications;
  if (!d_outer) {
    // A part that wrote and failed: the change cannot be kept without it.
    if (wrote && !abandoned) d_storage.abandonChange();
    return;
  }
  const bool dirty = wrote || d_storage.d_change.sealPending;
  // Deleted slots of a change rolled back are live again: nothing to compact.
  d_storage.d_purgeOnClose = d_purgeOnClose;
  d_storage.d_change.sealPending = false;
  d_storage.d_change.saltPending = false;
  if (abandoned) {
    // Rolled back and reloaded already -- unless the disk failed that
    // rollback too: then its journal is applied now.
    try {
      if (d_storage.d_file->recoverPending()) d_storage.reloadAfterRollback();
    } catch (...) {
      FileDBDropped::trace();
    }
    return;
  }
  try {
    d_storage.d_file->rollbackChange();
    // A refusal found before anything was written costs nothing more.
    if (dirty) d_storage.reloadAfterRollback();
  } catch (...) {
    FileDBDropped::trace();
  }
}

void FileDBStorage::expectChange(ChangeState state, const char* step) const {
  if (d_change.state != state) {
    VELDB_THROW(VELDBError::kBadArgument, VELString("internal error: the change cannot ") + step + " in its state-" +
                                              getFullPathName().str());
  }
}

void FileDBStorage::abandonChange() noexcept {
  VEL_TRACE_SCOPE("abandonChange");
  if (d_change.state == ChangeState::kAbandoned) return;
  if (d_transaction.shared && !d_transaction.shared->failed) {
    // The other tables of the transaction cannot keep their part either.
    d_transaction.shared->failed = true;
    for (FileDBStorage* member : d_transaction.shared->members) {
      if (member != this) member->abandonChange();
    }
  }
  d_change.sealPending = false;
  d_change.saltPending = false;
  d_change.state = ChangeState::kAbandoned;
  try {
    if (d_transaction.image) {
      d_file->setPosition(0);
      d_file->write(*d_transaction.image);
      d_file->setSize(d_transaction.image->size());
    }
    d_file->rollbackChange();
    reloadAfterRollback();
  } catch (...) {
    FileDBDropped::trace();
  }
}

void FileDBStorage::reloadAfterRollback() {
  VEL_TRACE_SCOPE("reloadAfterRollback");
  if (d_change.closing) return;
  if (d_file->isInMemory() && !d_transaction.image) return;
  // A change rolled back takes back the password it set: the file has the
  // one it had when the change began.
  if (d_change.password.isPresent()) d_connectInfo->setLogicalDBPassword(d_change.password);
  std::unique_ptr<FileDBHeader> header = readHeaderLike(*d_file);
  header->validateConstants();
  header->validateMajorVersion();
  d_header = std::move(header);
  checkSize();
  const std::uint32_t length = d_header->getFixedRecordLength();
  if (d_readBuffer->getCapacity() != length) {
    d_readBuffer.reset(new FileDBBuffer(length));
    d_writeBuffer.reset(new FileDBBuffer(length));
  }
  // The slots are the file's again: the table's indexes are rebuilt before
  // it uses them next.
  ++d_slotGeneration;
}

// --- transactions ----------------------------------------------------------

void FileDBStorage::beginTransaction(const std::shared_ptr<TransactionState>& state) {
  VEL_TRACE_SCOPE("beginTransaction");
  if (d_transaction.scope) VELDB_THROW(VELDBError::kBadArgument, "a transaction is open on this table already");
  if (d_change.state != ChangeState::kIdle) VELDB_THROW(VELDBError::kBadArgument, "a change is under way on this table");
  std::unique_ptr<VELString> image;
  if (d_file->isInMemory()) {
    image.reset(new VELString());
    d_file->setPosition(0);
    d_file->read(*image, d_file->getSize());
  }
  d_transaction.scope.reset(new ChangeScope(*this));
  d_transaction.modifications = d_file->getModificationCount();
  d_transaction.image = std::move(image);
  d_transaction.shared = state;
}

void FileDBStorage::sealTransaction() {
  if (!d_transaction.scope) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  if (d_change.state == ChangeState::kAbandoned) {
    VELDB_THROW(VELDBError::kTransactionAbandoned, "the transaction was rolled back after a failure-" + getFullPathName().str());
  }
  sealPending();
}

bool FileDBStorage::transactionWroteToDisk() const {
  return d_transaction.scope && !d_file->isInMemory() && d_file->getModificationCount() != d_transaction.modifications;
}

void FileDBStorage::commitTransaction() {
  if (!d_transaction.scope) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  const std::unique_ptr<ChangeScope> scope = std::move(d_transaction.scope);
  d_transaction.image.reset();
  d_transaction.shared.reset();
  scope->commit();
}

bool FileDBStorage::prepareCommit(const unsigned char* transactionID) {
  if (!d_transaction.scope) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  return d_file->prepareCommit(transactionID);
}

void FileDBStorage::finishCommit() {
  if (!d_transaction.scope) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  const std::unique_ptr<ChangeScope> scope = std::move(d_transaction.scope);
  d_transaction.image.reset();
  d_transaction.shared.reset();
  d_readAhead.bytes.clear();
  // Past the commit point: the change stands whatever happens below.
  scope->close();
  d_file->finishCommit();
}

void FileDBStorage::rollbackTransaction() noexcept {
  VEL_TRACE_SCOPE("rollbackTransaction");
  if (!d_transaction.scope) return;
  if (d_transaction.image && d_change.state != ChangeState::kAbandoned && d_file->getModificationCount() != d_transaction.modifications) {
    try {
      d_file->setPosition(0);
      d_file->write(*d_transaction.image);
      d_file->setSize(d_transaction.image->size());
    } catch (...) {
      FileDBDropped::trace();
    }
  }
  d_transaction.scope.reset();  // the scope rolls back the file and reloads
  d_transaction.image.reset();
  d_transaction.shared.reset();
}

// --- sealing ---------------------------------------------------------------

void FileDBStorage::resealHeader() {
  ChangeScope change(*this);
  d_change.saltPending = true;
  d_change.sealPending = true;
  change.commit();
}

void FileDBStorage::sealPending() {
  if (!d_change.sealPending) return;
  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();
  if (d_change.saltPending) d_header->setPasswordHeaderHash(password);
  d_header->setPasswordDatabaseHash(*d_file, password);
  d_header->persist(*d_file);
  d_change.sealPending = false;
  d_change.saltPending = false;
}

void FileDBStorage::incrRecordsAllocated() {
  ChangeScope change(*this);
  VEL_TRACE_SCOPE("incrRecordsAllocated");
  d_header->setRecordsAllocated(d_header->getRecordsAllocated() + 1);
  resealHeader();
  change.commit();
}
