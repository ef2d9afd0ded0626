// `velkdb sign`: a certificate issued from a request with a stored CA's key.
#include <cctype>
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
  std::string issuer;       // the CA's label: --issuer LABEL
  bool caGiven = false;     // --ca [VALUE]
  std::string ca;           // its VALUE
  std::string profileName;  // --profile NAME
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

// Settles what --ca means.  Beside --issuer LABEL it is the flag it has
// always been there, "a CA certificate", and a value it took is the
// REQUEST-FILE that followed it; alone it names the issuing CA.
void settleOptions(SignOptions& o) {
  if (o.caGiven && !o.issuer.empty()) {
    if (!o.profileName.empty() && o.profileName != "ca") {
      throw UsageError("--ca (a CA certificate) and --profile " + o.profileName + " contradict each other");
    }
    o.profile.ca = true;
    if (!o.ca.empty()) {
      if (!o.requestFile.empty()) throw UsageError("--issuer names the CA already: give --ca no value");
      o.requestFile = o.ca;
    }
  } else if (o.caGiven) {
    if (o.ca.empty()) throw UsageError("--ca takes the issuing CA's LABEL");
    o.issuer = o.ca;
  }
  if (o.issuer.empty()) throw UsageError("give the issuing CA: --ca LABEL");
  if (!o.profileName.empty()) applyNamedProfile(o.profile, o.profileName);
  if (o.profile.pathLength >= 0 && !o.profile.ca) throw UsageError("--path-length is for a CA certificate (--profile ca)");
  if (o.requestFile.empty() == o.requestLabel.empty()) {
    throw UsageError("give one REQUEST-FILE or --request LABEL");
  }
}

int runSign(SignOptions& o) {
  settleOptions(o);
  checkOutputDirectory(o.out);
  Ossl<X509_REQ> request;
  if (!o.requestFile.empty()) request = requestFromFile(o.requestFile);

  const DbPaths paths = databasePaths(o.db);
  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, o.install);
  if (request == nullptr) request = storedRequest(*db, o.requestLabel);
  const StoredIssuer ca = loadIssuer(*db, o.issuer, password);
  X509* issuer = ca.cert.get();

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
                  "--store: the request's key pair is not in this database; sign without --store and import "
                  "the certificate where its key is");
    }
  }

  bool clipped = false;
  Ossl<X509> cert = issueFromRequest(request.get(), issuer, ca.key.get(), o.profile, &clipped);
  if (clipped) {
    std::cerr << "velkdb: warning: the validity ends with the issuer's, "
              << timeText(X509_get0_notAfter(issuer)) << "\n";
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
    "sign -d BASE --ca LABEL (REQUEST-FILE | --request LABEL) [--profile server|client|ca] [--days N] "
    "[--path-length N] [--san NAMES] [--eku LIST] [-o FILE] [--store]",
    R"(Issues an X.509 version 3 certificate for the subject and public key of a certification request
(PKCS#10, PEM or DER; its signature is checked), signed with the key of the stored CA certificate
labelled LABEL (a certificate with CA:TRUE stored with its private key, as selfsign --ca makes one).
The certificate gets a random serial number, basic constraints, key usage, the subject and
authority key identifiers, the extended key usages of --profile and --eku, and the subject
alternative names of --san or else the request's; nothing else the request asks for (a request
never makes itself a CA).  --profile server gives digitalSignature (and keyEncipherment for an RSA
key) and serverAuth, client digitalSignature and clientAuth, ca a CA certificate (CA:TRUE,
keyCertSign, cRLSign; --path-length limits the CAs below it); without --profile it is an end
entity's with digitalSignature.  Its validity never ends after the issuer's: a longer --days is
shortened with a warning.  The request is REQUEST-FILE, or the stored key pair of --request LABEL.
The certificate is written as PEM to standard output or FILE; with --store it is also stored with
the request's key pair's key and label, as importing it would (the key pair must be in this
database).  The names of earlier versions still work: --issuer LABEL for --ca LABEL, --ca beside
--issuer for --profile ca, and --install for --store.)"};

Command addSign(CLI::App& root) {
  auto o = std::make_shared<SignOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("REQUEST-FILE", o->requestFile, "the certification request (PEM or DER)");
  CLI::Option* ca = app->add_option("--ca", o->ca, "the stored CA certificate (with its key) that signs")
                        ->option_text("LABEL")
                        ->expected(0, 1);
  app->add_option("--issuer", o->issuer, "the same as --ca LABEL")->option_text("LABEL");
  app->add_option("--request", o->requestLabel, "the request of this stored key pair")->option_text("LABEL");
  addParsed(app, "--profile", "NAME", "server, client or ca: the key usages and extended key usages",
            [o](const std::string& text) {
              CertificateProfile check;
              try {
                applyNamedProfile(check, text);
              } catch (const VELException& e) {
                throw UsageError("--profile: " + std::string(e.getMessage()));
              }
              o->profileName = text;
              for (char& c : o->profileName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            });
  addProfileOptions(app, o->profile, false);
  app->add_option("-o,--out", o->out, "write the certificate to FILE instead of standard output")->option_text("FILE");
  app->add_flag("--store,--install", o->install, "also store the certificate with its key pair's key");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o, ca] {
            o->caGiven = ca->count() != 0;
            return runSign(*o);
          }};
}

}  // namespace velkdb
