#include "filedbheader.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "filedbcoding.h"
#include "velexception.h"
#include "veltrace.h"
#include "velutility.h"

namespace {

// Largest block read at once while hashing the slots: big enough that the
// read calls vanish next to the digest work, small enough to keep per open
// file.
constexpr std::uint64_t kHashBlockSize = 1u << 20;

}  // namespace

FileDBHeader::FileDBHeader() : scratchSize(0) {
  VEL_TRACE_SCOPE("FileDBHeader::ctor");
  std::memset(commonHeader, 0, sizeof commonHeader);
  commonHeader[kMagicNumberOffset] = kMagicNumber0;
  commonHeader[kMagicNumberOffset + 1] = kMagicNumber1;
}

FileDBHeader::~FileDBHeader() { VEL_TRACE_SCOPE("FileDBHeader::dtor"); }

FileDBHeader& FileDBHeader::operator=(const FileDBHeader& other) {
  VEL_TRACE_SCOPE("FileDBHeader::operator=");
  if (this != &other) std::memcpy(commonHeader, other.commonHeader, sizeof commonHeader);
  return *this;
}

void FileDBHeader::setMinorVersionNumber(std::uint8_t minor) {
  VEL_TRACE_SCOPE("setMinorVersionNumber");
  commonHeader[kMinorVersionNumberOffset] = minor;
}

void FileDBHeader::setPasswordExpirationTime(std::uint32_t time) {
  VEL_TRACE_SCOPE("setPasswordExpirationTime");
  FileDBCoding::put32(commonHeader + kPasswordExpirationTimeOffset, time);
}

void FileDBHeader::setFileType(const unsigned char* fileType) {
  VEL_TRACE_SCOPE("setFileType");
  if (fileType == nullptr) VELDB_THROW(VELDBError::kBadArgument, "no file type");
  std::memcpy(commonHeader + kFileTypeOffset, fileType, kFileTypeSize);
}

void FileDBHeader::setFixedRecordLength(std::uint32_t length) {
  VEL_TRACE_SCOPE("setFixedRecordLength");
  FileDBCoding::put32(commonHeader + kFixedRecordLengthOffset, length);
}

void FileDBHeader::setRecordsAllocated(std::uint32_t count) {
  VEL_TRACE_SCOPE("setRecordsAllocated");
  FileDBCoding::put32(commonHeader + kRecordsAllocatedOffset, count);
}

void FileDBHeader::setFileLabel(const VELString& label) {
  VEL_TRACE_SCOPE("setFileLabel");
  const VELString net = VELUtility::hostStringToNetString(label);
  unsigned char* field = commonHeader + kFileLabelOffset;
  std::memset(field, 0, kFileLabelSize);
  const std::size_t limit = std::min<std::size_t>(net.size(), kFileLabelMaxLength);
  for (std::size_t i = 0; i < limit && net[i] != '\0'; ++i) field[i] = static_cast<unsigned char>(net[i]);
}

void FileDBHeader::setPasswordHeaderHash(const VELPasswordEncryptor&) { VEL_TRACE_SCOPE("setPasswordHeaderHash"); }

void FileDBHeader::setPasswordDatabaseHash(FileDBBinaryFile&, const VELPasswordEncryptor&) {
  VEL_TRACE_SCOPE("setPasswordDatabaseHash");
}

void FileDBHeader::setMajorVersionNumber(std::uint8_t major) {
  VEL_TRACE_SCOPE("setMajorVersionNumber");
  commonHeader[kMajorVersionNumberOffset] = major;
}

void FileDBHeader::setBuffer(const unsigned char* buffer) {
  VEL_TRACE_SCOPE("setBuffer");
  if (buffer == nullptr) VELDB_THROW(VELDBError::kBadArgument, "no header bytes");
  std::memmove(commonHeader, buffer, sizeof commonHeader);
}

const unsigned char* FileDBHeader::getBuffer() const {
  VEL_TRACE_SCOPE("getBuffer");
  return commonHeader;
}

VELBuffer FileDBHeader::getMagicNumber() const {
  VEL_TRACE_SCOPE("getMagicNumber");
  return VELBuffer(commonHeader + kMagicNumberOffset, kMagicNumberSize);
}

std::uint8_t FileDBHeader::getMajorVersionNumber() const {
  VEL_TRACE_SCOPE("getMajorVersionNumber");
  return commonHeader[kMajorVersionNumberOffset];
}

std::uint8_t FileDBHeader::getMinorVersionNumber() const {
  VEL_TRACE_SCOPE("getMinorVersionNumber");
  return commonHeader[kMinorVersionNumberOffset];
}

std::uint32_t FileDBHeader::getPasswordExpirationTime() const {
  VEL_TRACE_SCOPE("getPasswordExpirationTime");
  return FileDBCoding::get32(commonHeader + kPasswordExpirationTimeOffset);
}

VELBuffer FileDBHeader::getFileType() const {
  VEL_TRACE_SCOPE("getFileType");
  return VELBuffer(commonHeader + kFileTypeOffset, kFileTypeSize);
}

std::uint32_t FileDBHeader::getFixedRecordLength() const {
  VEL_TRACE_SCOPE("getFixedRecordLength");
  return FileDBCoding::get32(commonHeader + kFixedRecordLengthOffset);
}

std::uint32_t FileDBHeader::getRecordsAllocated() const {
  VEL_TRACE_SCOPE("getRecordsAllocated");
  return FileDBCoding::get32(commonHeader + kRecordsAllocatedOffset);
}

VELString FileDBHeader::getFileLabel() const {
  VEL_TRACE_SCOPE("getFileLabel");
  const unsigned char* field = commonHeader + kFileLabelOffset;
  if (field[0] == 0) return VELString();
  // A file read from disk may hold a label field without its zero byte:
  // the text never runs past the field.
  std::size_t n = 0;
  while (n < kFileLabelSize && field[n] != 0) ++n;
  return VELUtility::netStringToHostString(VELString(reinterpret_cast<const char*>(field), n));
}

VELBuffer FileDBHeader::getPasswordHeaderHash() const {
  VEL_TRACE_SCOPE("getPasswordHeaderHash");
  return VELBuffer();
}

VELBuffer FileDBHeader::getPasswordDatabaseHash() const {
  VEL_TRACE_SCOPE("getPasswordDatabaseHash");
  return VELBuffer();
}

std::uint64_t FileDBHeader::getSize() const {
  VEL_TRACE_SCOPE("getSize");
  return kCommonHeaderSize;
}

void FileDBHeader::persist(FileDBBinaryFile&) const { VEL_TRACE_SCOPE("persist"); }

void FileDBHeader::validateConstants() const {
  VEL_TRACE_SCOPE("validateConstants");
  if (commonHeader[kMagicNumberOffset] != kMagicNumber0 || commonHeader[kMagicNumberOffset + 1] != kMagicNumber1) {
    VELDB_THROW(VELDBError::kBadFormat, "");
  }
}

void FileDBHeader::validateMajorVersion() const {
  VEL_TRACE_SCOPE("validateMajorVersion");
  VELDB_THROW(VELDBError::kBadMajorVersion, "");
}

void FileDBHeader::validatePasswordHeaderHash(const VELPasswordEncryptor&) const {
  VEL_TRACE_SCOPE("validatePasswordHeaderHash");
  VELDB_THROW(VELDBError::kBadPassword, "");
}

void FileDBHeader::validatePasswordDatabaseHash(FileDBBinaryFile&, const VELPasswordEncryptor&) const {
  VEL_TRACE_SCOPE("validatePasswordDatabaseHash");
  VELDB_THROW(VELDBError::kHashMismatch, "");
}

VELBuffer FileDBHeader::computePasswordHeaderHash(const VELPasswordEncryptor&) const {
  VEL_TRACE_SCOPE("computePasswordHeaderHash");
  VELDB_THROW(VELDBError::kNoDigest, "");
}

VELBuffer FileDBHeader::computePasswordDatabaseHash(FileDBBinaryFile& file,
                                                    const VELPasswordEncryptor& password) const {
  VEL_TRACE_SCOPE("computePasswordDatabaseHash");
  const std::unique_ptr<DatabaseHasher> hasher = startDatabaseHash(password);
  DatabaseHasher& running = *hasher;
  streamSlots(file, getSize(), [&running](const unsigned char* data, std::uint64_t n) { running.update(data, n); });
  return hasher->finish();
}

std::unique_ptr<FileDBHeader::DatabaseHasher> FileDBHeader::startDatabaseHash(const VELPasswordEncryptor&) const {
  VELDB_THROW(VELDBError::kNoDigest, "");
}

bool FileDBHeader::databaseHashMatches(const VELBuffer&) const { return false; }

bool FileDBHeader::isKindOf(const VELString& name) const {
  VEL_TRACE_SCOPE("isKindOf");
  return name == getClassName();
}

VELString FileDBHeader::getInstanceName() const {
  VEL_TRACE_SCOPE("getInstanceName");
  return getClassName();
}

VELString FileDBHeader::getClassName() { return "FileDBHeader"; }

void FileDBHeader::streamSlots(FileDBBinaryFile& file, std::uint64_t headerSize,
                               const std::function<void(const unsigned char*, std::uint64_t)>& feed) const {
  const std::uint64_t count = getRecordsAllocated();
  const std::uint64_t length = getFixedRecordLength();
  if (count == 0) return;
  // Both factors are below 2^32, so the product cannot wrap in 64 bits.  A
  // header that counts more slot bytes than the file holds does not describe
  // this file: refuse it before reading or allocating anything.
  if (length == 0) VELDB_THROW(VELDBError::kHashMismatch, "record length 0 with slots allocated");
  const std::uint64_t total = count * length;
  const std::uint64_t fileSize = file.getSize();
  if (fileSize < headerSize || total > fileSize - headerSize) {
    VELDB_THROW_EXTRA(VELDBError::kHashMismatch, "slots reach past the end of the file",
                      static_cast<long long>(fileSize));
  }

  std::uint64_t block = length <= kHashBlockSize ? (kHashBlockSize / length) * length : kHashBlockSize;
  if (block > total) block = total;
  if (scratchSize < block) {
    scratch.reset();
    scratchSize = 0;
    scratch.reset(new unsigned char[static_cast<std::size_t>(block)]);
    scratchSize = block;
  }

  file.setPosition(headerSize);
  for (std::uint64_t done = 0; done < total;) {
    const std::uint64_t n = std::min(block, total - done);
    file.read(static_cast<void*>(scratch.get()), n);
    feed(scratch.get(), n);
    done += n;
  }
}

void FileDBHeader::storeNewSalt(const VELKRYAlgorithmFactory* factory) {
  unsigned char salt[kSaltSize];
  VELKRYUtility::generateRandomData(salt, sizeof salt, nullptr, factory);
  // A zero byte would end the label early and shorten the salt.
  for (unsigned char& b : salt) {
    if (b == 0) b = 0x01;
  }
  setFileLabel(VELString(reinterpret_cast<const char*>(salt), sizeof salt));
}

bool FileDBHeader::hashesEqual(const VELBuffer& computed, const unsigned char* stored, std::uint64_t size) {
  if (computed.length() < size) return false;
  return CRYPTO_memcmp(computed.data(), stored, static_cast<std::size_t>(size)) == 0;
}
