// veltestpki.h -- run-time test PKI for every test program.
//
// Makes keys (EC P-256, fast; RSA; Ed25519), names with a chosen string type,
// self-signed and CA-issued certificates (v1 and v3), PKCS#8
// EncryptedPrivateKeyInfo, PKCS#10 requests, CRLs with any number of
// revoked entries, ready-made database records, and loads the system CA
// bundle.  Everything is made with OpenSSL; nothing is read from files except
// the CA bundle.  Failures of OpenSSL abort the test through an exception
// (std::runtime_error), since a broken fixture is not a finding.
//
// Ownership: the smart pointers own the OpenSSL objects; raw pointers passed
// in are borrowed.
#ifndef VELTESTPKI_H
#define VELTESTPKI_H

#include <openssl/types.h>
#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "velasnrecords.h"
#include "velbuffer.h"

namespace VELTestPKI {

struct Free {
  void operator()(EVP_PKEY* p) const;
  void operator()(X509* p) const;
  void operator()(X509_CRL* p) const;
  void operator()(X509_REQ* p) const;
  void operator()(X509_NAME* p) const;
};
using PKey = std::unique_ptr<EVP_PKEY, Free>;
using Cert = std::unique_ptr<X509, Free>;
using CRL = std::unique_ptr<X509_CRL, Free>;
using Request = std::unique_ptr<X509_REQ, Free>;
using Name = std::unique_ptr<X509_NAME, Free>;

enum class KeyType { EC_P256, RSA, Ed25519 };
enum class NameEncoding { UTF8, Printable };

// A new key.  `rsaBits` applies to RSA only.
PKey makeKey(KeyType type = KeyType::EC_P256, int rsaBits = 2048);
// One key per type for the whole process (made on first use); borrowed.
EVP_PKEY* sharedKey(KeyType type);

// A name from "CN=Alice,O=Example,C=US" (no escaping; values are ASCII),
// every value encoded with the given string type, in the order written.
Name makeName(const std::string& text, NameEncoding encoding = NameEncoding::UTF8);
// The exact DER of a name.
VELBuffer derOf(const X509_NAME* name);

struct CertOptions {
  int version = 3;                                // 1 (no extensions) or 3
  long serial = 0;                                // 0: a fresh random 63-bit serial
  NameEncoding subjectEncoding = NameEncoding::UTF8;
  bool ca = false;                                // v3 basicConstraints cA
  long days = 365;
};

// Self-signed: issuer = subject (same encoding).
Cert makeSelfSigned(EVP_PKEY* key, const std::string& subject, const CertOptions& options = CertOptions());
// Issued by `issuerCert`/`issuerKey`: the issuer name is copied exactly from
// the issuer certificate's subject.
Cert makeIssued(EVP_PKEY* subjectKey, const std::string& subject, X509* issuerCert, EVP_PKEY* issuerKey,
                const CertOptions& options = CertOptions());

// DER encodings.
VELBuffer derOf(X509* cert);
VELBuffer derOf(X509_CRL* crl);
VELBuffer derOf(X509_REQ* request);
// SubjectPublicKeyInfo of a key.
VELBuffer publicKeyDER(EVP_PKEY* key);
// PKCS#8 EncryptedPrivateKeyInfo (PBES2, AES-128-CBC, a low iteration count:
// test material only).
VELBuffer encryptedPrivateKeyDER(EVP_PKEY* key, const std::string& password = "test password");

// A signed PKCS#10 request.
Request makeRequest(EVP_PKEY* key, const std::string& subject);

// A v2 CRL of `issuerCert`, signed with `issuerKey`, with `revokedCount`
// revoked serials and a CRL number (0: a fresh number per call, so two CRLs
// of one issuer differ).
CRL makeCRL(X509* issuerCert, EVP_PKEY* issuerKey, std::size_t revokedCount, long crlNumber = 0);

// Ready-made records (record ID 0).  Each has fresh keys and a fresh
// self-signed EC certificate for `subject`.
std::unique_ptr<VELASNKeyRecord> makeKeyRecord(const std::string& label, const std::string& subject,
                                               bool withPrivateKey = true);
std::unique_ptr<VELASNKeyPairRecord> makeKeyPairRecord(const std::string& label, const std::string& subject);
// A CRL of a fresh self-signed CA named `issuer`.
std::unique_ptr<VELASNCRLRecord> makeCRLRecord(const std::string& label, const std::string& issuer,
                                               std::size_t revokedCount = 3);

// The exact DER of every certificate in a PEM bundle that OpenSSL decodes;
// others are skipped.  Empty when the file is missing.
std::vector<VELBuffer> loadSystemCABundle(const std::string& path = "/etc/ssl/certs/ca-certificates.crt");

}  // namespace VELTestPKI

#endif
