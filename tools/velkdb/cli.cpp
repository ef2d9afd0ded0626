#include "cli.h"

#include <iostream>

#include "find.h"
#include "lifecycle.h"
#include "lockwait.h"

namespace velkdb {

namespace {

const char* const kDatabaseGroup = "database";

const char* const kSelectorHelp =
    "The record is named by LABEL (or --label), --id (a record ID; IDs are per table, so add --table when "
    "several tables have it), or --subject NAME.  Names are written \"CN=a,O=b\" (most specific first) or "
    "\"/O=b/CN=a\" and compared as X.500 names (case and spacing do not matter).";

const char* const kCertificateSelectorHelp =
    "A certificate is also named by --serial HEX, its serial number in hexadecimal (colons, case and leading "
    "zeros do not matter; add --issuer NAME when certificates of several issuers have it, which is refused "
    "otherwise), or by --fingerprint HEX, the SHA-256 (64 hex digits) or SHA-1 (40) digest of its DER, with or "
    "without colons.";

unsigned parseRecordId(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(text) > 0xFFFFFFFFULL) {
    throw UsageError("--id takes a record ID (0 to 4294967295)");
  }
  return static_cast<unsigned>(std::stoull(text));
}

CLI::Option* addPasswordFile(CLI::App* app, DbOptions& db) {
  CLI::Option* file =
      app->add_option("--password-file", db.passwordFile, "read the database password from the first line of FILE");
  file->option_text("FILE");
  CLI::Option* useDefault =
      app->add_flag("--default-password", db.defaultPassword, "use the library's built-in default password");
  useDefault->excludes(file);
  return file;
}

}  // namespace

CLI::Option* addParsed(CLI::App* app, const std::string& name, const std::string& metavar, const std::string& help,
                       std::function<void(const std::string&)> parse) {
  CLI::Option* o = app->add_option_function<std::string>(name, std::move(parse), help);
  o->option_text(metavar);
  return o;
}

void addDatabaseOptions(CLI::App* app, DbOptions& db) {
  app->add_option("-d,--db", db.base, "the database: files BASE.vkey, BASE.vkyp, BASE.vcrl (default: $VELKDB_DB)")
      ->envname("VELKDB_DB")
      ->option_text("BASE")
      ->group(kDatabaseGroup);
  addPasswordFile(app, db)->group(kDatabaseGroup);
  app->get_option("--default-password")->group(kDatabaseGroup);
  addParsed(app, "--wait", "SECONDS",
            "while another velkdb has the database open, try again for up to SECONDS (default 5; 0: fail at once)",
            [](const std::string& text) { setLockWait(parseLockWait(text)); })
      ->group(kDatabaseGroup);
}

void addPasswordOptions(CLI::App* app, DbOptions& db) { addPasswordFile(app, db); }

DbPaths databasePaths(const DbOptions& db) {
  if (db.base.empty()) throw UsageError("no database: give --db BASE (or set VELKDB_DB)");
  return makePaths(db.base);
}

Secret databasePassword(const DbOptions& db, bool confirm) {
  PasswordOptions options;
  options.useDefault = db.defaultPassword;
  options.file = db.passwordFile;
  options.envName = "VELKDB_PASSWORD";
  options.prompt = confirm ? "New database password: " : "Database password: ";
  return obtainPassword(options, confirm);
}

OpenedDatabase openDatabase(const DbOptions& db, bool writable) {
  const DbPaths paths = databasePaths(db);
  OpenedDatabase opened{databasePassword(db), nullptr};
  opened.db = openDatabase(paths, opened.password, writable);
  return opened;
}

CLI::Option* addTableOption(CLI::App* app, bool& hasTable, Table& table, const std::string& help) {
  return addParsed(app, "--table", "TABLE", help, [&hasTable, &table](const std::string& text) {
    if (text == "keys" || text == "key") {
      table = Table::Key;
    } else if (text == "keypairs" || text == "keypair") {
      table = Table::KeyPair;
    } else if (text == "crls" || text == "crl") {
      table = Table::CRL;
    } else {
      throw UsageError("unknown table \"" + text + "\" (keys, keypairs or crls)");
    }
    hasTable = true;
  });
}

const char* const kSubjectAltNamesHelp =
    "subject alternative names, comma-separated: DNS:host, IP:address, email:address, URI:uri (a bare name is a DNS "
    "name, an address an IP address)";

void addNewKeyOptions(CLI::App* app, std::string& subject, KeyType& key, std::string& label, const std::string& whose,
                      const std::string& what) {
  addParsed(app, "--subject", "NAME", whose + " subject: \"CN=a,O=b\" or \"/O=b/CN=a\"",
            [&subject](const std::string& text) {
              try {
                parseName(text);
              } catch (const VELException& e) {
                throw UsageError("--subject: " + std::string(e.getMessage()));
              }
              subject = text;
            })
      ->required();
  addParsed(app, "--key", "TYPE", "ec:P-256 (default), ec:P-384, rsa:2048, rsa:3072 or ed25519",
            [&key](const std::string& text) { key = parseKeyType(text); });
  addParsed(app, "--label", "LABEL", "label of the " + what + " (one line of text)", [&label](const std::string& text) {
    checkNewLabel(text);
    label = text;
  });
}

int numberOption(const std::string& option, const std::string& text, int least, int most) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(text) < least || std::stoi(text) > most) {
    throw UsageError(option + " takes a number from " + std::to_string(least) + " to " + std::to_string(most));
  }
  return std::stoi(text);
}

void addProfileOptions(CLI::App* app, CertificateProfile& profile, bool caFlag) {
  addParsed(app, "--days", "N", "days of validity from now (1 to 36500; default 365)",
            [&profile](const std::string& text) { profile.days = numberOption("--days", text, 1, 36500); });
  CLI::Option* ca =
      caFlag ? app->add_flag("--ca", profile.ca, "a CA certificate (CA:TRUE, keyCertSign and cRLSign)") : nullptr;
  CLI::Option* pathLength =
      addParsed(app, "--path-length", "N",
                std::string(caFlag ? "with --ca" : "with --profile ca") + ": how many CAs may follow below it (0 to 255)",
                [&profile](const std::string& text) {
                  profile.pathLength = numberOption("--path-length", text, 0, 255);
                });
  if (ca != nullptr) pathLength->needs(ca);
  addParsed(app, "--san", "NAMES", kSubjectAltNamesHelp,
            [&profile](const std::string& text) { profile.subjectAltNames = parseSubjectAltNames(text); });
  addParsed(app, "--eku", "LIST",
            "extended key usages, comma-separated: serverAuth, clientAuth, codeSigning, emailProtection, "
            "timeStamping, OCSPSigning",
            [&profile](const std::string& text) {
              try {
                profile.extendedKeyUsages = parseExtendedKeyUsages(text);
              } catch (const VELException& e) {
                throw UsageError("--eku: " + std::string(e.getMessage()));
              }
            });
}

void addSelector(CLI::App* app, Selector& s, SelectorKind kind, bool positional) {
  const bool certificates = kind == SelectorKind::Certificate;
  if (positional) app->add_option("LABEL", s.positionalLabel, "the record with this label");
  app->add_option("--label", s.label, "the record with this label")->option_text("LABEL");
  addParsed(app, "--id", "N", "the record with this record ID", [&s](const std::string& text) {
    s.id = parseRecordId(text);
    s.hasId = true;
  });
  app->add_option("--subject", s.subject, certificates ? "records of this subject" : "the record of this subject")
      ->option_text("NAME");
  if (certificates) {
    app->add_option("--issuer", s.issuer, "certificates and CRLs of this issuer")->option_text("NAME");
    addParsed(app, "--serial", "HEX", "the certificate with this serial number", [&s](const std::string& text) {
      normalizeSerial(text);
      s.serial = text;
    });
    addParsed(app, "--fingerprint", "HEX", "the certificate with this SHA-256 or SHA-1 fingerprint",
              [&s](const std::string& text) {
                parseFingerprint(text);
                s.fingerprint = text;
              });
  }
}

bool anyRecordName(const Selector& s) {
  return !s.positionalLabel.empty() || !s.label.empty() || s.hasId || !s.subject.empty() || !s.issuer.empty() ||
         !s.serial.empty() || !s.fingerprint.empty();
}

void checkSelector(Selector& s, SelectorKind kind) {
  if (!s.positionalLabel.empty() && !s.label.empty()) throw UsageError("give one LABEL");
  if (s.label.empty()) s.label = s.positionalLabel;
  const std::string& label = s.label;
  // With --serial, --issuer says whose serial number it is.
  const int given = !label.empty() + s.hasId + !s.subject.empty() + (!s.issuer.empty() && s.serial.empty()) +
                    !s.serial.empty() + !s.fingerprint.empty();
  if (given != 1) {
    throw UsageError(std::string("name the record with one of LABEL, --label, --id, --subject") +
                     (kind == SelectorKind::Certificate ? ", --issuer, --serial [--issuer], --fingerprint" : ""));
  }
}

Command databaseCommand(CLI::App& root, const CommandText& text, int (*run)(const DbOptions&)) {
  auto db = std::make_shared<DbOptions>();
  CLI::App* app = root.add_subcommand(text.name, text.summary);
  addDatabaseOptions(app, *db);
  return {app, text, [db, run] { return run(*db); }};
}

Command selectorCommand(CLI::App& root, const CommandText& text, const std::string& tableHelp,
                        int (*run)(const RecordOptions&)) {
  auto o = std::make_shared<RecordOptions>();
  CLI::App* app = root.add_subcommand(text.name, text.summary);
  addSelector(app, o->selector, SelectorKind::Certificate, true);
  addTableOption(app, o->selector.hasTable, o->selector.table, tableHelp);
  addDatabaseOptions(app, o->db);
  return {app, text,
          [o, run] {
            checkSelector(o->selector, SelectorKind::Certificate);
            return run(*o);
          },
          SelectorHelp::Certificate};
}

std::string wrap(const std::string& text, std::size_t indent, std::size_t width) {
  std::string out, line;
  const std::string pad(indent, ' ');
  // Two spaces after a sentence leave an empty word at a line's end.
  auto endLine = [&] {
    out += pad + line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    line.clear();
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = text.find(' ', pos);
    if (next == std::string::npos) next = text.size();
    const std::string word = text.substr(pos, next - pos);
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) endLine();
    line += (line.empty() ? "" : " ") + word;
    pos = next + 1;
  }
  if (!line.empty()) endLine();
  return out;
}

namespace {

void printOption(const std::string& shortName, const std::string& longName, const std::string& metavar,
                 const std::string& help) {
  std::string head = "  ";
  head += shortName.empty() ? "    " : "-" + shortName + ", ";
  head += "--" + longName + (metavar.empty() ? "" : " " + metavar);
  if (head.size() < 30) {
    head.resize(30, ' ');
    std::cout << head << wrap(help, 30).substr(30);
  } else {
    std::cout << head << "\n" << wrap(help, 30);
  }
}

}  // namespace

std::string formatDescription(const std::string& description) {
  std::string out, text, term, rowText;
  bool inRow = false;
  auto endItem = [&] {
    if (inRow) {
      std::string head = "  " + term;
      if (head.size() + 2 <= kRowIndent) {
        head.resize(kRowIndent, ' ');
        out += head + wrap(rowText, kRowIndent).substr(kRowIndent);
      } else {
        out += head + "\n" + wrap(rowText, kRowIndent);
      }
    } else if (!text.empty()) {
      out += wrap(text, 0);
    }
    text.clear();
    rowText.clear();
    inRow = false;
  };
  auto append = [](std::string& to, const std::string& words) {
    if (!words.empty()) to += (to.empty() ? "" : " ") + words;
  };
  std::size_t pos = 0;
  while (pos <= description.size()) {
    std::size_t end = description.find('\n', pos);
    if (end == std::string::npos) end = description.size();
    const std::string line = description.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) {  // a blank line ends a paragraph
      endItem();
      if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\n\n") != 0) out += "\n";
    } else if (indent == 2) {  // a row: a term, two spaces or more, its text
      endItem();
      const std::size_t gap = line.find("  ", 2);
      term = line.substr(2, gap == std::string::npos ? std::string::npos : gap - 2);
      if (gap != std::string::npos) append(rowText, line.substr(line.find_first_not_of(' ', gap)));
      inRow = true;
    } else if (indent > 2 && inRow) {
      append(rowText, line.substr(indent));
    } else {
      if (inRow) endItem();
      append(text, line.substr(indent));
    }
  }
  endItem();
  return out;
}

void printCommandHelp(const Command& c) {
  // The usage line stays one line: the bash completion reads it.
  std::cout << "usage: velkdb " << c.text.synopsis << "\n\n" << formatDescription(c.text.description) << "\n";
  if (c.selectorHelp != SelectorHelp::None) std::cout << wrap(kSelectorHelp, 0) << "\n";
  if (c.selectorHelp == SelectorHelp::Certificate) std::cout << wrap(kCertificateSelectorHelp, 0) << "\n";
  std::cout << "options:\n";
  // The command's own options first, then the database's, then --help.
  for (const bool database : {false, true}) {
    for (const CLI::Option* o : c.app->get_options()) {
      if (o->get_lnames().empty() || o->get_lnames().front() == "help") continue;
      if ((o->get_group() == kDatabaseGroup) != database) continue;
      const std::string shortName = o->get_snames().empty() ? "" : o->get_snames().front();
      printOption(shortName, o->get_lnames().front(), o->get_items_expected_max() == 0 ? "" : o->get_option_text(),
                  o->get_description());
    }
  }
  printOption("h", "help", "", "show this help");
}

}  // namespace velkdb
