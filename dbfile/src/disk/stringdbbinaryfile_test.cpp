// Plan: the in-memory file keeps separate read and write cursors over the caller's
// string, grows it on writes, ignores positions outside it and refuses opening by name.
#include "stringdbbinaryfile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "velexception.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;

const long kZero = 0;

TEST(StringDBBinaryFileTest, SeparateReadAndWriteCursors) {
  VELString image = "0123456789";
  StringDBBinaryFile f(&image, VELDBConnectInfo::ReadOnly);
  f.write(VELString("abcdefghij"));
  EXPECT_EQ(10u, f.getWritePosition());
  EXPECT_EQ(0u, f.getReadPosition());
  VELString out;
  f.read(out, 10);  // still from position 0
  EXPECT_EQ("abcdefghij", out);
  EXPECT_EQ("abcdefghij", image);  // a read-only connection still writes the string
  EXPECT_EQ(4u, f.setPosition(std::uint64_t{4}));
  EXPECT_EQ(4u, f.getWritePosition());
  f.write(VELString("XY"));
  f.read(out, 3);
  EXPECT_EQ("XYg", out);
  // Raw transfers go through the same cursors.
  f.write("\x00\x01", std::uint64_t{2});
  unsigned char raw[2] = {9, 9};
  f.read(raw, std::uint64_t{2});
  EXPECT_EQ(0, std::memcmp(raw, "\x01i", 2));
  EXPECT_EQ(9u, f.getReadPosition());
  EXPECT_EQ(VELString("abcdXY\x00\x01ij", 10), image);
}

TEST(StringDBBinaryFileTest, ReadPastEndFailsAndLeavesCursors) {
  VELString image = "0123456789";
  StringDBBinaryFile f(&image, VELDBConnectInfo::ReadOnly);
  f.setPosition(std::uint64_t{6});
  VELString out = "unchanged";
  try {
    f.read(out, 5);
    FAIL() << "read past end accepted";
  } catch (const VELDBException& e) {
    EXPECT_EQ(VELDBError::kRead, e.getError());
    EXPECT_EQ("read:buf:5:6", e.getMessage());
    EXPECT_FALSE(e.hasExtra());
  }
  std::string message;
  EXPECT_EQ("unchanged", out);
  EXPECT_EQ(6u, f.getReadPosition());
  EXPECT_EQ(6u, f.getWritePosition());
  f.setPosition(kZero, FileDBBinaryFile::End);
  char c;
  EXPECT_EQ(VELDBError::kRead, errorOf([&] { f.read(&c, std::uint64_t{1}); }, &message));
  EXPECT_EQ("read:buf:1:10", message);
  // A count that would wrap the arithmetic is still past the end.
  EXPECT_THROW(f.read(out, ~std::uint64_t{0}), VELDBException);
  // A header read of an empty string.
  VELString empty;
  StringDBBinaryFile none(&empty, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(VELDBError::kRead, errorOf([&] { none.read(out, 80); }, &message));
  EXPECT_EQ("read:buf:80:0", message);
}

TEST(StringDBBinaryFileTest, PositionsOutsideAreIgnored) {
  VELString image = "0123456789";
  StringDBBinaryFile f(&image, VELDBConnectInfo::ReadOnly);
  f.setPosition(std::uint64_t{3});
  EXPECT_EQ(3u, f.setPosition(-1L, FileDBBinaryFile::Begin));
  EXPECT_EQ(3u, f.setPosition(11L, FileDBBinaryFile::Begin));
  EXPECT_EQ(3u, f.setPosition(8L, FileDBBinaryFile::Current));
  EXPECT_EQ(3u, f.setPosition(-4L, FileDBBinaryFile::Current));
  EXPECT_EQ(3u, f.setPosition(std::uint64_t{0x80000000}));
  EXPECT_EQ(3u, f.setPosition(std::uint64_t{0x100000001}));  // not cut to 1
  EXPECT_EQ(3u, f.setPosition(0x100000001L, FileDBBinaryFile::Begin));
  EXPECT_EQ(3u, f.getWritePosition());
  EXPECT_EQ(10u, f.setPosition(10L, FileDBBinaryFile::Begin));  // the end itself is inside
  EXPECT_EQ(7u, f.setPosition(-3L, FileDBBinaryFile::Current));
  EXPECT_EQ(7u, f.getWritePosition());
}

TEST(StringDBBinaryFileTest, AppendAtEndGrowsTheString) {
  VELString image = "HEADER";
  StringDBBinaryFile f(&image, VELDBConnectInfo::ReadWrite);
  EXPECT_EQ(6u, f.getSize());
  EXPECT_EQ(6u, f.setPosition(kZero, FileDBBinaryFile::End));
  f.write(VELString("slot1"));
  EXPECT_EQ(11u, f.getSize());
  f.setPosition(kZero, FileDBBinaryFile::End);
  f.write(VELString("slot2"));
  EXPECT_EQ("HEADERslot1slot2", image);
  EXPECT_EQ(16u, f.getSize());
  // Overwriting across the end replaces and extends.
  f.setPosition(std::uint64_t{15});
  f.write(VELString("XYZ"));
  EXPECT_EQ("HEADERslot1slotXYZ", image);
}

// A string has no name, no descriptor and no other holder: opening by name
// is refused, while locks, checks and syncs never fail.
TEST(StringDBBinaryFileTest, NamesAreRefusedAndLocksNeverFail) {
  EXPECT_THROW(StringDBBinaryFile(nullptr, VELDBConnectInfo::ReadOnly), VELDBException);
  VELString image;
  StringDBBinaryFile f(&image, VELDBConnectInfo::ReadWrite);
  f.openNew("ignored");  // creating a database over the string needs nothing
  FileDBBinaryFile& base = f;
  for (int which = 0; which < 3; ++which) {
    try {
      if (which == 0) base.openExisting("x", VELDBConnectInfo::ReadOnly);
      if (which == 1) base.openTmpFile();
      if (which == 2) base.close();
      ADD_FAILURE() << "call " << which << " accepted";
    } catch (const VELDBException& e) {
      EXPECT_EQ(VELDBError::kBadArgument, e.getError());
      EXPECT_EQ("not implemented", e.getMessage());
    }
  }
  base.lock(0, 1, 1);
  base.lock(0, 1, 1);
  base.unlock(5, 5);
  base.isOpenCheck();
  base.notOpenCheck();
  base.sync();
  EXPECT_TRUE(base.getFileName().empty());
  EXPECT_TRUE(base.isInMemory());
  f.write(VELString("still usable"));
  EXPECT_EQ("still usable", image);
}

TEST(StringDBBinaryFileTest, SetSizeThroughTheBaseGrowsAndCuts) {
  VELString image = "abcdef";
  StringDBBinaryFile f(&image, VELDBConnectInfo::ReadWrite);
  FileDBBinaryFile& base = f;
  base.setSize(8);
  EXPECT_EQ(VELString("abcdef\0\0", 8), image);
  EXPECT_EQ(8u, base.getSize());
  base.setPosition(std::uint64_t{7});
  base.setSize(3);
  EXPECT_EQ("abc", image);
  EXPECT_EQ(3u, base.getSize());
  EXPECT_EQ(3u, f.getReadPosition());  // cursors follow the cut
  EXPECT_EQ(3u, f.getWritePosition());
  EXPECT_THROW(base.setSize(0x80000000ULL), VELDBException);
  EXPECT_EQ("abc", image);
}

}  // namespace
