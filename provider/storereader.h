// storereader.h -- what a velkdb: URI names, read out of the database.
//
// `readStore` opens the database read-only through FileDBManager, copies
// the objects the query and the caller's expectations ask for, and closes
// it again before it returns: the application never holds the database
// open while it runs.  Private keys are copied as stored (wrapped under the
// database password); `unwrapPrivateKey` opens one when it is handed on, in
// memory only.
//
// Order: per key record its certificate, then its private key (or public
// key); then the key pairs' keys; then the CRLs.  A subject search (a CA
// store looking up an issuer) gives the certificates of that subject and
// the CRLs of that issuer, never keys.
//
// A database that another process holds (a writer's lock, or the journal of
// a change under way) is tried again after short pauses until `lockWait`
// seconds have passed, then refused as in use.  A journal that nobody is
// writing is an interrupted change: refused at once, naming the command that
// finishes it.
#ifndef PROVIDER_STOREREADER_H
#define PROVIDER_STOREREADER_H

#include <openssl/types.h>

#include <string>
#include <vector>

#include "secretbytes.h"
#include "storeuri.h"

namespace velstore {

struct StoreObject {
  enum class Kind { kCertificate, kPrivateKey, kPublicKey, kCRL };
  Kind kind = Kind::kCertificate;
  // The certificate, the CRL, the SubjectPublicKeyInfo, or the stored
  // EncryptedPrivateKeyInfo.
  std::vector<unsigned char> der;
  // "keys #3 \"web\"": the table, record ID and label it comes from.
  std::string description;
};

struct ReadOptions {
  bool certificates = true;
  bool privateKeys = true;
  bool publicKeys = false;
  bool crls = true;
  std::string subject;  // DER of a Name; empty: no subject search
  double lockWait = 5.0;
};

// The objects of `query`.  Throws StoreError: kNoDatabase, kWrongPassword,
// kInUse, kInterrupted, kDamaged, kDatabase for the database, and
// kNoSuchRecord when a selection (label, id, fingerprint, serial) finds no
// record, finds several, or finds one that holds nothing of what is asked
// for.
std::vector<StoreObject> readStore(const StoreQuery& query, const SecretBytes& password, const ReadOptions& options);

// The DER PrivateKeyInfo inside the stored key `object`, decrypted with
// `password` using `libctx`.  Throws StoreError kKeyDoesNotOpen.
SecretBytes unwrapPrivateKey(const StoreObject& object, const SecretBytes& password, OSSL_LIB_CTX* libctx);

}  // namespace velstore

#endif
