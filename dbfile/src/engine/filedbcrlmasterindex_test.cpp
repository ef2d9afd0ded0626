// Plan: CRLs of one issuer share the issuer multi index in insertion order while their unique
// keys stay apart; erase and clear reach every index; the order and numbers of the unique-key
// check, in which the issuer takes no part.
#include "filedbcrlmasterindex.h"

#include <gtest/gtest.h>

#include <vector>

#include "veltestdatabase.h"
#include "veltesttablefiles.h"

namespace {

using Fields = FileDBCRLRecordFields;
using VELTestTableFiles::walk;

Fields fieldsOf(const VELTestDatabase::Authority& authority, const std::string& label, unsigned id) {
  std::unique_ptr<VELASNCRLRecord> record = authority.crl(label, 1);
  record->setRecordID(id);
  return Fields(nullptr, *record, 1);
}

class CRLMasterIndexTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_authority = new VELTestDatabase::Authority("CN=Master Index CA"); }
  static void TearDownTestSuite() {
    delete s_authority;
    s_authority = nullptr;
  }
  static VELTestDatabase::Authority* s_authority;
};
VELTestDatabase::Authority* CRLMasterIndexTest::s_authority = nullptr;

TEST_F(CRLMasterIndexTest, OneIssuerManyCRLsThroughInsertEraseAndClear) {
  FileDBCRLMasterIndex index;
  const Fields a = fieldsOf(*s_authority, "a", 1);
  const Fields b = fieldsOf(*s_authority, "b", 2);
  const Fields c = fieldsOf(*s_authority, "c", 3);
  ASSERT_EQ(a.issuerNameHash, c.issuerNameHash);
  index.insert(80, a);
  index.insert(5080, b);
  index.insert(10080, c);
  EXPECT_EQ(walk(*index.multiIndexOf(&Fields::issuerNameHash), a.issuerNameHash), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(index.uniqueIndexOf(&Fields::signatureHash)->find(b.signatureHash)->position, 5080u);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::unsignedCRLHash)->find(c.unsignedCRLHash)->recordID, 3u);
  EXPECT_EQ(index.find(2)->keys.back(), b.issuerNameHash);

  index.erase(2, *index.find(2));  // the map's own entry, as the table passes it
  EXPECT_EQ(walk(*index.multiIndexOf(&Fields::issuerNameHash), a.issuerNameHash), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(b.label), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::signatureHash)->find(b.signatureHash), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::unsignedCRLHash)->find(b.unsignedCRLHash), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(c.label)->recordID, 3u);

  index.erase();
  EXPECT_TRUE(index.records().empty());
  EXPECT_TRUE(walk(*index.multiIndexOf(&Fields::issuerNameHash), a.issuerNameHash).empty());
  EXPECT_EQ(index.uniqueIndexOf(&Fields::unsignedCRLHash)->find(a.unsignedCRLHash), nullptr);
  index.insert(80, b);  // still usable
  EXPECT_EQ(walk(*index.multiIndexOf(&Fields::issuerNameHash), b.issuerNameHash), (std::vector<std::uint32_t>{2}));
}

TEST_F(CRLMasterIndexTest, IntegrityCheckReportsTheFirstCollisionInOrder) {
  FileDBCRLMasterIndex index;
  const Fields stored = fieldsOf(*s_authority, "stored", 1);
  index.insert(80, stored);
  const Fields fresh = fieldsOf(*s_authority, "fresh", 2);
  ASSERT_EQ(fresh.issuerNameHash, stored.issuerNameHash);  // a shared issuer is no collision
  VELTestTableFiles::expectCollisionOrder<FileDBCRLMasterIndex, Fields>(
      index, fresh,
      {[&](Fields& f) { f.recordID = stored.recordID; }, [&](Fields& f) { f.label = stored.label; },
       [&](Fields& f) { f.signatureHash = stored.signatureHash; },
       [&](Fields& f) { f.unsignedCRLHash = stored.unsignedCRLHash; }},
      {VELDBError::kDuplicateRecordID, VELDBError::kDuplicateLabel, VELDBError::kDuplicateSignature,
       VELDBError::kDuplicateCRLToBeSigned});
}

}  // namespace
