// A command's help: paragraphs are wrapped, a table of forms keeps its
// columns, and no line ends in a space.
#include "cli.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using namespace velkdb;

namespace {

TEST(VelkdbHelp, DescriptionsKeepTheirParagraphsAndTables) {
  const std::string description =
      "Writes one record.  It is written\nwhole, or not at all.\n"
      "\n"
      "What each form keeps:\n"
      "  --der          one record as DER, with --key its private key alone, PKCS#8, as stored or in the clear.\n"
      "                 No label.\n"
      "  --a-term-too-long-for-its-column  text\n"
      "Neither form keeps record IDs.";
  const std::string expected =
      "Writes one record.  It is written whole, or not at all.\n"
      "\n"
      "What each form keeps:\n"
      "  --der                 one record as DER, with --key its private key alone,\n"
      "                        PKCS#8, as stored or in the clear. No label.\n"
      "  --a-term-too-long-for-its-column\n"
      "                        text\n"
      "Neither form keeps record IDs.\n";
  EXPECT_EQ(formatDescription(description), expected);

  // Long paragraphs: every line within 78 columns, none ending in a space.
  std::string words;
  for (int i = 0; i < 60; ++i) words += "word" + std::to_string(i) + (i % 5 == 4 ? ".  " : " ");
  std::istringstream lines(formatDescription(words + "\n\n  --row  " + words));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_LE(line.size(), 78u) << line;
    EXPECT_TRUE(line.empty() || line.back() != ' ') << line;
  }
  EXPECT_GT(count, 10);
}

}  // namespace
