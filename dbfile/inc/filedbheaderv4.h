// filedbheaderv4.h -- the version-4 file header and its keyed password hashes.
//
// Same role and operations as the version-3 header, but the file is bound
// to its password by HMAC-SHA1 keyed with the clear password bytes (no
// terminating zero), 20 bytes wide.  The password header hash is the MAC of
// the common header; the password database hash is one MAC over the common
// header, the header hash and every record slot in file order.
//
// On disk, at file offset 0 (88 bytes); record slots follow at offset 88:
//
//   offset width field
//   ------ ----- ---------------------------------------------------------
//        0    48 common header, major version number 4
//       48    20 password header hash   = MAC(common)
//       68    20 password database hash = MAC(common || header hash ||
//                                             slot 0 || ... || slot N-1)
//
// Every allocated slot enters the database hash with its full length
// (deleted slots and padding included); unlike version 3, the order of the
// slots counts.
//
// The header keeps its own copy of the connection's algorithm factory and
// makes one MAC object per computation; a factory (or a copy) that gives no
// MAC makes both compute operations throw 0x8BA66.
#ifndef DBFILE_FILEDBHEADERV4_H
#define DBFILE_FILEDBHEADERV4_H

#include <cstdint>
#include <memory>

#include "filedbsealedheader.h"
#include "velkry.h"

class FileDBHeaderV4 : public FileDBSealedHeader<4, 20> {
 public:
  // CREATORS
  // A header for a new file: magic number, major version 4, all else zero.
  // The factory is copied; null leaves the header without one.
  explicit FileDBHeaderV4(const VELKRYAlgorithmFactory* factory);
  // Reads the 88 header bytes at position 0 of `file`.  The version byte is
  // taken as it stands (see `validateMajorVersion`).  A file shorter than
  // the header throws 0x8C238; other file errors are `FileDBBinaryFile`'s.
  FileDBHeaderV4(const VELKRYAlgorithmFactory* factory, FileDBBinaryFile& file);
  // A copy of `other`'s common bytes and hashes, with a factory copy of its
  // own made from `factory`.
  FileDBHeaderV4(const FileDBHeaderV4& other, const VELKRYAlgorithmFactory* factory);
  ~FileDBHeaderV4() override;

  // MANIPULATORS
  using FileDBHeader::operator=;
  // Copies common bytes and hashes (nothing when `other` is this one); the
  // factory stays.
  virtual FileDBHeaderV4& operator=(const FileDBHeaderV4& other);
  // Stores 23 fresh random non-zero bytes as the file label, then the header
  // hash over the new common bytes.  Throws 0x8BA66 without MAC.
  void setPasswordHeaderHash(const VELPasswordEncryptor& password) override;
  // Stores the database hash over this header and the slots of `file`.
  // Throws as `computePasswordDatabaseHash`.
  void setPasswordDatabaseHash(FileDBBinaryFile& file, const VELPasswordEncryptor& password) override;

  // ACCESSORS
  // MAC(common), 20 bytes.  Throws 0x8BA66 without MAC.
  VELBuffer computePasswordHeaderHash(const VELPasswordEncryptor& password) const override;
  // The 20-byte database hash, MAC(common || header hash || slots...), fed
  // slot bytes in file order.  Throws 0x8BA66 without MAC.
  // `computePasswordDatabaseHash` feeds it the file.
  std::unique_ptr<DatabaseHasher> startDatabaseHash(const VELPasswordEncryptor& password) const override;
  bool isKindOf(const VELString& name) const override;
  VELString getInstanceName() const override;
  static VELString getClassName();

 private:
  // A new MAC keyed with `key`; throws 0x8BA66 when there is none.
  std::unique_ptr<VELKRYDigest> makeMAC(const VELFastBuffer& key) const;

  // DATA
  std::unique_ptr<VELKRYAlgorithmFactory> algorithmFactory;
};

#endif
