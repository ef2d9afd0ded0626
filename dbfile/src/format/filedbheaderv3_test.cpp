#include "filedbheaderv3.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "filedbbinaryfile.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltestheaders.h"
#include "veltesttablefiles.h"
#include "veltestutil.h"

// Plan: files built here byte by byte (hashes from OpenSSL) must verify
// through the class, and files sealed by the class must hold the hashes
// OpenSSL gives over their bytes; then slot order, block boundaries of the
// slot stream and headers that lie about the slots.  What both versions do
// alike is in filedbheaderversions_test.cpp.

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;
using VELTestUtil::writeAll;

using VELTestHeaders::md5;
using VELTestTableFiles::be32;

std::string makeSlots(std::uint32_t length, std::uint32_t count) {
  return VELTestTableFiles::handBuiltSlots(length, count, 7);
}

std::string referenceDatabaseHash(const std::string& image, const std::string& pw) {
  return VELTestHeaders::v3DatabaseHash(image, pw);
}

std::string handBuiltFile(std::uint32_t length, std::uint32_t count, const std::string& pw) {
  return VELTestHeaders::v3File(length, count, pw);
}

VELBuffer buf(const std::string& s) { return VELBuffer(s); }

class FileDBHeaderV3Test : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return d_dir.file(name); }

  // Validates the image through the class as the storage does on open.
  void expectValid(VELString image, const std::string& password) {
    StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
    FileDBHeaderV3 h(&factory, file);
    const VELPasswordEncryptor pw(password.data(), password.size());
    EXPECT_NO_THROW(h.validateConstants());
    EXPECT_NO_THROW(h.validateMajorVersion());
    EXPECT_NO_THROW(h.validatePasswordHeaderHash(pw));
    EXPECT_NO_THROW(h.validatePasswordDatabaseHash(file, pw));
  }

  unsigned long databaseError(VELString image, const std::string& password) {
    StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
    FileDBHeaderV3 h(&factory, file);
    const VELPasswordEncryptor pw(password.data(), password.size());
    return errorOf([&] { h.validatePasswordDatabaseHash(file, pw); });
  }

  const VELTestUtil::TempDir d_dir{"filedbheaderv3"};
  VELKRYAlgorithmFactory factory;
  const std::string password = "correct horse";
  const VELPasswordEncryptor pw{password.data(), password.size()};
};

}  // namespace

TEST_F(FileDBHeaderV3Test, HandBuiltFileVerifiesThroughTheClass) {
  const std::string image = handBuiltFile(64, 5, password);
  writeAll(path("hand.kdb"), image);
  FileDBBinaryFile file(path("hand.kdb"), VELDBConnectInfo::ReadOnly);
  FileDBHeaderV3 h(&factory, file);
  EXPECT_NO_THROW(h.validateConstants());
  EXPECT_NO_THROW(h.validateMajorVersion());
  EXPECT_NO_THROW(h.validatePasswordHeaderHash(pw));
  EXPECT_NO_THROW(h.validatePasswordDatabaseHash(file, pw));
  EXPECT_EQ(h.getMinorVersionNumber(), 2);
  EXPECT_EQ(h.getPasswordExpirationTime(), 0x5F000000u);
  EXPECT_EQ(h.getFixedRecordLength(), 64u);
  EXPECT_EQ(h.getRecordsAllocated(), 5u);
  EXPECT_EQ(h.getFileLabel(), "salt-of-23-bytes-xxxxxx");
  EXPECT_EQ(h.getPasswordHeaderHash(), buf(image.substr(48, 16)));
  EXPECT_EQ(h.getPasswordDatabaseHash(), buf(image.substr(64, 16)));
  EXPECT_EQ(h.computePasswordDatabaseHash(file, pw), buf(image.substr(64, 16)));
}

TEST_F(FileDBHeaderV3Test, SealedFileHoldsTheHashesOfItsBytes) {
  const std::string slots = makeSlots(100, 4);
  {
    FileDBBinaryFile file;
    file.openNew(path("sealed.kdb"));
    file.write(static_cast<const void*>(std::string(80, '\0').data()), 80);
    file.write(static_cast<const void*>(slots.data()), slots.size());
    FileDBHeaderV3 h(&factory);
    h.setMinorVersionNumber(2);
    h.setFileType(FileDBHeader::kKeyFileType);
    h.setFixedRecordLength(100);
    h.setRecordsAllocated(4);
    h.setPasswordHeaderHash(pw);
    h.setPasswordDatabaseHash(file, pw);
    h.persist(file);
  }
  const std::string image = readAll(path("sealed.kdb"));
  ASSERT_EQ(image.size(), 80u + slots.size());
  EXPECT_EQ(image.substr(0, 4), std::string("7H\x03\x02", 4));
  EXPECT_EQ(image.substr(80), slots);
  EXPECT_EQ(image.substr(48, 16), md5(image.substr(0, 48) + password));
  EXPECT_EQ(image.substr(64, 16), referenceDatabaseHash(image, password));
  // The salt: 23 non-zero bytes and the terminating zero.
  EXPECT_EQ(image.substr(24, 23).find('\0'), std::string::npos);
  EXPECT_EQ(image[47], '\0');

  // Reading and persisting again gives back the same 80 bytes.
  FileDBBinaryFile file(path("sealed.kdb"), VELDBConnectInfo::ReadOnly);
  FileDBHeaderV3 h(&factory, file);
  VELString copy;
  StringDBBinaryFile out(&copy, VELDBConnectInfo::ReadWrite);
  h.persist(out);
  EXPECT_EQ(copy, image.substr(0, 80));
}

TEST_F(FileDBHeaderV3Test, EmptyFileHashCoversHeaderAndPassword) {
  VELString image;
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadWrite);
  FileDBHeaderV3 h(&factory);
  h.setFixedRecordLength(FileDBHeader::kInitialFixedRecordLength);
  h.setPasswordHeaderHash(pw);
  h.setPasswordDatabaseHash(file, pw);
  h.persist(file);
  ASSERT_EQ(image.size(), 80u);
  EXPECT_EQ(image.substr(64, 16), md5(image.substr(0, 64) + password));
  expectValid(image, password);
}

TEST_F(FileDBHeaderV3Test, SwappingTwoSlotsKeepsTheHash) {
  const std::string image = handBuiltFile(50, 3, password);
  std::string swapped = image;
  swapped.replace(80, 50, image.substr(130, 50));
  swapped.replace(130, 50, image.substr(80, 50));
  ASSERT_NE(swapped, image);
  expectValid(swapped, password);
}

TEST_F(FileDBHeaderV3Test, SlotsAcrossReadBlocksHashAsOneByOne) {
  struct Shape {
    std::uint32_t length, count;
  };
  // Many slots per block with a short last block; slots longer than a
  // block; one tiny slot.
  const Shape shapes[] = {{1000, 2500}, {(1u << 20) + 517, 3}, {7, 1}};
  for (const Shape& s : shapes) {
    const std::string image = handBuiltFile(s.length, s.count, password);
    expectValid(image, password);
    std::string bad = image;
    bad[bad.size() - 1] ^= 0x40;
    EXPECT_EQ(databaseError(bad, password), VELDBError::kHashMismatch) << s.length;
  }
  // The same through a real file, sealing the image again in place.
  const std::string image = handBuiltFile(1000, 2500, password);
  writeAll(path("big.kdb"), image);
  FileDBBinaryFile file(path("big.kdb"), VELDBConnectInfo::ReadWrite);
  FileDBHeaderV3 h(&factory, file);
  EXPECT_NO_THROW(h.validatePasswordDatabaseHash(file, pw));
  h.setPasswordHeaderHash(pw);
  h.setPasswordDatabaseHash(file, pw);
  h.persist(file);
  const std::string resealed = readAll(path("big.kdb"));
  EXPECT_EQ(resealed.substr(64, 16), referenceDatabaseHash(resealed, password));
}

TEST_F(FileDBHeaderV3Test, HeaderCountingMoreSlotsThanTheFileHoldsIsRefused) {
  struct Lie {
    std::uint32_t length, count;
  };
  // Huge counts, record length 0, a product that wraps to 0 in 32 bits, and
  // a file one byte short of its last slot.
  const Lie lies[] = {{5000, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}, {0x10000, 0x10000}, {40, 4}};
  const std::string good = handBuiltFile(40, 3, password);
  for (const Lie& lie : lies) {
    std::string image = good.substr(0, 80) + std::string(lie.count == 4 ? 159 : 0, 'z');
    image.replace(16, 8, be32(lie.length) + be32(lie.count));
    VELString copy = image;
    StringDBBinaryFile file(&copy, VELDBConnectInfo::ReadWrite);
    FileDBHeaderV3 h(&factory, file);
    EXPECT_EQ(errorOf([&] { h.validatePasswordDatabaseHash(file, pw); }), VELDBError::kHashMismatch) << lie.count;
    EXPECT_EQ(errorOf([&] { h.setPasswordDatabaseHash(file, pw); }), VELDBError::kHashMismatch) << lie.count;
  }
}

TEST_F(FileDBHeaderV3Test, FileShorterThanTheHeaderFailsToRead) {
  const std::string image = handBuiltFile(40, 0, password).substr(0, 79);
  VELString copy = image;
  StringDBBinaryFile memory(&copy, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(errorOf([&] { FileDBHeaderV3 h(&factory, memory); }), VELDBError::kRead);
  writeAll(path("short.kdb"), image);
  FileDBBinaryFile file(path("short.kdb"), VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(errorOf([&] { FileDBHeaderV3 h(&factory, file); }), VELDBError::kRead);
}

TEST_F(FileDBHeaderV3Test, CopiesCarryCommonBytesAndBothHashes) {
  VELString image = handBuiltFile(40, 2, password);
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
  FileDBHeaderV3 original(&factory, file);
  FileDBHeaderV3 copy(original, &factory);
  FileDBHeaderV3 assigned(&factory);
  assigned = original;
  for (const FileDBHeaderV3* h : {&copy, &assigned}) {
    EXPECT_EQ(0, std::memcmp(h->getBuffer(), original.getBuffer(), 48));
    EXPECT_EQ(h->getPasswordHeaderHash(), original.getPasswordHeaderHash());
    EXPECT_EQ(h->getPasswordDatabaseHash(), original.getPasswordDatabaseHash());
    EXPECT_NO_THROW(h->validatePasswordDatabaseHash(file, pw));
  }
}

TEST(FileDBHeaderV3XorTest, XorsSixteenBytes) {
  unsigned char a[16], b[16], want[16];
  for (int k = 0; k < 16; ++k) {
    a[k] = static_cast<unsigned char>(k * 17);
    b[k] = static_cast<unsigned char>(0xF0 - k);
    want[k] = static_cast<unsigned char>(a[k] ^ b[k]);
  }
  EXPECT_EQ(FileDBHeaderV3::xorMD5Hashes(VELASNCBuffer(a, 16), VELASNCBuffer(b, 16)), VELBuffer(want, 16));
  EXPECT_EQ(errorOf([&] { FileDBHeaderV3::xorMD5Hashes(VELASNCBuffer(a, 15), VELASNCBuffer(b, 16)); }),
            VELDBError::kBadArgument);
}
