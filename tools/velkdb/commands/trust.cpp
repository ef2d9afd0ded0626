// `velkdb trust`: the trust mark of a stored certificate.
#include <iostream>
#include <memory>

#include "cli.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

struct TrustOptions {
  DbOptions db;
  Selector selector;
  bool on = false, off = false;
};

int runTrust(TrustOptions& o) {
  checkSelector(o.selector, SelectorKind::Certificate);
  // Only certificates carry a trust mark.
  o.selector.hasTable = true;
  o.selector.table = Table::Key;
  const auto [password, db] = openDatabase(o.db, true);
  const Match m = requireRecords(*db, o.selector, true).front();
  std::unique_ptr<VELASNKeyRecord> r(db->getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(m.id)));
  if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
  const bool wanted = !o.off;
  const std::string name = "keys #" + std::to_string(m.id) + " \"" + printable(m.label) + "\"";
  if (r->isTrusted() == wanted) {
    std::cout << name << " is already " << (wanted ? "trusted" : "not trusted") << "\n";
    return 0;
  }
  r->setTrusted(wanted);
  db->updateKeyByIndex(VELDBManager::KeyRecordID, *r);
  std::cout << name << (wanted ? ": now trusted" : ": no longer trusted") << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {
    "trust", "mark a stored certificate trusted, or clear the mark",
    "trust -d BASE (LABEL | --label L | --id N | --subject NAME | --serial HEX [--issuer NAME] | --fingerprint HEX) "
    "[--on | --off]",
    R"(Marks one stored certificate trusted, or with --off no longer trusted, in one change of its record,
and says what changed (a certificate already so is left as it is).  verify-chain takes the trusted
certificates as its trust anchors; list and show print the mark.)"};

Command addTrust(CLI::App& root) {
  auto o = std::make_shared<TrustOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addSelector(app, o->selector, SelectorKind::Certificate, true);
  CLI::Option* on = app->add_flag("--on", o->on, "set the trust mark (the default)");
  app->add_flag("--off", o->off, "clear the trust mark instead of setting it")->excludes(on);
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runTrust(*o); }, SelectorHelp::Certificate};
}

}  // namespace velkdb
