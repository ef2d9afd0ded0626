#include "filedbbuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltestutil.h"

// Plan: the wire form of every value, the bounds of put, get, read and
// setPosition (refused with kBadArgument, nothing copied, cursor unchanged), and
// a slot's round trip through a file.

namespace {

using VELTestUtil::errorOf;


std::string contents(const FileDBBuffer& b, std::uint64_t n) {
  return std::string(reinterpret_cast<const char*>(b.data()), static_cast<std::size_t>(n));
}

}  // namespace

TEST(FileDBBufferTest, ValuesAreWrittenBigEndianWithLengthPrefixes) {
  FileDBBuffer b(64);
  EXPECT_EQ(b.length(), 64u);  // the view covers the whole slot
  b.put(std::uint32_t{5000});
  b.put(std::uint16_t{0x0102});
  b.put(std::uint8_t{0xFE});
  b.put(VELBuffer("abc", 3));
  b.put(VELBuffer());
  EXPECT_EQ(b.getPosition(), 4u + 2 + 1 + 7 + 4);
  EXPECT_EQ(b.getUsedLength(), b.getPosition());
  EXPECT_EQ(contents(b, 18), std::string("\x00\x00\x13\x88\x01\x02\xFE\x00\x00\x00\x03"
                                         "abc\x00\x00\x00\x00",
                                         18));
  EXPECT_EQ(contents(b, 64).substr(18), std::string(46, '\0'));

  b.setPosition(0);
  std::uint32_t u32 = 0;
  std::uint16_t u16 = 0;
  std::uint8_t u8 = 0;
  VELBuffer text, empty("x", 1);
  b.get(u32);
  b.get(u16);
  b.get(u8);
  b.get(text);
  b.get(empty);
  EXPECT_EQ(u32, 5000u);
  EXPECT_EQ(u16, 0x0102);
  EXPECT_EQ(u8, 0xFE);
  EXPECT_EQ(text, VELBuffer("abc", 3));
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(errorOf([&] { b.get(u8); }), VELDBError::kBadArgument);
}

TEST(FileDBBufferTest, PutRefusesToPassTheCapacity) {
  FileDBBuffer b(10);
  b.put("0123456", 7);
  EXPECT_EQ(errorOf([&] { b.put(std::uint32_t{0xFFFFFFFF}); }), VELDBError::kBadArgument);
  EXPECT_EQ(b.getPosition(), 7u);
  EXPECT_EQ(contents(b, 10), std::string("0123456\0\0\0", 10));
  b.put("789", 3);  // exactly the rest
  EXPECT_EQ(b.getUsedLength(), 10u);
  EXPECT_EQ(errorOf([&] { b.put(std::uint8_t{1}); }), VELDBError::kBadArgument);
  EXPECT_EQ(b.getPosition(), 10u);

  // A byte string that does not fit fails after its length prefix.
  FileDBBuffer s(8);
  EXPECT_EQ(errorOf([&] { s.put(VELBuffer("abcde", 5)); }), VELDBError::kBadArgument);
  EXPECT_EQ(s.getPosition(), 4u);
  EXPECT_EQ(contents(s, 8), std::string("\x00\x00\x00\x05\0\0\0\0", 8));
}

TEST(FileDBBufferTest, GetStaysInsideTheFilledPart) {
  FileDBBuffer b(32);
  std::uint8_t u8 = 7;
  EXPECT_EQ(errorOf([&] { b.get(u8); }), VELDBError::kBadArgument);  // nothing filled after reset
  EXPECT_EQ(u8, 7);
  b.put(std::uint16_t{0xABCD});
  b.setPosition(0);
  std::uint32_t u32 = 9;
  EXPECT_EQ(errorOf([&] { b.get(u32); }), VELDBError::kBadArgument);
  EXPECT_EQ(u32, 9u);
  EXPECT_EQ(b.getPosition(), 0u);

  // A length prefix beyond the filled part fails after the prefix, without
  // touching the output.
  b.reset();
  b.put(std::uint32_t{0x7FFFFFFF});
  b.put("xy", 2);
  b.setPosition(0);
  VELBuffer out("keep", 4);
  EXPECT_EQ(errorOf([&] { b.get(out); }), VELDBError::kBadArgument);
  EXPECT_EQ(out, VELBuffer("keep", 4));
  EXPECT_EQ(b.getPosition(), 4u);
}

TEST(FileDBBufferTest, SetPositionNeedsAFilledByteInsideTheCapacity) {
  FileDBBuffer b(8);
  b.put("abcd", 4);
  EXPECT_NO_THROW(b.setPosition(4));  // used length, below capacity
  EXPECT_EQ(errorOf([&] { b.setPosition(5); }), VELDBError::kBadArgument);
  EXPECT_EQ(b.getPosition(), 4u);
  b.put("efgh", 4);
  EXPECT_EQ(errorOf([&] { b.setPosition(8); }), VELDBError::kBadArgument);
  EXPECT_NO_THROW(b.setPosition(7));
  b.reset();
  EXPECT_EQ(b.getPosition(), 0u);
  EXPECT_EQ(b.getUsedLength(), 0u);
  EXPECT_EQ(contents(b, 8), std::string(8, '\0'));
  EXPECT_EQ(b.length(), 8u);
}

TEST(FileDBBufferTest, ReadFillsASlotFromTheFile) {
  VELString image = std::string("HDR") + std::string("\x00\x00\x00\x02\x00\x00\x00\x2A", 8) + "rest";
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
  FileDBBuffer slot(12);
  file.setPosition(std::uint64_t{3});
  slot.read(file, 0);
  EXPECT_EQ(slot.getUsedLength(), 0u);
  slot.read(file, 12);
  EXPECT_EQ(slot.getUsedLength(), 12u);
  slot.setPosition(0);
  std::uint32_t flag = 0, id = 0;
  slot.get(flag);
  slot.get(id);
  EXPECT_EQ(flag, FileDBBuffer::kRecordDeleted);
  EXPECT_EQ(id, 42u);

  // Past the capacity: refused before the file is touched.
  slot.reset();
  file.setPosition(std::uint64_t{0});
  EXPECT_EQ(errorOf([&] { slot.read(file, 13); }), VELDBError::kBadArgument);
  EXPECT_EQ(file.getReadPosition(), 0u);
  EXPECT_EQ(slot.getPosition(), 0u);
  // Past the end of the file: the file's read error, cursor unchanged.
  file.setPosition(std::uint64_t{10});
  EXPECT_EQ(errorOf([&] { slot.read(file, 12); }), VELDBError::kRead);
  EXPECT_EQ(slot.getPosition(), 0u);
  EXPECT_EQ(slot.getUsedLength(), 0u);
}

TEST(FileDBBufferTest, AbsurdCapacityIsRefused) {
  EXPECT_EQ(errorOf([] { FileDBBuffer b(0x80000000ULL); }), VELDBError::kBadArgument);
  FileDBBuffer empty(0);
  EXPECT_EQ(errorOf([&] { empty.put(std::uint8_t{1}); }), VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { empty.setPosition(0); }), VELDBError::kBadArgument);
}

// A walk reads slots in place inside the block it read ahead: the buffer
// shows those bytes without copying them, and a change to the buffer never
// reaches them.
TEST(FileDBBufferTest, AViewedSlotIsReadInPlaceAndCopiedOnlyWhenChanged) {
  FileDBBuffer b(8);
  b.put(std::uint32_t{0x11111111});
  const unsigned char block[8] = {0, 0, 0, 7, 0, 0, 0, 9};
  EXPECT_EQ(errorOf([&] { b.view(block, 7); }), VELDBError::kBadArgument);  // only a whole slot
  b.view(block, sizeof block);
  EXPECT_EQ(b.data(), block);
  EXPECT_EQ(b.getUsedLength(), 8u);
  b.setPosition(4);
  std::uint32_t value = 0;
  b.get(value);
  EXPECT_EQ(value, 9u);
  // A put copies the slot in first and changes only the buffer.
  b.setPosition(0);
  b.put(std::uint32_t{2});
  EXPECT_NE(b.data(), block);
  EXPECT_EQ(contents(b, 8), std::string("\x00\x00\x00\x02\x00\x00\x00\x09", 8));
  EXPECT_EQ(block[3], 7);
  // A load or reset after a view shows the buffer's own bytes again.
  b.view(block, sizeof block);
  b.load("abcdefgh", 8);
  EXPECT_EQ(contents(b, 8), "abcdefgh");
  b.load("xy", 2);  // a shorter load leaves nothing of the longer one behind it
  EXPECT_EQ(contents(b, 8), std::string("xy\0\0\0\0\0\0", 8));
  b.view(block, sizeof block);
  b.reset();
  EXPECT_EQ(contents(b, 8), std::string(8, '\0'));
  // A read from the file into a viewed slot also copies the slot in first.
  VELString image("WXYZ");
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
  b.view(block, sizeof block);
  b.setPosition(4);
  b.readAt(file, 0, 4);
  EXPECT_NE(b.data(), block);
  EXPECT_EQ(contents(b, 8), std::string("\x00\x00\x00\x07WXYZ", 8));
  EXPECT_EQ(block[7], 9);
}
