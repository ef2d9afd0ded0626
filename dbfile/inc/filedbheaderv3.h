// filedbheaderv3.h -- the version-3 file header and its MD5 password hashes.
//
// Adds to the 48 common bytes (`FileDBHeader`) two 16-byte MD5 values that
// bind the file to its password.  The password header hash proves the
// password; the password database hash covers the header and every record
// slot, so a file changed without the password is refused when it is opened.
// The password enters every hash as the bytes of the clear password, with no
// terminating zero.
//
// On disk, at file offset 0 (80 bytes); record slots follow at offset 80:
//
//   offset width field
//   ------ ----- ---------------------------------------------------------
//        0    48 common header, major version number 3
//       48    16 password header hash   = MD5(common || password)
//       64    16 password database hash = MD5(common || header hash || password)
//                                          XOR over every slot i of
//                                          MD5(slot i || password)
//
// Every allocated slot enters the database hash with its full length: slots
// in use, deleted slots and padding alike.  Being an XOR, the database hash
// does not depend on the order of the slots.
//
// The header owns one MD5 digest object made by the connection's algorithm
// factory; without one, both compute operations throw 0x8BA66.
#ifndef DBFILE_FILEDBHEADERV3_H
#define DBFILE_FILEDBHEADERV3_H

#include <cstdint>
#include <memory>

#include "filedbsealedheader.h"
#include "velkry.h"

class FileDBHeaderV3 : public FileDBSealedHeader<3, 16> {
 public:
  // CREATORS
  // A header for a new file: magic number, major version 3, all else zero.
  // `factory` may be null (then no digest is available).
  explicit FileDBHeaderV3(const VELKRYAlgorithmFactory* factory);
  // Reads the 80 header bytes at position 0 of `file`.  The version byte is
  // taken as it stands (see `validateMajorVersion`).  A file shorter than
  // the header throws 0x8C238; other file errors are `FileDBBinaryFile`'s.
  FileDBHeaderV3(const VELKRYAlgorithmFactory* factory, FileDBBinaryFile& file);
  // A copy of `other`'s common bytes and hashes, with a digest of its own.
  FileDBHeaderV3(const FileDBHeaderV3& other, const VELKRYAlgorithmFactory* factory);
  ~FileDBHeaderV3() override;

  // MANIPULATORS
  using FileDBHeader::operator=;
  // Copies common bytes and hashes (nothing when `other` is this one); the
  // digest stays.
  virtual FileDBHeaderV3& operator=(const FileDBHeaderV3& other);
  // Stores 23 fresh random non-zero bytes as the file label, then the header
  // hash over the new common bytes.  Throws 0x8BA66 without digest.
  void setPasswordHeaderHash(const VELPasswordEncryptor& password) override;
  // Stores the database hash over this header and the slots of `file`.
  // Throws as `computePasswordDatabaseHash`.
  void setPasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) override;

  // ACCESSORS
  // MD5(common || password), 16 bytes.  Throws 0x8BA66 without digest.
  VELBuffer computePasswordHeaderHash(const VELPasswordEncryptor& password) const override;
  // The 16-byte database hash (layout above) fed slot bytes in file order;
  // when finished it also keeps the XOR over the slots for the incremental
  // hash, so feed it every slot of the file.  Throws 0x8BA66 without digest.
  // `computePasswordDatabaseHash` feeds it the file.
  std::unique_ptr<DatabaseHasher> startDatabaseHash(const VELPasswordEncryptor& password) const override;
  bool isKindOf(const VELString& name) const override;
  VELString getInstanceName() const override;
  static VELString getClassName();

  // A new 16-byte buffer holding a[k] XOR b[k].  Throws 0x8B67A when either
  // view is shorter than 16 bytes.
  static VELBuffer xorMD5Hashes(const VELASNCBuffer& a, const VELASNCBuffer& b);

  // The database hash is MD5(common || header hash || password) XOR, over
  // the slots, MD5(slot || password).  The XOR over the slots is kept from
  // the last full computation and updated slot by slot, so that a change of
  // one slot re-seals the file without reading it again.
  bool wantsSlotUpdates() const override { return d_slotXorValid; }
  void slotChanged(const unsigned char* oldSlot, const unsigned char* newSlot, std::uint64_t length,
                   const VELPasswordEncryptor& password) override;
  void forgetSlotDigests() override { d_slotXorValid = false; }

 private:
  class SlotXorHasher;

  // The start value of the database hash, over header and password.
  void startValue(unsigned char out[16], const VELFastBuffer& clear) const;
  void slotDigest(unsigned char out[16], const unsigned char* slot, std::uint64_t length,
                  const VELFastBuffer& clear) const;

  // DATA
  std::unique_ptr<VELKRYDigest> digest;  // What the incremental database hash keeps: the XOR over the slots, valid
  // for this password, slot count and record length.
  mutable unsigned char d_slotXor[kHashSize];
  mutable bool d_slotXorValid = false;
  mutable VELPasswordEncryptor d_slotXorPassword;
  mutable std::uint32_t d_slotXorCount = 0;
  mutable std::uint32_t d_slotXorLength = 0;
};

#endif
