// The record length of a new database's tables.
#include "commands.h"
#include "text.h"

namespace velkdb {

std::uint32_t parseRecordLength(const std::string& text) {
  const std::string range = std::to_string(kMinCreateRecordLength) + " to " +
                            std::to_string(kMaxCreateRecordLength) + " bytes";
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError("--record-length takes a number of bytes (" + range + ")");
  }
  const unsigned long long n = std::stoull(text);
  if (n < kMinCreateRecordLength) {
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

std::uint64_t parseMaxRecordLength(const std::string& text) {
  const unsigned long long most = 1024ULL * 1024 * 1024;
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(text) == 0 || std::stoull(text) > most) {
    throw UsageError("--max-record-length takes a number of bytes (1 to " + std::to_string(most) + ")");
  }
  return std::stoull(text);
}

void refuseLongRecord(Table table, const VELASNRecord& record, const std::string& what, std::uint64_t limit) {
  if (limit == 0) limit = table == Table::CRL ? kMaxCRLRecordLength : kMaxKeyRecordLength;
  const std::uint64_t length = record.write().length();
  if (length <= limit) return;
  VELDB_THROW(VELDBError::kBadArgument, what + " (label \"" + printable(record.getLabel().getValue()) +
                                            "\"): its record is " + std::to_string(length) + " bytes long, more than the " +
                                            tableName(table) + " table's limit of " + std::to_string(limit) +
                                            " bytes; nothing was stored (import --max-record-length N raises the limit)");
}

}  // namespace velkdb
