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
constexpr unsigned long kBadArgument = 0x8B67A;
constexpr unsigned long kAccessDenied = 0x8B67C;
constexpr unsigned long kNoDigest = 0x8BA66;
constexpr unsigned long kNotOpen = 0x8C232;
constexpr unsigned long kAlreadyOpen = 0x8C233;
constexpr unsigned long kCannotCreate = 0x8C234;
constexpr unsigned long kCannotDelete = 0x8C235;
constexpr unsigned long kCannotOpen = 0x8C236;
constexpr unsigned long kCannotClose = 0x8C237;
constexpr unsigned long kRead = 0x8C238;
constexpr unsigned long kWrite = 0x8C239;  // also seek and size changes
constexpr unsigned long kLock = 0x8C23A;
constexpr unsigned long kUnlock = 0x8C23B;
constexpr unsigned long kRecordIDRollover = 0x8C23D;
constexpr unsigned long kNoMatchingRecord = 0x8C23E;
constexpr unsigned long kBadPassword = 0x8C240;
constexpr unsigned long kBadFormat = 0x8C241;        // magic, file type, minor version
constexpr unsigned long kBadMajorVersion = 0x8C242;
constexpr unsigned long kHashMismatch = 0x8C243;     // also file size
constexpr unsigned long kDuplicateFirst = 0x8C244;
constexpr unsigned long kDuplicateLast = 0x8C24A;
constexpr unsigned long kKeyNotEnabled = 0x8C24B;
constexpr unsigned long kKeyPairNotEnabled = 0x8C24C;
constexpr unsigned long kCRLNotEnabled = 0x8C24D;
constexpr unsigned long kFileExists = 0x8C24E;
}  // namespace VELDBError

class VELException : public std::exception {
 public:
  // CREATORS
  VELException(const char* sourceFile, int line, unsigned long error, VELString message);
  VELException(const char* sourceFile, int line, unsigned long error, VELString message,
               long long extra);
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
