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

TEST(VelkdbPKCS12, AWholeStoreComesBackWithEveryKeyLabelAndTrustMark) {
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

  // OpenSSL's own reader takes the file as a PKCS#12 file of this password.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size()));
  ASSERT_NE(nullptr, p12);
  EXPECT_EQ(1, PKCS12_verify_mac(p12, "store secret", -1));
  EXPECT_EQ(0, PKCS12_verify_mac(p12, "another", -1));
  PKCS12_free(p12);

  // The wrong password opens nothing.
  FixedPassword wrong("another");
  InputItems none;
  EXPECT_THROW(readInputFile(tempFile("store.p12", bytes), wrong, none), VELDBException);
  EXPECT_TRUE(none.keys.empty() && none.certs.empty());
}

TEST(VelkdbPKCS12, AStoreWithoutCertificatesIsRefused) {
  EXPECT_THROW(storePKCS12({}, Secret("x"), 2048), VELDBException);
}

}  // namespace
