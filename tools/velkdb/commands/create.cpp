// `velkdb create`: a new database.
#include <iostream>
#include <memory>

#include "cli.h"
#include "veldbconnectinfo.h"

namespace velkdb {

namespace {

struct CreateOptions {
  DbOptions db;
  std::string version = "4";
  long long expiry = 0;
  std::uint32_t recordLength = 0;  // 0: the library's default
  bool weakPasswordOk = false;
};

int runCreate(const CreateOptions& o) {
  const DbPaths paths = databasePaths(o.db);
  for (Table t : kTables) {
    if (fileExists(paths.file(t))) VELDB_THROW(VELDBError::kFileExists, paths.file(t) + " exists");
  }
  const Secret password = databasePassword(o.db, true);
  if (!o.weakPasswordOk) warnIfWeakPassword(password);
  std::unique_ptr<FileDBManager> db;
  try {
    VELDBConnectInfo::FILE info(paths.base, toEncryptor(password),
                                o.version == "3" ? VELDBConnectInfo::Create : VELDBConnectInfo::CreateV4,
                                VELDBConnectInfo::ReadWrite);
    info.setInitialRecordLength(o.recordLength);
    db.reset(new FileDBManager(info));
    if (o.expiry != 0) db->setDBPasswordExpirationTime(o.expiry);
  } catch (const VELException& e) {
    if (db) {
      // A database that could not take its expiry is not left behind.
      db->deleteDBOnDisconnect();
      db.reset();
    }
    rethrowWithContext(e, "creating " + paths.base);
  }
  std::cout << "created " << paths.base << " (version " << o.version
            << (o.recordLength != 0 ? ", record length " + std::to_string(o.recordLength) : std::string())
            << ", password expires " << expiryText(o.expiry) << ")\n";
  return 0;
}

}  // namespace

const CommandText kText = {"create", "create a database",
                           "create -d BASE [--version 3|4] [--expire WHEN] [--record-length N] [--weak-password-ok]",
                           R"(Creates the three table files of a new database under a new password (asked twice on a
terminal).  Refuses when any of the files exists, and an expiry that has passed.  A password
shorter than 12 characters or among the most common ones is taken with a warning (a copy of a
table file lets anyone test about a million passwords a second); --weak-password-ok silences it.
Every record of a table takes one slot
of the table's record length (5000 bytes unless --record-length says otherwise); a record longer
than that grows every slot of its table.  A certificate without a key takes its DER size and about
200 bytes (an EC server certificate about 650, a 4096-bit RSA root about 2000): a table of 1,000 EC
certificates takes 5 MB with the default and 1 MB with --record-length 1024.)"};

Command addCreate(CLI::App& root) {
  auto o = std::make_shared<CreateOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("--version", o->version, "header version of the new files (default 4: keyed 20-byte MAC)")
      ->option_text("3|4")
      ->check(CLI::IsMember({"3", "4"}));
  addParsed(app, "--expire", "WHEN", "password expiry: days from now, never (default), or YYYY-MM-DD",
            [o](const std::string& text) {
              o->expiry = parseExpiry(text);
              // A database whose password has expired before its first use
              // is of no use to anyone.
              refusePassedExpiry(o->expiry, text, false, nullptr);
            });
  addParsed(app, "--record-length", "N", "slot length of the new tables in bytes, 256 to 1048576 (default 5000)",
            [o](const std::string& text) { o->recordLength = parseRecordLength(text); });
  app->add_flag("--weak-password-ok", o->weakPasswordOk, "no warning for a short or common password");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runCreate(*o); }};
}

}  // namespace velkdb
