#include "pki.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "background.h"
#include "interrupt.h"
#include "legacyp12.h"
#include "pkcs12.h"
#include "text.h"
#include "velexception.h"

namespace velkdb {

void fail(const std::string& message) {
  ERR_clear_error();
  VELDB_THROW(VELDBError::kBadArgument, message);
}

void check(bool ok, const char* what) {
  if (!ok) fail(std::string(what) + " failed");
}

Secret::~Secret() {
  if (!d_bytes.empty()) OPENSSL_cleanse(&d_bytes[0], d_bytes.size());
}

namespace {


template <typename T, typename Encode>
VELBuffer encode(T* object, Encode i2d, const char* what) {
  unsigned char* out = nullptr;
  const int n = i2d(object, &out);
  if (n <= 0) fail(std::string("DER encoding of ") + what + " failed");
  VELBuffer der(out, static_cast<std::size_t>(n));
  OPENSSL_free(out);
  return der;
}


}  // namespace


VELBuffer wrapPrivateKey(EVP_PKEY* key, const Secret& password) {
  Ossl<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(key));
  check(p8 != nullptr, "EVP_PKEY2PKCS8");
  // A null salt and IV make OpenSSL draw fresh random ones.
  X509_ALGOR* algorithm = PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), kWrapIterations, nullptr, 0, nullptr,
                                            NID_hmacWithSHA256);
  check(algorithm != nullptr, "PKCS5_pbe2_set_iv");
  Ossl<X509_SIG> sig(
      PKCS8_set0_pbe(password.bytes().data(), static_cast<int>(password.bytes().size()), p8.get(), algorithm));
  if (!sig) {
    X509_ALGOR_free(algorithm);
    fail("PKCS8_set0_pbe failed");
  }
  return encode(sig.get(), i2d_X509_SIG, "encrypted private key");
}

Ossl<EVP_PKEY> unwrapPrivateKey(const VELASNCBuffer& epki, const Secret& password) {
  auto sig = decodeWhole<X509_SIG>(epki, d2i_X509_SIG);
  if (!sig) fail("stored private key is not an EncryptedPrivateKeyInfo");
  const X509_ALGOR* encryption = nullptr;
  X509_SIG_get0(sig.get(), &encryption, nullptr);
  refuseCostlyDerivation(encryption, "stored private key");
  Ossl<PKCS8_PRIV_KEY_INFO> p8(
      PKCS8_decrypt(sig.get(), password.bytes().data(), static_cast<int>(password.bytes().size())));
  Ossl<EVP_PKEY> key(p8 ? EVP_PKCS82PKEY(p8.get()) : nullptr);
  ERR_clear_error();
  return key;
}

std::string describeWrapping(const VELASNCBuffer& epki) {
  auto sig = decodeWhole<X509_SIG>(epki, d2i_X509_SIG);
  if (!sig) return "unreadable";
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* data = nullptr;
  X509_SIG_get0(sig.get(), &algorithm, &data);
  const int nid = OBJ_obj2nid(algorithm->algorithm);
  if (nid != NID_pbes2) return OBJ_nid2ln(nid) ? OBJ_nid2ln(nid) : "unknown";
  std::unique_ptr<PBE2PARAM, void (*)(PBE2PARAM*)> pbe2(
      static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter)),
      PBE2PARAM_free);
  if (!pbe2) return "PBES2";
  std::string text = "PBES2 (";
  if (OBJ_obj2nid(pbe2->keyfunc->algorithm) == NID_id_pbkdf2) {
    std::unique_ptr<PBKDF2PARAM, void (*)(PBKDF2PARAM*)> kdf(
        static_cast<PBKDF2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)),
        PBKDF2PARAM_free);
    if (kdf) {
      const int prf = kdf->prf ? OBJ_obj2nid(kdf->prf->algorithm) : NID_hmacWithSHA1;
      text += "PBKDF2-";
      text += prf == NID_hmacWithSHA256 ? "HMAC-SHA256" : prf == NID_hmacWithSHA1 ? "HMAC-SHA1" : OBJ_nid2sn(prf);
      text += ", " + std::to_string(ASN1_INTEGER_get(kdf->iter)) + " iterations, ";
    }
  }
  const int cipher = OBJ_obj2nid(pbe2->encryption->algorithm);
  text += cipher == NID_aes_256_cbc ? "AES-256-CBC" : OBJ_nid2sn(cipher);
  return text + ")";
}

VELBuffer derOf(X509* cert) { return encode(cert, i2d_X509, "certificate"); }
VELBuffer derOf(X509_CRL* crl) { return encode(crl, i2d_X509_CRL, "CRL"); }
VELBuffer derOf(X509_REQ* request) { return encode(request, i2d_X509_REQ, "request"); }
VELBuffer publicKeyDER(EVP_PKEY* key) { return encode(key, i2d_PUBKEY, "public key"); }

namespace {

// A stored object of the database, decoded whole; `what` names it in the
// error when it does not decode.
template <typename T, typename Decode>
Ossl<T> decodeStored(const VELASNCBuffer& der, Decode d2i, const char* what) {
  auto object = decodeWhole<T>(der, d2i);
  if (!object) fail(std::string("stored ") + what + " does not decode");
  return object;
}

}  // namespace

Ossl<X509> certFromDER(const VELASNCBuffer& der) { return decodeStored<X509>(der, d2i_X509, "certificate"); }
Ossl<X509_CRL> crlFromDER(const VELASNCBuffer& der) { return decodeStored<X509_CRL>(der, d2i_X509_CRL, "CRL"); }
Ossl<X509_REQ> requestFromDER(const VELASNCBuffer& der) {
  return decodeStored<X509_REQ>(der, d2i_X509_REQ, "request");
}
Ossl<EVP_PKEY> publicKeyFromDER(const VELASNCBuffer& der) {
  return decodeStored<EVP_PKEY>(der, d2i_PUBKEY, "public key");
}

std::string toPEM(const char* blockName, const VELASNCBuffer& der) {
  Ossl<BIO> bio(BIO_new(BIO_s_mem()));
  check(bio != nullptr, "BIO_new");
  check(PEM_write_bio(bio.get(), blockName, "", der.data(), static_cast<long>(der.length())) > 0, "PEM_write_bio");
  char* text = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<std::size_t>(n));
}

std::string nameText(const X509_NAME* name) {
  Ossl<BIO> bio(BIO_new(BIO_s_mem()));
  check(bio != nullptr, "BIO_new");
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* text = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<std::size_t>(n));
}

namespace {

// Splits "a=b<sep>c=d" at unescaped separators.
std::vector<std::string> splitName(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string current;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      current += text[++i];
    } else if (c == sep) {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  parts.push_back(current);
  return parts;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

}  // namespace

VELBuffer parseName(const std::string& text) {
  std::vector<std::string> parts;
  if (!text.empty() && text[0] == '/') {
    parts = splitName(text.substr(1), '/');
  } else {
    parts = splitName(text, ',');
    std::reverse(parts.begin(), parts.end());
  }
  Ossl<X509_NAME> name(X509_NAME_new());
  check(name != nullptr, "X509_NAME_new");
  for (const std::string& raw : parts) {
    const std::string part = trim(raw);
    if (part.empty()) continue;
    const auto eq = part.find('=');
    if (eq == std::string::npos || eq == 0) fail("name \"" + text + "\": \"" + part + "\" is not TYPE=value");
    std::string type = trim(part.substr(0, eq));
    if (OBJ_txt2nid(type.c_str()) == NID_undef) {
      // "cn" for "CN", "o" for "O": short names are upper case.
      std::string upper = type;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (OBJ_txt2nid(upper.c_str()) != NID_undef) type = upper;
    }
    const std::string value = trim(part.substr(eq + 1));
    if (X509_NAME_add_entry_by_txt(name.get(), type.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) != 1) {
      fail("name \"" + text + "\": unknown attribute \"" + type + "\"");
    }
  }
  if (X509_NAME_entry_count(name.get()) == 0) fail("empty name");
  return encode(name.get(), i2d_X509_NAME, "name");
}

std::string labelFromName(const X509_NAME* name) {
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName}) {
    const int i = X509_NAME_get_index_by_NID(name, nid, -1);
    if (i < 0) continue;
    int last = i;
    for (int j = i; j >= 0; j = X509_NAME_get_index_by_NID(name, nid, j)) last = j;
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last)));
    if (n > 0) {
      std::string label(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
      OPENSSL_free(utf8);
      // A label is one line of text: control characters in the name are
      // written out ("\x1b").
      if (!trim(label).empty()) return printable(trim(label));
    }
    ERR_clear_error();
  }
  const std::string text = nameText(name);
  return text.empty() ? "unnamed" : printable(text);
}

std::string timeText(const ASN1_TIME* t) {
  if (t == nullptr) return "";
  struct tm tm {};
  if (ASN1_TIME_to_tm(t, &tm) != 1) return "invalid";
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

long long timeValue(const ASN1_TIME* t) {
  struct tm tm {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
  return static_cast<long long>(timegm(&tm));
}

std::string serialText(const ASN1_INTEGER* serial) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(serial, nullptr);
  if (bn == nullptr) return "?";
  char* hex = BN_bn2hex(bn);
  BN_free(bn);
  if (hex == nullptr) return "?";
  std::string text(hex);
  OPENSSL_free(hex);
  return text;
}

std::string keyText(EVP_PKEY* key) {
  if (key == nullptr) return "?";
  const int id = EVP_PKEY_get_base_id(key);
  if (id == EVP_PKEY_RSA) return "RSA " + std::to_string(EVP_PKEY_get_bits(key));
  if (id == EVP_PKEY_EC) {
    char group[64] = {0};
    size_t len = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &len) == 1) {
      const int nid = OBJ_sn2nid(group);
      const char* nist = nid != NID_undef ? EC_curve_nid2nist(nid) : nullptr;
      return std::string("EC ") + (nist ? nist : group);
    }
    return "EC";
  }
  const char* name = OBJ_nid2sn(id);
  return name ? name : "?";
}

Ossl<EVP_PKEY> publicKeyOf(const X509* cert) {
  if (EVP_PKEY* decoded = X509_get0_pubkey(cert)) {
    EVP_PKEY_up_ref(decoded);
    return Ossl<EVP_PKEY>(decoded);
  }
  ERR_clear_error();
  unsigned char* der = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
  Ossl<EVP_PKEY> key;
  if (length > 0) {
    const unsigned char* p = der;
    key.reset(d2i_PUBKEY(nullptr, &p, length));
  }
  OPENSSL_free(der);
  ERR_clear_error();
  return key;
}

bool keyMatches(X509* cert, EVP_PKEY* key) {
  const Ossl<EVP_PKEY> pub = publicKeyOf(cert);
  const bool same = pub != nullptr && EVP_PKEY_eq(pub.get(), key) == 1;
  ERR_clear_error();
  return same;
}

bool keyMatches(X509_REQ* request, EVP_PKEY* key) {
  EVP_PKEY* pub = X509_REQ_get0_pubkey(request);
  const bool same = pub != nullptr && EVP_PKEY_eq(pub, key) == 1;
  ERR_clear_error();
  return same;
}

std::string bagAttributes(const std::string& label, bool trusted) {
  if (label.empty() && !trusted) return std::string();
  std::string out = "Bag Attributes\n";
  if (!label.empty()) out += "    friendlyName: " + label + "\n";
  if (trusted) out += "    trusted: yes\n";
  return out;
}

}  // namespace velkdb
