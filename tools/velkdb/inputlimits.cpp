// How much work an input may ask for: key derivations and MAC iterations of
// encrypted keys and PKCS#12 files.
#include "pki.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include "velexception.h"

namespace velkdb {

namespace {

// The value of `iter`, or the whole decimal number when it does not fit.
std::string iterationText(const ASN1_INTEGER* iter) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(iter, nullptr);
  char* dec = bn ? BN_bn2dec(bn) : nullptr;
  std::string text = dec ? dec : "an unreadable number of";
  OPENSSL_free(dec);
  BN_free(bn);
  return text;
}

void refuseCount(const ASN1_INTEGER* iter, const std::string& what) {
  if (iter == nullptr) return;  // absent: the default of 1
  std::uint64_t count = 0;
  if (ASN1_INTEGER_get_uint64(&count, iter) == 1 && count <= kMaxIterations) return;
  ERR_clear_error();
  VELDB_THROW(VELDBError::kBadArgument, what + " asks for " + iterationText(iter) +
                                            " key-derivation iterations, more than the limit of " +
                                            std::to_string(kMaxIterations) + "; refused");
}

}  // namespace

void refuseCostlyDerivation(const X509_ALGOR* alg, const std::string& what) {
  if (alg == nullptr) return;
  const int nid = OBJ_obj2nid(alg->algorithm);
  const ASN1_TYPE* params = alg->parameter;
  // Without parameters nothing is derived: the decryption fails.
  if (params == nullptr || params->type != V_ASN1_SEQUENCE) return;
  if (nid == NID_pbes2) {
    std::unique_ptr<PBE2PARAM, void (*)(PBE2PARAM*)> pbe2(
        static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), params)), PBE2PARAM_free);
    ERR_clear_error();
    if (!pbe2 || pbe2->keyfunc == nullptr || OBJ_obj2nid(pbe2->keyfunc->algorithm) != NID_id_pbkdf2) return;
    std::unique_ptr<PBKDF2PARAM, void (*)(PBKDF2PARAM*)> kdf(
        static_cast<PBKDF2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)),
        PBKDF2PARAM_free);
    ERR_clear_error();
    if (kdf) refuseCount(kdf->iter, what);
    return;
  }
  int cipher = NID_undef, md = NID_undef;
  if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, &cipher, &md, nullptr) != 1) return;
  // PKCS#5 v1 and PKCS#12 schemes: PBEParameter ::= SEQUENCE { salt, iterations }.
  std::unique_ptr<PBEPARAM, void (*)(PBEPARAM*)> pbe(
      static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), params)), PBEPARAM_free);
  ERR_clear_error();
  if (pbe) refuseCount(pbe->iter, what);
}

void refuseCostlyPKCS12(PKCS12* p12, const std::string& path) {
  const ASN1_INTEGER* macIter = nullptr;
  PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIter, p12);
  refuseCount(macIter, path + ": the PKCS#12 file's MAC");
  STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
  ERR_clear_error();
  if (safes == nullptr) return;
  std::unique_ptr<STACK_OF(PKCS7), void (*)(STACK_OF(PKCS7)*)> safesGuard(
      safes, [](STACK_OF(PKCS7)* s) { sk_PKCS7_pop_free(s, PKCS7_free); });
  for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
    PKCS7* safe = sk_PKCS7_value(safes, i);
    const int type = OBJ_obj2nid(safe->type);
    if (type == NID_pkcs7_encrypted) {
      if (safe->d.encrypted != nullptr && safe->d.encrypted->enc_data != nullptr) {
        refuseCostlyDerivation(safe->d.encrypted->enc_data->algorithm, path + ": the PKCS#12 file's encrypted contents");
      }
    } else if (type == NID_pkcs7_data) {
      STACK_OF(PKCS12_SAFEBAG)* bags = PKCS12_unpack_p7data(safe);
      ERR_clear_error();
      std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), void (*)(STACK_OF(PKCS12_SAFEBAG)*)> bagsGuard(
          bags, [](STACK_OF(PKCS12_SAFEBAG)* b) { sk_PKCS12_SAFEBAG_pop_free(b, PKCS12_SAFEBAG_free); });
      for (int j = 0; bags != nullptr && j < sk_PKCS12_SAFEBAG_num(bags); ++j) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, j);
        if (PKCS12_SAFEBAG_get_nid(bag) != NID_pkcs8ShroudedKeyBag) continue;
        const X509_ALGOR* alg = nullptr;
        X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &alg, nullptr);
        refuseCostlyDerivation(alg, path + ": a private key in the PKCS#12 file");
      }
    }
  }
}

}  // namespace velkdb
