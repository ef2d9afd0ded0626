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
    d_opening.unboundJournal = FileDBJournaledFile::recover(*d_file, FileDBJournaledFile::journalPath(fileName),
                                                    d_connectInfo->getLogicalDBPassword(), &d_opening.journalNotApplied) ==
                       FileDBJournaledFile::Recovery::kUnbound;
  } else {
    // A read-only open never writes: it reads the table as its last
    // committed state, through the journal of an interrupted change.
    d_file = FileDBJournaledFile::openCommitted(fileName, d_connectInfo->getLogicalDBPassword(),
                                                committedHeader(fileName), &d_opening.journalNotApplied);
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
    // `finishOpen`).
    d_opening.hash = d_header->startDatabaseHash(password);
    d_opening.hashedTo = d_header->getSize();
  } catch (const VELDBException& e) {
    refuseWithJournal(e);
    throw;
  }
  const std::uint32_t length = d_header->getFixedRecordLength();
  d_readBuffer.reset(new FileDBBuffer(length));
  d_writeBuffer.reset(new FileDBBuffer(length));
}

void FileDBStorage::finishOpen() {
  VEL_TRACE_SCOPE("finishOpen");
  finishOpenHash();
  // The table verifies as it stands.  A journal made under its password
  // that the change which left it so did not make is of no use to it (a
  // copy from elsewhere or from an earlier change, or one whose binding
  // records a power loss took under SyncOff): a read-write open removes
  // it.  One not made under this password is left to whoever made it.
  if (d_opening.unboundJournal) {
    const VELString journal = FileDBJournaledFile::journalPath(getFullPathName().str());
    try {
      FileDBBinaryFile::remove(journal);
      d_opening.journalNotApplied += " (removed: the table verifies without it)";
    } catch (const VELDBException& e) {
      e.writeToTrace();
    }
    d_opening.unboundJournal = false;
  }
}

void FileDBStorage::refuseOpen() {
  // An open that fails must not compact the file on its way out.
  d_purgeOnClose = false;
  try {
    throw;
  } catch (const VELDBException& e) {
    if (d_opening.hash) {
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
  }
}

void FileDBStorage::refuseWithJournal(const VELDBException& e) const {
  if (d_opening.journalNotApplied.empty()) return;
  VELDB_THROW(e.getError(), VELString("the table does not verify as it stands (") + e.getMessage() +
                                "), and the journal beside it cannot be trusted to restore it: " + d_opening.journalNotApplied);
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
  d_change.closing = true;
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
  d_change.sealPending = true;
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
