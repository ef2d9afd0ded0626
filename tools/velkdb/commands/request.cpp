// `velkdb request`: a new key and its certification request, stored as a
// key pair until the certificate comes back.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cctype>
#include <iostream>
#include <memory>

#include "interrupt.h"
#include "cli.h"
#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {


std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool isIPAddress(const std::string& text) {
  unsigned char buf[16];
  return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

bool isHostName(const std::string& name) {
  if (name.empty() || name.size() > 253 || name.front() == '.' || name.back() == '.') return false;
  std::size_t label = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    // A wildcard is a whole left-most label.
    if (c == '*' && !(i == 0 && (name.size() == 1 || name[1] == '.'))) return false;
    if (!std::isalnum(c) && c != '-' && c != '*' && c != '_') return false;
    if (++label > 63) return false;
  }
  return true;
}

}  // namespace

KeyType parseKeyType(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  KeyType wanted;
  if (lower == "ec:p-256" || lower == "ec") return wanted;
  if (lower == "ec:p-384") {
    wanted.curve = "P-384";
    return wanted;
  }
  if (lower == "rsa:2048" || lower == "rsa:3072") {
    wanted.kind = KeyType::RSA;
    wanted.bits = lower == "rsa:2048" ? 2048 : 3072;
    return wanted;
  }
  if (lower == "ed25519") {
    wanted.kind = KeyType::ED25519;
    return wanted;
  }
  throw UsageError("--key \"" + printable(text) + "\": give ec:P-256, ec:P-384, rsa:2048, rsa:3072 or ed25519");
}

Ossl<EVP_PKEY> generateKey(const KeyType& type) {
  Ossl<EVP_PKEY> key;
  switch (type.kind) {
    case KeyType::EC:
      key.reset(EVP_EC_gen(type.curve.c_str()));
      break;
    case KeyType::RSA:
      key.reset(EVP_RSA_gen(static_cast<unsigned>(type.bits)));
      break;
    case KeyType::ED25519:
      key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
      break;
  }
  if (!key) fail("key generation failed");
  return key;
}

std::vector<std::string> parseSubjectAltNames(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    const std::string entry = trimmed(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (entry.empty()) throw UsageError("--san: an empty entry");
    std::string type, value;
    const std::size_t colon = entry.find(':');
    std::string prefix = colon == std::string::npos ? "" : entry.substr(0, colon);
    for (char& c : prefix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (prefix == "dns" || prefix == "ip" || prefix == "email" || prefix == "uri") {
      type = prefix == "dns" ? "DNS" : prefix == "ip" ? "IP" : prefix == "email" ? "email" : "URI";
      value = trimmed(entry.substr(colon + 1));
    } else if (isIPAddress(entry)) {
      type = "IP";
      value = entry;
    } else if (entry.find('@') != std::string::npos) {
      type = "email";
      value = entry;
    } else if (colon == std::string::npos) {
      type = "DNS";
      value = entry;
    } else {
      throw UsageError("--san \"" + printable(entry) + "\": the type is DNS, IP, email or URI");
    }
    const std::string shown = "--san \"" + printable(entry) + "\"";
    if (type == "DNS" && !isHostName(value)) throw UsageError(shown + ": not a DNS name");
    if (type == "IP" && !isIPAddress(value)) throw UsageError(shown + ": not an IP address");
    if (type == "email" &&
        (value.find('@') == std::string::npos || !labelFault(value).empty() || value.find(' ') != std::string::npos)) {
      throw UsageError(shown + ": not an e-mail address");
    }
    if (type == "URI" &&
        (value.find(':') == std::string::npos || !labelFault(value).empty() || value.find(' ') != std::string::npos)) {
      throw UsageError(shown + ": not a URI");
    }
    out.push_back(type + ":" + value);
    if (comma == text.size()) break;
  }
  return out;
}

Ossl<X509_REQ> makeSignedRequest(EVP_PKEY* key, const std::string& subject, const std::vector<std::string>& altNames) {
  Ossl<X509_REQ> req(X509_REQ_new());
  if (!req) fail("X509_REQ_new failed");
  const VELBuffer nameDER = parseName(subject);
  const unsigned char* p = nameDER.data();
  Ossl<X509_NAME> name(d2i_X509_NAME(nullptr, &p, static_cast<long>(nameDER.length())));
  if (!name || X509_REQ_set_version(req.get(), 0) != 1 || X509_REQ_set_subject_name(req.get(), name.get()) != 1 ||
      X509_REQ_set_pubkey(req.get(), key) != 1) {
    fail("cannot fill in the certification request");
  }
  if (!altNames.empty()) {
    std::string value;
    for (const std::string& n : altNames) value += (value.empty() ? "" : ",") + n;
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, value.c_str());
    if (ext == nullptr) fail("subject alternative names \"" + printable(value) + "\" refused");
    STACK_OF(X509_EXTENSION)* exts = sk_X509_EXTENSION_new_null();
    const bool added = exts != nullptr && sk_X509_EXTENSION_push(exts, ext) > 0;
    if (!added) X509_EXTENSION_free(ext);
    const bool ok = added && X509_REQ_add_extensions(req.get(), exts) == 1;
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    if (!ok) fail("cannot add the subject alternative names");
  }
  const int id = EVP_PKEY_get_base_id(key);
  const EVP_MD* md = nullptr;
  if (id != EVP_PKEY_ED25519) md = keyText(key) == "EC P-384" ? EVP_sha384() : EVP_sha256();
  if (X509_REQ_sign(req.get(), key, md) <= 0) fail("signing the certification request failed");
  return req;
}

void checkOutputDirectory(const std::string& out) {
  if (out.empty() || out == "-") return;
  const std::size_t slash = out.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    VELDB_THROW(VELDBError::kBadArgument, "the directory of " + printable(out) + " does not exist");
  }
}

namespace {

struct RequestOptions {
  DbOptions db;
  std::string subject;
  KeyType key;  // ec:P-256
  std::vector<std::string> altNames;
  std::string label;
  std::string out;
};

int runRequest(const RequestOptions& o) {
  const std::string& subject = o.subject;
  const KeyType wanted = o.key;
  const std::vector<std::string>& altNames = o.altNames;
  // Where the request goes is checked before the password is asked for
  // and the key is stored.
  const std::string& out = o.out;
  checkOutputDirectory(out);
  const auto [password, db] = openDatabase(o.db, true);

  Ossl<EVP_PKEY> key = generateKey(wanted);
  Ossl<X509_REQ> request = makeSignedRequest(key.get(), subject, altNames);
  const VELBuffer spki = publicKeyDER(key.get());
  const std::string pem = toPEM("CERTIFICATE REQUEST", derOf(request.get()).get());
  const std::string keyName = keyText(key.get());

  // Stored as `import` stores a key with its request: wrapped, in one
  // transaction, under a label of its own in the key-pair table.
  InputItems items;
  items.keys.push_back(std::move(key));
  items.requests.push_back(std::move(request));
  ImportOptions options;
  options.label = o.label;
  importItems(*db, password, items, options);
  // The key pair is stored: the request goes out whatever comes now.
  const DeferInterrupts keyPairStored;
  std::unique_ptr<VELASNKeyPairRecord> stored(
      db->getKeyPairByIndex(VELDBManager::KeyPairPublicKeyInfo, VELASNSubjectPublicKeyInfo(spki.get())));
  if (!stored) VELDB_THROW(VELDBError::kNoMatchingRecord, "the new key pair is not in the database");

  // The key is safe in the database before the request goes out.
  if (out.empty() || out == "-") {
    std::cout << pem;
  } else {
    try {
      writeOutputFile(out, pem, false);
    } catch (const VELException& e) {
      rethrowWithContext(e, "the key pair \"" + printable(stored->getLabel().getValue()) +
                                "\" is stored, but its request was not written (velkdb export --table keypairs "
                                "LABEL writes it)");
    }
  }
  std::cerr << "stored key pair #" << idOf(*stored) << " \"" << printable(stored->getLabel().getValue()) << "\" ("
            << keyName << ")" << (out.empty() || out == "-" ? "" : "; request written to " + printable(out)) << "\n";
  return 0;
}

}  // namespace

const CommandText kText = {"request", "make a key and its certification request, kept as a key pair",
                           "request -d BASE --subject NAME [--san NAMES] [--key TYPE] [--label LABEL] [-o FILE]",
                           R"(Generates a private key, stores it with a certification request (PKCS#10, signed with the key) as a
key pair, the key wrapped under the database password as import wraps keys, and writes the request
as PEM to standard output or FILE.  When the certificate issued for it is imported, it takes the key
pair's key and label into the key table and the key pair is removed, in one transaction.  The label
defaults to the subject's common name.)"};

Command addRequest(CLI::App& root) {
  auto o = std::make_shared<RequestOptions>();
  CLI::App* app = root.add_subcommand(kText.name, kText.summary);
  addNewKeyOptions(app, o->subject, o->key, o->label, "the request's", "key pair");
  addParsed(app, "--san", "NAMES", kSubjectAltNamesHelp,
            [o](const std::string& text) { o->altNames = parseSubjectAltNames(text); });
  app->add_option("-o,--out", o->out, "write the request to FILE instead of standard output")->option_text("FILE");
  addDatabaseOptions(app, o->db);
  return {app, kText, [o] { return runRequest(*o); }};
}

}  // namespace velkdb
