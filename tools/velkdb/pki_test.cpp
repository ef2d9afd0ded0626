#include "pki.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>

#include "commands.h"
#include "find.h"
#include "text.h"
#include "veldbconnectinfo.h"
#include "velasn.h"
#include "velexception.h"

using namespace velkdb;

namespace {

struct FixedPassword : InputPassword {
  explicit FixedPassword(std::string p) : password(std::move(p)) {}
  bool get(Secret& out) override {
    ++asked;
    out = Secret(password);
    return true;
  }
  std::string password;
  int asked = 0;
};

struct NoPassword : InputPassword {
  bool get(Secret&) override { return false; }
};

std::string tempFile(const std::string& name, const std::string& bytes) {
  const std::string path = ::testing::TempDir() + "velkdb_pki_" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string pemOf(EVP_PKEY* key, const char* password) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (password) {
    PEM_write_bio_PKCS8PrivateKey(bio, key, EVP_aes_128_cbc(), password, static_cast<int>(strlen(password)), nullptr,
                                  nullptr);
  } else {
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  }
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return text;
}

}  // namespace

TEST(VelkdbPKI, WrappedKeyOpensOnlyWithItsPasswordAndUsesFreshSalt) {
  Ossl<EVP_PKEY> key = makeECKey();
  const Secret password("database password");
  const VELBuffer a = wrapPrivateKey(key.get(), password);
  const VELBuffer b = wrapPrivateKey(key.get(), password);
  EXPECT_NE(a, b);  // fresh salt and IV each time
  EXPECT_EQ(describeWrapping(a.get()), "PBES2 (PBKDF2-HMAC-SHA256, 100000 iterations, AES-256-CBC)");
  Ossl<EVP_PKEY> back = unwrapPrivateKey(a.get(), password);
  ASSERT_TRUE(back);
  EXPECT_EQ(EVP_PKEY_eq(back.get(), key.get()), 1);
  EXPECT_FALSE(unwrapPrivateKey(a.get(), Secret("other password")));
  const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x00};
  EXPECT_THROW(unwrapPrivateKey(VELASNCBuffer(junk, sizeof junk), password), VELDBException);
}

namespace {

// An EncryptedPrivateKeyInfo under `alg` (taken) with junk for its
// ciphertext: made without deriving any key.
std::string epkiUnder(X509_ALGOR* alg) {
  X509_SIG* sig = X509_SIG_new();
  X509_ALGOR* a = nullptr;
  ASN1_OCTET_STRING* data = nullptr;
  X509_SIG_getm(sig, &a, &data);
  X509_ALGOR_copy(a, alg);
  X509_ALGOR_free(alg);
  const unsigned char junk[48] = {1, 2, 3};
  ASN1_OCTET_STRING_set(data, junk, sizeof junk);
  unsigned char* der = nullptr;
  const int n = i2d_X509_SIG(sig, &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n > 0 ? n : 0));
  OPENSSL_free(der);
  X509_SIG_free(sig);
  return out;
}

std::string pbkdf2Key(int iterations) {
  return epkiUnder(PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), iterations, nullptr, 0, nullptr, NID_hmacWithSHA256));
}

std::string p12Der(PKCS12* p12) {
  unsigned char* der = nullptr;
  const int n = i2d_PKCS12(p12, &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(n > 0 ? n : 0));
  OPENSSL_free(der);
  PKCS12_free(p12);
  return out;
}

// Reads `file` and expects it refused fast, naming the count and the limit.
void expectRefusedForItsCost(const std::string& file, const std::string& count) {
  const auto start = std::chrono::steady_clock::now();
  FixedPassword password("input secret");
  InputItems items;
  try {
    readInputFile(file, password, items);
    ADD_FAILURE() << file << " was read";
  } catch (const VELDBException& e) {
    const std::string message = e.getMessage();
    EXPECT_NE(message.find(count), std::string::npos) << message;
    EXPECT_NE(message.find("limit of 10000000"), std::string::npos) << message;
  }
  EXPECT_EQ(password.asked, 0) << "asked for a password before refusing";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(items.keys.empty());
}

}  // namespace

// Plan: an input asking for more key-derivation work than any sane file
// does (PKCS#8, PKCS#12 MAC and bags, a stored key) is refused before a
// key is derived; the limit itself passes.
TEST(VelkdbPKI, InputsAskingForTooManyIterationsAreRefusedBeforeAnyDerivation) {
  const std::string costly = pbkdf2Key(2000000000);
  expectRefusedForItsCost(tempFile("costly.der", costly), "2000000000");
  expectRefusedForItsCost(tempFile("costly.pem", toPEM("ENCRYPTED PRIVATE KEY", VELASNCBuffer(costly.data(), costly.size()))),
                          "2000000000");
  EXPECT_THROW(unwrapPrivateKey(VELASNCBuffer(costly.data(), costly.size()), Secret("database password")),
               VELDBException);
  // At the limit the key is only not opened (junk), not refused for its cost.
  EXPECT_NO_THROW(refuseCostlyDerivation(nullptr, "nothing"));
  const std::string atLimit = pbkdf2Key(10000000);
  std::unique_ptr<X509_SIG, void (*)(X509_SIG*)> sig(nullptr, X509_SIG_free);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(atLimit.data());
  sig.reset(d2i_X509_SIG(nullptr, &p, static_cast<long>(atLimit.size())));
  ASSERT_TRUE(sig);
  const X509_ALGOR* alg = nullptr;
  X509_SIG_get0(sig.get(), &alg, nullptr);
  EXPECT_NO_THROW(refuseCostlyDerivation(alg, "at the limit"));

  // A PKCS#12 file whose MAC asks for too much: made with 2 iterations,
  // then the count raised (the MAC is not recomputed; it is never reached).
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> cert = makeCertificate(key.get(), "/CN=p12", nullptr, nullptr, 1, false, "");
  PKCS12* p12 = PKCS12_create("input secret", "p12", key.get(), cert.get(), nullptr, -1, -1, 1, 2, 0);
  ASSERT_NE(p12, nullptr);
  const ASN1_INTEGER* macIter = nullptr;
  PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIter, p12);
  ASSERT_NE(macIter, nullptr);
  ASN1_INTEGER_set(const_cast<ASN1_INTEGER*>(macIter), 2000000000);
  expectRefusedForItsCost(tempFile("costly-mac.p12", p12Der(p12)), "2000000000");

  // ... and one whose shrouded key's PKCS#12 PBE asks for too much (the
  // MAC is fine).
  unsigned char salt[8] = {0};
  X509_ALGOR* pbe = PKCS5_pbe_set(NID_pbe_WithSHA1And3_Key_TripleDES_CBC, 2000000001, salt, sizeof salt);
  ASSERT_NE(pbe, nullptr);
  const std::string shrouded = epkiUnder(pbe);
  p = reinterpret_cast<const unsigned char*>(shrouded.data());
  X509_SIG* bagKey = d2i_X509_SIG(nullptr, &p, static_cast<long>(shrouded.size()));
  ASSERT_NE(bagKey, nullptr);
  STACK_OF(PKCS12_SAFEBAG)* bags = sk_PKCS12_SAFEBAG_new_null();
  sk_PKCS12_SAFEBAG_push(bags, PKCS12_SAFEBAG_create0_pkcs8(bagKey));
  STACK_OF(PKCS7)* safes = sk_PKCS7_new_null();
  sk_PKCS7_push(safes, PKCS12_pack_p7data(bags));
  sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  PKCS12* withBag = PKCS12_init(NID_pkcs7_data);
  ASSERT_EQ(PKCS12_pack_authsafes(withBag, safes), 1);
  sk_PKCS7_pop_free(safes, PKCS7_free);
  ASSERT_EQ(PKCS12_set_mac(withBag, "input secret", -1, nullptr, 0, 2, nullptr), 1);
  expectRefusedForItsCost(tempFile("costly-bag.p12", p12Der(withBag)), "2000000001");
}

TEST(VelkdbPKI, NamesParseInBothFormsAndCompareAsX500Names) {
  const VELASNx500Name rfc(parseName("CN=www.example.test, O=Example\\, Inc.").get());
  const VELASNx500Name slash(parseName("/o=Example, Inc./cn=WWW.example.test").get());
  EXPECT_EQ(rfc.compare(slash), 0);
  EXPECT_EQ(rfc.toText(), "CN=www.example.test,O=Example\\, Inc.");
  const VELASNx500Name other(parseName("CN=www.example.test").get());
  EXPECT_NE(rfc.compare(other), 0);
  EXPECT_THROW(parseName("CN=a,nonsense=b"), VELDBException);
  EXPECT_THROW(parseName("no equals sign"), VELDBException);
  EXPECT_THROW(parseName(""), VELDBException);
}

TEST(VelkdbPKI, LabelsComeFromTheMostSpecificNamePart) {
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> withCN = makeCertificate(key.get(), "/O=Org/OU=Unit/CN=Common", nullptr, nullptr, 1, true, "");
  EXPECT_EQ(labelFromName(X509_get_subject_name(withCN.get())), "Common");
  Ossl<X509> withOU = makeCertificate(key.get(), "/O=Org/OU=Unit", nullptr, nullptr, 1, true, "");
  EXPECT_EQ(labelFromName(X509_get_subject_name(withOU.get())), "Unit");
  Ossl<X509> countryOnly = makeCertificate(key.get(), "/C=DE", nullptr, nullptr, 1, true, "");
  EXPECT_EQ(labelFromName(X509_get_subject_name(countryOnly.get())), "C=DE");
}

TEST(VelkdbPKI, LabelsAndTrustMarksOfInputFilesAreReadBack) {
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> ca = makeCertificate(key.get(), "/CN=ca", nullptr, nullptr, 1, true, "");
  Ossl<X509> leaf = makeCertificate(key.get(), "/CN=leaf", ca.get(), key.get(), 1, false, "leaf.test");
  Ossl<X509_CRL> crl = makeCRL(ca.get(), key.get(), {}, 1);
  NoPassword none;

  // The lines written before each block come back with it, and only with it.
  const std::string pem = bagAttributes("root of trust", true) + toPEM("CERTIFICATE", derOf(ca.get()).get()) +
                          "subject=CN=leaf\n" + bagAttributes("web server", false) +
                          toPEM("CERTIFICATE", derOf(leaf.get()).get()) + toPEM("X509 CRL", derOf(crl.get()).get()) +
                          bagAttributes("the CRL", false) + pemOf(key.get(), nullptr);
  EXPECT_EQ("", bagAttributes("", false));
  InputItems items;
  readInputFile(tempFile("labelled.pem", pem), none, items);
  ASSERT_EQ(2u, items.certs.size());
  ASSERT_NE(nullptr, items.attributesOf(items.certs[0].get()));
  EXPECT_EQ("root of trust", items.attributesOf(items.certs[0].get())->label);
  EXPECT_TRUE(items.attributesOf(items.certs[0].get())->trusted);
  ASSERT_NE(nullptr, items.attributesOf(items.certs[1].get()));
  EXPECT_EQ("web server", items.attributesOf(items.certs[1].get())->label);
  EXPECT_FALSE(items.attributesOf(items.certs[1].get())->trusted);
  EXPECT_EQ(nullptr, items.attributesOf(items.crls[0].get()));
  ASSERT_EQ(1u, items.keys.size());
  EXPECT_EQ("the CRL", items.attributesOf(items.keys[0].get())->label);

  // A trusted-certificate block carries its alias and trust in itself.
  X509_alias_set1(ca.get(), reinterpret_cast<const unsigned char*>("aux alias"), -1);
  X509_add1_trust_object(ca.get(), OBJ_nid2obj(NID_server_auth));
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509_AUX(bio, ca.get());
  char* data = nullptr;
  const std::string aux(data, static_cast<std::size_t>(BIO_get_mem_data(bio, &data)));
  BIO_free(bio);
  InputItems trusted;
  readInputFile(tempFile("aux.pem", aux), none, trusted);
  ASSERT_EQ(1u, trusted.certs.size());
  EXPECT_EQ("aux alias", trusted.attributesOf(trusted.certs[0].get())->label);
  EXPECT_TRUE(trusted.attributesOf(trusted.certs[0].get())->trusted);
}

TEST(VelkdbPKI, ReadsPEMBundlesKeysAndRequestsAndRefusesTheRest) {
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> cert = makeCertificate(key.get(), "/CN=one", nullptr, nullptr, 1, false, "one.test");
  Ossl<X509_REQ> req = makeRequest(key.get(), "/CN=req");
  Ossl<X509_CRL> crl = makeCRL(cert.get(), key.get(), {cert.get()}, 1);
  const std::string pem = toPEM("CERTIFICATE", derOf(cert.get()).get()) + toPEM("CERTIFICATE REQUEST", derOf(req.get()).get()) +
                          toPEM("X509 CRL", derOf(crl.get()).get()) + pemOf(key.get(), "input secret");
  FixedPassword password("input secret");
  InputItems items;
  readInputFile(tempFile("bundle.pem", pem), password, items);
  EXPECT_EQ(items.certs.size(), 1u);
  EXPECT_EQ(items.requests.size(), 1u);
  EXPECT_EQ(items.crls.size(), 1u);
  ASSERT_EQ(items.keys.size(), 1u);
  EXPECT_EQ(password.asked, 1);
  EXPECT_TRUE(keyMatches(items.certs[0].get(), items.keys[0].get()));
  EXPECT_TRUE(keyMatches(items.requests[0].get(), items.keys[0].get()));

  // Read with keys on demand, the certificates (in both decoding threads)
  // carry the same bytes without a decoded key, and still pair with theirs.
  Ossl<EVP_PKEY> other = makeECKey();
  Ossl<X509> second = makeCertificate(other.get(), "/CN=two", nullptr, nullptr, 1, false, "");
  std::string many;
  for (int i = 0; i < 50; ++i) many += toPEM("CERTIFICATE", derOf((i % 2 ? second : cert).get()).get());
  InputItems lazy;
  readInputFile(tempFile("lazy.pem", many), password, lazy, CertificateKeys::kOnDemand);
  ASSERT_EQ(lazy.certs.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    X509* read = lazy.certs[static_cast<std::size_t>(i)].get();
    EXPECT_EQ(derOf(read).toString(), derOf((i % 2 ? second : cert).get()).toString()) << i;
    EXPECT_EQ(X509_get0_pubkey(read), nullptr) << i;
    EXPECT_TRUE(keyMatches(read, (i % 2 ? other : key).get())) << i;
    EXPECT_FALSE(keyMatches(read, (i % 2 ? key : other).get())) << i;
  }
  ERR_clear_error();

  // Wrong password, no password, a block of an unsupported kind, a cut-off
  // block, DER that is nothing known.
  InputItems more;
  FixedPassword wrong("not it");
  EXPECT_THROW(readInputFile(tempFile("enc.pem", pemOf(key.get(), "input secret")), wrong, more), VELDBException);
  NoPassword none;
  EXPECT_THROW(readInputFile(tempFile("pub.pem", toPEM("PUBLIC KEY", publicKeyDER(key.get()).get())), none, more),
               VELDBException);
  const std::string cut = pem.substr(0, pem.size() / 3);
  EXPECT_THROW(readInputFile(tempFile("cut.pem", cut), none, more), VELDBException);
  const VELBuffer der = derOf(cert.get());
  EXPECT_THROW(readInputFile(tempFile("short.der", der.toString().substr(0, der.size() - 1)), none, more),
               VELDBException);
  EXPECT_TRUE(more.certs.empty() && more.keys.empty());

  // A clear key in DER is read as such.
  readInputFile(tempFile("cert.der", der.toString()), none, more);
  EXPECT_EQ(more.certs.size(), 1u);

  // A bundle cut inside the begin line of its last block, or anywhere in
  // "-----BEGIN": the blocks before it are not taken alone.
  const std::string first = toPEM("CERTIFICATE", der.get());
  for (std::size_t cut : {5u, 9u, 16u, 27u}) {
    InputItems partial;
    const std::string cutBundle = first + first.substr(0, cut);
    EXPECT_THROW(readInputFile(tempFile("cut-begin.pem", cutBundle), none, partial), VELDBException) << cut;
    EXPECT_TRUE(partial.certs.empty()) << cut;
  }
  // Text between blocks is no fault.
  InputItems annotated;
  readInputFile(tempFile("annotated.pem", "subject=CN=one\n" + first + "\nnext one:\n" + first), none, annotated);
  EXPECT_EQ(annotated.certs.size(), 2u);
  // A directory is said to be one.
  try {
    readInputFile(::testing::TempDir(), none, more);
    ADD_FAILURE() << "a directory was read";
  } catch (const VELDBException& e) {
    EXPECT_NE(std::string(e.getMessage()).find("is a directory"), std::string::npos) << e.getMessage();
  }
}

TEST(VelkdbText, ControlCharactersAreWrittenOutForTheTerminal) {
  EXPECT_EQ(printable("plain text, CN=a\\,b ÄÖ €"), "plain text, CN=a\\,b ÄÖ €");
  EXPECT_EQ(printable("a\x1b[31mb\nc\rd\te\x7f\x01"), "a\\x1b[31mb\\nc\\rd\\te\\x7f\\x01");
  EXPECT_EQ(printable(std::string("nul\0x", 5)), "nul\\x00x");
  EXPECT_EQ(printable("c1 \xc2\x9b\xc2\x80 latin1 \xe9 cut \xe2\x82"), "c1 \\u009b\\u0080 latin1 \\xe9 cut \\xe2\\x82");
  EXPECT_EQ(printable("overlong \xc0\xaf surrogate \xed\xa0\x80"), "overlong \\xc0\\xaf surrogate \\xed\\xa0\\x80");
}

// What list, show and the JSON print of validity times and serial numbers,
// read from OpenSSL's own objects.
TEST(VelkdbText, TimesAndSerialNumbersAreWrittenInFull) {
  auto timeOf = [](const char* text) {
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> t(ASN1_TIME_new(), ASN1_TIME_free);
    EXPECT_EQ(ASN1_TIME_set_string(t.get(), text), 1) << text;
    return timeText(t.get());
  };
  EXPECT_EQ(timeOf("260203040506Z"), "2026-02-03T04:05:06Z");    // UTCTime
  EXPECT_EQ(timeOf("20511231235958Z"), "2051-12-31T23:59:58Z");  // GeneralizedTime
  EXPECT_EQ(timeOf("19991001000000Z"), "1999-10-01T00:00:00Z");
  EXPECT_EQ(timeText(nullptr), "");
  BIGNUM* bn = nullptr;
  ASSERT_EQ(BN_hex2bn(&bn, "0A1B2C3D4E5F60718293A4B5C6D7E8F9"), 32);
  std::unique_ptr<ASN1_INTEGER, decltype(&ASN1_INTEGER_free)> serial(BN_to_ASN1_INTEGER(bn, nullptr),
                                                                      ASN1_INTEGER_free);
  BN_free(bn);
  EXPECT_EQ(serialText(serial.get()), "0A1B2C3D4E5F60718293A4B5C6D7E8F9");  // whole bytes, as openssl prints it
}

TEST(VelkdbText, NewLabelsAreOneLineOfUTF8Text) {
  EXPECT_EQ(labelFault("web server ÄÖ #2"), "");
  EXPECT_NE(labelFault(""), "");
  for (const char* bad : {"a\nb", "a\tb", "a\x1b[0m", "a\x7f", "a\xc2\x85", "latin1 \xe9"}) {
    EXPECT_NE(labelFault(bad), "") << printable(bad);
  }
  // Labels made from a certificate's name have their control characters
  // written out.
  Ossl<EVP_PKEY> key = makeECKey();
  Ossl<X509> cert = makeCertificate(key.get(), "/CN=evil\x1b[31m\nline", nullptr, nullptr, 1, true, "");
  const std::string label = labelFromName(X509_get_subject_name(cert.get()));
  EXPECT_EQ(label, "evil\\x1b[31m\\nline");
  EXPECT_EQ(labelFault(label), "");
}

TEST(VelkdbPasswords, ShortAndCommonNewPasswordsAreNamedSo) {
  EXPECT_NE(passwordWeakness(Secret("elevenchars")).find("short (11 characters"), std::string::npos);
  EXPECT_EQ(passwordWeakness(Secret("twelve chars")), "");
  // Characters, not bytes: eleven umlauts are 22 bytes.
  EXPECT_NE(passwordWeakness(Secret("\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4")).find("short"),
            std::string::npos);
  EXPECT_NE(passwordWeakness(Secret("QWERTY123456")).find("most common"), std::string::npos);
  EXPECT_NE(passwordWeakness(Secret("password")).find("most common"), std::string::npos);
  EXPECT_EQ(passwordWeakness(Secret("password12345")), "");
}

TEST(VelkdbCommands, ExpiryIsDaysNeverOrADate) {
  EXPECT_EQ(parseExpiry("never"), 0);
  EXPECT_EQ(parseExpiry("0"), 0);
  EXPECT_EQ(parseExpiry("2030-01-02"), 1893542400LL);
  EXPECT_EQ(expiryText(1893542400LL), "2030-01-02T00:00:00Z");
  const long long inTen = parseExpiry("10");
  EXPECT_NEAR(static_cast<double>(inTen - std::time(nullptr)), 864000.0, 5.0);
  // Past 32-bit seconds, too many days, and days a month does not have
  // (refused, not carried into the next).
  EXPECT_EQ(parseExpiry("2028-02-29"), parseExpiry("2028-03-01") - 86400);
  for (const char* bad : {"2106-12-31", "9999999", "-1", "2030-13-01", "2026-02-30", "2027-02-29", "2026-04-31",
                          "2100-02-29", "2026-06-00", "tomorrow"}) {
    EXPECT_THROW(parseExpiry(bad), UsageError) << bad;
  }
}

namespace {

// Standard output of `print`.
template <typename F>
std::string captured(F print) {
  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
  try {
    print();
  } catch (...) {
    std::cout.rdbuf(saved);
    throw;
  }
  std::cout.rdbuf(saved);
  return out.str();
}

bool hasRawControl(const std::string& text) {
  static const std::regex control("[\\x00-\\x09\\x0b-\\x1f\\x7f]|\\xc2[\\x80-\\x9f]");
  return std::regex_search(text, control);
}

}  // namespace

TEST(VelkdbOutput, StoredLabelsAndNamesCannotDriveTheTerminal) {
  // A label as another program may have stored it, and a certificate whose
  // name holds an escape sequence and a C1 control.
  const std::string base = ::testing::TempDir() + "velkdb_output_" + std::to_string(getpid());
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) std::remove((base + suffix).c_str());
  const Secret password("output test");
  const std::string label = "bad\x1b]0;title\x07\nforged line\xc2\x9b";
  {
    FileDBManager db(VELDBConnectInfo::FILE(base, toEncryptor(password), VELDBConnectInfo::CreateV4,
                                            VELDBConnectInfo::ReadWrite));
    Ossl<EVP_PKEY> key = makeECKey();
    Ossl<X509> cert = makeCertificate(key.get(), "/O=Evil\xc2\x9b" "2J/CN=evil\x1b[31mred", nullptr, nullptr, 1, true, "");
    VELASNKeyRecord record;
    record.setCertificate(derOf(cert.get()).get());
    record.setLabel(label);
    db.insertKey(record);

    const std::string text = captured([&] { printList(db, base, false, false, Table::Key); });
    EXPECT_FALSE(hasRawControl(text)) << text;
    EXPECT_NE(text.find("bad\\x1b]0;title\\x07\\nforged line\\u009b"), std::string::npos) << text;
    EXPECT_NE(text.find("O=Evil\\u009b" "2J"), std::string::npos) << text;
    const std::string shown = captured([&] { printRecord(db, Match{Table::Key, 1, label}, &password); });
    EXPECT_FALSE(hasRawControl(shown)) << shown;

    const std::string json = captured([&] { printList(db, base, true, false, Table::Key); });
    EXPECT_FALSE(hasRawControl(json)) << json;
    EXPECT_NE(json.find("\"label\": \"bad\\u001b]0;title\\u0007\\nforged line\\u009b\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"subject\": \"CN=evil\\\\1B[31mred,O=Evil\\u009b2J\""), std::string::npos) << json;
    EXPECT_TRUE(std::all_of(json.begin(), json.end(), [](char c) { return c == '\n' || (c >= ' ' && c <= '~'); }))
        << "the JSON holds a byte outside printable ASCII";
  }
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) std::remove((base + suffix).c_str());
}

// The listings decode only the parts of a certificate they print; what they
// print is what the whole certificate says.  The JSON, written row by row,
// is the text of one dump of the whole document.
TEST(VelkdbOutput, ListingsSayWhatTheCertificatesSayAndJSONIsOneDocument) {
  const std::string base = ::testing::TempDir() + "velkdb_listing_" + std::to_string(getpid());
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) std::remove((base + suffix).c_str());
  const Secret password("listing test");
  {
    FileDBManager db(VELDBConnectInfo::FILE(base, toEncryptor(password), VELDBConnectInfo::CreateV4,
                                            VELDBConnectInfo::ReadWrite));
    Ossl<EVP_PKEY> caKey = makeECKey();
    Ossl<X509> ca = makeCertificate(caKey.get(), "/O=Listing/CN=Listing CA", nullptr, nullptr, 30, true, "");
    std::vector<Ossl<X509>> certs;
    certs.push_back(makeCertificate(caKey.get(), "/O=Listing/CN=Listing CA", nullptr, nullptr, 30, true, ""));
    Ossl<EVP_PKEY> key = makeECKey();
    certs.push_back(makeCertificate(key.get(), "/C=DE/O=A, B/CN=two.example", ca.get(), caKey.get(), 400, false,
                                    "two.example"));
    for (const Ossl<X509>& cert : certs) {
      VELASNKeyRecord record;
      record.setCertificate(derOf(cert.get()).get());
      record.setLabel(labelFromName(X509_get_subject_name(cert.get())));
      db.insertKey(record);
    }
    db.enableCRL();
    VELASNCRLRecord crl;
    crl.setCRL(derOf(makeCRL(ca.get(), caKey.get(), {certs[1].get()}, 7).get()).get());
    crl.setLabel("Listing CA CRL");
    db.insertCRL(crl);

    const std::string text = captured([&] { printList(db, base, false, false, Table::Key); });
    for (const Ossl<X509>& cert : certs) {
      X509* c = cert.get();
      const std::string lines = "      subject: " + nameText(X509_get_subject_name(c)) + "\n      issuer:  " +
                                nameText(X509_get_issuer_name(c)) + "\n      serial:  " +
                                serialText(X509_get0_serialNumber(c)) + "  valid: " + timeText(X509_get0_notBefore(c)) +
                                " to " + timeText(X509_get0_notAfter(c)) + "\n";
      EXPECT_NE(text.find(lines), std::string::npos) << lines << "not in\n" << text;
    }

    const std::string json = captured([&] { printList(db, base, true, false, Table::Key); });
    const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(json);
    EXPECT_EQ(jsonText(doc), json);
    ASSERT_EQ(doc["keys"].size(), 2u);
    EXPECT_EQ(doc["keys"][1]["subject"], nameText(X509_get_subject_name(certs[1].get())));
    EXPECT_EQ(doc["keys"][1]["sha256"], digestHex(derOf(certs[1].get()).get(), false, true));
    EXPECT_TRUE(doc["keypairs"].empty());
    ASSERT_EQ(doc["crls"].size(), 1u);
    EXPECT_EQ(doc["crls"][0]["revoked"], 1);
    const std::string keysOnly = captured([&] { printList(db, base, true, true, Table::KeyPair); });
    EXPECT_EQ(keysOnly, jsonText({{"database", base}, {"keypairs", nlohmann::ordered_json::array()}}));
  }
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) std::remove((base + suffix).c_str());
}

// A bundle large enough for its certificates to be decoded in two threads:
// each comes back in its block's place; of several faults the one of the
// first block is reported, with nothing taken; and a bad certificate before
// an encrypted key is reported without asking for the key's password.
TEST(VelkdbPKI, BigBundlesKeepTheirOrderAndReportTheirFirstFault) {
  Ossl<EVP_PKEY> key = makeECKey();
  std::vector<std::string> blocks, ders;
  for (int i = 0; i < 400; ++i) {
    Ossl<X509> cert = makeCertificate(key.get(), "/CN=c" + std::to_string(i), nullptr, nullptr, 1, false, "");
    ders.push_back(derOf(cert.get()).toString());
    blocks.push_back(toPEM("CERTIFICATE", derOf(cert.get()).get()));
  }
  auto bundle = [&blocks](const std::map<std::size_t, std::string>& replaced) {
    std::string pem;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const auto it = replaced.find(i + 1);
      pem += it == replaced.end() ? blocks[i] : it->second;
    }
    return tempFile("big.pem", pem);
  };
  NoPassword none;
  InputItems items;
  readInputFile(bundle({}), none, items);
  ASSERT_EQ(items.certs.size(), ders.size());
  for (std::size_t i = 0; i < ders.size(); ++i) {
    ASSERT_TRUE(items.certs[i]) << i;
    EXPECT_EQ(derOf(items.certs[i].get()).toString(), ders[i]) << "certificate " << i << " out of its place";
  }

  const std::string notACertificate = toPEM("CERTIFICATE", VELBuffer("not a certificate", 17).get());
  const std::string malformed = "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n";
  FixedPassword password("input secret");
  const std::string encryptedKey = pemOf(key.get(), "input secret");
  struct Case {
    std::map<std::size_t, std::string> replaced;
    std::string reported;
  };
  const Case cases[] = {
      {{{150, notACertificate}, {330, notACertificate}}, "PEM block 150 (CERTIFICATE) is not a valid certificate"},
      {{{400, notACertificate}}, "PEM block 400 (CERTIFICATE) is not a valid certificate"},
      {{{20, notACertificate}, {390, malformed}}, "PEM block 20 (CERTIFICATE) is not a valid certificate"},
      {{{200, malformed}, {390, notACertificate}}, "malformed PEM block 200"},
      {{{100, notACertificate}, {300, encryptedKey}}, "PEM block 100 (CERTIFICATE) is not a valid certificate"},
  };
  for (const Case& c : cases) {
    InputItems partial;
    try {
      readInputFile(bundle(c.replaced), password, partial);
      ADD_FAILURE() << "read: " << c.reported;
    } catch (const VELDBException& e) {
      EXPECT_NE(std::string(e.getMessage()).find(c.reported), std::string::npos) << e.getMessage();
    }
    EXPECT_TRUE(partial.certs.empty() && partial.keys.empty()) << c.reported;
  }
  EXPECT_EQ(password.asked, 0) << "a password was asked for after a bad certificate";
}
