// `velkdb verify`: every table's hashes, records and keys checked.
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "lockwait.h"
#include "text.h"

namespace velkdb {

const CommandText kText = {"verify", "check every table's hashes, records and keys",
                           "verify -d BASE",
                           R"(Opens every table alone, which checks the password hash, the hash over the header and every record
slot, and the file size; then decodes every record and checks that every private key opens with the
database password and matches its public key.  Reports per table; exits 1 on any fault.)"};

namespace {

int run(const DbOptions& db) { return printVerify(databasePaths(db), databasePassword(db)) == 0 ? 0 : 1; }

}  // namespace

int printVerify(const DbPaths& paths, const Secret& password) {
  int faults = 0;
  int pending = 0;
  for (Table t : kTables) {
    const std::string file = paths.file(t);
    std::cout << tableName(t) << ": ";
    // A journal that no live writer holds is a change a stopped process
    // left: the table is sound once one read-write open finishes it, and
    // cannot be checked before.
    const bool passwordChange = t == Table::Key && fileExists(paths.passwordJournal());
    if ((passwordChange || fileExists(paths.journal(t))) && !writeLockedByOther(file)) {
      ++pending;
      std::cout << "PENDING: an interrupted " << (passwordChange ? "password change" : "change")
                << " is pending; run `" << printable(recoverCommand(paths.base)) << "` to finish it\n";
      continue;
    }
    if (!fileExists(file)) {
      if (t == Table::Key) {
        ++faults;
        std::cout << "FAULT: " << printable(file) << " is missing\n";
      } else {
        std::cout << "absent\n";
      }
      continue;
    }
    try {
      // Opening checks the password hash, the hash over the header and
      // every slot, and the file size; walking decodes every record.
      TableHandle table(paths, t, password, false);
      FileDBManager& db = table.db();
      unsigned long long records = 0, keys = 0;
      std::vector<std::string> problems;
      auto checkKey = [&](unsigned id, const VELASNCBuffer& epki, EVP_PKEY* pub) {
        ++keys;
        Ossl<EVP_PKEY> key = unwrapPrivateKey(epki, password);
        if (!key) {
          problems.push_back("record " + std::to_string(id) + ": private key does not open with the database password");
        } else if (pub != nullptr && EVP_PKEY_eq(pub, key.get()) != 1) {
          problems.push_back("record " + std::to_string(id) + ": private key does not match its public key");
        }
      };
      if (t == Table::Key) {
        forEachKey(db, [&](VELASNKeyRecord& r) {
          ++records;
          Ossl<X509> cert = certFromDER(r.getCertificate().getEncoding());
          if (r.hasPrivateKey()) checkKey(idOf(r), r.getPrivateKey().getEncoding(), X509_get0_pubkey(cert.get()));
        });
      } else if (t == Table::KeyPair) {
        forEachKeyPair(db, [&](VELASNKeyPairRecord& r) {
          ++records;
          Ossl<EVP_PKEY> pub = publicKeyFromDER(r.getKeyPair().getSubjectPublicKeyInfoEncoding());
          requestFromDER(r.getCertificationRequest().getEncoding());
          checkKey(idOf(r), r.getKeyPair().getPrivateKeyEncoding(), pub.get());
        });
      } else {
        forEachCRL(db, [&](VELASNCRLRecord& r) {
          ++records;
          crlFromDER(r.getCRL().getEncoding());
        });
      }
      if (problems.empty()) {
        std::cout << "ok (version " << table.version() << ", " << records
                  << (records == 1 ? " record" : " records") << ", " << keys
                  << (keys == 1 ? " private key" : " private keys") << " checked)\n";
        if (table.version() == 3) std::cout << "  note: " << kVersion3Note << "\n";
      } else {
        faults += static_cast<int>(problems.size());
        std::cout << "FAULT\n";
        for (const std::string& p : problems) std::cout << "  " << p << "\n";
      }
    } catch (const VELException& e) {
      ++faults;
      std::cout << "FAULT: " << errorLine(e) << "\n";
    }
  }
  if (pending != 0) {
    std::cout << "verify: " << (faults == 0 ? std::string() : std::to_string(faults) + " fault(s), ") << pending
              << " interrupted change(s) pending; run `" << printable(recoverCommand(paths.base)) << "`\n";
    return faults + pending;
  }
  std::cout << (faults == 0 ? "verify: ok\n" : "verify: " + std::to_string(faults) + " fault(s)\n");
  return faults;
}

Command addVerify(CLI::App& root) { return databaseCommand(root, kText, run); }

}  // namespace velkdb
