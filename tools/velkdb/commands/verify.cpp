// `velkdb verify`: every table's hashes, records and keys checked.
#include "cli.h"

namespace velkdb {

const CommandText kText = {"verify", "check every table's hashes, records and keys",
                           "verify -d BASE",
                           R"(Opens every table alone, which checks the password hash, the hash over the header and every record
slot, and the file size; then decodes every record and checks that every private key opens with the
database password and matches its public key.  Reports per table; exits 1 on any fault.)"};

namespace {

int run(const DbOptions& db) { return printVerify(databasePaths(db), databasePassword(db)) == 0 ? 0 : 1; }

}  // namespace

Command addVerify(CLI::App& root) { return databaseCommand(root, kText, run); }

}  // namespace velkdb
