// velasnx509.h -- X.509 structures as exact DER with their parts sliced out.
//
// A certificate, CRL, certification request, encrypted private key or key
// pair is kept as the exact DER it was read from.  `read` checks the outer
// structure with the bounded DER reader and notes where the parts lie; it
// does not decode keys or extensions.  That keeps decoding a stored record
// cheap (a few microseconds), which matters because a table decodes every
// record when it opens.  Deep validation with OpenSSL (`validate`,
// `setChecked`) runs only when a caller hands in new content: a record's
// setters call it once.
//
// The part accessors return exact DER slices, either as views into this
// object (`...Encoding()`, valid while the object lives and is not changed)
// or as new value objects (copies).
//
// Structures sliced (RFC 5280, RFC 2986, RFC 5958):
//   Certificate  ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue BIT STRING }
//   TBSCertificate ::= SEQUENCE { version [0] EXPLICIT INTEGER OPTIONAL, serialNumber INTEGER,
//                      signature AlgorithmIdentifier, issuer Name, validity SEQUENCE, subject Name,
//                      subjectPublicKeyInfo, [1], [2], [3] extensions OPTIONAL }
//   CertificateList ::= SEQUENCE { tbsCertList, signatureAlgorithm, signatureValue BIT STRING }
//   TBSCertList ::= SEQUENCE { version INTEGER OPTIONAL, signature AlgorithmIdentifier, issuer Name,
//                   thisUpdate, nextUpdate OPTIONAL, revokedCertificates OPTIONAL, [0] OPTIONAL }
//   CertificationRequest ::= SEQUENCE { certificationRequestInfo SEQUENCE { version INTEGER,
//                   subject Name, subjectPKInfo, attributes [0] }, signatureAlgorithm, signature BIT STRING }
//   EncryptedPrivateKeyInfo ::= SEQUENCE { encryptionAlgorithm AlgorithmIdentifier, encryptedData OCTET STRING }
//   KeyPair ::= SEQUENCE { subjectPublicKeyInfo, privateKey EncryptedPrivateKeyInfo }  (ours)
#ifndef VELCERT_VELASNX509_H
#define VELCERT_VELASNX509_H

#include <openssl/types.h>

#include "velasn.h"

// TBSCertificate, exact DER.
class VELASNTBSCertificate : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNTBSCertificate() : VELASNEncodedObject(VELDER::kSequence, "TBSCertificate") {}
  explicit VELASNTBSCertificate(const VELASNCBuffer& der) : VELASNTBSCertificate() { read(der); }

  // ACCESSORS
  // 0 for v1 (no version field), else the version field's value (2 for v3).
  long long getVersion() const;
  VELASNCBuffer getSerialNumberEncoding() const { return part(d_parts.serial); }
  VELASNCBuffer getIssuerEncoding() const { return part(d_parts.issuer); }
  VELASNCBuffer getSubjectEncoding() const { return part(d_parts.subject); }
  VELASNCBuffer getSubjectPublicKeyInfoEncoding() const { return part(d_parts.spki); }
  VELASNInteger getSerialNumber() const;
  VELASNx500Name getIssuer() const;
  VELASNx500Name getSubject() const;
  VELASNSubjectPublicKeyInfo getSubjectPublicKeyInfo() const;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNTBSCertificate(*this); }
  static VELString getClassName() { return "VELASNTBSCertificate"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  friend class VELASNCertificate;
  struct Parts {
    Slice version, serial, issuer, subject, spki;
    bool hasVersion = false;
  };
  // Slices a TBSCertificate element lying inside `whole` (offsets relative to
  // `whole.start`).
  static Parts sliceTBS(const VELDERElement& whole, const VELDERElement& tbs, const char* context);

  // DATA
  Parts d_parts;
};

// TBSCertList, exact DER.
class VELASNTBSCertList : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNTBSCertList() : VELASNEncodedObject(VELDER::kSequence, "TBSCertList") {}
  explicit VELASNTBSCertList(const VELASNCBuffer& der) : VELASNTBSCertList() { read(der); }

  // ACCESSORS
  VELASNCBuffer getIssuerEncoding() const { return part(d_issuer); }
  VELASNx500Name getIssuer() const;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNTBSCertList(*this); }
  static VELString getClassName() { return "VELASNTBSCertList"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  friend class VELASNCertificateList;
  static Slice sliceIssuer(const VELDERElement& whole, const VELDERElement& tbs, const char* context);

  // DATA
  Slice d_issuer;
};

// An X.509 certificate, exact DER.
class VELASNCertificate : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNCertificate() : VELASNEncodedObject(VELDER::kSequence, "Certificate") {}
  explicit VELASNCertificate(const VELASNCBuffer& der) : VELASNCertificate() { read(der); }
  // The encoding of a certificate that OpenSSL has decoded already: `validate`
  // does not decode it a second time (until the content is read anew).
  // 0x8B67A when it cannot be encoded.
  explicit VELASNCertificate(const X509* decoded);

  // MANIPULATORS
  // `read`, then `validate`; on failure the object is unchanged.
  void setChecked(const VELASNCBuffer& der);

  // ACCESSORS
  // Decodes the whole certificate with OpenSSL (d2i_X509, every byte
  // consumed); throws 0x8B67A when it does not decode or the value is empty.
  void validate() const;
  // A new OpenSSL certificate decoded from the encoding, owned by the caller
  // (free with X509_free); throws 0x8B67A on failure.
  X509* toX509() const;

  long long getVersion() const;
  VELASNCBuffer getTBSCertificateEncoding() const { return part(d_tbs); }
  VELASNCBuffer getSignatureAlgorithmEncoding() const { return part(d_sigAlg); }
  VELASNCBuffer getSignatureEncoding() const { return part(d_signature); }
  VELASNCBuffer getSerialNumberEncoding() const { return part(d_parts.serial); }
  VELASNCBuffer getIssuerEncoding() const { return part(d_parts.issuer); }
  VELASNCBuffer getSubjectEncoding() const { return part(d_parts.subject); }
  VELASNCBuffer getSubjectPublicKeyInfoEncoding() const { return part(d_parts.spki); }

  VELASNTBSCertificate getTBSCertificate() const;
  VELASNBitString getSignature() const;
  VELASNInteger getSerialNumber() const;
  VELASNx500Name getIssuer() const;
  VELASNx500Name getSubject() const;
  VELASNSubjectPublicKeyInfo getSubjectPublicKeyInfo() const;

  // Subject, issuer and serial on three lines.
  std::ostream& display(std::ostream& out) const override;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNCertificate(*this); }
  static VELString getClassName() { return "VELASNCertificate"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  // DATA
  Slice d_tbs;
  Slice d_sigAlg;
  Slice d_signature;
  VELASNTBSCertificate::Parts d_parts;
  bool d_decoded = false;  // OpenSSL decoded exactly this encoding
};

// An X.509 CRL (CertificateList), exact DER.
class VELASNCertificateList : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNCertificateList() : VELASNEncodedObject(VELDER::kSequence, "CertificateList") {}
  explicit VELASNCertificateList(const VELASNCBuffer& der) : VELASNCertificateList() { read(der); }

  // MANIPULATORS
  // `read`, then `validate`; on failure the object is unchanged.
  void setChecked(const VELASNCBuffer& der);

  // ACCESSORS
  // Decodes the whole CRL with OpenSSL (d2i_X509_CRL); throws 0x8B67A.
  void validate() const;
  // A new OpenSSL CRL, owned by the caller (X509_CRL_free); throws 0x8B67A.
  X509_CRL* toX509CRL() const;

  VELASNCBuffer getTBSCertListEncoding() const { return part(d_tbs); }
  VELASNCBuffer getSignatureEncoding() const { return part(d_signature); }
  VELASNCBuffer getIssuerEncoding() const { return part(d_issuer); }
  VELASNTBSCertList getTBSCertList() const;
  VELASNBitString getSignature() const;
  VELASNx500Name getIssuer() const;

  // Issuer and size.
  std::ostream& display(std::ostream& out) const override;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNCertificateList(*this); }
  static VELString getClassName() { return "VELASNCertificateList"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  // DATA
  Slice d_tbs;
  Slice d_signature;
  Slice d_issuer;
};

// A PKCS#10 certification request, exact DER.
class VELASNCertificationRequest : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNCertificationRequest() : VELASNEncodedObject(VELDER::kSequence, "CertificationRequest") {}
  explicit VELASNCertificationRequest(const VELASNCBuffer& der) : VELASNCertificationRequest() { read(der); }

  // MANIPULATORS
  void setChecked(const VELASNCBuffer& der);

  // ACCESSORS
  // Decodes the request with OpenSSL (d2i_X509_REQ); throws 0x8B67A.
  void validate() const;
  VELASNCBuffer getSubjectEncoding() const { return part(d_subject); }
  VELASNCBuffer getSubjectPublicKeyInfoEncoding() const { return part(d_spki); }
  VELASNx500Name getSubject() const;
  VELASNSubjectPublicKeyInfo getSubjectPublicKeyInfo() const;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNCertificationRequest(*this); }
  static VELString getClassName() { return "VELASNCertificationRequest"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  // DATA
  Slice d_subject;
  Slice d_spki;
};

// PKCS#8 EncryptedPrivateKeyInfo, exact DER.  The key stays encrypted: the
// database never sees a clear private key.
class VELASNEncryptedPrivateKeyInfo : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNEncryptedPrivateKeyInfo() : VELASNEncodedObject(VELDER::kSequence, "EncryptedPrivateKeyInfo") {}
  explicit VELASNEncryptedPrivateKeyInfo(const VELASNCBuffer& der) : VELASNEncryptedPrivateKeyInfo() { read(der); }

  // MANIPULATORS
  void setChecked(const VELASNCBuffer& der);

  // ACCESSORS
  // Decodes the structure with OpenSSL (d2i_X509_SIG); throws 0x8B67A.
  void validate() const;
  VELASNCBuffer getEncryptionAlgorithmEncoding() const { return part(d_algorithm); }
  VELASNCBuffer getEncryptedData() const { return part(d_data); }
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNEncryptedPrivateKeyInfo(*this); }
  static VELString getClassName() { return "VELASNEncryptedPrivateKeyInfo"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  // DATA
  Slice d_algorithm;
  Slice d_data;  // content octets of encryptedData
};

// A key pair: the public key and its private key, encrypted.
class VELASNKeyPair : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNKeyPair() : VELASNEncodedObject(VELDER::kSequence, "KeyPair") {}
  VELASNKeyPair(const VELASNSubjectPublicKeyInfo& publicKey, const VELASNEncryptedPrivateKeyInfo& privateKey);

  // ACCESSORS
  VELASNCBuffer getSubjectPublicKeyInfoEncoding() const { return part(d_spki); }
  VELASNCBuffer getPrivateKeyEncoding() const { return part(d_epki); }
  VELASNSubjectPublicKeyInfo getSubjectPublicKeyInfo() const;
  VELASNEncryptedPrivateKeyInfo getPrivateKey() const;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNKeyPair(*this); }
  static VELString getClassName() { return "VELASNKeyPair"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  // DATA
  Slice d_spki;
  Slice d_epki;
};

#endif
