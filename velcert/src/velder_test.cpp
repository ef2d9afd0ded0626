#include "velder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "velasnrecords.h"
#include "velexception.h"
#include "veltestpki.h"

// Plan: well-formed DER reads and writes back; every kind of hostile input
// (truncation, bad or overlong lengths, deep nesting, garbage) ends in kBadArgument.

namespace {

using Bytes = std::vector<unsigned char>;

void expectRefused(const Bytes& der) {
  try {
    VELDERElement e = VELDERReader::readSingle(VELASNCBuffer(der.data(), der.size()), "test");
    VELDERReader::checkStructure(e, "test");
    FAIL() << "accepted hostile input";
  } catch (const VELDBException& e) {
    EXPECT_EQ(e.getError(), VELDBError::kBadArgument);
    EXPECT_NE(e.getMessage().find("test: "), std::string::npos) << e.getMessage();
  }
}

TEST(VELDERReader, ReadsNestedElementsAndLengthForms) {
  VELBuffer inner;
  VELDERWriter::appendElement(inner, VELDER::kInteger, "\x01", 1);
  Bytes big(300, 0xAB);
  VELDERWriter::appendElement(inner, VELDER::kOctetString, big.data(), big.size());
  const VELBuffer outer = VELDERWriter::wrap(VELDER::kSequence, inner);
  // 300 bytes need the two-octet long form.
  EXPECT_EQ(outer[1], 0x82);

  VELDERReader r(outer.get(), "test");
  const VELDERElement seq = r.next(VELDER::kSequence, "seq");
  r.expectEnd();
  VELDERReader in = r.enter(seq);
  EXPECT_EQ(in.next(VELDER::kInteger, "int").content()[0], 0x01);
  VELDERElement octets;
  EXPECT_FALSE(in.nextIf(VELDER::kBitString, octets));
  ASSERT_TRUE(in.nextIf(VELDER::kOctetString, octets));
  EXPECT_EQ(octets.contentLength, 300u);
  EXPECT_EQ(octets.headerLength, 4u);
  EXPECT_TRUE(in.atEnd());
  EXPECT_THROW(in.next(), VELDBException);
}

TEST(VELDERReader, WriterUsesShortestLengthForms) {
  for (std::size_t n : {0u, 127u, 128u, 255u, 256u, 65535u, 65536u}) {
    VELBuffer out;
    VELDERWriter::appendHeader(out, VELDER::kOctetString, n);
    const std::size_t expected = n < 128 ? 2 : n < 256 ? 3 : n < 65536 ? 4 : 5;
    EXPECT_EQ(out.size(), expected) << n;
  }
  VELBuffer out;
  EXPECT_THROW(VELDERWriter::appendHeader(out, VELDER::kOctetString, 0x100000000ULL), VELDBException);
}

TEST(VELDERReader, RefusesMalformedHeadersAndLengths) {
  expectRefused({});                                   // nothing
  expectRefused({0x30});                               // header cut
  expectRefused({0x30, 0x03, 0x02, 0x01});             // content cut
  expectRefused({0x30, 0x80, 0x00, 0x00});             // indefinite length
  expectRefused({0x04, 0x81, 0x05, 1, 2, 3, 4, 5});    // long form below 128
  expectRefused({0x04, 0x82, 0x00, 0x81});             // leading zero octet
  expectRefused({0x04, 0x85, 1, 0, 0, 0, 0});          // five length octets
  expectRefused({0x04, 0xFF});                         // reserved length octet
  expectRefused({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0});  // overlong: 4 GiB claimed
  expectRefused({0x1F, 0x81, 0x01, 0x00});             // high tag number form
  expectRefused({0x02, 0x01, 0x00, 0x00});             // trailing byte
  expectRefused({0x30, 0x03, 0x02, 0x02, 0x00});       // child overruns its parent
  // A fault deeper in a later branch, after a nested branch that is sound.
  expectRefused({0x30, 0x08, 0x30, 0x02, 0x05, 0x00, 0x30, 0x02, 0x04, 0x05});
}

TEST(VELDERReader, BoundsNestingDepth) {
  // kMaxDepth levels are fine; one more is refused.
  for (unsigned levels : {VELDER::kMaxDepth, VELDER::kMaxDepth + 1, 5000u}) {
    VELBuffer der;
    VELDERWriter::appendElement(der, VELDER::kNull, nullptr, 0);
    for (unsigned i = 0; i < levels; ++i) der = VELDERWriter::wrap(VELDER::kSequence, der);
    const VELDERElement e = VELDERReader::readSingle(der.get(), "test");
    if (levels <= VELDER::kMaxDepth) {
      EXPECT_NO_THROW(VELDERReader::checkStructure(e, "test"));
    } else {
      EXPECT_THROW(VELDERReader::checkStructure(e, "test"), VELDBException) << levels;
    }
  }
  // An element found at some depth counts its levels from there.
  const Bytes two = {0x30, 0x04, 0x30, 0x02, 0x05, 0x00};
  const VELDERElement e = VELDERReader::readSingle(VELASNCBuffer(two.data(), two.size()), "test");
  EXPECT_NO_THROW(VELDERReader::checkStructure(e, "test", VELDER::kMaxDepth - 2));
  EXPECT_THROW(VELDERReader::checkStructure(e, "test", VELDER::kMaxDepth - 1), VELDBException);
}

TEST(VELDERReader, GarbageAndMutatedRecordsNeverEscapeAsAnythingElse) {
  std::mt19937 rng(12345);
  std::unique_ptr<VELASNKeyRecord> record = VELTestPKI::makeKeyRecord("label", "CN=Fuzz");
  const VELBuffer good = record->write();
  int refused = 0;
  for (int i = 0; i < 3000; ++i) {
    VELBuffer bad = good;
    switch (i % 3) {
      case 0:  // truncate
        bad.resize(rng() % good.size());
        break;
      case 1:  // flip bytes
        for (int k = 0; k < 3; ++k) bad.data()[rng() % bad.size()] ^= static_cast<unsigned char>(1 + rng() % 255);
        break;
      default:  // pure garbage
        bad.resize(rng() % 64);
        for (std::size_t k = 0; k < bad.size(); ++k) bad.data()[k] = static_cast<unsigned char>(rng());
    }
    VELASNKeyRecord decoded;
    try {
      decoded.read(bad.get());
    } catch (const VELDBException& e) {
      EXPECT_EQ(e.getError(), VELDBError::kBadArgument);
      ++refused;
    }
  }
  EXPECT_GT(refused, 1500);
}

}  // namespace
