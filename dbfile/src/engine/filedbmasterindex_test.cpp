// Plan: the master index of each table, driven by its list of keys: what every index holds after
// insert, erase and clear (the whole position in the unique indexes, its low 32 bits in the multi
// indexes, records sharing a multi key walked in insertion order); the order and numbers of the
// unique-key check, in which the multi keys take no part; a record entered again under its ID
// keeps none of its old keys; and a unique key that a later record took over survives the erase
// of the earlier record.
#include "filedbmasterindex.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "veltestfields.h"
#include "veltesttablefiles.h"

namespace {

using VELTestFields::fieldsOf;
using VELTestTableFiles::walk;
using IDs = std::vector<std::uint32_t>;

template <class TABLE>
class MasterIndexTest : public ::testing::Test {};
TYPED_TEST_SUITE(MasterIndexTest, VELTestFields::Tables);

TYPED_TEST(MasterIndexTest, InsertEraseAndClearReachEveryIndex) {
  typename TypeParam::Index index;
  const auto unique = TypeParam::uniqueKeys();
  const auto multi = TypeParam::multiKeys();
  // Three records sharing every multi key.
  std::vector<typename TypeParam::Fields> f = {fieldsOf<TypeParam>("a", 1), fieldsOf<TypeParam>("b", 2),
                                               fieldsOf<TypeParam>("c", 3)};
  for (const auto m : multi) f[1].*m = f[2].*m = f[0].*m;
  EXPECT_EQ(index.find(1), nullptr);
  const std::uint64_t far = (1ull << 32) + 80;
  index.insert(far, f[0]);
  index.insert(5080, f[1]);
  index.insert(10080, f[2]);
  ASSERT_NE(index.find(1), nullptr);
  EXPECT_EQ(index.find(1)->position, far);
  // The entry's copies: unique keys, then multi keys, in the table's order.
  EXPECT_EQ(index.find(1)->keys, VELTestFields::keysOf<TypeParam>(f[0]));
  for (const auto& u : unique) {
    ASSERT_NE(index.uniqueIndexOf(u.field)->find(f[0].*u.field), nullptr);
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(f[0].*u.field)->position, far);
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(f[1].*u.field)->recordID, 2u);
  }
  for (const auto m : multi) {
    EXPECT_EQ(index.multiIndexOf(m)->find(f[0].*m)->position, 80u);
    EXPECT_EQ(walk(*index.multiIndexOf(m), f[0].*m), (IDs{1, 2, 3}));
  }

  index.erase(2, *index.find(2));  // the map's own entry, as the table passes it
  index.erase(1, *index.find(1));
  EXPECT_EQ(index.find(1), nullptr);
  EXPECT_EQ(index.records().size(), 1u);
  for (const auto& u : unique) {
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(f[0].*u.field), nullptr);
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(f[1].*u.field), nullptr);
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(f[2].*u.field)->recordID, 3u);
  }
  for (const auto m : multi) EXPECT_EQ(walk(*index.multiIndexOf(m), f[0].*m), (IDs{3}));

  index.erase();
  EXPECT_TRUE(index.records().empty());
  for (const auto& u : unique) EXPECT_EQ(index.uniqueIndexOf(u.field)->find(f[2].*u.field), nullptr);
  for (const auto m : multi) EXPECT_TRUE(walk(*index.multiIndexOf(m), f[2].*m).empty());
  index.insert(80, f[1]);  // still usable
  EXPECT_EQ(index.find(2)->position, 80u);

  // Entered again under its ID with other keys, the record answers to its
  // new keys only.
  const auto renewed = fieldsOf<TypeParam>("renewed", 2);
  index.insert(160, renewed);
  EXPECT_EQ(index.records().size(), 1u);
  EXPECT_EQ(index.find(2)->keys, VELTestFields::keysOf<TypeParam>(renewed));
  for (const auto& u : unique) {
    ASSERT_NE(f[1].*u.field, renewed.*u.field);
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(f[1].*u.field), nullptr);
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(renewed.*u.field)->position, 160u);
  }
  for (const auto m : multi) {
    EXPECT_TRUE(f[1].*m == renewed.*m || walk(*index.multiIndexOf(m), f[1].*m).empty());
    EXPECT_EQ(walk(*index.multiIndexOf(m), renewed.*m), (IDs{2}));
  }
}

TYPED_TEST(MasterIndexTest, IntegrityCheckReportsTheFirstCollisionInOrder) {
  using Fields = typename TypeParam::Fields;
  typename TypeParam::Index index;
  const Fields stored = fieldsOf<TypeParam>("stored", 1);
  index.insert(80, stored);
  Fields fresh = fieldsOf<TypeParam>("fresh", 2);
  for (const auto m : TypeParam::multiKeys()) fresh.*m = stored.*m;  // shared multi keys are no collision
  std::vector<std::function<void(Fields&)>> takers = {[&](Fields& f) { f.recordID = stored.recordID; }};
  std::vector<unsigned long> errors = {VELDBError::kDuplicateRecordID};
  for (const auto& u : TypeParam::uniqueKeys()) {
    takers.push_back([&stored, u](Fields& f) { f.*u.field = stored.*u.field; });
    errors.push_back(u.duplicateError);
  }
  VELTestTableFiles::expectCollisionOrder(index, fresh, takers, errors);
}

TYPED_TEST(MasterIndexTest, EraseLeavesAUniqueKeyThatALaterRecordTookOver) {
  // Files written elsewhere may hold two records with one label or key; the
  // later one owns it in the index, and erasing the earlier one must not drop it.
  typename TypeParam::Index index;
  const auto first = fieldsOf<TypeParam>("first", 1);
  auto second = fieldsOf<TypeParam>("second", 2);
  for (const auto& u : TypeParam::uniqueKeys()) second.*u.field = first.*u.field;
  index.insert(80, first);
  index.insert(5080, second);
  index.erase(1, *index.find(1));
  for (const auto& u : TypeParam::uniqueKeys()) {
    ASSERT_NE(index.uniqueIndexOf(u.field)->find(second.*u.field), nullptr);
    EXPECT_EQ(index.uniqueIndexOf(u.field)->find(second.*u.field)->recordID, 2u);
  }
  index.erase(2, *index.find(2));
  for (const auto& u : TypeParam::uniqueKeys()) EXPECT_EQ(index.uniqueIndexOf(u.field)->find(second.*u.field), nullptr);
}

}  // namespace
