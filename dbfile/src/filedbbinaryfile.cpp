#include "filedbbinaryfile.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "velexception.h"
#include "velplatform.h"
#include "veltrace.h"

namespace {

constexpr int kNewFileFlags = VEL_O_BINARY | VEL_O_EXCL | VEL_O_CREAT | VEL_O_RDWR;  // 0x8502
constexpr int kReadWriteFlags = VEL_O_BINARY | VEL_O_RDWR;                          // 0x8002
constexpr int kReadOnlyFlags = VEL_O_BINARY;                                        // 0x8000
constexpr int kOwnerReadWrite = 0x180;                                              // 0600
constexpr int kExists = 17;                                                         // EEXIST
constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();
// Reads above this size first check that the file holds the bytes.
constexpr std::uint64_t kLargeRead = 1U << 20;
// Largest transfer in one call.
constexpr std::uint64_t kMaxTransfer = 0xFFFFFFFFULL;

// strerror_r comes in two shapes (a status or the text); either is taken.
[[maybe_unused]] const char* errorText(int status, const char* buffer) { return status == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* errorText(const char* text, const char*) { return text; }

std::string number(std::uint64_t n) { return std::to_string(n); }

// "the file ends after N bytes, M expected", for a read that met the end.
VELString endOfFile(std::uint64_t size, std::uint64_t expected) {
  if (size == 0) return "the file is empty, " + number(expected) + " bytes expected";
  return "the file ends after " + number(size) + " bytes, " + number(expected) + " expected";
}

// The error a partial transfer met on its way, if the call left one.
int errorOfPartialTransfer(int error) { return error == EINTR ? 0 : error; }

// "read N bytes at offset P" (the offset when it is known).
VELString readOperation(std::uint64_t count, std::uint64_t offset) {
  VELString operation = "read " + number(count) + (count == 1 ? " byte" : " bytes");
  if (offset != kUnknown) operation += " at offset " + number(offset);
  return operation;
}

// "lock bytes A to B", or "from A on" for a range to the end of the file.
VELString rangeOperation(const char* verb, std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return VELString(verb) + " bytes from " + number(offset) + " on";
  return VELString(verb) + " bytes " + number(offset) + " to " + number(offset + length - 1);
}

bool isLockRefusal(int error) { return error == EAGAIN || error == EACCES; }

// Why a change to the file failed: EBADF on a descriptor this object holds
// open means that it was opened for reading only.
VELString changeFailure(int error) {
  if (error == EBADF) return "the file is open for reading only";
  return FileDBBinaryFile::describeError(error);
}

}  // namespace

// Every failure below leaves through this: the file, the operation, the cause.
#define VELDB_THROW_FILE(error, path, operation, cause) \
  throw FileDBBinaryFile::failure(__FILE__, __LINE__, (error), (path), (operation), (cause))

VELString FileDBBinaryFile::describeError(int systemError) {
  switch (systemError) {
    case 0: return "failed without a reason from the system";
    case EISDIR: return "it is a directory";
    case VEL_ENOTREGULAR: return "it is not a regular file (a FIFO, socket or device)";
    default: break;
  }
  char buffer[256] = {0};
  const char* text = errorText(strerror_r(systemError, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "system error " + std::to_string(systemError);
  return text;
}

VELDBException FileDBBinaryFile::failure(const char* sourceFile, int line, unsigned long error, const VELString& path,
                                         const VELString& operation, int systemError) {
  return failure(sourceFile, line, error, path, operation, describeError(systemError));
}

VELDBException FileDBBinaryFile::failure(const char* sourceFile, int line, unsigned long error, const VELString& path,
                                         const VELString& operation, const VELString& cause) {
  VELString message = path.empty() ? VELString("(no file)") : path;
  message += ": cannot " + operation;
  if (!cause.empty()) message += ": " + cause;
  return VELDBException(sourceFile, line, error, message);
}

FileDBBinaryFile::FileDBBinaryFile()
    : fileDescriptor(-1), tmpStream(nullptr), deleteOnClose(false), position(kUnknown) {
  VEL_TRACE_SCOPE("FileDBBinaryFile::ctor");
}

FileDBBinaryFile::FileDBBinaryFile(const VELString& path, VELDBConnectInfo::AccessMode mode)
    : fileDescriptor(-1), tmpStream(nullptr), deleteOnClose(false), position(kUnknown) {
  VEL_TRACE_SCOPE("FileDBBinaryFile::ctor");
  openExisting(path, mode);
}

FileDBBinaryFile::~FileDBBinaryFile() {
  VEL_TRACE_SCOPE("FileDBBinaryFile::dtor");
  if (fileDescriptor == -1) return;
  try {
    FileDBBinaryFile::close();
  } catch (const VELException& e) {
    e.writeToTrace();
  } catch (...) {
  }
}

void FileDBBinaryFile::resetToClosed() {
  fileDescriptor = -1;
  tmpStream = nullptr;
  deleteOnClose = false;
  fileName = VELConstString();
  position = kUnknown;
}

void FileDBBinaryFile::openNew(const VELString& path) {
  VEL_TRACE_SCOPE("openNew");
  notOpenCheck();
  int fd = -1;
  const int rc = vel_openExclusive(&fd, path.c_str(), kNewFileFlags, kOwnerReadWrite, nullptr);
  if (rc != 0 || fd < 0) {
    if (fd != -1) vel_close(fd);
    fileDescriptor = -1;
    VELDB_THROW_FILE(rc == kExists ? VELDBError::kFileExists : VELDBError::kCannotCreate, path, "create", rc);
  }
  fileDescriptor = fd;
  fileName = path;
  position = 0;
}

void FileDBBinaryFile::openExisting(const VELString& path, VELDBConnectInfo::AccessMode mode) {
  VEL_TRACE_SCOPE("openExisting");
  notOpenCheck();
  int lockError = 0;
  int fd = -1;
  int rc = 0;
  if (mode == VELDBConnectInfo::ReadOnly) {
    rc = vel_openSharedRead(&fd, path.c_str(), kReadOnlyFlags, &lockError);
  } else if (mode == VELDBConnectInfo::ReadWrite) {
    rc = vel_openExclusive(&fd, path.c_str(), kReadWriteFlags, 0, &lockError);
  } else {
    VELDB_THROW_FILE(VELDBError::kCannotOpen, path, "open",
                     "unknown access mode " + std::to_string(static_cast<int>(mode)));
  }
  if (rc != 0 || fd < 0) {
    if (fd != -1) vel_close(fd);
    fileDescriptor = -1;
    const VELString operation = mode == VELDBConnectInfo::ReadOnly ? "open for reading" : "open for reading and writing";
    if (rc == -1 && lockError != 0) {
      VELDB_THROW_FILE(VELDBError::kLock, path, operation,
                       isLockRefusal(lockError)
                           ? VELString("it is in use: another open of the file, in this process or another, "
                                       "holds its lock")
                           : "its lock cannot be taken: " + describeError(lockError));
    }
    VELDB_THROW_FILE(VELDBError::kCannotOpen, path, operation, rc == -1 ? EIO : rc);
  }
  fileDescriptor = fd;
  fileName = path;
  position = 0;
}

void FileDBBinaryFile::openTmpFile() {
  VEL_TRACE_SCOPE("openTmpFile");
  notOpenCheck();
  VELString name;
  bool remove = false;
  errno = 0;
  std::FILE* stream = vel_tmpfile(name, remove);
  if (stream == nullptr) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kCannotCreate, "(temporary file)", "create", error);
  }
  tmpStream = stream;
  deleteOnClose = remove;
  fileName = name;
  fileDescriptor = vel_fileno(stream);
  position = 0;
}

void FileDBBinaryFile::close() {
  VEL_TRACE_SCOPE("close");
  isOpenCheck();
  const VELString name = fileName;
  const bool removeByName = deleteOnClose;
  if (tmpStream != nullptr) {
    std::FILE* stream = tmpStream;
    resetToClosed();  // the stream is gone whatever fclose says
    if (vel_fclose(stream) != 0) {
      const int error = errno;
      VELDB_THROW_FILE(VELDBError::kCannotClose, name, "close", error);
    }
  } else {
    const int fd = fileDescriptor;
    vel_unlockfile(fd, 0, 1);
    resetToClosed();  // never touch this descriptor number again
    if (vel_close(fd) != 0) {
      const int error = errno;
      VELDB_THROW_FILE(VELDBError::kCannotClose, name, "close", error);
    }
  }
  if (removeByName && vel_deletetmpfile(name) != 0) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kCannotDelete, name, "remove", error);
  }
}

void FileDBBinaryFile::read(VELString& out, std::uint64_t count) {
  VEL_TRACE_SCOPE("read");
  isOpenCheck();
  if (count > kLargeRead && count <= kMaxTransfer) {
    // A count taken from a damaged file must not cost its size in memory:
    // read what is there and fail as a short read does.
    const std::uint64_t start = positionForRead();
    const std::uint64_t size = FileDBBinaryFile::getSize();
    if (start + count > size) {
      const std::uint64_t available = size > start ? size - start : 0;
      std::unique_ptr<char[]> rest(new char[available == 0 ? 1 : available]);
      read(static_cast<void*>(rest.get()), available);
      VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, start), endOfFile(size, start + count));
    }
  }
  std::unique_ptr<char[]> scratch;
  if (count <= kMaxTransfer) scratch.reset(new char[count == 0 ? 1 : count]);
  read(static_cast<void*>(scratch.get()), count);
  out.assign(scratch.get(), static_cast<std::size_t>(count));
}

void FileDBBinaryFile::read(void* buffer, const std::uint64_t& count) {
  VEL_TRACE_SCOPE("read");
  isOpenCheck();
  const std::uint64_t start = position;
  if (count > kMaxTransfer) {
    VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, start), "more than 4 GiB at once");
  }
  errno = 0;
  const long long n = vel_readFully(fileDescriptor, buffer, static_cast<std::size_t>(count));
  const int error = errno;
  if (n < 0) {
    position = kUnknown;
    VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, start), error);
  }
  if (position != kUnknown) position += static_cast<std::uint64_t>(n);
  if (static_cast<std::uint64_t>(n) < count) {
    VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, start),
                     shortReadCause(start, static_cast<std::uint64_t>(n), count, error));
  }
}

void FileDBBinaryFile::readAt(std::uint64_t offset, void* buffer, std::uint64_t count) {
  VEL_TRACE_SCOPE("readAt");
  isOpenCheck();
  if (count > kMaxTransfer) {
    VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, offset), "more than 4 GiB at once");
  }
  if (offset > kMaxFileSize) {
    VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, offset),
                     "the offset lies beyond the largest file size");
  }
  errno = 0;
  const long long n = vel_readFullyAt(fileDescriptor, buffer, static_cast<std::size_t>(count), offset);
  const int error = errno;
  if (n < 0) VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, offset), error);
  if (static_cast<std::uint64_t>(n) < count) {
    VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), readOperation(count, offset),
                     shortReadCause(offset, static_cast<std::uint64_t>(n), count, error));
  }
}

VELString FileDBBinaryFile::shortReadCause(std::uint64_t start, std::uint64_t got, std::uint64_t wanted, int error) {
  // The usual case: the file is shorter than the reader expects.
  const long long size = vel_filesize(fileDescriptor);
  if (start != kUnknown && size >= 0 && static_cast<std::uint64_t>(size) <= start + got) {
    return endOfFile(static_cast<std::uint64_t>(size), start + wanted);
  }
  VELString cause = "only " + number(got) + " of " + number(wanted) + " bytes could be read";
  error = errorOfPartialTransfer(error);
  if (error != 0) cause += ": " + describeError(error);
  return cause;
}

std::uint64_t FileDBBinaryFile::positionForRead() {
  if (position == kUnknown) {
    const long long p = vel_lseek(fileDescriptor, 0, 1);
    if (p < 0) {
      const int error = errno;
      VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), "find the read position", error);
    }
    position = static_cast<std::uint64_t>(p);
  }
  return position;
}

const VELConstString& FileDBBinaryFile::getFileName() const { return fileName; }

std::uint64_t FileDBBinaryFile::getSize() const {
  VEL_TRACE_SCOPE("getSize");
  isOpenCheck();
  const long long size = vel_filesize(fileDescriptor);
  if (size == -1) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kRead, fileName.str(), "find the file size", error);
  }
  return static_cast<std::uint64_t>(size);
}

void FileDBBinaryFile::isOpenCheck() const {
  if (fileDescriptor == -1) VELDB_THROW(VELDBError::kNotOpen, "no file is open");
}

void FileDBBinaryFile::notOpenCheck() const {
  if (fileDescriptor != -1) VELDB_THROW(VELDBError::kAlreadyOpen, fileName.str() + ": already open");
}

void FileDBBinaryFile::write(const VELString& data) {
  VEL_TRACE_SCOPE("write");
  const std::uint64_t count = data.size();
  write(static_cast<const void*>(data.data()), count);
}

void FileDBBinaryFile::checkGrowth(const VELString& operation, std::uint64_t end) const {
  if (end > kMaxFileSize) {
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), operation,
                     "the file would reach " + number(end) + " bytes, past its largest size of " +
                         number(kMaxFileSize) + " bytes");
  }
}

void FileDBBinaryFile::write(const void* buffer, const std::uint64_t& count) {
  VEL_TRACE_SCOPE("write");
  isOpenCheck();
  if (count == 0) return;
  ++modificationCount;  // counted before the call: a failed write may have written part
  if (position == kUnknown) {
    const long long p = vel_lseek(fileDescriptor, 0, 1);
    if (p < 0) {
      const int error = errno;
      VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), "find the write position", error);
    }
    position = static_cast<std::uint64_t>(p);
  }
  const VELString operation =
      "write " + number(count) + (count == 1 ? " byte" : " bytes") + " at offset " + number(position);
  if (count > kMaxFileSize) checkGrowth(operation, count);
  checkGrowth(operation, position + count);
  errno = 0;
  const long long n = vel_writeFully(fileDescriptor, buffer, static_cast<std::size_t>(count));
  const int error = errno;
  if (n < 0) {
    position = kUnknown;
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), operation, changeFailure(error));
  }
  position += static_cast<std::uint64_t>(n);
  if (static_cast<std::uint64_t>(n) < count) {
    VELString cause = "only " + number(static_cast<std::uint64_t>(n)) + " of " + number(count) + " bytes were written";
    const int partial = errorOfPartialTransfer(error);
    cause += partial != 0 ? ": " + describeError(partial) : VELString(" (is the disk full?)");
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), operation, cause);
  }
}

std::uint64_t FileDBBinaryFile::currentPosition() {
  isOpenCheck();
  if (position == kUnknown) {
    const long long p = vel_lseek(fileDescriptor, 0, 1);
    if (p < 0) {
      const int e = errno;
      VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), "find the file position", e);
    }
    position = static_cast<std::uint64_t>(p);
  }
  return position;
}

std::uint64_t FileDBBinaryFile::setPosition(const long& offset, const Origin& origin) {
  VEL_TRACE_SCOPE("setPosition");
  isOpenCheck();
  const char* from = origin == Current ? " from the current position" : origin == End ? " from the end" : "";
  const VELString operation = "move to offset " + std::to_string(offset) + from;
  // Offsets are 32-bit signed quantities in the file format's world; a wider
  // one is refused rather than cut, which would land somewhere else.
  if (offset < std::numeric_limits<std::int32_t>::min() || offset > std::numeric_limits<std::int32_t>::max()) {
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), operation, "the offset lies beyond the largest file size");
  }
  const long long off = offset;
  const int whence = origin == Current ? 1 : origin == End ? 2 : 0;
  const long long p = vel_lseek(fileDescriptor, off, whence);
  if (p == -1) {
    const int error = errno;
    position = kUnknown;
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), operation, error == EINVAL && off < 0 && whence == 0
                                                                         ? VELString("the offset is negative")
                                                                         : describeError(error));
  }
  position = static_cast<std::uint64_t>(p);
  return position;
}

std::uint64_t FileDBBinaryFile::setPosition(std::uint64_t pos) {
  VEL_TRACE_SCOPE("setPosition");
  isOpenCheck();
  if (pos > kMaxFileSize && !isInMemory()) {
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), "move to offset " + number(pos),
                     "the offset lies beyond the largest file size");
  }
  // A position beyond the largest file goes on as a negative offset, which
  // the in-memory file ignores; cutting it to 32 bits would silently address
  // a position inside the file.
  const long offset = pos > kMaxFileSize ? -1L : static_cast<long>(pos);
  const Origin origin = Begin;
  return setPosition(offset, origin);
}

void FileDBBinaryFile::setSize(std::uint64_t size) {
  VEL_TRACE_SCOPE("setSize");
  isOpenCheck();
  const VELString operation = "change the size to " + number(size) + " bytes";
  checkGrowth(operation, size);
  ++modificationCount;
  if (vel_chsize(fileDescriptor, static_cast<long long>(size)) != 0) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), operation, changeFailure(error));
  }
}

void FileDBBinaryFile::reserve(std::uint64_t size) {
  VEL_TRACE_SCOPE("reserve");
  isOpenCheck();
  const VELString operation = "reserve disk space for " + number(size) + " bytes";
  checkGrowth(operation, size);
  if (size == 0) return;
  const int rc = vel_reserve(fileDescriptor, 0, static_cast<long long>(size));
  if (rc != 0) VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), operation, rc);
}

void FileDBBinaryFile::sync() {
  VEL_TRACE_SCOPE("sync");
  isOpenCheck();
  if (vel_fsync(fileDescriptor) != 0) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kWrite, fileName.str(), "sync to disk", error);
  }
}

void FileDBBinaryFile::lock(std::uint64_t offset, std::uint64_t length, int mode) {
  VEL_TRACE_SCOPE("lock");
  isOpenCheck();
  const int rc = vel_lockfile(fileDescriptor, offset, length, mode);
  if (rc != 0) {
    const VELString operation = rangeOperation(mode == VEL_LOCK_READ ? "read-lock" : "write-lock", offset, length);
    VELDB_THROW_FILE(VELDBError::kLock, fileName.str(), operation,
                     isLockRefusal(rc) ? VELString("another open of the file holds a lock on them")
                                       : describeError(rc));
  }
}

void FileDBBinaryFile::unlock(std::uint64_t offset, std::uint64_t length) {
  VEL_TRACE_SCOPE("unlock");
  isOpenCheck();
  const int rc = vel_unlockfile(fileDescriptor, offset, length);
  if (rc != 0) VELDB_THROW_FILE(VELDBError::kUnlock, fileName.str(), rangeOperation("unlock", offset, length), rc);
}

bool FileDBBinaryFile::exists(const VELString& path) {
  VEL_TRACE_SCOPE("exists");
  return vel_access(path.c_str(), 0) == 0;
}

VELString FileDBBinaryFile::fullPathName(const VELString& path) {
  VEL_TRACE_SCOPE("fullPathName");
  VELString full;
  errno = 0;
  if (vel_fullpath(full, path.c_str()) != 0) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kCannotOpen, path, "resolve the full path", error);
  }
  return full;
}

void FileDBBinaryFile::remove(const VELString& path) {
  VEL_TRACE_SCOPE("remove");
  errno = 0;
  if (vel_unlink(path.c_str()) != 0) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kCannotDelete, path, "remove", error);
  }
}

void FileDBBinaryFile::rename(const VELString& from, const VELString& to) {
  VEL_TRACE_SCOPE("rename");
  errno = 0;
  if (vel_rename(from.c_str(), to.c_str()) != 0) {
    const int error = errno;
    VELDB_THROW_FILE(VELDBError::kCannotCreate, from, "rename to " + to, error);
  }
}
