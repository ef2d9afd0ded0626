// `velkdb show`: records in detail.
#include <iostream>
#include <memory>

#include "cli.h"

namespace velkdb {

namespace {

int runShow(const RecordOptions& o) {
  const DbPaths paths = databasePaths(o.db);
  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  const std::vector<Match> found = requireRecords(*db, o.selector, false);
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (i != 0) std::cout << "\n";
    printRecord(*db, found[i], &password);
  }
  return 0;
}

}  // namespace

const CommandText kText = {"show", "show records in detail",
                           "show -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
    "--fingerprint HEX) [--table T]",
                           R"(Prints each matching record in detail, including the certificate's SHA-256 and SHA-1 fingerprints
and whether its private key opens with the database password.)"};

Command addShow(CLI::App& root) { return selectorCommand(root, kText, "search this table only", runShow); }

}  // namespace velkdb
