// pki.h -- the OpenSSL side of velkdb: reading input files, wrapping and
// unwrapping private keys, describing certificates, and making the demo's
// keys, certificates, requests and CRLs.
//
// Nothing here touches the database: the commands hand the DER that these
// functions produce to `FileDBManager`.
//
// Private keys are stored as PKCS#8 EncryptedPrivateKeyInfo (DER of an
// X509_SIG): PBES2 with PBKDF2-HMAC-SHA256 (a fresh 16-byte salt and
// `kWrapIterations` iterations) and AES-256-CBC (a fresh IV).  Errors are
// thrown as `VELDBException` 0x8B67A with a message naming what failed.
#ifndef VELKDB_PKI_H
#define VELKDB_PKI_H

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "velasn.h"
#include "velbuffer.h"
#include "velstring.h"

namespace velkdb {

// Frees OpenSSL objects held in `Ossl<T>`.
struct OsslFree {
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_CRL* p) const { X509_CRL_free(p); }
  void operator()(X509_REQ* p) const { X509_REQ_free(p); }
  void operator()(X509_NAME* p) const { X509_NAME_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509_SIG* p) const { X509_SIG_free(p); }
  void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
  void operator()(PKCS12* p) const { PKCS12_free(p); }
};
template <typename T>
using Ossl = std::unique_ptr<T, OsslFree>;

// Throws 0x8B67A with `message`, leaving OpenSSL's error queue empty.
[[noreturn]] void fail(const std::string& message);
// fail("WHAT failed") unless `ok`.
void check(bool ok, const char* what);

// Decodes one structure that fills `der` exactly; null otherwise.  With
// `into`, d2i fills that object (made, say, in a library context of its
// own), which this takes over whatever comes.
template <typename T, typename Decode>
Ossl<T> decodeWhole(const VELASNCBuffer& der, Decode d2i, T* into = nullptr) {
  Ossl<T> object(into);
  if (der.length() == 0 || der.length() > static_cast<std::uint64_t>(LONG_MAX)) return nullptr;
  const unsigned char* p = der.data();
  T* target = object.release();
  // d2i fills `target`, when there is one, or frees it.
  object.reset(d2i(target == nullptr ? nullptr : &target, &p, static_cast<long>(der.length())));
  if (object && p != der.data() + der.length()) object.reset();
  ERR_clear_error();
  return object;
}

// Password bytes, wiped when destroyed.
class Secret {
 public:
  // CREATORS
  Secret() = default;
  explicit Secret(std::string bytes) : d_bytes(std::move(bytes)) {}
  Secret(const Secret&) = default;
  Secret& operator=(const Secret&) = default;
  ~Secret();

  // ACCESSORS
  const std::string& bytes() const { return d_bytes; }
  bool operator==(const Secret& o) const { return d_bytes == o.d_bytes; }
  bool operator!=(const Secret& o) const { return d_bytes != o.d_bytes; }

 private:
  // DATA
  std::string d_bytes;
};

// PBKDF2 iterations used when a key is wrapped.
constexpr int kWrapIterations = 100000;
// The most PBKDF2 (or PKCS#12 key-derivation) iterations an input may ask
// for: a file asking for more would keep velkdb busy for hours on one key.
constexpr unsigned long long kMaxIterations = 10000000;

// Throws 0x8B67A, naming `what`, the count and the limit, when the
// password-based encryption `alg` (PBES2 with PBKDF2, or a PKCS#5 / PKCS#12
// PBE scheme) asks for more than kMaxIterations iterations.  Nothing is
// derived.  Other algorithms pass.
void refuseCostlyDerivation(const X509_ALGOR* alg, const std::string& what);
// The same for a PKCS#12 file: its MAC's iterations, those of its
// encrypted contents and of the shrouded keys in its unencrypted contents
// (keys inside encrypted contents are reached only after decryption, where
// PKCS12_parse does not ask).
void refuseCostlyPKCS12(PKCS12* p12, const std::string& path);

// What an input file says of one of its items beyond the item itself: the
// label it had (a PKCS#12 friendly name, the alias of a trusted-certificate
// block, a "friendlyName:" line before a PEM block) and whether it was
// marked as a trust anchor.
struct ItemAttributes {
  std::string label;
  bool trusted = false;
};

// Everything found in the input files of one import.
struct InputItems {
  std::vector<Ossl<X509>> certs;
  std::vector<Ossl<EVP_PKEY>> keys;
  std::vector<Ossl<X509_REQ>> requests;
  std::vector<Ossl<X509_CRL>> crls;
  // By the item's object; items without any are absent.
  std::map<const void*, ItemAttributes> attributes;

  // The attributes of `item`, or null.
  const ItemAttributes* attributesOf(const void* item) const {
    const auto it = attributes.find(item);
    return it == attributes.end() ? nullptr : &it->second;
  }
};

// The lines written before a PEM block to carry its label and trust mark
// ("Bag Attributes", "    friendlyName: LABEL", "    trusted: yes"), which
// every PEM reader skips and `readInputFile` reads back; empty when there
// is neither.
std::string bagAttributes(const std::string& label, bool trusted);

// Gives the password for an encrypted input (PKCS#12 file or private key);
// called at most once, only when one is needed.  Returns false when no
// password can be had.
class InputPassword {
 public:
  virtual ~InputPassword() = default;
  virtual bool get(Secret& out) = 0;
};

// Reads `path` (standard input for "-"): PEM with any number of blocks, or
// one DER structure (certificate, CRL, request, PKCS#12, PKCS#8 or
// traditional private key), and appends what it holds to `items`: all of
// it, or nothing when it throws 0x8B67A naming the file and the fault
// (unreadable, a directory, not a supported format, a PEM line starting
// with "-----" that is no whole block's, wrong password).
// Certificates of a PEM input come with their public keys decoded, or, with
// kOnDemand, without: decoding the key is most of what reading a
// certificate costs, and an import needs it only to pair the certificate
// with a private key (`publicKeyOf` decodes it then).
enum class CertificateKeys { kDecoded, kOnDemand };
void readInputFile(const std::string& path, InputPassword& password, InputItems& items,
                   CertificateKeys keys = CertificateKeys::kDecoded);

// The key wrapped as EncryptedPrivateKeyInfo DER under `password`.
VELBuffer wrapPrivateKey(EVP_PKEY* key, const Secret& password);
// The key inside `epki`, or null when `password` does not open it.  Throws
// 0x8B67A when `epki` is not an EncryptedPrivateKeyInfo at all.
Ossl<EVP_PKEY> unwrapPrivateKey(const VELASNCBuffer& epki, const Secret& password);
// "PBES2 (PBKDF2-HMAC-SHA256, 100000 iterations, AES-256-CBC)" or the
// algorithm's name for other wrappings.
std::string describeWrapping(const VELASNCBuffer& epki);

// DER encodings and decodings; throw 0x8B67A.
VELBuffer derOf(X509* cert);
VELBuffer derOf(X509_CRL* crl);
VELBuffer derOf(X509_REQ* request);
VELBuffer publicKeyDER(EVP_PKEY* key);
Ossl<X509> certFromDER(const VELASNCBuffer& der);
Ossl<X509_CRL> crlFromDER(const VELASNCBuffer& der);
Ossl<X509_REQ> requestFromDER(const VELASNCBuffer& der);
Ossl<EVP_PKEY> publicKeyFromDER(const VELASNCBuffer& der);

// PEM text of DER under the block name ("CERTIFICATE", "X509 CRL",
// "CERTIFICATE REQUEST", "ENCRYPTED PRIVATE KEY").
std::string toPEM(const char* blockName, const VELASNCBuffer& der);

// A name in RFC 2253 form ("CN=a,O=b").
std::string nameText(const X509_NAME* name);
// The DER of the name written as "CN=a,O=b" (RFC 2253, most specific
// first, `\,` escapes a comma) or "/O=b/CN=a" (most specific last).
// Throws 0x8B67A for an attribute OpenSSL does not know.
VELBuffer parseName(const std::string& text);
// A label from a name: its last common name, else its last organisational
// unit or organisation, else the whole name; control characters written
// out as `printable` does.
std::string labelFromName(const X509_NAME* name);
// "2025-01-31T12:00:00Z"; "" for null.
std::string timeText(const ASN1_TIME* t);
// Seconds since 1970 of an ASN.1 time.
long long timeValue(const ASN1_TIME* t);
// Upper-case hexadecimal serial number.
std::string serialText(const ASN1_INTEGER* serial);
// "RSA 2048", "EC P-256", "ED25519" ...
std::string keyText(EVP_PKEY* key);
// The public key of `cert`, decoded from its SubjectPublicKeyInfo when the
// certificate was read without it (`CertificateKeys::kOnDemand`); null when
// OpenSSL does not know the key.
Ossl<EVP_PKEY> publicKeyOf(const X509* cert);
// True when `key` (private or public) has the public key of `cert`.
bool keyMatches(X509* cert, EVP_PKEY* key);
bool keyMatches(X509_REQ* request, EVP_PKEY* key);

// -- making things, for the demo and the tests
Ossl<EVP_PKEY> makeECKey();
Ossl<EVP_PKEY> makeRSAKey(int bits);
// A certificate for `subject` ("/CN=..."), signed by `issuerKey` under
// `issuer` (null: self-signed), valid from now for `days` days.  `dnsName`
// adds a subject alternative name; `ca` makes it a CA certificate.
Ossl<X509> makeCertificate(EVP_PKEY* key, const std::string& subject, X509* issuer, EVP_PKEY* issuerKey, int days,
                           bool ca, const std::string& dnsName);
Ossl<X509_REQ> makeRequest(EVP_PKEY* key, const std::string& subject);
// A CRL of `issuer` revoking the given certificates, next update in `days`.
Ossl<X509_CRL> makeCRL(X509* issuer, EVP_PKEY* issuerKey, const std::vector<X509*>& revoked, int days);

}  // namespace velkdb

#endif
