// velasnutility.h -- DER encoding helpers over any ASN.1 value.
#ifndef VELCERT_VELASNUTILITY_H
#define VELCERT_VELASNUTILITY_H

#include "velasn.h"
#include "velasnx509.h"
#include "velbuffer.h"

class VELASNUtility {
 public:
  // The DER encoding of `object` (its `write`).  Throws 0x8B67A when the
  // object is incomplete (a record without its content, an empty part).
  static VELBuffer getDEREncoding(const VELASNObject& object);
  // Replaces the value of `object` by the DER in `encoding` (its `read`).
  // Throws 0x8B67A on malformed or unexpected input, leaving `object` as it
  // was.
  static void setDEREncoding(VELASNObject& object, const VELBuffer& encoding);
  static void setDEREncoding(VELASNObject& object, const VELASNCBuffer& encoding);
  // IssuerAndSerialNumber built from the exact issuer and serial encodings
  // of `certificate`.  Throws 0x8B67A when `certificate` is empty.
  static VELASNIssuerAndSerialNumber getIssuerAndSerialNumber(const VELASNCertificate& certificate);
};

#endif
