#include "filedbbinaryfile.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "filedbdropped.h"
#include "velexception.h"
#include "velplatform.h"
#include "veltrace.h"

namespace {

constexpr int kNewFileFlags = VEL_O_BINARY | VEL_O_EXCL | VEL_O_CREAT | VEL_O_RDWR;  // 0x8502
constexpr int kReadWriteFlags = VEL_O_BINARY | VEL_O_RDWR;                           // 0x8002
constexpr int kReadOnlyFlags = VEL_O_BINARY;                                         // 0x8000
constexpr int kOwnerReadWrite = 0x180;                                               // 0600
constexpr int kExists = 17;                                                          // EEXIST
constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();
// Reads above this size first check that the file holds the bytes.
constexpr std::uint64_t kLargeRead = 1U << 20;

// A call on a file and the number its failure throws.
struct FileCall {
  const char* name;
  unsigned long error;
};
constexpr FileCall kRead{"vel_read", VELDBError::kRead};
constexpr FileCall kWrite{"vel_write", VELDBError::kWrite};
constexpr FileCall kSeek{"vel_seek", VELDBError::kWrite};
constexpr FileCall kChangeSize{"vel_chsize", VELDBError::kWrite};
constexpr FileCall kReserve{"vel_reserve", VELDBError::kWrite};
constexpr FileCall kSync{"vel_fsync", VELDBError::kWrite};
constexpr FileCall kSyncDirectory{"vel_syncdir", VELDBError::kWrite};
constexpr FileCall kGrowPast2GiB{"file would exceed 2 GiB", VELDBError::kWrite};
constexpr FileCall kLock{"vel_lockfile", VELDBError::kLock};
constexpr FileCall kUnlock{"vel_unlockfile", VELDBError::kUnlock};
constexpr FileCall kFullPath{"vel_fullpath", VELDBError::kCannotOpen};
constexpr FileCall kUnlink{"vel_unlink", VELDBError::kCannotDelete};
constexpr FileCall kRename{"vel_rename", VELDBError::kCannotCreate};
constexpr FileCall kList{"vel_listdir", VELDBError::kRead};

// Every failed call on a file ends here: the call's number with the message
// "CALL-PATH" (the call, then the file) and `extra`, errno unless the call
// says otherwise (a short read or write gives the bytes it moved).
[[noreturn]] void fail(const FileCall& call, const VELString& path, long long extra) {
  throw VELDBException(__FILE__, __LINE__, call.error, VELString(call.name) + "-" + path, extra);
}
[[noreturn]] void failWithErrno(const FileCall& call, const VELString& path) {
  const int e = errno;
  fail(call, path, e);
}

}  // namespace

FileDBBinaryFile::FileDBBinaryFile()
    : fileDescriptor(-1), tmpStream(nullptr), deleteOnClose(false), holdsLock(true), position(kUnknown) {
  VEL_TRACE_SCOPE("FileDBBinaryFile::ctor");
}

FileDBBinaryFile::FileDBBinaryFile(const VELString& path, VELDBConnectInfo::AccessMode mode)
    : fileDescriptor(-1), tmpStream(nullptr), deleteOnClose(false), holdsLock(true), position(kUnknown) {
  VEL_TRACE_SCOPE("FileDBBinaryFile::ctor");
  openExisting(path, mode);
}

FileDBBinaryFile::~FileDBBinaryFile() {
  VEL_TRACE_SCOPE("FileDBBinaryFile::dtor");
  if (fileDescriptor == -1) return;
  try {
    FileDBBinaryFile::close();
  } catch (...) {
    FileDBDropped::trace();
  }
}

void FileDBBinaryFile::resetToClosed() {
  fileDescriptor = -1;
  tmpStream = nullptr;
  deleteOnClose = false;
  holdsLock = true;
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
    const VELString message = "vel_openExclusive-" + path;
    if (rc == kExists) VELDB_THROW_EXTRA(VELDBError::kFileExists, message, rc);
    VELDB_THROW_EXTRA(VELDBError::kCannotCreate, message, rc);
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
  VELString message;
  if (mode == VELDBConnectInfo::ReadOnly) {
    message = "vel_openSharedRead(" + path + ")";
    rc = vel_openSharedRead(&fd, path.c_str(), kReadOnlyFlags, &lockError);
  } else if (mode == VELDBConnectInfo::ReadWrite) {
    message = "vel_openExclusive(" + path + ")";
    rc = vel_openExclusive(&fd, path.c_str(), kReadWriteFlags, 0, &lockError);
  } else {
    rc = lockError;
  }
  if (rc != 0 || fd < 0) {
    if (fd != -1) vel_close(fd);
    fileDescriptor = -1;
    if (rc == -1 && lockError != 0) VELDB_THROW_EXTRA(VELDBError::kLock, message, lockError);
    VELDB_THROW_EXTRA(VELDBError::kCannotOpen, message, rc);
  }
  fileDescriptor = fd;
  fileName = path;
  position = 0;
}

void FileDBBinaryFile::openUnlockedRead(const VELString& path) {
  VEL_TRACE_SCOPE("openUnlockedRead");
  notOpenCheck();
  int fd = -1;
  const int rc = vel_openUnlockedRead(&fd, path.c_str());
  if (rc != 0 || fd < 0) {
    if (fd != -1) vel_close(fd);
    VELDB_THROW_EXTRA(VELDBError::kCannotOpen, "vel_openUnlockedRead(" + path + ")", rc);
  }
  fileDescriptor = fd;
  fileName = path;
  holdsLock = false;
  position = 0;
}

void FileDBBinaryFile::openTmpFile() {
  VEL_TRACE_SCOPE("openTmpFile");
  notOpenCheck();
  VELString name;
  bool remove = false;
  std::FILE* stream = vel_tmpfile(name, remove);
  if (stream == nullptr) VELDB_THROW(VELDBError::kCannotCreate, "tmpfile");
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
      VELDB_THROW_EXTRA(VELDBError::kCannotClose, "fclose", error);
    }
  } else {
    const int fd = fileDescriptor;
    if (holdsLock) vel_unlockfile(fd, 0, 1);
    resetToClosed();  // never touch this descriptor number again
    if (vel_close(fd) != 0) {
      const int error = errno;
      VELDB_THROW_EXTRA(VELDBError::kCannotClose, "vel_close", error);
    }
  }
  if (removeByName && vel_deletetmpfile(name) != 0) {
    VELDB_THROW(VELDBError::kCannotDelete, "tmp file deletion failed");
  }
}

void FileDBBinaryFile::read(VELString& out, std::uint64_t count) {
  VEL_TRACE_SCOPE("read");
  isOpenCheck();
  if (count > kLargeRead) {
    // A count taken from a damaged file must not cost its size in memory:
    // read what is there and fail as a short read does.
    const std::uint64_t available = bytesAvailable();
    if (count > available) {
      std::unique_ptr<char[]> rest(new char[available == 0 ? 1 : available]);
      read(static_cast<void*>(rest.get()), available);
      fail(kRead, fileName.str(), available);
    }
  }
  std::unique_ptr<char[]> scratch(new char[count == 0 ? 1 : count]);
  read(static_cast<void*>(scratch.get()), count);
  out.assign(scratch.get(), static_cast<std::size_t>(count));
}

void FileDBBinaryFile::read(void* buffer, const std::uint64_t& count) {
  VEL_TRACE_SCOPE("read");
  isOpenCheck();
  if (count > 0xFFFFFFFFULL) fail(kRead, fileName.str(), 0);
  const long long n = vel_readFully(fileDescriptor, buffer, static_cast<std::size_t>(count));
  if (n < 0) {
    position = kUnknown;
    failWithErrno(kRead, fileName.str());
  }
  if (position != kUnknown) position += static_cast<std::uint64_t>(n);
  if (static_cast<std::uint64_t>(n) < count) fail(kRead, fileName.str(), n);
}

void FileDBBinaryFile::readAt(std::uint64_t offset, void* buffer, std::uint64_t count) {
  VEL_TRACE_SCOPE("readAt");
  isOpenCheck();
  if (count > 0xFFFFFFFFULL || offset > kMaxFileSize) {
    fail(kRead, fileName.str(), 0);
  }
  const long long n = vel_readFullyAt(fileDescriptor, buffer, static_cast<std::size_t>(count), offset);
  if (n < 0) {
    failWithErrno(kRead, fileName.str());
  }
  if (static_cast<std::uint64_t>(n) < count) fail(kRead, fileName.str(), n);
}

std::uint64_t FileDBBinaryFile::bytesAvailable() {
  if (position == kUnknown) {
    const long long p = vel_lseek(fileDescriptor, 0, 1);
    if (p < 0) {
      failWithErrno(kRead, fileName.str());
    }
    position = static_cast<std::uint64_t>(p);
  }
  const std::uint64_t size = FileDBBinaryFile::getSize();
  return size > position ? size - position : 0;
}

const VELConstString& FileDBBinaryFile::getFileName() const { return fileName; }

std::uint64_t FileDBBinaryFile::getSize() const {
  VEL_TRACE_SCOPE("getSize");
  isOpenCheck();
  const long long size = vel_filesize(fileDescriptor);
  if (size == -1) {
    const int error = errno;
    VELDB_THROW_EXTRA(VELDBError::kRead, "vel_filesize", error);
  }
  return static_cast<std::uint64_t>(size);
}

void FileDBBinaryFile::isOpenCheck() const {
  if (fileDescriptor == -1) VELDB_THROW(VELDBError::kNotOpen, "");
}

void FileDBBinaryFile::notOpenCheck() const {
  if (fileDescriptor != -1) VELDB_THROW(VELDBError::kAlreadyOpen, "");
}

void FileDBBinaryFile::write(const VELString& data) {
  VEL_TRACE_SCOPE("write");
  const std::uint64_t count = data.size();
  write(static_cast<const void*>(data.data()), count);
}

void FileDBBinaryFile::checkGrowth(std::uint64_t end) const {
  if (end > kMaxFileSize) {
    fail(kGrowPast2GiB, fileName.str(), static_cast<long long>(end));
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
      failWithErrno(kSeek, fileName.str());
    }
    position = static_cast<std::uint64_t>(p);
  }
  if (count > kMaxFileSize) checkGrowth(count);
  checkGrowth(position + count);
  const long long n = vel_writeFully(fileDescriptor, buffer, static_cast<std::size_t>(count));
  if (n < 0) {
    position = kUnknown;
    failWithErrno(kWrite, fileName.str());
  }
  position += static_cast<std::uint64_t>(n);
  if (static_cast<std::uint64_t>(n) < count) fail(kWrite, fileName.str(), n);
}

void FileDBBinaryFile::shareModeOf(const FileDBBinaryFile& table) noexcept {
  if (fileDescriptor == -1 || table.fileDescriptor == -1) return;
  if (vel_shareModeOf(fileDescriptor, table.fileDescriptor) != 0) {
    const int error = errno;
    VEL_TRACE_WRITE(8, VELTraceLevel::kError,
                    "vel_shareModeOf-" + fileName.str() + ": errno " + std::to_string(error));
  }
}

std::uint64_t FileDBBinaryFile::currentPosition() {
  isOpenCheck();
  if (position == kUnknown) {
    const long long p = vel_lseek(fileDescriptor, 0, 1);
    if (p < 0) {
      failWithErrno(kSeek, fileName.str());
    }
    position = static_cast<std::uint64_t>(p);
  }
  return position;
}

std::uint64_t FileDBBinaryFile::setPosition(const long& offset, const Origin& origin) {
  VEL_TRACE_SCOPE("setPosition");
  isOpenCheck();
  // Offsets are 32-bit signed quantities in the file format's world; a wider
  // one is refused rather than cut, which would land somewhere else.
  if (offset < std::numeric_limits<std::int32_t>::min() || offset > std::numeric_limits<std::int32_t>::max()) {
    fail(kSeek, fileName.str(), EINVAL);
  }
  const long long off = offset;
  const int whence = origin == Current ? 1 : origin == End ? 2 : 0;
  const long long p = vel_lseek(fileDescriptor, off, whence);
  if (p == -1) {
    position = kUnknown;
    failWithErrno(kSeek, fileName.str());
  }
  position = static_cast<std::uint64_t>(p);
  return position;
}

std::uint64_t FileDBBinaryFile::setPosition(std::uint64_t pos) {
  VEL_TRACE_SCOPE("setPosition");
  // A position beyond the largest file goes on as a negative offset, which
  // the file refuses (and the in-memory file ignores); cutting it to 32 bits
  // would silently address a position inside the file.
  const long offset = pos > kMaxFileSize ? -1L : static_cast<long>(pos);
  const Origin origin = Begin;
  return setPosition(offset, origin);
}

void FileDBBinaryFile::setSize(std::uint64_t size) {
  VEL_TRACE_SCOPE("setSize");
  isOpenCheck();
  checkGrowth(size);
  ++modificationCount;
  if (vel_chsize(fileDescriptor, static_cast<long long>(size)) != 0) {
    failWithErrno(kChangeSize, fileName.str());
  }
}

void FileDBBinaryFile::reserve(std::uint64_t size) {
  VEL_TRACE_SCOPE("reserve");
  isOpenCheck();
  checkGrowth(size);
  if (size == 0) return;
  const int rc = vel_reserve(fileDescriptor, 0, static_cast<long long>(size));
  if (rc != 0) fail(kReserve, fileName.str(), rc);
}

void FileDBBinaryFile::sync() {
  VEL_TRACE_SCOPE("sync");
  isOpenCheck();
  if (vel_fsync(fileDescriptor) != 0) {
    failWithErrno(kSync, fileName.str());
  }
}

void FileDBBinaryFile::lock(std::uint64_t offset, std::uint64_t length, int mode) {
  VEL_TRACE_SCOPE("lock");
  isOpenCheck();
  const int rc = vel_lockfile(fileDescriptor, offset, length, mode);
  if (rc != 0) fail(kLock, fileName.str(), rc);
}

void FileDBBinaryFile::unlock(std::uint64_t offset, std::uint64_t length) {
  VEL_TRACE_SCOPE("unlock");
  isOpenCheck();
  const int rc = vel_unlockfile(fileDescriptor, offset, length);
  if (rc != 0) fail(kUnlock, fileName.str(), rc);
}

bool FileDBBinaryFile::exists(const VELString& path) {
  VEL_TRACE_SCOPE("exists");
  return vel_access(path.c_str(), 0) == 0;
}

VELString FileDBBinaryFile::fullPathName(const VELString& path) {
  VEL_TRACE_SCOPE("fullPathName");
  VELString full;
  if (vel_fullpath(full, path.c_str()) != 0) {
    failWithErrno(kFullPath, path);
  }
  return full;
}

void FileDBBinaryFile::remove(const VELString& path) {
  VEL_TRACE_SCOPE("remove");
  if (vel_unlink(path.c_str()) != 0) {
    failWithErrno(kUnlink, path);
  }
}

std::vector<std::string> FileDBBinaryFile::list(const VELString& directory, const VELString& prefix) {
  VEL_TRACE_SCOPE("list");
  std::vector<std::string> names;
  if (vel_listdir(directory.c_str(), prefix.c_str(), names) != 0) failWithErrno(kList, directory);
  return names;
}

void FileDBBinaryFile::syncDirectory(const VELString& path) {
  VEL_TRACE_SCOPE("syncDirectory");
  if (vel_syncdir(path.c_str()) != 0) failWithErrno(kSyncDirectory, path);
}

void FileDBBinaryFile::rename(const VELString& from, const VELString& to) {
  VEL_TRACE_SCOPE("rename");
  if (vel_rename(from.c_str(), to.c_str()) != 0) {
    failWithErrno(kRename, from + " to " + to);
  }
}
