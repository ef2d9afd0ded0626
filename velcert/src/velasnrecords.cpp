#include "velasnrecords.h"

#include <openssl/crypto.h>

#include <string>
#include <utility>

#include "veltrace.h"

namespace {

constexpr long long kRecordVersion = 0;

[[noreturn]] void fail(const char* context, const std::string& fault) {
  VELDB_THROW(VELDBError::kBadArgument, std::string(context) + ": " + fault);
}

// The single SEQUENCE that fills `der`, and a reader inside it.
VELDERReader openRecord(const VELASNCBuffer& der, const char* context) {
  const VELDERElement e = VELDERReader::readSingle(der, context);
  if (e.tag != VELDER::kSequence) fail(context, "SEQUENCE expected");
  return VELDERReader(der, context).enter(e);
}

VELBuffer closeRecord(const VELBuffer& content) { return VELDERWriter::wrap(VELDER::kSequence, content); }

}  // namespace

// --- VELASNRecord -----------------------------------------------------------------

void VELASNRecord::readHead(VELDERReader& r, VELASNInteger& recordID, VELASNLabelString& label) {
  VELASNInteger version;
  version.read(r.next(VELDER::kInteger, "version").encoding());
  if (!(version == VELASNInteger(kRecordVersion))) fail(r.context(), "unsupported record version");
  recordID.read(r.next(VELDER::kInteger, "recordID").encoding());
  label.read(r.next(VELDER::kUTF8String, "label").encoding());
}

void VELASNRecord::writeHead(VELBuffer& content) const {
  const VELBuffer version = VELASNInteger(kRecordVersion).write();
  content.append(version.data(), version.size());
  const VELBuffer id = d_recordID.write();
  content.append(id.data(), id.size());
  const VELBuffer label = d_label.write();
  content.append(label.data(), label.size());
}

void VELASNRecord::displayHead(std::ostream& out) const {
  out << "recordID: " << d_recordID << '\n';
  out << "label: " << d_label << '\n';
}

// --- VELASNKeyRecord ----------------------------------------------------------------

VELASNKeyRecord::~VELASNKeyRecord() {
  if (d_securityType == 1) d_privateKey.wipe();
}

void VELASNKeyRecord::dropPrivateKey() {
  if (d_securityType == 1) {
    d_privateKey.wipe();
  } else {
    d_privateKey = VELASNEncryptedPrivateKeyInfo();
  }
}

void VELASNKeyRecord::read(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNKeyRecord::read");
  static const char kContext[] = "key record";
  VELDERReader r = openRecord(der, kContext);
  VELASNInteger recordID;
  VELASNLabelString label;
  readHead(r, recordID, label);
  VELASNCertificate certificate;
  VELASNEncryptedPrivateKeyInfo privateKey;
  VELDERElement choice;
  if (r.nextIf(VELDER::contextConstructed(0), choice)) {
    VELDERReader c = r.enter(choice);
    certificate.read(c.next(VELDER::kSequence, "certificate").encoding());
    privateKey.read(c.next(VELDER::kSequence, "privateKey").encoding());
    c.expectEnd();
  } else if (r.nextIf(VELDER::contextConstructed(1), choice)) {
    VELDERReader c = r.enter(choice);
    certificate.read(c.next(VELDER::kSequence, "certificate").encoding());
    c.expectEnd();
  } else {
    fail(kContext, "certificate missing");
  }
  bool trusted = false;
  VELDERElement flag;
  if (r.nextIf(VELDER::kBoolean, flag)) {
    // DER: a DEFAULT FALSE value is present only when true, and true is FF.
    if (flag.contentLength != 1 || flag.content()[0] != 0xFF) fail(kContext, "trusted flag is not DER TRUE");
    trusted = true;
  }
  r.expectEnd();

  d_recordID = std::move(recordID);
  d_label = std::move(label);
  d_certificate = std::move(certificate);
  dropPrivateKey();
  d_privateKey = std::move(privateKey);
  d_trusted = trusted;
}

void VELASNKeyRecord::setCertificate(const VELASNCertificate& certificate) {
  VEL_TRACE_SCOPE("VELASNKeyRecord::setCertificate");
  certificate.validate();
  d_certificate = certificate;
  dropPrivateKey();
}

void VELASNKeyRecord::setCertificate(const VELASNCBuffer& certificateDER) {
  setCertificate(VELASNCertificate(certificateDER));
}

void VELASNKeyRecord::setKeyAndCertificate(const VELASNCertificate& certificate,
                                           const VELASNEncryptedPrivateKeyInfo& privateKey) {
  VEL_TRACE_SCOPE("VELASNKeyRecord::setKeyAndCertificate");
  certificate.validate();
  privateKey.validate();
  d_certificate = certificate;
  dropPrivateKey();
  d_privateKey = privateKey;
}

void VELASNKeyRecord::setKeyAndCertificate(const VELASNCBuffer& certificateDER,
                                           const VELASNCBuffer& privateKeyDER) {
  setKeyAndCertificate(VELASNCertificate(certificateDER), VELASNEncryptedPrivateKeyInfo(privateKeyDER));
}

const VELASNCertificate& VELASNKeyRecord::getCertificate() const {
  if (d_certificate.empty()) VELDB_THROW(VELDBError::kBadArgument, "key record holds no certificate");
  return d_certificate;
}

const VELASNEncryptedPrivateKeyInfo& VELASNKeyRecord::getPrivateKey() const {
  if (d_privateKey.empty()) VELDB_THROW(VELDBError::kBadArgument, "key record holds no private key");
  return d_privateKey;
}

VELBuffer VELASNKeyRecord::write() const {
  VEL_TRACE_SCOPE("VELASNKeyRecord::write");
  const VELASNCertificate& certificate = getCertificate();
  VELBuffer content;
  writeHead(content);
  if (hasPrivateKey()) {
    VELBuffer pair;
    VELDERWriter::appendRaw(pair, certificate.getEncoding());
    VELDERWriter::appendRaw(pair, d_privateKey.getEncoding());
    VELDERWriter::appendElement(content, VELDER::contextConstructed(0), pair.data(), pair.size());
    if (d_securityType == 1) OPENSSL_cleanse(pair.data(), pair.size());
  } else {
    VELDERWriter::appendElement(content, VELDER::contextConstructed(1), certificate.getEncoding());
  }
  if (d_trusted) {
    static const unsigned char kTrue = 0xFF;
    VELDERWriter::appendElement(content, VELDER::kBoolean, &kTrue, 1);
  }
  VELBuffer out = closeRecord(content);
  if (d_securityType == 1) OPENSSL_cleanse(content.data(), content.size());
  return out;
}

std::ostream& VELASNKeyRecord::display(std::ostream& out) const {
  out << "VELASNKeyRecord\n";
  displayHead(out);
  if (hasCertificate()) {
    out << d_certificate << '\n';
  } else {
    out << "certificate: (none)\n";
  }
  out << "privateKey: ";
  if (hasPrivateKey()) {
    out << "EncryptedPrivateKeyInfo, " << d_privateKey.getEncoding().length() << " bytes\n";
  } else {
    out << "(none)\n";
  }
  return out << "trusted: " << (d_trusted ? "true" : "false") << '\n';
}

// --- VELASNKeyPairRecord ------------------------------------------------------------

VELASNKeyPairRecord::~VELASNKeyPairRecord() {
  if (d_securityType == 1) d_keyPair.wipe();
}

void VELASNKeyPairRecord::read(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNKeyPairRecord::read");
  static const char kContext[] = "key-pair record";
  VELDERReader r = openRecord(der, kContext);
  VELASNInteger recordID;
  VELASNLabelString label;
  readHead(r, recordID, label);
  VELASNKeyPair keyPair;
  keyPair.read(r.next(VELDER::kSequence, "keyPair").encoding());
  VELASNCertificationRequest request;
  request.read(r.next(VELDER::kSequence, "certificationRequest").encoding());
  r.expectEnd();

  d_recordID = std::move(recordID);
  d_label = std::move(label);
  if (d_securityType == 1) d_keyPair.wipe();
  d_keyPair = std::move(keyPair);
  d_request = std::move(request);
}

void VELASNKeyPairRecord::setKeyPair(const VELASNSubjectPublicKeyInfo& publicKey,
                                     const VELASNEncryptedPrivateKeyInfo& privateKey) {
  VEL_TRACE_SCOPE("VELASNKeyPairRecord::setKeyPair");
  publicKey.validate();
  privateKey.validate();
  VELASNKeyPair keyPair(publicKey, privateKey);
  if (d_securityType == 1) d_keyPair.wipe();
  d_keyPair = std::move(keyPair);
}

void VELASNKeyPairRecord::setKeyPair(const VELASNKeyPair& keyPair) {
  setKeyPair(keyPair.getSubjectPublicKeyInfo(), keyPair.getPrivateKey());
}

void VELASNKeyPairRecord::setCertificationRequest(const VELASNCertificationRequest& request) {
  VEL_TRACE_SCOPE("VELASNKeyPairRecord::setCertificationRequest");
  request.validate();
  d_request = request;
}

void VELASNKeyPairRecord::setCertificationRequest(const VELASNCBuffer& requestDER) {
  setCertificationRequest(VELASNCertificationRequest(requestDER));
}

const VELASNKeyPair& VELASNKeyPairRecord::getKeyPair() const {
  if (d_keyPair.empty()) VELDB_THROW(VELDBError::kBadArgument, "key-pair record holds no key pair");
  return d_keyPair;
}

const VELASNCertificationRequest& VELASNKeyPairRecord::getCertificationRequest() const {
  if (d_request.empty()) VELDB_THROW(VELDBError::kBadArgument, "key-pair record holds no certification request");
  return d_request;
}

VELBuffer VELASNKeyPairRecord::write() const {
  VEL_TRACE_SCOPE("VELASNKeyPairRecord::write");
  const VELASNKeyPair& keyPair = getKeyPair();
  const VELASNCertificationRequest& request = getCertificationRequest();
  VELBuffer content;
  writeHead(content);
  VELDERWriter::appendRaw(content, keyPair.getEncoding());
  VELDERWriter::appendRaw(content, request.getEncoding());
  VELBuffer out = closeRecord(content);
  if (d_securityType == 1) OPENSSL_cleanse(content.data(), content.size());
  return out;
}

std::ostream& VELASNKeyPairRecord::display(std::ostream& out) const {
  out << "VELASNKeyPairRecord\n";
  displayHead(out);
  if (hasKeyPair()) {
    out << "subjectPublicKeyInfo: ";
    VELBuffer(d_keyPair.getSubjectPublicKeyInfoEncoding()).display(out) << '\n';
    out << "privateKey: EncryptedPrivateKeyInfo, " << d_keyPair.getPrivateKeyEncoding().length() << " bytes\n";
  } else {
    out << "keyPair: (none)\n";
  }
  if (hasCertificationRequest()) {
    out << "certificationRequest subject: " << d_request.getSubject() << '\n';
  } else {
    out << "certificationRequest: (none)\n";
  }
  return out;
}

// --- VELASNCRLRecord ------------------------------------------------------------------

void VELASNCRLRecord::read(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNCRLRecord::read");
  static const char kContext[] = "CRL record";
  VELDERReader r = openRecord(der, kContext);
  VELASNInteger recordID;
  VELASNLabelString label;
  readHead(r, recordID, label);
  VELASNCertificateList crl;
  crl.read(r.next(VELDER::kSequence, "crl").encoding());
  r.expectEnd();

  d_recordID = std::move(recordID);
  d_label = std::move(label);
  d_crl = std::move(crl);
}

void VELASNCRLRecord::setCRL(const VELASNCertificateList& crl) {
  VEL_TRACE_SCOPE("VELASNCRLRecord::setCRL");
  crl.validate();
  d_crl = crl;
}

void VELASNCRLRecord::setCRL(const VELASNCBuffer& crlDER) { setCRL(VELASNCertificateList(crlDER)); }

const VELASNCertificateList& VELASNCRLRecord::getCRL() const {
  if (d_crl.empty()) VELDB_THROW(VELDBError::kBadArgument, "CRL record holds no CRL");
  return d_crl;
}

VELBuffer VELASNCRLRecord::write() const {
  VEL_TRACE_SCOPE("VELASNCRLRecord::write");
  const VELASNCertificateList& crl = getCRL();
  VELBuffer content;
  writeHead(content);
  VELDERWriter::appendRaw(content, crl.getEncoding());
  return closeRecord(content);
}

std::ostream& VELASNCRLRecord::display(std::ostream& out) const {
  out << "VELASNCRLRecord\n";
  displayHead(out);
  if (hasCRL()) {
    out << "crl " << d_crl << '\n';
  } else {
    out << "crl: (none)\n";
  }
  return out;
}
