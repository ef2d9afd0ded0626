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

FileDBHeaderV3::FileDBHeaderV3(const VELKRYAlgorithmFactory* factory)
    : FileDBSealedHeader(), digest(makeDigest(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::ctor");
}

FileDBHeaderV3::FileDBHeaderV3(const VELKRYAlgorithmFactory* factory, FileDBBinaryFile& file)
    : FileDBSealedHeader(file), digest(makeDigest(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::ctor");
}

FileDBHeaderV3::FileDBHeaderV3(const FileDBHeaderV3& other, const VELKRYAlgorithmFactory* factory)
    : FileDBSealedHeader(), digest(makeDigest(factory)) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::ctor");
  copyFrom(other);
}

FileDBHeaderV3::~FileDBHeaderV3() { VEL_TRACE_SCOPE("FileDBHeaderV3::dtor"); }

FileDBHeaderV3& FileDBHeaderV3::operator=(const FileDBHeaderV3& other) {
  VEL_TRACE_SCOPE("FileDBHeaderV3::operator=");
  if (this != &other) {
    copyFrom(other);
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
  storePasswordHeaderHash(computePasswordHeaderHash(password));
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
  storePasswordDatabaseHash(computePasswordDatabaseHash(file, password));
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
