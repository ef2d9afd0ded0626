#include "pki.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>

#include "commands.h"
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

  // Wrong password, no password, a block of an unsupported kind, a cut-off
  // block, DER that is nothing known.
  InputItems more;
  FixedPassword wrong("not it");
  EXPECT_THROW(readInputFile(tempFile("enc.pem", pemOf(key.get(), "input secret")), wrong, more), VELDBException);
  NoPassword none;
  EXPECT_THROW(readInputFile(tempFile("enc2.pem", pemOf(key.get(), "input secret")), none, more), VELDBException);
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

TEST(VelkdbText, JSONStringsAreValidAndEscapeEveryControlCharacter) {
  EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(jsonString("\x1b\n\x7f\xc2\x9b\xe2\x80\xa8"), "\"\\u001b\\n\\u007f\\u009b\\u2028\"");
  EXPECT_EQ(jsonString("\xff ÄÖ"), "\"\\ufffd ÄÖ\"");
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

TEST(VelkdbCommands, ExpiryIsDaysNeverOrADate) {
  EXPECT_EQ(parseExpiry("never"), 0);
  EXPECT_EQ(parseExpiry("0"), 0);
  EXPECT_EQ(parseExpiry("2030-01-02"), 1893542400LL);
  EXPECT_EQ(expiryText(1893542400LL), "2030-01-02T00:00:00Z");
  const long long inTen = parseExpiry("10");
  EXPECT_NEAR(static_cast<double>(inTen - std::time(nullptr)), 864000.0, 5.0);
  EXPECT_THROW(parseExpiry("2106-12-31"), UsageError);  // past 32-bit seconds
  EXPECT_THROW(parseExpiry("9999999"), UsageError);
  EXPECT_THROW(parseExpiry("-1"), UsageError);
  EXPECT_THROW(parseExpiry("2030-13-01"), UsageError);
  // Days a month does not have are refused, not carried into the next.
  EXPECT_EQ(parseExpiry("2028-02-29"), parseExpiry("2028-03-01") - 86400);
  for (const char* bad : {"2026-02-30", "2027-02-29", "2026-04-31", "2100-02-29", "2026-06-00"}) {
    EXPECT_THROW(parseExpiry(bad), UsageError) << bad;
  }
  EXPECT_THROW(parseExpiry("tomorrow"), UsageError);
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
  }
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) std::remove((base + suffix).c_str());
}
