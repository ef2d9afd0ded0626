// `velkdb crl`: a stored CA's next CRL; and what `revoke` and `sign` share
// about a CA in the database.
#include <algorithm>
#include <iostream>
#include <memory>

#include "cli.h"
#include "filedbtransactionguard.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

std::unique_ptr<VELASNKeyRecord> certificateRecord(FileDBManager& db, const std::string& label, unsigned& id) {
  Selector selector;
  selector.label = label;
  selector.hasTable = true;
  selector.table = Table::Key;
  id = requireRecords(db, selector, true).front().id;
  std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(id)));
  if (!r || !r->hasCertificate()) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
  return r;
}

StoredIssuer loadIssuer(FileDBManager& db, const std::string& label, const Secret& password) {
  StoredIssuer issuer;
  const std::unique_ptr<VELASNKeyRecord> r = certificateRecord(db, label, issuer.id);
  if (!r->hasPrivateKey()) {
    VELDB_THROW(VELDBError::kBadArgument, "the issuer \"" + printable(label) + "\" is stored without its private key");
  }
  issuer.cert = certFromDER(r->getCertificate().getEncoding());
  const ASN1_TIME* end = X509_get0_notAfter(issuer.cert.get());
  if (X509_cmp_time(end, nullptr) <= 0) {
    VELDB_THROW(VELDBError::kBadArgument, "the issuer \"" + printable(label) + "\" expired on " + timeText(end) +
                                              ": what it signs now could not be verified; nothing was changed");
  }
  issuer.key = unwrapPrivateKey(r->getPrivateKey().getEncoding(), password);
  if (!issuer.key) {
    VELDB_THROW(VELDBError::kBadArgument,
                "the private key of \"" + printable(label) + "\" does not open with the database password");
  }
  return issuer;
}

StoredCRL newestCRLOf(FileDBManager& db, X509* issuer) {
  StoredCRL newest;
  forEachCRL(db, [&](VELASNCRLRecord& r) {
    if (!r.hasCRL()) return;
    Ossl<X509_CRL> crl = crlFromDER(r.getCRL().getEncoding());
    if (!crl || !isFullCRLOf(crl.get(), issuer)) return;
    if (newest.crl && !isNewerCRL(crl.get(), newest.crl.get())) return;
    newest.record.reset(new VELASNCRLRecord(r));
    newest.crl = std::move(crl);
  });
  return newest;
}

Match storeNextCRL(FileDBManager& db, const Secret& password, StoredCRL& previous, X509_CRL* next) {
  if (!previous.record) {
    // The first: stored as import stores a CRL (the table made when it is
    // missing, the label from the issuer), in one transaction.
    Ossl<X509_CRL> copy(X509_CRL_dup(next));
    if (!copy) VELDB_THROW(VELDBError::kBadArgument, "out of memory");
    InputItems items;
    items.crls.push_back(std::move(copy));
    const ImportSummary summary = importItems(db, password, items, ImportOptions());
    const VELBuffer der = derOf(next);
    std::unique_ptr<VELASNCRLRecord> stored(
        db.getCRLByIndex(VELDBManager::CRLSignature, VELASNCertificateList(der.get()).getSignature()));
    if (summary.crls != 1 || !stored) VELDB_THROW(VELDBError::kNoMatchingRecord, "the new CRL was not stored");
    return {Table::CRL, idOf(*stored), stored->getLabel().getValue()};
  }
  VELASNCRLRecord record(*previous.record);
  record.setCRL(derOf(next).get());
  refuseLongRecord(Table::CRL, record, "the CRL of " + nameText(X509_CRL_get_issuer(next)), 0);
  {
    FileDBTransactionGuard transaction(db);
    db.updateCRLByIndex(VELDBManager::CRLRecordID, record);
    transaction.commit();
  }
  return {Table::CRL, idOf(record), record.getLabel().getValue()};
}

void writeCRL(X509_CRL* crl, const std::string& out, const Match& stored) {
  const std::string label = printable(stored.label);
  writeStoredPEM(toPEM("X509 CRL", derOf(crl).get()), out,
                 "the CRL is stored as crls #" + std::to_string(stored.id) + " \"" + label +
                     "\", but was not written (velkdb export --table crls \"" + label + "\" writes it)");
}

void addCAOptions(CLI::App* app, std::string& ca, int& days, const std::string& caHelp) {
  app->add_option("--ca", ca, caHelp)->option_text("LABEL")->required();
  addParsed(app, "--days", "N", "days until the CRL's next update (1 to 36500; default 30)",
            [&days](const std::string& text) { days = numberOption("--days", text, 1, 36500); });
}

namespace {

struct CRLOptions {
  DbOptions db;
  std::string ca;
  int days = 30;
  std::string out;
};

int runCRL(const CRLOptions& o) {
  checkOutputDirectory(o.out);
  const auto [password, db] = openDatabase(o.db, true);
  const StoredIssuer ca = loadIssuer(*db, o.ca, password);
  StoredCRL previous = newestCRLOf(*db, ca.cert.get());
  Ossl<X509_CRL> next = nextCRL(ca.cert.get(), ca.key.get(), previous.crl.get(), o.days);
  const Match stored = storeNextCRL(*db, password, previous, next.get());
  const DeferInterrupts done;
  writeCRL(next.get(), o.out, stored);
  // An empty list is no list at all: -1.
  const int entries = std::max(0, sk_X509_REVOKED_num(X509_CRL_get_REVOKED(next.get())));
  std::cerr << "issued CRL number " << crlNumberText(next.get()) << " of \"" << printable(o.ca) << "\" ("
            << entries << (entries == 1 ? " revoked certificate" : " revoked certificates") << ", next update "
            << timeText(X509_CRL_get0_nextUpdate(next.get())) << "); stored as crls #" << stored.id << " \""
            << printable(stored.label) << "\"\n";
  return 0;
}

}  // namespace

const CommandText kText = {
    "crl", "issue a stored CA's next CRL",
    "crl -d BASE --ca LABEL [--days N] [-o FILE]",
    R"(Issues the next certificate revocation list of the stored CA certificate labelled LABEL (stored with
its private key): an X.509 version 2 CRL signed with the CA's key, valid from now until --days days
later (30 by default), with the certificates revoked in the CA's previous CRL, the authority key
identifier and a CRL number one more than the previous CRL's (1 for the CA's first).  The new CRL
takes the place of the CA's previous one in the CRL table, keeping its record ID and label, in one
transaction; a CA's first CRL is stored as import stores one.  `velkdb revoke` adds certificates
to it.  The CRL is written as PEM to standard output or FILE.)"};

Command addCRL(CLI::App& root) {
  auto o = std::make_shared<CRLOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addCAOptions(app, o->ca, o->days, "the stored CA certificate (with its key) whose CRL this is");
  app->add_option("-o,--out", o->out, "write the CRL to FILE instead of standard output")->option_text("FILE");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runCRL(*o); }};
}

}  // namespace velkdb
