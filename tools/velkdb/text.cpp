#include "text.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace velkdb {

namespace {

// Decodes the UTF-8 sequence at text[i]: its length, with the code point in
// `cp`; 0 when the bytes there are not UTF-8 (a stray continuation byte, a
// cut or overlong sequence, a surrogate, past U+10FFFF).
std::size_t decode(const std::string& text, std::size_t i, unsigned& cp) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  std::size_t n = 0;
  unsigned min = 0;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    n = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(text[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool isControl(unsigned cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

std::string hex(const char* format, unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    unsigned cp = 0;
    const std::size_t n = decode(text, i, cp);
    if (n == 0) {
      out += hex("\\x%02x", static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x80 && isControl(cp)) {
      out += hex("\\x%02x", cp);
    } else if (isControl(cp)) {
      out += hex("\\u%04x", cp);
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string jsonText(const nlohmann::ordered_json& value) {
  return value.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string labelFault(const std::string& label) {
  if (label.empty()) return "is empty";
  // Every slot of a table is as long as its longest record: one huge label
  // would grow the whole file for good.
  if (label.size() > kMaxLabelBytes) {
    return "is " + std::to_string(label.size()) + " bytes long; a label holds at most " +
           std::to_string(kMaxLabelBytes) + " bytes";
  }
  for (std::size_t i = 0; i < label.size();) {
    unsigned cp = 0;
    const std::size_t n = decode(label, i, cp);
    if (n == 0) return "is not UTF-8 text";
    if (isControl(cp)) {
      return "holds a control character (" + printable(label.substr(i, n)) + "); labels are one line of text";
    }
    i += n;
  }
  return "";
}

std::string shellQuoted(const std::string& text) {
  static const char kPlain[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+,:@%=";
  if (!text.empty() && text.find_first_not_of(kPlain) == std::string::npos) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace velkdb
