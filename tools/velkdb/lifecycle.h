// lifecycle.h -- a key's way through velkdb: made with a certification
// request, joined with the certificate issued for it, and handed out again
// to other tools (PKCS#12, a PEM chain, a key in the clear).
//
// The pure pieces (key types, subject alternative names, chain
// building, default labels) are here so that the unit tests reach them;
// the commands that use them are `request` (request.cpp), `export`'s
// --pkcs12, --chain and --unencrypted (exporting.cpp) and the joins that
// `import` makes with stored records (joining.cpp).
#ifndef VELKDB_LIFECYCLE_H
#define VELKDB_LIFECYCLE_H

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"

namespace velkdb {

// -- keys and requests

// What `request --key` names: "ec:P-256" (the default), "ec:P-384",
// "rsa:2048", "rsa:3072" or "ed25519".
struct KeyType {
  enum Kind { EC, RSA, ED25519 } kind = EC;
  std::string curve = "P-256";  // EC
  int bits = 0;                 // RSA
};
// Throws UsageError for any other text.
KeyType parseKeyType(const std::string& text);
// A fresh key of that kind.  Throws 0x8B67A.
Ossl<EVP_PKEY> generateKey(const KeyType& type);

// The entries of `--san`: a comma-separated list of "DNS:name",
// "IP:address", "email:address" or "URI:uri"; an entry without a type is an
// IP address when it parses as one, an e-mail address when it holds '@',
// else a DNS name.  Returns them in OpenSSL's configuration form
// ("DNS:a.example").  Throws UsageError for an empty entry, an unknown type,
// a DNS name with characters no host name has, or a bad IP address.
std::vector<std::string> parseSubjectAltNames(const std::string& text);

// A PKCS#10 request for `subject` (as `parseName` takes it) with the
// subject alternative names given, signed by `key` (SHA-256; SHA-384 for
// P-384; none for Ed25519).  Throws 0x8B67A.
Ossl<X509_REQ> makeSignedRequest(EVP_PKEY* key, const std::string& subject, const std::vector<std::string>& altNames);

// Refuses (0x8B67A) an -o FILE whose directory does not exist, before a
// command stores what it makes and then writes FILE; "-" and "" are
// standard output.
void checkOutputDirectory(const std::string& out);

// -- issuing (selfsign, sign)

// The key record holding exactly `cert`, or null.
std::unique_ptr<VELASNKeyRecord> storedCertificate(FileDBManager& db, X509* cert);
// Writes the PEM of `cert` to standard output ("" or "-") or `out`; when
// `storedAs` names what was stored, a failure to write says it is stored.
void writeCertificate(X509* cert, const std::string& out, const std::string& storedAs);

// -- chains

// The issuers of `leaf` found in `pool`, nearest first: each one's subject
// is the previous certificate's issuer (compared as names, with key
// identifiers when both carry them) and its key verifies the previous
// certificate's signature.  Stops at a self-signed certificate, when no
// issuer is found, or when the next issuer is already in the chain (a
// loop); never longer than `kMaxChain`.
constexpr std::size_t kMaxChain = 16;
std::vector<X509*> buildChain(X509* leaf, const std::vector<X509*>& pool);

// -- labels

// The name a certificate carries for itself: the PKCS#12 friendly name (a
// Java keystore's alias) or the alias of a TRUSTED CERTIFICATE; "" when it
// has none or none usable as a label.
std::string certificateAlias(X509* cert);
// A CRL's default label: its issuer's, with " CRL" added, so that it does
// not take the label of the CA certificate imported with it.
std::string crlDefaultLabel(X509_CRL* crl);

// -- joins with stored records (import)

// A stored key pair whose certificate has come: its record, and the public
// key to compare.
struct StoredKeyPair {
  unsigned id = 0;
  std::string label;
  VELBuffer wrappedKey;  // EncryptedPrivateKeyInfo, under the database password
  Ossl<EVP_PKEY> publicKey;
};
// Every key pair of the database (none when the table is not enabled).
std::vector<StoredKeyPair> loadKeyPairs(FileDBManager& db);
// The first of `pairs` not in `taken` whose public key is that of `cert`;
// null when there is none.
const StoredKeyPair* keyPairFor(const std::vector<StoredKeyPair>& pairs, const std::set<unsigned>& taken, X509* cert);

// The stored certificate records that have the public key of `key`.
struct StoredCertificates {
  std::vector<unsigned> withoutKey;  // record IDs
  bool anyWithKey = false;
};
StoredCertificates certificatesFor(FileDBManager& db, EVP_PKEY* key);

// -- export

// The key inside `epki` (opened with `password`) as PEM PRIVATE KEY, PKCS#8
// in the clear.  Throws 0x8C240 when the password does not open it.
std::string clearKeyPEM(const VELASNCBuffer& epki, const Secret& password, const std::string& label);
// The key inside `epki` as DER: as stored (EncryptedPrivateKeyInfo) when
// `clear` is null, else opened with it, PKCS#8 in the clear.  Throws
// 0x8C240 when the password does not open it.
std::string keyDER(const VELASNCBuffer& epki, const Secret* clear, const std::string& label);
// What `export` was asked for.
struct ExportOptions {
  DbOptions db;
  Selector selector;
  bool all = false, key = false, unencrypted = false, chain = false, der = false;
  std::string pkcs12;  // the PKCS#12 file, empty when not asked for
  std::string exportPasswordFile;
  std::string out;
};
// `export --pkcs12 FILE` (with --all: the whole key table) and `export --chain`.
int exportBundle(const ExportOptions& options);

}  // namespace velkdb

#endif
