// Plan: the public-key digest is OpenSSL's SHA-1 of the key's DER; every field comes back out of
// a slot and the size rule holds; every length pointing past the slot is refused; a record
// without a key pair builds nothing.
#include "filedbkeypairrecordfields.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "velasnutility.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"

namespace {

using VELTestTableFiles::errorOf;
using VELTestTableFiles::slotImage;

TEST(KeyPairRecordFieldsTest, FieldsOfARecordAndTheirSlotRoundTrip) {
  VELTestPKI::PKey key = VELTestPKI::makeKey();
  VELASNKeyPairRecord record;
  record.setLabel("pair label");
  record.setRecordID(0x01020304);
  const VELBuffer publicKey = VELTestPKI::publicKeyDER(key.get());
  record.setKeyPair(VELASNSubjectPublicKeyInfo(publicKey.get()),
                    VELASNEncryptedPrivateKeyInfo(VELTestPKI::encryptedPrivateKeyDER(key.get()).get()));
  record.setCertificationRequest(VELTestPKI::derOf(VELTestPKI::makeRequest(key.get(), "CN=Pair").get()).get());

  const FileDBKeyPairRecordFields fields(nullptr, record, 1);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(publicKey.data(), publicKey.size(), digest);
  EXPECT_EQ(fields.subjectPublicKeyInfoHash, VELBuffer(digest, sizeof digest));
  EXPECT_EQ(fields.recordID, 0x01020304u);
  EXPECT_EQ(fields.label, VELBuffer(VELString("pair label")));
  EXPECT_EQ(fields.encoding, VELASNUtility::getDEREncoding(record));
  EXPECT_EQ(fields.getSize(), 20 + fields.encoding.size() + fields.label.size() + SHA_DIGEST_LENGTH);

  const std::string image = slotImage(fields, 5000);
  EXPECT_EQ(VELTestTableFiles::bigEndian32(image, 4), 0x01020304u);               // big-endian on disk
  EXPECT_EQ(image.find_first_not_of('\0', fields.getSize()), std::string::npos);  // zero behind the fields
  FileDBBuffer slot(5000);
  slot.load(image.data(), image.size());
  const FileDBKeyPairRecordFields back(slot);
  EXPECT_EQ(slot.getPosition(), fields.getSize());
  EXPECT_EQ(back.recordFlag, 1u);
  EXPECT_EQ(back.recordID, fields.recordID);
  EXPECT_EQ(back.encoding, fields.encoding);
  EXPECT_EQ(back.label, fields.label);
  EXPECT_EQ(back.subjectPublicKeyInfoHash, fields.subjectPublicKeyInfoHash);
  VELASNKeyPairRecord decoded;
  VELASNUtility::setDEREncoding(decoded, back.encoding);
  EXPECT_EQ(decoded.getLabel().getValue(), "pair label");

  // An empty label is a zero length; the digest behind it still reads.
  record.setLabel("");
  const FileDBKeyPairRecordFields unlabelled(nullptr, record, 2);
  slot.load(slotImage(unlabelled, 5000).data(), 5000);
  const FileDBKeyPairRecordFields emptyBack(slot);
  EXPECT_TRUE(emptyBack.label.empty());
  EXPECT_EQ(emptyBack.recordFlag, 2u);
  EXPECT_EQ(emptyBack.subjectPublicKeyInfoHash, fields.subjectPublicKeyInfoHash);
}

TEST(KeyPairRecordFieldsTest, RefusesLengthsPastTheSlotSmallBuffersAndRecordsWithoutKeyPair) {
  std::unique_ptr<VELASNKeyPairRecord> record = VELTestPKI::makeKeyPairRecord("refused", "CN=Refused");
  const FileDBKeyPairRecordFields fields(nullptr, *record, 1);
  VELTestTableFiles::expectLengthsPastTheSlotRefused<FileDBKeyPairRecordFields>(
      slotImage(fields, static_cast<std::uint32_t>(fields.getSize()) + 16), 3);

  FileDBBuffer small(fields.getSize() - 1);
  EXPECT_EQ(errorOf([&] { fields.toBuffer(small); }), VELDBError::kBadArgument);
  FileDBBuffer exact(fields.getSize());
  EXPECT_EQ(fields.toBuffer(exact), fields.getSize());

  VELASNKeyPairRecord bare;
  bare.setLabel("bare");
  EXPECT_EQ(errorOf([&] { FileDBKeyPairRecordFields f(nullptr, bare, 1); }), VELDBError::kBadArgument);
}

}  // namespace
