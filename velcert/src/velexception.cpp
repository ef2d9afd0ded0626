#include "velexception.h"

#include <cstdio>

#include "veltrace.h"

VELException::VELException(const char* sourceFile, int line, unsigned long error, VELString message)
    : d_sourceFile(sourceFile ? sourceFile : ""),
      d_line(line),
      d_error(error),
      d_message(std::move(message)),
      d_hasExtra(false),
      d_extra(0) {
  format();
}

VELException::VELException(const char* sourceFile, int line, unsigned long error, VELString message, long long extra)
    : d_sourceFile(sourceFile ? sourceFile : ""),
      d_line(line),
      d_error(error),
      d_message(std::move(message)),
      d_hasExtra(true),
      d_extra(extra) {
  format();
}

void VELException::format() {
  char head[64];
  std::snprintf(head, sizeof head, "error 0x%lX", d_error);
  d_what = head;
  if (!d_message.empty()) {
    d_what += ": ";
    d_what += d_message;
  }
  if (d_hasExtra) {
    d_what += " (" + std::to_string(d_extra) + ")";
  }
  d_what += " [" + d_sourceFile + ":" + std::to_string(d_line) + "]";
}

void VELException::writeToTrace(unsigned component) const {
  if (!VELTrace::getDefault().isEnabled()) return;
  VELTrace::getDefault().write(d_sourceFile.c_str(), d_line, component, VELTraceLevel::kError,
                               VELString(getClassName()) + " " + d_what);
}

VELDBException::VELDBException(const char* sourceFile, int line, unsigned long error, VELString message)
    : VELException(sourceFile, line, error, std::move(message)) {}

VELDBException::VELDBException(const char* sourceFile, int line, unsigned long error, VELString message,
                               long long extra)
    : VELException(sourceFile, line, error, std::move(message), extra) {}

const char* VELDBError::meaning(unsigned long error) {
  switch (error) {
    case kBadArgument:
      return "bad argument";
    case kAccessDenied:
      return "change refused: database opened read-only";
    case kNoDigest:
      return "no digest or MAC available";
    case kNotOpen:
      return "file not open";
    case kAlreadyOpen:
      return "file already open";
    case kCannotCreate:
      return "cannot create file";
    case kCannotDelete:
      return "cannot delete file";
    case kCannotOpen:
      return "cannot open file";
    case kCannotClose:
      return "cannot close file";
    case kRead:
      return "read error";
    case kWrite:
      return "write error";
    case kLock:
      return "file is locked by another user";
    case kUnlock:
      return "cannot unlock file";
    case kRecordIDRollover:
      return "record ID rollover";
    case kNoMatchingRecord:
      return "no matching record";
    case kTransactionAbandoned:
      return "transaction rolled back after a failure: roll it back to go on";
    case kBadPassword:
      return "wrong password";
    case kBadFormat:
      return "not a database file of this kind (magic, file type or minor version)";
    case kBadMajorVersion:
      return "unsupported major version";
    case kHashMismatch:
      return "file size or database hash does not match (damaged or changed file)";
    case kDuplicateRecordID:
      return "duplicate record: record ID in use";
    case kDuplicateLabel:
      return "duplicate record: label in use";
    case kDuplicateSignature:
      return "duplicate record: same signature as a stored record";
    case kDuplicateToBeSigned:
      return "duplicate record: same signed content as a stored record";
    case kDuplicateIssuerAndSerial:
      return "duplicate record: issuer and serial number in use";
    case kDuplicatePublicKey:
      return "duplicate record: public key in use";
    case kDuplicateCRLToBeSigned:
      return "duplicate record: same CRL content as a stored CRL";
    case kKeyNotEnabled:
      return "key table not available";
    case kKeyPairNotEnabled:
      return "key-pair table not available";
    case kCRLNotEnabled:
      return "CRL table not available";
    case kFileExists:
      return "file exists";
    default:
      return "unknown error";
  }
}
