// `velkdb info`: the database's files, versions, expiry and record counts.
#include "cli.h"

namespace velkdb {

const CommandText kText = {"info", "show files, versions, expiry, record counts and sizes",
                           "info -d BASE",
                           R"(Opens each table alone and prints its file name, size, header version and record count, and the
database's password expiry (kept in the key table).  Exits 1 when a table does not open.)"};

namespace {

int run(const DbOptions& db) { return printInfo(databasePaths(db), databasePassword(db)) == 0 ? 0 : 1; }

}  // namespace

Command addInfo(CLI::App& root) { return databaseCommand(root, kText, run); }

}  // namespace velkdb
