#include "pkcs12.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <memory>

#include "velexception.h"

namespace velkdb {

namespace {

// The trusted-key-usage attribute of a certificate bag.
const char kTrustedKeyUsage[] = "2.16.840.1.113894.746875.1.1";
// Safe contents nest in bags; a crafted file could nest them without end.
constexpr int kMaxNesting = 4;


struct BagsFree {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * bags) const { sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free); }
};
using Bags = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), BagsFree>;
struct SafesFree {
  void operator()(STACK_OF(PKCS7) * safes) const { sk_PKCS7_pop_free(safes, PKCS7_free); }
};
using Safes = std::unique_ptr<STACK_OF(PKCS7), SafesFree>;
struct ObjectFree {
  void operator()(ASN1_OBJECT* o) const { ASN1_OBJECT_free(o); }
};

std::string friendlyName(const PKCS12_SAFEBAG* bag) {
  char* name = PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag));
  if (name == nullptr) return std::string();
  std::string out(name);
  OPENSSL_free(name);
  return out;
}

bool trustMarked(const PKCS12_SAFEBAG* bag) {
  const std::unique_ptr<ASN1_OBJECT, ObjectFree> mark(OBJ_txt2obj(kTrustedKeyUsage, 1));
  const STACK_OF(X509_ATTRIBUTE)* attributes = PKCS12_SAFEBAG_get0_attrs(bag);
  return mark != nullptr && attributes != nullptr && X509at_get_attr_by_OBJ(attributes, mark.get(), -1) >= 0;
}

class BagReader {
 public:
  BagReader(const std::string& path, const char* password, InputItems& items)
      : d_path(path), d_password(password), d_items(items) {}

  void readSafes(PKCS12* p12) {
    Safes safes(PKCS12_unpack_authsafes(p12));
    if (!safes) fail(d_path + ": the PKCS#12 file's contents cannot be read");
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
      PKCS7* safe = sk_PKCS7_value(safes.get(), i);
      const int type = OBJ_obj2nid(safe->type);
      Bags bags;
      if (type == NID_pkcs7_data) {
        bags.reset(PKCS12_unpack_p7data(safe));
      } else if (type == NID_pkcs7_encrypted) {
        bags.reset(PKCS12_unpack_p7encdata(safe, d_password, -1));
      } else {
        continue;  // enveloped contents: public-key privacy, not password-based
      }
      if (!bags) fail(d_path + ": a part of the PKCS#12 file does not open with its password");
      readBags(bags.get(), 0);
    }
  }

 private:
  void readBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) readBag(sk_PKCS12_SAFEBAG_value(bags, i), depth);
  }

  void readBag(const PKCS12_SAFEBAG* bag, int depth) {
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_keyBag:
        addKey(bag, EVP_PKCS82PKEY(PKCS12_SAFEBAG_get0_p8inf(bag)));
        break;
      case NID_pkcs8ShroudedKeyBag: {
        const X509_ALGOR* algorithm = nullptr;
        X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &algorithm, nullptr);
        refuseCostlyDerivation(algorithm, d_path + ": a private key in the PKCS#12 file");
        PKCS8_PRIV_KEY_INFO* p8 = PKCS12_decrypt_skey(bag, d_password, -1);
        if (p8 == nullptr) fail(d_path + ": a private key in the PKCS#12 file does not open with its password");
        EVP_PKEY* key = EVP_PKCS82PKEY(p8);
        PKCS8_PRIV_KEY_INFO_free(p8);
        addKey(bag, key);
        break;
      }
      case NID_certBag: {
        if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;  // other certificate kinds
        X509* cert = PKCS12_SAFEBAG_get1_cert(bag);
        if (cert == nullptr) fail(d_path + ": a certificate in the PKCS#12 file is damaged");
        d_items.certs.emplace_back(cert);
        ItemAttributes attributes{friendlyName(bag), trustMarked(bag)};
        // The certificate keeps its friendly name as its alias, as OpenSSL's
        // own PKCS#12 reader leaves it.
        if (!attributes.label.empty()) {
          X509_alias_set1(cert, reinterpret_cast<const unsigned char*>(attributes.label.data()),
                          static_cast<int>(attributes.label.size()));
        }
        if (!attributes.label.empty() || attributes.trusted) d_items.attributes[cert] = attributes;
        break;
      }
      case NID_crlBag: {
        X509_CRL* crl = PKCS12_SAFEBAG_get1_crl(bag);
        if (crl == nullptr) fail(d_path + ": a CRL in the PKCS#12 file is damaged");
        d_items.crls.emplace_back(crl);
        const std::string label = friendlyName(bag);
        if (!label.empty()) d_items.attributes[crl].label = label;
        break;
      }
      case NID_secretBag:
        readRequest(bag);
        break;
      case NID_safeContentsBag:
        if (depth >= kMaxNesting) fail(d_path + ": the PKCS#12 file nests its contents too deeply");
        readBags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1);
        break;
      default:
        break;  // nothing a key store keeps
    }
  }

  // A secret bag of a key pair's request; other secrets are passed by.
  void readRequest(const PKCS12_SAFEBAG* bag) {
    if (OBJ_obj2nid(PKCS12_SAFEBAG_get0_bag_type(bag)) != NID_id_cct_crs) return;
    const ASN1_TYPE* value = PKCS12_SAFEBAG_get0_bag_obj(bag);
    if (value == nullptr || value->type != V_ASN1_OCTET_STRING) {
      fail(d_path + ": a certification request in the PKCS#12 file is damaged");
    }
    const ASN1_OCTET_STRING* der = value->value.octet_string;
    const unsigned char* p = ASN1_STRING_get0_data(der);
    const long length = ASN1_STRING_length(der);
    X509_REQ* request = d2i_X509_REQ(nullptr, &p, length);
    if (request == nullptr || p != ASN1_STRING_get0_data(der) + length) {
      X509_REQ_free(request);
      fail(d_path + ": a certification request in the PKCS#12 file is damaged");
    }
    d_items.requests.emplace_back(request);
    const std::string label = friendlyName(bag);
    if (!label.empty()) d_items.attributes[request].label = label;
  }

  void addKey(const PKCS12_SAFEBAG* bag, EVP_PKEY* key) {
    if (key == nullptr) fail(d_path + ": a private key in the PKCS#12 file is damaged or of an unknown kind");
    d_items.keys.emplace_back(key);
    const std::string label = friendlyName(bag);
    if (!label.empty()) d_items.attributes[key].label = label;
  }

  const std::string& d_path;
  const char* d_password;
  InputItems& d_items;
};

void checkMade(bool ok, const char* what) {
  if (!ok) fail(std::string("making the PKCS#12 file failed: ") + what);
}

}  // namespace

void readPKCS12Bags(const std::string& path, PKCS12* p12, const char* password, InputItems& items) {
  BagReader(path, password, items).readSafes(p12);
  ERR_clear_error();
}

namespace {

// The friendly name and local key ID of a bag; either may be left out.
void nameBag(PKCS12_SAFEBAG* bag, const std::string& label, const unsigned char* id, unsigned idLength) {
  if (!label.empty()) {
    checkMade(PKCS12_add_friendlyname_utf8(bag, label.c_str(), static_cast<int>(label.size())) == 1, "friendly name");
  }
  if (id != nullptr) checkMade(PKCS12_add_localkeyid(bag, const_cast<unsigned char*>(id), static_cast<int>(idLength)) == 1,
                           "local key ID");
}

PKCS12_SAFEBAG* addKey(STACK_OF(PKCS12_SAFEBAG) * *bags, EVP_PKEY* key, const char* pass, int iterations) {
  PKCS12_SAFEBAG* bag = PKCS12_add_key_ex(bags, key, 0, iterations, NID_aes_256_cbc, pass, nullptr, nullptr);
  checkMade(bag != nullptr, "PKCS12_add_key");
  return bag;
}

}  // namespace

std::string storePKCS12(const std::vector<StoreEntry>& entries, const Secret& password, int iterations,
                        const std::vector<StoreKeyPair>& keyPairs, const std::vector<StoreCRL>& crls) {
  if (entries.empty() && keyPairs.empty() && crls.empty()) fail("making the PKCS#12 file failed: nothing to store");
  const char* pass = password.bytes().c_str();
  // The stacks exist from the start: every bag is added to one of them.
  STACK_OF(PKCS12_SAFEBAG)* certBags = sk_PKCS12_SAFEBAG_new_null();
  const Bags certGuard(certBags);
  STACK_OF(PKCS12_SAFEBAG)* keyBags = sk_PKCS12_SAFEBAG_new_null();
  const Bags keyGuard(keyBags);
  checkMade(certBags != nullptr && keyBags != nullptr, "sk_PKCS12_SAFEBAG_new_null");
  unsigned char id[EVP_MAX_MD_SIZE];
  unsigned int idLength = 0;
  for (const StoreEntry& entry : entries) {
    PKCS12_SAFEBAG* bag = PKCS12_add_cert(&certBags, entry.cert);
    checkMade(bag != nullptr, "PKCS12_add_cert");
    if (entry.key != nullptr) {
      checkMade(X509_digest(entry.cert, EVP_sha1(), id, &idLength) == 1, "local key ID");
      nameBag(bag, entry.label, id, idLength);
      nameBag(addKey(&keyBags, entry.key, pass, iterations), entry.label, id, idLength);
    } else {
      nameBag(bag, entry.label, nullptr, 0);
      if (entry.trusted) {
        checkMade(PKCS12_add1_attr_by_txt(bag, kTrustedKeyUsage, V_ASN1_OBJECT,
                                      reinterpret_cast<const unsigned char*>(OBJ_nid2obj(NID_anyExtendedKeyUsage)),
                                      -1) == 1,
              "trust mark");
      }
    }
  }
  for (const StoreKeyPair& pair : keyPairs) {
    const auto* der = reinterpret_cast<const unsigned char*>(pair.requestDER.data());
    checkMade(EVP_Digest(der, pair.requestDER.size(), id, &idLength, EVP_sha1(), nullptr) == 1, "local key ID");
    PKCS12_SAFEBAG* bag = PKCS12_add_secret(&certBags, NID_id_cct_crs, der, static_cast<int>(pair.requestDER.size()));
    checkMade(bag != nullptr, "PKCS12_add_secret");
    nameBag(bag, pair.label, id, idLength);
    nameBag(addKey(&keyBags, pair.key, pass, iterations), pair.label, id, idLength);
  }
  for (const StoreCRL& crl : crls) {
    PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create_crl(crl.crl);
    checkMade(bag != nullptr, "PKCS12_SAFEBAG_create_crl");
    if (sk_PKCS12_SAFEBAG_push(certBags, bag) <= 0) {
      PKCS12_SAFEBAG_free(bag);
      checkMade(false, "sk_PKCS12_SAFEBAG_push");
    }
    nameBag(bag, crl.label, nullptr, 0);
  }
  STACK_OF(PKCS7)* safes = nullptr;
  Safes safesGuard;
  if (sk_PKCS12_SAFEBAG_num(certBags) > 0) {
    const bool added = PKCS12_add_safe_ex(&safes, certBags, NID_aes_256_cbc, iterations, pass, nullptr, nullptr) == 1;
    safesGuard.release();
    safesGuard.reset(safes);
    checkMade(added, "the certificates' contents");
  }
  if (sk_PKCS12_SAFEBAG_num(keyBags) > 0) {
    // The keys are encrypted each on its own: their contents need not be.
    const bool added = PKCS12_add_safe_ex(&safes, keyBags, -1, 0, nullptr, nullptr, nullptr) == 1;
    safesGuard.release();
    safesGuard.reset(safes);
    checkMade(added, "the keys' contents");
  }
  std::unique_ptr<PKCS12, void (*)(PKCS12*)> p12(PKCS12_add_safes_ex(safes, 0, nullptr, nullptr), PKCS12_free);
  checkMade(p12 != nullptr, "PKCS12_add_safes");
  checkMade(PKCS12_set_mac(p12.get(), pass, static_cast<int>(password.bytes().size()), nullptr, 0, iterations,
                       EVP_sha256()) == 1,
        "MAC");
  unsigned char* der = nullptr;
  const int n = i2d_PKCS12(p12.get(), &der);
  checkMade(n > 0, "encoding");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n));
  OPENSSL_free(der);
  return bytes;
}

}  // namespace velkdb
