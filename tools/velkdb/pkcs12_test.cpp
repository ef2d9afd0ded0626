#include "pkcs12.h"

#include <gtest/gtest.h>

#include <fstream>

#include "velexception.h"

using namespace velkdb;

namespace {

struct FixedPassword : InputPassword {
  explicit FixedPassword(std::string p) : password(std::move(p)) {}
  bool get(Secret& out) override {
    out = Secret(password);
    return true;
  }
  std::string password;
};

std::string tempFile(const std::string& name, const std::string& bytes) {
  const std::string path = ::testing::TempDir() + "velkdb_pkcs12_" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

const ItemAttributes& attributes(const InputItems& items, const void* item) {
  static const ItemAttributes none;
  const ItemAttributes* found = items.attributesOf(item);
  return found != nullptr ? *found : none;
}

// (A store with every kind of record, read back whole and by openssl and
// keytool, is the backup script's.)
TEST(VelkdbPKCS12, CertificatesComeBackWithTheirKeysLabelsAndTrustMarks) {
  Ossl<EVP_PKEY> caKey = makeECKey();
  Ossl<X509> ca = makeCertificate(caKey.get(), "/CN=Store CA", nullptr, nullptr, 30, true, "");
  Ossl<EVP_PKEY> webKey = makeECKey();
  Ossl<X509> web = makeCertificate(webKey.get(), "/CN=web", ca.get(), caKey.get(), 30, false, "web.test");
  Ossl<EVP_PKEY> mailKey = makeRSAKey(2048);
  Ossl<X509> mail = makeCertificate(mailKey.get(), "/CN=mail", ca.get(), caKey.get(), 30, false, "mail.test");
  Ossl<X509> other = makeCertificate(caKey.get(), "/CN=other", nullptr, nullptr, 30, false, "");

  const std::string bytes = storePKCS12({{web.get(), webKey.get(), "web server", false},
                                         {ca.get(), nullptr, "store root", true},
                                         {mail.get(), mailKey.get(), "mail", true /* ignored: it has a key */},
                                         {other.get(), nullptr, "", false}},
                                        Secret("store secret"), 2048);
  FixedPassword password("store secret");
  InputItems items;
  readInputFile(tempFile("store.p12", bytes), password, items);
  ASSERT_EQ(2u, items.keys.size());
  ASSERT_EQ(4u, items.certs.size());
  int matched = 0;
  for (const auto& cert : items.certs) {
    const std::string subject = nameText(X509_get_subject_name(cert.get()));
    const ItemAttributes& a = attributes(items, cert.get());
    const std::string expected = subject == "CN=web"        ? "web server"
                                 : subject == "CN=Store CA" ? "store root"
                                 : subject == "CN=mail"     ? "mail"
                                                            : "";
    EXPECT_EQ(expected, a.label) << subject;
    EXPECT_EQ(subject == "CN=Store CA", a.trusted) << subject;
    for (const auto& key : items.keys) {
      if (!keyMatches(cert.get(), key.get())) continue;
      ++matched;
      EXPECT_EQ(a.label, attributes(items, key.get()).label) << subject;
    }
  }
  EXPECT_EQ(2, matched);
}

TEST(VelkdbPKCS12, AStoreOfKeyPairsOrCRLsAloneIsAStoreAndAnEmptyOneIsRefused) {
  EXPECT_THROW(storePKCS12({}, Secret("x"), 2048), VELDBException);
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> ca = makeCertificate(key.get(), "/CN=CRL CA", nullptr, nullptr, 30, true, "");
  Ossl<X509_CRL> crl = makeCRL(ca.get(), key.get(), {}, 7);
  FixedPassword password("x");
  InputItems items;
  readInputFile(tempFile("crl.p12", storePKCS12({}, Secret("x"), 2048, {}, {{crl.get(), ""}})), password, items);
  EXPECT_EQ(1u, items.crls.size());
  EXPECT_TRUE(items.certs.empty() && items.keys.empty() && items.attributes.empty());
}

// A file with secret bags of its own: other secrets are passed by; a
// request bag that does not hold a request is refused, not skipped.
TEST(VelkdbPKCS12, SecretBagsOfOtherKindsArePassedByAndADamagedRequestIsRefused) {
  const auto fileWith = [](int type, const std::string& value) {
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    PKCS12_add_secret(&bags, type, reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()));
    STACK_OF(PKCS7)* safes = nullptr;
    PKCS12_add_safe(&safes, bags, -1, 0, nullptr);
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    PKCS12* p12 = PKCS12_add_safes(safes, 0);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    PKCS12_set_mac(p12, "x", -1, nullptr, 0, 2048, EVP_sha256());
    unsigned char* der = nullptr;
    const int n = i2d_PKCS12(p12, &der);
    PKCS12_free(p12);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return bytes;
  };
  FixedPassword password("x");
  InputItems items;
  readInputFile(tempFile("other.p12", fileWith(NID_id_cct_PKIData, "not ours")), password, items);
  EXPECT_TRUE(items.requests.empty() && items.keys.empty() && items.certs.empty());

  Ossl<EVP_PKEY> key = makeECKey();
  const std::string request = derOf(makeRequest(key.get(), "/CN=cut").get()).toString();
  const std::string cut = request.substr(0, request.size() - 5);
  EXPECT_THROW(readInputFile(tempFile("cut.p12", fileWith(NID_id_cct_crs, cut)), password, items), VELDBException);
  EXPECT_THROW(readInputFile(tempFile("junk.p12", fileWith(NID_id_cct_crs, request + "junk!")), password, items),
               VELDBException);
  EXPECT_TRUE(items.requests.empty());
}

}  // namespace
