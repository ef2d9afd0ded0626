// find.h -- finding certificates by serial number or fingerprint, and the
// report of what ends soon (`list --expiring DAYS`, `list --expired`).
//
// Serial numbers are written in hexadecimal, with or without colons or
// spaces, in any case, with or without leading zeros; they are compared as
// numbers.  Fingerprints are the SHA-256 (64 hex digits) or SHA-1 (40 hex
// digits) digest of the certificate's DER, told apart by their length.
#ifndef VELKDB_FIND_H
#define VELKDB_FIND_H

#include <string>
#include <vector>

#include "commands.h"

namespace velkdb {

// The serial number as upper-case hex without separators or leading zeros
// ("0" for zero, a leading "-" kept).  Throws UsageError for anything that
// is not hex.
std::string normalizeSerial(const std::string& text);

struct Fingerprint {
  std::string hex;  // upper case, no separators
  bool sha1 = false;
};
// Throws UsageError unless `text` is 40 or 64 hex digits (colons, spaces
// allowed between them).
Fingerprint parseFingerprint(const std::string& text);

// Upper-case hex of `der`'s digest, bytes separated by colons when `colons`.
std::string digestHex(const VELASNCBuffer& der, bool sha1, bool colons);

// Appends the key records whose certificate matches `s.serial` (and
// `s.issuer` when given) or `s.fingerprint`.  A serial without --issuer that
// several issuers use is refused with 0x8B67A naming every match.
void findCertificates(FileDBManager& db, const Selector& s, std::vector<Match>& found);

// One certificate or CRL and when it ends: a certificate's notAfter, a
// CRL's nextUpdate.
struct Ending {
  long long end = 0;  // seconds since 1970
  Table table = Table::Key;
  unsigned id = 0;
  std::string label;
  std::string name;  // certificate subject, CRL issuer
  std::string endText;
};
// Those of `all` that end before `horizon`, sorted by end (then table, ID).
std::vector<Ending> endingBefore(std::vector<Ending> all, long long horizon);

// `list --expiring DAYS` (`days` >= 0) or `list --expired` (`days` < 0):
// certificates and CRLs (of `table` only when `hasTable`) that end within
// `days` days of `now` or have ended already, sorted by end.  Returns how
// many it printed.
std::size_t printEnding(FileDBManager& db, const std::string& dbName, bool json, bool hasTable, Table table,
                        long long now, long long days);

}  // namespace velkdb

#endif
