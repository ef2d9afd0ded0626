// filedbkeypairrecordfields.h -- the in-file form of one key-pair record.
//
// Slot layout (every number big-endian; byte strings carry a 32-bit length
// prefix; the rest of the slot is zero):
//
//   offset          width  field
//   0               4      recordFlag                u32: 1 in use, 2 deleted
//   4               4      recordID                  u32
//   8               4 + E  encoding                  DER of the whole VELASNKeyPairRecord
//   12 + E          4 + L  label                     label bytes
//   16 + E + L      4 + H  subjectPublicKeyInfoHash  SHA-1 of the key pair's
//                                                    SubjectPublicKeyInfo (H = 20)
//   20 + E + L + H  ...    zero up to the record length
//
// Size: 20 + E + L + H.  Files of minor version 0 may hold other bytes
// behind the fields; the key-pair table clears them.
#ifndef DBFILE_FILEDBKEYPAIRRECORDFIELDS_H
#define DBFILE_FILEDBKEYPAIRRECORDFIELDS_H

#include <cstdint>
#include <ostream>

#include "filedbbuffer.h"
#include "velasnrecords.h"
#include "velbuffer.h"
#include "velkry.h"

class FileDBKeyPairRecordFields {
 public:
  // CREATORS
  // Parses the slot image in `slot` from its start; the buffer's read error
  // (0x8B67A) when a length points past the slot.  With `encodingInSlot`,
  // the DER is not copied: that view is set to it in the slot's bytes, and
  // `encoding` stays empty.
  explicit FileDBKeyPairRecordFields(FileDBBuffer& slot, VELASNCBuffer* encodingInSlot = nullptr);
  // Builds the fields of `record`: its record ID, DER, label and the digest
  // of its key pair's public key.  Errors of the record (no key pair) and of
  // the digest pass through.
  FileDBKeyPairRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyPairRecord& record,
                            std::uint32_t recordFlag);
  // The same for a record decoded from `encoding`, which is taken as the
  // record's DER instead of encoding the record again.
  FileDBKeyPairRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyPairRecord& record,
                            std::uint32_t recordFlag, VELBuffer encoding);
  ~FileDBKeyPairRecordFields();
  // A move hands the buffers over (the destructor above would otherwise
  // turn every move into a copy).
  FileDBKeyPairRecordFields(const FileDBKeyPairRecordFields&) = default;
  FileDBKeyPairRecordFields(FileDBKeyPairRecordFields&&) = default;
  FileDBKeyPairRecordFields& operator=(const FileDBKeyPairRecordFields&) = default;
  FileDBKeyPairRecordFields& operator=(FileDBKeyPairRecordFields&&) = default;

  // ACCESSORS
  // Length of the slot image.
  std::uint64_t getSize() const;
  // Resets `slot` (all zero) and puts the five fields; returns the used
  // length, which equals `getSize()`.  The buffer's write error (0x8B67A)
  // when the image does not fit.
  std::uint64_t toBuffer(FileDBBuffer& slot) const;
  // Writes a readable dump, decoding the stored record.
  std::ostream& display(std::ostream& out) const;

  // DATA
  std::uint32_t recordFlag = 0;
  std::uint32_t recordID = 0;
  VELBuffer encoding;
  VELBuffer label;
  VELBuffer subjectPublicKeyInfoHash;
};

#endif
