#include "issuing.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "text.h"
#include "velexception.h"

namespace velkdb {

namespace {

[[noreturn]] void refuse(const std::string& what) { VELDB_THROW(VELDBError::kBadArgument, what); }

void check(bool ok, const char* what) {
  if (!ok) refuse(std::string("cannot make the certificate: ") + what + " failed");
}

constexpr int kMaxDays = 36500;

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) refuse("cannot make the extension " + std::string(OBJ_nid2sn(nid)) + " from \"" + value + "\"");
  const int added = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  check(added == 1, "X509_add_ext");
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    // A comma would end the entry early in the extension's text form: the
    // entry would be read as two.
    if (item.find(',') != std::string::npos) refuse("\"" + item + "\" holds a comma");
    out += (out.empty() ? "" : ",") + item;
  }
  return out;
}

const EVP_MD* digestFor(EVP_PKEY* key) {
  const int id = EVP_PKEY_get_id(key);
  return id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448 ? nullptr : EVP_sha256();
}

void randomSerial(X509* cert) {
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_new(), BN_free);
  check(bn != nullptr && BN_rand(bn.get(), 127, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1, "random serial");
  check(BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr, "serial number");
}

// Everything but the issuer's part: version, serial, subject, key, the
// validity from now, and the extensions of `profile` as signed by `signer`.
Ossl<X509> startCertificate(const X509_NAME* subject, EVP_PKEY* publicKey, const CertificateProfile& profile) {
  if (profile.days < 1 || profile.days > kMaxDays) {
    refuse("the validity is 1 to " + std::to_string(kMaxDays) + " days, not " + std::to_string(profile.days));
  }
  if (!profile.ca && profile.pathLength >= 0) refuse("a path length is for a CA certificate only");
  Ossl<X509> cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");
  randomSerial(cert.get());
  check(X509_set_subject_name(cert.get(), subject) == 1, "X509_set_subject_name");
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60) != nullptr, "notBefore");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * profile.days) != nullptr, "notAfter");
  check(X509_set_pubkey(cert.get(), publicKey) == 1, "X509_set_pubkey");
  return cert;
}

void addProfileExtensions(X509* cert, X509* signer, EVP_PKEY* publicKey, const CertificateProfile& profile) {
  std::string constraints = profile.ca ? "critical,CA:TRUE" : "critical,CA:FALSE";
  if (profile.ca && profile.pathLength >= 0) constraints += ",pathlen:" + std::to_string(profile.pathLength);
  addExtension(cert, signer, NID_basic_constraints, constraints);
  std::string usage = profile.ca ? "critical,keyCertSign,cRLSign,digitalSignature" : "critical,digitalSignature";
  if (!profile.ca && EVP_PKEY_get_base_id(publicKey) == EVP_PKEY_RSA) usage += ",keyEncipherment";
  addExtension(cert, signer, NID_key_usage, usage);
  if (!profile.extendedKeyUsages.empty()) {
    addExtension(cert, signer, NID_ext_key_usage, joined(profile.extendedKeyUsages));
  }
  addExtension(cert, signer, NID_subject_key_identifier, "hash");
  if (signer != cert) addExtension(cert, signer, NID_authority_key_identifier, "keyid:always");
  if (!profile.subjectAltNames.empty()) {
    addExtension(cert, signer, NID_subject_alt_name, joined(profile.subjectAltNames));
  }
}

void sign(X509* cert, EVP_PKEY* key) { check(X509_sign(cert, key, digestFor(key)) > 0, "X509_sign"); }

// The subject alternative names of `request`, as the extension itself.
X509_EXTENSION* requestSubjectAltNames(X509_REQ* request) {
  STACK_OF(X509_EXTENSION)* exts = X509_REQ_get_extensions(request);
  if (exts == nullptr) return nullptr;
  X509_EXTENSION* found = nullptr;
  const int at = X509v3_get_ext_by_NID(exts, NID_subject_alt_name, -1);
  if (at >= 0) found = X509_EXTENSION_dup(sk_X509_EXTENSION_value(exts, at));
  sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
  return found;
}

}  // namespace

Ossl<X509> selfSign(EVP_PKEY* key, const X509_NAME* subject, const CertificateProfile& profile) {
  Ossl<X509> cert = startCertificate(subject, key, profile);
  check(X509_set_issuer_name(cert.get(), subject) == 1, "X509_set_issuer_name");
  addProfileExtensions(cert.get(), cert.get(), key, profile);
  sign(cert.get(), key);
  return cert;
}

Ossl<X509> issueFromRequest(X509_REQ* request, X509* issuer, EVP_PKEY* issuerKey, const CertificateProfile& profile,
                            bool* clipped) {
  Ossl<EVP_PKEY> publicKey(X509_REQ_get_pubkey(request));
  if (publicKey == nullptr) refuse("the request holds no usable public key");
  if (X509_REQ_verify(request, publicKey.get()) != 1) refuse("the request's signature does not verify");
  if (X509_check_ca(issuer) == 0) refuse("the issuer " + nameText(X509_get_subject_name(issuer)) + " is not a CA");
  if ((X509_get_extension_flags(issuer) & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(issuer) & KU_KEY_CERT_SIGN) == 0) {
    refuse("the issuer's key usage does not allow signing certificates");
  }
  if (!keyMatches(issuer, issuerKey)) refuse("the issuer's private key does not belong to its certificate");
  if (profile.ca && X509_get_pathlen(issuer) == 0) {
    refuse("the issuer's path length constraint allows no CA below it");
  }
  Ossl<X509> cert = startCertificate(X509_REQ_get_subject_name(request), publicKey.get(), profile);
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)) == 1, "X509_set_issuer_name");
  const ASN1_TIME* issuerEnd = X509_get0_notAfter(issuer);
  if (X509_cmp_time(issuerEnd, nullptr) <= 0) refuse("the issuer's certificate has expired");
  const bool shortened = ASN1_TIME_compare(X509_get0_notAfter(cert.get()), issuerEnd) > 0;
  if (shortened) check(X509_set1_notAfter(cert.get(), issuerEnd) == 1, "notAfter");
  if (clipped != nullptr) *clipped = shortened;
  addProfileExtensions(cert.get(), issuer, publicKey.get(), profile);
  if (profile.subjectAltNames.empty()) {
    X509_EXTENSION* names = requestSubjectAltNames(request);
    if (names != nullptr) {
      const int added = X509_add_ext(cert.get(), names, -1);
      X509_EXTENSION_free(names);
      check(added == 1, "X509_add_ext");
    }
  }
  sign(cert.get(), issuerKey);
  return cert;
}

std::vector<ExtensionText> describeExtensions(X509* cert) {
  std::vector<ExtensionText> out;
  const int count = X509_get_ext_count(cert);
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_get_ext(cert, i);
    const ASN1_OBJECT* object = X509_EXTENSION_get_object(ext);
    ExtensionText text;
    const int nid = OBJ_obj2nid(object);
    if (nid != NID_undef) {
      text.name = OBJ_nid2ln(nid);
    } else {
      char oid[128];
      OBJ_obj2txt(oid, sizeof oid, object, 1);
      text.name = oid;
    }
    text.critical = X509_EXTENSION_get_critical(ext) != 0;
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    check(bio != nullptr, "BIO_new");
    if (X509V3_EXT_print(bio.get(), ext, X509V3_EXT_DUMP_UNKNOWN, 0) != 1) {
      (void)BIO_reset(bio.get());
      ASN1_STRING_print(bio.get(), X509_EXTENSION_get_data(ext));
    }
    const char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    // Multi-line values (policies, some key identifiers) become one line.
    const std::string raw(data, static_cast<std::size_t>(length > 0 ? length : 0));
    std::size_t pos = 0;
    while (pos < raw.size()) {
      std::size_t end = raw.find_first_of("\r\n", pos);
      if (end == std::string::npos) end = raw.size();
      const std::size_t first = raw.find_first_not_of(' ', pos);
      std::size_t last = end;
      while (last > pos && raw[last - 1] == ' ') --last;
      if (first != std::string::npos && first < last) {
        text.value += (text.value.empty() ? "" : "; ") + raw.substr(first, last - first);
      }
      pos = end + 1;
    }
    out.push_back(std::move(text));
  }
  return out;
}

std::vector<std::string> parseExtendedKeyUsages(const std::string& text) {
  static const char* const known[] = {"serverAuth",      "clientAuth",   "codeSigning",
                                      "emailProtection", "timeStamping", "OCSPSigning"};
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (true) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string entry = text.substr(pos, comma - pos);
    const std::size_t first = entry.find_first_not_of(" \t");
    entry = first == std::string::npos ? "" : entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
    const char* name = nullptr;
    for (const char* k : known) {
      if (lower(entry) == lower(k)) name = k;
    }
    if (name == nullptr) {
      std::string all;
      for (const char* k : known) all += (all.empty() ? "" : ", ") + std::string(k);
      refuse("extended key usage \"" + printable(entry) + "\" is not one of " + all);
    }
    if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
    if (comma == text.size()) break;
    pos = comma + 1;
  }
  return out;
}

int purposeByName(const std::string& name) {
  const int index = X509_PURPOSE_get_by_sname(name.c_str());
  return index < 0 ? -1 : X509_PURPOSE_get_id(X509_PURPOSE_get0(index));
}

std::string purposeNames() {
  std::string out;
  for (int i = 0; i < X509_PURPOSE_get_count(); ++i) {
    out += (out.empty() ? "" : ", ") + std::string(X509_PURPOSE_get0_sname(X509_PURPOSE_get0(i)));
  }
  return out;
}

}  // namespace velkdb
