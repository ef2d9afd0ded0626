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

// A self-signed CA certificate of `key`, valid for `days`.
Ossl<X509> makeCA(EVP_PKEY* key, const char* subject, int pathLength, int days) {
  CertificateProfile profile;
  profile.ca = true;
  profile.pathLength = pathLength;
  profile.days = days;
  return selfSign(key, name(subject).get(), profile);
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
  Ossl<X509> ca = makeCA(caKey.get(), "CN=Test CA", 0, 3650);
  EXPECT_EQ("critical CA:TRUE, pathlen:0", extension(ca.get(), "X509v3 Basic Constraints"));

  Ossl<EVP_PKEY> key = makeRSAKey(2048);
  // The request asks to be a CA and names a host: only the name is taken.
  // (An openssl-made request is signed the same way in velkdb_issue_test.sh.)
  Ossl<X509_REQ> req = request(key.get(), "CN=host.example",
                               {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_subject_alt_name, "DNS:host.example"}});
  CertificateProfile profile;
  profile.extendedKeyUsages = {"serverAuth", "clientAuth"};
  bool clipped = true;
  Ossl<X509> cert = issueFromRequest(req.get(), ca.get(), caKey.get(), profile, &clipped);
  EXPECT_FALSE(clipped);
  EXPECT_EQ(X509_V_OK, verify(cert.get(), ca.get(), X509_PURPOSE_SSL_CLIENT));
  EXPECT_EQ(0, X509_check_ca(cert.get()));
  EXPECT_EQ("DNS:host.example", extension(cert.get(), "X509v3 Subject Alternative Name"));

  // Names of the profile replace those of the request.
  profile.subjectAltNames = {"DNS:other.example"};
  cert = issueFromRequest(req.get(), ca.get(), caKey.get(), profile);
  EXPECT_EQ("DNS:other.example", extension(cert.get(), "X509v3 Subject Alternative Name"));
}

TEST(Issuing, WhatAnIssuerCannotSignIsRefused) {
  Ossl<EVP_PKEY> caKey = makeECKey();
  Ossl<X509> ca = makeCA(caKey.get(), "CN=Test CA", 0, 365);
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

TEST(Issuing, NamedProfilesGiveTheirUsages) {
  Ossl<EVP_PKEY> caKey = makeECKey();
  CertificateProfile caProfile;
  applyNamedProfile(caProfile, "CA");
  Ossl<X509> ca = selfSign(caKey.get(), name("CN=Profile CA").get(), caProfile);
  EXPECT_EQ("critical CA:TRUE", extension(ca.get(), "X509v3 Basic Constraints"));
  EXPECT_EQ("(absent)", extension(ca.get(), "X509v3 Extended Key Usage"));

  Ossl<EVP_PKEY> rsa = makeRSAKey(2048);
  Ossl<EVP_PKEY> ec = makeECKey();
  struct Case {
    const char* profile;
    EVP_PKEY* key;
    const char* usage;
    const char* extended;
    int purpose;
  } cases[] = {
      {"server", rsa.get(), "critical Digital Signature, Key Encipherment", "TLS Web Server Authentication",
       X509_PURPOSE_SSL_SERVER},
      {"server", ec.get(), "critical Digital Signature", "TLS Web Server Authentication", X509_PURPOSE_SSL_SERVER},
      {"client", rsa.get(), "critical Digital Signature", "TLS Web Client Authentication", X509_PURPOSE_SSL_CLIENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.profile) + " " + keyText(c.key));
    CertificateProfile profile;
    applyNamedProfile(profile, c.profile);
    Ossl<X509_REQ> req = request(c.key, "CN=entity", {});
    Ossl<X509> cert = issueFromRequest(req.get(), ca.get(), caKey.get(), profile);
    EXPECT_EQ(c.usage, extension(cert.get(), "X509v3 Key Usage"));
    EXPECT_EQ(c.extended, extension(cert.get(), "X509v3 Extended Key Usage"));
    EXPECT_EQ(X509_V_OK, verify(cert.get(), ca.get(), c.purpose));
  }
  // The profile's usage joins those asked for already, once.
  CertificateProfile both;
  both.extendedKeyUsages = {"clientAuth", "serverAuth"};
  applyNamedProfile(both, "server");
  EXPECT_EQ((std::vector<std::string>{"clientAuth", "serverAuth"}), both.extendedKeyUsages);
  EXPECT_EQ(static_cast<int>(VELDBError::kBadArgument), errorOf([&] { applyNamedProfile(both, "web"); }));
}

// X509_V_OK when `leaf` verifies up to `anchor` with `crl` checked.
int verifyWithCRL(X509* leaf, X509* anchor, X509_CRL* crl) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, anchor);
  X509_STORE_add_crl(store, crl);
  X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf, nullptr);
  const int error = X509_verify_cert(ctx) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  return error;
}

struct TestCA {
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> cert;
  explicit TestCA(const std::string& subject) {
    CertificateProfile profile;
    profile.ca = true;
    cert = selfSign(key.get(), name(subject).get(), profile);
  }
  Ossl<X509> issue(const std::string& subject) {
    Ossl<EVP_PKEY> leafKey = makeECKey();
    Ossl<X509_REQ> req = request(leafKey.get(), subject, {});
    return issueFromRequest(req.get(), cert.get(), key.get(), CertificateProfile());
  }
};

TEST(Issuing, EachCRLFollowsThePreviousWithItsEntriesAndTheNextNumber) {
  TestCA ca("CN=CRL CA");
  Ossl<X509> revoked = ca.issue("CN=revoked");
  Ossl<X509> kept = ca.issue("CN=kept");

  Ossl<X509_CRL> first = nextCRL(ca.cert.get(), ca.key.get(), nullptr, 30);
  EXPECT_EQ(X509_CRL_VERSION_2, X509_CRL_get_version(first.get()));
  EXPECT_EQ("1", crlNumberText(first.get()));
  EXPECT_LE(sk_X509_REVOKED_num(X509_CRL_get_REVOKED(first.get())), 0);  // none: -1
  EXPECT_GE(X509_CRL_get_ext_by_NID(first.get(), NID_authority_key_identifier, -1), 0);
  EXPECT_TRUE(isFullCRLOf(first.get(), ca.cert.get()));
  const long long validity = timeValue(X509_CRL_get0_nextUpdate(first.get())) -
                             timeValue(X509_CRL_get0_lastUpdate(first.get()));
  EXPECT_EQ(30LL * 86400, validity);
  EXPECT_EQ(X509_V_OK, verifyWithCRL(revoked.get(), ca.cert.get(), first.get()));

  Revocation r;
  r.serial = X509_get0_serialNumber(revoked.get());
  r.reason = crlReasonByName("keycompromise");
  Ossl<X509_CRL> second = nextCRL(ca.cert.get(), ca.key.get(), first.get(), 30, &r);
  EXPECT_EQ("2", crlNumberText(second.get()));
  EXPECT_EQ(X509_V_ERR_CERT_REVOKED, verifyWithCRL(revoked.get(), ca.cert.get(), second.get()));
  EXPECT_EQ(X509_V_OK, verifyWithCRL(kept.get(), ca.cert.get(), second.get()));

  // Without a new entry the next keeps the old one (its reason, and a
  // serial revoked twice, are the issue script's).
  Ossl<X509_CRL> third = nextCRL(ca.cert.get(), ca.key.get(), second.get(), 1);
  EXPECT_EQ("3", crlNumberText(third.get()));
  EXPECT_EQ(X509_V_ERR_CERT_REVOKED, verifyWithCRL(revoked.get(), ca.cert.get(), third.get()));
  EXPECT_TRUE(isNewerCRL(third.get(), second.get()));
  EXPECT_FALSE(isNewerCRL(second.get(), third.get()));

  // "unspecified" is said without a reason code.
  Ossl<X509_CRL> fourth = nextCRL(ca.cert.get(), ca.key.get(), third.get(), 30, nullptr);
  Revocation plain;
  plain.serial = X509_get0_serialNumber(kept.get());
  plain.reason = crlReasonByName("unspecified");
  Ossl<X509_CRL> fifth = nextCRL(ca.cert.get(), ca.key.get(), fourth.get(), 30, &plain);
  X509_REVOKED* entry = nullptr;
  ASSERT_EQ(1, X509_CRL_get0_by_serial(fifth.get(), &entry, X509_get0_serialNumber(kept.get())));
  EXPECT_EQ(-1, X509_REVOKED_get_ext_by_NID(entry, NID_crl_reason, -1));
  EXPECT_EQ(2, sk_X509_REVOKED_num(X509_CRL_get_REVOKED(fifth.get())));
}

TEST(Issuing, CRLNumbersCompareAsNumbers) {
  TestCA ca("CN=Counting CA");
  Ossl<X509_CRL> crl = nextCRL(ca.cert.get(), ca.key.get(), nullptr, 30);
  std::vector<Ossl<X509_CRL>> crls;
  for (int i = 0; i < 10; ++i) {
    crls.push_back(nextCRL(ca.cert.get(), ca.key.get(), crls.empty() ? crl.get() : crls.back().get(), 30));
  }
  EXPECT_EQ("9", crlNumberText(crls[7].get()));
  EXPECT_EQ("10", crlNumberText(crls[8].get()));
  EXPECT_TRUE(isNewerCRL(crls[8].get(), crls[7].get()));
}

TEST(Issuing, ACRLIsMadeOnlyByItsCA) {
  TestCA ca("CN=Real CA");
  // The same name with another key.
  TestCA impostor("CN=Real CA");
  TestCA other("CN=Other CA");
  const int bad = static_cast<int>(VELDBError::kBadArgument);
  Ossl<X509_CRL> mine = nextCRL(ca.cert.get(), ca.key.get(), nullptr, 30);
  EXPECT_FALSE(isFullCRLOf(mine.get(), impostor.cert.get()));
  EXPECT_FALSE(isFullCRLOf(mine.get(), other.cert.get()));
  EXPECT_EQ(bad, errorOf([&] { nextCRL(impostor.cert.get(), impostor.key.get(), mine.get(), 30); }));
  EXPECT_EQ(bad, errorOf([&] { nextCRL(ca.cert.get(), other.key.get(), nullptr, 30); }));
  Ossl<EVP_PKEY> leafKey = makeECKey();
  Ossl<X509> selfLeaf = selfSign(leafKey.get(), name("CN=leaf").get(), CertificateProfile());
  EXPECT_EQ(bad, errorOf([&] { nextCRL(selfLeaf.get(), leafKey.get(), nullptr, 30); }));
  for (int days : {0, 36501}) {
    EXPECT_EQ(bad, errorOf([&] { nextCRL(ca.cert.get(), ca.key.get(), nullptr, days); })) << days;
  }
}

TEST(Issuing, SerialNumbersAndReasonsByName) {
  auto hex = [](const std::string& text) { return serialText(parsePositiveSerial(text).get()); };
  EXPECT_EQ(hex("0A0B"), hex("00:0a:0B"));
  EXPECT_EQ(hex("01"), hex("1"));
  EXPECT_NE(hex("0A0B"), hex("0A0C"));
  const std::string longest(40, 'F');
  EXPECT_EQ(0, errorOf([&] { parsePositiveSerial(longest); }));
  const int bad = static_cast<int>(VELDBError::kBadArgument);
  for (const std::string& text : {std::string("0"), std::string("00:00"), std::string(""), std::string("-1"),
                                  std::string("0x1"), longest + "F"}) {
    EXPECT_EQ(bad, errorOf([&] { parsePositiveSerial(text); })) << text;
  }
  EXPECT_EQ(CRL_REASON_CERTIFICATE_HOLD, crlReasonByName("certificateHold"));
  EXPECT_EQ(CRL_REASON_AA_COMPROMISE, crlReasonByName("AACOMPROMISE"));
  EXPECT_EQ(-1, crlReasonByName("removeFromCRL"));
  EXPECT_EQ("cACompromise", crlReasonName(CRL_REASON_CA_COMPROMISE));
}

}  // namespace
}  // namespace velkdb
