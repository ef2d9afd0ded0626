// Plan: the slot positions an iterator computes, and the end of a walk.
#include "filedbiterator.h"

#include <gtest/gtest.h>

namespace {

TEST(IteratorTest, PositionsOfSlotsAndTheEndOfTheWalk) {
  FileDBIterator it("FileDBKeyStorage");
  EXPECT_EQ(it.d_tableName, "FileDBKeyStorage");
  EXPECT_EQ(it.getFilePosition(80, 5000, 0), 0u);  // empty table
  const std::uint64_t expected[] = {80, 5080, 10080};
  for (std::uint64_t position : expected) {
    EXPECT_EQ(it.getFilePosition(80, 5000, 3), position);
    ++it.d_index;
  }
  EXPECT_EQ(it.getFilePosition(80, 5000, 3), 0u);
  // Computed in 64 bits: no wrap for a far slot of a long record.
  it.d_index = 429496;
  EXPECT_EQ(it.getFilePosition(88, 100000, 500000), 42949600000ull + 88);
}

}  // namespace
