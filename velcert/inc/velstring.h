// velstring.h -- text strings of the companion library.
//
// `VELString` is a byte string (it may hold zero bytes); `VELConstString` is an
// immutable string with a three-way `compare`, used where a name must not change
// while it is shared (file names, map keys, table names).
#ifndef VELCERT_VELSTRING_H
#define VELCERT_VELSTRING_H

#include <ostream>
#include <string>

using VELString = std::string;

class VELConstString {
 public:
  // CREATORS
  VELConstString() = default;
  VELConstString(const char* text) : d_text(text ? text : "") {}  // NOLINT(implicit)
  VELConstString(const VELString& text) : d_text(text) {}         // NOLINT(implicit)

  // ACCESSORS
  // Negative, zero or positive as this string orders before, equal to or after
  // `other`, byte by byte (shorter first on a common prefix).
  int compare(const VELConstString& other) const { return d_text.compare(other.d_text); }
  const VELString& str() const { return d_text; }
  operator const VELString&() const { return d_text; }  // NOLINT(implicit)
  const char* c_str() const { return d_text.c_str(); }
  std::size_t size() const { return d_text.size(); }
  bool empty() const { return d_text.empty(); }

  bool operator==(const VELConstString& o) const { return d_text == o.d_text; }
  bool operator!=(const VELConstString& o) const { return d_text != o.d_text; }
  bool operator<(const VELConstString& o) const { return compare(o) < 0; }

 private:
  // DATA
  VELString d_text;
};

inline std::ostream& operator<<(std::ostream& out, const VELConstString& s) { return out << s.str(); }

#endif
