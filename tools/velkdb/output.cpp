// The reports of `list` and `show`.
#include "commands.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "background.h"
#include "find.h"
#include "issuing.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

const char* yesNo(bool b) { return b ? "yes" : "no"; }

// What list and show print of a certificate.
struct CertView {
  std::string subject, issuer, serial, notBefore, notAfter, publicKey, signature, sha256, sha1;
};

// One part of a certificate decoded on its own; null unless the DER fills
// it exactly.
template <typename T, typename Decode, typename Free>
std::unique_ptr<T, Free> decodePart(const unsigned char* der, std::size_t length, Decode d2i, Free free) {
  std::unique_ptr<T, Free> object(nullptr, free);
  if (der == nullptr || length == 0 || length > 0x7fffffff) return object;
  const unsigned char* p = der;
  object.reset(d2i(nullptr, &p, static_cast<long>(length)));
  if (object && p != der + length) object.reset();
  ERR_clear_error();
  return object;
}

// The text of the name whose DER is `der` into `text`; false when it does
// not decode.  A listing meets the same issuers again and again, and
// decoding a name is most of what listing a certificate costs: each
// distinct name is decoded once (the texts of at most 4,096 are kept).
bool listedName(const VELASNCBuffer& der, std::string& text) {
  static std::unordered_map<std::string, std::string> texts;
  std::string key(reinterpret_cast<const char*>(der.data()), static_cast<std::size_t>(der.length()));
  const auto known = texts.find(key);
  if (known != texts.end()) {
    text = known->second;
    return true;
  }
  auto name = decodePart<X509_NAME>(der.data(), der.length(), d2i_X509_NAME, X509_NAME_free);
  if (!name) return false;
  text = nameText(name.get());
  if (texts.size() >= 4096) texts.clear();
  texts.emplace(std::move(key), text);
  return true;
}

// What a listing prints of a certificate: the names, the serial number and
// the validity, decoded from their own slices of the DER.  The key, the
// extensions and the signature are left alone: a listing of ten thousand
// certificates would spend most of its time on them.
CertView listingView(const VELASNCertificate& certificate) {
  const VELASNCBuffer issuerDER = certificate.getIssuerEncoding();
  const VELASNCBuffer subjectDER = certificate.getSubjectEncoding();
  // The validity lies between the issuer and the subject.
  const unsigned char* validityDER = issuerDER.data() + issuerDER.length();
  const std::size_t validityLength =
      subjectDER.data() > validityDER ? static_cast<std::size_t>(subjectDER.data() - validityDER) : 0;
  const VELASNCBuffer serialDER = certificate.getSerialNumberEncoding();
  CertView v;
  const bool names = listedName(issuerDER, v.issuer) && listedName(subjectDER, v.subject);
  auto serial = decodePart<ASN1_INTEGER>(serialDER.data(), serialDER.length(), d2i_ASN1_INTEGER, ASN1_INTEGER_free);
  auto validity = decodePart<X509_VAL>(validityDER, validityLength, d2i_X509_VAL, X509_VAL_free);
  if (!names || !serial || !validity) {
    // Not as the table's own reader sliced it: the whole certificate
    // decides, and says what is wrong with it.
    Ossl<X509> cert = certFromDER(certificate.getEncoding());
    v.subject = nameText(X509_get_subject_name(cert.get()));
    v.issuer = nameText(X509_get_issuer_name(cert.get()));
    v.serial = serialText(X509_get0_serialNumber(cert.get()));
    v.notBefore = timeText(X509_get0_notBefore(cert.get()));
    v.notAfter = timeText(X509_get0_notAfter(cert.get()));
    return v;
  }
  v.serial = serialText(serial.get());
  v.notBefore = timeText(validity->notBefore);
  v.notAfter = timeText(validity->notAfter);
  return v;
}

CertView viewOf(const VELASNCertificate& certificate) {
  Ossl<X509> cert = certFromDER(certificate.getEncoding());
  CertView v;
  v.subject = nameText(X509_get_subject_name(cert.get()));
  v.issuer = nameText(X509_get_issuer_name(cert.get()));
  v.serial = serialText(X509_get0_serialNumber(cert.get()));
  v.notBefore = timeText(X509_get0_notBefore(cert.get()));
  v.notAfter = timeText(X509_get0_notAfter(cert.get()));
  v.publicKey = keyText(X509_get0_pubkey(cert.get()));
  const int nid = X509_get_signature_nid(cert.get());
  v.signature = nid != NID_undef ? OBJ_nid2ln(nid) : "?";
  v.sha256 = digestHex(certificate.getEncoding(), false, true);
  v.sha1 = digestHex(certificate.getEncoding(), true, true);
  return v;
}

struct CRLView {
  std::string issuer, thisUpdate, nextUpdate;
  int revoked = 0;
};

CRLView viewOf(const VELASNCertificateList& list) {
  Ossl<X509_CRL> crl = crlFromDER(list.getEncoding());
  const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.get());
  return {nameText(X509_CRL_get_issuer(crl.get())), timeText(X509_CRL_get0_lastUpdate(crl.get())),
          timeText(X509_CRL_get0_nextUpdate(crl.get())), revoked ? sk_X509_REVOKED_num(revoked) : 0};
}

std::string requestSubject(const VELASNKeyPairRecord& r) {
  return r.hasCertificationRequest() ? r.getCertificationRequest().getSubject().toText() : "";
}

std::string requestKey(const VELASNKeyPairRecord& r) {
  if (!r.hasKeyPair()) return "?";
  Ossl<EVP_PKEY> key = publicKeyFromDER(r.getKeyPair().getSubjectPublicKeyInfoEncoding());
  return keyText(key.get());
}

// The lines a listing prints of one certificate record.
void appendKeyLines(const VELASNKeyRecord& r, std::string& lines) {
  const CertView v = listingView(r.getCertificate());
  lines.append("  ").append(std::to_string(idOf(r))).append("  ").append(printable(r.getLabel().getValue()));
  if (r.hasPrivateKey()) lines.append("  [key]");
  if (r.isTrusted()) lines.append("  [trusted]");
  lines.append("\n      subject: ").append(printable(v.subject));
  lines.append("\n      issuer:  ").append(printable(v.issuer));
  lines.append("\n      serial:  ").append(v.serial).append("  valid: ").append(v.notBefore).append(" to ");
  lines.append(v.notAfter).append("\n");
}

// Lists the key table's records in batches: a second thread formats one
// batch while this one reads the next from the table (the two cost about
// the same), and this one writes each batch's lines in their order.  Only
// this thread touches the database and standard output, so a signal still
// cuts a blocked write short.  Without a second thread, it formats them
// itself.
class KeyLister {
 public:
  KeyLister() { d_reading.reserve(kBatch); }
  KeyLister(const KeyLister&) = delete;
  KeyLister& operator=(const KeyLister&) = delete;
  ~KeyLister() {
    if (d_formatter.joinable()) d_formatter.join();
  }

  void add(VELASNKeyRecord&& record) {
    d_reading.push_back(std::move(record));
    if (d_reading.size() == kBatch) handOver();
  }

  // Writes what is left; throws the first fault of the formatting.
  void finish() {
    handOver();
    writeFormatted();
  }

 private:
  static constexpr std::size_t kBatch = 512;

  // Writes the batch formatted last, once it is done.
  void writeFormatted() {
    if (d_formatter.joinable()) d_formatter.join();
    if (d_fault) std::rethrow_exception(std::exchange(d_fault, nullptr));
    std::cout.write(d_lines.data(), static_cast<std::streamsize>(d_lines.size()));
    d_lines.clear();
  }

  void format() {
    try {
      for (const VELASNKeyRecord& r : d_formatting) appendKeyLines(r, d_lines);
    } catch (...) {
      d_fault = std::current_exception();
    }
  }

  // The batch read goes to be formatted; the one before it is written.
  void handOver() {
    writeFormatted();
    d_formatting.swap(d_reading);
    d_reading.clear();
    if (d_formatting.empty()) return;
    try {
      d_formatter = startBackgroundThread([this] { format(); });
    } catch (const std::system_error&) {
      format();  // no second thread to be had
    }
  }

  std::vector<VELASNKeyRecord> d_reading, d_formatting;
  std::string d_lines;
  std::exception_ptr d_fault;
  std::thread d_formatter;
};

void listText(FileDBManager& db, bool hasTable, Table only) {
  bool first = true;
  auto heading = [&](Table t, unsigned long long n) {
    std::cout << (first ? "" : "\n") << tableName(t) << ": " << n << (n == 1 ? " record" : " records") << "\n";
    first = false;
  };
  const VELASNInteger any;
  if (!hasTable || only == Table::Key) {
    heading(Table::Key, db.getKeyCountByIndex(VELDBManager::KeyAllRecords, any));
    KeyLister lister;
    forEachKey(db, [&](VELASNKeyRecord& r) { lister.add(std::move(r)); });
    lister.finish();
  }
  if ((!hasTable || only == Table::KeyPair)) {
    heading(Table::KeyPair, db.isKeyPairEnabled() ? db.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, any) : 0);
    forEachKeyPair(db, [&](VELASNKeyPairRecord& r) {
      std::cout << "  " << idOf(r) << "  " << printable(r.getLabel().getValue()) << "  [key]\n"
                << "      subject: " << printable(requestSubject(r)) << "\n"
                << "      key:     " << requestKey(r) << "\n";
    });
  }
  if (!hasTable || only == Table::CRL) {
    heading(Table::CRL, db.isCRLEnabled() ? db.getCRLCountByIndex(VELDBManager::CRLAllRecords, any) : 0);
    forEachCRL(db, [&](VELASNCRLRecord& r) {
      const CRLView v = viewOf(r.getCRL());
      std::cout << "  " << idOf(r) << "  " << printable(r.getLabel().getValue()) << "\n"
                << "      issuer:  " << printable(v.issuer) << "\n"
                << "      updated: " << v.thisUpdate << "  next: " << (v.nextUpdate.empty() ? "-" : v.nextUpdate)
                << "  revoked: " << v.revoked << "\n";
    });
  }
}

// Writes a listing's JSON document row by row: the same text as one dump
// of the whole document (two-space indents), without holding the listing in
// memory.
class JSONRows {
 public:
  JSONRows(std::ostream& out, const std::string& dbName) : d_out(out) {
    const std::string name = jsonText(dbName);
    d_out << "{\n  \"database\": ";
    d_out.write(name.data(), static_cast<std::streamsize>(name.size() - 1));
  }
  void open(const char* name) {
    d_out << ",\n  \"" << name << "\": [";
    d_empty = true;
  }
  void add(const nlohmann::ordered_json& row) {
    // One level down the array, two more in it: every line of the row's
    // own dump moves four spaces right.
    const std::string text = jsonText(row);
    d_out << (d_empty ? "\n    " : ",\n    ");
    const std::size_t last = text.size() - 1;  // jsonText ends the text with a newline
    std::size_t from = 0;
    for (std::size_t nl = text.find('\n'); nl < last; nl = text.find('\n', from)) {
      d_out.write(text.data() + from, static_cast<std::streamsize>(nl + 1 - from));
      d_out << "    ";
      from = nl + 1;
    }
    d_out.write(text.data() + from, static_cast<std::streamsize>(last - from));
    d_empty = false;
  }
  void close() { d_out << (d_empty ? "]" : "\n  ]"); }
  void finish() { d_out << "\n}\n"; }

 private:
  std::ostream& d_out;
  bool d_empty = true;
};

void listJSON(FileDBManager& db, const std::string& dbName, bool hasTable, Table only) {
  JSONRows out(std::cout, dbName);
  if (!hasTable || only == Table::Key) {
    out.open("keys");
    forEachKey(db, [&](VELASNKeyRecord& r) {
      const VELASNCertificate& certificate = r.getCertificate();
      const CertView v = listingView(certificate);
      out.add({{"id", idOf(r)},
               {"label", r.getLabel().getValue()},
               {"subject", v.subject},
               {"issuer", v.issuer},
               {"serial", v.serial},
               {"notBefore", v.notBefore},
               {"notAfter", v.notAfter},
               {"sha256", digestHex(certificate.getEncoding(), false, true)},
               {"sha1", digestHex(certificate.getEncoding(), true, true)},
               {"hasKey", r.hasPrivateKey()},
               {"trusted", r.isTrusted()}});
    });
    out.close();
  }
  if (!hasTable || only == Table::KeyPair) {
    out.open("keypairs");
    forEachKeyPair(db, [&](VELASNKeyPairRecord& r) {
      out.add({{"id", idOf(r)},
               {"label", r.getLabel().getValue()},
               {"subject", requestSubject(r)},
               {"publicKey", requestKey(r)},
               {"hasKey", true}});
    });
    out.close();
  }
  if (!hasTable || only == Table::CRL) {
    out.open("crls");
    forEachCRL(db, [&](VELASNCRLRecord& r) {
      const CRLView v = viewOf(r.getCRL());
      out.add({{"id", idOf(r)},
               {"label", r.getLabel().getValue()},
               {"issuer", v.issuer},
               {"thisUpdate", v.thisUpdate},
               {"nextUpdate", v.nextUpdate},
               {"revoked", v.revoked}});
    });
    out.close();
  }
  out.finish();
}

// What show says of a stored private key: the wrapping, and whether it
// opens with the database password (when given).
struct KeyView {
  std::string wrapping;
  int opens = -1;  // -1: not tried
};

KeyView keyViewOf(const VELASNCBuffer& epki, const Secret* password) {
  KeyView v{describeWrapping(epki)};
  if (password != nullptr) v.opens = unwrapPrivateKey(epki, *password) ? 1 : 0;
  return v;
}

std::string keyStatus(const KeyView& v) {
  std::string text = "yes, " + v.wrapping;
  if (v.opens >= 0) {
    text += v.opens == 1 ? "; opens with the database password" : "; does NOT open with the database password";
  }
  return text;
}

nlohmann::ordered_json keyJSON(const KeyView& v) {
  nlohmann::ordered_json j = {{"wrapping", v.wrapping}};
  if (v.opens >= 0) j["opensWithDatabasePassword"] = v.opens == 1;
  return j;
}

// One line of show: its heading, its name and value in JSON, its text.
struct Field {
  const char* heading;
  const char* key;
  nlohmann::ordered_json value;
  std::string text;
};

// Everything show says of a record, for the text and for JSON.
struct RecordView {
  std::vector<Field> fields;
  bool certificate = false;
  std::vector<ExtensionText> extensions;
};

RecordView viewOf(FileDBManager& db, const Match& m, const Secret* password) {
  const VELASNInteger id = VELDBUtility::recordIDToASN(m.id);
  RecordView out;
  std::vector<Field>& f = out.fields;
  auto add = [&f](const char* heading, const char* key, const std::string& value) {
    f.push_back({heading, key, value, printable(value)});
  };
  f.push_back({"table", "table", tableName(m.table), tableName(m.table)});
  f.push_back({"record ID", "id", m.id, std::to_string(m.id)});
  add("label", "label", m.label);
  if (m.table == Table::Key) {
    std::unique_ptr<VELASNKeyRecord> r(db.getKeyByIndex(VELDBManager::KeyRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    const CertView v = viewOf(r->getCertificate());
    f.push_back({"trusted", "trusted", r->isTrusted(), yesNo(r->isTrusted())});
    add("subject", "subject", v.subject);
    add("issuer", "issuer", v.issuer);
    add("serial", "serial", v.serial);
    add("not before", "notBefore", v.notBefore);
    add("not after", "notAfter", v.notAfter);
    add("public key", "publicKey", v.publicKey);
    add("signature", "signature", v.signature);
    add("SHA-256", "sha256", v.sha256);
    add("SHA-1", "sha1", v.sha1);
    if (r->hasPrivateKey()) {
      const KeyView k = keyViewOf(r->getPrivateKey().getEncoding(), password);
      f.push_back({"private key", "privateKey", keyJSON(k), keyStatus(k)});
    } else {
      f.push_back({"private key", "privateKey", nullptr, "no"});
    }
    Ossl<X509> cert = certFromDER(r->getCertificate().getEncoding());
    out.certificate = true;
    out.extensions = describeExtensions(cert.get());
  } else if (m.table == Table::KeyPair) {
    std::unique_ptr<VELASNKeyPairRecord> r(db.getKeyPairByIndex(VELDBManager::KeyPairRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    add("subject", "subject", requestSubject(*r));
    add("public key", "publicKey", requestKey(*r));
    const KeyView k = keyViewOf(r->getKeyPair().getPrivateKeyEncoding(), password);
    f.push_back({"private key", "privateKey", keyJSON(k), keyStatus(k)});
  } else {
    std::unique_ptr<VELASNCRLRecord> r(db.getCRLByIndex(VELDBManager::CRLRecordID, id));
    if (!r) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
    const CRLView v = viewOf(r->getCRL());
    add("issuer", "issuer", v.issuer);
    add("this update", "thisUpdate", v.thisUpdate);
    f.push_back({"next update", "nextUpdate", v.nextUpdate, v.nextUpdate.empty() ? "-" : v.nextUpdate});
    f.push_back({"revoked", "revoked", v.revoked, std::to_string(v.revoked)});
  }
  return out;
}

}  // namespace

void printList(FileDBManager& db, const std::string& dbName, bool asJSON, bool hasTable, Table table) {
  if (asJSON) {
    listJSON(db, dbName, hasTable, table);
  } else {
    listText(db, hasTable, table);
  }
}

void printRecord(FileDBManager& db, const Match& m, const Secret* password) {
  const RecordView view = viewOf(db, m, password);
  for (const Field& f : view.fields) {
    std::string heading = std::string(f.heading) + ":";
    heading.resize(std::max<std::size_t>(heading.size() + 1, 14), ' ');
    std::cout << heading << f.text << "\n";
  }
  if (!view.certificate) return;
  std::cout << "extensions:   " << (view.extensions.empty() ? "none" : std::to_string(view.extensions.size())) << "\n";
  for (const ExtensionText& e : view.extensions) {
    std::cout << "  " << printable(e.name) << (e.critical ? " (critical)" : "") << ": " << printable(e.value) << "\n";
  }
}

void printRecordsJSON(FileDBManager& db, const std::string& dbName, const std::vector<Match>& matches,
                      const Secret* password) {
  nlohmann::ordered_json doc = {{"database", dbName}};
  nlohmann::ordered_json& rows = doc["records"] = nlohmann::ordered_json::array();
  for (const Match& m : matches) {
    const RecordView view = viewOf(db, m, password);
    nlohmann::ordered_json row = nlohmann::ordered_json::object();
    for (const Field& f : view.fields) row[f.key] = f.value;
    if (view.certificate) {
      nlohmann::ordered_json& exts = row["extensions"] = nlohmann::ordered_json::array();
      for (const ExtensionText& e : view.extensions) {
        exts.push_back({{"name", e.name}, {"critical", e.critical}, {"value", e.value}});
      }
    }
    rows.push_back(std::move(row));
  }
  std::cout << jsonText(doc);
}

}  // namespace velkdb
