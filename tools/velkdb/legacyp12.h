// legacyp12.h -- reading PKCS#12 files written with the older algorithms.
//
// Older tools encrypt a PKCS#12 file's certificates with RC2-40 (and keys
// with 3DES, or RC2 or RC4 or single DES).  OpenSSL 3 keeps RC2, RC4 and
// single DES in its legacy provider, which is not loaded by default: such a
// file fails to parse for a reason it does not tell.  Before a PKCS#12 file
// is parsed, the algorithms it names are looked at; when one of their
// ciphers is not available the legacy provider (and the default one beside
// it) is loaded, and when that provider is not installed the file is
// refused saying which algorithm it needs.
#ifndef VELKDB_LEGACYP12_H
#define VELKDB_LEGACYP12_H

#include <openssl/pkcs12.h>

#include <string>
#include <vector>

namespace velkdb {

// The encryption algorithms of `p12` that are readable without opening
// anything: those of its encrypted contents and of the shrouded keys in its
// unencrypted contents (OpenSSL NIDs of the PBE or PBES2 scheme's cipher;
// a PBE scheme's own NID when its cipher is unknown).
std::vector<int> pkcs12Ciphers(PKCS12* p12);

// Makes every cipher of `p12` available, loading the legacy provider when
// one is missing.  Throws 0x8B67A naming `path` and the algorithm when the
// cipher still cannot be had.
void enableLegacyPKCS12(const std::string& path, PKCS12* p12);

}  // namespace velkdb

#endif
