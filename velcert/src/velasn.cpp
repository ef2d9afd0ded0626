#include "velasn.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <openssl/err.h>

#include <memory>
#include <sstream>
#include <string>

#include "velexception.h"
#include "veltrace.h"

namespace {

[[noreturn]] void fail(const char* context, const std::string& fault) {
  VELDB_THROW(VELDBError::kBadArgument, std::string(context) + ": " + fault);
}

struct NameDeleter {
  void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameDeleter>;

NamePtr decodeName(const VELASNCBuffer& der) {
  if (der.length() == 0) return nullptr;
  const unsigned char* p = der.data();
  X509_NAME* n = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.length()));
  if (n != nullptr && p != der.data() + der.length()) {
    X509_NAME_free(n);
    n = nullptr;
  }
  if (n == nullptr) ERR_clear_error();
  return NamePtr(n);
}

int compareBytes(const VELASNCBuffer& a, const VELASNCBuffer& b) { return VELBuffer(a).compare(VELBuffer(b)); }

}  // namespace

// --- VELASNInteger -----------------------------------------------------------

void VELASNInteger::setValue(long long value) {
  unsigned char bytes[8];
  unsigned long long u = static_cast<unsigned long long>(value);
  for (int i = 7; i >= 0; --i) {
    bytes[i] = static_cast<unsigned char>(u & 0xFF);
    u >>= 8;
  }
  // Drop leading octets that only repeat the sign.
  std::size_t start = 0;
  while (start < 7 && ((bytes[start] == 0x00 && (bytes[start + 1] & 0x80) == 0) ||
                       (bytes[start] == 0xFF && (bytes[start + 1] & 0x80) != 0))) {
    ++start;
  }
  d_content.assign(bytes + start, 8 - start);
}

void VELASNInteger::setUnsignedValue(unsigned long long value) {
  unsigned char bytes[9];
  bytes[0] = 0;
  for (int i = 8; i >= 1; --i) {
    bytes[i] = static_cast<unsigned char>(value & 0xFF);
    value >>= 8;
  }
  std::size_t start = 0;
  while (start < 8 && bytes[start] == 0x00 && (bytes[start + 1] & 0x80) == 0) ++start;
  d_content.assign(bytes + start, 9 - start);
}

void VELASNInteger::setContent(const VELASNCBuffer& content) {
  if (content.length() == 0) VELDB_THROW(VELDBError::kBadArgument, "INTEGER: empty content");
  d_content = VELBuffer(content);
}

void VELASNInteger::read(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNInteger::read");
  const VELDERElement e = VELDERReader::readSingle(der, "INTEGER");
  if (e.tag != VELDER::kInteger) fail("INTEGER", "wrong tag");
  if (e.contentLength == 0) fail("INTEGER", "empty content");
  d_content.assign(e.content(), e.contentLength);
}

long long VELASNInteger::getValue() const {
  // Significant octets: skip leading sign-only octets (a read value may be
  // non-minimal).
  std::size_t start = 0;
  const unsigned char fill = isNegative() ? 0xFF : 0x00;
  while (start + 1 < d_content.size() && d_content[start] == fill &&
         ((d_content[start + 1] & 0x80) == (fill & 0x80))) {
    ++start;
  }
  if (d_content.size() - start > 8) VELDB_THROW(VELDBError::kBadArgument, "INTEGER: value does not fit 64 bits");
  unsigned long long u = isNegative() ? ~0ULL : 0ULL;
  for (std::size_t i = start; i < d_content.size(); ++i) u = (u << 8) | d_content[i];
  return static_cast<long long>(u);
}

unsigned long long VELASNInteger::getUnsignedValue() const {
  if (isNegative()) VELDB_THROW(VELDBError::kBadArgument, "INTEGER: negative value");
  std::size_t start = 0;
  while (start + 1 < d_content.size() && d_content[start] == 0) ++start;
  if (d_content.size() - start > 8) VELDB_THROW(VELDBError::kBadArgument, "INTEGER: value does not fit 64 bits");
  unsigned long long u = 0;
  for (std::size_t i = start; i < d_content.size(); ++i) u = (u << 8) | d_content[i];
  return u;
}

bool VELASNInteger::fitsUnsigned32() const {
  if (isNegative()) return false;
  std::size_t start = 0;
  while (start + 1 < d_content.size() && d_content[start] == 0) ++start;
  return d_content.size() - start <= 4;
}

VELBuffer VELASNInteger::write() const {
  VELBuffer out;
  VELDERWriter::appendElement(out, VELDER::kInteger, d_content.data(), d_content.size());
  return out;
}

std::ostream& VELASNInteger::display(std::ostream& out) const {
  std::size_t significant = d_content.size();
  for (std::size_t i = 0; i + 1 < d_content.size() && d_content[i] == (isNegative() ? 0xFF : 0x00); ++i) {
    --significant;
  }
  if (significant <= 8) return out << getValue();
  out << "0x";
  return d_content.display(out);
}

// --- VELASNLabelString ---------------------------------------------------------

void VELASNLabelString::read(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNLabelString::read");
  const VELDERElement e = VELDERReader::readSingle(der, "label");
  if (e.tag != VELDER::kUTF8String) fail("label", "UTF8String expected");
  d_value.assign(reinterpret_cast<const char*>(e.content()), e.contentLength);
}

VELBuffer VELASNLabelString::write() const {
  VELBuffer out;
  VELDERWriter::appendElement(out, VELDER::kUTF8String, d_value.data(), d_value.size());
  return out;
}

std::ostream& VELASNLabelString::display(std::ostream& out) const { return out << d_value; }

// --- VELASNEncodedObject -------------------------------------------------------

void VELASNEncodedObject::read(const VELASNCBuffer& der) {
  VEL_TRACE_SCOPE("VELASNEncodedObject::read");
  VELBuffer copy(der);
  const VELDERElement e = VELDERReader::readSingle(copy.get(), d_context);
  if (e.tag != d_tag) fail(d_context, "wrong tag");
  VELDERReader::checkStructure(e, d_context);
  sliceParts(e);
  d_der = std::move(copy);
}

void VELASNEncodedObject::wipe() {
  if (!d_der.empty()) OPENSSL_cleanse(d_der.data(), d_der.size());
  d_der.clear();
}

void VELASNEncodedObject::sliceParts(const VELDERElement&) {}

void VELASNEncodedObject::childrenOf(const VELDERElement& e, std::initializer_list<Expected> expected,
                                     VELDERElement* out) const {
  VELDERReader outer(nullptr, 0, context());
  VELDERReader r = outer.enter(e);
  for (const Expected& child : expected) *out++ = r.next(child.tag, child.what);
  r.expectEnd();
}

void VELASNEncodedObject::requireValue() const {
  if (d_der.empty()) fail(d_context, "no value");
}

VELBuffer VELASNEncodedObject::write() const {
  requireValue();
  return d_der;
}

std::ostream& VELASNEncodedObject::display(std::ostream& out) const {
  out << getInstanceName() << ": ";
  return d_der.display(out);
}

// --- VELASNBitString -----------------------------------------------------------

VELASNBitString::VELASNBitString(const VELASNCBuffer& bytes, unsigned unusedBits) : VELASNBitString() {
  if (unusedBits > 7 || (bytes.length() == 0 && unusedBits != 0)) {
    VELDB_THROW(VELDBError::kBadArgument, "BIT STRING: bad number of unused bits");
  }
  VELBuffer content;
  const unsigned char u = static_cast<unsigned char>(unusedBits);
  content.append(&u, 1);
  content.append(bytes.data(), static_cast<std::size_t>(bytes.length()));
  read(VELDERWriter::wrap(VELDER::kBitString, content).get());
}

void VELASNBitString::sliceParts(const VELDERElement& e) {
  if (e.contentLength == 0) fail(context(), "missing unused-bits octet");
  const unsigned char unused = e.content()[0];
  if (unused > 7 || (e.contentLength == 1 && unused != 0)) fail(context(), "bad number of unused bits");
}

unsigned VELASNBitString::getUnusedBits() const {
  requireValue();
  const VELASNCBuffer der = getEncoding();
  const VELDERElement e = VELDERReader::readSingle(der, context());
  return e.content()[0];
}

VELASNCBuffer VELASNBitString::getBits() const {
  requireValue();
  const VELDERElement e = VELDERReader::readSingle(getEncoding(), context());
  return VELASNCBuffer(e.content() + 1, e.contentLength - 1);
}

// --- VELASNx500Name ------------------------------------------------------------

void VELASNx500Name::sliceParts(const VELDERElement& e) {
  // Name ::= SEQUENCE OF SET OF AttributeTypeAndValue
  VELDERReader outer(nullptr, 0, context());
  VELDERReader rdns = outer.enter(e);
  while (!rdns.atEnd()) rdns.next(VELDER::kSet, "RelativeDistinguishedName");
}

int VELASNx500Name::compare(const VELASNx500Name& other) const {
  VEL_TRACE_SCOPE("VELASNx500Name::compare");
  NamePtr a = decodeName(getEncoding());
  NamePtr b = decodeName(other.getEncoding());
  if (a && b) {
    const int c = X509_NAME_cmp(a.get(), b.get());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return compareBytes(getEncoding(), other.getEncoding());
}

VELString VELASNx500Name::toText() const {
  NamePtr n = decodeName(getEncoding());
  if (!n) {
    std::ostringstream hex;
    VELBuffer(getEncoding()).display(hex);
    return hex.str();
  }
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return VELString();
  X509_NAME_print_ex(bio, n.get(), 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  VELString text(data != nullptr && len > 0 ? VELString(data, static_cast<std::size_t>(len)) : VELString());
  BIO_free(bio);
  return text;
}

std::ostream& VELASNx500Name::display(std::ostream& out) const { return out << toText(); }

// --- VELASNSubjectPublicKeyInfo ------------------------------------------------

void VELASNSubjectPublicKeyInfo::sliceParts(const VELDERElement& e) {
  VELDERElement parts[2];
  childrenOf(e, {{VELDER::kSequence, "algorithm"}, {VELDER::kBitString, "subjectPublicKey"}}, parts);
  d_algorithm = sliceOf(e, parts[0]);
  d_key = sliceOf(e, parts[1]);
}

void VELASNSubjectPublicKeyInfo::validate() const {
  VEL_TRACE_SCOPE("VELASNSubjectPublicKeyInfo::validate");
  requireValue();
  const VELASNCBuffer der = getEncoding();
  const unsigned char* p = der.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.length()));
  const bool ok = key != nullptr && p == der.data() + der.length();
  EVP_PKEY_free(key);
  if (!ok) {
    ERR_clear_error();
    fail(context(), "public key does not decode");
  }
}

void VELASNSubjectPublicKeyInfo::setChecked(const VELASNCBuffer& der) {
  replaceChecked(*this, der);
}

// --- VELASNIssuerAndSerialNumber ------------------------------------------------

VELASNIssuerAndSerialNumber::VELASNIssuerAndSerialNumber(const VELASNCBuffer& issuerDER,
                                                         const VELASNCBuffer& serialDER)
    : VELASNIssuerAndSerialNumber() {
  VEL_TRACE_SCOPE("VELASNIssuerAndSerialNumber::ctor");
  VELBuffer content;
  VELDERWriter::appendRaw(content, issuerDER);
  VELDERWriter::appendRaw(content, serialDER);
  read(VELDERWriter::wrap(VELDER::kSequence, content).get());
}

VELASNIssuerAndSerialNumber::VELASNIssuerAndSerialNumber(const VELASNx500Name& issuer,
                                                         const VELASNInteger& serial)
    : VELASNIssuerAndSerialNumber(issuer.write().get(), serial.write().get()) {}

void VELASNIssuerAndSerialNumber::sliceParts(const VELDERElement& e) {
  VELDERElement parts[2];
  childrenOf(e, {{VELDER::kSequence, "issuer"}, {VELDER::kInteger, "serialNumber"}}, parts);
  const VELDERElement& serial = parts[1];
  if (serial.contentLength == 0) fail(context(), "empty serial number");
  d_issuer = sliceOf(e, parts[0]);
  d_serial = sliceOf(e, serial);
}

VELASNx500Name VELASNIssuerAndSerialNumber::getIssuer() const {
  requireValue();
  return VELASNx500Name(getIssuerEncoding());
}

VELASNInteger VELASNIssuerAndSerialNumber::getSerialNumber() const {
  requireValue();
  VELASNInteger i;
  i.read(getSerialNumberEncoding());
  return i;
}
