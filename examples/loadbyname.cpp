// loadbyname: reach a key database through the companion library alone.
// The program links only libvelcert_64; its library manager loads
// libvelfiledb_64 from beside it on the first request for "velfiledb".
//
//   velfiledb_loadbyname <database base name> <label>
//
// Opens the database that quickstart wrote (same password), read-only, and
// looks the label up.  Exit status 0 when found, 1 when not or on an error.
#include <iostream>
#include <memory>

#include "veldbconnectinfo.h"
#include "veldbmanager.h"
#include "velexception.h"
#include "vellibrarymanager.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " <database> <label>\n";
    return 2;
  }
  try {
    const VELPasswordEncryptor password("example password", 16);
    VELDBConnectInfo::FILE info(argv[1], password, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
    std::unique_ptr<VELDBManager> db(static_cast<VELDBManager*>(VELLibraryManager::createObject("velfiledb", &info)));

    std::unique_ptr<VELASNKeyRecord> found(db->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString(argv[2])));
    if (!found) {
      std::cout << "not found: " << argv[2] << "\n";
      return 1;
    }
    std::cout << "found record " << found->getRecordID().getUnsignedValue() << " (" << found->getLabel().getValue()
              << ") through the library manager\n";
  } catch (const VELDBException& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
