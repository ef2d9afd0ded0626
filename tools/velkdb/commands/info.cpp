// `velkdb info`: the database's files, versions, expiry and record counts.
#include "cli.h"

namespace velkdb {

Command addInfo(CLI::App& root) {
  auto db = std::make_shared<DbOptions>();
  CLI::App* app = root.add_subcommand("info", "show files, versions, expiry, record counts and sizes");
  addDatabaseOptions(app, *db);
  Command c;
  c.app = app;
  c.synopsis = "info -d BASE";
  c.description =
      "Opens each table alone and prints its file name, size, header version and record count, and the "
      "database's password expiry (kept in the key table).  Exits 1 when a table does not open.";
  c.run = [db] { return printInfo(databasePaths(*db), databasePassword(*db)) == 0 ? 0 : 1; };
  return c;
}

}  // namespace velkdb
