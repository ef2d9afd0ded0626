#include "storeuri.h"

#include <cerrno>
#include <cstdlib>
#include <set>

#include "storeerror.h"

namespace velstore {

namespace {

[[noreturn]] void refuse(const std::string& message) { throw StoreError(Reason::kBadURI, message); }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` with its %XX escapes decoded; `what` names it in the refusal of a
// bad escape or of a decoded zero byte (which no path or label can hold).
std::string percentDecode(const std::string& text, const std::string& what) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) refuse(what + ": \"%\" is not followed by two hexadecimal digits");
    const char c = static_cast<char>(high * 16 + low);
    if (c == '\0') refuse(what + ": holds an escaped zero byte");
    out += c;
    i += 2;
  }
  return out;
}

// Upper-case hex digits of `text` without colons and spaces; empty when
// anything else is in it.
std::string hexDigits(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    const int v = hexValue(c);
    if (v < 0) return std::string();
    out += "0123456789ABCDEF"[v];
  }
  return out;
}

unsigned long parseID(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
    refuse("id takes a record ID, a decimal number from 1 to 4294967295");
  }
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value == 0 || value > 0xFFFFFFFFull) refuse("id takes a record ID, a decimal number from 1 to 4294967295");
  return static_cast<unsigned long>(value);
}

// The base name after "velkdb:" (before any query), decoded.
std::string parseBase(const std::string& rest) {
  std::string path = rest;
  if (path.compare(0, 2, "//") == 0) {
    const std::size_t slash = path.find('/', 2);
    const std::string authority = path.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    if (!authority.empty() && authority != "localhost") {
      refuse("names the host \"" + authority + "\": a velkdb: store is a local database (velkdb:/path/to/base)");
    }
    path = slash == std::string::npos ? std::string() : path.substr(slash);
  }
  path = percentDecode(path, "the database path");
  if (path.empty()) refuse("names no database: write velkdb:/path/to/base");
  if (path.back() == '/') refuse("names a directory, not a database's base name: write velkdb:/path/to/base");
  return path;
}

}  // namespace

std::string normalizeSerial(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  std::string hex = hexDigits(negative ? text.substr(1) : text);
  if (hex.empty() || hex.size() > 200) return std::string();
  const std::size_t first = hex.find_first_not_of('0');
  hex = first == std::string::npos ? "0" : hex.substr(first);
  return negative && hex != "0" ? "-" + hex : hex;
}

StoreQuery parseStoreURI(const std::string& uri) {
  const std::size_t colon = uri.find(':');
  std::string scheme = colon == std::string::npos ? std::string() : uri.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (scheme != "velkdb") refuse("is not a velkdb: URI");
  if (uri.find('#') != std::string::npos) refuse("has a fragment (\"#\"): write it as %23 in a label or path");
  const std::size_t question = uri.find('?', colon + 1);
  StoreQuery q;
  q.base = parseBase(uri.substr(colon + 1, question == std::string::npos ? std::string::npos : question - colon - 1));
  if (question == std::string::npos) return q;

  std::set<std::string> seen;
  bool haveIssuer = false;
  const std::string query = uri.substr(question + 1);
  std::size_t start = 0;
  while (start <= query.size()) {
    const std::size_t amp = query.find('&', start);
    const std::string item = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    start = amp == std::string::npos ? query.size() + 1 : amp + 1;
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    const std::string name = percentDecode(item.substr(0, eq), "a parameter name");
    const bool hasValue = eq != std::string::npos;
    const std::string value = hasValue ? percentDecode(item.substr(eq + 1), "the value of " + name) : std::string();
    if (!seen.insert(name).second) refuse("gives " + name + " twice");

    auto selectOnce = [&](StoreQuery::Select select) {
      if (q.select != StoreQuery::Select::kAll) {
        refuse("names more than one selection (label, id, fingerprint, serial, trusted, crls): give one");
      }
      q.select = select;
    };
    auto needValue = [&]() {
      if (value.empty()) refuse(name + " needs a value (" + name + "=...)");
    };
    auto noValue = [&]() {
      if (hasValue) refuse(name + " takes no value (write ?" + name + ")");
    };
    if (name == "label") {
      needValue();
      selectOnce(StoreQuery::Select::kLabel);
      q.label = value;
    } else if (name == "id") {
      selectOnce(StoreQuery::Select::kID);
      q.id = parseID(value);
    } else if (name == "fingerprint") {
      selectOnce(StoreQuery::Select::kFingerprint);
      q.fingerprint = hexDigits(value);
      if (q.fingerprint.size() != 40 && q.fingerprint.size() != 64) {
        refuse("fingerprint takes a SHA-256 (64 hex digits) or SHA-1 (40 hex digits) fingerprint");
      }
    } else if (name == "serial") {
      selectOnce(StoreQuery::Select::kSerial);
      q.serial = normalizeSerial(value);
      if (q.serial.empty()) refuse("serial takes a serial number in hexadecimal (\"01:A3\", \"1a3\")");
    } else if (name == "issuer") {
      needValue();
      haveIssuer = true;
      q.issuer = value;
    } else if (name == "trusted") {
      noValue();
      selectOnce(StoreQuery::Select::kTrusted);
    } else if (name == "crls") {
      noValue();
      selectOnce(StoreQuery::Select::kCRLs);
    } else if (name == "password-file") {
      needValue();
      q.passwordFile = value;
    } else if (name == "password" || name == "pass" || name == "passin") {
      refuse("gives a password: a password never goes into a URI; use password-file=FILE or the application's "
             "passphrase option");
    } else {
      refuse("has the unknown parameter \"" + name +
             "\" (known: label, id, fingerprint, serial, issuer, trusted, crls, password-file)");
    }
  }
  if (haveIssuer && q.select != StoreQuery::Select::kSerial) refuse("issuer goes only with serial (?serial=HEX&issuer=DN)");
  return q;
}

}  // namespace velstore
