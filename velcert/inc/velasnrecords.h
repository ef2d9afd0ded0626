// velasnrecords.h -- the three database records and their containers.
//
// A record is what one table slot stores: a record ID, a label and the
// record's content -- a certificate with (or without) its private key, a key
// pair with its certification request, or a CRL.  The record's DER envelope
// is written and read here; the X.509 parts inside it are kept as exact DER
// (velasnx509.h), so the digests that the tables index by are taken over the
// bytes as they stand in the certificate or CRL.
//
// Envelopes (DER; every record starts with the version 0):
//
//   KeyRecord ::= SEQUENCE {
//     version   INTEGER (0),
//     recordID  INTEGER,                -- 0 .. 2^32-1
//     label     UTF8String,
//     content   CHOICE {
//       keyAndCertificate [0] IMPLICIT SEQUENCE {   -- A0 ...
//         certificate Certificate,
//         privateKey  EncryptedPrivateKeyInfo },
//       certificate       [1] EXPLICIT Certificate },  -- A1 30 ...
//     trusted   BOOLEAN DEFAULT FALSE }  -- present (01 01 FF) only when true
//
//   KeyPairRecord ::= SEQUENCE {
//     version   INTEGER (0),
//     recordID  INTEGER,
//     label     UTF8String,
//     keyPair   SEQUENCE { subjectPublicKeyInfo SubjectPublicKeyInfo,
//                          privateKey EncryptedPrivateKeyInfo },
//     certificationRequest CertificationRequest }
//
//   CRLRecord ::= SEQUENCE {
//     version   INTEGER (0),
//     recordID  INTEGER,
//     label     UTF8String,
//     crl       CertificateList }
//
// Reading a record slices; it never decodes keys, extensions or revoked
// entries, so a table can decode every slot when it opens.  The setters that
// take new certificates, keys, requests and CRLs decode them once with
// OpenSSL and refuse what does not decode (0x8B67A).  A record that lacks its
// content cannot be written (0x8B67A).  `read` leaves the record unchanged
// when it throws.
//
// What the tables hash (each `VELDBUtility::getSHA1Digest` of the part):
//   key record:      getCertificate().getSignature(), .getTBSCertificate(),
//                    .getSubject(), .getSubjectPublicKeyInfo(), and
//                    VELASNUtility::getIssuerAndSerialNumber(getCertificate())
//   key-pair record: getKeyPair().getSubjectPublicKeyInfo()
//   CRL record:      getCRL().getSignature(), .getTBSCertList(), .getIssuer()
#ifndef VELCERT_VELASNRECORDS_H
#define VELCERT_VELASNRECORDS_H

#include <cstddef>
#include <memory>
#include <vector>

#include "velasn.h"
#include "velasnx509.h"
#include "velexception.h"

// Fields every record has.
class VELASNRecord : public VELASNObject {
 public:
  // MANIPULATORS
  VELASNInteger& getRecordID() { return d_recordID; }
  // Sets the record-ID INTEGER to `id`.
  void setRecordID(unsigned int id) { d_recordID.setUnsignedValue(id); }
  VELASNLabelString& getLabel() { return d_label; }
  void setLabel(const VELString& label) { d_label.setValue(label); }

  // ACCESSORS
  const VELASNInteger& getRecordID() const { return d_recordID; }
  const VELASNLabelString& getLabel() const { return d_label; }
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNObject::isKindOf(name);
  }
  static VELString getClassName() { return "VELASNRecord"; }

 protected:
  // CREATORS
  VELASNRecord() = default;

  // Version, record ID and label, read apart from the record so that a
  // record whose later parts do not read stays as it was.
  struct Head {
    VELASNInteger recordID;
    VELASNLabelString label;
  };
  // Opens the record's SEQUENCE in `der` (`context` names it in errors),
  // reads its head into `head` and returns a reader at the content behind.
  static VELDERReader readHead(const VELASNCBuffer& der, const char* context, Head& head);
  // Takes record ID and label from a head read whole.
  void takeHead(Head& head);
  // Version, record ID and label, encoded: the start of the record's content.
  VELBuffer writeHead() const;
  // The record's class name, then "recordID:" and "label:" lines.
  void displayHead(std::ostream& out) const;
  // `part`, or 0x8B67A `missing` when the record holds none.
  template <class PART>
  static const PART& present(const PART& part, const char* missing) {
    if (part.empty()) VELDB_THROW(VELDBError::kBadArgument, missing);
    return part;
  }

  // DATA
  VELASNInteger d_recordID;
  VELASNLabelString d_label;
};

// What every kind of record declares alike: its name, its copy (records
// copy member by member), and its security type.  `RECORD` is the kind
// itself.
template <class RECORD>
class VELASNRecordKind : public VELASNRecord {
 public:
  // ACCESSORS
  int getSecurityType() const { return d_securityType; }
  bool isKindOf(const VELString& name) const override {
    return name == RECORD::getClassName() || VELASNRecord::isKindOf(name);
  }
  VELString getInstanceName() const override { return RECORD::getClassName(); }
  VELASNObject* clone() const override { return new RECORD(static_cast<const RECORD&>(*this)); }

 protected:
  // CREATORS
  explicit VELASNRecordKind(int securityType) : d_securityType(securityType) {}

  // DATA
  int d_securityType;
};

// A certificate with its private key (PKCS#8 EncryptedPrivateKeyInfo), or a
// certificate alone, with a label and a trusted flag.
class VELASNKeyRecord : public VELASNRecordKind<VELASNKeyRecord> {
 public:
  // CREATORS
  // `securityType` 1 wipes the private key's encoding when the record is
  // destroyed or its key replaced; 0 does not.
  explicit VELASNKeyRecord(int securityType = 0) : VELASNRecordKind(securityType) {}
  ~VELASNKeyRecord() override;

  // MANIPULATORS
  void read(const VELASNCBuffer& der) override;
  // A certificate alone; any private key is dropped.  Validates the
  // certificate with OpenSSL; throws 0x8B67A.
  void setCertificate(const VELASNCertificate& certificate);
  void setCertificate(const VELASNCBuffer& certificateDER);
  // A certificate with its private key; validates both; throws 0x8B67A.
  void setKeyAndCertificate(const VELASNCertificate& certificate, const VELASNEncryptedPrivateKeyInfo& privateKey);
  void setKeyAndCertificate(const VELASNCBuffer& certificateDER, const VELASNCBuffer& privateKeyDER);
  void setTrusted(bool trusted) { d_trusted = trusted; }

  // ACCESSORS
  bool hasCertificate() const { return !d_certificate.empty(); }
  // Throws 0x8B67A "key record holds no certificate" when there is none.
  const VELASNCertificate& getCertificate() const { return present(d_certificate, "key record holds no certificate"); }
  bool hasPrivateKey() const { return !d_privateKey.empty(); }
  // Throws 0x8B67A when there is none.
  const VELASNEncryptedPrivateKeyInfo& getPrivateKey() const {
    return present(d_privateKey, "key record holds no private key");
  }
  bool isTrusted() const { return d_trusted; }

  VELBuffer write() const override;
  std::ostream& display(std::ostream& out) const override;
  static VELString getClassName() { return "VELASNKeyRecord"; }

 private:
  void dropPrivateKey();

  // DATA
  VELASNCertificate d_certificate;             // empty: none
  VELASNEncryptedPrivateKeyInfo d_privateKey;  // empty: none
  bool d_trusted = false;
};

// A key pair (public key and encrypted private key) with its PKCS#10
// certification request.
class VELASNKeyPairRecord : public VELASNRecordKind<VELASNKeyPairRecord> {
 public:
  // CREATORS
  // `securityType` as for `VELASNKeyRecord`.
  explicit VELASNKeyPairRecord(int securityType = 0) : VELASNRecordKind(securityType) {}
  ~VELASNKeyPairRecord() override;

  // MANIPULATORS
  void read(const VELASNCBuffer& der) override;
  // Validates the public key (d2i_PUBKEY) and the private key's structure
  // (d2i_X509_SIG); throws 0x8B67A.
  void setKeyPair(const VELASNSubjectPublicKeyInfo& publicKey, const VELASNEncryptedPrivateKeyInfo& privateKey);
  void setKeyPair(const VELASNKeyPair& keyPair);
  // Validates the request (d2i_X509_REQ); throws 0x8B67A.
  void setCertificationRequest(const VELASNCertificationRequest& request);
  void setCertificationRequest(const VELASNCBuffer& requestDER);

  // ACCESSORS
  bool hasKeyPair() const { return !d_keyPair.empty(); }
  // Throws 0x8B67A "key-pair record holds no key pair" when there is none.
  const VELASNKeyPair& getKeyPair() const { return present(d_keyPair, "key-pair record holds no key pair"); }
  bool hasCertificationRequest() const { return !d_request.empty(); }
  // Throws 0x8B67A when there is none.
  const VELASNCertificationRequest& getCertificationRequest() const {
    return present(d_request, "key-pair record holds no certification request");
  }

  VELBuffer write() const override;
  std::ostream& display(std::ostream& out) const override;
  static VELString getClassName() { return "VELASNKeyPairRecord"; }

 private:
  // DATA
  VELASNKeyPair d_keyPair;                // empty: none
  VELASNCertificationRequest d_request;  // empty: none
};

// A certificate revocation list.
class VELASNCRLRecord : public VELASNRecordKind<VELASNCRLRecord> {
 public:
  // CREATORS
  // `securityType` is kept for symmetry with the other records; a CRL holds
  // nothing secret, so nothing is wiped.
  explicit VELASNCRLRecord(int securityType = 0) : VELASNRecordKind(securityType) {}

  // MANIPULATORS
  void read(const VELASNCBuffer& der) override;
  // Validates the CRL (d2i_X509_CRL); throws 0x8B67A.
  void setCRL(const VELASNCertificateList& crl);
  void setCRL(const VELASNCBuffer& crlDER);

  // ACCESSORS
  bool hasCRL() const { return !d_crl.empty(); }
  // Throws 0x8B67A "CRL record holds no CRL" when there is none.
  const VELASNCertificateList& getCRL() const { return present(d_crl, "CRL record holds no CRL"); }

  VELBuffer write() const override;
  std::ostream& display(std::ostream& out) const override;
  static VELString getClassName() { return "VELASNCRLRecord"; }

 private:
  // DATA
  VELASNCertificateList d_crl;  // empty: none
};

// An ordered list of records that owns them.
template <typename RECORD>
class VELASNRecordContainer {
 public:
  // CREATORS
  VELASNRecordContainer() = default;
  VELASNRecordContainer(const VELASNRecordContainer&) = delete;
  VELASNRecordContainer& operator=(const VELASNRecordContainer&) = delete;
  virtual ~VELASNRecordContainer() = default;

  // MANIPULATORS
  // Appends `record` and takes ownership of it; throws 0x8B67A for null (and
  // then deletes nothing).
  void push_back(RECORD* record) {
    if (record == nullptr) VELDB_THROW(VELDBError::kBadArgument, "record container: null record");
    std::unique_ptr<RECORD> owned(record);
    d_records.push_back(std::move(owned));
  }
  void push_back(std::unique_ptr<RECORD> record) { push_back(record.release()); }
  RECORD& operator[](std::size_t i) { return *d_records[i]; }
  // Bounds-checked; throws 0x8B67A.
  RECORD& at(std::size_t i) {
    check(i);
    return *d_records[i];
  }
  // Gives up ownership of the record at `i` and removes it from the list.
  std::unique_ptr<RECORD> release(std::size_t i) {
    check(i);
    std::unique_ptr<RECORD> r = std::move(d_records[i]);
    d_records.erase(d_records.begin() + static_cast<std::ptrdiff_t>(i));
    return r;
  }
  void clear() { d_records.clear(); }

  // ACCESSORS
  std::size_t size() const { return d_records.size(); }
  bool empty() const { return d_records.empty(); }
  const RECORD& operator[](std::size_t i) const { return *d_records[i]; }
  const RECORD& at(std::size_t i) const {
    check(i);
    return *d_records[i];
  }

 private:
  void check(std::size_t i) const {
    if (i >= d_records.size()) VELDB_THROW(VELDBError::kBadArgument, "record container: index out of range");
  }

  // DATA
  std::vector<std::unique_ptr<RECORD>> d_records;
};

class VELASNKeyRecordContainer : public VELASNRecordContainer<VELASNKeyRecord> {};
class VELASNKeyPairRecordContainer : public VELASNRecordContainer<VELASNKeyPairRecord> {};
class VELASNCRLRecordContainer : public VELASNRecordContainer<VELASNCRLRecord> {};

#endif
