// `velkdb sign`: a certificate issued from a request with a stored CA's key.
#include <iostream>
#include <memory>

#include "cli.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

// A request file is read without asking for a password.
class NoPassword : public InputPassword {
 public:
  bool get(Secret&) override { return false; }
};

struct SignOptions {
  DbOptions db;
  std::string issuer;       // the CA's label
  std::string requestFile;  // REQUEST-FILE
  std::string requestLabel; // --request LABEL: a stored key pair's
  CertificateProfile profile;
  std::string out;
  bool install = false;
};

Ossl<X509_REQ> requestFromFile(const std::string& path) {
  NoPassword none;
  InputItems input;
  readInputFile(path, none, input);
  if (input.requests.size() != 1 || !input.certs.empty() || !input.keys.empty() || !input.crls.empty()) {
    VELDB_THROW(VELDBError::kBadArgument, printable(path) + ": holds " +
                                              (input.requests.empty() ? "no certification request"
                                                                      : "more than one certification request") +
                                              "; give a file of one request");
  }
  return std::move(input.requests.front());
}

Ossl<X509_REQ> storedRequest(FileDBManager& db, const std::string& label) {
  Selector selector;
  selector.label = label;
  selector.hasTable = true;
  selector.table = Table::KeyPair;
  const Match m = requireRecords(db, selector, true).front();
  std::unique_ptr<VELASNKeyPairRecord> r(
      db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(m.id)));
  if (!r || !r->hasCertificationRequest()) {
    VELDB_THROW(VELDBError::kNoMatchingRecord, "key pair \"" + printable(label) + "\" holds no request");
  }
  return requestFromDER(r->getCertificationRequest().getEncoding());
}

// The issuer's certificate and its key, opened with the database password.
void loadIssuer(FileDBManager& db, const std::string& label, const Secret& password, Ossl<X509>& cert,
                Ossl<EVP_PKEY>& key) {
  Selector selector;
  selector.label = label;
  selector.hasTable = true;
  selector.table = Table::Key;
  const Match m = requireRecords(db, selector, true).front();
  std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(m.id)));
  if (!r || !r->hasCertificate()) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
  if (!r->hasPrivateKey()) {
    VELDB_THROW(VELDBError::kBadArgument, "the issuer \"" + printable(label) + "\" is stored without its private key");
  }
  cert = certFromDER(r->getCertificate().getEncoding());
  key = unwrapPrivateKey(r->getPrivateKey().getEncoding(), password);
  if (!key) {
    VELDB_THROW(VELDBError::kBadArgument,
                "the private key of \"" + printable(label) + "\" does not open with the database password");
  }
}

int runSign(const SignOptions& o) {
  if (o.requestFile.empty() == o.requestLabel.empty()) {
    throw UsageError("give one REQUEST-FILE or --request LABEL");
  }
  checkOutputDirectory(o.out);
  Ossl<X509_REQ> request;
  if (!o.requestFile.empty()) request = requestFromFile(o.requestFile);

  const DbPaths paths = databasePaths(o.db);
  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, o.install);
  if (request == nullptr) request = storedRequest(*db, o.requestLabel);
  Ossl<X509> issuer;
  Ossl<EVP_PKEY> issuerKey;
  loadIssuer(*db, o.issuer, password, issuer, issuerKey);

  // Installing needs the request's key pair here: found before anything
  // is issued, so that a refusal leaves nothing half done.
  if (o.install) {
    Ossl<EVP_PKEY> requestKey(X509_REQ_get_pubkey(request.get()));
    bool found = false;
    for (const StoredKeyPair& pair : loadKeyPairs(*db)) {
      if (requestKey && EVP_PKEY_eq(pair.publicKey.get(), requestKey.get()) == 1) found = true;
    }
    if (!found) {
      VELDB_THROW(VELDBError::kNoMatchingRecord,
                  "--install: the request's key pair is not in this database; sign without --install and import "
                  "the certificate where its key is");
    }
  }

  bool clipped = false;
  Ossl<X509> cert = issueFromRequest(request.get(), issuer.get(), issuerKey.get(), o.profile, &clipped);
  if (clipped) {
    std::cerr << "velkdb: warning: the validity ends with the issuer's, "
              << timeText(X509_get0_notAfter(issuer.get())) << "\n";
  }
  const std::string subject = printable(nameText(X509_get_subject_name(cert.get())));
  if (!o.install) {
    writeCertificate(cert.get(), o.out, "");
    std::cerr << "issued " << subject << " (serial " << serialText(X509_get0_serialNumber(cert.get())) << ") by \""
              << printable(o.issuer) << "\"\n";
    return 0;
  }
  Ossl<X509> copy(X509_dup(cert.get()));
  if (!copy) VELDB_THROW(VELDBError::kBadArgument, "out of memory");
  InputItems items;
  items.certs.push_back(std::move(cert));
  const ImportSummary summary = importItems(*db, password, items, ImportOptions());
  const DeferInterrupts stored;
  std::unique_ptr<VELASNKeyRecord> record = storedCertificate(*db, copy.get());
  if (summary.installed != 1 || !record || !record->hasPrivateKey()) {
    VELDB_THROW(VELDBError::kNoMatchingRecord, "the issued certificate did not join its key pair");
  }
  const std::string label = printable(record->getLabel().getValue());
  writeCertificate(copy.get(), o.out, "the certificate \"" + label + "\"");
  std::cerr << "issued " << subject << " (serial " << serialText(X509_get0_serialNumber(copy.get())) << ") by \""
            << printable(o.issuer) << "\"; stored as keys #" << idOf(*record) << " \"" << label
            << "\" with its key\n";
  return 0;
}

}  // namespace

const CommandText kText = {
    "sign", "issue a certificate from a request with a stored CA",
    "sign -d BASE --issuer LABEL (REQUEST-FILE | --request LABEL) [--days N] [--ca [--path-length N]] [--san NAMES] "
    "[--eku LIST] [-o FILE] [--install]",
    R"(Issues an X.509 version 3 certificate for the subject and public key of a certification request
(PKCS#10, PEM or DER; its signature is checked), signed with the key of the stored CA certificate
labelled LABEL (a certificate with CA:TRUE stored with its private key, as selfsign --ca makes one).
The certificate gets a random serial number, basic constraints, key usage, the subject and
authority key identifiers, the extended key usages of --eku, and the subject alternative names of
--san or else the request's; nothing else the request asks for (a request never makes itself a
CA).  Its validity never ends after the issuer's: a longer --days is shortened with a warning.  The
request is REQUEST-FILE, or the stored key pair of --request LABEL.  The certificate is written as
PEM to standard output or FILE; with --install it is also stored with the request's key pair's key
and label, as importing it would (the key pair must be in this database).)"};

Command addSign(CLI::App& root) {
  auto o = std::make_shared<SignOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("REQUEST-FILE", o->requestFile, "the certification request (PEM or DER)");
  app->add_option("--issuer", o->issuer, "the stored CA certificate (with its key) that signs")
      ->option_text("LABEL")
      ->required();
  app->add_option("--request", o->requestLabel, "the request of this stored key pair")->option_text("LABEL");
  addProfileOptions(app, o->profile);
  app->add_option("-o,--out", o->out, "write the certificate to FILE instead of standard output")->option_text("FILE");
  app->add_flag("--install", o->install, "also store the certificate with its key pair's key");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runSign(*o); }};
}

}  // namespace velkdb
