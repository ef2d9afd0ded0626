// storeuri.h -- reading a velkdb: URI.
//
//   velkdb:/path/to/base               every record of the database
//   velkdb:///path/to/base             the same (empty authority; "localhost" too)
//   velkdb:relative/base               resolved against the working directory
//   ...?label=L | ?id=N | ?fingerprint=HEX | ?serial=HEX[&issuer=DN]
//                                      one record: its certificate and key
//   ...?trusted                        the trusted certificates only
//   ...?crls                           the CRLs only
//   ...&password-file=FILE             the password from FILE's first line
//
// The base is the database's base name (its tables are BASE.vkey, .vkyp,
// .vcrl).  Path and values are percent-decoded ("%20" for a space, "%26"
// for "&"); a "+" stays a "+".  At most one of label, id, fingerprint,
// serial, trusted and crls is given; issuer goes only with serial.  A
// password never goes into the URI: "password=" is refused, as is any
// parameter not listed, a parameter given twice and a fragment.
#ifndef PROVIDER_STOREURI_H
#define PROVIDER_STOREURI_H

#include <string>

namespace velstore {

struct StoreQuery {
  enum class Select { kAll, kLabel, kID, kFingerprint, kSerial, kTrusted, kCRLs };

  std::string base;          // the database's base name, as decoded
  Select select = Select::kAll;
  std::string label;         // kLabel
  unsigned long id = 0;      // kID: 1 .. 2^32-1
  std::string fingerprint;   // kFingerprint: 40 or 64 upper-case hex digits
  std::string serial;        // kSerial: upper-case hex, no leading zeros, "-" kept
  std::string issuer;        // kSerial: the issuer's name as written, or empty
  std::string passwordFile;  // empty: none in the URI
};

// The query of `uri`; throws StoreError kBadURI naming the fault.
StoreQuery parseStoreURI(const std::string& uri);

// A serial number written in hexadecimal, with or without colons, spaces
// and leading zeros, in any case, as parseStoreURI keeps it; empty when it
// is not one.
std::string normalizeSerial(const std::string& text);

}  // namespace velstore

#endif
