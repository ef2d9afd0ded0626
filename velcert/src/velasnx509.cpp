#include "velasnx509.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <string>
#include <utility>

#include "velexception.h"
#include "veltrace.h"

namespace {

[[noreturn]] void fail(const char* context, const std::string& fault) {
  VELDB_THROW(VELDBError::kBadArgument, std::string(context) + ": " + fault);
}

// Runs OpenSSL's decoder over `der` and demands that it consumes every byte.
template <typename T, typename Decode, typename Free>
T* decodeAll(const VELASNCBuffer& der, Decode decode, Free release, const char* context) {
  if (der.length() == 0) fail(context, "no value");
  const unsigned char* p = der.data();
  T* object = decode(nullptr, &p, static_cast<long>(der.length()));
  if (object != nullptr && p != der.data() + der.length()) {
    release(object);
    object = nullptr;
  }
  if (object == nullptr) {
    ERR_clear_error();
    fail(context, "does not decode");
  }
  return object;
}

}  // namespace

// --- VELASNTBSCertificate --------------------------------------------------------

VELASNTBSCertificate::Parts VELASNTBSCertificate::sliceTBS(const VELDERElement& whole, const VELDERElement& tbs,
                                                           const char* context) {
  VELDERReader outer(nullptr, 0, context);
  VELDERReader r = outer.enter(tbs);
  Parts parts;
  VELDERElement version;
  if (r.nextIf(VELDER::contextConstructed(0), version)) {
    VELDERReader v = r.enter(version);
    const VELDERElement value = v.next(VELDER::kInteger, "version");
    v.expectEnd();
    if (value.contentLength == 0) fail(context, "empty version");
    parts.hasVersion = true;
    parts.version = sliceOf(whole, value);
  }
  const VELDERElement serial = r.next(VELDER::kInteger, "serialNumber");
  if (serial.contentLength == 0) fail(context, "empty serial number");
  r.next(VELDER::kSequence, "signature algorithm");
  const VELDERElement issuer = r.next(VELDER::kSequence, "issuer");
  r.next(VELDER::kSequence, "validity");
  const VELDERElement subject = r.next(VELDER::kSequence, "subject");
  const VELDERElement spki = r.next(VELDER::kSequence, "subjectPublicKeyInfo");
  // issuerUniqueID [1], subjectUniqueID [2], extensions [3] follow, when
  // present; their content is not needed here.
  parts.serial = sliceOf(whole, serial);
  parts.issuer = sliceOf(whole, issuer);
  parts.subject = sliceOf(whole, subject);
  parts.spki = sliceOf(whole, spki);
  return parts;
}

void VELASNTBSCertificate::sliceParts(const VELDERElement& e) { d_parts = sliceTBS(e, e, context()); }

long long VELASNTBSCertificate::getVersion() const {
  requireValue();
  if (!d_parts.hasVersion) return 0;
  VELASNInteger v;
  v.read(part(d_parts.version));
  return v.getValue();
}

VELASNInteger VELASNTBSCertificate::getSerialNumber() const {
  requireValue();
  VELASNInteger i;
  i.read(getSerialNumberEncoding());
  return i;
}

VELASNx500Name VELASNTBSCertificate::getIssuer() const {
  requireValue();
  return VELASNx500Name(getIssuerEncoding());
}

VELASNx500Name VELASNTBSCertificate::getSubject() const {
  requireValue();
  return VELASNx500Name(getSubjectEncoding());
}

VELASNSubjectPublicKeyInfo VELASNTBSCertificate::getSubjectPublicKeyInfo() const {
  requireValue();
  return VELASNSubjectPublicKeyInfo(getSubjectPublicKeyInfoEncoding());
}

// --- VELASNTBSCertList ------------------------------------------------------------

VELASNEncodedObject::Slice VELASNTBSCertList::sliceIssuer(const VELDERElement& whole, const VELDERElement& tbs,
                                                          const char* context) {
  VELDERReader outer(nullptr, 0, context);
  VELDERReader r = outer.enter(tbs);
  VELDERElement version;
  r.nextIf(VELDER::kInteger, version);
  r.next(VELDER::kSequence, "signature algorithm");
  const VELDERElement issuer = r.next(VELDER::kSequence, "issuer");
  r.next();  // thisUpdate: UTCTime or GeneralizedTime
  return sliceOf(whole, issuer);
}

void VELASNTBSCertList::sliceParts(const VELDERElement& e) { d_issuer = sliceIssuer(e, e, context()); }

VELASNx500Name VELASNTBSCertList::getIssuer() const {
  requireValue();
  return VELASNx500Name(getIssuerEncoding());
}

// --- VELASNCertificate -----------------------------------------------------------

VELASNCertificate::VELASNCertificate(const X509* decoded) : VELASNCertificate() {
  unsigned char* der = nullptr;
  const int length = decoded == nullptr ? -1 : i2d_X509(decoded, &der);
  if (length <= 0) fail(context(), "cannot encode the certificate");
  const VELBuffer bytes(der, static_cast<std::size_t>(length));
  OPENSSL_free(der);
  read(bytes.get());
  d_decoded = true;
}

void VELASNCertificate::sliceParts(const VELDERElement& e) {
  d_decoded = false;
  VELDERElement elements[3];
  childrenOf(e,
             {{VELDER::kSequence, "tbsCertificate"},
              {VELDER::kSequence, "signatureAlgorithm"},
              {VELDER::kBitString, "signatureValue"}},
             elements);
  const VELDERElement& tbs = elements[0];
  const VELDERElement& sigAlg = elements[1];
  const VELDERElement& signature = elements[2];
  if (signature.contentLength == 0) fail(context(), "signatureValue: missing unused-bits octet");
  const VELASNTBSCertificate::Parts parts = VELASNTBSCertificate::sliceTBS(e, tbs, context());
  d_tbs = sliceOf(e, tbs);
  d_sigAlg = sliceOf(e, sigAlg);
  d_signature = sliceOf(e, signature);
  d_parts = parts;
}

void VELASNCertificate::validate() const {
  VEL_TRACE_SCOPE("VELASNCertificate::validate");
  if (d_decoded) return;
  X509_free(toX509());
}

X509* VELASNCertificate::toX509() const { return decodeAll<X509>(getEncoding(), d2i_X509, X509_free, context()); }

void VELASNCertificate::setChecked(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNCertificate::setChecked");
  replaceChecked(*this, der);
}

long long VELASNCertificate::getVersion() const {
  requireValue();
  if (!d_parts.hasVersion) return 0;
  VELASNInteger v;
  v.read(part(d_parts.version));
  return v.getValue();
}

VELASNTBSCertificate VELASNCertificate::getTBSCertificate() const {
  requireValue();
  return VELASNTBSCertificate(getTBSCertificateEncoding());
}

VELASNBitString VELASNCertificate::getSignature() const {
  requireValue();
  VELASNBitString s;
  s.read(getSignatureEncoding());
  return s;
}

VELASNInteger VELASNCertificate::getSerialNumber() const {
  requireValue();
  VELASNInteger i;
  i.read(getSerialNumberEncoding());
  return i;
}

VELASNx500Name VELASNCertificate::getIssuer() const {
  requireValue();
  return VELASNx500Name(getIssuerEncoding());
}

VELASNx500Name VELASNCertificate::getSubject() const {
  requireValue();
  return VELASNx500Name(getSubjectEncoding());
}

VELASNSubjectPublicKeyInfo VELASNCertificate::getSubjectPublicKeyInfo() const {
  requireValue();
  return VELASNSubjectPublicKeyInfo(getSubjectPublicKeyInfoEncoding());
}

std::ostream& VELASNCertificate::display(std::ostream& out) const {
  if (empty()) return out << "VELASNCertificate: (empty)";
  out << "subject: " << getSubject() << '\n';
  out << "issuer: " << getIssuer() << '\n';
  return out << "serialNumber: " << getSerialNumber();
}

// --- VELASNCertificateList ---------------------------------------------------------

void VELASNCertificateList::sliceParts(const VELDERElement& e) {
  VELDERElement parts[3];
  childrenOf(e,
             {{VELDER::kSequence, "tbsCertList"},
              {VELDER::kSequence, "signatureAlgorithm"},
              {VELDER::kBitString, "signatureValue"}},
             parts);
  const VELDERElement& tbs = parts[0];
  const VELDERElement& signature = parts[2];
  if (signature.contentLength == 0) fail(context(), "signatureValue: missing unused-bits octet");
  const Slice issuer = VELASNTBSCertList::sliceIssuer(e, tbs, context());
  d_tbs = sliceOf(e, tbs);
  d_signature = sliceOf(e, signature);
  d_issuer = issuer;
}

void VELASNCertificateList::validate() const {
  VEL_TRACE_SCOPE("VELASNCertificateList::validate");
  X509_CRL_free(toX509CRL());
}

X509_CRL* VELASNCertificateList::toX509CRL() const {
  return decodeAll<X509_CRL>(getEncoding(), d2i_X509_CRL, X509_CRL_free, context());
}

void VELASNCertificateList::setChecked(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNCertificateList::setChecked");
  replaceChecked(*this, der);
}

VELASNTBSCertList VELASNCertificateList::getTBSCertList() const {
  requireValue();
  return VELASNTBSCertList(getTBSCertListEncoding());
}

VELASNBitString VELASNCertificateList::getSignature() const {
  requireValue();
  VELASNBitString s;
  s.read(getSignatureEncoding());
  return s;
}

VELASNx500Name VELASNCertificateList::getIssuer() const {
  requireValue();
  return VELASNx500Name(getIssuerEncoding());
}

std::ostream& VELASNCertificateList::display(std::ostream& out) const {
  if (empty()) return out << "VELASNCertificateList: (empty)";
  return out << "issuer: " << getIssuer() << " (" << getEncoding().length() << " bytes)";
}

// --- VELASNCertificationRequest ------------------------------------------------------

void VELASNCertificationRequest::sliceParts(const VELDERElement& e) {
  VELDERReader outer(nullptr, 0, context());
  VELDERReader r = outer.enter(e);
  const VELDERElement info = r.next(VELDER::kSequence, "certificationRequestInfo");
  r.next(VELDER::kSequence, "signatureAlgorithm");
  r.next(VELDER::kBitString, "signature");
  r.expectEnd();
  VELDERReader i = r.enter(info);
  i.next(VELDER::kInteger, "version");
  const VELDERElement subject = i.next(VELDER::kSequence, "subject");
  const VELDERElement spki = i.next(VELDER::kSequence, "subjectPKInfo");
  d_subject = sliceOf(e, subject);
  d_spki = sliceOf(e, spki);
}

void VELASNCertificationRequest::validate() const {
  VEL_TRACE_SCOPE("VELASNCertificationRequest::validate");
  X509_REQ_free(decodeAll<X509_REQ>(getEncoding(), d2i_X509_REQ, X509_REQ_free, context()));
}

void VELASNCertificationRequest::setChecked(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNCertificationRequest::setChecked");
  replaceChecked(*this, der);
}

VELASNx500Name VELASNCertificationRequest::getSubject() const {
  requireValue();
  return VELASNx500Name(getSubjectEncoding());
}

VELASNSubjectPublicKeyInfo VELASNCertificationRequest::getSubjectPublicKeyInfo() const {
  requireValue();
  return VELASNSubjectPublicKeyInfo(getSubjectPublicKeyInfoEncoding());
}

// --- VELASNEncryptedPrivateKeyInfo ----------------------------------------------------

void VELASNEncryptedPrivateKeyInfo::sliceParts(const VELDERElement& e) {
  VELDERElement parts[2];
  childrenOf(e, {{VELDER::kSequence, "encryptionAlgorithm"}, {VELDER::kOctetString, "encryptedData"}}, parts);
  const VELDERElement& data = parts[1];
  d_algorithm = sliceOf(e, parts[0]);
  d_data.offset = static_cast<std::size_t>(data.content() - e.start);
  d_data.length = data.contentLength;
}

void VELASNEncryptedPrivateKeyInfo::validate() const {
  VEL_TRACE_SCOPE("VELASNEncryptedPrivateKeyInfo::validate");
  X509_SIG_free(decodeAll<X509_SIG>(getEncoding(), d2i_X509_SIG, X509_SIG_free, context()));
}

void VELASNEncryptedPrivateKeyInfo::setChecked(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNEncryptedPrivateKeyInfo::setChecked");
  replaceChecked(*this, der);
}

// --- VELASNKeyPair ----------------------------------------------------------------------

VELASNKeyPair::VELASNKeyPair(const VELASNSubjectPublicKeyInfo& publicKey,
                             const VELASNEncryptedPrivateKeyInfo& privateKey)
    : VELASNKeyPair() {
  VELBuffer content;
  VELDERWriter::appendRaw(content, publicKey.write().get());
  VELBuffer key = privateKey.write();
  VELDERWriter::appendRaw(content, key.get());
  read(VELDERWriter::wrap(VELDER::kSequence, content).get());
}

void VELASNKeyPair::sliceParts(const VELDERElement& e) {
  VELDERElement parts[2];
  childrenOf(e, {{VELDER::kSequence, "subjectPublicKeyInfo"}, {VELDER::kSequence, "privateKey"}}, parts);
  d_spki = sliceOf(e, parts[0]);
  d_epki = sliceOf(e, parts[1]);
}

VELASNSubjectPublicKeyInfo VELASNKeyPair::getSubjectPublicKeyInfo() const {
  requireValue();
  return VELASNSubjectPublicKeyInfo(getSubjectPublicKeyInfoEncoding());
}

VELASNEncryptedPrivateKeyInfo VELASNKeyPair::getPrivateKey() const {
  requireValue();
  return VELASNEncryptedPrivateKeyInfo(getPrivateKeyEncoding());
}
