#include "filedbheader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltestutil.h"

// Plan: the common 48 bytes -- defaults, every field at its offset in
// network order, the label rules, the magic check -- and the base class's
// behaviour for the version-specific operations and class names.

namespace {

using VELTestUtil::errorOf;


std::string bytesOf(const FileDBHeader& h) {
  return std::string(reinterpret_cast<const char*>(h.getBuffer()), FileDBHeader::kCommonHeaderSize);
}

}  // namespace

TEST(FileDBHeaderTest, NewHeadersHoldMagicTheirVersionAndZeros) {
  VELKRYAlgorithmFactory factory;
  FileDBHeader base;
  FileDBHeaderV3 v3(&factory);
  FileDBHeaderV4 v4(&factory);
  const std::string zeros(44, '\0');
  EXPECT_EQ(bytesOf(base), std::string("7H\0\0", 4) + zeros);
  EXPECT_EQ(bytesOf(v3), std::string("7H\x03\0", 4) + zeros);
  EXPECT_EQ(bytesOf(v4), std::string("7H\x04\0", 4) + zeros);
  EXPECT_EQ(v3.getMagicNumber(), VELBuffer("7H", 2));
  EXPECT_EQ(v3.getMajorVersionNumber(), 3);
  EXPECT_EQ(v4.getMajorVersionNumber(), 4);
  EXPECT_EQ(base.getSize(), 48u);
  EXPECT_EQ(v3.getSize(), 80u);
  EXPECT_EQ(v4.getSize(), 88u);
}

TEST(FileDBHeaderTest, FieldsAreStoredBigEndianAtTheirOffsets) {
  FileDBHeader h;
  h.setMajorVersionNumber(3);
  h.setMinorVersionNumber(2);
  h.setPasswordExpirationTime(0x01020304u);
  h.setFileType(FileDBHeader::kKeyFileType);
  h.setFixedRecordLength(5000);
  h.setRecordsAllocated(0xA1B2C3D4u);
  const std::string b = bytesOf(h);
  EXPECT_EQ(b.substr(0, 4), std::string("7H\x03\x02", 4));
  EXPECT_EQ(b.substr(4, 4), std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(b.substr(8, 8), std::string("X509KEY\0", 8));
  EXPECT_EQ(b.substr(16, 4), std::string("\x00\x00\x13\x88", 4));
  EXPECT_EQ(b.substr(20, 4), std::string("\xA1\xB2\xC3\xD4", 4));
  EXPECT_EQ(h.getMinorVersionNumber(), 2);
  EXPECT_EQ(h.getPasswordExpirationTime(), 0x01020304u);
  EXPECT_EQ(h.getFileType(), VELBuffer("X509KEY\0", 8));
  EXPECT_EQ(h.getFixedRecordLength(), 5000u);
  EXPECT_EQ(h.getRecordsAllocated(), 0xA1B2C3D4u);

  // setBuffer takes the bytes as they stand; getBuffer gives them back.
  FileDBHeader copy;
  copy.setBuffer(h.getBuffer());
  EXPECT_EQ(bytesOf(copy), b);
  EXPECT_EQ(errorOf([&] { copy.setBuffer(nullptr); }), VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { copy.setFileType(nullptr); }), VELDBError::kBadArgument);
}

TEST(FileDBHeaderTest, FileLabelIsCutTo23BytesAndStopsAtZero) {
  FileDBHeader h;
  h.setFileLabel(std::string(30, 'a') + "bcd");
  EXPECT_EQ(h.getFileLabel(), std::string(23, 'a'));
  EXPECT_EQ(h.getBuffer()[47], 0);

  h.setFileLabel(std::string("ab\0cd", 5));
  EXPECT_EQ(h.getFileLabel(), "ab");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.getBuffer()) + 24, 24), std::string("ab") + std::string(22, '\0'));

  h.setFileLabel(std::string("\0xyz", 4));
  EXPECT_EQ(h.getFileLabel(), "");

  // A field read from a file without its zero byte ends with the field.
  unsigned char raw[48];
  std::memcpy(raw, h.getBuffer(), sizeof raw);
  std::memset(raw + 24, 'Q', 24);
  h.setBuffer(raw);
  EXPECT_EQ(h.getFileLabel(), std::string(24, 'Q'));
}

TEST(FileDBHeaderTest, ValidateConstantsChecksTheMagicNumber) {
  FileDBHeader h;
  EXPECT_EQ(errorOf([&] { h.validateConstants(); }), 0u);
  for (int at = 0; at < 2; ++at) {
    unsigned char raw[48];
    std::memcpy(raw, h.getBuffer(), sizeof raw);
    raw[at] ^= 0x20;
    FileDBHeader bad;
    bad.setBuffer(raw);
    EXPECT_EQ(errorOf([&] { bad.validateConstants(); }), VELDBError::kBadFormat) << at;
  }
}

TEST(FileDBHeaderTest, BaseHasNoVersionAndNoHashes) {
  FileDBHeader h;
  VELString image;
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadWrite);
  const VELPasswordEncryptor pw("pw", 2);
  const std::string before = bytesOf(h);
  h.setPasswordHeaderHash(pw);
  h.setPasswordDatabaseHash(file, pw);
  h.persist(file);
  EXPECT_EQ(bytesOf(h), before);
  EXPECT_TRUE(image.empty());
  EXPECT_TRUE(h.getPasswordHeaderHash().empty());
  EXPECT_TRUE(h.getPasswordDatabaseHash().empty());
  EXPECT_EQ(errorOf([&] { h.validateMajorVersion(); }), VELDBError::kBadMajorVersion);
  EXPECT_EQ(errorOf([&] { h.validatePasswordHeaderHash(pw); }), VELDBError::kBadPassword);
  EXPECT_EQ(errorOf([&] { h.validatePasswordDatabaseHash(file, pw); }), VELDBError::kHashMismatch);
  EXPECT_EQ(errorOf([&] { h.computePasswordHeaderHash(pw); }), VELDBError::kNoDigest);
  EXPECT_EQ(errorOf([&] { h.computePasswordDatabaseHash(file, pw); }), VELDBError::kNoDigest);
}

TEST(FileDBHeaderTest, BaseAssignmentCopiesTheCommonBytesOnly) {
  VELKRYAlgorithmFactory factory;
  FileDBHeaderV3 from(&factory);
  from.setFixedRecordLength(6000);
  from.setFileLabel("label");
  from.setPasswordHeaderHash(VELPasswordEncryptor("pw", 2));
  FileDBHeaderV4 to(&factory);
  static_cast<FileDBHeader&>(to) = from;
  EXPECT_EQ(bytesOf(to), bytesOf(from));
  EXPECT_EQ(to.getPasswordHeaderHash(), VELBuffer(std::string(20, '\0')));
  FileDBHeader& self = to;
  self = self;
  EXPECT_EQ(bytesOf(to), bytesOf(from));
}
