// velexception.h -- the exception family of the companion library.
//
// `VELException` carries the source file, line, error number, message and an
// optional extra number (errno, a byte count or a call's result).  `what()`
// gives one readable line with the number in hexadecimal.  `VELDBException` is
// the one exception type that the database throws.  `VELDBError` names every
// error number in one place.
#ifndef VELCERT_VELEXCEPTION_H
#define VELCERT_VELEXCEPTION_H

#include <exception>
#include <string>

#include "velstring.h"

namespace VELDBError {
// Arguments and access.
constexpr unsigned long kBadArgument = 0x8B67A;   // a null, out-of-range or misused argument
constexpr unsigned long kAccessDenied = 0x8B67C;  // a change through a read-only connection
constexpr unsigned long kNoDigest = 0x8BA66;      // no digest or MAC available
// The disk; the extra number is errno unless said otherwise.
constexpr unsigned long kNotOpen = 0x8C232;
constexpr unsigned long kAlreadyOpen = 0x8C233;
constexpr unsigned long kCannotCreate = 0x8C234;
constexpr unsigned long kCannotDelete = 0x8C235;
constexpr unsigned long kCannotOpen = 0x8C236;
constexpr unsigned long kCannotClose = 0x8C237;
constexpr unsigned long kRead = 0x8C238;   // also a file too short: the extra number is then a byte count
constexpr unsigned long kWrite = 0x8C239;  // also seek and size changes
constexpr unsigned long kLock = 0x8C23A;   // also a journal a read-only open cannot recover
constexpr unsigned long kUnlock = 0x8C23B;
// Records and tables.
constexpr unsigned long kRecordIDRollover = 0x8C23D;
constexpr unsigned long kNoMatchingRecord = 0x8C23E;
// An operation of a transaction failed after it wrote: the transaction was
// rolled back at once, and refuses everything but its rollback.
constexpr unsigned long kTransactionAbandoned = 0x8C23F;
constexpr unsigned long kBadPassword = 0x8C240;
constexpr unsigned long kBadFormat = 0x8C241;  // magic, file type, minor version
constexpr unsigned long kBadMajorVersion = 0x8C242;
constexpr unsigned long kHashMismatch = 0x8C243;  // also file size
// A unique key another record holds, first in this order.
constexpr unsigned long kDuplicateRecordID = 0x8C244;
constexpr unsigned long kDuplicateLabel = 0x8C245;
constexpr unsigned long kDuplicateSignature = 0x8C246;
constexpr unsigned long kDuplicateToBeSigned = 0x8C247;  // a certificate's, or a CRL's on update
constexpr unsigned long kDuplicateIssuerAndSerial = 0x8C248;
constexpr unsigned long kDuplicatePublicKey = 0x8C249;
constexpr unsigned long kDuplicateCRLToBeSigned = 0x8C24A;  // a CRL's on insert
constexpr unsigned long kDuplicateFirst = kDuplicateRecordID;
constexpr unsigned long kDuplicateLast = kDuplicateCRLToBeSigned;
constexpr unsigned long kKeyNotEnabled = 0x8C24B;
constexpr unsigned long kKeyPairNotEnabled = 0x8C24C;
constexpr unsigned long kCRLNotEnabled = 0x8C24D;
constexpr unsigned long kFileExists = 0x8C24E;

// What the number means, in a few words ("unknown error" for a number not
// named here).
const char* meaning(unsigned long error);
}  // namespace VELDBError

class VELException : public std::exception {
 public:
  // CREATORS
  VELException(const char* sourceFile, int line, unsigned long error, VELString message);
  VELException(const char* sourceFile, int line, unsigned long error, VELString message, long long extra);
  ~VELException() override = default;

  // ACCESSORS
  unsigned long getError() const { return d_error; }
  const VELString& getMessage() const { return d_message; }
  const VELString& getSourceFile() const { return d_sourceFile; }
  int getLine() const { return d_line; }
  bool hasExtra() const { return d_hasExtra; }
  long long getExtra() const { return d_extra; }
  const char* what() const noexcept override { return d_what.c_str(); }
  virtual const char* getClassName() const { return "VELException"; }

  // Writes the exception to the default trace (level 2); free when tracing
  // is off.
  void writeToTrace(unsigned component = 8) const;

 protected:
  void format();

 private:
  // DATA
  VELString d_sourceFile;
  int d_line;
  unsigned long d_error;
  VELString d_message;
  bool d_hasExtra;
  long long d_extra;
  VELString d_what;
};

class VELDBException : public VELException {
 public:
  VELDBException(const char* sourceFile, int line, unsigned long error, VELString message = VELString());
  VELDBException(const char* sourceFile, int line, unsigned long error, VELString message, long long extra);
  const char* getClassName() const override { return "VELDBException"; }
};

// Throws a `VELDBException` from the current source file and line.
#define VELDB_THROW(error, message) throw VELDBException(__FILE__, __LINE__, (error), (message))
#define VELDB_THROW_EXTRA(error, message, extra) \
  throw VELDBException(__FILE__, __LINE__, (error), (message), static_cast<long long>(extra))

#endif
