// Plan: the multi index's cursor walks: equal keys in insertion order, ended by changes.
#include "filedbmultiindex.h"

#include <gtest/gtest.h>

#include "veltesttablefiles.h"

namespace {

using VELTestTableFiles::walk;

VELBuffer key(const char* text) { return VELBuffer(text, std::char_traits<char>::length(text)); }

TEST(FileDBMultiIndexTest, EqualKeysComeBackInInsertionOrder) {
  FileDBMultiIndex index;
  EXPECT_EQ(index.find(key("s")), nullptr);
  EXPECT_EQ(index.findNext(), nullptr);
  index.insert(key("s"), {300, 3});
  index.insert(key("r"), {50, 9});
  index.insert(key("s"), {100, 1});
  index.insert(key("s"), {200, 2});
  EXPECT_EQ(walk(index, key("s")), (std::vector<std::uint32_t>{3, 1, 2}));
}

TEST(FileDBMultiIndexTest, ChangesEndTheWalk) {
  FileDBMultiIndex index;
  index.insert(key("b"), {2, 2});
  index.insert(key("b"), {4, 4});
  index.insert(key("a"), {1, 1});
  ASSERT_NE(index.find(key("b")), nullptr);
  // Erasing a value that is not stored changes nothing but ends the walk.
  index.erase(key("b"), {99, 2});
  EXPECT_EQ(index.size(), 3u);
  EXPECT_EQ(index.findNext(), nullptr);
  index.insert(key("b"), {3, 3});
  index.erase(key("b"), {2, 2});
  EXPECT_EQ(walk(index, key("b")), (std::vector<std::uint32_t>{4, 3}));
  index.erase();
  EXPECT_EQ(index.find(key("a")), nullptr);
  EXPECT_EQ(index.findNext(), nullptr);
}

}  // namespace
