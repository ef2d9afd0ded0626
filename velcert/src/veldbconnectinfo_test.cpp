// Plan: a duplicate is a new object of the same class with every field copied and a
// factory of its own; class tests answer for the class and its base only.
#include "veldbconnectinfo.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const VELPasswordEncryptor kPassword("pw", 2);

TEST(VELDBConnectInfoTest, FileDuplicateKeepsClassAndFields) {
  const VELDBConnectInfo::FILE info("/db/base", kPassword, VELDBConnectInfo::CreateV4,
                                    VELDBConnectInfo::ReadWrite, ".k", ".p", ".c");
  const VELDBConnectInfo::OBJECT& base = info;
  std::unique_ptr<VELDBConnectInfo::OBJECT> dup(base.duplicate());
  ASSERT_NE(nullptr, dup);
  EXPECT_NE(&info, dup.get());
  EXPECT_EQ("VELDBConnectInfo::FILE", dup->getInstanceName());
  ASSERT_TRUE(dup->isKindOf(VELDBConnectInfo::FILE::getClassName()));
  const auto& file = static_cast<const VELDBConnectInfo::FILE&>(*dup);
  EXPECT_EQ("/db/base", file.getName().str());
  EXPECT_EQ(".k", file.getKeyFileSuffix().str());
  EXPECT_EQ(".p", file.getKeyPairFileSuffix().str());
  EXPECT_EQ(".c", file.getCRLFileSuffix().str());
  EXPECT_EQ(VELDBConnectInfo::CreateV4, file.getConnectType());
  EXPECT_EQ(VELDBConnectInfo::ReadWrite, file.getAccessMode());
  EXPECT_TRUE(file.getLogicalDBPassword() == kPassword);
  ASSERT_NE(nullptr, file.getAlgorithmFactory());
  EXPECT_NE(info.getAlgorithmFactory(), file.getAlgorithmFactory());  // each owns its own
}

TEST(VELDBConnectInfoTest, StringDuplicateSharesTheCallersString) {
  VELString image = "bytes";
  const VELDBConnectInfo::STRING info("mem", &image, kPassword, VELDBConnectInfo::Open,
                                      VELDBConnectInfo::ReadOnly);
  std::unique_ptr<VELDBConnectInfo::OBJECT> dup(info.duplicate());
  ASSERT_TRUE(dup->isKindOf(VELDBConnectInfo::STRING::getClassName()));
  EXPECT_EQ("VELDBConnectInfo::STRING", dup->getInstanceName());
  EXPECT_EQ(&image, static_cast<const VELDBConnectInfo::STRING&>(*dup).getString());
  EXPECT_EQ(VELDBConnectInfo::ReadOnly, dup->getAccessMode());
}

TEST(VELDBConnectInfoTest, IsKindOfAnswersClassAndBaseOnly) {
  VELString image;
  const VELDBConnectInfo::OBJECT object("o", kPassword, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  const VELDBConnectInfo::FILE file("f", kPassword, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  const VELDBConnectInfo::STRING str("s", &image, kPassword, VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  const VELString kObject = VELDBConnectInfo::OBJECT::getClassName();
  const VELString kFile = VELDBConnectInfo::FILE::getClassName();
  const VELString kString = VELDBConnectInfo::STRING::getClassName();

  // Rows: object, file, string; columns: is kind of OBJECT, FILE, STRING.
  const VELDBConnectInfo::OBJECT* infos[] = {&object, &file, &str};
  const bool kindOf[3][3] = {{true, false, false}, {true, true, false}, {true, false, true}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(kindOf[i][0], infos[i]->isKindOf(kObject)) << i;
    EXPECT_EQ(kindOf[i][1], infos[i]->isKindOf(kFile)) << i;
    EXPECT_EQ(kindOf[i][2], infos[i]->isKindOf(kString)) << i;
  }
  EXPECT_FALSE(file.isKindOf("FILE"));
}

}  // namespace
