// filedbcrlrecordfields.h -- the in-file form of one CRL record.
//
// Slot layout (every number big-endian; byte strings carry a 32-bit length
// prefix; the rest of the slot is zero):
//
//   #  field            stored as
//   1  recordFlag       u32: 1 in use, 2 deleted
//   2  recordID         u32
//   3  encoding         length + DER of the whole VELASNCRLRecord
//   4  label            length + label bytes
//   5  signatureHash    length + SHA-1 of the CRL's signature BIT STRING
//   6  unsignedCRLHash  length + SHA-1 of the tbsCertList
//   7  issuerNameHash   length + SHA-1 of the issuer Name
//
// Every digest is over the exact DER of the part as it stands in the CRL.
// Size: 28 + the five byte-string lengths (88 + E + L with 20-byte
// digests).  Files of minor version 0 may hold other bytes behind the
// fields; the CRL table clears them.
#ifndef DBFILE_FILEDBCRLRECORDFIELDS_H
#define DBFILE_FILEDBCRLRECORDFIELDS_H

#include <cstdint>
#include <ostream>

#include "filedbbuffer.h"
#include "velasnrecords.h"
#include "velbuffer.h"
#include "velkry.h"

class FileDBCRLRecordFields {
 public:
  // CREATORS
  // Parses the slot image in `slot` from its start; the buffer's read error
  // (0x8B67A) when a length points past the slot.  With `encodingInSlot`,
  // the DER is not copied: that view is set to it in the slot's bytes, and
  // `encoding` stays empty.
  explicit FileDBCRLRecordFields(FileDBBuffer& slot, VELASNCBuffer* encodingInSlot = nullptr);
  // Builds the fields of `record`: its record ID, DER, label and the three
  // digests of its CRL (signature value, to-be-signed part, issuer name).
  // Errors of the record (no CRL) and of the digests pass through.
  FileDBCRLRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNCRLRecord& record,
                        std::uint32_t recordFlag);
  ~FileDBCRLRecordFields();
  // A move hands the buffers over (the destructor above would otherwise
  // turn every move into a copy).
  FileDBCRLRecordFields(const FileDBCRLRecordFields&) = default;
  FileDBCRLRecordFields(FileDBCRLRecordFields&&) = default;
  FileDBCRLRecordFields& operator=(const FileDBCRLRecordFields&) = default;
  FileDBCRLRecordFields& operator=(FileDBCRLRecordFields&&) = default;

  // ACCESSORS
  // Length of the slot image.
  std::uint64_t getSize() const;
  // Resets `slot` (all zero) and puts the seven fields; returns the used
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
  VELBuffer signatureHash;
  VELBuffer unsignedCRLHash;
  VELBuffer issuerNameHash;
};

#endif
