#include "find.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <memory>
#include <set>
#include <tuple>

#include "text.h"

namespace velkdb {

namespace {

// `text` without colons and spaces, upper case; empty when anything else
// than hex digits is left.
std::string hexDigits(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return "";
    out += c;
  }
  return out;
}

std::string serialOf(const VELASNCertificate& cert) {
  const VELASNCBuffer der = cert.getSerialNumberEncoding();
  const unsigned char* p = der.data();
  std::unique_ptr<ASN1_INTEGER, decltype(&ASN1_INTEGER_free)> serial(
      d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.length())), ASN1_INTEGER_free);
  return serial ? normalizeSerial(serialText(serial.get())) : std::string();
}

}  // namespace

std::string normalizeSerial(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  std::string hex = hexDigits(negative ? text.substr(1) : text);
  if (hex.empty() || hex.size() > 200) {
    throw UsageError("--serial takes a serial number in hexadecimal (\"01:A3\", \"1a3\")");
  }
  const std::size_t first = hex.find_first_not_of('0');
  hex = first == std::string::npos ? "0" : hex.substr(first);
  return negative && hex != "0" ? "-" + hex : hex;
}

Fingerprint parseFingerprint(const std::string& text) {
  Fingerprint f;
  f.hex = hexDigits(text);
  if (f.hex.size() != 64 && f.hex.size() != 40) {
    throw UsageError("--fingerprint takes a SHA-256 (64 hex digits) or SHA-1 (40 hex digits) fingerprint");
  }
  f.sha1 = f.hex.size() == 40;
  return f;
}

std::string digestHex(const VELASNCBuffer& der, bool sha1, bool colons) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(der.data(), static_cast<std::size_t>(der.length()), md, &n, sha1 ? EVP_sha1() : EVP_sha256(),
                 nullptr) != 1) {
    VELDB_THROW(VELDBError::kNoDigest, sha1 ? "SHA-1" : "SHA-256");
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    if (colons && i != 0) out += ':';
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

void findCertificates(FileDBManager& db, const Selector& s, std::vector<Match>& found) {
  if (s.hasTable && s.table != Table::Key) return;
  struct Hit {
    Match match;
    VELASNx500Name issuer;
    std::string issuerText;
  };
  std::vector<Hit> hits;
  std::unique_ptr<VELASNx500Name> issuer;
  if (!s.issuer.empty()) issuer.reset(new VELASNx500Name(parseName(s.issuer).get()));
  const Fingerprint fp = s.fingerprint.empty() ? Fingerprint() : parseFingerprint(s.fingerprint);
  const std::string serial = s.serial.empty() ? std::string() : normalizeSerial(s.serial);
  forEachKey(db, [&](VELASNKeyRecord& r) {
    if (!r.hasCertificate()) return;
    const VELASNCertificate& cert = r.getCertificate();
    if (!fp.hex.empty()) {
      if (digestHex(cert.getEncoding(), fp.sha1, false) != fp.hex) return;
    } else {
      if (serialOf(cert) != serial) return;
      if (issuer && cert.getIssuer().compare(*issuer) != 0) return;
    }
    Hit hit;
    hit.match.table = Table::Key;
    hit.match.id = idOf(r);
    hit.match.label = r.getLabel().getValue();
    hit.issuer = cert.getIssuer();
    hit.issuerText = cert.getIssuer().toText();
    hits.push_back(std::move(hit));
  });
  if (!serial.empty() && !issuer) {
    // The same serial number from several issuers names several
    // certificates: refuse to guess which was meant.
    bool several = false;
    for (const Hit& h : hits) several = several || h.issuer.compare(hits.front().issuer) != 0;
    if (several) {
      std::string list;
      for (const Hit& h : hits) {
        list += std::string(list.empty() ? "" : "; ") + "keys #" + std::to_string(h.match.id) + " \"" + h.match.label +
                "\" issued by " + h.issuerText;
      }
      VELDB_THROW(VELDBError::kBadArgument, "serial " + serial + " is used by " + std::to_string(hits.size()) +
                                                " certificates of different issuers (" + list + "): add --issuer NAME");
    }
  }
  for (const Hit& h : hits) found.push_back(h.match);
}

std::vector<Ending> endingBefore(std::vector<Ending> all, long long horizon) {
  all.erase(std::remove_if(all.begin(), all.end(), [&](const Ending& e) { return e.end >= horizon; }), all.end());
  std::sort(all.begin(), all.end(), [](const Ending& a, const Ending& b) {
    return std::make_tuple(a.end, static_cast<int>(a.table), a.id) <
           std::make_tuple(b.end, static_cast<int>(b.table), b.id);
  });
  return all;
}

std::size_t printEnding(FileDBManager& db, const std::string& dbName, bool json, bool hasTable, Table table,
                        long long now, long long days) {
  std::vector<Ending> all;
  if (!hasTable || table == Table::Key) {
    forEachKey(db, [&](VELASNKeyRecord& r) {
      if (!r.hasCertificate()) return;
      Ossl<X509> cert = certFromDER(r.getCertificate().getEncoding());
      const ASN1_TIME* notAfter = X509_get0_notAfter(cert.get());
      all.push_back({timeValue(notAfter), Table::Key, idOf(r), r.getLabel().getValue(),
                     nameText(X509_get_subject_name(cert.get())), timeText(notAfter)});
    });
  }
  if (!hasTable || table == Table::CRL) {
    // A CRL past its next update no longer tells what is revoked; one
    // without a next update never lapses.
    forEachCRL(db, [&](VELASNCRLRecord& r) {
      if (!r.hasCRL()) return;
      Ossl<X509_CRL> crl = crlFromDER(r.getCRL().getEncoding());
      const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl.get());
      if (next == nullptr) return;
      all.push_back({timeValue(next), Table::CRL, idOf(r), r.getLabel().getValue(),
                     nameText(X509_CRL_get_issuer(crl.get())), timeText(next)});
    });
  }
  const long long horizon = now + (days < 0 ? 0 : days * 86400LL);
  const std::vector<Ending> ending = endingBefore(std::move(all), days < 0 ? now + 1 : horizon);
  std::size_t ended = 0;
  for (const Ending& e : ending) ended += e.end <= now;
  if (json) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const Ending& e : ending) {
      const bool key = e.table == Table::Key;
      rows.push_back({{"table", tableName(e.table)},
                      {"id", e.id},
                      {"label", e.label},
                      {key ? "subject" : "issuer", e.name},
                      {key ? "notAfter" : "nextUpdate", e.endText},
                      {"ended", e.end <= now}});
    }
    std::cout << jsonText({{"database", dbName}, {"now", expiryText(now)}, {"days", days < 0 ? 0 : days}, {"ending", rows}});
    return ending.size();
  }
  for (const Ending& e : ending) {
    char left[48];
    if (e.end <= now) {
      std::snprintf(left, sizeof left, "%s", e.table == Table::Key ? "EXPIRED" : "STALE");
    } else {
      const long long d = (e.end - now) / 86400;
      std::snprintf(left, sizeof left, "%lld day%s left", d, d == 1 ? "" : "s");
    }
    std::cout << e.endText << "  " << left << "  " << tableName(e.table) << " #" << e.id << "  " << printable(e.label)
              << "  " << (e.table == Table::Key ? "" : "CRL of ") << printable(e.name) << "\n";
  }
  if (days < 0) {
    std::cout << ended << (ended == 1 ? " has" : " have") << " ended\n";
  } else {
    std::cout << ending.size() << " end" << (ending.size() == 1 ? "s" : "") << " within " << days
              << (days == 1 ? " day" : " days") << " (" << ended << " already ended)\n";
  }
  return ending.size();
}

}  // namespace velkdb
