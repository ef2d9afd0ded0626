// filedbkeyrecordfields.h -- the in-file form of one key record.
//
// Slot layout (every number big-endian; byte strings carry a 32-bit length
// prefix; the rest of the slot is zero):
//
//   #  field                       stored as
//   1  recordFlag                  u32: 1 in use, 2 deleted
//   2  recordID                    u32
//   3  encoding                    length + DER of the whole VELASNKeyRecord
//   4  label                       length + label bytes
//   5  issuerRecordID              u32 (0 for every record written here)
//   6  signatureHash               length + SHA-1 of the signature BIT STRING
//   7  unsignedCertHash            length + SHA-1 of the tbsCertificate
//   8  subjectNameHash             length + SHA-1 of the subject Name
//   9  subjectPublicKeyInfoHash    length + SHA-1 of the SubjectPublicKeyInfo
//  10  issuerAndSerialNumberHash   length + SHA-1 of IssuerAndSerialNumber
//
// Every digest is over the exact DER of the part as it stands in the
// certificate.  Size: 40 + the seven byte-string lengths.
#ifndef DBFILE_FILEDBKEYRECORDFIELDS_H
#define DBFILE_FILEDBKEYRECORDFIELDS_H

#include <cstdint>
#include <ostream>

#include "filedbbuffer.h"
#include "velasnrecords.h"
#include "velbuffer.h"
#include "velkry.h"

class FileDBKeyRecordFields {
 public:
  // CREATORS
  // Parses a slot read into `slot`; 0x8B67A when the slot is too short for
  // its fields.  With `encodingInSlot`, the DER is not copied: that view is
  // set to it in the slot's bytes, and `encoding` stays empty.
  explicit FileDBKeyRecordFields(FileDBBuffer& slot, VELASNCBuffer* encodingInSlot = nullptr);
  // Builds the fields of `record`: its DER, label and the five digests of
  // its certificate.  Errors of the record (no certificate) pass through.
  FileDBKeyRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyRecord& record,
                        std::uint32_t recordFlag, std::uint32_t issuerRecordID);
  // The same for a record decoded from `encoding`, which is taken as the
  // record's DER instead of encoding the record again.
  FileDBKeyRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyRecord& record,
                        std::uint32_t recordFlag, std::uint32_t issuerRecordID, VELBuffer encoding);
  virtual ~FileDBKeyRecordFields() = default;
  // A move hands the buffers over (the destructor above would otherwise
  // turn every move into a copy).
  FileDBKeyRecordFields(const FileDBKeyRecordFields&) = default;
  FileDBKeyRecordFields(FileDBKeyRecordFields&&) = default;
  FileDBKeyRecordFields& operator=(const FileDBKeyRecordFields&) = default;
  FileDBKeyRecordFields& operator=(FileDBKeyRecordFields&&) = default;

  // ACCESSORS
  std::uint64_t getSize() const;
  // Resets `slot` and puts the ten fields; returns the used length.
  std::uint64_t toBuffer(FileDBBuffer& slot) const;
  // Writes a readable dump, decoding the stored record.
  virtual std::ostream& display(std::ostream& out) const;

  // DATA
  std::uint32_t recordFlag = 0;
  std::uint32_t recordID = 0;
  VELBuffer encoding;
  VELBuffer label;
  std::uint32_t issuerRecordID = 0;
  VELBuffer signatureHash;
  VELBuffer unsignedCertHash;
  VELBuffer subjectNameHash;
  VELBuffer subjectPublicKeyInfoHash;
  VELBuffer issuerAndSerialNumberHash;
};

#endif
