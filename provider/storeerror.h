// storeerror.h -- the failures of the velkdb: store, as the provider reports
// them in OpenSSL's error queue.
//
// Each failure carries one reason (a number the provider registers with its
// text, so that `openssl errstr` and ERR_print_errors name it) and a message
// with the particulars: the database, the record, the file, and for errors
// of the database the library's error number and meaning.
#ifndef PROVIDER_STOREERROR_H
#define PROVIDER_STOREERROR_H

#include <stdexcept>
#include <string>

namespace velstore {

enum class Reason : int {
  kBadURI = 1,          // the URI cannot be read or asks for something unknown
  kNoPassword = 2,      // no password file and no passphrase from the application
  kPasswordFile = 3,    // the password file cannot be used
  kWrongPassword = 4,   // the database does not open with the password
  kNoSuchRecord = 5,    // the URI names no record, or the record not what is asked for
  kInUse = 6,           // another process held the database for the whole wait
  kInterrupted = 7,     // an interrupted change waits for `velkdb recover`
  kNoDatabase = 8,      // no key table at the path
  kDamaged = 9,         // a table or record fails its checks
  kDatabase = 10,       // any other refusal of the database
  kKeyDoesNotOpen = 11  // a stored private key does not open with the database password
};

// The reason's text, as registered with OpenSSL.
const char* reasonText(Reason reason);

class StoreError : public std::runtime_error {
 public:
  // CREATORS
  StoreError(Reason reason, const std::string& message) : std::runtime_error(message), d_reason(reason) {}

  // ACCESSORS
  Reason reason() const { return d_reason; }

 private:
  // DATA
  Reason d_reason;
};

}  // namespace velstore

#endif
