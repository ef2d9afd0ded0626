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
    : FileDBSealedHeader(), algorithmFactory(copyFactory(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::ctor");
}

FileDBHeaderV4::FileDBHeaderV4(const VELKRYAlgorithmFactory* factory, FileDBBinaryFile& file)
    : FileDBSealedHeader(file), algorithmFactory(copyFactory(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::ctor");
}

FileDBHeaderV4::FileDBHeaderV4(const FileDBHeaderV4& other, const VELKRYAlgorithmFactory* factory)
    : FileDBSealedHeader(), algorithmFactory(copyFactory(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::ctor");
  copyFrom(other);
}

FileDBHeaderV4::~FileDBHeaderV4() { VEL_TRACE_SCOPE("FileDBHeaderV4::dtor"); }

FileDBHeaderV4& FileDBHeaderV4::operator=(const FileDBHeaderV4& other) {
  VEL_TRACE_SCOPE("FileDBHeaderV4::operator=");
  if (this != &other) copyFrom(other);
  return *this;
}

void FileDBHeaderV4::setPasswordHeaderHash(const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("setPasswordHeaderHash");
  // Make sure a MAC can be had before the salt changes, so that a header
  // without one is left as it was.
  makeMAC(password.getClearPassword());
  storeNewSalt(algorithmFactory.get());
  storePasswordHeaderHash(computePasswordHeaderHash(password));
}

void FileDBHeaderV4::setPasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("setPasswordDatabaseHash");
  storePasswordDatabaseHash(computePasswordDatabaseHash(file, password));
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

bool FileDBHeaderV4::isKindOf(const VELString& name) const {
  VEL_TRACE_SCOPE("isKindOf");
  return name == getClassName() || FileDBHeader::isKindOf(name);
}

VELString FileDBHeaderV4::getInstanceName() const {
  VEL_TRACE_SCOPE("getInstanceName");
  return getClassName();
}

VELString FileDBHeaderV4::getClassName() { return "FileDBHeaderV4"; }
