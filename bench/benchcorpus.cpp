#include "benchcorpus.h"

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "veltestpki.h"

namespace VELBench {

const char kPassword[] = "benchmark password";

namespace {

constexpr std::size_t kBlock = 1u << 20;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("bench corpus: ") + what);
}

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
  check(ext != nullptr, "extension");
  check(X509_add_ext(cert, ext, -1) == 1, "add extension");
  X509_EXTENSION_free(ext);
}

// A server certificate of about the size of the CA bundle's: a four-part
// subject, the usual extensions and a dozen alternative names.
VELBuffer makeLeaf(EVP_PKEY* key, X509* ca, EVP_PKEY* caKey, long serial, std::size_t host) {
  VELTestPKI::Cert cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), 2) == 1, "version");
  check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1, "serial");
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(ca)) == 1, "issuer");
  char cn[64];
  std::snprintf(cn, sizeof cn, "host-%05zu.bench.example", host);
  VELTestPKI::Name name = VELTestPKI::makeName(std::string("C=US,O=Example Bench Corporation,OU=Server Fleet,CN=") + cn);
  check(X509_set_subject_name(cert.get(), name.get()) == 1, "subject");
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr, "notBefore");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 86400) != nullptr, "notAfter");
  check(X509_set_pubkey(cert.get(), key) == 1, "pubkey");
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, ca, cert.get(), nullptr, nullptr, 0);
  addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature,keyAgreement");
  addExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth,clientAuth");
  addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  addExtension(cert.get(), &ctx, NID_crl_distribution_points, "URI:http://crl.bench.example/issuing-ca.crl");
  addExtension(cert.get(), &ctx, NID_info_access,
               "OCSP;URI:http://ocsp.bench.example,caIssuers;URI:http://pki.bench.example/issuing-ca.der");
  std::string san;
  for (int i = 0; i < 12; ++i) {
    char alt[80];
    std::snprintf(alt, sizeof alt, "%sDNS:service-%02d.host-%05zu.bench.example", i ? "," : "", i, host);
    san += alt;
  }
  addExtension(cert.get(), &ctx, NID_subject_alt_name, san);
  check(X509_sign(cert.get(), caKey, EVP_sha256()) > 0, "sign");
  return VELTestPKI::derOf(cert.get());
}

bool element(const unsigned char*& p, const unsigned char* end, const unsigned char*& start,
             const unsigned char*& content, long& length, int& tag, int& cls) {
  if (p >= end) return false;
  start = p;
  const unsigned char* q = p;
  const int r = ASN1_get_object(&q, &length, &tag, &cls, end - p);
  if ((r & 0x80) != 0 || length < 0 || length > end - q) return false;
  content = q;
  p = q + length;
  return true;
}

void sha1(EVP_MD_CTX* ctx, const EVP_MD* md, const unsigned char* a, std::size_t an, const unsigned char* b,
          std::size_t bn, const unsigned char* c, std::size_t cn, unsigned char out[20]) {
  EVP_DigestInit_ex(ctx, md, nullptr);
  EVP_DigestUpdate(ctx, a, an);
  if (bn) EVP_DigestUpdate(ctx, b, bn);
  if (cn) EVP_DigestUpdate(ctx, c, cn);
  EVP_DigestFinal_ex(ctx, out, nullptr);
}

}  // namespace

Corpus::Corpus(std::size_t count, const std::vector<VELBuffer>& caBundle, std::size_t caEvery) {
  EVP_PKEY* key = VELTestPKI::sharedKey(VELTestPKI::KeyType::EC_P256);
  VELTestPKI::CertOptions caOptions;
  caOptions.ca = true;
  VELTestPKI::Cert ca = VELTestPKI::makeSelfSigned(key, "CN=Bench Issuing CA,O=Example Bench Corporation,C=US",
                                                   caOptions);
  VELTestPKI::PKey pairKey;
  VELBuffer pairPrivateKey;
  std::size_t pairKeyFor = static_cast<std::size_t>(-1);
  const std::size_t total = count + kSpareRecords;
  records.reserve(total);
  encodings.reserve(total);
  std::size_t next = 0;
  double certBytes = 0;
  for (std::size_t i = 0; i < total; ++i) {
    char label[32];
    VELASNKeyRecord record;
    if (i < count && caEvery != 0 && i % caEvery == 0 && next < caBundle.size()) {
      std::snprintf(label, sizeof label, "ca-%05zu", i);
      record.setCertificate(caBundle[next].get());
      certBytes += static_cast<double>(caBundle[next].length());
      ++next;
      ++caCertificates;
    } else {
      std::snprintf(label, sizeof label, "key-%05zu", i);
      // Pairs of records share a subject name and a key, as a certificate
      // and its renewal do.
      if (i / 2 != pairKeyFor) {
        pairKey = VELTestPKI::makeKey();
        pairPrivateKey = VELTestPKI::encryptedPrivateKeyDER(pairKey.get());
        pairKeyFor = i / 2;
      }
      const VELBuffer der = makeLeaf(pairKey.get(), ca.get(), key, 1000000L + static_cast<long>(i), i / 2);
      certBytes += static_cast<double>(der.length());
      record.setKeyAndCertificate(der.get(), pairPrivateKey.get());
    }
    record.setLabel(label);
    encodings.push_back(record.write());
    records.push_back(std::move(record));
  }
  averageCertificateBytes = certBytes / static_cast<double>(total);
}

bool walkAndDigest(const unsigned char* der, std::size_t length, EVP_MD_CTX* ctx, const EVP_MD* sha1md,
                   Digests& out) {
  const unsigned char* p = der;
  const unsigned char* end = der + length;
  const unsigned char *start, *content;
  long len;
  int tag, cls;
  // KeyRecord SEQUENCE { version, recordID, label, content, ... }
  if (!element(p, end, start, content, len, tag, cls) || tag != V_ASN1_SEQUENCE) return false;
  p = content;
  end = content + len;
  for (int i = 0; i < 3; ++i) {
    if (!element(p, end, start, content, len, tag, cls)) return false;
  }
  if (!element(p, end, start, content, len, tag, cls) || cls != V_ASN1_CONTEXT_SPECIFIC) return false;
  // [0] { Certificate, key } or [1] Certificate: the certificate comes first.
  p = content;
  end = content + len;
  if (!element(p, end, start, content, len, tag, cls) || tag != V_ASN1_SEQUENCE) return false;
  p = content;
  end = content + len;
  const unsigned char *tbsStart, *tbsContent;
  long tbsLen;
  if (!element(p, end, tbsStart, tbsContent, tbsLen, tag, cls)) return false;
  const std::size_t tbsTotal = static_cast<std::size_t>(p - tbsStart);
  if (!element(p, end, start, content, len, tag, cls)) return false;  // signatureAlgorithm
  if (!element(p, end, start, content, len, tag, cls) || tag != V_ASN1_BIT_STRING) return false;
  sha1(ctx, sha1md, start, static_cast<std::size_t>(p - start), nullptr, 0, nullptr, 0, out.signature);
  sha1(ctx, sha1md, tbsStart, tbsTotal, nullptr, 0, nullptr, 0, out.tbs);

  // TBSCertificate { [0] version?, serial, signature, issuer, validity, subject, spki, ... }
  p = tbsContent;
  end = tbsContent + tbsLen;
  if (!element(p, end, start, content, len, tag, cls)) return false;
  if (cls == V_ASN1_CONTEXT_SPECIFIC && !element(p, end, start, content, len, tag, cls)) return false;
  const unsigned char* serial = start;
  const std::size_t serialLen = static_cast<std::size_t>(p - start);
  if (!element(p, end, start, content, len, tag, cls)) return false;  // signature
  if (!element(p, end, start, content, len, tag, cls)) return false;  // issuer
  const unsigned char* issuer = start;
  const std::size_t issuerLen = static_cast<std::size_t>(p - start);
  if (!element(p, end, start, content, len, tag, cls)) return false;  // validity
  if (!element(p, end, start, content, len, tag, cls)) return false;  // subject
  sha1(ctx, sha1md, start, static_cast<std::size_t>(p - start), nullptr, 0, nullptr, 0, out.subject);
  if (!element(p, end, start, content, len, tag, cls)) return false;  // spki
  sha1(ctx, sha1md, start, static_cast<std::size_t>(p - start), nullptr, 0, nullptr, 0, out.spki);
  // IssuerAndSerialNumber ::= SEQUENCE { issuer, serial }: a header, then the two parts.
  unsigned char header[8];
  unsigned char* h = header;
  ASN1_put_object(&h, 1, static_cast<int>(issuerLen + serialLen), V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
  sha1(ctx, sha1md, header, static_cast<std::size_t>(h - header), issuer, issuerLen, serial, serialLen,
       out.issuerAndSerial);
  return true;
}

std::uint64_t hashFile(const std::string& path, const std::string& kind) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "open for hashing");
  std::unique_ptr<unsigned char[]> block(new unsigned char[kBlock]);
  EVP_MAC* mac = nullptr;
  EVP_MAC_CTX* macCtx = nullptr;
  EVP_MD_CTX* mdCtx = nullptr;
  if (kind == "hmac") {
    mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    macCtx = EVP_MAC_CTX_new(mac);
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    check(EVP_MAC_init(macCtx, reinterpret_cast<const unsigned char*>(kPassword), std::strlen(kPassword), params) ==
              1,
          "HMAC init");
  } else if (kind == "md5") {
    mdCtx = EVP_MD_CTX_new();
    check(EVP_DigestInit_ex(mdCtx, EVP_md5(), nullptr) == 1, "MD5 init");
  }
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, block.get(), kBlock);
    check(n >= 0, "read");
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    if (macCtx) EVP_MAC_update(macCtx, block.get(), static_cast<std::size_t>(n));
    if (mdCtx) EVP_DigestUpdate(mdCtx, block.get(), static_cast<std::size_t>(n));
  }
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t outLen = 0;
  if (macCtx) {
    EVP_MAC_final(macCtx, out, &outLen, sizeof out);
    EVP_MAC_CTX_free(macCtx);
    EVP_MAC_free(mac);
  }
  if (mdCtx) {
    EVP_DigestFinal_ex(mdCtx, out, nullptr);
    EVP_MD_CTX_free(mdCtx);
  }
  ::close(fd);
  return total;
}

void copyFile(const std::string& from, const std::string& to, bool sync) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  check(in >= 0, "open copy source");
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(out >= 0, "open copy target");
  std::unique_ptr<unsigned char[]> block(new unsigned char[kBlock]);
  for (;;) {
    const ssize_t n = ::read(in, block.get(), kBlock);
    check(n >= 0, "read copy");
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, block.get() + done, static_cast<std::size_t>(n - done));
      check(w > 0, "write copy");
      done += w;
    }
  }
  if (sync) check(::fsync(out) == 0, "fsync copy");
  ::close(out);
  ::close(in);
}

std::uint64_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace VELBench
