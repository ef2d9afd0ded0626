// The record length of a new database's tables.
#include "commands.h"
#include "filedbstorage.h"

namespace velkdb {

std::uint32_t parseRecordLength(const std::string& text) {
  const std::string range = std::to_string(FileDBStorage::kMinInitialRecordLength) + " to " +
                            std::to_string(kMaxCreateRecordLength) + " bytes";
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError("--record-length takes a number of bytes (" + range + ")");
  }
  const unsigned long long n = std::stoull(text);
  if (n < FileDBStorage::kMinInitialRecordLength) {
    // A key slot's fixed fields take 140 bytes before the record's DER.
    throw UsageError("--record-length " + text +
                     " is too small: a slot holds 140 bytes of fixed fields and then "
                     "the record itself (" +
                     range + ")");
  }
  if (n > kMaxCreateRecordLength) {
    throw UsageError("--record-length " + text + " is too large (" + range +
                     "; a record longer than the length grows it when stored)");
  }
  return static_cast<std::uint32_t>(n);
}

}  // namespace velkdb
