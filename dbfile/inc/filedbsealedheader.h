// filedbsealedheader.h -- what the version-3 and version-4 headers share.
//
// Both are the common header followed by two hashes of one width (16 bytes
// for version 3, 20 for version 4), which seal the file to its password:
//
//   offset            width     field
//   ----------------- --------- ---------------------------------------
//   0                 48        common header
//   48                HASHSIZE  password header hash
//   48 + HASHSIZE     HASHSIZE  password database hash
//
// This class keeps the two hashes and does everything that does not depend
// on how they are computed: reading and writing the header, copying it,
// and comparing computed hashes with the stored ones.  The version classes
// compute them.
#ifndef DBFILE_FILEDBSEALEDHEADER_H
#define DBFILE_FILEDBSEALEDHEADER_H

#include <cstdint>
#include <cstring>

#include "filedbbinaryfile.h"
#include "filedbheader.h"
#include "velexception.h"
#include "veltrace.h"

template <std::uint8_t MAJOR, std::uint64_t HASHSIZE>
class FileDBSealedHeader : public FileDBHeader {
 public:
  static constexpr std::uint8_t kMajorVersion = MAJOR;
  static constexpr std::uint64_t kHashSize = HASHSIZE;
  static constexpr std::uint64_t kPasswordHeaderHashOffset = kCommonHeaderSize;
  static constexpr std::uint64_t kPasswordDatabaseHashOffset = kPasswordHeaderHashOffset + kHashSize;
  static constexpr std::uint64_t kHeaderSize = kPasswordDatabaseHashOffset + kHashSize;

  // ACCESSORS
  VELBuffer getPasswordHeaderHash() const override {
    VEL_TRACE_SCOPE("getPasswordHeaderHash");
    return VELBuffer(passwordHeaderHash, kHashSize);
  }
  VELBuffer getPasswordDatabaseHash() const override {
    VEL_TRACE_SCOPE("getPasswordDatabaseHash");
    return VELBuffer(passwordDatabaseHash, kHashSize);
  }
  std::uint64_t getSize() const override {
    VEL_TRACE_SCOPE("getSize");
    return kHeaderSize;
  }
  // Writes the whole header at position 0 of `file`, in one write.
  void persist(FileDBBinaryFile& file) const override {
    VEL_TRACE_SCOPE("persist");
    unsigned char bytes[kHeaderSize];
    std::memcpy(bytes, getBuffer(), kCommonHeaderSize);
    std::memcpy(bytes + kPasswordHeaderHashOffset, passwordHeaderHash, kHashSize);
    std::memcpy(bytes + kPasswordDatabaseHashOffset, passwordDatabaseHash, kHashSize);
    file.setPosition(std::uint64_t{0});
    file.write(static_cast<const void*>(bytes), kHeaderSize);
  }
  // Throws kBadMajorVersion unless the major version is this class's.
  void validateMajorVersion() const override {
    VEL_TRACE_SCOPE("validateMajorVersion");
    if (getMajorVersionNumber() != kMajorVersion) VELDB_THROW(VELDBError::kBadMajorVersion, "");
  }
  // Throws kBadPassword when `password` does not give the stored header hash
  // (kNoDigest without digest).
  void validatePasswordHeaderHash(const VELPasswordEncryptor& password) const override {
    VEL_TRACE_SCOPE("validatePasswordHeaderHash");
    if (!hashesEqual(computePasswordHeaderHash(password), passwordHeaderHash, kHashSize)) {
      VELDB_THROW(VELDBError::kBadPassword, "");
    }
  }
  // Throws kHashMismatch when file and header do not give the stored
  // database hash (kNoDigest without digest; file errors are the file's).
  void validatePasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) const override {
    VEL_TRACE_SCOPE("validatePasswordDatabaseHash");
    if (!databaseHashMatches(computePasswordDatabaseHash(file, password))) {
      VELDB_THROW(VELDBError::kHashMismatch, "");
    }
  }
  // Throws kNoDigest when `computed` is shorter than this version's hash.
  void storeDatabaseHash(const VELBuffer& computed) override {
    if (computed.length() < kHashSize) VELDB_THROW(VELDBError::kNoDigest, "database hash too short");
    storePasswordDatabaseHash(computed);
  }
  bool databaseHashMatches(const VELBuffer& computed) const override {
    return hashesEqual(computed, passwordDatabaseHash, kHashSize);
  }

 protected:
  // CREATORS
  // A header for a new file: magic number, this major version, all else zero.
  FileDBSealedHeader() {
    std::memset(passwordHeaderHash, 0, sizeof passwordHeaderHash);
    std::memset(passwordDatabaseHash, 0, sizeof passwordDatabaseHash);
    setMajorVersionNumber(kMajorVersion);
  }
  // Reads the header at position 0 of `file`; the version byte is taken as
  // it stands.  A file shorter than the header throws kRead.
  explicit FileDBSealedHeader(FileDBBinaryFile& file) {
    unsigned char bytes[kHeaderSize];
    file.setPosition(std::uint64_t{0});
    file.read(static_cast<void*>(bytes), kHeaderSize);
    setBuffer(bytes);
    std::memcpy(passwordHeaderHash, bytes + kPasswordHeaderHashOffset, kHashSize);
    std::memcpy(passwordDatabaseHash, bytes + kPasswordDatabaseHashOffset, kHashSize);
  }
  FileDBSealedHeader& operator=(const FileDBSealedHeader&) = delete;

  // MANIPULATORS
  // Takes `other`'s common bytes and hashes.
  void copyFrom(const FileDBSealedHeader& other) {
    setBuffer(other.getBuffer());
    std::memcpy(passwordHeaderHash, other.passwordHeaderHash, kHashSize);
    std::memcpy(passwordDatabaseHash, other.passwordDatabaseHash, kHashSize);
  }
  void storePasswordHeaderHash(const VELBuffer& hash) { std::memcpy(passwordHeaderHash, hash.data(), kHashSize); }
  void storePasswordDatabaseHash(const VELBuffer& hash) { std::memcpy(passwordDatabaseHash, hash.data(), kHashSize); }

  // DATA
  unsigned char passwordHeaderHash[kHashSize];
  unsigned char passwordDatabaseHash[kHashSize];
};

#endif
