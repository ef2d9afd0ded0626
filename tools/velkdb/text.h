// text.h -- how velkdb shows text that comes from certificates, labels and
// other input, and which labels it accepts.
//
// Names and labels in a database are whatever the certificates and earlier
// programs put there: they may hold escape sequences, line ends and other
// control characters.  Text output goes through `printable`, so that such a
// name neither drives the terminal nor forges lines of the report; JSON
// output is built as one value and written by `jsonText`.
#ifndef VELKDB_TEXT_H
#define VELKDB_TEXT_H

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace velkdb {

// `text` as one word for a POSIX shell: as it is when plain, else in
// single quotes.
std::string shellQuoted(const std::string& text);

// `text` with every control character written out: "\n", "\r", "\t", other
// C0 controls and DEL as "\x1b", C1 controls (U+0080 to U+009F) as
// "\u009b", and bytes that are not UTF-8 as "\xff".  Other UTF-8 text
// (backslashes too) is kept as it is.
std::string printable(const std::string& text);

// `value` as indented JSON and a line end: every character outside
// printable ASCII escaped as \uXXXX (control characters, DEL, C1, U+2028
// and U+2029 among them), bytes that are not UTF-8 replaced by U+FFFD.
std::string jsonText(const nlohmann::ordered_json& value);

// The longest label accepted, in bytes.
constexpr std::size_t kMaxLabelBytes = 1024;

// Why `label` cannot be a new label ("" when it can): a label is non-empty
// UTF-8 text without control characters, at most `kMaxLabelBytes` long.
std::string labelFault(const std::string& label);

}  // namespace velkdb

#endif
