#include "veltestpki.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace VELTestPKI {

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    ERR_clear_error();
    throw std::runtime_error(std::string("test PKI: ") + what + " failed");
  }
}

template <typename T, typename Encode>
VELBuffer encode(T* object, Encode i2d) {
  unsigned char* out = nullptr;
  const int n = i2d(object, &out);
  check(n > 0, "DER encoding");
  VELBuffer der(out, static_cast<std::size_t>(n));
  OPENSSL_free(out);
  return der;
}

const EVP_MD* digestFor(EVP_PKEY* key) {
  return EVP_PKEY_get_id(key) == EVP_PKEY_ED25519 ? nullptr : EVP_sha256();
}

void setRandomSerial(ASN1_INTEGER* serial, long value) {
  if (value != 0) {
    check(ASN1_INTEGER_set(serial, value) == 1, "serial");
    return;
  }
  BIGNUM* bn = BN_new();
  check(bn != nullptr && BN_rand(bn, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1, "random serial");
  check(BN_to_ASN1_INTEGER(bn, serial) != nullptr, "serial");
  BN_free(bn);
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "extension");
  check(X509_add_ext(cert, ext, -1) == 1, "add extension");
  X509_EXTENSION_free(ext);
}

Cert buildCert(EVP_PKEY* subjectKey, const std::string& subject, X509* issuerCert, EVP_PKEY* issuerKey,
               const CertOptions& options) {
  Cert cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), options.version == 1 ? X509_VERSION_1 : X509_VERSION_3) == 1, "version");
  setRandomSerial(X509_get_serialNumber(cert.get()), options.serial);
  Name subjectName = makeName(subject, options.subjectEncoding);
  check(X509_set_subject_name(cert.get(), subjectName.get()) == 1, "subject");
  check(X509_set_issuer_name(cert.get(), issuerCert ? X509_get_subject_name(issuerCert) : subjectName.get()) == 1,
        "issuer");
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr, "notBefore");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * options.days) != nullptr, "notAfter");
  check(X509_set_pubkey(cert.get(), subjectKey) == 1, "public key");
  if (options.version != 1) {
    X509* issuer = issuerCert ? issuerCert : cert.get();
    addExtension(cert.get(), issuer, NID_basic_constraints, options.ca ? "critical,CA:TRUE" : "CA:FALSE");
    addExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    if (options.ca) addExtension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  check(X509_sign(cert.get(), issuerKey, digestFor(issuerKey)) > 0, "sign certificate");
  return cert;
}

}  // namespace

void Free::operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
void Free::operator()(X509* p) const { X509_free(p); }
void Free::operator()(X509_CRL* p) const { X509_CRL_free(p); }
void Free::operator()(X509_REQ* p) const { X509_REQ_free(p); }
void Free::operator()(X509_NAME* p) const { X509_NAME_free(p); }

PKey makeKey(KeyType type, int rsaBits) {
  EVP_PKEY* key = nullptr;
  switch (type) {
    case KeyType::EC_P256:
      key = EVP_EC_gen("P-256");
      break;
    case KeyType::RSA:
      key = EVP_RSA_gen(static_cast<unsigned>(rsaBits));
      break;
    case KeyType::Ed25519:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
      break;
  }
  check(key != nullptr, "key generation");
  return PKey(key);
}

EVP_PKEY* sharedKey(KeyType type) {
  static std::mutex mutex;
  static PKey keys[3];
  std::lock_guard<std::mutex> lock(mutex);
  PKey& slot = keys[static_cast<int>(type)];
  if (!slot) slot = makeKey(type);
  return slot.get();
}

Name makeName(const std::string& text, NameEncoding encoding) {
  Name name(X509_NAME_new());
  check(name != nullptr, "X509_NAME_new");
  std::stringstream in(text);
  std::string item;
  const int type = encoding == NameEncoding::Printable ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING;
  while (std::getline(in, item, ',')) {
    const std::size_t eq = item.find('=');
    check(eq != std::string::npos, "name syntax");
    std::string field = item.substr(0, eq);
    while (!field.empty() && field.front() == ' ') field.erase(field.begin());
    const std::string value = item.substr(eq + 1);
    check(X509_NAME_add_entry_by_txt(name.get(), field.c_str(), type,
                                     reinterpret_cast<const unsigned char*>(value.data()),
                                     static_cast<int>(value.size()), -1, 0) == 1,
          "name entry");
  }
  return name;
}

VELBuffer derOf(const X509_NAME* name) {
  const unsigned char* der = nullptr;
  std::size_t length = 0;
  check(X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &length) == 1, "name DER");
  return VELBuffer(der, length);
}

Cert makeSelfSigned(EVP_PKEY* key, const std::string& subject, const CertOptions& options) {
  return buildCert(key, subject, nullptr, key, options);
}

Cert makeIssued(EVP_PKEY* subjectKey, const std::string& subject, X509* issuerCert, EVP_PKEY* issuerKey,
                const CertOptions& options) {
  return buildCert(subjectKey, subject, issuerCert, issuerKey, options);
}

VELBuffer derOf(X509* cert) { return encode(cert, i2d_X509); }
VELBuffer derOf(X509_CRL* crl) { return encode(crl, i2d_X509_CRL); }
VELBuffer derOf(X509_REQ* request) { return encode(request, i2d_X509_REQ); }
VELBuffer publicKeyDER(EVP_PKEY* key) { return encode(key, i2d_PUBKEY); }

VELBuffer encryptedPrivateKeyDER(EVP_PKEY* key, const std::string& password) {
  PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
  check(info != nullptr, "PKCS#8 key info");
  X509_SIG* sig = PKCS8_encrypt(-1, EVP_aes_128_cbc(), password.data(), static_cast<int>(password.size()), nullptr,
                                0, 16, info);
  PKCS8_PRIV_KEY_INFO_free(info);
  check(sig != nullptr, "PKCS#8 encryption");
  VELBuffer der = encode(sig, i2d_X509_SIG);
  X509_SIG_free(sig);
  return der;
}

Request makeRequest(EVP_PKEY* key, const std::string& subject) {
  Request request(X509_REQ_new());
  check(request != nullptr, "X509_REQ_new");
  check(X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) == 1, "request version");
  Name name = makeName(subject);
  check(X509_REQ_set_subject_name(request.get(), name.get()) == 1, "request subject");
  check(X509_REQ_set_pubkey(request.get(), key) == 1, "request key");
  check(X509_REQ_sign(request.get(), key, digestFor(key)) > 0, "sign request");
  return request;
}

CRL makeCRL(X509* issuerCert, EVP_PKEY* issuerKey, std::size_t revokedCount, long crlNumber) {
  static std::atomic<long> nextNumber{1};
  if (crlNumber == 0) crlNumber = nextNumber++;
  CRL crl(X509_CRL_new());
  check(crl != nullptr, "X509_CRL_new");
  check(X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2) == 1, "CRL version");
  check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuerCert)) == 1, "CRL issuer");
  ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 7 * 86400L);
  check(now != nullptr && next != nullptr, "CRL times");
  check(X509_CRL_set1_lastUpdate(crl.get(), now) == 1, "thisUpdate");
  check(X509_CRL_set1_nextUpdate(crl.get(), next) == 1, "nextUpdate");
  for (std::size_t i = 0; i < revokedCount; ++i) {
    X509_REVOKED* revoked = X509_REVOKED_new();
    check(revoked != nullptr, "X509_REVOKED_new");
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    setRandomSerial(serial, 0);
    check(X509_REVOKED_set_serialNumber(revoked, serial) == 1, "revoked serial");
    check(X509_REVOKED_set_revocationDate(revoked, now) == 1, "revocation date");
    ASN1_INTEGER_free(serial);
    check(X509_CRL_add0_revoked(crl.get(), revoked) == 1, "add revoked");
  }
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  ASN1_INTEGER* number = ASN1_INTEGER_new();
  check(number != nullptr && ASN1_INTEGER_set(number, crlNumber) == 1, "CRL number");
  check(X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, number, 0, 0) == 1, "CRL number extension");
  ASN1_INTEGER_free(number);
  check(X509_CRL_sort(crl.get()) == 1, "CRL sort");
  check(X509_CRL_sign(crl.get(), issuerKey, digestFor(issuerKey)) > 0, "sign CRL");
  return crl;
}

std::unique_ptr<VELASNKeyRecord> makeKeyRecord(const std::string& label, const std::string& subject,
                                               bool withPrivateKey) {
  PKey key = makeKey();
  Cert cert = makeSelfSigned(key.get(), subject);
  std::unique_ptr<VELASNKeyRecord> record(new VELASNKeyRecord());
  record->setLabel(label);
  const VELBuffer certDER = derOf(cert.get());
  if (withPrivateKey) {
    record->setKeyAndCertificate(certDER.get(), encryptedPrivateKeyDER(key.get()).get());
  } else {
    record->setCertificate(certDER.get());
  }
  return record;
}

std::unique_ptr<VELASNKeyPairRecord> makeKeyPairRecord(const std::string& label, const std::string& subject) {
  PKey key = makeKey();
  Request request = makeRequest(key.get(), subject);
  std::unique_ptr<VELASNKeyPairRecord> record(new VELASNKeyPairRecord());
  record->setLabel(label);
  record->setKeyPair(VELASNSubjectPublicKeyInfo(publicKeyDER(key.get()).get()),
                     VELASNEncryptedPrivateKeyInfo(encryptedPrivateKeyDER(key.get()).get()));
  record->setCertificationRequest(derOf(request.get()).get());
  return record;
}

std::unique_ptr<VELASNCRLRecord> makeCRLRecord(const std::string& label, const std::string& issuer,
                                               std::size_t revokedCount) {
  PKey key = makeKey();
  CertOptions options;
  options.ca = true;
  Cert ca = makeSelfSigned(key.get(), issuer, options);
  CRL crl = makeCRL(ca.get(), key.get(), revokedCount);
  std::unique_ptr<VELASNCRLRecord> record(new VELASNCRLRecord());
  record->setLabel(label);
  record->setCRL(derOf(crl.get()).get());
  return record;
}

std::vector<VELBuffer> loadSystemCABundle(const std::string& path) {
  std::vector<VELBuffer> out;
  BIO* bio = BIO_new_file(path.c_str(), "r");
  if (bio == nullptr) {
    ERR_clear_error();
    return out;
  }
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_read_bio(bio, &name, &header, &data, &length) != 1) break;
    if (std::string(name) == "CERTIFICATE") {
      const unsigned char* p = data;
      X509* cert = d2i_X509(nullptr, &p, length);
      if (cert != nullptr && p == data + length) out.emplace_back(data, static_cast<std::size_t>(length));
      X509_free(cert);
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
  }
  ERR_clear_error();
  BIO_free(bio);
  return out;
}

}  // namespace VELTestPKI
