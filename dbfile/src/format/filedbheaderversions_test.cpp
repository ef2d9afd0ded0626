// What both header versions must do alike: every byte of a file counts in
// its database hash, a wrong password fails, salts are fresh and hold no
// zero byte, each reader takes only its own major version, and without a
// digest nothing is hashed or changed.
#include <gtest/gtest.h>

#include <string>

#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltestheaders.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;

template <class V>
class FileDBHeaderVersionsTest : public ::testing::Test {
 protected:
  using Header = typename V::Header;

  unsigned long databaseError(VELString image) {
    StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
    Header h(&d_factory, file);
    return errorOf([&] { h.validatePasswordDatabaseHash(file, d_pw); });
  }

  VELKRYAlgorithmFactory d_factory;
  const std::string d_password = "correct horse";
  const VELPasswordEncryptor d_pw{d_password.data(), d_password.size()};
};

TYPED_TEST_SUITE(FileDBHeaderVersionsTest, VELTestHeaders::Versions);

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

}  // namespace
