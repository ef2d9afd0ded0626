#include "filedbheaderv4.h"

#include <cstring>

#include "velexception.h"
#include "veltrace.h"

namespace {

std::unique_ptr<VELKRYAlgorithmFactory> copyFactory(const VELKRYAlgorithmFactory* factory) {
  if (factory == nullptr) return nullptr;
  return std::unique_ptr<VELKRYAlgorithmFactory>(factory->copy());
}

class MACHasher : public FileDBHeader::DatabaseHasher {
 public:
  explicit MACHasher(std::unique_ptr<VELKRYDigest> mac) : d_mac(std::move(mac)) {}
  void update(const unsigned char* data, std::uint64_t n) override { d_mac->update(data, static_cast<std::size_t>(n)); }
  VELBuffer finish() override { return d_mac->finish(); }

 private:
  std::unique_ptr<VELKRYDigest> d_mac;
};

}  // namespace

FileDBHeaderV4::FileDBHeaderV4(const VELKRYAlgorithmFactory* factory)
    : FileDBHeader(), algorithmFactory(copyFactory(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::ctor");
  std::memset(passwordHeaderHash, 0, sizeof passwordHeaderHash);
  std::memset(passwordDatabaseHash, 0, sizeof passwordDatabaseHash);
  setMajorVersionNumber(kMajorVersion);
}

FileDBHeaderV4::FileDBHeaderV4(const VELKRYAlgorithmFactory* factory, FileDBBinaryFile& file)
    : FileDBHeader(), algorithmFactory(copyFactory(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::ctor");
  unsigned char bytes[kHeaderSize];
  file.setPosition(std::uint64_t{0});
  file.read(static_cast<void*>(bytes), kHeaderSize);
  setBuffer(bytes);
  std::memcpy(passwordHeaderHash, bytes + kPasswordHeaderHashOffset, kHashSize);
  std::memcpy(passwordDatabaseHash, bytes + kPasswordDatabaseHashOffset, kHashSize);
}

FileDBHeaderV4::FileDBHeaderV4(const FileDBHeaderV4& other, const VELKRYAlgorithmFactory* factory)
    : FileDBHeader(), algorithmFactory(copyFactory(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::ctor");
  setBuffer(other.getBuffer());
  std::memcpy(passwordHeaderHash, other.passwordHeaderHash, kHashSize);
  std::memcpy(passwordDatabaseHash, other.passwordDatabaseHash, kHashSize);
}

FileDBHeaderV4::~FileDBHeaderV4() { VEL_TRACE_SCOPE("FileDBHeaderV4::dtor"); }

FileDBHeaderV4& FileDBHeaderV4::operator=(const FileDBHeaderV4& other) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::operator=");
  if (this != &other) {
    setBuffer(other.getBuffer());
    std::memcpy(passwordHeaderHash, other.passwordHeaderHash, kHashSize);
    std::memcpy(passwordDatabaseHash, other.passwordDatabaseHash, kHashSize);
  }
  return *this;
}

void FileDBHeaderV4::setPasswordHeaderHash(const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("setPasswordHeaderHash");
  // Make sure a MAC can be had before the salt changes, so that a header
  // without one is left as it was.
  makeMAC(password.getClearPassword());
  storeNewSalt(algorithmFactory.get());
  const VELBuffer hash = computePasswordHeaderHash(password);
  std::memcpy(passwordHeaderHash, hash.data(), kHashSize);
}

void FileDBHeaderV4::setPasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("setPasswordDatabaseHash");
  const VELBuffer hash = computePasswordDatabaseHash(file, password);
  std::memcpy(passwordDatabaseHash, hash.data(), kHashSize);
}

VELBuffer FileDBHeaderV4::getPasswordHeaderHash() const {
  VEL_TRACE_SCOPE("getPasswordHeaderHash");
  return VELBuffer(passwordHeaderHash, kHashSize);
}

VELBuffer FileDBHeaderV4::getPasswordDatabaseHash() const {
  VEL_TRACE_SCOPE("getPasswordDatabaseHash");
  return VELBuffer(passwordDatabaseHash, kHashSize);
}

std::uint64_t FileDBHeaderV4::getSize() const {
  VEL_TRACE_SCOPE("getSize");
  return kHeaderSize;
}

void FileDBHeaderV4::persist(FileDBBinaryFile& file) const {
  VEL_TRACE_SCOPE("persist");
  // One write of the whole header: the same bytes as writing its three
  // parts in turn, in one call.
  unsigned char bytes[kHeaderSize];
  std::memcpy(bytes, getBuffer(), kCommonHeaderSize);
  std::memcpy(bytes + kPasswordHeaderHashOffset, passwordHeaderHash, kHashSize);
  std::memcpy(bytes + kPasswordDatabaseHashOffset, passwordDatabaseHash, kHashSize);
  file.setPosition(std::uint64_t{0});
  file.write(static_cast<const void*>(bytes), kHeaderSize);
}

void FileDBHeaderV4::validateMajorVersion() const {
  VEL_TRACE_SCOPE("validateMajorVersion");
  if (getMajorVersionNumber() != kMajorVersion) VELDB_THROW(VELDBError::kBadMajorVersion, "");
}

void FileDBHeaderV4::validatePasswordHeaderHash(const VELPasswordEncryptor& password) const {
  VEL_TRACE_SCOPE("validatePasswordHeaderHash");
  if (!hashesEqual(computePasswordHeaderHash(password), passwordHeaderHash, kHashSize)) {
    VELDB_THROW(VELDBError::kBadPassword, "");
  }
}

void FileDBHeaderV4::validatePasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) const {
  VEL_TRACE_SCOPE("validatePasswordDatabaseHash");
  if (!databaseHashMatches(computePasswordDatabaseHash(file, password))) {
    VELDB_THROW(VELDBError::kHashMismatch, "");
  }
}

std::unique_ptr<VELKRYDigest> FileDBHeaderV4::makeMAC(const VELFastBuffer& key) const {
  std::unique_ptr<VELKRYDigest> mac;
  if (algorithmFactory) mac = algorithmFactory->createMAC(key.get());
  if (!mac) VELDB_THROW(VELDBError::kNoDigest, "");
  if (mac->size() < kHashSize) VELDB_THROW(VELDBError::kNoDigest, "MAC shorter than 20 bytes");
  return mac;
}

VELBuffer FileDBHeaderV4::computePasswordHeaderHash(const VELPasswordEncryptor& password) const {
  VEL_TRACE_SCOPE("computePasswordHeaderHash");
  const std::unique_ptr<VELKRYDigest> mac = makeMAC(password.getClearPassword());
  mac->init();
  mac->update(getBuffer(), kCommonHeaderSize);
  return mac->finish();
}

std::unique_ptr<FileDBHeader::DatabaseHasher> FileDBHeaderV4::startDatabaseHash(
    const VELPasswordEncryptor& password) const {
  std::unique_ptr<VELKRYDigest> mac = makeMAC(password.getClearPassword());
  mac->init();
  mac->update(getBuffer(), kCommonHeaderSize);
  mac->update(passwordHeaderHash, kHashSize);
  return std::unique_ptr<DatabaseHasher>(new MACHasher(std::move(mac)));
}

bool FileDBHeaderV4::databaseHashMatches(const VELBuffer& computed) const {
  return hashesEqual(computed, passwordDatabaseHash, kHashSize);
}

bool FileDBHeaderV4::isKindOf(const VELString& name) const {
  VEL_TRACE_SCOPE("isKindOf");
  return name == getClassName() || FileDBHeader::isKindOf(name);
}

VELString FileDBHeaderV4::getInstanceName() const {
  VEL_TRACE_SCOPE("getInstanceName");
  return getClassName();
}

VELString FileDBHeaderV4::getClassName() { return "FileDBHeaderV4"; }
