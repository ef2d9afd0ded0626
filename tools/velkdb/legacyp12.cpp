#include "legacyp12.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>

#include "velexception.h"

namespace velkdb {

namespace {

// The cipher of the encryption algorithm `alg` (PBES2 or a PKCS#12 / PKCS#5
// PBE scheme); NID_undef when it names none.
int cipherOf(const X509_ALGOR* alg) {
  if (alg == nullptr) return NID_undef;
  const ASN1_OBJECT* oid = nullptr;
  int paramType = 0;
  const void* param = nullptr;
  X509_ALGOR_get0(&oid, &paramType, &param, alg);
  const int nid = OBJ_obj2nid(oid);
  if (nid == NID_pbes2) {
    if (paramType != V_ASN1_SEQUENCE) return NID_undef;
    const ASN1_STRING* seq = static_cast<const ASN1_STRING*>(param);
    const unsigned char* p = ASN1_STRING_get0_data(seq);
    PBE2PARAM* decoded = d2i_PBE2PARAM(nullptr, &p, ASN1_STRING_length(seq));
    if (decoded == nullptr) return NID_undef;
    const int cipher = decoded->encryption ? OBJ_obj2nid(decoded->encryption->algorithm) : NID_undef;
    PBE2PARAM_free(decoded);
    return cipher;
  }
  int cipher = NID_undef, md = NID_undef;
  if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, &cipher, &md, nullptr) == 1 && cipher != NID_undef) return cipher;
  return nid;
}

bool cipherAvailable(int nid) {
  const char* name = OBJ_nid2sn(nid);
  if (name == nullptr) return false;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  ERR_clear_error();
  EVP_CIPHER_free(cipher);
  return cipher != nullptr;
}

// "RC2-40 (pbeWithSHA1And40BitRC2-CBC)" style: the cipher and the scheme.
std::string algorithmName(int nid) {
  const char* sn = OBJ_nid2sn(nid);
  std::string name = sn ? sn : "an unknown algorithm";
  if (name.size() > 4 && name.compare(name.size() - 4, 4, "-CBC") == 0 && name.rfind("RC2-", 0) == 0) {
    name.resize(name.size() - 4);
  }
  return name;
}

}  // namespace

std::vector<int> pkcs12Ciphers(PKCS12* p12) {
  std::vector<int> ciphers;
  auto add = [&](int nid) {
    if (nid != NID_undef && std::find(ciphers.begin(), ciphers.end(), nid) == ciphers.end()) ciphers.push_back(nid);
  };
  STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
  if (safes == nullptr) {
    ERR_clear_error();
    return ciphers;
  }
  for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
    PKCS7* safe = sk_PKCS7_value(safes, i);
    const int type = OBJ_obj2nid(safe->type);
    if (type == NID_pkcs7_encrypted) {
      if (safe->d.encrypted != nullptr && safe->d.encrypted->enc_data != nullptr) {
        add(cipherOf(safe->d.encrypted->enc_data->algorithm));
      }
    } else if (type == NID_pkcs7_data) {
      STACK_OF(PKCS12_SAFEBAG)* bags = PKCS12_unpack_p7data(safe);
      for (int j = 0; bags != nullptr && j < sk_PKCS12_SAFEBAG_num(bags); ++j) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, j);
        if (PKCS12_SAFEBAG_get_nid(bag) != NID_pkcs8ShroudedKeyBag) continue;
        const X509_ALGOR* alg = nullptr;
        X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &alg, nullptr);
        add(cipherOf(alg));
      }
      sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    }
  }
  sk_PKCS7_pop_free(safes, PKCS7_free);
  ERR_clear_error();
  return ciphers;
}

void enableLegacyPKCS12(const std::string& path, PKCS12* p12) {
  for (int nid : pkcs12Ciphers(p12)) {
    if (cipherAvailable(nid)) continue;
    // Loading a provider by name stops OpenSSL from loading the default one
    // by itself: both are loaded, once for the process.
    static OSSL_PROVIDER* legacy = nullptr;
    static OSSL_PROVIDER* standard = nullptr;
    std::string why;
    if (legacy == nullptr) {
      legacy = OSSL_PROVIDER_load(nullptr, "legacy");
      if (legacy == nullptr) {
        ERR_clear_error();
        const char* env = std::getenv("OPENSSL_MODULES");
        std::string dir = env != nullptr ? env : OpenSSL_version(OPENSSL_MODULES_DIR);
        // The built-in directory comes as MODULESDIR: "/path".
        const std::size_t quote = dir.find('"');
        if (env == nullptr && quote != std::string::npos) dir = dir.substr(quote + 1, dir.rfind('"') - quote - 1);
        why = "its legacy provider (legacy.so in " + dir + ") is not installed or does not load";
      } else if (standard == nullptr) {
        standard = OSSL_PROVIDER_load(nullptr, "default");
      }
    }
    if (why.empty() && cipherAvailable(nid)) continue;
    if (why.empty()) why = "no loaded provider offers it";
    VELDB_THROW(VELDBError::kBadArgument, path + ": written with the legacy algorithm " + algorithmName(nid) +
                                              ", which this OpenSSL cannot read: " + why);
  }
}

}  // namespace velkdb
