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

// The record's SEQUENCE around `content`; `wipe` clears `content` after
// (it held a private key).
VELBuffer closeRecord(VELBuffer& content, bool wipe) {
  VELBuffer out = VELDERWriter::wrap(VELDER::kSequence, content);
  if (wipe) OPENSSL_cleanse(content.data(), content.size());
  return out;
}

}  // namespace

// --- VELASNRecord -----------------------------------------------------------------

VELDERReader VELASNRecord::readHead(const VELASNCBuffer& der, const char* context, Head& head) {
  VELDERReader r = openRecord(der, context);
  VELASNInteger version;
  version.read(r.next(VELDER::kInteger, "version").encoding());
  if (!(version == VELASNInteger(kRecordVersion))) fail(r.context(), "unsupported record version");
  head.recordID.read(r.next(VELDER::kInteger, "recordID").encoding());
  head.label.read(r.next(VELDER::kUTF8String, "label").encoding());
  return r;
}

void VELASNRecord::takeHead(Head& head) {
  d_recordID = std::move(head.recordID);
  d_label = std::move(head.label);
}

VELBuffer VELASNRecord::writeHead() const {
  VELBuffer content;
  const VELBuffer version = VELASNInteger(kRecordVersion).write();
  content.append(version.data(), version.size());
  const VELBuffer id = d_recordID.write();
  content.append(id.data(), id.size());
  const VELBuffer label = d_label.write();
  content.append(label.data(), label.size());
  return content;
}

void VELASNRecord::displayHead(std::ostream& out) const {
  out << getInstanceName() << '\n';
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
  Head head;
  VELDERReader r = readHead(der, kContext, head);
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

  takeHead(head);
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

VELBuffer VELASNKeyRecord::write() const {
  VEL_TRACE_SCOPE("VELASNKeyRecord::write");
  const VELASNCertificate& certificate = getCertificate();
  VELBuffer content = writeHead();
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
  return closeRecord(content, d_securityType == 1);
}

std::ostream& VELASNKeyRecord::display(std::ostream& out) const {
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
  Head head;
  VELDERReader r = readHead(der, kContext, head);
  VELASNKeyPair keyPair;
  keyPair.read(r.next(VELDER::kSequence, "keyPair").encoding());
  VELASNCertificationRequest request;
  request.read(r.next(VELDER::kSequence, "certificationRequest").encoding());
  r.expectEnd();

  takeHead(head);
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

VELBuffer VELASNKeyPairRecord::write() const {
  VEL_TRACE_SCOPE("VELASNKeyPairRecord::write");
  const VELASNKeyPair& keyPair = getKeyPair();
  const VELASNCertificationRequest& request = getCertificationRequest();
  VELBuffer content = writeHead();
  VELDERWriter::appendRaw(content, keyPair.getEncoding());
  VELDERWriter::appendRaw(content, request.getEncoding());
  return closeRecord(content, d_securityType == 1);
}

std::ostream& VELASNKeyPairRecord::display(std::ostream& out) const {
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
  Head head;
  VELDERReader r = readHead(der, kContext, head);
  VELASNCertificateList crl;
  crl.read(r.next(VELDER::kSequence, "crl").encoding());
  r.expectEnd();

  takeHead(head);
  d_crl = std::move(crl);
}

void VELASNCRLRecord::setCRL(const VELASNCertificateList& crl) {
  VEL_TRACE_SCOPE("VELASNCRLRecord::setCRL");
  crl.validate();
  d_crl = crl;
}

void VELASNCRLRecord::setCRL(const VELASNCBuffer& crlDER) { setCRL(VELASNCertificateList(crlDER)); }

VELBuffer VELASNCRLRecord::write() const {
  VEL_TRACE_SCOPE("VELASNCRLRecord::write");
  VELBuffer content = writeHead();
  VELDERWriter::appendRaw(content, getCRL().getEncoding());
  return closeRecord(content, false);
}

std::ostream& VELASNCRLRecord::display(std::ostream& out) const {
  displayHead(out);
  if (hasCRL()) {
    out << "crl " << d_crl << '\n';
  } else {
    out << "crl: (none)\n";
  }
  return out;
}
