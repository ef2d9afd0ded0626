// veldbutility.h -- what the database tables need from ASN.1 values.
//
// Index keys: SHA-1 digests over exact DER, record IDs as unsigned 32-bit
// numbers, label bytes; and the checked downcasts that turn a caller's
// `VELASNObject` into the type an index expects.
#ifndef VELCERT_VELDBUTILITY_H
#define VELCERT_VELDBUTILITY_H

#include "velasn.h"
#include "velasnrecords.h"
#include "velasnx509.h"
#include "velbuffer.h"
#include "velkry.h"

class VELDBUtility {
 public:
  // SHA-1 (20 bytes) over the DER encoding of `object` -- its exact bytes for
  // the exact-DER parts.  `factory` gives the digest object; null uses the
  // default OpenSSL factory.  Throws 0x8BA66 when the factory has no SHA-1,
  // 0x8B67A when the object cannot be encoded.
  static VELBuffer getSHA1Digest(const VELASNObject& object, const VELKRYAlgorithmFactory* factory);
  // The same over bytes already in hand.
  static VELBuffer getSHA1Digest(const VELASNCBuffer& der, const VELKRYAlgorithmFactory* factory);

  // Sets `out` to the INTEGER `recordID`.
  static void recordIDToASN(unsigned int recordID, VELASNInteger& out);
  static VELASNInteger recordIDToASN(unsigned int recordID);
  // The INTEGER's value; throws 0x8B67A when it is negative or above
  // 2^32 - 1.
  static unsigned int asnToRecordID(const VELASNInteger& value);
  // The label's bytes, as stored in a slot and used as the label index key.
  static VELBuffer asnToLabelBuffer(const VELASNLabelString& label);

  // Each returns `object` as the named type, or throws 0x8B67A
  // "asnObj is invalid - wrong type" when it is of another type.
  static const VELASNInteger& downcastInteger(const VELASNObject& object);
  static const VELASNLabelString& downcastLabelString(const VELASNObject& object);
  static const VELASNBitString& downcastBitString(const VELASNObject& object);
  static const VELASNTBSCertificate& downcastTBSCertificate(const VELASNObject& object);
  static const VELASNIssuerAndSerialNumber& downcastIssuerAndSerialNumber(const VELASNObject& object);
  static const VELASNx500Name& downcastX500name(const VELASNObject& object);
  static const VELASNSubjectPublicKeyInfo& downcastSubjectPublicKeyInfo(const VELASNObject& object);
  static const VELASNTBSCertList& downcastTBSCertList(const VELASNObject& object);
  static const VELASNCertificate& downcastCertificate(const VELASNObject& object);
  static const VELASNCertificateList& downcastCertificateList(const VELASNObject& object);
  static const VELASNKeyRecord& downcastKeyRecord(const VELASNObject& object);
  static const VELASNKeyPairRecord& downcastKeyPairRecord(const VELASNObject& object);
  static const VELASNCRLRecord& downcastCRLRecord(const VELASNObject& object);
};

#endif
