#include "filedbstorage.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <map>

#include "filedbdropped.h"
#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "filedbjournaledfile.h"
#include "filedbstorageregistry.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltrace.h"

namespace {

// The header keeps an expiration time in 32 bits.  A time it cannot hold is
// refused: cut to 32 bits, 2^32 would become 0, "never expires".
void checkExpirationTime(long long time) {
  if (time < 0 || time > 0xFFFFFFFFLL) {
    VELDB_THROW_EXTRA(VELDBError::kBadArgument, "expiration time out of range (0 to 4294967295)", time);
  }
}

std::unique_ptr<FileDBBinaryFile> makeFileObject(const VELDBConnectInfo::OBJECT& connectInfo) {
  if (connectInfo.isKindOf(VELDBConnectInfo::STRING::getClassName())) {
    const auto& stringInfo = static_cast<const VELDBConnectInfo::STRING&>(connectInfo);
    return std::unique_ptr<FileDBBinaryFile>(
        new StringDBBinaryFile(stringInfo.getString(), connectInfo.getAccessMode()));
  }
  return std::unique_ptr<FileDBBinaryFile>(new FileDBBinaryFile());
}

}  // namespace

// A scratch file for a whole-file rewrite.  An in-memory database is never
// copied to disk: its scratch lives in memory too.
struct FileDBStorage::TempFile {
  VELString image;
  std::unique_ptr<FileDBBinaryFile> file;

  explicit TempFile(const FileDBBinaryFile& like) {
    if (like.isInMemory()) {
      file.reset(new StringDBBinaryFile(&image, VELDBConnectInfo::ReadWrite));
    } else {
      file.reset(new FileDBBinaryFile());
      file->openTmpFile();
    }
  }
};

// --- opening -------------------------------------------------------------

FileDBStorage::FileDBStorage(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName)
    : d_connectInfo(connectInfo.duplicate()), d_lastRecordID(0), d_purgeOnClose(false) {
  VEL_TRACE_SCOPE("FileDBStorage::ctor");
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  if (d_connectInfo->isKindOf(VELDBConnectInfo::STRING::getClassName())) {
    d_file = makeFileObject(*d_connectInfo);
  } else if (d_connectInfo->getAccessMode() == VELDBConnectInfo::ReadWrite) {
    // Journals are made under the password the table has when a change
    // begins, and recovered under the one this connection gives.
    d_file.reset(new FileDBJournaledFile(fileName, [this] { return d_connectInfo->getLogicalDBPassword(); }));
    d_unboundJournal = FileDBJournaledFile::recover(*d_file, FileDBJournaledFile::journalPath(fileName),
                                                    d_connectInfo->getLogicalDBPassword(), &d_journalNotApplied) ==
                       FileDBJournaledFile::Recovery::kUnbound;
  } else {
    // A read-only open never writes: it reads the table as its last
    // committed state, through the journal of an interrupted change.
    d_file = FileDBJournaledFile::openCommitted(fileName, d_connectInfo->getLogicalDBPassword(),
                                                committedHeader(fileName), &d_journalNotApplied);
  }

  try {
    // A file too short for any header holds no table: most likely a create
    // that died before this build wrote new files whole.  Said so, with the
    // number the header's read would give (kRead, the bytes there as extra).
    const std::uint64_t size = d_file->getSize();
    if (size < FileDBHeaderV3::kHeaderSize && !d_file->isInMemory()) {
      VELDB_THROW_EXTRA(VELDBError::kRead,
                        fileName + ": " + (size == 0 ? "the file is empty" : "the file is too short for a table header") +
                            ": no table is in it (a create that did not finish leaves such a file); remove it and "
                            "create the table again",
                        static_cast<long long>(size));
    }
    std::unique_ptr<FileDBHeader> header(new FileDBHeaderV3(factory, *d_file));
    try {
      header->validateConstants();
      header->validateMajorVersion();
    } catch (const VELDBException& e) {
      e.writeToTrace();
      VEL_TRACE_WRITE(8, VELTraceLevel::kError, "Exception attaching to V3 KDB.");
      header.reset(new FileDBHeaderV4(factory, *d_file));
      header->validateConstants();
      header->validateMajorVersion();
    }
    if (d_connectInfo->getConnectType() == VELDBConnectInfo::OpenV4 && !header->isKindOf("FileDBHeaderV4")) {
      VELDB_THROW(VELDBError::kBadMajorVersion, "");
    }
    const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();
    header->validatePasswordHeaderHash(password);
    d_header = std::move(header);
    // The size is checked before the database hash reads the slots, so that a
    // crafted slot count or record length costs nothing.  Both failures carry
    // the same number.
    checkSize();
    // The database hash is checked on the pass that builds the indexes (see
    // `openTable`).
    d_openHash = d_header->startDatabaseHash(password);
    d_openHashedTo = d_header->getSize();
  } catch (const VELDBException& e) {
    refuseWithJournal(e);
    throw;
  }
  const std::uint32_t length = d_header->getFixedRecordLength();
  d_readBuffer.reset(new FileDBBuffer(length));
  d_writeBuffer.reset(new FileDBBuffer(length));
}

std::uint32_t FileDBStorage::openTable() {
  VEL_TRACE_SCOPE("openTable");
  try {
    validateMinorVersionNumber();
    validateFileType();
    const std::uint32_t highestRecordID = buildIndexes();
    finishOpenHash();
    // The table verifies as it stands.  A journal made under its password
    // that the change which left it so did not make is of no use to it (a
    // copy from elsewhere or from an earlier change, or one whose binding
    // records a power loss took under SyncOff): a read-write open removes
    // it.  One not made under this password is left to whoever made it.
    if (d_unboundJournal) {
      const VELString journal = FileDBJournaledFile::journalPath(getFullPathName().str());
      try {
        FileDBBinaryFile::remove(journal);
        d_journalNotApplied += " (removed: the table verifies without it)";
      } catch (const VELDBException& e) {
        e.writeToTrace();
      }
      d_unboundJournal = false;
    }
    return highestRecordID;
  } catch (const VELDBException& e) {
    // An open that fails must not compact the file on its way out.
    d_purgeOnClose = false;
    if (d_openHash) {
      try {
        finishOpenHash();
      } catch (const VELDBException& hash) {
        if (hash.getError() == VELDBError::kHashMismatch) {
          refuseWithJournal(hash);
          throw;
        }
      }
    }
    refuseWithJournal(e);
    throw;
  } catch (...) {
    d_purgeOnClose = false;
    throw;
  }
}

void FileDBStorage::refuseWithJournal(const VELDBException& e) const {
  if (d_journalNotApplied.empty()) return;
  VELDB_THROW(e.getError(), VELString("the table does not verify as it stands (") + e.getMessage() +
                                "), and the journal beside it cannot be trusted to restore it: " + d_journalNotApplied);
}

namespace {
thread_local const std::map<VELString, VELBuffer>* t_committedHeaders = nullptr;
}  // namespace

FileDBStorage::CommittedHeaders::CommittedHeaders(const std::map<VELString, VELBuffer>& headers)
    : d_previous(t_committedHeaders) {
  t_committedHeaders = &headers;
}

FileDBStorage::CommittedHeaders::~CommittedHeaders() { t_committedHeaders = d_previous; }

const VELBuffer* FileDBStorage::committedHeader(const VELString& fileName) {
  if (t_committedHeaders == nullptr) return nullptr;
  const auto it = t_committedHeaders->find(fileName);
  return it == t_committedHeaders->end() ? nullptr : &it->second;
}

void FileDBStorage::finishOpenHash() {
  if (!d_openHash) return;
  const std::unique_ptr<FileDBHeader::DatabaseHasher> hasher = std::move(d_openHash);
  const std::uint64_t end = slotPosition(d_header->getRecordsAllocated());
  if (d_openHashedTo < end) {
    constexpr std::uint64_t kBlock = 1u << 20;
    std::vector<unsigned char> block(static_cast<std::size_t>(std::min(kBlock, end - d_openHashedTo)));
    d_file->setPosition(d_openHashedTo);
    while (d_openHashedTo < end) {
      const std::uint64_t n = std::min<std::uint64_t>(block.size(), end - d_openHashedTo);
      d_file->read(static_cast<void*>(block.data()), n);
      hasher->update(block.data(), n);
      d_openHashedTo += n;
    }
  }
  if (!d_header->databaseHashMatches(hasher->finish())) VELDB_THROW(VELDBError::kHashMismatch, "");
}

void FileDBStorage::requireFileType(const unsigned char* type) const {
  VEL_TRACE_SCOPE("validateFileType");
  if (d_header->getFileType() != VELBuffer(type, FileDBHeader::kFileTypeSize)) VELDB_THROW(VELDBError::kBadFormat, "");
}

void FileDBStorage::checkSize() const {
  const std::uint64_t slots = d_header->getRecordsAllocated();
  const std::uint64_t length = d_header->getFixedRecordLength();
  if (length == 0 && slots > 0) VELDB_THROW(VELDBError::kHashMismatch, "record length 0");
  if (length > FileDBBinaryFile::kMaxFileSize || (slots == 0 && length > kMaxEmptyRecordLength)) {
    VELDB_THROW_EXTRA(VELDBError::kHashMismatch, "record length out of range", length);
  }
  const std::uint64_t expected = slots * length + d_header->getSize();  // cannot overflow: both < 2^32
  const std::uint64_t actual = d_file->getSize();
  if (expected != actual) VELDB_THROW_EXTRA(VELDBError::kHashMismatch, "file size", static_cast<long long>(actual));
}

FileDBStorage::~FileDBStorage() {
  VEL_TRACE_SCOPE("FileDBStorage::dtor");
  d_destroying = true;
  if (d_purgeOnClose) {
    try {
      purge();
    } catch (...) {
      FileDBDropped::trace();
    }
  }
}

// --- new file --------------------------------------------------------------

void FileDBStorage::newFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName,
                            unsigned char minorVersion, const unsigned char* fileType) {
  VEL_TRACE_SCOPE("newFile");
  if (fileType == nullptr) VELDB_THROW(VELDBError::kBadArgument, "file type");
  std::unique_ptr<FileDBBinaryFile> file = makeFileObject(connectInfo);
  const VELKRYAlgorithmFactory* factory = connectInfo.getAlgorithmFactory();
  const VELDBConnectInfo::ConnectType type = connectInfo.getConnectType();
  std::unique_ptr<FileDBHeader> header;
  if (type == VELDBConnectInfo::CreateV4 || type == VELDBConnectInfo::OpenV4) {
    header.reset(new FileDBHeaderV4(factory));
  } else {
    header.reset(new FileDBHeaderV3(factory));
  }
  header->setMinorVersionNumber(minorVersion);
  header->setFileType(fileType);
  // A length asked for at creation must hold a slot's fixed fields and stay
  // within what an open accepts for a file without slots.
  const std::uint32_t asked = connectInfo.getInitialRecordLength();
  if (asked != 0 && (asked < kMinInitialRecordLength || asked > kMaxEmptyRecordLength)) {
    VELDB_THROW_EXTRA(VELDBError::kBadArgument, "initial record length", asked);
  }
  header->setFixedRecordLength(asked != 0 ? asked : kInitialRecordLength);
  const VELPasswordEncryptor password = connectInfo.getLogicalDBPassword();
  if (file->isInMemory()) {
    file->openNew(fileName);
    header->setPasswordHeaderHash(password);
    header->setPasswordDatabaseHash(*file, password);
    header->persist(*file);
    return;
  }
  // On disk the file appears whole or not at all: it is written and synced
  // under a name of its own, then renamed into place and its directory
  // synced (each sync as VELFILEDB_SYNC asks).  A file cut short by a crash
  // can then never stand where a table is expected.
  if (FileDBBinaryFile::exists(fileName)) VELDB_THROW(VELDBError::kFileExists, "vel_openExclusive-" + fileName);
  const VELString scratch = fileName + "-new";
  if (FileDBBinaryFile::exists(scratch)) FileDBBinaryFile::remove(scratch);  // a create that died
  const FileDBJournaledFile::SyncMode sync = FileDBJournaledFile::syncMode();
  try {
    file->openNew(scratch);
    header->setPasswordHeaderHash(password);
    header->setPasswordDatabaseHash(*file, password);
    header->persist(*file);
    if (sync != FileDBJournaledFile::SyncOff) file->sync();
    file->close();
    FileDBBinaryFile::rename(scratch, fileName);
  } catch (...) {
    try {
      file->close();
    } catch (...) {
      FileDBDropped::trace();
    }
    if (FileDBBinaryFile::exists(scratch)) {
      try {
        FileDBBinaryFile::remove(scratch);
      } catch (...) {
        FileDBDropped::trace();
      }
    }
    throw;
  }
  if (sync != FileDBJournaledFile::SyncOff) FileDBBinaryFile::syncDirectory(fileName);
}

void FileDBStorage::newFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo, const VELString& fileName,
                            unsigned char minorVersion, const unsigned char* fileType) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  newFile(*connectInfo, fileName, minorVersion, fileType);
}

// --- sharing ---------------------------------------------------------------

FileDBStorage* FileDBStorage::connectFile(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName,
                                          const VELString& className) {
  VEL_TRACE_SCOPE("connectFile");
  FileDBStorage* storage = findFileMap(fileName);
  if (storage == nullptr) return nullptr;
  if (connectInfo.getLogicalDBPassword() != storage->d_connectInfo->getLogicalDBPassword()) {
    VELDB_THROW(VELDBError::kBadPassword, "the file is open in this process under another password-" + fileName);
  }
  if (connectInfo.getAccessMode() == VELDBConnectInfo::ReadWrite &&
      storage->d_connectInfo->getAccessMode() != VELDBConnectInfo::ReadWrite) {
    VELDB_THROW(VELDBError::kLock, "the file is open read-only in this process: no read-write connection can share "
                                   "it until it is closed-" + fileName);
  }
  insertFileMap(fileName, storage, className);
  return storage;
}

FileDBStorage* FileDBStorage::connectFile(const std::unique_ptr<VELDBConnectInfo::OBJECT>& connectInfo,
                                          const VELString& fileName, const VELString& className) {
  if (!connectInfo) VELDB_THROW(VELDBError::kBadArgument, "connect info");
  return connectFile(*connectInfo, fileName, className);
}

FileDBStorage* FileDBStorage::connectTable(const VELDBConnectInfo::OBJECT& connectInfo, const VELString& fileName,
                                           const VELString& className, const std::function<FileDBStorage*()>& make) {
  if (!connectInfo.isKindOf(VELDBConnectInfo::FILE::getClassName())) return make();
  FileDBStorage* shared = connectFile(connectInfo, fileName, className);
  if (shared != nullptr) return shared;
  FileDBStorage* storage = make();
  try {
    insertFileMap(fileName, storage, className);
  } catch (...) {
    delete storage;
    throw;
  }
  return storage;
}

void FileDBStorage::disconnectTable(FileDBStorage* storage, bool deleteFile) noexcept {
  if (storage == nullptr) return;
  try {
    const VELString name = storage->getFullPathName();
    const bool shared = storage->getConnectInfo().isKindOf(VELDBConnectInfo::FILE::getClassName());
    // Storages of string connections are never in the map.
    const std::uint64_t remaining = shared ? removeFileMap(name) : 0;
    if (remaining != 0) return;
    delete storage;
    if (deleteFile && shared) {
      FileDBBinaryFile::remove(name);
      const VELString journal = FileDBJournaledFile::journalPath(name);
      if (FileDBBinaryFile::exists(journal)) FileDBBinaryFile::remove(journal);
    }
  } catch (...) {
    FileDBDropped::trace();
  }
}

void FileDBStorage::initFileDBStorageMap() { FileDBStorageRegistry::init(); }

FileDBStorage* FileDBStorage::findFileMap(const VELString& fullPathName) {
  return FileDBStorageRegistry::find(fullPathName);
}

void FileDBStorage::insertFileMap(const VELString& fullPathName, FileDBStorage* storage, const VELString& className) {
  FileDBStorageRegistry::insert(fullPathName, storage, className);
}

std::uint64_t FileDBStorage::removeFileMap(const VELString& fullPathName) {
  return FileDBStorageRegistry::remove(fullPathName);
}

std::uint64_t FileDBStorage::referenceCount(const VELString& fullPathName) {
  return FileDBStorageRegistry::references(fullPathName);
}

void FileDBStorage::releaseFileDBStorageMap() { FileDBStorageRegistry::release(); }

// --- changes ---------------------------------------------------------------

FileDBStorage::ChangeScope::ChangeScope(FileDBStorage& storage)
    : d_storage(storage),
      d_outer(storage.d_changeDepth == 0),
      d_done(false),
      d_modifications(0),
      d_purgeOnClose(storage.d_purgeOnClose) {
  if (storage.d_changeAbandoned) {
    VELDB_THROW(VELDBError::kTransactionAbandoned, "the transaction was rolled back after a failure; roll it back to go on-" +
                                        storage.getFullPathName().str());
  }
  storage.d_ahead.clear();
  if (d_outer) {
    // Nothing is written to a file whose hash the open has not checked yet.
    storage.finishOpenHash();
    // A change whose rollback failed (the disk was failing) is rolled back
    // before anything else is written.
    if (storage.d_file->recoverPending()) storage.reloadAfterRollback();
    storage.d_changePassword = storage.d_connectInfo->getLogicalDBPassword();
    storage.d_file->beginChange();
    try {
      storage.d_file->protect(0, storage.d_header ? storage.d_header->getSize() : 0);
    } catch (...) {
      storage.d_file->rollbackChange();
      throw;
    }
  }
  d_modifications = storage.d_file->getModificationCount();
  ++storage.d_changeDepth;
}

void FileDBStorage::ChangeScope::close() {
  if (d_done) return;
  d_done = true;
  --d_storage.d_changeDepth;
}

void FileDBStorage::ChangeScope::commit() {
  if (d_done) return;
  d_storage.d_ahead.clear();  // slots read ahead may be stale now
  if (!d_outer) {
    d_done = true;
    --d_storage.d_changeDepth;
    return;
  }
  if (d_storage.d_changeAbandoned) {
    VELDB_THROW(VELDBError::kTransactionAbandoned,
                "the transaction was rolled back after a failure-" + d_storage.getFullPathName().str());
  }
  // Sealing writes the header: it belongs to the change.  A failure here
  // leaves the scope open, so that its destructor rolls the change back.
  d_storage.sealPending();
  d_done = true;
  --d_storage.d_changeDepth;
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
  d_storage.d_ahead.clear();
  if (d_done) return;
  --d_storage.d_changeDepth;
  const bool wrote = d_storage.d_file->getModificationCount() != d_modifications;
  if (!d_outer) {
    // A part that wrote and failed: the change cannot be kept without it.
    if (wrote && !d_storage.d_changeAbandoned) d_storage.abandonChange();
    return;
  }
  const bool dirty = wrote || d_storage.d_sealPending;
  // Deleted slots of a change rolled back are live again: nothing to compact.
  d_storage.d_purgeOnClose = d_purgeOnClose;
  d_storage.d_sealPending = false;
  d_storage.d_saltPending = false;
  const bool abandoned = d_storage.d_changeAbandoned;
  d_storage.d_changeAbandoned = false;
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

void FileDBStorage::abandonChange() noexcept {
  VEL_TRACE_SCOPE("abandonChange");
  if (d_changeAbandoned) return;
  if (d_transactionState && !d_transactionState->failed) {
    // The other tables of the transaction cannot keep their part either.
    d_transactionState->failed = true;
    for (FileDBStorage* member : d_transactionState->members) {
      if (member != this) member->abandonChange();
    }
  }
  d_sealPending = false;
  d_saltPending = false;
  d_changeAbandoned = true;
  try {
    if (d_transactionImage) {
      d_file->setPosition(0);
      d_file->write(*d_transactionImage);
      d_file->setSize(d_transactionImage->size());
    }
    d_file->rollbackChange();
    reloadAfterRollback();
  } catch (...) {
    FileDBDropped::trace();
  }
}

void FileDBStorage::reloadAfterRollback() {
  VEL_TRACE_SCOPE("reloadAfterRollback");
  if (d_destroying || d_reloading) return;
  if (d_file->isInMemory() && !d_transactionImage) return;
  struct Guard {
    bool& flag;
    explicit Guard(bool& f) : flag(f) { flag = true; }
    ~Guard() { flag = false; }
  } guard(d_reloading);
  // A change rolled back takes back the password it set: the file has the
  // one it had when the change began.
  if (d_changePassword.isPresent()) d_connectInfo->setLogicalDBPassword(d_changePassword);
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
  d_lastRecordID = std::max(d_lastRecordID, buildIndexes());
}

// --- transactions ----------------------------------------------------------

void FileDBStorage::beginTransaction(const std::shared_ptr<TransactionState>& state) {
  VEL_TRACE_SCOPE("beginTransaction");
  if (d_transaction) VELDB_THROW(VELDBError::kBadArgument, "a transaction is open on this table already");
  if (d_changeDepth != 0) VELDB_THROW(VELDBError::kBadArgument, "a change is under way on this table");
  std::unique_ptr<VELString> image;
  if (d_file->isInMemory()) {
    image.reset(new VELString());
    d_file->setPosition(0);
    d_file->read(*image, d_file->getSize());
  }
  d_transaction.reset(new ChangeScope(*this));
  d_transactionModifications = d_file->getModificationCount();
  d_transactionImage = std::move(image);
  d_transactionState = state;
}

void FileDBStorage::sealTransaction() {
  if (!d_transaction) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  if (d_changeAbandoned) {
    VELDB_THROW(VELDBError::kTransactionAbandoned, "the transaction was rolled back after a failure-" + getFullPathName().str());
  }
  sealPending();
}

bool FileDBStorage::transactionWroteToDisk() const {
  return d_transaction && !d_file->isInMemory() && d_file->getModificationCount() != d_transactionModifications;
}

void FileDBStorage::commitTransaction() {
  if (!d_transaction) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  const std::unique_ptr<ChangeScope> scope = std::move(d_transaction);
  d_transactionImage.reset();
  d_transactionState.reset();
  scope->commit();
}

bool FileDBStorage::prepareCommit(const unsigned char* transactionID) {
  if (!d_transaction) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  return d_file->prepareCommit(transactionID);
}

void FileDBStorage::finishCommit() {
  if (!d_transaction) VELDB_THROW(VELDBError::kBadArgument, "no transaction is open");
  const std::unique_ptr<ChangeScope> scope = std::move(d_transaction);
  d_transactionImage.reset();
  d_transactionState.reset();
  d_ahead.clear();
  // Past the commit point: the change stands whatever happens below.
  scope->close();
  d_file->finishCommit();
}

void FileDBStorage::rollbackTransaction() noexcept {
  VEL_TRACE_SCOPE("rollbackTransaction");
  if (!d_transaction) return;
  if (d_transactionImage && !d_changeAbandoned && d_file->getModificationCount() != d_transactionModifications) {
    try {
      d_file->setPosition(0);
      d_file->write(*d_transactionImage);
      d_file->setSize(d_transactionImage->size());
    } catch (...) {
      FileDBDropped::trace();
    }
  }
  d_transaction.reset();  // the scope rolls back the file and reloads
  d_transactionImage.reset();
  d_transactionState.reset();
}

// --- whole-file operations ------------------------------------------------

std::uint64_t FileDBStorage::slotPosition(std::uint64_t index) const {
  return d_header->getSize() + index * static_cast<std::uint64_t>(d_header->getFixedRecordLength());
}

bool FileDBStorage::readSlot(std::uint64_t position) {
  d_readBuffer->reset();
  d_readBuffer->readAt(*d_file, position, d_header->getFixedRecordLength());
  return !isRecordDeleted(*d_readBuffer);
}

void FileDBStorage::writeSlot(std::uint64_t position, const FileDBBuffer& slot) { writeSlot(position, slot, nullptr); }

void FileDBStorage::writeSlot(std::uint64_t position, const FileDBBuffer& slot, const unsigned char* oldSlot) {
  ChangeScope change(*this);
  const std::uint64_t length = d_header->getFixedRecordLength();
  if (d_header->wantsSlotUpdates()) {
    if (oldSlot == nullptr) {
      readSlot(position);
      oldSlot = d_readBuffer->data();
    }
    d_header->slotChanged(oldSlot, slot.data(), length, d_connectInfo->getLogicalDBPassword());
  }
  d_file->setPosition(position);
  d_file->write(slot.data(), length);
  change.commit();
}

std::uint64_t FileDBStorage::appendSlot(const FileDBBuffer& slot) {
  ChangeScope change(*this);
  const std::uint64_t length = d_header->getFixedRecordLength();
  const long end = 0;
  const FileDBBinaryFile::Origin origin = FileDBBinaryFile::End;
  const std::uint64_t position = d_file->setPosition(end, origin);
  if (d_header->wantsSlotUpdates()) {
    d_header->slotChanged(nullptr, slot.data(), length, d_connectInfo->getLogicalDBPassword());
  }
  try {
    d_file->write(slot.data(), length);
  } catch (...) {
    // A slot written in part would break the file's size rule: cut it off.
    try {
      d_file->setSize(position);
    } catch (...) {
      FileDBDropped::trace();
    }
    throw;
  }
  change.commit();
  return position;
}

void FileDBStorage::markSlotDeleted(std::uint64_t position) {
  ChangeScope change(*this);
  d_file->protect(position, d_header->getFixedRecordLength());
  const std::uint64_t length = d_header->getFixedRecordLength();
  readSlot(position);
  d_writeBuffer->reset();
  d_writeBuffer->put(d_readBuffer->data(), length);
  d_writeBuffer->setPosition(0);
  d_writeBuffer->put(kRecordDeleted);
  writeSlot(position, *d_writeBuffer, d_readBuffer->data());
  setPasswordDatabaseHash();
  d_purgeOnClose = true;
  change.commit();
}

bool FileDBStorage::clearSlotTail(std::uint64_t position, std::uint64_t from) {
  const std::uint64_t length = d_header->getFixedRecordLength();
  if (from >= length) return false;
  const unsigned char* bytes = d_readBuffer->data();
  bool dirty = false;
  for (std::uint64_t i = from; i < length && !dirty; ++i) dirty = bytes[i] != 0;
  if (!dirty) return false;
  ChangeScope change(*this);
  d_writeBuffer->reset();
  d_writeBuffer->put(bytes, from);  // the slot as it will be: its fields, then zeros
  if (d_header->wantsSlotUpdates()) {
    d_header->slotChanged(bytes, d_writeBuffer->data(), length, d_connectInfo->getLogicalDBPassword());
  }
  d_file->setPosition(position + from);
  d_file->write(d_writeBuffer->data() + from, length - from);
  change.commit();
  return true;
}

std::uint64_t FileDBStorage::nextLiveSlot(FileDBIterator& iterator) {
  // A walk reads the file ahead in blocks of about 1 MiB of whole slots:
  // one system call per block instead of two per slot.
  constexpr std::uint64_t kBlock = 1u << 20;
  const std::uint64_t length = d_header->getFixedRecordLength();
  for (;;) {
    const std::uint64_t position = iterator.getFilePosition(
        static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(), d_header->getRecordsAllocated());
    if (position == 0) return 0;
    if (position < d_aheadStart || position + length > d_aheadStart + d_ahead.size()) {
      const std::uint64_t end = slotPosition(d_header->getRecordsAllocated());
      std::uint64_t n = length * std::max<std::uint64_t>(1, kBlock / std::max<std::uint64_t>(length, 1));
      n = std::min(n, end - position);
      d_ahead.resize(static_cast<std::size_t>(n));
      d_aheadStart = position;
      try {
        d_file->setPosition(position);
        d_file->read(static_cast<void*>(d_ahead.data()), n);
      } catch (...) {
        d_ahead.clear();
        throw;
      }
      // An open under way hashes what its walk reads.
      if (d_openHash && position <= d_openHashedTo && d_openHashedTo < position + n) {
        d_openHash->update(d_ahead.data() + (d_openHashedTo - position), position + n - d_openHashedTo);
        d_openHashedTo = position + n;
      }
    }
    d_readBuffer->load(d_ahead.data() + (position - d_aheadStart), length);
    if (!isRecordDeleted(*d_readBuffer)) return position;
    ++iterator.d_index;
  }
}

std::uint32_t FileDBStorage::nextRecordID() const {
  const std::uint32_t id = d_lastRecordID + 1;
  if (id == 0) VELDB_THROW(VELDBError::kRecordIDRollover, "recordID rollover");
  return id;
}

bool FileDBStorage::isRecordDeleted(FileDBBuffer& slot) const {
  VEL_TRACE_SCOPE("isRecordDeleted");
  std::uint32_t state = 0;
  slot.setPosition(0);
  slot.get(state);
  return state == kRecordDeleted;
}

std::unique_ptr<FileDBHeader> FileDBStorage::readHeaderLike(FileDBBinaryFile& file) const {
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  if (d_header->isKindOf("FileDBHeaderV4")) return std::unique_ptr<FileDBHeader>(new FileDBHeaderV4(factory, file));
  return std::unique_ptr<FileDBHeader>(new FileDBHeaderV3(factory, file));
}

void FileDBStorage::resealHeader() {
  ChangeScope change(*this);
  d_saltPending = true;
  d_sealPending = true;
  change.commit();
}

void FileDBStorage::sealPending() {
  if (!d_sealPending) return;
  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();
  if (d_saltPending) d_header->setPasswordHeaderHash(password);
  d_header->setPasswordDatabaseHash(*d_file, password);
  d_header->persist(*d_file);
  d_sealPending = false;
  d_saltPending = false;
}

void FileDBStorage::incrRecordsAllocated() {
  ChangeScope change(*this);
  VEL_TRACE_SCOPE("incrRecordsAllocated");
  d_header->setRecordsAllocated(d_header->getRecordsAllocated() + 1);
  resealHeader();
  change.commit();
}

void FileDBStorage::purge() {
  VEL_TRACE_SCOPE("purge");
  ChangeScope change(*this);
  rewrite(d_header->getFixedRecordLength(), true);
  d_purgeOnClose = false;
  change.commit();
}

void FileDBStorage::resize(std::uint64_t minimumRecordLength) {
  VEL_TRACE_SCOPE("resize");
  const std::uint64_t oldLen = d_header->getFixedRecordLength();
  if (oldLen >= minimumRecordLength) return;
  std::uint64_t newLen = oldLen;
  while (newLen < minimumRecordLength) newLen += kRecordLengthStep;
  const std::uint64_t newSize = d_header->getSize() + d_header->getRecordsAllocated() * newLen;
  if (newLen > FileDBBinaryFile::kMaxFileSize || newSize > FileDBBinaryFile::kMaxFileSize) {
    VELDB_THROW_EXTRA(VELDBError::kWrite, "record length would make the file exceed 2 GiB",
                      static_cast<long long>(newLen));
  }
  ChangeScope change(*this);
  rewrite(newLen, false);
  d_lastRecordID = std::max(d_lastRecordID, buildIndexes());
  change.commit();
}

void FileDBStorage::rewrite(std::uint64_t length, bool dropDeleted) {
  const std::uint32_t n = d_header->getRecordsAllocated();
  const std::uint64_t oldLength = d_header->getFixedRecordLength();
  const std::uint64_t headerSize = d_header->getSize();
  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();

  // The table as it will be, built and sealed in a scratch file; the
  // original is not touched yet.  A slot in any state but deleted is a
  // record to the indexes, and is kept.
  std::unique_ptr<FileDBBuffer> slot(new FileDBBuffer(length));
  TempFile tmp(*d_file);
  tmp.file->reserve(headerSize + static_cast<std::uint64_t>(n) * length);
  VELString headerBytes;
  d_file->setPosition(0);
  tmp.file->setPosition(0, FileDBBinaryFile::Begin);
  d_file->read(headerBytes, headerSize);
  tmp.file->write(headerBytes);
  std::uint32_t kept = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    slot->reset();
    slot->read(*d_file, oldLength);
    if (dropDeleted && isRecordDeleted(*slot)) continue;
    tmp.file->write(slot->data(), length);
    ++kept;
  }
  std::unique_ptr<FileDBHeader> header = readHeaderLike(*tmp.file);
  header->setRecordsAllocated(kept);
  header->setFixedRecordLength(static_cast<std::uint32_t>(length));
  header->setPasswordHeaderHash(password);
  header->setPasswordDatabaseHash(*tmp.file, password);
  header->persist(*tmp.file);

  // The disk must hold the new size before the first byte of the original
  // is overwritten: running out of space now leaves the table as it was.
  const std::uint64_t newSize = headerSize + static_cast<std::uint64_t>(kept) * length;
  const std::uint64_t oldSize = d_file->getSize();
  if (newSize > oldSize) d_file->reserve(newSize);
  d_file->protect(0, oldSize);
  if (newSize > oldSize) d_file->setSize(newSize);
  tmp.file->setPosition(0, FileDBBinaryFile::Begin);
  d_file->setPosition(0);
  tmp.file->read(headerBytes, headerSize);
  d_file->write(headerBytes);
  for (std::uint32_t i = 0; i < kept; ++i) {
    slot->reset();
    slot->read(*tmp.file, length);
    d_file->write(slot->data(), length);
  }
  d_file->setSize(newSize);
  d_header = std::move(header);
  if (d_readBuffer->getCapacity() != length) {
    d_readBuffer.reset(new FileDBBuffer(length));
    d_writeBuffer.reset(new FileDBBuffer(length));
  }
}

VELBuffer FileDBStorage::getHeaderImage() const {
  VELBuffer image(d_header->getBuffer(), FileDBHeader::kCommonHeaderSize);
  const VELBuffer headerHash = d_header->getPasswordHeaderHash();
  const VELBuffer databaseHash = d_header->getPasswordDatabaseHash();
  image.append(headerHash.data(), headerHash.size());
  image.append(databaseHash.data(), databaseHash.size());
  return image;
}

// --- settings --------------------------------------------------------------

unsigned char FileDBStorage::getMajorVersion() const {
  VEL_TRACE_SCOPE("getMajorVersion");
  return d_header->getMajorVersionNumber();
}

void FileDBStorage::setMinorVersion(unsigned char minor) {
  ChangeScope change(*this);
  VEL_TRACE_SCOPE("setMinorVersion");
  d_header->setMinorVersionNumber(minor);
  resealHeader();
  change.commit();
}

long long FileDBStorage::getPasswordExpirationTime() const {
  VEL_TRACE_SCOPE("getPasswordExpirationTime");
  return static_cast<long long>(d_header->getPasswordExpirationTime());
}

void FileDBStorage::setPasswordExpirationTime(long long time) {
  checkExpirationTime(time);
  ChangeScope change(*this);
  VEL_TRACE_SCOPE("setPasswordExpirationTime");
  d_header->setPasswordExpirationTime(static_cast<std::uint32_t>(time));
  resealHeader();
  change.commit();
}

bool FileDBStorage::hasPasswordExpired() const {
  VEL_TRACE_SCOPE("hasPasswordExpired");
  const std::uint32_t t = d_header->getPasswordExpirationTime();
  if (t == 0) return false;
  const long long now = static_cast<long long>(std::time(nullptr));
  return static_cast<long long>(t) <= now;
}

void FileDBStorage::setPassword(const VELPasswordEncryptor& oldPassword, const VELPasswordEncryptor& newPassword,
                                long long expirationTime) {
  VEL_TRACE_SCOPE("setPassword");
  checkExpirationTime(expirationTime);
  if (d_connectInfo->getLogicalDBPassword() != oldPassword) VELDB_THROW(VELDBError::kBadPassword, "");
  if (newPassword == oldPassword) VELDB_THROW(VELDBError::kBadPassword, "");
  ChangeScope change(*this);
  // Whatever this change leaves behind opens under either password.
  d_file->admitPassword(newPassword);
  d_header->setPasswordExpirationTime(static_cast<std::uint32_t>(expirationTime));
  d_header->setPasswordHeaderHash(newPassword);
  d_header->setPasswordDatabaseHash(*d_file, newPassword);
  d_header->persist(*d_file);
  try {
    change.commit();
  } catch (...) {
    // A commit that failed after the journal went (its directory could not
    // be synced) leaves the file under the new password: the connection
    // must follow the file, or the caller could not set it back.
    if (headerTakes(newPassword)) d_connectInfo->setLogicalDBPassword(newPassword);
    throw;
  }
  d_connectInfo->setLogicalDBPassword(newPassword);
}

bool FileDBStorage::headerTakes(const VELPasswordEncryptor& password) const {
  try {
    d_header->validatePasswordHeaderHash(password);
    return true;
  } catch (const VELException&) {
    return false;
  }
}

void FileDBStorage::setPasswordDatabaseHash() {
  ChangeScope change(*this);
  VEL_TRACE_SCOPE("setPasswordDatabaseHash");
  d_sealPending = true;
  change.commit();
}

VELString FileDBStorage::getLabel() const {
  VEL_TRACE_SCOPE("getLabel");
  return d_label;
}

void FileDBStorage::setLabel(const VELString& label) {
  VEL_TRACE_SCOPE("setLabel");
  d_label = label;
}
