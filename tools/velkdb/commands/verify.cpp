// `velkdb verify`: every table's hashes, records and keys checked.
#include "cli.h"

namespace velkdb {

Command addVerify(CLI::App& root) {
  auto db = std::make_shared<DbOptions>();
  CLI::App* app = root.add_subcommand("verify", "check every table's hashes, records and keys");
  addDatabaseOptions(app, *db);
  Command c;
  c.app = app;
  c.synopsis = "verify -d BASE";
  c.description =
      "Opens every table alone, which checks the password hash, the hash over the header and every record slot, "
      "and the file size; then decodes every record and checks that every private key opens with the database "
      "password and matches its public key.  Reports per table; exits 1 on any fault.";
  c.run = [db] { return printVerify(databasePaths(*db), databasePassword(*db)) == 0 ? 0 : 1; };
  return c;
}

}  // namespace velkdb
