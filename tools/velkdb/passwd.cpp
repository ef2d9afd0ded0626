// passwd: change the database password and re-wrap every private key.
//
// The change runs in steps that each leave every key and every table
// readable with the old or the new password:
//   1. find each table's password (old or new) by opening it alone;
//   2. check that every private key opens with the old or the new password
//      (nothing has changed yet when one does not);
//   3. write the marker file <base>.velkdb-passwd;
//   4. re-wrap each key still under the old password under the new one, all
//      in one transaction (all of them or, after a stop, none);
//   5. change the password (and expiry) of each table still under the old
//      one, one journaled table change at a time (on a failure the tables
//      already changed are set back);
//   6. remove the marker.
// A process that dies anywhere leaves a state that step 1 and 2 recognise,
// so the same command run again completes the change.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <string>

#include "commands.h"
#include "filedbtransactionguard.h"
#include "interrupt.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

// What the file `st` describes is, when it is no marker of ours; empty when
// it is a regular file of this user with no other name.
std::string foreignFile(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_uid != geteuid()) return "a file of another user";
  if (st.st_nlink != 1) return "a file with another name (a hard link)";
  return std::string();
}

// The marker is always made new, never opened where it stands: a hard link
// planted at its name would have another file truncated and written, a
// FIFO would hang the open.  A marker an earlier run left (a regular file
// of this user with no other name) is removed first; anything else at the
// name is refused before anything changes.
void writeMarker(const DbPaths& paths) {
  const std::string text =
      "A velkdb password change of this database is under way or was interrupted.\n"
      "Run `velkdb passwd` with the same old and new passwords to complete it.\n";
  const std::string path = paths.marker();
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    if (errno != EEXIST || attempt == 2) throwSystemError(VELDBError::kCannotCreate, path, errno);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    const std::string foreign = foreignFile(st);
    if (!foreign.empty()) {
      VELDB_THROW(VELDBError::kCannotCreate, path + ": is " + foreign + ", not velkdb's marker; nothing was changed "
                                                     "(remove it, then run passwd again)");
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) throwSystemError(VELDBError::kCannotDelete, path, errno);
  }
  std::size_t done = 0;
  int error = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  close(fd);
  if (error != 0) throwSystemError(VELDBError::kWrite, path, error);
}

// A signal before the keys' transaction commits leaves the keys as they
// were: a marker this run put down is taken away again, and the database
// is as before the run.
struct MarkerUndo {
  const DbPaths& paths;
  bool armed;
  ~MarkerUndo() {
    if (armed && pendingSignal() != 0) unlink(paths.marker().c_str());
  }
};

enum class Which { Old, New };

// Which password a private key opens with; throws when neither.
Which keyPassword(const VELASNCBuffer& epki, const Secret& oldPw, const Secret& newPw, const std::string& what) {
  if (unwrapPrivateKey(epki, oldPw)) return Which::Old;
  if (unwrapPrivateKey(epki, newPw)) return Which::New;
  VELDB_THROW(VELDBError::kBadPassword,
              what + ": private key opens with neither the old nor the new password; nothing was changed");
}

}  // namespace

int cmdPasswd(const Args& args) {
  const DbPaths paths = databasePaths(args);
  const bool hasExpiry = args.has("expire");
  const long long expiryGiven = hasExpiry ? parseExpiry(args.get("expire")) : 0;
  const Secret oldPw = databasePassword(args);
  PasswordOptions newOptions;
  newOptions.file = args.get("new-password-file");
  newOptions.fileOption = "--new-password-file";
  newOptions.envName = "VELKDB_NEW_PASSWORD";
  newOptions.prompt = "New database password: ";
  const Secret newPw = obtainPassword(newOptions, true);
  if (newPw == oldPw) VELDB_THROW(VELDBError::kBadPassword, "the new password equals the old one");
  if (!args.has("weak-password-ok")) warnIfWeakPassword(newPw);
  if (!fileExists(paths.file(Table::Key))) VELDB_THROW(VELDBError::kCannotOpen, "no database " + paths.base);

  // 1. Each table's password.
  struct TableState {
    Table table;
    bool present = false;
    Which password = Which::Old;
    long long expiry = 0;
  };
  std::vector<TableState> tables;
  for (Table t : kTables) {
    TableState s;
    s.table = t;
    s.present = fileExists(paths.file(t));
    if (s.present) {
      try {
        TableHandle h(paths, t, oldPw, false);
        s.expiry = h.db().getDBPasswordExpirationTime();
      } catch (const VELException& e) {
        if (e.getError() != VELDBError::kBadPassword) throw;
        try {
          TableHandle h(paths, t, newPw, false);
          s.expiry = h.db().getDBPasswordExpirationTime();
          s.password = Which::New;
        } catch (const VELException& e2) {
          if (e2.getError() != VELDBError::kBadPassword) throw;
          rethrowWithContext(e, std::string(tableName(t)) + " table opens with neither the old nor the new password");
        }
      }
    }
    tables.push_back(s);
  }
  const long long expiry = hasExpiry ? expiryGiven : tables.front().expiry;
  const bool resumed = fileExists(paths.marker());
  bool anyOld = false;
  for (const TableState& s : tables) anyOld = anyOld || (s.present && s.password == Which::Old);

  // 2. Every private key opens with one of the two passwords.
  auto secretOf = [&](const TableState& s) -> const Secret& { return s.password == Which::Old ? oldPw : newPw; };
  unsigned toRewrap = 0;
  {
    TableHandle keys(paths, Table::Key, secretOf(tables[0]), false);
    forEachKey(keys.db(), [&](VELASNKeyRecord& r) {
      if (r.hasPrivateKey() &&
          keyPassword(r.getPrivateKey().getEncoding(), oldPw, newPw, "keys #" + std::to_string(idOf(r))) == Which::Old) {
        ++toRewrap;
      }
    });
  }
  if (tables[1].present) {
    TableHandle pairs(paths, Table::KeyPair, secretOf(tables[1]), false);
    forEachKeyPair(pairs.db(), [&](VELASNKeyPairRecord& r) {
      if (keyPassword(r.getKeyPair().getPrivateKeyEncoding(), oldPw, newPw,
                      "keypairs #" + std::to_string(idOf(r))) == Which::Old) {
        ++toRewrap;
      }
    });
  }
  if (!anyOld && toRewrap == 0 && !resumed) {
    // Every table and every key is under the new password and no change
    // is under way: a change that completed (its process perhaps stopped
    // before it said so), run again.  Only an expiry given is left to set.
    if (hasExpiry) {
      for (const TableState& s : tables) {
        if (!s.present) continue;
        TableHandle h(paths, s.table, newPw, true);
        h.db().setDBPasswordExpirationTime(expiry);
      }
    }
    std::cout << "the database password is already the new one; nothing to do; password expires "
              << expiryText(expiry) << "\n";
    return 0;
  }
  if (resumed) std::cout << "completing an interrupted password change\n";

  // 3. The marker goes down before the first change.
  writeMarker(paths);
  MarkerUndo undoMarker{paths, !resumed};
  if (resumed) setInterruptOutcome("the password change is still incomplete; run the same passwd again to complete it");

  // 4. Re-wrap the keys still under the old password, in one transaction.
  // The key and key-pair tables are under one password, except after a stop
  // between the two in step 5 (and then every key is re-wrapped already);
  // tables under different passwords need a manager, and so a transaction,
  // each.
  std::size_t rewrapped = 0;
  auto rewrapKeys = [&](FileDBManager& db) {
    std::vector<unsigned> ids;
    forEachKey(db, [&](VELASNKeyRecord& r) {
      if (r.hasPrivateKey()) ids.push_back(idOf(r));
    });
    for (unsigned id : ids) {
      checkInterrupt();
      std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(id)));
      Ossl<EVP_PKEY> key = unwrapPrivateKey(r->getPrivateKey().getEncoding(), oldPw);
      if (!key) continue;  // already under the new password
      const VELBuffer wrapped = wrapPrivateKey(key.get(), newPw);
      const VELASNCertificate cert = r->getCertificate();
      r->setKeyAndCertificate(cert, VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      db.updateKeyByIndex(VELDBManager::KeyRecordID, *r);
      testCrashPoint("rewrap", ++rewrapped);
    }
  };
  auto rewrapKeyPairs = [&](FileDBManager& db) {
    std::vector<unsigned> ids;
    forEachKeyPair(db, [&](VELASNKeyPairRecord& r) { ids.push_back(idOf(r)); });
    for (unsigned id : ids) {
      checkInterrupt();
      std::unique_ptr<VELASNKeyPairRecord> r(
          db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, VELDBUtility::recordIDToASN(id)));
      const VELASNKeyPair pair = r->getKeyPair();
      Ossl<EVP_PKEY> key = unwrapPrivateKey(pair.getPrivateKeyEncoding(), oldPw);
      if (!key) continue;
      const VELBuffer wrapped = wrapPrivateKey(key.get(), newPw);
      r->setKeyPair(pair.getSubjectPublicKeyInfo(), VELASNEncryptedPrivateKeyInfo(wrapped.get()));
      db.updateKeyPairByIndex(VELDBManager::KeyPairRecordID, *r);
      testCrashPoint("rewrap", ++rewrapped);
    }
  };
  if (!tables[1].present || tables[1].password == tables[0].password) {
    KeyTables keyTables(paths, secretOf(tables[0]));
    FileDBTransactionGuard transaction(keyTables.db());
    rewrapKeys(keyTables.db());
    if (tables[1].present) rewrapKeyPairs(keyTables.db());
    transaction.commit();
  } else {
    {
      TableHandle keys(paths, Table::Key, secretOf(tables[0]), true);
      FileDBTransactionGuard transaction(keys.db());
      rewrapKeys(keys.db());
      transaction.commit();
    }
    TableHandle pairs(paths, Table::KeyPair, secretOf(tables[1]), true);
    FileDBTransactionGuard transaction(pairs.db());
    rewrapKeyPairs(pairs.db());
    transaction.commit();
  }

  // The keys are under the new password: from here the change is finished,
  // not stopped, whatever signal comes.
  undoMarker.armed = false;
  const DeferInterrupts finishing;

  // 5. The tables' passwords, key table first.
  std::vector<const TableState*> changed;
  int tableSteps = 0;
  try {
    for (const TableState& s : tables) {
      if (!s.present) continue;
      TableHandle h(paths, s.table, secretOf(s), true);
      if (s.password == Which::Old) {
        h.db().setDBPassword(toEncryptor(oldPw), toEncryptor(newPw), expiry);
        changed.push_back(&s);
      } else {
        h.db().setDBPasswordExpirationTime(expiry);
      }
      testCrashPoint("table", ++tableSteps);
    }
  } catch (const VELException& e) {
    bool restored = true;
    for (const TableState* s : changed) {
      try {
        TableHandle h(paths, s->table, newPw, true);
        h.db().setDBPassword(toEncryptor(newPw), toEncryptor(oldPw), tables.front().expiry);
      } catch (const VELException&) {
        restored = false;
      }
    }
    rethrowWithContext(e, std::string("password change stopped; ") +
                              (restored ? "the tables keep the old password" : "the tables are mixed") +
                              ", keys open with the old or the new password; run the same passwd again to complete it");
  }

  // 6. Done.
  if (unlink(paths.marker().c_str()) != 0 && errno != ENOENT) {
    throwSystemError(VELDBError::kCannotDelete, paths.marker(), errno);
  }
  std::cout << "password changed; " << rewrapped << (rewrapped == 1 ? " private key" : " private keys")
            << " re-wrapped; password expires " << expiryText(expiry) << "\n";
  return 0;
}

}  // namespace velkdb
