// `velkdb expire`: the password expiry of every table.
#include <iostream>
#include <memory>

#include "cli.h"

namespace velkdb {

namespace {

struct ExpireOptions {
  DbOptions db;
  long long when = 0;
  std::string text;
  bool force = false;
};

int runExpire(const ExpireOptions& o) {
  refusePassedExpiry(o.when, o.text, o.force, "--force");
  const auto [password, db] = openDatabase(o.db, true);
  db->setDBPasswordExpirationTime(o.when);
  std::cout << "password expires " << expiryText(o.when) << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {"expire", "set the password expiry",
                           "expire -d BASE [--force] WHEN",
                           R"(Sets the password expiry of every table: WHEN is a number of days from now, never, or YYYY-MM-DD
(midnight UTC; a date that exists).  A time that has passed would lock every user out at once: it is
refused (exit 2) unless --force is given.)"};

Command addExpire(CLI::App& root) {
  auto o = std::make_shared<ExpireOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addParsed(app, "WHEN", "WHEN", "days from now, never, or YYYY-MM-DD", [o](const std::string& text) {
    o->when = parseExpiry(text);
    o->text = text;
  })->required();
  app->add_flag("--force", o->force, "set an expiry that has passed (the password is expired at once)");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runExpire(*o); }};
}

}  // namespace velkdb
