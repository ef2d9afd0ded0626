#include "filedbheaderv3.h"

#include <cstring>

#include "velexception.h"
#include "veltrace.h"

namespace {

std::unique_ptr<VELKRYDigest> makeDigest(const VELKRYAlgorithmFactory* factory) {
  if (factory == nullptr) return nullptr;
  return factory->createMD5Digest();
}

}  // namespace

FileDBHeaderV3::FileDBHeaderV3(const VELKRYAlgorithmFactory* factory) : FileDBHeader(), digest(makeDigest(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::ctor");
  std::memset(passwordHeaderHash, 0, sizeof passwordHeaderHash);
  std::memset(passwordDatabaseHash, 0, sizeof passwordDatabaseHash);
  setMajorVersionNumber(kMajorVersion);
}

FileDBHeaderV3::FileDBHeaderV3(const VELKRYAlgorithmFactory* factory, FileDBBinaryFile& file)
    : FileDBHeader(), digest(makeDigest(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::ctor");
  unsigned char bytes[kHeaderSize];
  file.setPosition(std::uint64_t{0});
  file.read(static_cast<void*>(bytes), kHeaderSize);
  setBuffer(bytes);
  std::memcpy(passwordHeaderHash, bytes + kPasswordHeaderHashOffset, kHashSize);
  std::memcpy(passwordDatabaseHash, bytes + kPasswordDatabaseHashOffset, kHashSize);
}

FileDBHeaderV3::FileDBHeaderV3(const FileDBHeaderV3& other, const VELKRYAlgorithmFactory* factory)
    : FileDBHeader(), digest(makeDigest(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::ctor");
  setBuffer(other.getBuffer());
  std::memcpy(passwordHeaderHash, other.passwordHeaderHash, kHashSize);
  std::memcpy(passwordDatabaseHash, other.passwordDatabaseHash, kHashSize);
}

FileDBHeaderV3::~FileDBHeaderV3() { VEL_TRACE_SCOPE("FileDBHeaderV3::dtor"); }

FileDBHeaderV3& FileDBHeaderV3::operator=(const FileDBHeaderV3& other) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::operator=");
  if (this != &other) {
    setBuffer(other.getBuffer());
    std::memcpy(passwordHeaderHash, other.passwordHeaderHash, kHashSize);
    std::memcpy(passwordDatabaseHash, other.passwordDatabaseHash, kHashSize);
    d_slotXorValid = false;
  }
  return *this;
}

void FileDBHeaderV3::setPasswordHeaderHash(const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("setPasswordHeaderHash");
  // Check for the digest before the salt changes, so that a header without
  // one is left as it was.
  if (!digest) VELDB_THROW(VELDBError::kNoDigest, "");
  storeNewSalt(nullptr);
  const VELBuffer hash = computePasswordHeaderHash(password);
  std::memcpy(passwordHeaderHash, hash.data(), kHashSize);
}

void FileDBHeaderV3::setPasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("setPasswordDatabaseHash");
  if (d_slotXorValid && d_slotXorCount == getRecordsAllocated() && d_slotXorLength == getFixedRecordLength() &&
      d_slotXorPassword == password && digest) {
    const VELFastBuffer clear = password.getClearPassword();
    unsigned char start[kHashSize];
    startValue(start, clear);
    for (std::uint64_t k = 0; k < kHashSize; ++k) passwordDatabaseHash[k] = start[k] ^ d_slotXor[k];
    return;
  }
  const VELBuffer hash = computePasswordDatabaseHash(file, password);
  std::memcpy(passwordDatabaseHash, hash.data(), kHashSize);
}

void FileDBHeaderV3::startValue(unsigned char out[16], const VELFastBuffer& clear) const {
  digest->init();
  digest->update(getBuffer(), kCommonHeaderSize);
  digest->update(passwordHeaderHash, kHashSize);
  digest->update(clear.data(), clear.length());
  digest->finish(out);
}

void FileDBHeaderV3::slotDigest(unsigned char out[16], const unsigned char* slot, std::uint64_t length,
                                const VELFastBuffer& clear) const {
  digest->init();
  digest->update(slot, static_cast<std::size_t>(length));
  digest->update(clear.data(), clear.length());
  digest->finish(out);
}

void FileDBHeaderV3::slotChanged(const unsigned char* oldSlot, const unsigned char* newSlot, std::uint64_t length,
                                 const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("slotChanged");
  if (!d_slotXorValid || !digest || length != d_slotXorLength || !(d_slotXorPassword == password)) {
    d_slotXorValid = false;
    return;
  }
  const VELFastBuffer clear = password.getClearPassword();
  unsigned char h[kHashSize];
  if (oldSlot != nullptr) {
    slotDigest(h, oldSlot, length, clear);
    for (std::uint64_t k = 0; k < kHashSize; ++k) d_slotXor[k] ^= h[k];
  } else {
    ++d_slotXorCount;
  }
  slotDigest(h, newSlot, length, clear);
  for (std::uint64_t k = 0; k < kHashSize; ++k) d_slotXor[k] ^= h[k];
}

VELBuffer FileDBHeaderV3::getPasswordHeaderHash() const {
  VEL_TRACE_SCOPE("getPasswordHeaderHash");
  return VELBuffer(passwordHeaderHash, kHashSize);
}

VELBuffer FileDBHeaderV3::getPasswordDatabaseHash() const {
  VEL_TRACE_SCOPE("getPasswordDatabaseHash");
  return VELBuffer(passwordDatabaseHash, kHashSize);
}

std::uint64_t FileDBHeaderV3::getSize() const {
  VEL_TRACE_SCOPE("getSize");
  return kHeaderSize;
}

void FileDBHeaderV3::persist(FileDBBinaryFile& file) const {
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

void FileDBHeaderV3::validateMajorVersion() const {
  VEL_TRACE_SCOPE("validateMajorVersion");
  if (getMajorVersionNumber() != kMajorVersion) VELDB_THROW(VELDBError::kBadMajorVersion, "");
}

void FileDBHeaderV3::validatePasswordHeaderHash(const VELPasswordEncryptor& password) const {
  VEL_TRACE_SCOPE("validatePasswordHeaderHash");
  if (!hashesEqual(computePasswordHeaderHash(password), passwordHeaderHash, kHashSize)) {
    VELDB_THROW(VELDBError::kBadPassword, "");
  }
}

void FileDBHeaderV3::validatePasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) const {
  VEL_TRACE_SCOPE("validatePasswordDatabaseHash");
  if (!databaseHashMatches(computePasswordDatabaseHash(file, password))) {
    VELDB_THROW(VELDBError::kHashMismatch, "");
  }
}

VELBuffer FileDBHeaderV3::computePasswordHeaderHash(const VELPasswordEncryptor& password) const {
  VEL_TRACE_SCOPE("computePasswordHeaderHash");
  if (!digest) VELDB_THROW(VELDBError::kNoDigest, "");
  const VELFastBuffer clear = password.getClearPassword();
  digest->init();
  digest->update(getBuffer(), kCommonHeaderSize);
  digest->update(clear.data(), clear.length());
  VELBuffer result = digest->finish();
  if (result.length() != kHashSize) VELDB_THROW(VELDBError::kNoDigest, "digest of the wrong size");
  return result;
}

// MD5(slot || password) of each slot, XORed together.  Pieces may end
// inside a slot, so the digest of a slot is carried from one to the next.
class FileDBHeaderV3::SlotXorHasher : public FileDBHeader::DatabaseHasher {
 public:
  SlotXorHasher(const FileDBHeaderV3& header, const VELPasswordEncryptor& password)
      : d_header(header),
        d_password(password),
        d_clear(password.getClearPassword()),
        d_length(header.getFixedRecordLength()),
        d_leftInSlot(d_length) {
    d_header.digest->init();
  }

  void update(const unsigned char* data, std::uint64_t n) override {
    if (d_length == 0) return;  // no slot can hold a byte
    VELKRYDigest& md5 = *d_header.digest;
    while (n > 0) {
      const std::uint64_t take = n < d_leftInSlot ? n : d_leftInSlot;
      md5.update(data, static_cast<std::size_t>(take));
      data += take;
      n -= take;
      d_leftInSlot -= take;
      if (d_leftInSlot == 0) {
        unsigned char slotHash[kHashSize];
        md5.update(d_clear.data(), d_clear.length());
        md5.finish(slotHash);
        for (std::uint64_t k = 0; k < kHashSize; ++k) d_running[k] ^= slotHash[k];
        md5.init();
        d_leftInSlot = d_length;
        ++d_slots;
      }
    }
  }

  VELBuffer finish() override {
    // Keep the XOR over the slots for the incremental hash, when it covers
    // every slot the header counts.
    if (d_leftInSlot == d_length && d_slots == d_header.getRecordsAllocated()) {
      std::memcpy(d_header.d_slotXor, d_running, kHashSize);
      d_header.d_slotXorValid = true;
      d_header.d_slotXorPassword = d_password;
      d_header.d_slotXorCount = d_header.getRecordsAllocated();
      d_header.d_slotXorLength = static_cast<std::uint32_t>(d_length);
    }
    unsigned char result[kHashSize];
    d_header.startValue(result, d_clear);
    for (std::uint64_t k = 0; k < kHashSize; ++k) result[k] ^= d_running[k];
    return VELBuffer(result, kHashSize);
  }

 private:
  const FileDBHeaderV3& d_header;
  VELPasswordEncryptor d_password;
  VELFastBuffer d_clear;
  std::uint64_t d_length;
  std::uint64_t d_leftInSlot;
  std::uint64_t d_slots = 0;
  unsigned char d_running[kHashSize] = {0};
};

std::unique_ptr<FileDBHeader::DatabaseHasher> FileDBHeaderV3::startDatabaseHash(
    const VELPasswordEncryptor& password) const {
  if (!digest) VELDB_THROW(VELDBError::kNoDigest, "");
  if (digest->size() != kHashSize) VELDB_THROW(VELDBError::kNoDigest, "digest of the wrong size");
  return std::unique_ptr<DatabaseHasher>(new SlotXorHasher(*this, password));
}

bool FileDBHeaderV3::databaseHashMatches(const VELBuffer& computed) const {
  return hashesEqual(computed, passwordDatabaseHash, kHashSize);
}

bool FileDBHeaderV3::isKindOf(const VELString& name) const {
  VEL_TRACE_SCOPE("isKindOf");
  return name == getClassName() || FileDBHeader::isKindOf(name);
}

VELString FileDBHeaderV3::getInstanceName() const {
  VEL_TRACE_SCOPE("getInstanceName");
  return getClassName();
}

VELString FileDBHeaderV3::getClassName() { return "FileDBHeaderV3"; }

VELBuffer FileDBHeaderV3::xorMD5Hashes(const VELASNCBuffer& a, const VELASNCBuffer& b) {
  VEL_TRACE_SCOPE("xorMD5Hashes");
  if (a.length() < kHashSize || b.length() < kHashSize || a.data() == nullptr || b.data() == nullptr) {
    VELDB_THROW(VELDBError::kBadArgument, "MD5 hash shorter than 16 bytes");
  }
  unsigned char out[kHashSize];
  for (std::uint64_t k = 0; k < kHashSize; ++k) out[k] = a.data()[k] ^ b.data()[k];
  return VELBuffer(out, kHashSize);
}
