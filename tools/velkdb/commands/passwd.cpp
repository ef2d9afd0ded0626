// passwd: change the database password and re-wrap every private key.
//
// The change is one transaction: every private key still under the old
// password is re-wrapped under the new one, and every table takes the new
// password, all committed together or not at all.  A process that dies at
// any point leaves the database under one password, old or new, with every
// key under it (the next read-write open with either finishes what the
// transaction decided); the same command run again then completes the
// change, or says that it is done.
//
// Before anything changes, each table is opened alone to learn its
// password (old or new), and every private key must open with one of the
// two.  Tables found under different passwords (a change an earlier release
// left half done) are brought to the new one table by table.
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "filedbtransactionguard.h"
#include "interrupt.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

enum class Which { Old, New };

// Which password a private key opens with; throws when neither.
Which keyPassword(const VELASNCBuffer& epki, const Secret& oldPw, const Secret& newPw, const std::string& what) {
  if (unwrapPrivateKey(epki, oldPw)) return Which::Old;
  if (unwrapPrivateKey(epki, newPw)) return Which::New;
  VELDB_THROW(VELDBError::kBadPassword,
              what + ": private key opens with neither the old nor the new password; nothing was changed");
}

}  // namespace

namespace {

struct PasswdOptions {
  DbOptions db;
  std::string newPasswordFile;
  bool hasExpiry = false;
  long long expiry = 0;
  bool weakPasswordOk = false;
};

// One password change: the tables' state read first, then every key
// checked, then the change made.
class PasswordChange {
 public:
  PasswordChange(const DbPaths& paths, const Secret& oldPw, const Secret& newPw)
      : d_paths(paths), d_oldPw(oldPw), d_newPw(newPw) {}

  // 1. Each table's password and expiry.  The expiry kept is the key
  // table's unless `given`.
  void readTables(const long long* given);
  // 2. Every private key opens with one of the two passwords; counts those
  // under the old one.
  void checkKeys();
  // True when nothing is left to change (a change that completed, run
  // again).
  bool done() const;
  // 3. Re-wraps the keys still under the old password and changes the
  // tables' passwords.
  void change();

  long long expiry() const { return d_expiry; }
  // An expiry kept from the old password that has passed would leave the
  // new password expired the moment it is set: it goes.  True when so.
  bool dropPassedExpiry(long long now) {
    if (d_expiry == 0 || d_expiry > now) return false;
    d_expiry = 0;
    return true;
  }
  std::size_t rewrapped() const { return d_rewrapped; }
  // Sets the expiry of every table (all under the new password).
  void setExpiry();

 private:
  struct TableState {
    Table table;
    bool present = false;
    Which password = Which::Old;
    long long expiry = 0;
  };
  const Secret& secretOf(const TableState& s) const { return s.password == Which::Old ? d_oldPw : d_newPw; }
  void readAlone(TableState& s);
  void countKeys(FileDBManager& db);
  void countKeyPairs(FileDBManager& db);
  void rewrapKeys(FileDBManager& db);
  void rewrapKeyPairs(FileDBManager& db);
  void changeAll();
  void changeTableByTable();

  const DbPaths& d_paths;
  const Secret& d_oldPw;
  const Secret& d_newPw;
  std::vector<TableState> d_tables;
  std::unique_ptr<FileDBManager> d_whole;  // when the whole database opens with the old password
  long long d_expiry = 0;
  unsigned d_toRewrap = 0;
  std::size_t d_rewrapped = 0;
};

void PasswordChange::readAlone(TableState& s) {
  try {
    TableHandle h(d_paths, s.table, d_oldPw, false);
    s.expiry = h.db().getDBPasswordExpirationTime();
  } catch (const VELException& e) {
    if (e.getError() != VELDBError::kBadPassword) throw;
    try {
      TableHandle h(d_paths, s.table, d_newPw, false);
      s.expiry = h.db().getDBPasswordExpirationTime();
      s.password = Which::New;
    } catch (const VELException& e2) {
      if (e2.getError() != VELDBError::kBadPassword) throw;
      rethrowWithContext(e, std::string(tableName(s.table)) + " table opens with neither the old nor the new password");
    }
  }
}

void PasswordChange::readTables(const long long* given) {
  // In the usual case the whole database opens with the old password, and
  // no table is opened alone (which takes a scratch folder that a killed
  // process would leave behind).
  try {
    d_whole = openDatabase(d_paths, d_oldPw, false);
  } catch (const VELException& e) {
    if (e.getError() != VELDBError::kBadPassword) throw;
  }
  for (Table t : kTables) {
    TableState s;
    s.table = t;
    s.present = fileExists(d_paths.file(t));
    if (d_whole) {
      s.expiry = d_whole->getDBPasswordExpirationTime();
    } else if (s.present) {
      readAlone(s);
    }
    d_tables.push_back(s);
  }
  d_expiry = given != nullptr ? *given : d_tables.front().expiry;
}

void PasswordChange::countKeys(FileDBManager& db) {
  forEachKey(db, [&](VELASNKeyRecord& r) {
    if (r.hasPrivateKey() && keyPassword(r.getPrivateKey().getEncoding(), d_oldPw, d_newPw,
                                         "keys #" + std::to_string(idOf(r))) == Which::Old) {
      ++d_toRewrap;
    }
  });
}

void PasswordChange::countKeyPairs(FileDBManager& db) {
  forEachKeyPair(db, [&](VELASNKeyPairRecord& r) {
    if (keyPassword(r.getKeyPair().getPrivateKeyEncoding(), d_oldPw, d_newPw,
                    "keypairs #" + std::to_string(idOf(r))) == Which::Old) {
      ++d_toRewrap;
    }
  });
}

void PasswordChange::checkKeys() {
  if (d_whole) {
    countKeys(*d_whole);
    if (d_tables[1].present) countKeyPairs(*d_whole);
    d_whole.reset();
    return;
  }
  {
    TableHandle keys(d_paths, Table::Key, secretOf(d_tables[0]), false);
    countKeys(keys.db());
  }
  if (d_tables[1].present) {
    TableHandle pairs(d_paths, Table::KeyPair, secretOf(d_tables[1]), false);
    countKeyPairs(pairs.db());
  }
}

bool PasswordChange::done() const {
  bool anyOld = false;
  for (const TableState& s : d_tables) anyOld = anyOld || (s.present && s.password == Which::Old);
  return !anyOld && d_toRewrap == 0;
}

void PasswordChange::setExpiry() {
  for (const TableState& s : d_tables) {
    if (!s.present) continue;
    TableHandle h(d_paths, s.table, d_newPw, true);
    h.db().setDBPasswordExpirationTime(d_expiry);
  }
}

void PasswordChange::rewrapKeys(FileDBManager& db) {
  std::vector<unsigned> ids;
  forEachKey(db, [&](VELASNKeyRecord& r) {
    if (r.hasPrivateKey()) ids.push_back(idOf(r));
  });
  for (unsigned id : ids) {
    checkInterrupt();
    std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(id)));
    Ossl<EVP_PKEY> key = unwrapPrivateKey(r->getPrivateKey().getEncoding(), d_oldPw);
    if (!key) continue;  // already under the new password
    const VELBuffer wrapped = wrapPrivateKey(key.get(), d_newPw);
    const VELASNCertificate cert = r->getCertificate();
    r->setKeyAndCertificate(cert, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
    db.updateKeyByIndex(VELDBManager::KeyRecordID, *r);
    testCrashPoint("rewrap", ++d_rewrapped);
  }
}

void PasswordChange::rewrapKeyPairs(FileDBManager& db) {
  std::vector<unsigned> ids;
  forEachKeyPair(db, [&](VELASNKeyPairRecord& r) { ids.push_back(idOf(r)); });
  for (unsigned id : ids) {
    checkInterrupt();
    std::unique_ptr<VELASNKeyPairRecord> r(
        db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(id)));
    const VELASNKeyPair pair = r->getKeyPair();
    Ossl<EVP_PKEY> key = unwrapPrivateKey(pair.getPrivateKeyEncoding(), d_oldPw);
    if (!key) continue;
    const VELBuffer wrapped = wrapPrivateKey(key.get(), d_newPw);
    r->setKeyPair(pair.getSubjectPublicKeyInfo(), VELASNEncryptedPrivateKeyInfo(wrapped.get()));
    db.updateKeyPairByIndex(VELDBManager::KeyPairRecordID, *r);
    testCrashPoint("rewrap", ++d_rewrapped);
  }
}

void PasswordChange::changeAll() {
  // One transaction: every key re-wrapped and every table's new password
  // commit together, or nothing does -- also when the process is killed
  // or the power fails at any point (a read-write open with either
  // password then finishes what the transaction decided).
  // (An absent key-pair table is not made: the transaction's stands in a
  // private scratch folder.)
  KeyTables all(d_paths, d_oldPw, true);
  FileDBManager& db = all.db();
  FileDBTransactionGuard transaction(db);
  rewrapKeys(db);
  if (d_tables[1].present) rewrapKeyPairs(db);
  checkInterrupt();
  db.setDBPassword(toEncryptor(d_oldPw), toEncryptor(d_newPw), d_expiry);
  testCrashPoint("table", 1);
  transaction.commit();
}

void PasswordChange::changeTableByTable() {
  // Tables under different passwords (a change an earlier release left
  // half done): each table still under the old one takes the new one in
  // a transaction of its own, with its keys.
  std::cout << "completing an interrupted password change\n";
  int tableSteps = 0;
  for (const TableState& s : d_tables) {
    if (!s.present) continue;
    TableHandle h(d_paths, s.table, secretOf(s), true);
    FileDBTransactionGuard transaction(h.db());
    if (s.table == Table::Key) rewrapKeys(h.db());
    if (s.table == Table::KeyPair) rewrapKeyPairs(h.db());
    if (s.password == Which::Old) {
      h.db().setDBPassword(toEncryptor(d_oldPw), toEncryptor(d_newPw), d_expiry);
    } else {
      h.db().setDBPasswordExpirationTime(d_expiry);
    }
    transaction.commit();
    testCrashPoint("table", ++tableSteps);
  }
}

void PasswordChange::change() {
  bool allOld = true;
  for (const TableState& s : d_tables) allOld = allOld && (!s.present || s.password == Which::Old);
  if (allOld) {
    changeAll();
  } else {
    changeTableByTable();
  }
}

int runPasswd(const PasswdOptions& o) {
  const DbPaths paths = databasePaths(o.db);
  const Secret oldPw = databasePassword(o.db);
  PasswordOptions newOptions;
  newOptions.file = o.newPasswordFile;
  newOptions.fileOption = "--new-password-file";
  newOptions.envName = "VELKDB_NEW_PASSWORD";
  newOptions.prompt = "New database password: ";
  const Secret newPw = obtainPassword(newOptions, true);
  if (newPw == oldPw) VELDB_THROW(VELDBError::kBadPassword, "the new password equals the old one");
  if (!o.weakPasswordOk) warnIfWeakPassword(newPw);
  if (!fileExists(paths.file(Table::Key))) VELDB_THROW(VELDBError::kCannotOpen, "no database " + paths.base);

  PasswordChange change(paths, oldPw, newPw);
  change.readTables(o.hasExpiry ? &o.expiry : nullptr);
  const long long oldExpiry = change.expiry();
  const bool expiryDropped = !o.hasExpiry && change.dropPassedExpiry(static_cast<long long>(std::time(nullptr)));
  if (expiryDropped) {
    std::cerr << "velkdb: warning: the password expiry " << expiryText(oldExpiry)
              << " has passed; the new password does not expire (set one with --expire or velkdb expire)\n";
  }
  change.checkKeys();
  if (change.done()) {
    // Every table and every key is under the new password: a change that
    // completed (its process perhaps stopped before it said so), run
    // again.  Only an expiry given is left to set.
    if (o.hasExpiry || expiryDropped) change.setExpiry();
    std::cout << "the database password is already the new one; nothing to do; password expires "
              << expiryText(change.expiry()) << "\n";
    return 0;
  }
  change.change();
  const std::size_t rewrapped = change.rewrapped();
  std::cout << "password changed; " << rewrapped << (rewrapped == 1 ? " private key" : " private keys")
            << " re-wrapped; password expires " << expiryText(change.expiry()) << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {"passwd", "change the database password and re-wrap every private key",
                           "passwd -d BASE [--new-password-file FILE] [--expire WHEN] [--weak-password-ok]",
                           R"(Changes the password of every table and re-wraps every private key under the new password.  The new
password comes from --new-password-file, $VELKDB_NEW_PASSWORD or a prompt (asked twice).  Keys are
re-wrapped and the tables take the new password in one transaction: all of it commits or none, so
that at every moment the database, with every key, opens with the old or the new password.  If the
change stops (an error, a killed process), running the same passwd again completes it; run again
after the change completed, it has nothing to do and exits 0.  A new password shorter than 12
characters or among the most common ones is taken with a warning, as create does (--weak-password-ok
silences it).  The expiry stays as it was unless --expire is given; an expiry that has passed goes
(with a warning), since the new password would be expired from the start.  --expire with a time
that has passed is refused.)"};

Command addPasswd(CLI::App& root) {
  auto o = std::make_shared<PasswdOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  app->add_option("--new-password-file", o->newPasswordFile, "read the new password from the first line of FILE")
      ->option_text("FILE");
  addParsed(app, "--expire", "WHEN", "new password expiry: days from now, never, or YYYY-MM-DD",
            [o](const std::string& text) {
              o->expiry = parseExpiry(text);
              refusePassedExpiry(o->expiry, text, false, nullptr);
              o->hasExpiry = true;
            });
  app->add_flag("--weak-password-ok", o->weakPasswordOk, "no warning for a short or common new password");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runPasswd(*o); }};
}

}  // namespace velkdb
