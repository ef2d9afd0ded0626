// `velkdb list`: every record, or those that end soon.
#include <ctime>
#include <memory>

#include "cli.h"
#include "find.h"

namespace velkdb {

namespace {

struct ListOptions {
  DbOptions db;
  bool hasTable = false;
  Table table = Table::Key;
  std::string format = "text";
  long long expiringDays = -1;  // -1: not asked
  bool expired = false;
};

int runList(const ListOptions& o) {
  const DbPaths paths = databasePaths(o.db);
  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  const bool json = o.format == "json";
  if (o.expiringDays >= 0 || o.expired) {
    // For cron and monitoring: status 1 when anything ends (or has ended).
    const long long now = static_cast<long long>(std::time(nullptr));
    const std::size_t n = printEnding(*db, paths.base, json, o.hasTable, o.table, now, o.expiringDays);
    return n == 0 ? 0 : 1;
  }
  printList(*db, paths.base, json, o.hasTable, o.table);
  return 0;
}

}  // namespace

const CommandText kText = {"list", "list the records, or those that end soon",
                           "list -d BASE [--table keys|keypairs|crls] [--format text|json] [--expiring DAYS | --expired]",
                           R"(Lists every record of each table: keys with record ID, label, subject, issuer, serial, validity,
whether a private key is stored and whether trusted (JSON adds the SHA-256 and SHA-1 fingerprints);
key pairs with their request's subject and key; CRLs with issuer, update times and number of revoked
certificates.  With --expiring DAYS it lists only the certificates whose validity ends within DAYS
days and the CRLs whose next update falls within them, those already ended included; with --expired
only those already ended; sorted by end date.  For cron and monitoring, --expiring and --expired
exit with status 1 when they list anything and 0 when nothing ends (errors exit 1 too, with a
message on standard error).)"};

Command addList(CLI::App& root) {
  auto o = std::make_shared<ListOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addTableOption(app, o->hasTable, o->table, "only this table: keys, keypairs or crls");
  app->add_option("--format", o->format, "text (default) or json")
      ->option_text("FORMAT")
      ->check(CLI::IsMember({"text", "json"}));
  CLI::Option* expiring =
      addParsed(app, "--expiring", "DAYS", "only certificates and CRLs that end within DAYS days (or have ended)",
                [o](const std::string& text) { o->expiringDays = numberOption("--expiring", text, 0, 36500); });
  app->add_flag("--expired", o->expired, "only certificates and CRLs that have ended")->excludes(expiring);
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runList(*o); }};
}

}  // namespace velkdb
