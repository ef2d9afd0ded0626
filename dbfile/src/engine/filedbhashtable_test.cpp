// Plan: the flat table against a plain model under random inserts and
// removals, with a hash that piles keys into a few homes, one of them the
// last slot, so that clusters are long, wrap around the end and are moved
// by removals and growth; equal keys must keep their insertion order
// throughout.
#include "filedbhashtable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// Keys whose first byte is 0, 1 or 2 mod 3 go home to the last slot, a
// quarter and a half of the table.
struct FewHomes {
  std::uint64_t operator()(const VELBuffer& key) const noexcept {
    if (key.size() == 0) return 0;
    switch (key[0] % 3) {
      case 0:
        return ~std::uint64_t{0};
      case 1:
        return std::uint64_t{1} << 62;
      default:
        return std::uint64_t{2} << 62;
    }
  }
};

VELBuffer makeKey(int group, int variant, bool longKey) {
  std::string text(1, static_cast<char>(group));
  text += std::to_string(variant);
  if (longKey) text += std::string(40, 'x');  // past the bytes held inline
  return VELBuffer(text.data(), text.size());
}

using Model = std::vector<std::pair<VELBuffer, int>>;  // insertion order

template <class Table>
std::vector<int> walk(Table& table, const VELBuffer& key) {
  std::vector<int> values;
  typename Table::Cursor cursor;
  for (int* v = table.find(key, cursor); v != nullptr; v = table.next(key, cursor)) values.push_back(*v);
  return values;
}

std::vector<int> expected(const Model& model, const VELBuffer& key) {
  std::vector<int> values;
  for (const auto& e : model) {
    if (e.first.size() == key.size() && std::equal(e.first.data(), e.first.data() + key.size(), key.data())) {
      values.push_back(e.second);
    }
  }
  return values;
}

template <class Hash>
void runAgainstModel(unsigned seed) {
  FileDBHashTable<int, Hash> table;
  Model model;
  std::mt19937 random(seed);
  std::vector<VELBuffer> keys;
  for (int g = 0; g < 6; ++g) {
    for (int v = 0; v < 4; ++v) keys.push_back(makeKey(g, v, (g + v) % 2 == 0));
  }
  int nextValue = 1;
  for (int step = 0; step < 3000; ++step) {
    const VELBuffer& key = keys[random() % keys.size()];
    const unsigned op = random() % 10;
    if (op < 6) {
      table.insert(key, nextValue);
      model.emplace_back(key, nextValue);
      ++nextValue;
    } else {
      // Remove an entry of the key: sometimes the first, sometimes a later
      // one, sometimes one that is not there.
      const std::vector<int> present = expected(model, key);
      const int target = present.empty() || op == 9 ? -1 : present[random() % present.size()];
      const bool erased = table.eraseFirst(key, [target](const int& v) { return v == target; });
      ASSERT_EQ(erased, target != -1);
      if (erased) {
        model.erase(std::find_if(model.begin(), model.end(), [target](const auto& e) { return e.second == target; }));
      }
    }
    ASSERT_EQ(table.size(), model.size());
    if (step % 50 == 0 || step > 2950) {
      for (const VELBuffer& k : keys) ASSERT_EQ(walk(table, k), expected(model, k)) << "step " << step;
      std::size_t visited = 0;
      table.forEach([&visited](const VELBuffer&, const int&) { ++visited; });
      ASSERT_EQ(visited, model.size());
    }
  }
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(keys[0]), nullptr);
}

TEST(FileDBHashTableTest, CrowdedClustersKeepEveryEntryAndTheOrderOfEqualKeys) {
  for (unsigned seed : {1u, 2u, 3u}) runAgainstModel<FewHomes>(seed);
}

TEST(FileDBHashTableTest, SpreadKeysKeepEveryEntryAndTheOrderOfEqualKeys) {
  for (unsigned seed : {4u, 5u}) runAgainstModel<FileDBKeyHash>(seed);
}

TEST(FileDBHashTableTest, ReserveHoldsTheCountWithoutMovingValues) {
  FileDBHashTable<int> table;
  table.reserve(1000);
  table.insert(makeKey(1, 0, false), 7);
  const int* first = table.find(makeKey(1, 0, false));
  ASSERT_NE(first, nullptr);
  for (int i = 1; i < 1000; ++i) table.insert(makeKey(2, i, i % 3 == 0), i);
  // No rehash happened: the first value is where it was.
  EXPECT_EQ(table.find(makeKey(1, 0, false)), first);
  EXPECT_EQ(table.size(), 1000u);
  for (int i = 1; i < 1000; ++i) ASSERT_EQ(*table.find(makeKey(2, i, i % 3 == 0)), i);
  // The empty key is a key like any other.
  table.insert(VELBuffer(), 42);
  ASSERT_NE(table.find(VELBuffer()), nullptr);
  EXPECT_EQ(*table.find(VELBuffer()), 42);
}

}  // namespace
