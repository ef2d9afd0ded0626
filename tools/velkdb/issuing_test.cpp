#include "issuing.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include "velexception.h"

namespace velkdb {
namespace {

Ossl<X509_NAME> name(const std::string& text) {
  const VELBuffer der = parseName(text);
  const unsigned char* p = der.data();
  return Ossl<X509_NAME>(d2i_X509_NAME(nullptr, &p, static_cast<long>(der.length())));
}

// A request of `key` for `subject` carrying `extensions` ("nid=value").
Ossl<X509_REQ> request(EVP_PKEY* key, const std::string& subject, const std::vector<std::pair<int, std::string>>& exts) {
  Ossl<X509_REQ> req = makeRequest(key, subject);
  STACK_OF(X509_EXTENSION)* stack = sk_X509_EXTENSION_new_null();
  for (const auto& e : exts) {
    sk_X509_EXTENSION_push(stack, X509V3_EXT_conf_nid(nullptr, nullptr, e.first, e.second.c_str()));
  }
  X509_REQ_add_extensions(req.get(), stack);
  sk_X509_EXTENSION_pop_free(stack, X509_EXTENSION_free);
  X509_REQ_sign(req.get(), key, EVP_sha256());
  return req;
}

// X509_V_OK when `leaf` verifies up to `anchor` for `purpose` (0: none).
int verify(X509* leaf, X509* anchor, int purpose) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, anchor);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf, nullptr);
  if (purpose != 0) X509_STORE_CTX_set_purpose(ctx, purpose);
  const int ok = X509_verify_cert(ctx);
  const int error = ok == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  return error;
}

std::string extension(X509* cert, const std::string& name) {
  for (const ExtensionText& e : describeExtensions(cert)) {
    if (e.name == name) return (e.critical ? "critical " : "") + e.value;
  }
  return "(absent)";
}

int errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const VELDBException& e) {
    return static_cast<int>(e.getError());
  }
  return 0;
}

TEST(Issuing, SelfSignedCertificatesOfEveryKeyTypeVerifyAgainstThemselves) {
  std::vector<Ossl<EVP_PKEY>> keys;
  keys.push_back(makeECKey());
  keys.push_back(makeRSAKey(2048));
  keys.emplace_back(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  for (auto& key : keys) {
    CertificateProfile profile;
    profile.days = 30;
    profile.subjectAltNames = {"DNS:web.example", "IP:10.0.0.1"};
    profile.extendedKeyUsages = {"serverAuth"};
    Ossl<X509> cert = selfSign(key.get(), name("CN=web.example,O=Test").get(), profile);
    SCOPED_TRACE(keyText(key.get()));
    EXPECT_EQ(1, X509_verify(cert.get(), key.get()));
    EXPECT_EQ(0, X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())));
    EXPECT_EQ(X509_V_OK, verify(cert.get(), cert.get(), X509_PURPOSE_SSL_SERVER));
    // Serving as a client is not what it was made for.
    EXPECT_NE(X509_V_OK, verify(cert.get(), cert.get(), X509_PURPOSE_SSL_CLIENT));
    EXPECT_EQ(0, X509_check_ca(cert.get()));
    EXPECT_EQ("DNS:web.example, IP Address:10.0.0.1", extension(cert.get(), "X509v3 Subject Alternative Name"));
    EXPECT_EQ("critical CA:FALSE", extension(cert.get(), "X509v3 Basic Constraints"));
    const bool rsa = EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA;
    EXPECT_EQ(rsa ? "critical Digital Signature, Key Encipherment" : "critical Digital Signature",
              extension(cert.get(), "X509v3 Key Usage"));
    const long long lifetime = timeValue(X509_get0_notAfter(cert.get())) - timeValue(X509_get0_notBefore(cert.get()));
    EXPECT_EQ(30LL * 86400 + 60, lifetime);
  }
}

TEST(Issuing, ARequestSignedByAStoredCAVerifiesAndCannotMakeItselfACA) {
  Ossl<EVP_PKEY> caKey = makeECKey();
  CertificateProfile caProfile;
  caProfile.ca = true;
  caProfile.pathLength = 0;
  caProfile.days = 3650;
  Ossl<X509> ca = selfSign(caKey.get(), name("CN=Test CA").get(), caProfile);
  EXPECT_EQ("critical CA:TRUE, pathlen:0", extension(ca.get(), "X509v3 Basic Constraints"));

  Ossl<EVP_PKEY> key = makeRSAKey(2048);
  // The request asks to be a CA and names a host: only the name is taken.
  Ossl<X509_REQ> req = request(key.get(), "CN=host.example",
                               {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_subject_alt_name, "DNS:host.example"}});
  CertificateProfile profile;
  profile.extendedKeyUsages = {"serverAuth", "clientAuth"};
  bool clipped = true;
  Ossl<X509> cert = issueFromRequest(req.get(), ca.get(), caKey.get(), profile, &clipped);
  EXPECT_FALSE(clipped);
  EXPECT_EQ(X509_V_OK, verify(cert.get(), ca.get(), X509_PURPOSE_SSL_SERVER));
  EXPECT_EQ(X509_V_OK, verify(cert.get(), ca.get(), X509_PURPOSE_SSL_CLIENT));
  EXPECT_EQ(0, X509_check_ca(cert.get()));
  EXPECT_EQ("DNS:host.example", extension(cert.get(), "X509v3 Subject Alternative Name"));
  EXPECT_NE("(absent)", extension(cert.get(), "X509v3 Authority Key Identifier"));
  EXPECT_TRUE(keyMatches(cert.get(), key.get()));

  // Names of the profile replace those of the request.
  profile.subjectAltNames = {"DNS:other.example"};
  cert = issueFromRequest(req.get(), ca.get(), caKey.get(), profile);
  EXPECT_EQ("DNS:other.example", extension(cert.get(), "X509v3 Subject Alternative Name"));
}

TEST(Issuing, WhatAnIssuerCannotSignIsRefused) {
  Ossl<EVP_PKEY> caKey = makeECKey();
  CertificateProfile caProfile;
  caProfile.ca = true;
  caProfile.pathLength = 0;
  Ossl<X509> ca = selfSign(caKey.get(), name("CN=Test CA").get(), caProfile);
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509_REQ> req = request(key.get(), "CN=leaf", {});
  const int bad = static_cast<int>(VELDBError::kBadArgument);

  // An end-entity certificate is no issuer.
  Ossl<X509> leaf = selfSign(key.get(), name("CN=leaf").get(), CertificateProfile());
  EXPECT_EQ(bad, errorOf([&] { issueFromRequest(req.get(), leaf.get(), key.get(), CertificateProfile()); }));
  // Another key than the CA's.
  EXPECT_EQ(bad, errorOf([&] { issueFromRequest(req.get(), ca.get(), key.get(), CertificateProfile()); }));
  // A CA below a CA of path length 0.
  CertificateProfile subCA;
  subCA.ca = true;
  EXPECT_EQ(bad, errorOf([&] { issueFromRequest(req.get(), ca.get(), caKey.get(), subCA); }));
  // A request whose signature does not verify (its subject changed after signing).
  Ossl<X509_REQ> forged = request(key.get(), "CN=leaf", {});
  X509_NAME_add_entry_by_txt(X509_REQ_get_subject_name(forged.get()), "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Forged"), -1, -1, 0);
  EXPECT_EQ(bad, errorOf([&] { issueFromRequest(forged.get(), ca.get(), caKey.get(), CertificateProfile()); }));
  // Validity out of range, and a path length on an end-entity certificate.
  for (int days : {0, -1, 36501}) {
    CertificateProfile p;
    p.days = days;
    EXPECT_EQ(bad, errorOf([&] { selfSign(key.get(), name("CN=x").get(), p); })) << days;
  }
  CertificateProfile leafWithPath;
  leafWithPath.pathLength = 1;
  EXPECT_EQ(bad, errorOf([&] { selfSign(key.get(), name("CN=x").get(), leafWithPath); }));
  // A name that would be read as two entries.
  CertificateProfile comma;
  comma.subjectAltNames = {"DNS:a,DNS:b"};
  EXPECT_EQ(bad, errorOf([&] { selfSign(key.get(), name("CN=x").get(), comma); }));
}

TEST(Issuing, ValidityEndsNoLaterThanTheIssuers) {
  Ossl<EVP_PKEY> caKey = makeECKey();
  CertificateProfile caProfile;
  caProfile.ca = true;
  caProfile.days = 10;
  Ossl<X509> ca = selfSign(caKey.get(), name("CN=Short CA").get(), caProfile);
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509_REQ> req = request(key.get(), "CN=leaf", {});
  bool clipped = false;
  Ossl<X509> cert = issueFromRequest(req.get(), ca.get(), caKey.get(), CertificateProfile(), &clipped);
  EXPECT_TRUE(clipped);
  EXPECT_EQ(0, ASN1_TIME_compare(X509_get0_notAfter(cert.get()), X509_get0_notAfter(ca.get())));
  EXPECT_EQ(X509_V_OK, verify(cert.get(), ca.get(), 0));
}

TEST(Issuing, PurposesByName) {
  EXPECT_EQ(X509_PURPOSE_SSL_SERVER, purposeByName("sslserver"));
  EXPECT_EQ(X509_PURPOSE_CRL_SIGN, purposeByName("crlsign"));
  EXPECT_EQ(-1, purposeByName("server"));
  EXPECT_NE(std::string::npos, purposeNames().find("sslclient"));
}

}  // namespace
}  // namespace velkdb
