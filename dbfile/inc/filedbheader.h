// filedbheader.h -- the common part of every database file header.
//
// A database file is a header followed by record slots that all have one
// fixed length.  The header starts with 48 common bytes, the same in every
// header version, followed by a version-specific part that holds the two
// password hashes (`FileDBHeaderV3`: 80 bytes in all, `FileDBHeaderV4`: 88).
// `FileDBHeader` owns the 48 common bytes exactly as they stand on disk,
// gives typed access to each field, checks the magic number and declares the
// version-specific operations that the derived classes supply.  The storage
// engine creates, reads, validates and rewrites headers only through this
// interface.
//
// Common header, at file offset 0.  Numbers are big-endian; the in-memory
// copy holds the disk bytes, so setters convert on the way in and getters on
// the way out.
//
//   offset width field
//   ------ ----- ---------------------------------------------------------
//        0     2 magic number, the bytes 0x37 0x48 ("7H")
//        2     1 major version number: 3 or 4
//        3     1 minor version number, chosen by the owning table
//        4     4 password expiration time
//        8     8 file type: "X509KEY", "X509KYP" or "X509CRL" and a zero
//       16     4 fixed record length: bytes in every record slot
//       20     4 records allocated: number of record slots in the file
//       24    24 file label: at most 23 bytes of text, zero-padded; always
//                ends with a zero byte.  Every file written here holds the
//                23 non-zero bytes of random salt that
//                `setPasswordHeaderHash` draws.
//
// Slot i (from 0) starts at getSize() + i * fixed record length.  A
// well-formed file is exactly getSize() + records allocated * fixed record
// length bytes long.
//
// Calling order.  Creating a file: construct, set minor version, file type
// and record length, then `setPasswordHeaderHash`, `setPasswordDatabaseHash`,
// `persist`.  Opening: construct from the file, `validateConstants`,
// `validateMajorVersion`, `validatePasswordHeaderHash`,
// `validatePasswordDatabaseHash` (or `startDatabaseHash`, fed the slots by a
// caller that reads them anyway, and `databaseHashMatches` on its result).
// The database hash covers the header hash,
// which covers the salt, so the header hash is always set first.
//
// The base class is concrete: its hash operations are the behaviour of a
// header of no known version (nothing to set, every validation fails).
// Setters change memory only; nothing reaches the disk before `persist`.
// A header is used by one thread at a time (the storage's instance mutex).
#ifndef DBFILE_FILEDBHEADER_H
#define DBFILE_FILEDBHEADER_H

#include <cstdint>
#include <functional>
#include <memory>

#include "filedbbinaryfile.h"
#include "velbuffer.h"
#include "velkry.h"
#include "velpassword.h"
#include "velstring.h"

class FileDBHeader {
 public:
  // Layout of the common header.
  static constexpr std::uint64_t kMagicNumberOffset = 0;
  static constexpr std::uint64_t kMagicNumberSize = 2;
  static constexpr unsigned char kMagicNumber0 = 0x37;  // '7'
  static constexpr unsigned char kMagicNumber1 = 0x48;  // 'H'
  static constexpr std::uint64_t kMajorVersionNumberOffset = 2;
  static constexpr std::uint64_t kMinorVersionNumberOffset = 3;
  static constexpr std::uint64_t kPasswordExpirationTimeOffset = 4;
  static constexpr std::uint64_t kFileTypeOffset = 8;
  static constexpr std::uint64_t kFileTypeSize = 8;
  static constexpr std::uint64_t kFixedRecordLengthOffset = 16;
  static constexpr std::uint64_t kRecordsAllocatedOffset = 20;
  static constexpr std::uint64_t kFileLabelOffset = 24;
  static constexpr std::uint64_t kFileLabelSize = 24;
  static constexpr std::uint64_t kFileLabelMaxLength = kFileLabelSize - 1;
  static constexpr std::uint64_t kCommonHeaderSize = 48;

  // Number of random salt bytes that `setPasswordHeaderHash` stores in the
  // file label field.
  static constexpr std::uint64_t kSaltSize = kFileLabelMaxLength;

  // Record length of a new file, and the step by which it grows.
  static constexpr std::uint32_t kInitialFixedRecordLength = 5000;
  static constexpr std::uint32_t kFixedRecordLengthStep = 1000;

  // File types (8 bytes, terminating zero included) and the minor version
  // each table writes at creation.
  static constexpr unsigned char kKeyFileType[kFileTypeSize] = {'X', '5', '0', '9', 'K', 'E', 'Y', 0};
  static constexpr unsigned char kKeyPairFileType[kFileTypeSize] = {'X', '5', '0', '9', 'K', 'Y', 'P', 0};
  static constexpr unsigned char kCRLFileType[kFileTypeSize] = {'X', '5', '0', '9', 'C', 'R', 'L', 0};
  static constexpr std::uint8_t kKeyMinorVersion = 2;
  static constexpr std::uint8_t kKeyPairMinorVersion = 1;
  static constexpr std::uint8_t kCRLMinorVersion = 1;

  // CREATORS
  // A header with the magic number and every other byte zero.
  FileDBHeader();
  FileDBHeader(const FileDBHeader&) = delete;
  virtual ~FileDBHeader();

  // MANIPULATORS
  // Copies the other header's 48 common bytes (nothing when it is this one).
  virtual FileDBHeader& operator=(const FileDBHeader& other);
  virtual void setMinorVersionNumber(std::uint8_t minor);
  virtual void setPasswordExpirationTime(std::uint32_t time);
  // Copies the 8 bytes at `fileType`; null throws 0x8B67A.
  virtual void setFileType(const unsigned char* fileType);
  virtual void setFixedRecordLength(std::uint32_t length);
  virtual void setRecordsAllocated(std::uint32_t count);
  // Stores at most 23 bytes of `label` (after `hostStringToNetString`),
  // stopping at a zero byte; the field always keeps a terminating zero.
  virtual void setFileLabel(const VELString& label);
  // Draws a new salt into the file label and stores the password header
  // hash over the common header.  Base: nothing.
  virtual void setPasswordHeaderHash(const VELPasswordEncryptor& password);
  // Stores the password database hash over header and every slot of `file`.
  // Base: nothing.
  virtual void setPasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password);
  // Incremental database hash.  A header version whose database hash can
  // take in the change of one slot without reading the file again answers
  // true while it holds what it needs; the storage then reports each slot
  // it writes (`oldSlot` null for an appended slot), before the write.
  virtual bool wantsSlotUpdates() const { return false; }
  virtual void slotChanged(const unsigned char* oldSlot, const unsigned char* newSlot, std::uint64_t length,
                           const VELPasswordEncryptor& password) {
    (void)oldSlot;
    (void)newSlot;
    (void)length;
    (void)password;
  }
  // Drops what the incremental hash kept: the next database hash reads
  // the file.
  virtual void forgetSlotDigests() {}
  virtual void setMajorVersionNumber(std::uint8_t major);
  // Copies the 48 common bytes in, exactly as they stand on disk; null
  // throws 0x8B67A.
  virtual void setBuffer(const unsigned char* buffer);

  // ACCESSORS
  // The 48 common bytes as they stand on disk; valid while this object is.
  virtual const unsigned char* getBuffer() const;
  virtual VELBuffer getMagicNumber() const;
  virtual std::uint8_t getMajorVersionNumber() const;
  virtual std::uint8_t getMinorVersionNumber() const;
  virtual std::uint32_t getPasswordExpirationTime() const;
  virtual VELBuffer getFileType() const;
  virtual std::uint32_t getFixedRecordLength() const;
  virtual std::uint32_t getRecordsAllocated() const;
  // The label text up to its first zero byte (never past the field), after
  // `netStringToHostString`; empty when the first byte is zero.
  virtual VELString getFileLabel() const;
  // The stored hashes; base: empty buffers.
  virtual VELBuffer getPasswordHeaderHash() const;
  virtual VELBuffer getPasswordDatabaseHash() const;
  // Header size on disk: 48 here, 80 for version 3, 88 for version 4.
  virtual std::uint64_t getSize() const;
  // Writes the whole header at file position 0.  Base: nothing.  File
  // errors are those of `FileDBBinaryFile`.
  virtual void persist(FileDBBinaryFile& file) const;
  // Throws 0x8C241 when the magic number is not "7H".
  virtual void validateConstants() const;
  // Throws 0x8C242 unless the major version is the class's own.  Base:
  // always throws.
  virtual void validateMajorVersion() const;
  // Throws 0x8C240 when `password` does not give the stored header hash.
  // Base: always throws.
  virtual void validatePasswordHeaderHash(const VELPasswordEncryptor& password) const;
  // Throws 0x8C243 when `file` and `password` do not give the stored
  // database hash (or when the file cannot hold the slots the header
  // counts).  Base: always throws.
  virtual void validatePasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) const;
  // The header hash over the current common bytes.  Base: throws 0x8BA66.
  virtual VELBuffer computePasswordHeaderHash(const VELPasswordEncryptor& password) const;
  // The database hash over the current header and every slot of `file`
  // (`startDatabaseHash` fed by `streamSlots`); moves the file position.
  // Base: throws 0x8BA66.
  virtual VELBuffer computePasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) const;

  // A database hash under way, fed the slot bytes in file order by whoever
  // reads them, so that one pass over the file can check the hash and do
  // other work with the same bytes.
  class DatabaseHasher {
   public:
    virtual ~DatabaseHasher() = default;
    // The next `n` bytes of the slots, in pieces of any size.
    virtual void update(const unsigned char* data, std::uint64_t n) = 0;
    // The hash over the header and every byte handed in; call once, after
    // the last slot byte.
    virtual VELBuffer finish() = 0;
  };
  // Starts the database hash over the current header.  The hasher uses this
  // header's digest objects: nothing else may hash with the header until it
  // is finished.  Base: throws 0x8BA66.
  virtual std::unique_ptr<DatabaseHasher> startDatabaseHash(const VELPasswordEncryptor& password) const;
  // True when `computed` is the stored database hash (constant time).
  // Base: false.
  virtual bool databaseHashMatches(const VELBuffer& computed) const;
  virtual bool isKindOf(const VELString& name) const;
  virtual VELString getInstanceName() const;
  static VELString getClassName();

  // MANIPULATORS (declared last, so that the functions above keep their
  // places in the virtual table for code built before it)
  // Stores `computed` as the password database hash: the result of a
  // `startDatabaseHash` of this header fed every slot by a caller that
  // wrote them.  Base: nothing.
  virtual void storeDatabaseHash(const VELBuffer& computed) { (void)computed; }

 protected:
  // Hands the bytes of the records-allocated slots that follow a header of
  // `headerSize` bytes to `feed`, in file order and in blocks of at most
  // about 1 MiB (whole slots per block when a slot fits in one).  Reads are
  // sequential from `headerSize`; the scratch block is kept for the next
  // call.  Throws 0x8C243 before reading when the slots do not fit in the
  // file (or the record length is 0 while slots are counted); file errors
  // are those of `FileDBBinaryFile`.
  void streamSlots(FileDBBinaryFile& file, std::uint64_t headerSize,
                   const std::function<void(const unsigned char*, std::uint64_t)>& feed) const;

  // Draws `kSaltSize` random bytes, replaces each zero by 0x01 and stores
  // them as the file label.
  void storeNewSalt(const VELKRYAlgorithmFactory* factory);

  // Constant-time comparison of a computed hash with a stored one.
  static bool hashesEqual(const VELBuffer& computed, const unsigned char* stored, std::uint64_t size);

 private:
  // DATA
  unsigned char commonHeader[kCommonHeaderSize];
  mutable std::unique_ptr<unsigned char[]> scratch;  // slot blocks for the database hash
  mutable std::uint64_t scratchSize;
};

#endif
