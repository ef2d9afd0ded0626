// `velkdb selfsign`: a new key and its self-signed certificate, stored
// together as one key record.
#include <iostream>
#include <memory>

#include "cli.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "text.h"

namespace velkdb {

// The stored key record holding exactly `cert` (by its DER), or null.
std::unique_ptr<VELASNKeyRecord> storedCertificate(FileDBManager& db, X509* cert) {
  const VELBuffer der = derOf(cert);
  std::unique_ptr<VELASNKeyRecord> found;
  forEachKey(db, [&](VELASNKeyRecord& r) {
    if (found || !r.hasCertificate()) return;
    const VELASNCBuffer stored = r.getCertificate().getEncoding();
    if (stored.length() == der.length() && std::equal(der.data(), der.data() + der.length(), stored.data())) {
      found.reset(new VELASNKeyRecord(r));
    }
  });
  return found;
}

void writeStoredPEM(const std::string& pem, const std::string& out, const std::string& context) {
  if (out.empty() || out == "-") {
    std::cout << pem;
    return;
  }
  try {
    writeOutputFile(out, pem, false);
  } catch (const VELException& e) {
    if (context.empty()) throw;
    rethrowWithContext(e, context);
  }
}

// Writes the PEM of `cert` to standard output or `out`; a failure to write
// says that the record is stored all the same.
void writeCertificate(X509* cert, const std::string& out, const std::string& storedAs) {
  writeStoredPEM(toPEM("CERTIFICATE", derOf(cert).get()), out,
                 storedAs.empty() ? storedAs
                                  : storedAs + " is stored, but its certificate was not written (velkdb export LABEL "
                                               "writes it)");
}

namespace {

struct SelfSignOptions {
  DbOptions db;
  std::string subject;
  KeyType key;  // ec:P-256
  CertificateProfile profile;
  std::string label;
  std::string out;
};

int runSelfSign(const SelfSignOptions& o) {
  checkOutputDirectory(o.out);
  const auto [password, db] = openDatabase(o.db, true);

  Ossl<EVP_PKEY> key = generateKey(o.key);
  const VELBuffer nameDER = parseName(o.subject);
  const unsigned char* p = nameDER.data();
  Ossl<X509_NAME> subject(d2i_X509_NAME(nullptr, &p, static_cast<long>(nameDER.length())));
  if (!subject) VELDB_THROW(VELDBError::kBadArgument, "--subject: cannot use the name");
  Ossl<X509> cert = selfSign(key.get(), subject.get(), o.profile);
  Ossl<X509> copy(X509_dup(cert.get()));
  if (!copy) VELDB_THROW(VELDBError::kBadArgument, "out of memory");
  const std::string keyName = keyText(key.get());

  // Stored as `import` stores a certificate with its key: the key wrapped
  // under the database password, both in one record, in one transaction.
  InputItems items;
  items.certs.push_back(std::move(cert));
  items.keys.push_back(std::move(key));
  ImportOptions options;
  options.label = o.label;
  importItems(*db, password, items, options);
  const DeferInterrupts stored;
  std::unique_ptr<VELASNKeyRecord> record = storedCertificate(*db, copy.get());
  if (!record || !record->hasPrivateKey()) {
    VELDB_THROW(VELDBError::kNoMatchingRecord, "the new certificate and its key are not in the database");
  }
  const std::string label = printable(record->getLabel().getValue());
  writeCertificate(copy.get(), o.out, "the certificate \"" + label + "\"");
  std::cerr << "stored keys #" << idOf(*record) << " \"" << label << "\" (" << keyName << ", self-signed"
            << (o.profile.ca ? " CA" : "") << ", valid to " << timeText(X509_get0_notAfter(copy.get())) << ")"
            << (o.out.empty() || o.out == "-" ? "" : "; certificate written to " + printable(o.out)) << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {
    "selfsign", "make a key and its self-signed certificate",
    "selfsign -d BASE --subject NAME [--san NAMES] [--key TYPE] [--days N] [--ca [--path-length N]] [--eku LIST] "
    "[--label LABEL] [-o FILE]",
    R"(Generates a private key and a self-signed X.509 version 3 certificate for it (random serial number,
valid from now for --days days, basic constraints, key usage, subject key identifier, and the
subject alternative names and extended key usages given), and stores both as one record of the key
table in one transaction, the key wrapped under the database password as import wraps keys.  With
--ca the certificate is a CA's that `velkdb sign` can issue certificates with.  The certificate is
written as PEM to standard output or FILE; the record stored is named on standard error.  The label
defaults to the subject's common name.  A self-signed certificate is not trusted until `velkdb
trust` marks it.)"};

Command addSelfSign(CLI::App& root) {
  auto o = std::make_shared<SelfSignOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addNewKeyOptions(app, o->subject, o->key, o->label, "the certificate's", "record");
  addProfileOptions(app, o->profile);
  app->add_option("-o,--out", o->out, "write the certificate to FILE instead of standard output")->option_text("FILE");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runSelfSign(*o); }};
}

}  // namespace velkdb
