// Plan: what the slot fields of the key, key-pair and CRL tables do alike: the size rule, every
// field back out of a slot written big-endian with zeros behind it, an empty label, a deleted
// slot, and the DER left in the slot for an open; refusals of lengths pointing past the slot, of
// buffers too small and of records without their certificate, key pair or CRL.  Each table's
// digests are asked in its own test file.
#include <gtest/gtest.h>

#include "velasnutility.h"
#include "veltestfields.h"
#include "veltesttablefiles.h"

namespace {

using VELTestTableFiles::bigEndian32;
using VELTestTableFiles::errorOf;
using VELTestTableFiles::slotImage;

template <class TABLE>
class RecordFieldsTest : public ::testing::Test {};
TYPED_TEST_SUITE(RecordFieldsTest, VELTestFields::Tables);

TYPED_TEST(RecordFieldsTest, SlotRoundTripAndSizeRule) {
  using Fields = typename TypeParam::Fields;
  std::unique_ptr<typename TypeParam::Record> record = TypeParam::record("round trip");
  record->setRecordID(0x01020304);
  const Fields fields = TypeParam::fields(*record);
  EXPECT_EQ(fields.recordID, 0x01020304u);
  EXPECT_EQ(fields.label, VELBuffer(VELString("round trip")));
  EXPECT_EQ(fields.encoding, VELASNUtility::getDEREncoding(*record));
  EXPECT_EQ(fields.getSize(), TypeParam::kFixedSize + fields.encoding.size() + fields.label.size());

  const std::string image = slotImage(fields, 5000);
  EXPECT_EQ(bigEndian32(image, 4), 0x01020304u);                                  // big-endian on disk
  EXPECT_EQ(image.find_first_not_of('\0', fields.getSize()), std::string::npos);  // zero behind the fields
  FileDBBuffer slot(5000);
  slot.load(image.data(), image.size());
  const Fields back(slot);
  EXPECT_EQ(slot.getPosition(), fields.getSize());  // the reader stops right behind the fields
  EXPECT_EQ(back.recordFlag, 1u);
  EXPECT_EQ(back.recordID, fields.recordID);
  EXPECT_EQ(back.encoding, fields.encoding);
  EXPECT_EQ(VELTestFields::keysOf<TypeParam>(back), VELTestFields::keysOf<TypeParam>(fields));
  // Read for an open, the DER is left where it lies in the slot.
  VELASNCBuffer inSlot;
  const Fields viewed(slot, &inSlot);
  EXPECT_EQ(slot.getPosition(), fields.getSize());
  EXPECT_TRUE(viewed.encoding.empty());
  EXPECT_EQ(inSlot.data(), slot.data() + 12);
  EXPECT_EQ(VELBuffer(inSlot), fields.encoding);
  EXPECT_EQ(VELTestFields::keysOf<TypeParam>(viewed), VELTestFields::keysOf<TypeParam>(fields));

  // An empty label is a zero length, and what follows it still reads; a
  // deleted slot parses too, only its state differs.
  record->setLabel("");
  const Fields unlabelled = TypeParam::fields(*record, 2);
  const std::string empty = slotImage(unlabelled, 5000);
  EXPECT_EQ(bigEndian32(empty, 12 + unlabelled.encoding.size()), 0u);
  slot.load(empty.data(), empty.size());
  const Fields emptyBack(slot);
  EXPECT_TRUE(emptyBack.label.empty());
  EXPECT_EQ(emptyBack.recordFlag, 2u);
  EXPECT_EQ(VELTestFields::keysOf<TypeParam>(emptyBack), VELTestFields::keysOf<TypeParam>(unlabelled));
}

TYPED_TEST(RecordFieldsTest, AMoveHandsTheEncodingOverWithoutACopy) {
  using Fields = typename TypeParam::Fields;
  Fields fields = VELTestFields::fieldsOf<TypeParam>("moved", 1);
  const VELBuffer encoding = fields.encoding;
  const unsigned char* bytes = fields.encoding.data();
  Fields moved(std::move(fields));
  EXPECT_EQ(moved.encoding.data(), bytes);
  Fields assigned = VELTestFields::fieldsOf<TypeParam>("other", 1);
  assigned = std::move(moved);
  EXPECT_EQ(assigned.encoding.data(), bytes);
  EXPECT_EQ(assigned.encoding, encoding);
}

TYPED_TEST(RecordFieldsTest, RefusesLengthsPastTheSlotSmallBuffersAndRecordsWithoutTheirObject) {
  using Fields = typename TypeParam::Fields;
  const Fields fields = VELTestFields::fieldsOf<TypeParam>("refused", 1);
  const std::string image = slotImage(fields, static_cast<std::uint32_t>(fields.getSize()) + 16);
  // The encoding's length one byte past the slot, and as far as a length can.
  for (const std::uint32_t length : {static_cast<std::uint32_t>(image.size() - 11), 0xFFFFFFFFu}) {
    std::string bad = image;
    VELTestTableFiles::putBigEndian32(bad, 8, length);
    FileDBBuffer slot(bad.size());
    slot.load(bad.data(), bad.size());
    EXPECT_EQ(errorOf([&] { Fields f(slot); }), VELDBError::kBadArgument) << length;
    VELASNCBuffer inSlot;
    EXPECT_EQ(errorOf([&] { Fields f(slot, &inSlot); }), VELDBError::kBadArgument) << length;
  }
  if (TypeParam::kLengthsInARow > 0) {
    VELTestTableFiles::expectLengthsPastTheSlotRefused<Fields>(image, TypeParam::kLengthsInARow);
  }

  FileDBBuffer small(fields.getSize() - 1);
  EXPECT_EQ(errorOf([&] { fields.toBuffer(small); }), VELDBError::kBadArgument);
  FileDBBuffer exact(fields.getSize());
  EXPECT_EQ(fields.toBuffer(exact), fields.getSize());

  typename TypeParam::Record bare;
  bare.setLabel("bare");
  EXPECT_EQ(errorOf([&] { TypeParam::fields(bare); }), VELDBError::kBadArgument);
}

}  // namespace
