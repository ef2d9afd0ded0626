// `velkdb export`: certificates, keys, requests and CRLs as PEM or DER (a
// PKCS#12 file and a chain: exporting.cpp).
#include <openssl/crypto.h>
#include <unistd.h>

#include <iostream>
#include <memory>

#include "cli.h"
#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

// The PEM of the record; `withKey` adds its private key (and sets
// `keyAdded`): as stored, or in the clear when `clear` gives the password.
// `attributes` puts the label (and a certificate's trust) before each
// block, for an import to give back.
std::string exportRecord(FileDBManager& db, const Match& m, bool withKey, bool& keyAdded, const Secret* clear,
                         bool attributes) {
  const std::string named = attributes ? bagAttributes(m.label, false) : std::string();
  const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
  std::string pem;
  if (m.table == Table::Key) {
    std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    if (attributes) pem += bagAttributes(m.label, r->isTrusted() && !r->hasPrivateKey());
    pem += toPEM("CERTIFICATE", r->getCertificate().getEncoding());
    if (withKey) {
      pem += named;
      if (!r->hasPrivateKey()) {
        VELDB_THROW(VELDBError::kBadArgument, "record \"" + printable(m.label) + "\" holds no private key");
      }
      pem += clear ? clearKeyPEM(r->getPrivateKey().getEncoding(), *clear, m.label)
                   : toPEM("ENCRYPTED PRIVATE KEY", r->getPrivateKey().getEncoding());
      keyAdded = true;
    }
  } else if (m.table == Table::KeyPair) {
    std::unique_ptr<VELASNKeyPairRecord> r(db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    pem += named + toPEM("CERTIFICATE REQUEST", r->getCertificationRequest().getEncoding());
    if (withKey) {
      pem += named;
      pem += clear ? clearKeyPEM(r->getKeyPair().getPrivateKeyEncoding(), *clear, m.label)
                   : toPEM("ENCRYPTED PRIVATE KEY", r->getKeyPair().getPrivateKeyEncoding());
      keyAdded = true;
    }
  } else {
    std::unique_ptr<VELASNCRLRecord> r(db.getCRLByIndex(VELDBManager::CRLRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    pem += named + toPEM("X509 CRL", r->getCRL().getEncoding());
  }
  return pem;
}

// The record as DER, or with `withKey` its private key alone (PKCS#8: as
// stored, or in the clear when `clear` gives the password).
std::string exportDER(FileDBManager& db, const Match& m, bool withKey, const Secret* clear) {
  const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
  auto bytesOf = [](const VELASNCBuffer& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.length()); };
  if (m.table == Table::Key) {
    std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    if (!withKey) return bytesOf(r->getCertificate().getEncoding());
    if (!r->hasPrivateKey()) {
      VELDB_THROW(VELDBError::kBadArgument, "record \"" + printable(m.label) + "\" holds no private key");
    }
    return keyDER(r->getPrivateKey().getEncoding(), clear, m.label);
  }
  if (m.table == Table::KeyPair) {
    std::unique_ptr<VELASNKeyPairRecord> r(db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    if (!withKey) return bytesOf(r->getCertificationRequest().getEncoding());
    return keyDER(r->getKeyPair().getPrivateKeyEncoding(), clear, m.label);
  }
  if (withKey) VELDB_THROW(VELDBError::kBadArgument, "record \"" + printable(m.label) + "\" is a CRL: it has no key");
  std::unique_ptr<VELASNCRLRecord> r(db.getCRLByIndex(VELDBManager::CRLRecordID, id));
  if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
  return bytesOf(r->getCRL().getEncoding());
}

}  // namespace

int runExport(ExportOptions& o) {
  const bool all = o.all;
  if (all && anyRecordName(o.selector)) throw UsageError("--all exports whole tables; it takes no record name");
  if (!all) checkSelector(o.selector, SelectorKind::Certificate);
  if (o.der && (all || o.chain || !o.pkcs12.empty())) {
    throw UsageError("DER holds one record: --format der (--der) goes with neither --all, --chain nor --pkcs12");
  }
  if (!o.pkcs12.empty() || o.chain) return exportBundle(o);
  const bool toStdout = o.out.empty() || o.out == "-";
  if (o.der && toStdout && isatty(STDOUT_FILENO) != 0) throw UsageError("--der writes binary: give --out FILE");
  const Selector& selector = o.selector;
  const DbPaths paths = databasePaths(o.db);
  const bool withKey = o.key;
  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  std::vector<Match> found;
  if (all) {
    const bool hasTable = selector.hasTable;
    const Table only = selector.table;
    if (!hasTable || only == Table::Key)
      forEachKey(*db, [&](VELASNKeyRecord& r) { found.push_back({Table::Key, idOf(r), r.getLabel().getValue()}); });
    if (!hasTable || only == Table::KeyPair)
      forEachKeyPair(*db, [&](VELASNKeyPairRecord& r) {
        found.push_back({Table::KeyPair, idOf(r), r.getLabel().getValue()});
      });
    if (!hasTable || only == Table::CRL)
      forEachCRL(*db, [&](VELASNCRLRecord& r) { found.push_back({Table::CRL, idOf(r), r.getLabel().getValue()}); });
  } else {
    found = requireRecords(*db, selector, false);
  }
  const Secret* clear = o.unencrypted ? &password : nullptr;
  if (o.der) {
    // One DER structure per file: there is no way to put two in one.
    if (found.size() != 1) {
      VELDB_THROW(VELDBError::kBadArgument, std::to_string(found.size()) +
                                                " records match; --der writes one: name it with --id");
    }
    std::string der = exportDER(*db, found.front(), withKey, clear);
    if (toStdout) {
      std::cout.write(der.data(), static_cast<std::streamsize>(der.size()));
    } else {
      writeOutputFile(o.out, der, withKey);
      std::cerr << "exported \"" << printable(found.front().label) << "\"" << (withKey ? "'s private key" : "")
                << " as DER to " << printable(o.out) << "\n";
    }
    if (withKey) OPENSSL_cleanse(&der[0], der.size());
    return 0;
  }
  std::string pem;
  bool keyAdded = false;
  for (const Match& m : found) {
    if (withKey && m.table == Table::Key && all) {
      // With --all, --key adds the keys of the records that have one.
      std::unique_ptr<VELASNKeyRecord> r(
          db->getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(m.id)));
      pem += exportRecord(*db, m, r && r->hasPrivateKey(), keyAdded, clear, all);
    } else {
      pem += exportRecord(*db, m, withKey && m.table != Table::CRL, keyAdded, clear, all);
    }
  }
  const std::string& out = o.out;
  if (out.empty() || out == "-") {
    std::cout << pem;
  } else {
    // A file with a private key is the owner's alone, whatever the umask.
    writeOutputFile(out, pem, keyAdded);
    std::cerr << "exported " << found.size() << (found.size() == 1 ? " record" : " records") << " to " << printable(out)
              << "\n";
  }
  return 0;
}

const CommandText kText = {"export", "write certificates, keys, requests or CRLs as PEM or DER, or a PKCS#12 file",
                           "export -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
    "--fingerprint HEX | --all) [--key [--unencrypted]] [--format pem|der | --der | --chain | --pkcs12 FILE] [--table T] "
    "[--out FILE]",
                           R"(Writes the certificate of a key record, the request of a key pair, or the CRL, as PEM, to standard
output or FILE (replaced whole: written under a new name beside it and renamed; a link at FILE is
replaced, not followed; a terminal or FIFO of your own is written in place, and a FIFO without a
reader is refused at once; - is standard output).  --key adds the private key as stored: an
ENCRYPTED PRIVATE KEY that opens with the database password (openssl pkey -in FILE); a FILE with a
key gets mode 0600.  --key --unencrypted writes the private key in the clear instead (PEM PRIVATE
KEY, PKCS#8), and only so asked.

What each form keeps:
  (one record)          the certificate, request or CRL; with --key its private key.  No label,
                        no trust mark, no record ID.
  --format der (--der)  one record as DER (certificate, request or CRL); with --key its private key
                        alone, PKCS#8, as stored (encrypted with the database password) or with
                        --unencrypted in the clear.
  --chain               one certificate, then its issuers found among the stored certificates (by
                        issuer name and signature, up to a self-signed root).  No key, no labels.
  --pkcs12 FILE         one certificate with its private key and chain, the record's label as
                        friendly name (a Java key store's alias), the chain's labels too.
  --all                 every record of the tables (of --table, or of all), each block with its
                        record's label before it and a trusted certificate's trust mark; with --key
                        the private keys of the key records and key pairs too.  import gives back
                        the labels, keys, requests and CRLs, and the trust with --keep-trust.
  --all --pkcs12 FILE   every record of the tables (of --table, or of all): each certificate with
                        its private key if it has one, the trusted certificates marked as trust
                        anchors, each key pair as its private key and its request (a secret bag),
                        each CRL (a CRL bag), every label as friendly name.  import gives back the
                        labels, keys, requests and CRLs, and the trust with --keep-trust.
Neither --all form keeps record IDs, the database's password or settings, or the exact bytes of a
stored key (keys are wrapped again on import); velkdb backup keeps all of that.

A PKCS#12 file gets mode 0600 and a password of its own (--export-password-file,
$VELKDB_EXPORT_PASSWORD or a prompt, asked twice): AES-256-CBC with PBKDF2-HMAC-SHA256 and an
HMAC-SHA256 MAC.)"};

Command addExport(CLI::App& root) {
  auto o = std::make_shared<ExportOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addSelector(app, o->selector, SelectorKind::Certificate, true);
  CLI::Option* all = app->add_flag("--all", o->all, "every record (of --table, or of all tables)");
  CLI::Option* key = app->add_flag("--key", o->key, "add the encrypted private key");
  // A key leaves in the clear only when asked exactly so.
  CLI::Option* unencrypted =
      app->add_flag("--unencrypted", o->unencrypted, "with --key: the private key in the clear (PKCS#8)")->needs(key);
  CLI::Option* chain = app->add_flag("--chain", o->chain, "the certificate and its issuers")->excludes(all);
  CLI::Option* der = app->add_flag("--der", o->der, "one record as DER (with --key: its private key alone, PKCS#8)")
      ->excludes(all)
      ->excludes(chain);
  addParsed(app, "--format", "pem|der", "pem (the default) or der: one record as DER, as --der",
            [o](const std::string& text) {
              if (text != "pem" && text != "der") throw UsageError("--format takes pem or der, not \"" + text + "\"");
              o->der = o->der || text == "der";
            })
      ->excludes(der);
  CLI::Option* pkcs12 = addParsed(app, "--pkcs12", "FILE",
                                  "write a PKCS#12 file: certificate, key and chain (with --all: every record)",
                                  [o](const std::string& text) {
                                    if (text.empty() || text == "-") throw UsageError("--pkcs12 needs an output FILE");
                                    o->pkcs12 = text;
                                  });
  app->add_option("--export-password-file", o->exportPasswordFile,
                  "password of the PKCS#12 file (else $VELKDB_EXPORT_PASSWORD or a prompt)")
      ->option_text("FILE")
      ->needs(pkcs12);
  addTableOption(app, o->selector.hasTable, o->selector.table, "search this table only");
  CLI::Option* out =
      app->add_option("-o,--out", o->out, "write to FILE instead of standard output")->option_text("FILE");
  // The PKCS#12 file always holds the key and is its own output.
  // With --all it holds every record.
  pkcs12->excludes(chain)->excludes(der)->excludes(key)->excludes(unencrypted)->excludes(out);
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runExport(*o); }, SelectorHelp::Certificate};
}

}  // namespace velkdb
