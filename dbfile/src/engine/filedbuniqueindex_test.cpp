// Plan: keys are byte strings compared whole (prefixes, embedded zeros and the empty key are
// keys of their own); an insert under a present key replaces its location; the two erases; and
// many digests through growth and heavy erasing, every survivor still found where it was put.
#include "filedbuniqueindex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

VELBuffer key(const std::string& bytes) { return VELBuffer(bytes.data(), bytes.size()); }

// A 20-byte key that differs from its neighbours in the last bytes only, as
// digests of similar records may.
VELBuffer digestKey(std::uint32_t n) {
  std::string bytes(16, 'D');
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(n >> shift);
  return key(bytes);
}

TEST(UniqueIndexTest, KeysAreWholeByteStringsAndAnInsertReplaces) {
  FileDBUniqueIndex index;
  EXPECT_EQ(index.find(key("a")), nullptr);
  const std::string keys[] = {"a", "ab", std::string("a\0", 2), std::string(), "A"};
  for (std::uint32_t i = 0; i < 5; ++i) index.insert(key(keys[i]), FileDBUniqueLocation{80 + 100 * i, i + 1});
  EXPECT_EQ(index.size(), 5u);
  for (std::uint32_t i = 0; i < 5; ++i) {
    const FileDBUniqueLocation* at = index.find(key(keys[i]));
    ASSERT_NE(at, nullptr) << i;
    EXPECT_EQ(at->recordID, i + 1);
    EXPECT_EQ(at->position, 80 + 100 * i);
  }
  EXPECT_EQ(index.find(key("b")), nullptr);

  index.insert(key("ab"), FileDBUniqueLocation{(1ull << 33) + 7, 99});  // a position past 4 GiB is kept whole
  EXPECT_EQ(index.size(), 5u);
  EXPECT_EQ(index.find(key("ab"))->recordID, 99u);
  EXPECT_EQ(index.find(key("ab"))->position, (1ull << 33) + 7);
  EXPECT_EQ(index.find(key("a"))->recordID, 1u);
}

TEST(UniqueIndexTest, EraseByKeyAndEraseOnlyWhenTheRecordOwnsTheKey) {
  FileDBUniqueIndex index;
  index.insert(key("label"), FileDBUniqueLocation{80, 1});
  index.insert(key("other"), FileDBUniqueLocation{180, 2});
  index.erase(key("missing"));
  index.erase(key("label"), 2);  // another record's key stays
  ASSERT_NE(index.find(key("label")), nullptr);
  EXPECT_EQ(index.find(key("label"))->recordID, 1u);
  index.erase(key("label"), 1);
  EXPECT_EQ(index.find(key("label")), nullptr);
  EXPECT_NE(index.find(key("other")), nullptr);
  index.erase(key("other"));
  EXPECT_EQ(index.size(), 0u);

  index.insert(key(""), FileDBUniqueLocation{80, 3});
  index.erase();
  EXPECT_EQ(index.find(key("")), nullptr);
  index.insert(key(""), FileDBUniqueLocation{280, 4});  // usable after clearing
  EXPECT_EQ(index.find(key(""))->recordID, 4u);
}

TEST(UniqueIndexTest, ManyKeysSurviveGrowthAndErasing) {
  const std::uint32_t n = 20000;
  for (const bool reserved : {false, true}) {
    FileDBUniqueIndex index;
    if (reserved) index.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) index.insert(digestKey(i), FileDBUniqueLocation{80ull + i * 5000ull, i});
    ASSERT_EQ(index.size(), n);
    // Every other key, then every key again: erased ones gone, the rest found.
    for (std::uint32_t i = 0; i < n; i += 2) index.erase(digestKey(i), i);
    EXPECT_EQ(index.size(), n / 2);
    std::uint32_t wrong = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
      const FileDBUniqueLocation* at = index.find(digestKey(i));
      const bool ok =
          i % 2 == 0 ? at == nullptr : at != nullptr && at->recordID == i && at->position == 80ull + i * 5000ull;
      if (!ok) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "reserved " << reserved;
    // Reinserted keys land beside the survivors.
    for (std::uint32_t i = 0; i < n; i += 2) index.insert(digestKey(i), FileDBUniqueLocation{1, n + i});
    EXPECT_EQ(index.size(), n);
    EXPECT_EQ(index.find(digestKey(n - 2))->recordID, 2 * n - 2);
    EXPECT_EQ(index.find(digestKey(n - 1))->recordID, n - 1);
  }
}

}  // namespace
