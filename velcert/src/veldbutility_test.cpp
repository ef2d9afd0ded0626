#include "veldbutility.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "velexception.h"
#include "veltestpki.h"

// Plan: SHA-1 over exact DER with and without a factory, and a factory
// without SHA-1; record-ID conversions at the 32-bit edges; every downcast
// accepts its type and refuses the others.

namespace {

class NoDigestFactory : public VELKRYAlgorithmFactory {
 public:
  std::unique_ptr<VELKRYDigest> createSHA1Digest() const override { return nullptr; }
};

TEST(VELDBUtility, DigestsTheExactEncoding) {
  const VELASNInteger i(0x1234);
  const VELBuffer der = i.write();
  VELBuffer expected;
  expected.resize(20);
  unsigned int n = 0;
  ASSERT_EQ(EVP_Digest(der.data(), der.size(), expected.data(), &n, EVP_sha1(), nullptr), 1);
  VELKRYAlgorithmFactory factory;
  EXPECT_EQ(VELDBUtility::getSHA1Digest(i, &factory), expected);
  EXPECT_EQ(VELDBUtility::getSHA1Digest(i, nullptr), expected);
  NoDigestFactory none;
  try {
    VELDBUtility::getSHA1Digest(i, &none);
    FAIL();
  } catch (const VELDBException& e) {
    EXPECT_EQ(e.getError(), VELDBError::kNoDigest);
  }
  EXPECT_THROW(VELDBUtility::getSHA1Digest(VELASNx500Name(), nullptr), VELDBException);  // empty part
}

TEST(VELDBUtility, ConvertsRecordIDs) {
  for (unsigned id : {0u, 1u, 127u, 128u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(VELDBUtility::asnToRecordID(VELDBUtility::recordIDToASN(id)), id);
  }
  VELASNInteger i;
  VELDBUtility::recordIDToASN(0x80000000u, i);
  EXPECT_EQ(i.write().size(), 7u);  // 02 05 00 80 00 00 00: positive
  for (long long bad : {-1LL, 0x100000000LL}) {
    try {
      VELDBUtility::asnToRecordID(VELASNInteger(bad));
      FAIL() << bad;
    } catch (const VELDBException& e) {
      EXPECT_EQ(e.getError(), VELDBError::kBadArgument);
    }
  }
  EXPECT_EQ(VELDBUtility::asnToLabelBuffer(VELASNLabelString("abc")), VELBuffer("abc", 3));
}

TEST(VELDBUtility, DowncastsCheckTheType) {
  const VELASNInteger integer(1);
  const VELASNLabelString label("l");
  const VELASNx500Name name;
  const VELASNTBSCertList tbsCertList;
  EXPECT_EQ(&VELDBUtility::downcastInteger(integer), &integer);
  EXPECT_EQ(&VELDBUtility::downcastLabelString(label), &label);
  EXPECT_EQ(&VELDBUtility::downcastX500name(name), &name);
  EXPECT_EQ(&VELDBUtility::downcastTBSCertList(tbsCertList), &tbsCertList);
  try {
    VELDBUtility::downcastLabelString(integer);
    FAIL();
  } catch (const VELDBException& e) {
    EXPECT_EQ(e.getError(), VELDBError::kBadArgument);
    EXPECT_EQ(e.getMessage(), "asnObj is invalid - wrong type");
  }
  // (Every downcast is the one checked template's.)
  EXPECT_TRUE(name.isKindOf("VELASNx500Name"));
  EXPECT_TRUE(name.isKindOf("VELASNObject"));
  EXPECT_FALSE(name.isKindOf("VELASNInteger"));
  EXPECT_EQ(tbsCertList.getInstanceName(), "VELASNTBSCertList");
  std::unique_ptr<VELASNObject> copy(integer.clone());
  EXPECT_EQ(VELDBUtility::downcastInteger(*copy).getValue(), 1);
}

}  // namespace
