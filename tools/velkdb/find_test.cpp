// Plan: the parsers of what names a certificate (serial numbers,
// fingerprints), of --record-length and of long labels, and the selection
// and order of what ends soon.
#include "find.h"

#include <gtest/gtest.h>

#include "cli.h"
#include "text.h"

using namespace velkdb;

namespace {

TEST(SerialNumber, WrittenAnyWayComparesAsOneNumber) {
  for (const char* text : {"01:A3", "1a3", "01A3", "0001a3", "01 a3", "0:1:a:3"})
    EXPECT_EQ("1A3", normalizeSerial(text)) << text;
  EXPECT_EQ("0", normalizeSerial("00:00"));
  EXPECT_EQ("-7F", normalizeSerial("-007f"));
  EXPECT_EQ("0", normalizeSerial("-0"));
}

TEST(SerialNumber, AnythingButHexIsRefused) {
  for (const char* text : {"", ":", "12xy", "0x1a3", "-", "1.5"})
    EXPECT_THROW(normalizeSerial(text), UsageError) << text;
  EXPECT_THROW(normalizeSerial(std::string(201, '1')), UsageError);
}

TEST(Fingerprint, LengthTellsTheDigest) {
  const std::string sha1(40, 'a'), sha256(64, 'B');
  EXPECT_TRUE(parseFingerprint(sha1).sha1);
  EXPECT_EQ(std::string(40, 'A'), parseFingerprint(sha1).hex);
  EXPECT_FALSE(parseFingerprint(sha256).sha1);
  std::string colons;
  for (int i = 0; i < 20; ++i) colons += std::string(i ? ":" : "") + "0f";
  EXPECT_EQ(40u, parseFingerprint(colons).hex.size());
  for (const std::string& bad :
       {std::string(39, 'a'), std::string(41, 'a'), std::string(63, 'a'), std::string(40, 'g')}) {
    EXPECT_THROW(parseFingerprint(bad), UsageError) << bad;
  }
}

TEST(Ending, OnlyThoseBeforeTheHorizonSortedByEnd) {
  auto e = [](long long end, Table table, unsigned id) {
    Ending x;
    x.end = end;
    x.table = table;
    x.id = id;
    return x;
  };
  std::vector<Ending> all = {e(300, Table::Key, 4), e(100, Table::CRL, 1), e(100, Table::Key, 9),
                             e(500, Table::Key, 2), e(499, Table::Key, 3), e(100, Table::Key, 2)};
  const std::vector<Ending> got = endingBefore(all, 500);
  ASSERT_EQ(5u, got.size());
  EXPECT_EQ(2u, got[0].id);  // same end: keys before crls, then by ID
  EXPECT_EQ(9u, got[1].id);
  EXPECT_EQ(Table::CRL, got[2].table);
  EXPECT_EQ(4u, got[3].id);
  EXPECT_EQ(3u, got[4].id);
  EXPECT_TRUE(endingBefore(all, 100).empty());
}

TEST(Ending, DaysAreBounded) {
  EXPECT_EQ(0, numberOption("--expiring", "0", 0, 36500));
  EXPECT_EQ(36500, numberOption("--expiring", "36500", 0, 36500));
  for (const char* text : {"", "-1", "+1", "36501", "0x10", "1e3", "99999999999999999999", "7 "}) {
    EXPECT_THROW(numberOption("--expiring", text, 0, 36500), UsageError) << text;
  }
}

TEST(RecordLength, RefusedOutsideWhatARecordNeedsAndSense) {
  EXPECT_EQ(256u, parseRecordLength("256"));
  EXPECT_EQ(1024u, parseRecordLength("1024"));
  EXPECT_EQ(kMaxCreateRecordLength, parseRecordLength(std::to_string(kMaxCreateRecordLength)));
  for (const char* text : {"", "0", "255", "1048577", "4294967296", "1k", "+512", "999999999999"}) {
    EXPECT_THROW(parseRecordLength(text), UsageError) << text;
  }
}

TEST(Label, LengthIsLimited) {
  EXPECT_EQ("", labelFault(std::string(kMaxLabelBytes, 'a')));
  EXPECT_NE("", labelFault(std::string(kMaxLabelBytes + 1, 'a')));
  // Counted in bytes: 512 two-byte characters fit, one more does not.
  std::string wide;
  for (int i = 0; i < 512; ++i) wide += "\xc3\xa9";
  EXPECT_EQ("", labelFault(wide));
  EXPECT_NE("", labelFault(wide + "a"));
}

}  // namespace
