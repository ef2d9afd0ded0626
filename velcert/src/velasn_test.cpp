#include "velasn.h"

#include <gtest/gtest.h>

#include <sstream>

#include "velexception.h"
#include "veltestpki.h"

// Plan: INTEGER conversions at their boundaries and exact round trips; label
// and BIT STRING encodings; names compare equal across string types, case
// and spacing but not across different values.

namespace {

using namespace VELTestPKI;

VELBuffer bytes(std::initializer_list<unsigned char> b) { return VELBuffer(b.begin(), b.size()); }

TEST(VELASNInteger, EncodesShortestFormAndConvertsAtBoundaries) {
  struct Case {
    long long value;
    VELBuffer der;
  } cases[] = {{0, bytes({0x02, 0x01, 0x00})},
               {127, bytes({0x02, 0x01, 0x7F})},
               {128, bytes({0x02, 0x02, 0x00, 0x80})},
               {-1, bytes({0x02, 0x01, 0xFF})},
               {-128, bytes({0x02, 0x01, 0x80})},
               {-129, bytes({0x02, 0x02, 0xFF, 0x7F})}};
  for (const Case& c : cases) {
    VELASNInteger i(c.value);
    EXPECT_EQ(i.write(), c.der) << c.value;
    VELASNInteger back;
    back.read(c.der.get());
    EXPECT_EQ(back.getValue(), c.value);
  }
  VELASNInteger u;
  u.setUnsignedValue(0xFFFFFFFFULL);
  EXPECT_EQ(u.write(), bytes({0x02, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(u.fitsUnsigned32());
  u.setUnsignedValue(0x100000000ULL);
  EXPECT_FALSE(u.fitsUnsigned32());
  u.setUnsignedValue(~0ULL);
  EXPECT_EQ(u.getUnsignedValue(), ~0ULL);
  EXPECT_THROW(u.getValue(), VELDBException);
  EXPECT_THROW(VELASNInteger(-5).getUnsignedValue(), VELDBException);
  EXPECT_FALSE(VELASNInteger(-5).fitsUnsigned32());
}

TEST(VELASNInteger, KeepsLargeAndNonMinimalContentExactly) {
  // A 20-byte serial and a non-minimal one both write back unchanged.
  VELBuffer big = bytes({0x02, 0x14});
  for (int k = 0; k < 20; ++k) big.append("\x5A", 1);
  VELASNInteger i;
  i.read(big.get());
  EXPECT_EQ(i.write(), big);
  EXPECT_THROW(i.getValue(), VELDBException);
  std::ostringstream text;
  i.display(text);
  EXPECT_EQ(text.str().substr(0, 2), "0x");
  const VELBuffer padded = bytes({0x02, 0x03, 0x00, 0x00, 0x07});
  i.read(padded.get());
  EXPECT_EQ(i.getValue(), 7);
  EXPECT_TRUE(i.fitsUnsigned32());
  EXPECT_EQ(i.write(), padded);
  // Empty content and other tags are refused and leave the value alone.
  EXPECT_THROW(i.read(bytes({0x02, 0x00}).get()), VELDBException);
  EXPECT_THROW(i.read(bytes({0x04, 0x01, 0x00}).get()), VELDBException);
  EXPECT_EQ(i.write(), padded);
}

TEST(VELASNLabelString, RoundTripsBytesAndRefusesOtherStringTypes) {
  VELASNLabelString label("Schlüssel 1");
  const VELBuffer der = label.write();
  EXPECT_EQ(der[0], VELDER::kUTF8String);
  VELASNLabelString back;
  back.read(der.get());
  EXPECT_EQ(back.getValue(), "Schlüssel 1");
  EXPECT_THROW(back.read(bytes({0x13, 0x01, 'A'}).get()), VELDBException);
  VELASNLabelString empty;
  back.read(empty.write().get());
  EXPECT_EQ(back.getValue(), "");
}

TEST(VELASNBitString, BuildsAndChecksUnusedBits) {
  const unsigned char bits[] = {0xA0, 0xC0};
  VELASNBitString s(VELASNCBuffer(bits, 2), 6);
  EXPECT_EQ(s.write(), bytes({0x03, 0x03, 0x06, 0xA0, 0xC0}));
  EXPECT_EQ(s.getUnusedBits(), 6u);
  EXPECT_EQ(VELBuffer(s.getBits()), VELBuffer(bits, 2));
  EXPECT_THROW(VELASNBitString(VELASNCBuffer(bits, 2), 8), VELDBException);
  VELASNBitString r;
  EXPECT_THROW(r.read(bytes({0x03, 0x00}).get()), VELDBException);
  EXPECT_THROW(r.read(bytes({0x03, 0x01, 0x01}).get()), VELDBException);
  EXPECT_THROW(r.write(), VELDBException);  // empty value
}

TEST(VELASNx500Name, ComparesInCanonicalForm) {
  auto name = [](const char* text, NameEncoding enc) {
    return VELASNx500Name(derOf(makeName(text, enc).get()).get());
  };
  const VELASNx500Name utf8 = name("CN=Alice Example,O=Vel Test,C=DE", NameEncoding::UTF8);
  const VELASNx500Name printable = name("CN=Alice Example,O=Vel Test,C=DE", NameEncoding::Printable);
  const VELASNx500Name shouting = name("CN=ALICE   EXAMPLE,O=vel test,C=de", NameEncoding::Printable);
  const VELASNx500Name other = name("CN=Bob Example,O=Vel Test,C=DE", NameEncoding::UTF8);
  const VELASNx500Name reordered = name("C=DE,O=Vel Test,CN=Alice Example", NameEncoding::UTF8);

  EXPECT_NE(utf8, printable);  // different bytes ...
  EXPECT_EQ(utf8.compare(printable), 0);  // ... same name
  EXPECT_EQ(printable.compare(shouting), 0);
  EXPECT_EQ(shouting.compare(utf8), 0);
  EXPECT_NE(utf8.compare(other), 0);
  EXPECT_EQ(utf8.compare(other), -other.compare(utf8));
  EXPECT_NE(utf8.compare(reordered), 0);  // RDN order is significant
  EXPECT_NE(utf8.toText().find("Alice Example"), std::string::npos);

  // A name OpenSSL cannot decode falls back to its exact bytes.
  const VELBuffer oddDER = bytes({0x30, 0x04, 0x31, 0x02, 0x05, 0x00});
  const VELASNx500Name odd(oddDER.get());
  EXPECT_EQ(odd.compare(VELASNx500Name(oddDER.get())), 0);
  EXPECT_NE(odd.compare(utf8), 0);
  // Not a Name at all.
  EXPECT_THROW(VELASNx500Name(bytes({0x30, 0x02, 0x02, 0x00}).get()), VELDBException);
}

// (Its encoding is checked against OpenSSL's in the certificate tests.)
TEST(VELASNIssuerAndSerialNumber, RefusesASerialThatIsNoInteger) {
  const VELBuffer issuer = derOf(makeName("CN=Issuer", NameEncoding::Printable).get());
  EXPECT_THROW(VELASNIssuerAndSerialNumber(issuer.get(), issuer.get()), VELDBException);
}

}  // namespace
