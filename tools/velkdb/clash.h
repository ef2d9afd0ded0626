// clash.h -- naming the stored record that a refused insert or rename ran
// into, so that the error says which record is in the way and not only the
// number of the index that refused it.
#ifndef VELKDB_CLASH_H
#define VELKDB_CLASH_H

#include <string>

#include "commands.h"

namespace velkdb {

// "keys #3 \"web\" (subject CN=www.example.com)"; "" when the record is
// not there.
std::string describeRecord(FileDBManager& db, Table table, unsigned id);
// The record of `table` that has `label`, described; "" when none has it.
std::string recordWithLabel(FileDBManager& db, Table table, const std::string& label);
// The key record whose certificate has the issuer and serial number of
// `cert` (exact encodings), described; "" when none has them.
std::string recordWithIssuerAndSerial(FileDBManager& db, const VELASNCertificate& cert);

// Throws 0x8C245 naming the record that holds `label` in `table`, unless
// none does or it is the record `self` (0: none).
void requireLabelFree(FileDBManager& db, Table table, const std::string& label, unsigned self);

}  // namespace velkdb

#endif
