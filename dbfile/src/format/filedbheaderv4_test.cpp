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
#include "filedbheaderv3.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltesttablefiles.h"
#include "veltestutil.h"

// Plan: HMAC-SHA1 known answers both ways (a file built here verifies, a
// file sealed by the class holds OpenSSL's MAC over its bytes), then
// tampering, slot order, passwords, version checks, long slots and a
// factory without MAC.

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;
using VELTestUtil::writeAll;

std::string hmacSha1(const std::string& key, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t n = 0;
  static const unsigned char kNoKey = 0;
  const unsigned char* k = key.empty() ? &kNoKey : reinterpret_cast<const unsigned char*>(key.data());
  EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, k, key.size(),
                      reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, sizeof out, &n),
            nullptr);
  return std::string(reinterpret_cast<const char*>(out), n);
}

std::string commonHeader(unsigned char major, std::uint32_t length, std::uint32_t count) {
  return VELTestTableFiles::handBuiltHeaderStart(major, 1, 0x61000000u, "X509CRL", length, count,
                                                 "another-salt-23-bytes!!");
}

std::string makeSlots(std::uint32_t length, std::uint32_t count) {
  return VELTestTableFiles::handBuiltSlots(length, count, 99);
}

// A complete version-4 file: the database MAC runs over everything after the
// database hash field, in file order.
std::string handBuiltFile(std::uint32_t length, std::uint32_t count, const std::string& pw, unsigned char major = 4) {
  const std::string common = commonHeader(major, length, count);
  const std::string headerHash = hmacSha1(pw, common);
  const std::string slots = makeSlots(length, count);
  return common + headerHash + hmacSha1(pw, common + headerHash + slots) + slots;
}

class NoMACFactory : public VELKRYAlgorithmFactory {
 public:
  std::unique_ptr<VELKRYDigest> createMAC(const VELASNCBuffer&) const override { return nullptr; }
  VELKRYAlgorithmFactory* copy() const override { return new NoMACFactory(*this); }
};

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

TEST_F(FileDBHeaderV4Test, ChangingAnyByteBreaksTheDatabaseHash) {
  const std::string image = handBuiltFile(40, 3, password);
  ASSERT_EQ(databaseError(image), 0u);
  for (std::size_t at = 0; at < image.size(); ++at) {
    std::string bad = image;
    bad[at] = static_cast<char>(bad[at] ^ 0x80);
    EXPECT_EQ(databaseError(bad), VELDBError::kHashMismatch) << "byte " << at;
  }
}

TEST_F(FileDBHeaderV4Test, SwappingTwoSlotsBreaksTheHash) {
  const std::string image = handBuiltFile(50, 3, password);
  std::string swapped = image;
  swapped.replace(88, 50, image.substr(138, 50));
  swapped.replace(138, 50, image.substr(88, 50));
  ASSERT_NE(swapped, image);
  EXPECT_EQ(databaseError(swapped), VELDBError::kHashMismatch);
}

TEST_F(FileDBHeaderV4Test, WrongPasswordFailsTheHeaderHash) {
  VELString image = handBuiltFile(40, 2, password);
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
  FileDBHeaderV4 h(&factory, file);
  EXPECT_EQ(errorOf([&] { h.validatePasswordHeaderHash(VELPasswordEncryptor("v4 passwore", 11)); }),
            VELDBError::kBadPassword);
  EXPECT_EQ(errorOf([&] { h.validatePasswordDatabaseHash(file, VELPasswordEncryptor("v4", 2)); }),
            VELDBError::kHashMismatch);
  EXPECT_NO_THROW(h.validatePasswordHeaderHash(pw));
}

TEST_F(FileDBHeaderV4Test, EachReaderAcceptsOnlyItsOwnVersion) {
  VELString v4 = handBuiltFile(40, 1, password);
  StringDBBinaryFile file4(&v4, VELDBConnectInfo::ReadOnly);
  FileDBHeaderV3 asV3(&factory, file4);
  EXPECT_NO_THROW(asV3.validateConstants());
  EXPECT_EQ(errorOf([&] { asV3.validateMajorVersion(); }), VELDBError::kBadMajorVersion);
  FileDBHeaderV4 asV4(&factory, file4);
  EXPECT_NO_THROW(asV4.validateMajorVersion());

  VELString v3 = handBuiltFile(40, 1, password, 3);
  StringDBBinaryFile file3(&v3, VELDBConnectInfo::ReadOnly);
  FileDBHeaderV4 wrong(&factory, file3);
  EXPECT_EQ(errorOf([&] { wrong.validateMajorVersion(); }), VELDBError::kBadMajorVersion);
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

TEST_F(FileDBHeaderV4Test, SaltsDifferAndHoldNoZeroByte) {
  FileDBHeaderV4 h(&factory);
  h.setPasswordHeaderHash(pw);
  const std::string first(reinterpret_cast<const char*>(h.getBuffer()) + 24, 24);
  const VELBuffer firstHash = h.getPasswordHeaderHash();
  h.setPasswordHeaderHash(pw);
  const std::string second(reinterpret_cast<const char*>(h.getBuffer()) + 24, 24);
  EXPECT_NE(second, first);
  EXPECT_NE(h.getPasswordHeaderHash(), firstHash);
  for (const std::string& field : {first, second}) {
    EXPECT_EQ(field.substr(0, 23).find('\0'), std::string::npos);
    EXPECT_EQ(field[23], '\0');
  }
}

TEST_F(FileDBHeaderV4Test, WithoutMACNothingIsHashedOrChanged) {
  NoMACFactory none;
  VELString image = handBuiltFile(40, 2, password);
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadWrite);
  FileDBHeaderV4 fromFile(&none, file);
  FileDBHeaderV4 noFactory(nullptr);
  for (FileDBHeaderV4* h : {&fromFile, &noFactory}) {
    const VELString label = h->getFileLabel();
    EXPECT_EQ(errorOf([&] { h->setPasswordHeaderHash(pw); }), VELDBError::kNoDigest);
    EXPECT_EQ(h->getFileLabel(), label);
    EXPECT_EQ(errorOf([&] { h->computePasswordHeaderHash(pw); }), VELDBError::kNoDigest);
    EXPECT_EQ(errorOf([&] { h->computePasswordDatabaseHash(file, pw); }), VELDBError::kNoDigest);
  }
}
