// issuing.h -- making certificates: a self-signed one for a new key, one
// issued from a request with a stored CA's key, and the text of a
// certificate's extensions.
//
// Every certificate made here is X.509 version 3 with a random positive
// 127-bit serial number, valid from one minute before now, signed with
// SHA-256 (Ed25519 and Ed448 keys sign without a separate digest), and
// carries basic constraints (critical), key usage (critical), a subject key
// identifier and, when issued by a CA, the CA's key identifier.  Errors are
// thrown as `VELDBException` 0x8B67A with a message naming what is wrong.
#ifndef VELKDB_ISSUING_H
#define VELKDB_ISSUING_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "pki.h"

namespace velkdb {

// What a new certificate says beyond its subject and public key.
struct CertificateProfile {
  // Days of validity from now, 1 to 36500.
  int days = 365;
  // A CA certificate: CA:TRUE and the key usages keyCertSign and cRLSign;
  // otherwise CA:FALSE and digitalSignature (and keyEncipherment for RSA).
  bool ca = false;
  // CA only: the path length constraint; negative for none.
  int pathLength = -1;
  // "DNS:host", "IP:address", "email:address", "URI:uri"; none, none.
  std::vector<std::string> subjectAltNames;
  // Extended key usages by short name ("serverAuth", "clientAuth",
  // "codeSigning", "emailProtection", "timeStamping", "OCSPSigning");
  // none, no extension.
  std::vector<std::string> extendedKeyUsages;
};

// A certificate of `key` for `subject`, signed by `key` itself.
Ossl<X509> selfSign(EVP_PKEY* key, const X509_NAME* subject, const CertificateProfile& profile);

// A certificate for the subject and public key of `request`, issued by
// `issuer` with `issuerKey`.  The request's signature must verify, `issuer`
// must be a CA (basic constraints CA:TRUE, and keyCertSign when it has key
// usage), `issuerKey` must be the key of `issuer`, and a path length
// constraint of the issuer must leave room for a CA issued here.  Of the
// request's extensions only the subject alternative names are taken, and
// only when `profile` names none (a request never makes itself a CA).  The
// validity ends no later than the issuer's: `clipped` (when given) is set
// when it had to be shortened.
Ossl<X509> issueFromRequest(X509_REQ* request, X509* issuer, EVP_PKEY* issuerKey, const CertificateProfile& profile,
                            bool* clipped = nullptr);

// A --eku list, comma-separated short names (case does not matter): the
// names CertificateProfile::extendedKeyUsages takes.  Throws
// VELDBException 0x8B67A naming the entry refused.
std::vector<std::string> parseExtendedKeyUsages(const std::string& text);

// One extension of a certificate, as text.
struct ExtensionText {
  std::string name;   // "X509v3 Subject Alternative Name", or the OID
  bool critical;
  std::string value;  // one line: "DNS:a, DNS:b", "CA:TRUE, pathlen:0", ...
};
// Every extension of `cert`, in the certificate's order.
std::vector<ExtensionText> describeExtensions(X509* cert);

// The verification purpose of a name ("sslserver", "sslclient",
// "smimesign", "smimeencrypt", "crlsign", "ocsphelper", "timestampsign",
// "codesign", "any"), or -1.
int purposeByName(const std::string& name);
// The names `purposeByName` knows, comma-separated, for messages.
std::string purposeNames();

}  // namespace velkdb

#endif
