// Plan: fill a master index with the fields of generated records and check what each index knows
// after insert and erase, and the order and numbers of the unique-key integrity check.
#include "filedbkeymasterindex.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "velexception.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;

FileDBKeyRecordFields fieldsOf(const std::string& label, const std::string& subject, unsigned id) {
  std::unique_ptr<VELASNKeyRecord> record = VELTestPKI::makeKeyRecord(label, subject, false);
  record->setRecordID(id);
  return FileDBKeyRecordFields(nullptr, *record, 1, 0);
}

using VELTestTableFiles::walk;
using Fields = FileDBKeyRecordFields;

TEST(KeyMasterIndexTest, InsertEntersEveryIndexAndEraseRemovesOnlyTheRecord) {
  FileDBKeyMasterIndex index;
  const FileDBKeyRecordFields a = fieldsOf("a", "CN=Shared", 1);
  EXPECT_EQ(index.find(1), nullptr);
  index.uniqueKeyIntegrityCheck(a);  // empty: nothing collides

  const std::uint64_t position = (1ull << 32) + 80;  // the multi indexes keep the low 32 bits
  index.insert(position, a);
  ASSERT_NE(index.find(1), nullptr);
  EXPECT_EQ(index.find(1)->position, position);
  // The entry's copies: unique keys, then multi keys, in the table's order.
  EXPECT_EQ(index.find(1)->keys,
            (std::vector<VELBuffer>{a.label, a.signatureHash, a.unsignedCertHash, a.issuerAndSerialNumberHash,
                                    a.subjectNameHash, a.subjectPublicKeyInfoHash}));
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(a.label)->position, position);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::signatureHash)->find(a.signatureHash)->recordID, 1u);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::unsignedCertHash)->find(a.unsignedCertHash)->position, position);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::issuerAndSerialNumberHash)->find(a.issuerAndSerialNumberHash)->recordID, 1u);
  const FileDBMultiLocation* byName = index.multiIndexOf(&Fields::subjectNameHash)->find(a.subjectNameHash);
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(byName->position, 80u);
  EXPECT_EQ(index.multiIndexOf(&Fields::subjectPublicKeyInfoHash)->find(a.subjectPublicKeyInfoHash)->recordID, 1u);

  // A second record of the same subject: both found, in insertion order.
  const FileDBKeyRecordFields b = fieldsOf("b", "CN=Shared", 2);
  ASSERT_EQ(a.subjectNameHash, b.subjectNameHash);
  index.insert(5080, b);
  EXPECT_EQ(walk(*index.multiIndexOf(&Fields::subjectNameHash), a.subjectNameHash), (std::vector<std::uint32_t>{1, 2}));

  index.erase(1, *index.find(1));  // the map's own entry, as the table passes it
  EXPECT_EQ(index.find(1), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(a.label), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::signatureHash)->find(a.signatureHash), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::unsignedCertHash)->find(a.unsignedCertHash), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::issuerAndSerialNumberHash)->find(a.issuerAndSerialNumberHash), nullptr);
  EXPECT_TRUE(walk(*index.multiIndexOf(&Fields::subjectPublicKeyInfoHash), a.subjectPublicKeyInfoHash).empty());
  EXPECT_EQ(walk(*index.multiIndexOf(&Fields::subjectNameHash), a.subjectNameHash), (std::vector<std::uint32_t>{2}));

  index.erase();
  EXPECT_TRUE(index.records().empty());
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(b.label), nullptr);
  EXPECT_TRUE(walk(*index.multiIndexOf(&Fields::subjectNameHash), b.subjectNameHash).empty());
  index.insert(80, b);  // still usable
  EXPECT_EQ(index.find(2)->position, 80u);
}

TEST(KeyMasterIndexTest, IntegrityCheckReportsTheFirstCollisionInOrder) {
  FileDBKeyMasterIndex index;
  const FileDBKeyRecordFields stored = fieldsOf("stored", "CN=Stored", 1);
  index.insert(80, stored);
  const FileDBKeyRecordFields fresh = fieldsOf("fresh", "CN=Fresh", 2);
  VELTestTableFiles::expectCollisionOrder<FileDBKeyMasterIndex, Fields>(
      index, fresh,
      {[&](Fields& f) { f.recordID = stored.recordID; }, [&](Fields& f) { f.label = stored.label; },
       [&](Fields& f) { f.signatureHash = stored.signatureHash; },
       [&](Fields& f) { f.unsignedCertHash = stored.unsignedCertHash; },
       [&](Fields& f) { f.issuerAndSerialNumberHash = stored.issuerAndSerialNumberHash; }},
      {VELDBError::kDuplicateRecordID, VELDBError::kDuplicateLabel, VELDBError::kDuplicateSignature,
       VELDBError::kDuplicateToBeSigned, VELDBError::kDuplicateIssuerAndSerial});
  // The multi-index keys take no part.
  FileDBKeyRecordFields sameNameAndKey = fresh;
  sameNameAndKey.subjectNameHash = stored.subjectNameHash;
  sameNameAndKey.subjectPublicKeyInfoHash = stored.subjectPublicKeyInfoHash;
  index.uniqueKeyIntegrityCheck(sameNameAndKey);
  EXPECT_EQ(index.records().size(), 1u);
}

TEST(KeyMasterIndexTest, EraseLeavesAUniqueKeyThatALaterRecordTookOver) {
  // Files written elsewhere may hold two records with one label; the later
  // one owns it in the index, and erasing the earlier one must not drop it.
  FileDBKeyMasterIndex index;
  const FileDBKeyRecordFields first = fieldsOf("same", "CN=First", 1);
  const FileDBKeyRecordFields second = fieldsOf("same", "CN=Second", 2);
  index.insert(80, first);
  index.insert(5080, second);
  index.erase(1, *index.find(1));
  ASSERT_NE(index.uniqueIndexOf(&Fields::label)->find(second.label), nullptr);
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(second.label)->recordID, 2u);
  index.erase(2, *index.find(2));
  EXPECT_EQ(index.uniqueIndexOf(&Fields::label)->find(second.label), nullptr);
}

}  // namespace
