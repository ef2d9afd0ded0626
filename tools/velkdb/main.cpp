// velkdb -- the command-line tool for velfiledb key databases.
//
// One program with sub-commands; `velkdb --help` lists them and
// `velkdb COMMAND --help` describes one.  Errors print one line,
// "velkdb: error 0xNNNNN (meaning): detail", and exit with status 1 (2 for a
// command line that does not parse).
#include <openssl/crypto.h>
#include <openssl/opensslv.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "lockwait.h"
#include "text.h"

using namespace velkdb;

namespace {

// The project's version, from CMake.
const char* const kVersion = VELKDB_VERSION;

// The process holds passwords and private keys in memory: no core file
// is written of it, and no other process of the same user may read its
// memory (ptrace, /proc/PID/mem).
void protectProcess() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit none {0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

void printVersion() {
  std::cout << "velkdb " << kVersion << "\n"
            << "built with " << OPENSSL_VERSION_TEXT << ", running " << OpenSSL_version(OPENSSL_VERSION) << "\n";
}

struct Option {
  const char* name;     // long name without "--"
  char shortName;       // 0: none
  const char* value;    // metavariable, or null for a flag
  const char* help;
};

struct Command {
  const char* name;
  int (*run)(const Args&);
  bool usesDatabase;    // takes -d and the password options
  const char* synopsis;
  const char* summary;
  const char* description;
  std::vector<Option> options;
};

const std::vector<Option> kDatabaseOptions = {
    {"db", 'd', "BASE", "the database: files BASE.vkey, BASE.vkyp, BASE.vcrl (default: $VELKDB_DB)"},
    {"password-file", 0, "FILE", "read the database password from the first line of FILE"},
    {"default-password", 0, nullptr, "use the library's built-in default password"},
    {"wait", 0, "SECONDS",
     "while another velkdb has the database open, try again for up to SECONDS (default 5; 0: fail at once)"},
};

const char* const kSelectorHelp =
    "The record is named by LABEL (or --label), --id (a record ID; IDs are per table, so add --table when "
    "several tables have it), or --subject NAME.  Names are written \"CN=a,O=b\" (most specific first) or "
    "\"/O=b/CN=a\" and compared as X.500 names (case and spacing do not matter).";

const char* const kCertificateSelectorHelp =
    "A certificate is also named by --serial HEX, its serial number in hexadecimal (colons, case and leading "
    "zeros do not matter; add --issuer NAME when certificates of several issuers have it, which is refused "
    "otherwise), or by --fingerprint HEX, the SHA-256 (64 hex digits) or SHA-1 (40) digest of its DER, with or "
    "without colons.";

const std::vector<Command> kCommands = {
    {"create", cmdCreate, true,
     "create -d BASE [--version 3|4] [--expire WHEN] [--record-length N] [--weak-password-ok]",
     "create a database",
     "Creates the three table files of a new database under a new password (asked twice on a terminal).  "
     "Refuses when any of the files exists.  A password shorter than 12 characters or among the most common "
     "ones is taken with a warning (a copy of a table file lets anyone test about a million passwords a second); "
     "--weak-password-ok silences it.  Every record of a table takes one slot of the table's record "
     "length (5000 bytes unless --record-length says otherwise); a record longer than that grows every slot "
     "of its table.  A certificate without a key takes its DER size and about 200 bytes (an EC server certificate "
     "about 650, a 4096-bit RSA root about 2000): a table of 1,000 EC certificates takes 5 MB with the default "
     "and 1 MB with --record-length 1024.",
     {{"version", 0, "3|4", "header version of the new files (default 4: keyed 20-byte MAC)"},
      {"expire", 0, "WHEN", "password expiry: days from now, never (default), or YYYY-MM-DD"},
      {"record-length", 0, "N", "slot length of the new tables in bytes, 256 to 1048576 (default 5000)"},
      {"weak-password-ok", 0, nullptr, "no warning for a short or common password"}}},
    {"info", cmdInfo, true, "info -d BASE", "show files, versions, expiry, record counts and sizes",
     "Opens each table alone and prints its file name, size, header version and record count, and the "
     "database's password expiry (kept in the key table).  Exits 1 when a table does not open.",
     {}},
    {"verify", cmdVerify, true, "verify -d BASE", "check every table's hashes, records and keys",
     "Opens every table alone, which checks the password hash, the hash over the header and every record slot, "
     "and the file size; then decodes every record and checks that every private key opens with the database "
     "password and matches its public key.  Reports per table; exits 1 on any fault.",
     {}},
    {"recover", cmdRecover, true, "recover -d BASE", "finish a change that a stopped process left",
     "A change stopped midway (a killed process, a power cut) leaves a journal beside its table, and a "
     "password change stopped midway a password journal beside the key table; until one read-write open "
     "finishes it, read-only commands read the table as its last committed change left it.  recover is that open: it says, per table, what it "
     "finished (the table is then as its last committed change left it; a password change is rolled back to "
     "the password the database had before it), or that nothing was pending.  Either password of a stopped "
     "passwd finishes it the way it was decided.  Exits 1 when anything is still pending afterwards.",
     {}},
    {"import", cmdImport, true,
     "import -d BASE [--label LABEL] [--trusted] [--skip-existing] [--max-record-length N] FILE...",
     "import certificates, keys, key pairs with requests, PKCS#12 files, CRLs",
     "Reads each FILE (- for standard input): PEM (any number of certificates, private keys, certification "
     "requests and CRLs; a line starting with ----- that is no whole block's refuses the input) or DER "
     "(one certificate, CRL, request, PKCS#12 file, or PKCS#8 / traditional private key, encrypted or not).  "
     "A private key is stored with the certificate whose public key it has (key table) or with the request "
     "whose public key it has (key-pair table); a key that matches neither is refused.  Private keys are "
     "stored wrapped under the database password (PKCS#8, PBES2: PBKDF2-HMAC-SHA256, AES-256-CBC).  Labels "
     "come from --label (for the record with a key, or the only record), else from the certificate's own name "
     "(a PKCS#12 friendly name, which is also a Java keystore's alias), else from the subject's common name "
     "(the issuer's with \" CRL\" added for CRLs, so that a CA and its CRL differ), with \" #2\", \" #3\" added "
     "when taken.  A certificate that comes without its key, for a key pair stored by request or import, takes "
     "that key and the key pair's label, and the key pair is removed; a key that comes alone joins the "
     "certificates stored without it (each keeps its label and ID).  A key and a request of the same key in one "
     "input are stored as a key pair (a second copy of the key goes with its certificate).  The import is one transaction: "
     "nothing is stored when anything is refused or the process is stopped.  A record longer than its table's "
     "limit (64 KiB for certificates and key pairs, 16 MiB for CRLs; --max-record-length sets it) is refused "
     "before the table grows for it, since every slot of a table takes the length of its longest record.  Shows a progress bar on a terminal and prints a one-line summary.",
     {{"label", 0, "LABEL", "label of the record (one line of text)"},
      {"trusted", 0, nullptr, "mark the certificates without keys as trusted"},
      {"skip-existing", 0, nullptr, "skip certificates and CRLs already stored instead of refusing"},
      {"import-password-file", 0, "FILE",
       "password of an encrypted key or PKCS#12 file (else $VELKDB_IMPORT_PASSWORD or a prompt)"},
      {"max-record-length", 0, "N",
       "store records up to N bytes long (default: 65536 for certificates and key pairs, 16777216 for CRLs)"}}},
    {"request", cmdRequest, true,
     "request -d BASE --subject NAME [--san NAMES] [--key TYPE] [--label LABEL] [-o FILE]",
     "make a key and its certification request, kept as a key pair",
     "Generates a private key, stores it with a certification request (PKCS#10, signed with the key) as a key "
     "pair, the key wrapped under the database password as import wraps keys, and writes the request as PEM to "
     "standard output or FILE.  When the certificate issued for it is imported, it takes the key pair's key and "
     "label into the key table and the key pair is removed, in one transaction.  The label defaults to the "
     "subject's common name.",
     {{"subject", 0, "NAME", "the request's subject: \"CN=a,O=b\" or \"/O=b/CN=a\""},
      {"san", 0, "NAMES", "subject alternative names, comma-separated: DNS:host, IP:address, email:address, "
                          "URI:uri (a bare name is a DNS name, an address an IP address)"},
      {"key", 0, "TYPE", "ec:P-256 (default), ec:P-384, rsa:2048, rsa:3072 or ed25519"},
      {"label", 0, "LABEL", "label of the key pair (one line of text)"},
      {"out", 'o', "FILE", "write the request to FILE instead of standard output"}}},
    {"list", cmdList, true,
     "list -d BASE [--table keys|keypairs|crls] [--format text|json] [--expiring DAYS | --expired]",
     "list the records, or those that end soon",
     "Lists every record of each table: keys with record ID, label, subject, issuer, serial, validity, "
     "whether a private key is stored and whether trusted (JSON adds the SHA-256 and SHA-1 fingerprints); key "
     "pairs with their request's subject and key; CRLs with issuer, update times and number of revoked "
     "certificates.  With --expiring DAYS it lists only the certificates whose validity ends within DAYS days "
     "and the CRLs whose next update falls within them, those already ended included; with --expired only "
     "those already ended; sorted by end date.  For cron and monitoring, --expiring and --expired exit with "
     "status 1 when they list anything and 0 when nothing ends (errors exit 1 too, with a message on standard "
     "error).",
     {{"table", 0, "TABLE", "only this table: keys, keypairs or crls"},
      {"format", 0, "FORMAT", "text (default) or json"},
      {"expiring", 0, "DAYS", "only certificates and CRLs that end within DAYS days (or have ended)"},
      {"expired", 0, nullptr, "only certificates and CRLs that have ended"}}},
    {"show", cmdShow, true,
     "show -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
     "--fingerprint HEX) [--table T]",
     "show records in detail", "Prints each matching record in detail, including the certificate's SHA-256 "
     "and SHA-1 fingerprints and whether its private key opens with the database password.",
     {{"label", 0, "LABEL", "the record with this label"},
      {"id", 0, "N", "the record with this record ID"},
      {"subject", 0, "NAME", "records whose certificate or request has this subject"},
      {"issuer", 0, "NAME", "certificates and CRLs of this issuer"},
      {"serial", 0, "HEX", "the certificate with this serial number"},
      {"fingerprint", 0, "HEX", "the certificate with this SHA-256 or SHA-1 fingerprint"},
      {"table", 0, "TABLE", "search this table only"}}},
    {"export", cmdExport, true,
     "export -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
     "--fingerprint HEX | --all) [--key [--unencrypted]] [--chain | --pkcs12 FILE] [--table T] [--out FILE]",
     "write certificates, keys, requests or CRLs as PEM, or a PKCS#12 file",
     "Writes the certificate of a key record, the request of a key pair, or the CRL, as PEM, to standard "
     "output or FILE (replaced whole: written under a new name beside it and renamed; a link at FILE is "
     "replaced, not followed; a terminal or FIFO of your own is written in place, and a FIFO without a reader "
     "is refused at once; - is standard output).  --key adds the private key as stored: an ENCRYPTED PRIVATE KEY that "
     "opens with the database password (openssl pkey -in FILE); a FILE with a key gets mode 0600.  --all exports every record of the "
     "tables (with --key: every stored key too); its output imports back into an empty database as it was.  "
     "--key --unencrypted writes the private key in the clear instead (PEM PRIVATE KEY, PKCS#8), and only so "
     "asked.  --chain writes one certificate and then its issuers found among the stored certificates (by "
     "issuer name and signature, up to a self-signed root).  --pkcs12 FILE writes one certificate with its "
     "private key and chain as a PKCS#12 file (mode 0600) under a password of its own (--export-password-file, "
     "$VELKDB_EXPORT_PASSWORD or a prompt, asked twice): AES-256-CBC with PBKDF2-HMAC-SHA256 and an "
     "HMAC-SHA256 MAC, the record's label as friendly name (a Java keystore's alias).",
     {{"label", 0, "LABEL", "the record with this label"},
      {"id", 0, "N", "the record with this record ID"},
      {"subject", 0, "NAME", "records of this subject"},
      {"issuer", 0, "NAME", "certificates and CRLs of this issuer"},
      {"serial", 0, "HEX", "the certificate with this serial number"},
      {"fingerprint", 0, "HEX", "the certificate with this SHA-256 or SHA-1 fingerprint"},
      {"all", 0, nullptr, "every record (of --table, or of all tables)"},
      {"key", 0, nullptr, "add the encrypted private key"},
      {"unencrypted", 0, nullptr, "with --key: the private key in the clear (PKCS#8)"},
      {"chain", 0, nullptr, "the certificate and its issuers"},
      {"pkcs12", 0, "FILE", "write a PKCS#12 file: certificate, key and chain"},
      {"export-password-file", 0, "FILE",
       "password of the PKCS#12 file (else $VELKDB_EXPORT_PASSWORD or a prompt)"},
      {"table", 0, "TABLE", "search this table only"},
      {"out", 'o', "FILE", "write to FILE instead of standard output"}}},
    {"delete", cmdDelete, true,
     "delete -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
     "--fingerprint HEX) [--table T]",
     "delete records", "Deletes every matching record (by issuer: certificates and CRLs of that issuer) in one "
     "transaction, all or none, and prints what it deleted and from which table.  A LABEL or ID found in several "
     "tables is refused, naming the tables, unless --table says which.",
     {{"label", 0, "LABEL", "the record with this label"},
      {"id", 0, "N", "the record with this record ID"},
      {"subject", 0, "NAME", "records of this subject"},
      {"issuer", 0, "NAME", "certificates and CRLs of this issuer"},
      {"serial", 0, "HEX", "the certificate with this serial number"},
      {"fingerprint", 0, "HEX", "the certificate with this SHA-256 or SHA-1 fingerprint"},
      {"table", 0, "TABLE", "this table only"}}},
    {"rename", cmdRename, true, "rename -d BASE (OLD | --label OLD | --id N | --subject NAME) [--table T] NEW",
     "change a record's label", "Gives one record the label NEW, one line of text (refused when NEW is in use in its table).",
     {{"label", 0, "LABEL", "the record with this label"},
      {"id", 0, "N", "the record with this record ID"},
      {"subject", 0, "NAME", "the record of this subject"},
      {"table", 0, "TABLE", "this table only"}}},
    {"passwd", cmdPasswd, true, "passwd -d BASE [--new-password-file FILE] [--expire WHEN] [--weak-password-ok]",
     "change the database password and re-wrap every private key",
     "Changes the password of every table and re-wraps every private key under the new password.  The "
     "new password comes from --new-password-file, $VELKDB_NEW_PASSWORD or a prompt (asked twice).  Keys "
     "are re-wrapped and the tables take the new password in one transaction: all of it commits or none, so "
     "that at every moment the database, with every key, opens with the old or the new password.  If the "
     "change stops (an error, a killed "
     "process), running the same passwd again completes it; run again after the change completed, it has nothing "
     "to do and exits 0.  A new password shorter than 12 characters or among the most common ones is taken with "
     "a warning, as create does (--weak-password-ok silences it).  The expiry stays as it was unless --expire is "
     "given.",
     {{"new-password-file", 0, "FILE", "read the new password from the first line of FILE"},
      {"expire", 0, "WHEN", "new password expiry: days from now, never, or YYYY-MM-DD"},
      {"weak-password-ok", 0, nullptr, "no warning for a short or common new password"}}},
    {"expire", cmdExpire, true, "expire -d BASE WHEN", "set the password expiry",
     "Sets the password expiry of every table: WHEN is a number of days from now, never, or YYYY-MM-DD "
     "(midnight UTC; a date that exists).",
     {}},
    {"upgrade", cmdUpgrade, true, "upgrade -d BASE", "turn a version-3 database into a version-4 one",
     "Rewrites every version-3 table of the database as version 4, keeping every record under its record ID "
     "with its label, trust flag and private key as stored, and the password and its expiry.  Version-3 "
     "tables can be forged by combining snapshots of a file (their seal is an XOR of per-slot digests); "
     "version 4 seals each file with a keyed hash.  The new tables are built beside the old ones "
     "(BASE.vkey.velkdb-upgrade, ...), opened again and compared with them record by record, and only then "
     "renamed into place one by one, the old files kept as BASE.vkey.velkdb-v3, ... until the renames are "
     "done.  A crash before the renames leaves the database as it was; a crash between them leaves tables "
     "that all open with the same records, some at version 4, and running upgrade again completes it.  A "
     "database already at version 4 is left alone (exit status 0).",
     {}},
    {"verify-chain", cmdVerifyChain, true, "verify-chain -d BASE (LABEL | FILE | --label LABEL) [--crl]",
     "verify a certificate against the trusted certificates",
     "Verifies the stored certificate labelled LABEL, or the first certificate of FILE (PEM or DER; the others "
     "in it may serve as intermediates), against the certificates stored as trusted (import --trusted), with "
     "the other stored certificates as possible intermediates.  An argument that names an existing file is "
     "read as FILE; --label names a stored certificate in any case.  With --crl the stored CRLs are checked "
     "for every certificate of the chain, and a CA without a stored CRL fails the check.  Prints the chain "
     "found, or why none verifies, and exits with status 1 when the certificate does not verify.",
     {{"label", 0, "LABEL", "the stored certificate with this label"},
      {"crl", 0, nullptr, "check revocation against the stored CRLs (every certificate of the chain)"}}},
    {"demo", cmdDemo, false, "demo [DIRECTORY] [--ca-bundle FILE]", "make and show a demo database",
     "Makes the database DIRECTORY/demo (default directory: velkdb-demo; a previous demo there is replaced) "
     "under a random password kept in DIRECTORY/password (or the password given), imports the system's CA "
     "bundle, a freshly made server certificate with its key, a key pair with its certification request and "
     "a CRL, then lists the database, looks a certificate up by subject, and runs info and verify.",
     {{"ca-bundle", 0, "FILE", "the CA bundle (default /etc/ssl/certs/ca-certificates.crt)"},
      {"password-file", 0, "FILE", "use this password instead of a random one"},
      {"default-password", 0, nullptr, "use the library's built-in default password"}}},
};

std::string wrap(const std::string& text, std::size_t indent, std::size_t width = 78) {
  std::string out, line;
  std::size_t pos = 0;
  const std::string pad(indent, ' ');
  while (pos < text.size()) {
    std::size_t next = text.find(' ', pos);
    if (next == std::string::npos) next = text.size();
    const std::string word = text.substr(pos, next - pos);
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      out += pad + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    pos = next + 1;
  }
  if (!line.empty()) out += pad + line + "\n";
  return out;
}

void printMainHelp() {
  std::cout << "velkdb -- keep certificates, private keys, key pairs and CRLs in a velfiledb database\n\n"
               "usage: velkdb COMMAND [OPTIONS] [ARGUMENTS]\n       velkdb COMMAND --help\n       velkdb --version\n\ncommands:\n";
  for (const Command& c : kCommands) {
    char line[128];
    std::snprintf(line, sizeof line, "  %-12s %s\n", c.name, c.summary);
    std::cout << line;
  }
  std::cout << "\n"
            << wrap("Passwords are never taken from the command line: the database password comes from "
                    "--password-file FILE, the environment variable VELKDB_PASSWORD, or a prompt without echo "
                    "on the terminal; --default-password uses the library's built-in default password, and "
                    "only when asked for.  A password file that is not your own regular file, FIFO or socket, "
                    "or that others than its owner may read, is used with a warning.  The database is named with -d BASE or VELKDB_DB.",
                    0)
            << "\n"
            << wrap("Errors print one line with the error number and its meaning, and exit with status 1 "
                    "(2 for a command line that does not parse).  list --expiring, list --expired and "
                    "verify-chain also exit with status 1 when they find something ending or a certificate "
                    "that does not verify.  A command that finds the database in use by another waits for it "
                    "(--wait SECONDS, 5 by default).",
                    0);
  std::cout << "\n"
            << wrap("Ctrl-C (SIGINT), SIGTERM or SIGHUP stops a command at the next record: a change it was "
                    "making is rolled back whole, it says \"interrupted\" and exits with status 128 + the "
                    "signal's number (130 for Ctrl-C).  A change that a killed process left is finished by the "
                    "next command that writes, or by velkdb recover.",
                    0);
}

void printCommandHelp(const Command& c) {
  std::cout << "usage: velkdb " << c.synopsis << "\n\n" << wrap(c.description, 0) << "\n";
  if (std::string(c.name) == "show" || std::string(c.name) == "export" || std::string(c.name) == "delete" ||
      std::string(c.name) == "rename") {
    std::cout << wrap(kSelectorHelp, 0) << "\n";
  }
  if (std::string(c.name) == "show" || std::string(c.name) == "export" || std::string(c.name) == "delete") {
    std::cout << wrap(kCertificateSelectorHelp, 0) << "\n";
  }
  std::cout << "options:\n";
  auto print = [](const Option& o) {
    std::string head = "  ";
    head += o.shortName ? std::string("-") + o.shortName + ", " : "    ";
    head += std::string("--") + o.name + (o.value ? std::string(" ") + o.value : "");
    if (head.size() < 30) {
      head.resize(30, ' ');
      std::string text = wrap(o.help, 30);
      std::cout << head << text.substr(30);
    } else {
      std::cout << head << "\n" << wrap(o.help, 30);
    }
  };
  for (const Option& o : c.options) print(o);
  if (c.usesDatabase) {
    for (const Option& o : kDatabaseOptions) print(o);
  }
  print({"help", 'h', nullptr, "show this help"});
}

const Option* findOption(const Command& c, const std::string& name, char shortName) {
  auto matches = [&](const Option& o) { return shortName ? o.shortName == shortName : name == o.name; };
  for (const Option& o : c.options) {
    if (matches(o)) return &o;
  }
  if (c.usesDatabase) {
    for (const Option& o : kDatabaseOptions) {
      if (matches(o)) return &o;
    }
  }
  return nullptr;
}

// Parses the command's arguments; true when --help was asked for.
bool parse(const Command& c, int argc, char** argv, Args& args) {
  bool optionsDone = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (optionsDone || a.size() < 2 || a[0] != '-') {
      args.positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone = true;
      continue;
    }
    if (a == "--help" || a == "-h") return true;
    std::string name, value;
    bool hasInlineValue = false;
    const Option* o = nullptr;
    if (a[1] == '-') {
      name = a.substr(2);
      const auto eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        hasInlineValue = true;
      }
      o = findOption(c, name, 0);
    } else {
      if (a.size() != 2) throw UsageError("unknown option " + a);
      o = findOption(c, "", a[1]);
    }
    if (o == nullptr) throw UsageError("unknown option " + a);
    if (o->value == nullptr) {
      if (hasInlineValue) throw UsageError("--" + std::string(o->name) + " takes no value");
      args.flags.push_back(o->name);
      continue;
    }
    if (!hasInlineValue) {
      if (i + 1 >= argc) throw UsageError("--" + std::string(o->name) + " needs " + o->value);
      value = argv[++i];
    }
    args.values[o->name] = value;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  protectProcess();
  if (argc >= 2 && std::string(argv[1]) == "--version") {
    printVersion();
    return 0;
  }
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
      std::string(argv[1]) == "help") {
    if (argc >= 3 && std::string(argv[1]) == "help") {
      for (const Command& c : kCommands) {
        if (c.name == std::string(argv[2])) {
          printCommandHelp(c);
          return 0;
        }
      }
    }
    printMainHelp();
    return argc < 2 ? 2 : 0;
  }
  const std::string name = argv[1];
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (c.name == name) command = &c;
  }
  if (command == nullptr) {
    std::cerr << "velkdb: error 0x8B67A (bad argument): unknown command \"" << printable(name)
              << "\"; see velkdb --help\n";
    return 2;
  }
  Args args;
  args.program = argv[0];
  args.command = name;
  try {
    if (parse(*command, argc, argv, args)) {
      printCommandHelp(*command);
      return 0;
    }
    if (command->usesDatabase && args.has("wait")) setLockWait(parseLockWait(args.get("wait")));
    const int status = runInterruptible([&] { return command->run(args); });
    std::cout.flush();
    return std::cout.good() ? status : 1;
  } catch (const UsageError& e) {
    std::cerr << "velkdb: error 0x8B67A (bad argument): " << printable(e.what()) << "; see velkdb " << name
              << " --help\n";
    return 2;
  } catch (const VELException& e) {
    std::cout.flush();
    std::cerr << "velkdb: " << errorLine(e) << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "velkdb: error: " << printable(e.what()) << "\n";
    return 1;
  }
}
