// Plan: what each index holds after insert, erase and clear, positions kept whole; the order
// and numbers of the unique-key check; a label another record took over survives the erase of
// the earlier record.
#include "filedbkeypairmasterindex.h"

#include <gtest/gtest.h>

#include "veltestpki.h"
#include "veltesttablefiles.h"

namespace {

using Fields = FileDBKeyPairRecordFields;

Fields fieldsOf(const std::string& label, unsigned id) {
  std::unique_ptr<VELASNKeyPairRecord> record = VELTestPKI::makeKeyPairRecord(label, "CN=" + label);
  record->setRecordID(id);
  return Fields(nullptr, *record, 1);
}

TEST(KeyPairMasterIndexTest, InsertEraseAndClearReachEveryIndex) {
  FileDBKeyPairMasterIndex index;
  const Fields a = fieldsOf("a", 1);
  const Fields b = fieldsOf("b", 2);
  const std::uint64_t far = (1ull << 32) + 80;
  index.insert(far, a);
  index.insert(5080, b);
  ASSERT_NE(index.find(1), nullptr);
  EXPECT_EQ(index.find(1)->position, far);
  EXPECT_EQ(index.find(1)->keys, (std::vector<VELBuffer>{a.label, a.subjectPublicKeyInfoHash}));
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(a.label)->position, far);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::subjectPublicKeyInfoHash)->find(b.subjectPublicKeyInfoHash)->recordID, 2u);

  index.erase(1, *index.find(1));  // the map's own entry, as the table passes it
  EXPECT_EQ(index.find(1), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(a.label), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::subjectPublicKeyInfoHash)->find(a.subjectPublicKeyInfoHash), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(b.label)->recordID, 2u);
  EXPECT_EQ(index.records().size(), 1u);

  index.erase();
  EXPECT_TRUE(index.records().empty());
  EXPECT_EQ(index.uniqueIndexOf(&Fields::subjectPublicKeyInfoHash)->find(b.subjectPublicKeyInfoHash), nullptr);
  index.insert(80, a);  // still usable
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(a.label)->position, 80u);
}

TEST(KeyPairMasterIndexTest, IntegrityCheckReportsTheFirstCollisionInOrder) {
  FileDBKeyPairMasterIndex index;
  const Fields stored = fieldsOf("stored", 1);
  index.insert(80, stored);
  VELTestTableFiles::expectCollisionOrder<FileDBKeyPairMasterIndex, Fields>(
      index, fieldsOf("fresh", 2),
      {[&](Fields& f) { f.recordID = stored.recordID; }, [&](Fields& f) { f.label = stored.label; },
       [&](Fields& f) { f.subjectPublicKeyInfoHash = stored.subjectPublicKeyInfoHash; }},
      {VELDBError::kDuplicateRecordID, VELDBError::kDuplicateLabel, VELDBError::kDuplicatePublicKey});
}

TEST(KeyPairMasterIndexTest, EraseLeavesAKeyThatALaterRecordTookOver) {
  // Files written elsewhere may hold two records with one label or key; the
  // later one owns it, and erasing the earlier one must not drop it.
  FileDBKeyPairMasterIndex index;
  const Fields first = fieldsOf("same", 1);
  Fields second = fieldsOf("same", 2);
  second.subjectPublicKeyInfoHash = first.subjectPublicKeyInfoHash;
  index.insert(80, first);
  index.insert(5080, second);
  index.erase(1, *index.find(1));
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(second.label)->recordID, 2u);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::subjectPublicKeyInfoHash)->find(second.subjectPublicKeyInfoHash)->recordID, 2u);
  index.erase(2, *index.find(2));
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(second.label), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::subjectPublicKeyInfoHash)->find(second.subjectPublicKeyInfoHash), nullptr);
}

}  // namespace
