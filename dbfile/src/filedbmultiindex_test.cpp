// Plan: the multi index's cursor walks (equal keys in insertion order, ended by changes) and
// the unique index's replace-on-insert, which every table lookup relies on.
#include "filedbmultiindex.h"

#include <gtest/gtest.h>

#include "filedbuniqueindex.h"

namespace {

VELBuffer key(const char* text) { return VELBuffer(text, std::char_traits<char>::length(text)); }

TEST(FileDBUniqueIndexTest, InsertReplacesAndEraseRemoves) {
  FileDBUniqueIndex index;
  EXPECT_EQ(index.find(key("a")), nullptr);
  index.insert(key("a"), {100, 1});
  index.insert(key("a"), {5100, 7});
  ASSERT_NE(index.find(key("a")), nullptr);
  EXPECT_EQ(index.find(key("a"))->position, 5100u);
  EXPECT_EQ(index.find(key("a"))->recordID, 7u);
  EXPECT_EQ(index.size(), 1u);
  // A key is a byte string: a prefix is another key.
  index.insert(key("ab"), {1, 2});
  index.erase(key("a"));
  EXPECT_EQ(index.find(key("a")), nullptr);
  EXPECT_NE(index.find(key("ab")), nullptr);
  index.erase();
  EXPECT_EQ(index.size(), 0u);
}

TEST(FileDBMultiIndexTest, EqualKeysComeBackInInsertionOrder) {
  FileDBMultiIndex index;
  EXPECT_EQ(index.find(key("s")), nullptr);
  EXPECT_EQ(index.findNext(), nullptr);
  index.insert(key("s"), {300, 3});
  index.insert(key("r"), {50, 9});
  index.insert(key("s"), {100, 1});
  index.insert(key("s"), {200, 2});
  const FileDBMultiLocation* v = index.find(key("s"));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->recordID, 3u);
  EXPECT_EQ(index.findNext()->recordID, 1u);
  EXPECT_EQ(index.findNext()->recordID, 2u);
  EXPECT_EQ(index.findNext(), nullptr);
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
  const FileDBMultiLocation* v = index.find(key("b"));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->recordID, 4u);
  EXPECT_EQ(index.findNext()->recordID, 3u);
  EXPECT_EQ(index.findNext(), nullptr);
  index.erase();
  EXPECT_EQ(index.find(key("a")), nullptr);
  EXPECT_EQ(index.findNext(), nullptr);
}

}  // namespace
