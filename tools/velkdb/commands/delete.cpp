// `velkdb delete`: records deleted in one transaction.
#include <algorithm>
#include <iostream>
#include <memory>

#include "cli.h"
#include "filedbtransactionguard.h"
#include "interrupt.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

int runDelete(const RecordOptions& o) {
  const Selector& selector = o.selector;
  const auto [password, db] = openDatabase(o.db, true);
  const std::vector<Match> found = requireRecords(*db, selector, false);
  if (!selector.hasTable && (selector.hasId || !selector.label.empty())) {
    // An ID or label names one record per table: refuse to guess which.
    std::vector<std::string> tables;
    for (const Match& m : found) {
      if (std::find(tables.begin(), tables.end(), tableName(m.table)) == tables.end())
        tables.push_back(tableName(m.table));
    }
    if (tables.size() > 1) {
      std::string names, options;
      for (std::size_t i = 0; i < tables.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == tables.size() ? " and " : ", ") + tables[i];
        options += (i == 0 ? "" : " or ") + std::string("--table ") + tables[i];
      }
      const std::string what =
          selector.hasId ? "ID " + std::to_string(selector.id) : "label \"" + printable(selector.label) + "\"";
      VELDB_THROW(VELDBError::kBadArgument, what + " is in the tables " + names + ": add " + options);
    }
  }
  // Every match or none, also when the process is killed: one transaction,
  // and nothing is reported deleted before it commits.
  unsigned long long deleted = 0;
  std::string report;
  {
    FileDBTransactionGuard transaction(*db);
    for (std::size_t i = 0; i < found.size(); ++i) {
      checkInterrupt();
      const Match& m = found[i];
      const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
      if (m.table == Table::Key) deleted += db->deleteKeyByIndex(VELDBManager::KeyRecordID, id);
      if (m.table == Table::KeyPair) deleted += db->deleteKeyPairByIndex(VELDBManager::KeyPairRecordID, id);
      if (m.table == Table::CRL) deleted += db->deleteCRLByIndex(VELDBManager::CRLRecordID, id);
      report += "deleted " + std::string(tableName(m.table)) + " #" + std::to_string(m.id) + " \"" +
                printable(m.label) + "\"\n";
      testCrashPoint("delete", i + 1);
    }
    transaction.commit();
  }
  std::cout << report << "deleted " << deleted << (deleted == 1 ? " record" : " records") << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {"delete", "delete records",
                           "delete -d BASE (LABEL | --label L | --id N | --subject NAME | --issuer NAME | --serial HEX [--issuer NAME] | "
    "--fingerprint HEX) [--table T]",
                           R"(Deletes every matching record (by issuer: certificates and CRLs of that issuer) in one transaction,
all or none, and prints what it deleted and from which table.  A LABEL or ID found in several tables
is refused, naming the tables, unless --table says which.)"};

Command addDelete(CLI::App& root) { return selectorCommand(root, kText, "this table only", runDelete); }

}  // namespace velkdb
