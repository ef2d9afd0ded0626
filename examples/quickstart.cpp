// quickstart: open (or create) a key database, store a certificate under a
// label in a transaction, look it up again and list the key table.  It
// includes the manager and the transaction guard only: what an application
// needs of the library.
//
//   velfiledb_example <database base name> <certificate.der> <label>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "filedbmanager.h"
#include "filedbtransactionguard.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: " << argv[0] << " <database> <certificate.der> <label>\n";
    return 2;
  }
  try {
    std::ifstream in(argv[2], std::ios::binary);
    const VELString der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const VELPasswordEncryptor password("example password", 16);

    // Open the three table files <database>.vkey/.vkyp/.vcrl, creating
    // them (version 4) on first use.
    const bool exists = std::ifstream(VELString(argv[1]) + ".vkey").good();
    VELDBConnectInfo::FILE info(argv[1], password, exists ? VELDBConnectInfo::Open : VELDBConnectInfo::CreateV4,
                                VELDBConnectInfo::ReadWrite);
    FileDBManager db(info);

    // Insert a certificate (without private key) under a label: durable
    // at the commit, or not at all.
    VELASNKeyRecord record;
    record.setCertificate(VELASNCBuffer(der.data(), der.size()));
    record.setLabel(argv[3]);
    FileDBTransactionGuard transaction(db);
    db.insertKey(record);
    transaction.commit();
    std::cout << "inserted record " << record.getRecordID().getUnsignedValue() << "\n";

    // Look it up by label; the caller owns what comes back.
    std::unique_ptr<VELASNKeyRecord> found(db.getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString(argv[3])));
    std::cout << "found: " << (found ? "yes" : "no") << "\n";

    // Walk the key table.
    std::unique_ptr<VELDBIterator> it(db.getKeyIterator());
    while (std::unique_ptr<VELASNKeyRecord> r{db.getKeyNextRecord(*it)}) {
      std::cout << r->getRecordID().getUnsignedValue() << "  " << r->getLabel().getValue() << "\n";
    }
  } catch (const VELDBException& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
