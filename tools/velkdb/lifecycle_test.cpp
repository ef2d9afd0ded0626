// Plan: the pure pieces of the key lifecycle -- key types, subject
// alternative names, chain building and default labels -- on keys and
// certificates made here (requests are checked on the real binary).
#include "lifecycle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velkdb;

namespace {

TEST(KeyType, NamesTheSupportedKinds) {
  EXPECT_EQ(parseKeyType("ec:P-256").curve, "P-256");
  EXPECT_EQ(parseKeyType("EC:p-384").curve, "P-384");
  EXPECT_EQ(parseKeyType("rsa:3072").kind, KeyType::RSA);
  EXPECT_EQ(parseKeyType("rsa:3072").bits, 3072);
  EXPECT_EQ(parseKeyType("ed25519").kind, KeyType::ED25519);
  for (const char* bad : {"", "rsa", "rsa:1024", "rsa:2048x", "ec:P-521", "dsa:2048", "ed448"}) {
    EXPECT_THROW(parseKeyType(bad), UsageError) << bad;
  }
}

TEST(SubjectAltNames, TypesAreGivenOrInferred) {
  const std::vector<std::string> want = {
      "DNS:www.example.test",       "IP:192.0.2.1",      "IP:2001:db8::1", "email:a@example.test",
      "URI:https://example.test/x", "DNS:*.example.test"};
  EXPECT_EQ(parseSubjectAltNames("www.example.test, 192.0.2.1,IP:2001:db8::1,a@example.test,"
                                 "uri:https://example.test/x,DNS:*.example.test"),
            want);
}

TEST(SubjectAltNames, RefusesWhatNoNameIs) {
  for (const char* bad : {"", "a,,b", "a,", "DNS:bad host", "DNS:a..b", "DNS:-\x1b", "IP:300.1.1.1", "IP:host",
                          "email:nobody", "URI:no-scheme", "x400:foo", "DNS:a*.example", "DNS:.example"}) {
    EXPECT_THROW(parseSubjectAltNames(bad), UsageError) << bad;
  }
}

class Chain : public ::testing::Test {
 protected:
  Ossl<EVP_PKEY> rootKey = makeECKey(), interKey = makeECKey(), leafKey = makeECKey(), otherKey = makeECKey();
  Ossl<X509> root = makeCertificate(rootKey.get(), "/CN=Root", nullptr, nullptr, 30, true, "");
  Ossl<X509> inter = makeCertificate(interKey.get(), "/CN=Inter", root.get(), rootKey.get(), 30, true, "");
  Ossl<X509> leaf = makeCertificate(leafKey.get(), "/CN=Leaf", inter.get(), interKey.get(), 30, false, "");
  // Same name as the intermediate, another key: a name match alone is no
  // issuer.
  Ossl<X509> impostor = makeCertificate(otherKey.get(), "/CN=Inter", root.get(), rootKey.get(), 30, true, "");
};

TEST_F(Chain, FollowsNamesAndSignaturesUpToTheRoot) {
  const std::vector<X509*> chain = buildChain(leaf.get(), {impostor.get(), root.get(), leaf.get(), inter.get()});
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], inter.get());
  EXPECT_EQ(chain[1], root.get());
}

TEST_F(Chain, StopsWhereNoIssuerIsStored) {
  EXPECT_TRUE(buildChain(leaf.get(), {impostor.get(), root.get()}).empty());
  EXPECT_TRUE(buildChain(root.get(), {root.get(), inter.get()}).empty());  // self-signed: nothing above
}

TEST_F(Chain, EndsOnALoop) {
  // A and B each certified by the other, the leaf by A.
  Ossl<EVP_PKEY> aKey = makeECKey(), bKey = makeECKey();
  Ossl<X509> bSelf = makeCertificate(bKey.get(), "/CN=Loop B", nullptr, nullptr, 30, true, "");
  Ossl<X509> aByB = makeCertificate(aKey.get(), "/CN=Loop A", bSelf.get(), bKey.get(), 30, true, "");
  Ossl<X509> bByA = makeCertificate(bKey.get(), "/CN=Loop B", aByB.get(), aKey.get(), 30, true, "");
  Ossl<X509> looped = makeCertificate(leafKey.get(), "/CN=Looped", aByB.get(), aKey.get(), 30, false, "");
  const std::vector<X509*> chain = buildChain(looped.get(), {aByB.get(), bByA.get()});
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], aByB.get());
  EXPECT_EQ(chain[1], bByA.get());
}

// (A CRL's default label is the lifecycle script's.)
TEST(Labels, AliasesAreWrittenOut) {
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> ca = makeCertificate(key.get(), "/O=Org/CN=Some CA", nullptr, nullptr, 30, true, "");
  EXPECT_EQ(certificateAlias(ca.get()), "");
  X509_alias_set1(ca.get(), reinterpret_cast<const unsigned char*>("my alias"), 8);
  EXPECT_EQ(certificateAlias(ca.get()), "my alias");
  X509_alias_set1(ca.get(), reinterpret_cast<const unsigned char*>("two\nlines"), 9);
  EXPECT_EQ(certificateAlias(ca.get()), "two\\nlines");
}

}  // namespace
