#include "issuing.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>

#include "text.h"
#include "velexception.h"

namespace velkdb {

namespace {

void checkMade(bool ok, const char* what) {
  if (!ok) fail(std::string("cannot make the certificate: ") + what + " failed");
}

void checkCRL(bool ok, const char* what) {
  if (!ok) fail(std::string("cannot make the CRL: ") + what + " failed");
}

constexpr int kMaxDays = 36500;

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) fail("cannot make the extension " + std::string(OBJ_nid2sn(nid)) + " from \"" + value + "\"");
  const int added = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  checkMade(added == 1, "X509_add_ext");
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    // A comma would end the entry early in the extension's text form: the
    // entry would be read as two.
    if (item.find(',') != std::string::npos) fail("\"" + item + "\" holds a comma");
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
  checkMade(bn != nullptr && BN_rand(bn.get(), 127, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1, "random serial");
  checkMade(BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr, "serial number");
}

// Everything but the issuer's part: version, serial, subject, key, the
// validity from now, and the extensions of `profile` as signed by `signer`.
Ossl<X509> startCertificate(const X509_NAME* subject, EVP_PKEY* publicKey, const CertificateProfile& profile) {
  if (profile.days < 1 || profile.days > kMaxDays) {
    fail("the validity is 1 to " + std::to_string(kMaxDays) + " days, not " + std::to_string(profile.days));
  }
  if (!profile.ca && profile.pathLength >= 0) fail("a path length is for a CA certificate only");
  Ossl<X509> cert(X509_new());
  checkMade(cert != nullptr, "X509_new");
  checkMade(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");
  randomSerial(cert.get());
  checkMade(X509_set_subject_name(cert.get(), subject) == 1, "X509_set_subject_name");
  checkMade(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60) != nullptr, "notBefore");
  checkMade(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * profile.days) != nullptr, "notAfter");
  checkMade(X509_set_pubkey(cert.get(), publicKey) == 1, "X509_set_pubkey");
  return cert;
}

void addProfileExtensions(X509* cert, X509* signer, EVP_PKEY* publicKey, const CertificateProfile& profile) {
  std::string constraints = profile.ca ? "critical,CA:TRUE" : "critical,CA:FALSE";
  if (profile.ca && profile.pathLength >= 0) constraints += ",pathlen:" + std::to_string(profile.pathLength);
  addExtension(cert, signer, NID_basic_constraints, constraints);
  std::string usage = profile.ca ? "critical,keyCertSign,cRLSign,digitalSignature" : "critical,digitalSignature";
  // Only an RSA key encrypts keys; for an EC or EdDSA key the usage would be
  // a contradiction that strict peers refuse.
  if (!profile.ca && profile.keyEncipherment && EVP_PKEY_get_base_id(publicKey) == EVP_PKEY_RSA) {
    usage += ",keyEncipherment";
  }
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

void sign(X509* cert, EVP_PKEY* key) { checkMade(X509_sign(cert, key, digestFor(key)) > 0, "X509_sign"); }

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

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

using Time = std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)>;
using Integer = std::unique_ptr<ASN1_INTEGER, void (*)(ASN1_INTEGER*)>;
using Number = std::unique_ptr<BIGNUM, void (*)(BIGNUM*)>;

Integer crlNumber(X509_CRL* crl) {
  return Integer(static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(crl, NID_crl_number, nullptr, nullptr)),
                 ASN1_INTEGER_free);
}

const struct {
  const char* name;
  int code;
} kReasons[] = {
    {"unspecified", CRL_REASON_UNSPECIFIED},
    {"keyCompromise", CRL_REASON_KEY_COMPROMISE},
    {"cACompromise", CRL_REASON_CA_COMPROMISE},
    {"affiliationChanged", CRL_REASON_AFFILIATION_CHANGED},
    {"superseded", CRL_REASON_SUPERSEDED},
    {"cessationOfOperation", CRL_REASON_CESSATION_OF_OPERATION},
    {"certificateHold", CRL_REASON_CERTIFICATE_HOLD},
    {"privilegeWithdrawn", CRL_REASON_PRIVILEGE_WITHDRAWN},
    {"aACompromise", CRL_REASON_AA_COMPROMISE},
};

}  // namespace

void applyNamedProfile(CertificateProfile& profile, const std::string& name) {
  const std::string kind = lower(name);
  const char* usage = nullptr;
  if (kind == "server") {
    profile.ca = false;
    profile.keyEncipherment = true;
    usage = "serverAuth";
  } else if (kind == "client") {
    profile.ca = false;
    profile.keyEncipherment = false;
    usage = "clientAuth";
  } else if (kind == "ca") {
    profile.ca = true;
  } else {
    fail("profile \"" + printable(name) + "\" is not one of server, client, ca");
  }
  std::vector<std::string>& usages = profile.extendedKeyUsages;
  if (usage != nullptr && std::find(usages.begin(), usages.end(), usage) == usages.end()) usages.push_back(usage);
}

Ossl<X509> selfSign(EVP_PKEY* key, const X509_NAME* subject, const CertificateProfile& profile) {
  Ossl<X509> cert = startCertificate(subject, key, profile);
  checkMade(X509_set_issuer_name(cert.get(), subject) == 1, "X509_set_issuer_name");
  addProfileExtensions(cert.get(), cert.get(), key, profile);
  sign(cert.get(), key);
  return cert;
}

Ossl<X509> issueFromRequest(X509_REQ* request, X509* issuer, EVP_PKEY* issuerKey, const CertificateProfile& profile,
                            bool* clipped) {
  Ossl<EVP_PKEY> publicKey(X509_REQ_get_pubkey(request));
  if (publicKey == nullptr) fail("the request holds no usable public key");
  if (X509_REQ_verify(request, publicKey.get()) != 1) fail("the request's signature does not verify");
  if (X509_check_ca(issuer) == 0) fail("the issuer " + nameText(X509_get_subject_name(issuer)) + " is not a CA");
  if ((X509_get_extension_flags(issuer) & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(issuer) & KU_KEY_CERT_SIGN) == 0) {
    fail("the issuer's key usage does not allow signing certificates");
  }
  if (!keyMatches(issuer, issuerKey)) fail("the issuer's private key does not belong to its certificate");
  if (profile.ca && X509_get_pathlen(issuer) == 0) {
    fail("the issuer's path length constraint allows no CA below it");
  }
  Ossl<X509> cert = startCertificate(X509_REQ_get_subject_name(request), publicKey.get(), profile);
  checkMade(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)) == 1, "X509_set_issuer_name");
  const ASN1_TIME* issuerEnd = X509_get0_notAfter(issuer);
  if (X509_cmp_time(issuerEnd, nullptr) <= 0) fail("the issuer's certificate has expired");
  const bool shortened = ASN1_TIME_compare(X509_get0_notAfter(cert.get()), issuerEnd) > 0;
  if (shortened) checkMade(X509_set1_notAfter(cert.get(), issuerEnd) == 1, "notAfter");
  if (clipped != nullptr) *clipped = shortened;
  addProfileExtensions(cert.get(), issuer, publicKey.get(), profile);
  if (profile.subjectAltNames.empty()) {
    X509_EXTENSION* names = requestSubjectAltNames(request);
    if (names != nullptr) {
      const int added = X509_add_ext(cert.get(), names, -1);
      X509_EXTENSION_free(names);
      checkMade(added == 1, "X509_add_ext");
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
    checkMade(bio != nullptr, "BIO_new");
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
      fail("extended key usage \"" + printable(entry) + "\" is not one of " + all);
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

int crlReasonByName(const std::string& name) {
  for (const auto& r : kReasons) {
    if (lower(name) == lower(r.name)) return r.code;
  }
  return -1;
}

std::string crlReasonName(int code) {
  for (const auto& r : kReasons) {
    if (r.code == code) return r.name;
  }
  return "";
}

std::string crlReasonNames(const char* separator) {
  std::string out;
  for (const auto& r : kReasons) out += (out.empty() ? "" : separator) + std::string(r.name);
  return out;
}

Integer parsePositiveSerial(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      hex += c;
    } else if (c != ':' && c != ' ') {
      fail("the serial number \"" + printable(text) + "\" is not hexadecimal");
    }
  }
  const std::size_t first = hex.find_first_not_of('0');
  hex = first == std::string::npos ? "" : hex.substr(first);
  // A serial number is a positive integer of at most 20 octets.
  if (hex.empty() || hex.size() > 40) fail("the serial number \"" + printable(text) + "\" is not 1 to 20 octets");
  BIGNUM* raw = nullptr;
  checkCRL(BN_hex2bn(&raw, hex.c_str()) != 0, "BN_hex2bn");
  Number bn(raw, BN_free);
  Integer serial(BN_to_ASN1_INTEGER(bn.get(), nullptr), ASN1_INTEGER_free);
  checkCRL(serial != nullptr, "BN_to_ASN1_INTEGER");
  return serial;
}

bool isFullCRLOf(X509_CRL* crl, X509* issuer) {
  if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(issuer)) != 0) return false;
  if (X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0) return false;
  if (X509_CRL_get_ext_by_NID(crl, NID_issuing_distribution_point, -1) >= 0) return false;
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  return key != nullptr && X509_CRL_verify(crl, key) == 1;
}

std::string crlNumberText(X509_CRL* crl) {
  const Integer number = crlNumber(crl);
  if (!number) return "";
  Number bn(ASN1_INTEGER_to_BN(number.get(), nullptr), BN_free);
  char* text = bn ? BN_bn2dec(bn.get()) : nullptr;
  checkCRL(text != nullptr, "BN_bn2dec");
  const std::string out(text);
  OPENSSL_free(text);
  return out;
}

bool isNewerCRL(X509_CRL* a, X509_CRL* b) {
  const Integer na = crlNumber(a), nb = crlNumber(b);
  if (na && nb && ASN1_INTEGER_cmp(na.get(), nb.get()) != 0) return ASN1_INTEGER_cmp(na.get(), nb.get()) > 0;
  if (na && !nb) return true;
  if (!na && nb) return false;
  return ASN1_TIME_compare(X509_CRL_get0_lastUpdate(a), X509_CRL_get0_lastUpdate(b)) > 0;
}

Ossl<X509_CRL> nextCRL(X509* issuer, EVP_PKEY* issuerKey, X509_CRL* previous, int days, const Revocation* added) {
  if (days < 1 || days > kMaxDays) {
    fail("the CRL's validity is 1 to " + std::to_string(kMaxDays) + " days, not " + std::to_string(days));
  }
  if (X509_check_ca(issuer) == 0) fail("the issuer " + nameText(X509_get_subject_name(issuer)) + " is not a CA");
  if ((X509_get_extension_flags(issuer) & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(issuer) & KU_CRL_SIGN) == 0) {
    fail("the issuer's key usage does not allow signing CRLs");
  }
  if (!keyMatches(issuer, issuerKey)) fail("the issuer's private key does not belong to its certificate");
  if (previous != nullptr && !isFullCRLOf(previous, issuer)) fail("the previous CRL is not one of this issuer");

  Ossl<X509_CRL> crl(X509_CRL_new());
  checkCRL(crl != nullptr, "X509_CRL_new");
  checkCRL(X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2) == 1, "X509_CRL_set_version");
  checkCRL(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer)) == 1, "X509_CRL_set_issuer_name");
  const std::time_t now = std::time(nullptr);
  Time thisUpdate(ASN1_TIME_adj(nullptr, now, 0, 0), ASN1_TIME_free);
  Time nextUpdate(ASN1_TIME_adj(nullptr, now, days, 0), ASN1_TIME_free);
  checkCRL(thisUpdate && nextUpdate, "CRL times");
  checkCRL(X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get()) == 1, "thisUpdate");
  checkCRL(X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get()) == 1, "nextUpdate");

  if (previous != nullptr) {
    STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(previous);
    for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i) {
      X509_REVOKED* entry = X509_REVOKED_dup(sk_X509_REVOKED_value(entries, i));
      checkCRL(entry != nullptr, "X509_REVOKED_dup");
      if (X509_CRL_add0_revoked(crl.get(), entry) != 1) {
        X509_REVOKED_free(entry);
        checkCRL(false, "X509_CRL_add0_revoked");
      }
    }
  }
  if (added != nullptr) {
    if (added->serial == nullptr) fail("no serial number to revoke");
    X509_REVOKED* found = nullptr;
    if (previous != nullptr && X509_CRL_get0_by_serial(previous, &found, added->serial) == 1) {
      fail("serial " + serialText(added->serial) + " is revoked already (since " +
             timeText(X509_REVOKED_get0_revocationDate(found)) + ")");
    }
    std::unique_ptr<X509_REVOKED, void (*)(X509_REVOKED*)> entry(X509_REVOKED_new(), X509_REVOKED_free);
    checkCRL(entry != nullptr, "X509_REVOKED_new");
    checkCRL(X509_REVOKED_set_serialNumber(entry.get(), const_cast<ASN1_INTEGER*>(added->serial)) == 1, "serial");
    checkCRL(X509_REVOKED_set_revocationDate(entry.get(), thisUpdate.get()) == 1, "revocationDate");
    // "unspecified" is said by leaving the reason code out.
    if (added->reason > CRL_REASON_UNSPECIFIED) {
      std::unique_ptr<ASN1_ENUMERATED, void (*)(ASN1_ENUMERATED*)> reason(ASN1_ENUMERATED_new(), ASN1_ENUMERATED_free);
      checkCRL(reason && ASN1_ENUMERATED_set(reason.get(), added->reason) == 1, "reason code");
      checkCRL(X509_REVOKED_add1_ext_i2d(entry.get(), NID_crl_reason, reason.get(), 0, 0) == 1, "reason code");
    }
    checkCRL(X509_CRL_add0_revoked(crl.get(), entry.get()) == 1, "X509_CRL_add0_revoked");
    entry.release();
  }
  checkCRL(X509_CRL_sort(crl.get()) == 1, "X509_CRL_sort");

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, nullptr, nullptr, crl.get(), 0);
  // The key identifier when the issuer has one, else its issuer and serial.
  X509_EXTENSION* aki = X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid,issuer");
  checkCRL(aki != nullptr, "authority key identifier");
  const int akiAdded = X509_CRL_add_ext(crl.get(), aki, -1);
  X509_EXTENSION_free(aki);
  checkCRL(akiAdded == 1, "X509_CRL_add_ext");

  Number number(BN_new(), BN_free);
  checkCRL(number != nullptr, "BN_new");
  const Integer last = previous != nullptr ? crlNumber(previous) : Integer(nullptr, ASN1_INTEGER_free);
  if (last) checkCRL(ASN1_INTEGER_to_BN(last.get(), number.get()) != nullptr, "ASN1_INTEGER_to_BN");
  checkCRL(BN_add_word(number.get(), 1) == 1, "BN_add_word");
  const Integer next(BN_to_ASN1_INTEGER(number.get(), nullptr), ASN1_INTEGER_free);
  checkCRL(next != nullptr, "BN_to_ASN1_INTEGER");
  checkCRL(X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, next.get(), 0, 0) == 1, "CRL number");

  checkCRL(X509_CRL_sign(crl.get(), issuerKey, digestFor(issuerKey)) > 0, "X509_CRL_sign");
  return crl;
}

}  // namespace velkdb
