// demo: a database of real certificates, made from nothing in a directory
// of its own, and every kind of record shown.
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>

#include "cli.h"
#include "interrupt.h"
#include "veldbconnectinfo.h"

namespace velkdb {

namespace {

void step(const std::string& text) { std::cout << "\n== " << text << " ==\n" << std::flush; }

// A random password of 24 letters and digits, kept in DIR/password.
Secret demoPassword(const std::string& file) {
  static const char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
  unsigned char random[24];
  if (RAND_bytes(random, sizeof random) != 1) VELDB_THROW(VELDBError::kNoDigest, "no random bytes");
  std::string text;
  for (unsigned char c : random) text += kAlphabet[c % (sizeof kAlphabet - 1)];
  // A new file, the owner's alone (a password file kept from before may
  // have been readable by others, or be a link).
  writeFileAtomically(file, text + "\n", true);
  return Secret(text);
}

}  // namespace

namespace {

struct DemoOptions {
  DbOptions db;
  std::string directory = "velkdb-demo";
  std::string caBundle = "/etc/ssl/certs/ca-certificates.crt";
  const CLI::App* root = nullptr;  // its name: velkdb as invoked
};

// The CA bundle, a demo CA with a server certificate and its key, a key
// pair with its request, and a CRL, each imported as `import` would.
void importDemoRecords(FileDBManager& db, const Secret& password, const std::string& bundle) {
  ImportOptions options;
  options.progress = isatty(STDERR_FILENO) != 0;

  step("import the system's CA bundle " + bundle);
  {
    struct NoPassword : InputPassword {
      bool get(Secret&) override { return false; }
    } none;
    InputItems items;
    readInputFile(bundle, none, items);
    ImportOptions trusted = options;
    trusted.trusted = true;
    std::cout << importItems(db, password, items, trusted).text() << "\n";
  }

  step("make a demo CA and a server certificate with its key, and import them");
  Ossl<EVP_PKEY> caKey = makeECKey();
  Ossl<X509> caCert = makeCertificate(caKey.get(), "/O=velkdb demo/CN=velkdb Demo CA", nullptr, nullptr, 3650, true, "");
  Ossl<EVP_PKEY> serverKey = makeECKey();
  Ossl<X509> serverCert = makeCertificate(serverKey.get(), "/O=velkdb demo/CN=www.demo.test", caCert.get(),
                                          caKey.get(), 365, false, "www.demo.test");
  {
    InputItems items;
    items.certs.emplace_back(X509_dup(caCert.get()));
    ImportOptions trusted = options;
    trusted.trusted = true;
    trusted.label = "velkdb demo CA";
    std::cout << importItems(db, password, items, trusted).text() << "\n";
  }
  {
    InputItems items;
    items.certs.emplace_back(X509_dup(serverCert.get()));
    EVP_PKEY_up_ref(serverKey.get());
    items.keys.emplace_back(serverKey.get());
    ImportOptions labelled = options;
    labelled.label = "www.demo.test";
    std::cout << importItems(db, password, items, labelled).text() << "\n";
  }

  step("make a key pair with its certification request, and import it");
  {
    Ossl<EVP_PKEY> key = makeRSAKey(2048);
    InputItems items;
    items.requests.push_back(makeRequest(key.get(), "/O=velkdb demo/CN=mail.demo.test"));
    items.keys.push_back(std::move(key));
    ImportOptions labelled = options;
    labelled.label = "mail.demo.test request";
    std::cout << importItems(db, password, items, labelled).text() << "\n";
  }

  step("make a CRL of the demo CA revoking a retired certificate, and import it");
  {
    Ossl<EVP_PKEY> oldKey = makeECKey();
    Ossl<X509> retired = makeCertificate(oldKey.get(), "/O=velkdb demo/CN=old.demo.test", caCert.get(), caKey.get(),
                                         365, false, "old.demo.test");
    InputItems items;
    items.crls.push_back(makeCRL(caCert.get(), caKey.get(), {retired.get()}, 30));
    std::cout << importItems(db, password, items, options).text() << "\n";
  }
}

int runDemo(const DemoOptions& o) {
  const std::string program = o.root->get_name();
  const std::string& dir = o.directory;
  const std::string& bundle = o.caBundle;
  const bool passwordGiven =
      o.db.defaultPassword || !o.db.passwordFile.empty() || std::getenv("VELKDB_PASSWORD") != nullptr;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throwSystemError(VELDBError::kCannotCreate, dir, errno);
  const DbPaths paths = makePaths(dir + "/demo");

  // A run replaces the database of the run before, and nothing else.
  if (fileExists(paths.file(Table::Key)) && !fileExists(dir + "/password") && !passwordGiven) {
    VELDB_THROW(VELDBError::kFileExists, paths.file(Table::Key) + " exists and is not a previous demo's");
  }
  for (Table t : kTables) {
    unlink(paths.file(t).c_str());
    unlink((paths.file(t) + "-journal").c_str());
  }
  setInterruptOutcome("the demo database is incomplete; run velkdb demo again");

  std::string passwordNote;
  Secret password;
  if (passwordGiven) {
    password = databasePassword(o.db);
    passwordNote = "the password you gave";
  } else {
    password = demoPassword(dir + "/password");
    passwordNote = "a random password, kept in " + dir + "/password";
  }

  step("create " + paths.base + " (version 4, password expires in 365 days)");
  {
    FileDBManager created(VELDBConnectInfo::FILE(paths.base, toEncryptor(password), VELDBConnectInfo::CreateV4,
                                                 VELDBConnectInfo::ReadWrite));
    created.setDBPasswordExpirationTime(parseExpiry("365"));
  }
  std::cout << "created with " << passwordNote << "\n";

  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, true);
  importDemoRecords(*db, password, bundle);
  db.reset();

  db = openDatabase(paths, password, false);
  step("list");
  printList(*db, paths.base, false, false, Table::Key);

  step("look up by subject: O=velkdb demo, CN=www.demo.test");
  Selector bySubject;
  bySubject.subject = "CN=www.demo.test,O=velkdb demo";
  for (const Match& m : findRecords(*db, bySubject)) printRecord(*db, m, &password);
  db.reset();

  step("info");
  int faults = printInfo(paths, password);
  step("verify");
  faults += printVerify(paths, password);

  const std::string pw = passwordNote.rfind("a random", 0) == 0 ? " --password-file " + dir + "/password" : "";
  std::cout << "\nTry it yourself:\n"
            << "  " << program << " list -d " << dir << "/demo" << pw << " --format json\n"
            << "  " << program << " show -d " << dir << "/demo" << pw << " www.demo.test\n"
            << "  " << program << " export -d " << dir << "/demo" << pw << " --key www.demo.test\n"
            << "  " << program << " verify-chain -d " << dir << "/demo" << pw << " --crl www.demo.test\n"
            << "  " << program << " list -d " << dir << "/demo" << pw << " --expiring 60\n"
            << "  " << program << " export -d " << dir << "/demo" << pw << " --pkcs12 www.p12 www.demo.test\n";
  return faults == 0 ? 0 : 1;
}

}  // namespace

const CommandText kText = {"demo", "make and show a demo database",
                           "demo [DIRECTORY] [--ca-bundle FILE]",
                           R"(Makes the database DIRECTORY/demo (default directory: velkdb-demo; a previous demo there is
replaced) under a random password kept in DIRECTORY/password (or the password given), imports the
system's CA bundle, a freshly made server certificate with its key, a key pair with its
certification request and a CRL, then lists the database, looks a certificate up by subject, and
runs info and verify.)"};

Command addDemo(CLI::App& root) {
  auto o = std::make_shared<DemoOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  o->root = &root;
  app->add_option("DIRECTORY", o->directory, "where the demo database is made (default velkdb-demo)");
  app->add_option("--ca-bundle", o->caBundle, "the CA bundle (default /etc/ssl/certs/ca-certificates.crt)")
      ->option_text("FILE");
  addPasswordOptions(app, o->db);
  return {app, kText, [o] { return runDemo(*o); }};
}

}  // namespace velkdb
