// text.h -- how velkdb shows text that comes from certificates, labels and
// other input, and which labels it accepts.
//
// Names and labels in a database are whatever the certificates and earlier
// programs put there: they may hold escape sequences, line ends and other
// control characters.  Text output goes through `printable`, so that such a
// name neither drives the terminal nor forges lines of the report; JSON
// output goes through `jsonString`.
#ifndef VELKDB_TEXT_H
#define VELKDB_TEXT_H

#include <cstddef>
#include <string>

namespace velkdb {

// `text` with every control character written out: "\n", "\r", "\t", other
// C0 controls and DEL as "\x1b", C1 controls (U+0080 to U+009F) as
// "\u009b", and bytes that are not UTF-8 as "\xff".  Other UTF-8 text
// (backslashes too) is kept as it is.
std::string printable(const std::string& text);

// `text` as a quoted JSON string: control characters (C0, DEL, C1) and the
// line separators U+2028 and U+2029 escaped as \uXXXX, bytes that are not
// UTF-8 replaced by U+FFFD, so that the output is valid UTF-8 JSON.
std::string jsonString(const std::string& text);

// The longest label accepted, in bytes.
constexpr std::size_t kMaxLabelBytes = 1024;

// Why `label` cannot be a new label ("" when it can): a label is non-empty
// UTF-8 text without control characters, at most `kMaxLabelBytes` long.
std::string labelFault(const std::string& label);

}  // namespace velkdb

#endif
