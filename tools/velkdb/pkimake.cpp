// Keys, certificates, requests and CRLs made here: for the demo and the tests.
#include "pki.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include "velexception.h"

namespace velkdb {

namespace {


}  // namespace

Ossl<EVP_PKEY> makeECKey() {
  Ossl<EVP_PKEY> key(EVP_EC_gen("P-256"));
  check(key != nullptr, "EC key generation");
  return key;
}

Ossl<EVP_PKEY> makeRSAKey(int bits) {
  Ossl<EVP_PKEY> key(EVP_RSA_gen(static_cast<unsigned>(bits)));
  check(key != nullptr, "RSA key generation");
  return key;
}

namespace {

Ossl<X509_NAME> nameFrom(const std::string& subject) {
  const VELBuffer der = parseName(subject);
  const unsigned char* p = der.data();
  Ossl<X509_NAME> name(d2i_X509_NAME(nullptr, &p, static_cast<long>(der.length())));
  check(name != nullptr, "d2i_X509_NAME");
  return name;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  check(ext != nullptr, "certificate extension");
  const int added = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  check(added == 1, "X509_add_ext");
}

void randomSerial(ASN1_INTEGER* serial) {
  BIGNUM* bn = BN_new();
  check(bn != nullptr && BN_rand(bn, 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1, "random serial");
  const bool ok = BN_to_ASN1_INTEGER(bn, serial) != nullptr;
  BN_free(bn);
  check(ok, "serial number");
}

}  // namespace

Ossl<X509> makeCertificate(EVP_PKEY* key, const std::string& subject, X509* issuer, EVP_PKEY* issuerKey, int days,
                           bool ca, const std::string& dnsName) {
  Ossl<X509> cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "X509_set_version");
  randomSerial(X509_get_serialNumber(cert.get()));
  Ossl<X509_NAME> name = nameFrom(subject);
  check(X509_set_subject_name(cert.get(), name.get()) == 1, "X509_set_subject_name");
  check(X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name.get()) == 1,
        "X509_set_issuer_name");
  check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60) != nullptr, "notBefore");
  check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * days) != nullptr, "notAfter");
  check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
  X509* signer = issuer ? issuer : cert.get();
  addExtension(cert.get(), signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  addExtension(cert.get(), signer, NID_key_usage,
               ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
  addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (!dnsName.empty()) {
    addExtension(cert.get(), signer, NID_subject_alt_name, "DNS:" + dnsName);
    addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
  }
  check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

Ossl<X509_REQ> makeRequest(EVP_PKEY* key, const std::string& subject) {
  Ossl<X509_REQ> req(X509_REQ_new());
  check(req != nullptr, "X509_REQ_new");
  Ossl<X509_NAME> name = nameFrom(subject);
  check(X509_REQ_set_version(req.get(), 0) == 1, "X509_REQ_set_version");
  check(X509_REQ_set_subject_name(req.get(), name.get()) == 1, "X509_REQ_set_subject_name");
  check(X509_REQ_set_pubkey(req.get(), key) == 1, "X509_REQ_set_pubkey");
  check(X509_REQ_sign(req.get(), key, EVP_sha256()) > 0, "X509_REQ_sign");
  return req;
}

Ossl<X509_CRL> makeCRL(X509* issuer, EVP_PKEY* issuerKey, const std::vector<X509*>& revoked, int days) {
  Ossl<X509_CRL> crl(X509_CRL_new());
  check(crl != nullptr, "X509_CRL_new");
  check(X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2) == 1, "X509_CRL_set_version");
  check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer)) == 1, "X509_CRL_set_issuer_name");
  std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> now(ASN1_TIME_adj(nullptr, std::time(nullptr), 0, -60),
                                                      ASN1_TIME_free);
  std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> next(ASN1_TIME_adj(nullptr, std::time(nullptr), days, 0),
                                                       ASN1_TIME_free);
  check(now && next, "CRL times");
  check(X509_CRL_set1_lastUpdate(crl.get(), now.get()) == 1, "lastUpdate");
  check(X509_CRL_set1_nextUpdate(crl.get(), next.get()) == 1, "nextUpdate");
  for (X509* cert : revoked) {
    X509_REVOKED* entry = X509_REVOKED_new();
    check(entry != nullptr, "X509_REVOKED_new");
    if (X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(cert)) != 1 ||
        X509_REVOKED_set_revocationDate(entry, now.get()) != 1 || X509_CRL_add0_revoked(crl.get(), entry) != 1) {
      X509_REVOKED_free(entry);
      check(false, "CRL entry");
    }
  }
  check(X509_CRL_sort(crl.get()) == 1, "X509_CRL_sort");
  check(X509_CRL_sign(crl.get(), issuerKey, EVP_sha256()) > 0, "X509_CRL_sign");
  return crl;
}

}  // namespace velkdb
