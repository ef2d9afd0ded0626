// `velkdb revoke`: a certificate revoked by the stored CA that issued it,
// recorded in the CA's next CRL.
#include <openssl/x509v3.h>

#include <iostream>
#include <memory>

#include "cli.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

struct RevokeOptions {
  DbOptions db;
  std::string ca;
  std::string label;   // LABEL: a stored certificate
  std::string serial;  // --serial HEX
  int reason = -1;
  int days = 30;
  std::string out;
};

// The stored certificate labelled `label`, which `ca` must have issued.
Ossl<X509> issuedCertificate(FileDBManager& db, const std::string& label, const std::string& caLabel, X509* ca) {
  unsigned id = 0;
  Ossl<X509> cert = certFromDER(certificateRecord(db, label, id)->getCertificate().getEncoding());
  const std::string name = "the certificate \"" + printable(label) + "\" (" + nameText(X509_get_subject_name(cert.get())) + ")";
  if (X509_cmp(cert.get(), ca) == 0) {
    VELDB_THROW(VELDBError::kBadArgument, name + " is the CA's own: a CA does not revoke itself; nothing was changed");
  }
  // The issuer's name and key identifier, and the signature: a CA of the
  // same name with another key did not issue it.
  EVP_PKEY* caKey = X509_get0_pubkey(ca);
  if (X509_check_issued(ca, cert.get()) != X509_V_OK || caKey == nullptr || X509_verify(cert.get(), caKey) != 1) {
    VELDB_THROW(VELDBError::kBadArgument, name + " was not issued by \"" + printable(caLabel) +
                                              "\"; nothing was changed");
  }
  return cert;
}

int runRevoke(const RevokeOptions& o) {
  if (o.label.empty() == o.serial.empty()) throw UsageError("give the certificate's LABEL or --serial HEX");
  checkOutputDirectory(o.out);
  const auto [password, db] = openDatabase(o.db, true);
  const StoredIssuer ca = loadIssuer(*db, o.ca, password);

  Ossl<X509> cert;
  std::unique_ptr<ASN1_INTEGER, void (*)(ASN1_INTEGER*)> serial(nullptr, ASN1_INTEGER_free);
  if (!o.label.empty()) {
    cert = issuedCertificate(*db, o.label, o.ca, ca.cert.get());
    serial.reset(ASN1_INTEGER_dup(X509_get0_serialNumber(cert.get())));
    if (!serial) VELDB_THROW(VELDBError::kBadArgument, "out of memory");
  } else {
    serial = parsePositiveSerial(o.serial);
  }
  StoredCRL previous = newestCRLOf(*db, ca.cert.get());
  Revocation revocation;
  revocation.serial = serial.get();
  revocation.reason = o.reason;
  Ossl<X509_CRL> next;
  try {
    next = nextCRL(ca.cert.get(), ca.key.get(), previous.crl.get(), o.days, &revocation);
  } catch (const VELException& e) {
    rethrowWithContext(e, "revoke by \"" + printable(o.ca) + "\"");
  }
  const Match stored = storeNextCRL(*db, password, previous, next.get());
  const DeferInterrupts done;
  std::cout << "revoked serial " << serialText(serial.get());
  if (cert) std::cout << " (" << printable(nameText(X509_get_subject_name(cert.get()))) << ")";
  std::cout << " by \"" << printable(o.ca) << "\"";
  if (o.reason >= 0) std::cout << ", reason " << crlReasonName(o.reason);
  std::cout << "; CRL number " << crlNumberText(next.get()) << " stored as crls #" << stored.id << " \""
            << printable(stored.label) << "\"\n";
  if (!o.out.empty()) writeCRL(next.get(), o.out, stored);
  return 0;
}

}  // namespace

const CommandText kText = {
    "revoke", "revoke a certificate a stored CA issued",
    "revoke -d BASE --ca LABEL (CERT-LABEL | --serial HEX) [--reason REASON] [--days N] [-o FILE]",
    R"(Revokes a certificate issued by the stored CA certificate labelled LABEL (stored with its private
key): the stored certificate CERT-LABEL, which must be one the CA issued (its issuer and signature
are checked), or the certificate with serial number HEX (colons, case and leading zeros do not
matter), which need not be stored.  The revocation is recorded as `velkdb crl` issues a CRL: the CA's
next CRL, with the entries of its previous one, the new entry (revoked now, with the reason code
REASON unless it is unspecified) and the next CRL number, takes the place of the previous one in
one transaction.  A certificate revoked already is refused.  --days sets the CRL's next update (30
days by default); with -o FILE the new CRL is also written there as PEM.  REASON is one of
unspecified, keyCompromise, cACompromise, affiliationChanged, superseded, cessationOfOperation,
certificateHold, privilegeWithdrawn or aACompromise.)"};

Command addRevoke(CLI::App& root) {
  auto o = std::make_shared<RevokeOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("CERT-LABEL", o->label, "the stored certificate to revoke");
  addCAOptions(app, o->ca, o->days, "the stored CA certificate (with its key) that issued it");
  addParsed(app, "--serial", "HEX", "the serial number of the certificate to revoke", [o](const std::string& text) {
    try {
      parsePositiveSerial(text);
    } catch (const VELException& e) {
      throw UsageError("--serial: " + std::string(e.getMessage()));
    }
    o->serial = text;
  });
  // The value names every reason, for the help and the bash completion.
  addParsed(app, "--reason", crlReasonNames("|"), "why the certificate is revoked", [o](const std::string& text) {
    o->reason = crlReasonByName(text);
    if (o->reason < 0) throw UsageError("--reason \"" + text + "\" is not one of " + crlReasonNames());
  });
  app->add_option("-o,--out", o->out, "also write the new CRL to FILE")->option_text("FILE");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runRevoke(*o); }};
}

}  // namespace velkdb
