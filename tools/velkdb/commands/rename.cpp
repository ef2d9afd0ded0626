// `velkdb rename`: a record's new label.
#include <iostream>
#include <memory>

#include "clash.h"
#include "cli.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

struct RenameOptions {
  DbOptions db;
  Selector selector;
  std::vector<std::string> words;  // [OLD] NEW
};

int runRename(RenameOptions& o) {
  // The last word is the new label; one before it names the record.
  if (o.words.empty()) throw UsageError("rename needs the NEW label");
  if (o.words.size() > 2) throw UsageError("give one LABEL");
  const std::string newLabel = o.words.back();
  checkNewLabel(newLabel);
  Selector& selector = o.selector;
  if (o.words.size() == 2) selector.positionalLabel = o.words.front();
  checkSelector(selector, SelectorKind::Record);
  const auto [password, db] = openDatabase(o.db, true);
  const Match m = requireRecords(*db, selector, true).front();
  requireLabelFree(*db, m.table, newLabel, m.id);
  const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
  if (m.table == Table::Key) {
    std::unique_ptr<VELASNKeyRecord> r(db->getKeyByIndex(VELDBManager::KeyRecordID, id));
    r->setLabel(newLabel);
    db->updateKeyByIndex(VELDBManager::KeyRecordID, *r);
  } else if (m.table == Table::KeyPair) {
    std::unique_ptr<VELASNKeyPairRecord> r(db->getKeyPairByIndex(VELDBManager::KeyPairRecordID, id));
    r->setLabel(newLabel);
    db->updateKeyPairByIndex(VELDBManager::KeyPairRecordID, *r);
  } else {
    std::unique_ptr<VELASNCRLRecord> r(db->getCRLByIndex(VELDBManager::CRLRecordID, id));
    r->setLabel(newLabel);
    db->updateCRLByIndex(VELDBManager::CRLRecordID, *r);
  }
  std::cout << "renamed " << tableName(m.table) << " #" << m.id << " \"" << printable(m.label) << "\" to \"" << newLabel
            << "\"\n";
  return 0;
}

}  // namespace

const CommandText kText = {"rename", "change a record's label",
                           "rename -d BASE (OLD | --label OLD | --id N | --subject NAME) [--table T] NEW",
                           R"(Gives one record the label NEW, one line of text (refused when NEW is in use in its table).)"};

Command addRename(CLI::App& root) {
  auto o = std::make_shared<RenameOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("WORDS", o->words, "the record's label (or another selector) and the NEW label");
  addSelector(app, o->selector, SelectorKind::Record, false);
  addTableOption(app, o->selector.hasTable, o->selector.table, "this table only");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runRename(*o); }, SelectorHelp::Record};
}

}  // namespace velkdb
