// `velkdb show`: records in detail.
#include <iostream>
#include <memory>

#include "cli.h"

namespace velkdb {

namespace {

struct ShowOptions {
  RecordOptions record;
  std::string format = "text";
};

int runShow(const ShowOptions& o) {
  const DbPaths paths = databasePaths(o.record.db);
  const Secret password = databasePassword(o.record.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  const std::vector<Match> found = requireRecords(*db, o.record.selector, false);
  if (o.format == "json") {
    printRecordsJSON(*db, paths.base, found, &password);
    return 0;
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (i != 0) std::cout << "\n";
    printRecord(*db, found[i], &password);
  }
  return 0;
}

}  // namespace

const CommandText kText = {"show", "show records in detail",
                           "show -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
    "--fingerprint HEX) [--table T] [--format text|json]",
                           R"(Prints each matching record in detail, including the certificate's SHA-256 and SHA-1 fingerprints,
its extensions (one line each, marked "critical" where they are) and whether its private key opens
with the database password.  --format json prints the same as one JSON document, {"database":
BASE, "records": [...]}, each record with the fields of the text and its extensions as name,
critical and value.)"};

Command addShow(CLI::App& root) {
  auto o = std::make_shared<ShowOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addSelector(app, o->record.selector, SelectorKind::Certificate, true);
  addTableOption(app, o->record.selector.hasTable, o->record.selector.table, "search this table only");
  app->add_option("--format", o->format, "text (default) or json")
      ->option_text("FORMAT")
      ->check(CLI::IsMember({"text", "json"}));
  addDatabaseOptions(app, o->record.db);
  return {app, kText,
          [o] {
            checkSelector(o->record.selector, SelectorKind::Certificate);
            return runShow(*o);
          },
          SelectorHelp::Certificate};
}

}  // namespace velkdb
