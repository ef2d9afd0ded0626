// `velkdb show`: records in detail.
#include <iostream>
#include <memory>

#include "cli.h"

namespace velkdb {

namespace {

struct ShowOptions {
  DbOptions db;
  Selector selector;
};

int runShow(ShowOptions& o) {
  checkSelector(o.selector, SelectorKind::Certificate);
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

Command addShow(CLI::App& root) {
  auto o = std::make_shared<ShowOptions>();
  CLI::App* app = root.add_subcommand("show", "show records in detail");
  addSelector(app, o->selector, SelectorKind::Certificate, true);
  addTableOption(app, o->selector.hasTable, o->selector.table, "search this table only");
  addDatabaseOptions(app, o->db);
  Command c;
  c.app = app;
  c.synopsis =
      "show -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
      "--fingerprint HEX) [--table T]";
  c.description =
      "Prints each matching record in detail, including the certificate's SHA-256 and SHA-1 fingerprints and "
      "whether its private key opens with the database password.";
  c.selectorHelp = true;
  c.selectorKind = SelectorKind::Certificate;
  c.run = [o] { return runShow(*o); };
  return c;
}

}  // namespace velkdb
