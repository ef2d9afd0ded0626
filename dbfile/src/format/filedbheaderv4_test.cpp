#include "filedbheaderv4.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "filedbbinaryfile.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltestheaders.h"
#include "veltesttablefiles.h"
#include "veltestutil.h"

// Plan: HMAC-SHA1 known answers both ways (a file built here verifies, a
// file sealed by the class holds OpenSSL's MAC over its bytes), then slot
// order and long slots.  What both versions do alike is in
// filedbheaderversions_test.cpp.

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;
using VELTestUtil::writeAll;

using VELTestHeaders::hmacSha1;

std::string makeSlots(std::uint32_t length, std::uint32_t count) {
  return VELTestTableFiles::handBuiltSlots(length, count, 99);
}

std::string handBuiltFile(std::uint32_t length, std::uint32_t count, const std::string& pw) {
  return VELTestHeaders::v4File(length, count, pw);
}

class FileDBHeaderV4Test : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return d_dir.file(name); }

  unsigned long databaseError(VELString image) {
    StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
    FileDBHeaderV4 h(&factory, file);
    return errorOf([&] { h.validatePasswordDatabaseHash(file, pw); });
  }

  const VELTestUtil::TempDir d_dir{"filedbheaderv4"};
  VELKRYAlgorithmFactory factory;
  const std::string password = "v4 password";
  const VELPasswordEncryptor pw{password.data(), password.size()};
};

}  // namespace

TEST_F(FileDBHeaderV4Test, HandBuiltFileVerifiesThroughTheClass) {
  const std::string image = handBuiltFile(72, 4, password);
  writeAll(path("hand.crl"), image);
  FileDBBinaryFile file(path("hand.crl"), VELDBConnectInfo::ReadOnly);
  FileDBHeaderV4 h(&factory, file);
  EXPECT_NO_THROW(h.validateConstants());
  EXPECT_NO_THROW(h.validateMajorVersion());
  EXPECT_NO_THROW(h.validatePasswordHeaderHash(pw));
  EXPECT_NO_THROW(h.validatePasswordDatabaseHash(file, pw));
  EXPECT_EQ(h.getFileType(), VELBuffer("X509CRL\0", 8));
  EXPECT_EQ(h.getFixedRecordLength(), 72u);
  EXPECT_EQ(h.getRecordsAllocated(), 4u);
  EXPECT_EQ(h.getPasswordHeaderHash(), VELBuffer(image.substr(48, 20)));
  EXPECT_EQ(h.getPasswordDatabaseHash(), VELBuffer(image.substr(68, 20)));
  FileDBHeaderV4 copy(h, &factory);
  FileDBHeaderV4 assigned(&factory);
  assigned = h;
  EXPECT_NO_THROW(copy.validatePasswordDatabaseHash(file, pw));
  EXPECT_NO_THROW(assigned.validatePasswordDatabaseHash(file, pw));
}

TEST_F(FileDBHeaderV4Test, SealedFileHoldsTheMACsOfItsBytes) {
  const std::string slots = makeSlots(90, 5);
  {
    FileDBBinaryFile file;
    file.openNew(path("sealed.crl"));
    file.write(static_cast<const void*>(std::string(88, '\0').data()), 88);
    file.write(static_cast<const void*>(slots.data()), slots.size());
    FileDBHeaderV4 h(&factory);
    h.setMinorVersionNumber(FileDBHeader::kCRLMinorVersion);
    h.setFileType(FileDBHeader::kCRLFileType);
    h.setFixedRecordLength(90);
    h.setRecordsAllocated(5);
    h.setPasswordHeaderHash(pw);
    h.setPasswordDatabaseHash(file, pw);
    h.persist(file);
  }
  const std::string image = readAll(path("sealed.crl"));
  ASSERT_EQ(image.size(), 88u + slots.size());
  EXPECT_EQ(image.substr(0, 4), std::string("7H\x04\x01", 4));
  EXPECT_EQ(image.substr(88), slots);
  EXPECT_EQ(image.substr(48, 20), hmacSha1(password, image.substr(0, 48)));
  EXPECT_EQ(image.substr(68, 20), hmacSha1(password, image.substr(0, 68) + image.substr(88)));
  EXPECT_EQ(image.substr(24, 23).find('\0'), std::string::npos);
  EXPECT_EQ(image[47], '\0');

  FileDBBinaryFile file(path("sealed.crl"), VELDBConnectInfo::ReadOnly);
  FileDBHeaderV4 h(&factory, file);
  VELString copy;
  StringDBBinaryFile out(&copy, VELDBConnectInfo::ReadWrite);
  h.persist(out);
  EXPECT_EQ(copy, image.substr(0, 88));
}

TEST_F(FileDBHeaderV4Test, EmptyFileMACCoversHeaderOnly) {
  VELString image;
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadWrite);
  FileDBHeaderV4 h(&factory);
  h.setFixedRecordLength(FileDBHeader::kInitialFixedRecordLength);
  h.setPasswordHeaderHash(pw);
  h.setPasswordDatabaseHash(file, pw);
  h.persist(file);
  ASSERT_EQ(image.size(), 88u);
  EXPECT_EQ(image.substr(68, 20), hmacSha1(password, image.substr(0, 68)));
  EXPECT_EQ(databaseError(image), 0u);
}

TEST_F(FileDBHeaderV4Test, SwappingTwoSlotsBreaksTheHash) {
  const std::string image = handBuiltFile(50, 3, password);
  std::string swapped = image;
  swapped.replace(88, 50, image.substr(138, 50));
  swapped.replace(138, 50, image.substr(88, 50));
  ASSERT_NE(swapped, image);
  EXPECT_EQ(databaseError(swapped), VELDBError::kHashMismatch);
}

TEST_F(FileDBHeaderV4Test, SlotsLongerThanAReadBlockHashInOrder) {
  const std::string image = handBuiltFile((1u << 20) + 3, 3, password);
  EXPECT_EQ(databaseError(image), 0u);
  const std::string many = handBuiltFile(333, 9000, password);
  EXPECT_EQ(databaseError(many), 0u);
  std::string bad = many;
  bad[88 + 333 * 4500] ^= 0x01;
  EXPECT_EQ(databaseError(bad), VELDBError::kHashMismatch);
}

