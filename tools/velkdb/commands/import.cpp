// `velkdb import`: certificates, keys, key pairs, PKCS#12 files and CRLs.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <iostream>
#include <memory>

#include "cli.h"
#include "interrupt.h"

namespace velkdb {

namespace {

struct ImportCommandOptions {
  DbOptions db;
  std::vector<std::string> files;
  std::string label;
  bool trusted = false;
  bool keepTrust = false;
  bool skipExisting = false;
  std::string importPasswordFile;
  std::uint64_t maxRecordLength = 0;
};

class ImportPassword : public InputPassword {
 public:
  explicit ImportPassword(const std::string& file) {
    d_options.file = file;
    d_options.fileOption = "--import-password-file";
    d_options.envName = "VELKDB_IMPORT_PASSWORD";
    d_options.prompt = "Password of the input file: ";
  }
  bool get(Secret& out) override { return obtainOptionalPassword(d_options, out); }

 private:
  PasswordOptions d_options;
};

// The database's own password, for an input written by `export --all --key`
// from a database with the same password: asked for once, kept for the
// open.
class DatabasePasswordFirst : public InputPassword {
 public:
  explicit DatabasePasswordFirst(const DbOptions& db) : d_db(db) {}
  bool get(Secret& out) override {
    out = password();
    d_used = true;
    return true;
  }
  const Secret& password() {
    if (!d_have) {
      d_password = databasePassword(d_db);
      d_have = true;
    }
    return d_password;
  }
  // Whether the last read asked for it; cleared.
  bool used() { return std::exchange(d_used, false); }

 private:
  const DbOptions& d_db;
  Secret d_password;
  bool d_have = false, d_used = false;
};

// Reads `file`: when no input password is given, with the database's
// password first, then, if that does not open it, with one asked for.
void readInput(const std::string& file, bool tryDatabasePassword, DatabasePasswordFirst& database,
               ImportPassword& asked, InputItems& items) {
  // Standard input cannot be read twice.
  // Certificates come without their public keys decoded: pairing them
  // with private keys decodes the few that need it.
  const CertificateKeys keys = CertificateKeys::kOnDemand;
  if (!tryDatabasePassword || file == "-") return readInputFile(file, asked, items, keys);
  try {
    readInputFile(file, database, items, keys);
  } catch (const VELException& e) {
    if (!database.used() || e.getError() != VELDBError::kBadPassword) throw;
    readInputFile(file, asked, items, keys);
  }
}

int runImport(const ImportCommandOptions& o) {
  if (std::count(o.files.begin(), o.files.end(), "-") > 1) {
    throw UsageError("standard input (-) is one FILE; give it once");
  }
  const DbPaths paths = databasePaths(o.db);
  // The inputs are read (and their passwords asked for) before the
  // database is opened.
  ImportPassword importPassword(o.importPasswordFile);
  DatabasePasswordFirst database(o.db);
  const bool tryDatabasePassword = o.importPasswordFile.empty() && std::getenv("VELKDB_IMPORT_PASSWORD") == nullptr;
  InputItems items;
  for (const std::string& file : o.files) readInput(file, tryDatabasePassword, database, importPassword, items);
  const Secret password = database.password();
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  ImportOptions options;
  options.label = o.label;
  options.trusted = o.trusted;
  options.keepTrust = o.keepTrust;
  options.skipExisting = o.skipExisting;
  options.progress = isatty(STDERR_FILENO) != 0;
  options.maxRecordLength = o.maxRecordLength;
  setInterruptOutcome("nothing was imported");
  const ImportSummary summary = importItems(*db, password, items, options);
  std::cout << summary.text() << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {"import", "import certificates, keys, key pairs with requests, PKCS#12 files, CRLs",
                           "import -d BASE [--label LABEL] [--trusted] [--keep-trust] [--skip-existing] [--max-record-length N] FILE...",
                           R"(Reads each FILE (- for standard input): PEM (any number of certificates, private keys, certification
requests and CRLs; a line starting with ----- that is no whole block's refuses the input) or DER
(one certificate, CRL, request, PKCS#12 file, or PKCS#8 / traditional private key, encrypted or
not).  A private key is stored with the certificate whose public key it has (key table) or with the
request whose public key it has (key-pair table); a key that matches neither is refused.  Private
keys are stored wrapped under the database password (an encrypted input is tried with the database
password first, unless --import-password-file or $VELKDB_IMPORT_PASSWORD gives one, so that the
output of export --all --key imports into a database with the same password without asking) (PKCS#8, PBES2: PBKDF2-HMAC-SHA256,
AES-256-CBC).  Labels come from --label (for the record with a key, or the only record), else from
the certificate's own name (a PKCS#12 friendly name, which is also a Java keystore's alias), else
from the subject's common name (the issuer's with " CRL" added for CRLs, so that a CA and its CRL
differ), with " #2", " #3" added when taken; a key pair's label from its request's "friendlyName:" line, a CRL's
from its own.  A trust mark of the input (a "trusted: yes" line before a block, a TRUSTED
CERTIFICATE's trust, a PKCS#12 certificate bag marked trusted) is taken only with --keep-trust: a
file handed to you must not plant trust anchors unasked; without it the summary says how many were
left out.  A record stored already (the same certificate, CRL, key or key pair) is skipped and
counted, and the rest is imported: an import run twice imports nothing the second time.  A different
record in the way (another certificate with the same issuer and serial number, the same contents
signed anew, a --label in use) is refused, naming the record in the way, unless --skip-existing is
given; then it is skipped too, counted apart.  A certificate that comes without its key, for a key
pair stored by request or import, takes that key and the key pair's label, and the key pair is
removed; a key that comes alone joins the certificates stored without it (each keeps its label and
ID).  A key and a request of the same key in one input are stored as a key pair (a second copy of
the key goes with its certificate).  The import is one transaction: nothing is stored when anything
is refused or the process is stopped.  A record longer than its table's limit (64 KiB for
certificates and key pairs, 16 MiB for CRLs; --max-record-length sets it) is refused before the
table grows for it, since every slot of a table takes the length of its longest record.  Shows a
progress bar on a terminal and prints a one-line summary.)"};

Command addImport(CLI::App& root) {
  auto o = std::make_shared<ImportCommandOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("FILE", o->files, "the inputs (- for standard input)")->required();
  addParsed(app, "--label", "LABEL", "label of the record (one line of text)", [o](const std::string& text) {
    checkNewLabel(text);
    o->label = text;
  });
  app->add_flag("--trusted", o->trusted, "mark the certificates without keys as trusted");
  app->add_flag("--keep-trust", o->keepTrust,
                "mark trusted the certificates the input marks so (a backup of your own: export --all)");
  app->add_flag("--skip-existing", o->skipExisting, "also skip a record that a different one is in the way of (issuer and serial, signature, label), instead of refusing");
  app->add_option("--import-password-file", o->importPasswordFile,
                  "password of an encrypted key or PKCS#12 file (else $VELKDB_IMPORT_PASSWORD or a prompt)")
      ->option_text("FILE");
  addParsed(app, "--max-record-length", "N",
            "store records up to N bytes long (default: 65536 for certificates and key pairs, 16777216 for CRLs)",
            [o](const std::string& text) { o->maxRecordLength = parseMaxRecordLength(text); });
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runImport(*o); }};
}

}  // namespace velkdb
