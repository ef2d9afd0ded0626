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

#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "pki.h"

namespace velkdb {

// What a new certificate says beyond its subject and public key.
struct CertificateProfile {
  // Days of validity from now, 1 to 36500.
  int days = 365;
  // A CA certificate: CA:TRUE and the key usages keyCertSign and cRLSign;
  // otherwise CA:FALSE and digitalSignature (and keyEncipherment for RSA
  // when `keyEncipherment`).
  bool ca = false;
  bool keyEncipherment = true;
  // CA only: the path length constraint; negative for none.
  int pathLength = -1;
  // "DNS:host", "IP:address", "email:address", "URI:uri"; none, none.
  std::vector<std::string> subjectAltNames;
  // Extended key usages by short name ("serverAuth", "clientAuth",
  // "codeSigning", "emailProtection", "timeStamping", "OCSPSigning");
  // none, no extension.
  std::vector<std::string> extendedKeyUsages;
};

// Makes `profile` the one named: "server" (digitalSignature, and
// keyEncipherment for RSA; serverAuth), "client" (digitalSignature;
// clientAuth) or "ca" (CA:TRUE, keyCertSign, cRLSign).  The extended key
// usage is added to those `profile` names already.  Throws 0x8B67A for
// another name.
void applyNamedProfile(CertificateProfile& profile, const std::string& name);

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

// -- revocation

// A CRL entry reason code by its name ("keyCompromise", ...; case does not
// matter), or -1.
int crlReasonByName(const std::string& name);
// The name of a reason code; "" for one `crlReasonByName` does not know.
std::string crlReasonName(int code);
// The names `crlReasonByName` knows, for messages (", ") and choices ("|").
std::string crlReasonNames(const char* separator = ", ");

// A serial number in hex (as find.h's normalizeSerial takes it): positive,
// at most 20 octets.  Throws 0x8B67A.
std::unique_ptr<ASN1_INTEGER, void (*)(ASN1_INTEGER*)> parsePositiveSerial(const std::string& text);

// True when `crl` is a complete CRL (not a delta, not for a part of the
// certificates) issued by `issuer`: its issuer name and its signature.
bool isFullCRLOf(X509_CRL* crl, X509* issuer);
// The CRL number of `crl` in decimal; "" when it has none.
std::string crlNumberText(X509_CRL* crl);
// True when `a` is a later CRL than `b` (of one issuer): the higher CRL
// number, else the later thisUpdate.
bool isNewerCRL(X509_CRL* a, X509_CRL* b);

// A certificate to add to a CRL.
struct Revocation {
  const ASN1_INTEGER* serial = nullptr;
  int reason = -1;  // CRL_REASON_*, -1 for no reason code
};
// The CRL that follows `previous` (null: the issuer's first), signed by
// `issuerKey` for `issuer`: version 2, thisUpdate now, nextUpdate `days`
// (1 to 36500) later, every entry of `previous` and `added` (when given),
// the authority key identifier and the CRL number, one more than that of
// `previous` (1 for the first).  `issuer` must be a CA allowed to sign
// CRLs, `issuerKey` its key.  Throws 0x8B67A, also when `added` is revoked
// in `previous` already.
Ossl<X509_CRL> nextCRL(X509* issuer, EVP_PKEY* issuerKey, X509_CRL* previous, int days,
                       const Revocation* added = nullptr);

// -- a CA in the database (sign, revoke, crl)

// A stored CA certificate with its key, opened with the database password.
struct StoredIssuer {
  unsigned id = 0;
  Ossl<X509> cert;
  Ossl<EVP_PKEY> key;
};
// The key record labelled `label` that holds a certificate, and its ID.
// Throws 0x8C23E when there is none.
std::unique_ptr<VELASNKeyRecord> certificateRecord(FileDBManager& db, const std::string& label, unsigned& id);
// The certificate labelled `label` in the key table and its private key.
// Throws 0x8C23E when there is none, 0x8B67A when it is stored without its
// key, the key does not open with `password` or the certificate has expired
// (what it would sign could not be verified).
StoredIssuer loadIssuer(FileDBManager& db, const std::string& label, const Secret& password);

// The newest complete CRL of `issuer` stored (isFullCRLOf, isNewerCRL);
// `record` is null when there is none.
struct StoredCRL {
  std::unique_ptr<VELASNCRLRecord> record;
  Ossl<X509_CRL> crl;
};
StoredCRL newestCRLOf(FileDBManager& db, X509* issuer);

// Stores `next`, the CRL that follows `previous`, in one transaction: in
// place of `previous` (its record ID and label kept), or as a new record
// labelled as import labels a CRL when there is no previous one.  A CA
// keeps one current CRL: two stored side by side would leave a verifier to
// choose by thisUpdate, which two CRLs issued within a second share.
// Returns the record's ID and label.
Match storeNextCRL(FileDBManager& db, const Secret& password, StoredCRL& previous, X509_CRL* next);

// Writes `pem` to standard output ("" or "-") or `out`; a failure to write
// is re-thrown with `context` in front when it is not empty.
void writeStoredPEM(const std::string& pem, const std::string& out, const std::string& context);
// Writes the PEM of `crl` so; a failure to write says that the CRL is
// stored as `stored`.
void writeCRL(X509_CRL* crl, const std::string& out, const Match& stored);

}  // namespace velkdb

#endif
