// What both header versions must do alike: files built here byte by byte
// (hashes from OpenSSL) verify through the class and files the class seals
// hold OpenSSL's hashes over their bytes; every byte of a file counts in its
// database hash, across read blocks too; a wrong password fails, salts are
// fresh and hold no zero byte, each reader takes only its own major version,
// headers that lie about their slots are refused, and without a digest
// nothing is hashed or changed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "filedbbinaryfile.h"
#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltestheaders.h"
#include "veltestutil.h"

namespace {

using VELTestTableFiles::be32;
using VELTestUtil::errorOf;
using VELTestUtil::readAll;
using VELTestUtil::writeAll;

template <class V>
class FileDBHeaderVersionsTest : public ::testing::Test {
 protected:
  using Header = typename V::Header;

  unsigned long databaseError(VELString image) {
    StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
    Header h(&d_factory, file);
    return errorOf([&] { h.validatePasswordDatabaseHash(file, d_pw); });
  }

  const VELTestUtil::TempDir d_dir{"filedbheaderversions"};
  VELKRYAlgorithmFactory d_factory;
  const std::string d_password = "correct horse";
  const VELPasswordEncryptor d_pw{d_password.data(), d_password.size()};
};

TYPED_TEST_SUITE(FileDBHeaderVersionsTest, VELTestHeaders::Versions);

TYPED_TEST(FileDBHeaderVersionsTest, HandBuiltFileVerifiesThroughTheClassAndItsCopies) {
  using V = TypeParam;
  const std::string image = V::file(64, 5, this->d_password);
  const std::string path = this->d_dir.file("hand");
  writeAll(path, image);
  FileDBBinaryFile file(path, VELDBConnectInfo::ReadOnly);
  typename V::Header h(&this->d_factory, file);
  EXPECT_NO_THROW(h.validateConstants());
  EXPECT_NO_THROW(h.validateMajorVersion());
  EXPECT_NO_THROW(h.validatePasswordHeaderHash(this->d_pw));
  EXPECT_NO_THROW(h.validatePasswordDatabaseHash(file, this->d_pw));
  EXPECT_EQ(h.getMinorVersionNumber(), static_cast<unsigned char>(image[3]));
  EXPECT_EQ(h.getPasswordExpirationTime(), VELTestTableFiles::bigEndian32(image, 4));
  EXPECT_EQ(h.getFileType(), VELBuffer(image.substr(8, 8)));
  EXPECT_EQ(h.getFixedRecordLength(), 64u);
  EXPECT_EQ(h.getRecordsAllocated(), 5u);
  EXPECT_EQ(h.getFileLabel(), image.substr(24, 23));
  const std::size_t n = V::kHashSize;
  EXPECT_EQ(h.getPasswordHeaderHash(), VELBuffer(image.substr(48, n)));
  EXPECT_EQ(h.getPasswordDatabaseHash(), VELBuffer(image.substr(48 + n, n)));
  EXPECT_EQ(h.computePasswordDatabaseHash(file, this->d_pw), VELBuffer(image.substr(48 + n, n)));

  typename V::Header copy(h, &this->d_factory);
  typename V::Header assigned(&this->d_factory);
  assigned = h;
  for (const typename V::Header* c : {&copy, &assigned}) {
    EXPECT_EQ(0, std::memcmp(c->getBuffer(), h.getBuffer(), 48));
    EXPECT_EQ(c->getPasswordHeaderHash(), h.getPasswordHeaderHash());
    EXPECT_EQ(c->getPasswordDatabaseHash(), h.getPasswordDatabaseHash());
    EXPECT_NO_THROW(c->validatePasswordDatabaseHash(file, this->d_pw));
  }
}

TYPED_TEST(FileDBHeaderVersionsTest, SealedFilesHoldTheHashesOfTheirBytes) {
  using V = TypeParam;
  const std::size_t size = V::kHeaderSize, n = V::kHashSize;
  const std::string slots = VELTestTableFiles::handBuiltSlots(100, 4, 7);
  const std::string path = this->d_dir.file("sealed");
  {
    FileDBBinaryFile file;
    file.openNew(path);
    file.write(static_cast<const void*>(std::string(size, '\0').data()), size);
    file.write(static_cast<const void*>(slots.data()), slots.size());
    typename V::Header h(&this->d_factory);
    h.setMinorVersionNumber(2);
    h.setFileType(FileDBHeader::kKeyFileType);
    h.setFixedRecordLength(100);
    h.setRecordsAllocated(4);
    h.setPasswordHeaderHash(this->d_pw);
    h.setPasswordDatabaseHash(file, this->d_pw);
    h.persist(file);
  }
  const std::string image = readAll(path);
  ASSERT_EQ(image.size(), size + slots.size());
  EXPECT_EQ(image.substr(0, 4), std::string("7H") + static_cast<char>(V::kMajor) + '\x02');
  EXPECT_EQ(image.substr(size), slots);
  EXPECT_EQ(image.substr(48, n), V::headerHash(image, this->d_password));
  EXPECT_EQ(image.substr(48 + n, n), V::databaseHash(image, this->d_password));
  // The salt: 23 non-zero bytes and the terminating zero.
  EXPECT_EQ(image.substr(24, 23).find('\0'), std::string::npos);
  EXPECT_EQ(image[47], '\0');

  // Reading and persisting again gives back the same header bytes.
  FileDBBinaryFile file(path, VELDBConnectInfo::ReadOnly);
  typename V::Header h(&this->d_factory, file);
  VELString copy;
  StringDBBinaryFile out(&copy, VELDBConnectInfo::ReadWrite);
  h.persist(out);
  EXPECT_EQ(copy, image.substr(0, size));

  // Without slots the database hash covers the header alone.
  VELString empty;
  StringDBBinaryFile memory(&empty, VELDBConnectInfo::ReadWrite);
  typename V::Header e(&this->d_factory);
  e.setFixedRecordLength(FileDBHeader::kInitialFixedRecordLength);
  e.setPasswordHeaderHash(this->d_pw);
  e.setPasswordDatabaseHash(memory, this->d_pw);
  e.persist(memory);
  ASSERT_EQ(empty.size(), size);
  EXPECT_EQ(empty.substr(48 + n, n), V::databaseHash(empty, this->d_password));
  EXPECT_EQ(this->databaseError(empty), 0u);
}

TYPED_TEST(FileDBHeaderVersionsTest, SlotsAcrossReadBlocksHashAsOneByOne) {
  using V = TypeParam;
  struct Shape {
    std::uint32_t length, count;
  };
  // Many slots per block with a short last block; slots longer than a
  // block; one tiny slot.
  const Shape shapes[] = {{1000, 2500}, {(1u << 20) + 517, 3}, {7, 1}};
  for (const Shape& s : shapes) {
    const std::string image = V::file(s.length, s.count, this->d_password);
    EXPECT_EQ(this->databaseError(image), 0u) << s.length;
    for (std::size_t at : {image.size() - 1, V::kHeaderSize + std::size_t{s.length} * (s.count / 2)}) {
      std::string bad = image;
      bad[at] ^= 0x40;
      EXPECT_EQ(this->databaseError(bad), VELDBError::kHashMismatch) << s.length << " byte " << at;
    }
  }
  // Two slots swapped: only a hash over the slots in order sees it.
  const std::string image = V::file(50, 3, this->d_password);
  std::string swapped = image;
  swapped.replace(V::kHeaderSize, 50, image.substr(V::kHeaderSize + 50, 50));
  swapped.replace(V::kHeaderSize + 50, 50, image.substr(V::kHeaderSize, 50));
  ASSERT_NE(swapped, image);
  EXPECT_EQ(this->databaseError(swapped), V::kSlotOrderCounts ? VELDBError::kHashMismatch : 0u);

  // A large real file sealed again in place.
  const std::string path = this->d_dir.file("big");
  writeAll(path, V::file(1000, 2500, this->d_password));
  FileDBBinaryFile file(path, VELDBConnectInfo::ReadWrite);
  typename V::Header h(&this->d_factory, file);
  EXPECT_NO_THROW(h.validatePasswordDatabaseHash(file, this->d_pw));
  h.setPasswordHeaderHash(this->d_pw);
  h.setPasswordDatabaseHash(file, this->d_pw);
  h.persist(file);
  const std::string resealed = readAll(path);
  EXPECT_EQ(resealed.substr(48 + V::kHashSize, V::kHashSize), V::databaseHash(resealed, this->d_password));
}

TYPED_TEST(FileDBHeaderVersionsTest, HeadersThatLieAboutTheirSlotsAreRefused) {
  using V = TypeParam;
  struct Lie {
    std::uint32_t length, count;
  };
  // Huge counts, record length 0, a product that wraps to 0 in 32 bits, and
  // a file one byte short of its last slot.
  const Lie lies[] = {{5000, 0xFFFFFFFFu}, {0, 0xFFFFFFFFu}, {0x10000, 0x10000}, {40, 4}};
  const std::string good = V::file(40, 3, this->d_password);
  for (const Lie& lie : lies) {
    std::string image = good.substr(0, V::kHeaderSize) + std::string(lie.count == 4 ? 159 : 0, 'z');
    image.replace(16, 8, be32(lie.length) + be32(lie.count));
    VELString copy = image;
    StringDBBinaryFile file(&copy, VELDBConnectInfo::ReadWrite);
    typename V::Header h(&this->d_factory, file);
    EXPECT_EQ(errorOf([&] { h.validatePasswordDatabaseHash(file, this->d_pw); }), VELDBError::kHashMismatch)
        << lie.count;
    EXPECT_EQ(errorOf([&] { h.setPasswordDatabaseHash(file, this->d_pw); }), VELDBError::kHashMismatch) << lie.count;
  }
  // A file shorter than its header cannot be read at all.
  const std::string image = good.substr(0, V::kHeaderSize - 1);
  VELString copy = image;
  StringDBBinaryFile memory(&copy, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(errorOf([&] { typename V::Header h(&this->d_factory, memory); }), VELDBError::kRead);
  const std::string path = this->d_dir.file("short");
  writeAll(path, image);
  FileDBBinaryFile file(path, VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(errorOf([&] { typename V::Header h(&this->d_factory, file); }), VELDBError::kRead);
}

TYPED_TEST(FileDBHeaderVersionsTest, ChangingAnyByteBreaksTheDatabaseHash) {
  // Slot 1 is a deleted record, slot 2 never used; all slots carry padding.
  const std::string image = TypeParam::file(40, 3, this->d_password);
  ASSERT_EQ(this->databaseError(image), 0u);
  for (std::size_t at = 0; at < image.size(); ++at) {
    for (char flip : {'\x01', '\x80'}) {
      std::string bad = image;
      bad[at] = static_cast<char>(bad[at] ^ flip);
      EXPECT_EQ(this->databaseError(bad), VELDBError::kHashMismatch) << "byte " << at;
    }
  }
}

TYPED_TEST(FileDBHeaderVersionsTest, WrongPasswordFailsTheHeaderHash) {
  VELString image = TypeParam::file(40, 3, this->d_password);
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
  typename TypeParam::Header h(&this->d_factory, file);
  EXPECT_EQ(errorOf([&] { h.validatePasswordHeaderHash(VELPasswordEncryptor("correct horsf", 13)); }),
            VELDBError::kBadPassword);
  if (TypeParam::kTrailingZeroCounts) {
    EXPECT_EQ(errorOf([&] { h.validatePasswordHeaderHash(VELPasswordEncryptor("correct horse\0", 14)); }),
              VELDBError::kBadPassword);
  }
  EXPECT_EQ(errorOf([&] { h.validatePasswordDatabaseHash(file, VELPasswordEncryptor("x", 1)); }),
            VELDBError::kHashMismatch);
  EXPECT_NO_THROW(h.validatePasswordHeaderHash(this->d_pw));
}

TYPED_TEST(FileDBHeaderVersionsTest, EverySaltIsNewAndHasNoZeroByte) {
  typename TypeParam::Header h(&this->d_factory);
  h.setPasswordHeaderHash(this->d_pw);
  const VELString firstLabel = h.getFileLabel();
  const VELBuffer firstHash = h.getPasswordHeaderHash();
  // About one salt in eleven draws a zero byte, so 200 draws meet many.
  for (int i = 0; i < 200; ++i) {
    h.setPasswordHeaderHash(this->d_pw);
    const std::string field(reinterpret_cast<const char*>(h.getBuffer()) + 24, 24);
    ASSERT_EQ(field.substr(0, 23).find('\0'), std::string::npos);
    ASSERT_EQ(field[23], '\0');
    ASSERT_NO_THROW(h.validatePasswordHeaderHash(this->d_pw));
  }
  EXPECT_NE(h.getFileLabel(), firstLabel);
  EXPECT_NE(h.getPasswordHeaderHash(), firstHash);
}

TYPED_TEST(FileDBHeaderVersionsTest, EachReaderTakesOnlyItsOwnMajorVersion) {
  VELString own = TypeParam::file(40, 1, this->d_password);
  StringDBBinaryFile ownFile(&own, VELDBConnectInfo::ReadOnly);
  typename TypeParam::Header reader(&this->d_factory, ownFile);
  EXPECT_NO_THROW(reader.validateConstants());
  EXPECT_NO_THROW(reader.validateMajorVersion());

  VELString other = TypeParam::file(40, 1, this->d_password, TypeParam::kOther);
  StringDBBinaryFile otherFile(&other, VELDBConnectInfo::ReadOnly);
  typename TypeParam::Header wrong(&this->d_factory, otherFile);
  EXPECT_NO_THROW(wrong.validateConstants());
  EXPECT_EQ(errorOf([&] { wrong.validateMajorVersion(); }), VELDBError::kBadMajorVersion);
}

TYPED_TEST(FileDBHeaderVersionsTest, WithoutDigestNothingIsHashedOrChanged) {
  typename TypeParam::NoDigest none;
  VELString image = TypeParam::file(40, 2, this->d_password);
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadWrite);
  typename TypeParam::Header fromFile(&none, file);
  typename TypeParam::Header noFactory(nullptr);
  for (typename TypeParam::Header* h : {&fromFile, &noFactory}) {
    const VELString label = h->getFileLabel();
    EXPECT_EQ(errorOf([&] { h->setPasswordHeaderHash(this->d_pw); }), VELDBError::kNoDigest);
    EXPECT_EQ(h->getFileLabel(), label);
    EXPECT_EQ(errorOf([&] { h->computePasswordHeaderHash(this->d_pw); }), VELDBError::kNoDigest);
    EXPECT_EQ(errorOf([&] { h->computePasswordDatabaseHash(file, this->d_pw); }), VELDBError::kNoDigest);
    EXPECT_EQ(errorOf([&] { h->validatePasswordDatabaseHash(file, this->d_pw); }), VELDBError::kNoDigest);
  }
  EXPECT_TRUE(image == TypeParam::file(40, 2, this->d_password));
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

}  // namespace
