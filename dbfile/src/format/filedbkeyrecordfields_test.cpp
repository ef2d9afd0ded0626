// Plan: build key-record fields from generated certificates and check the digests against OpenSSL,
// the slot round trip and its size rule, refusals of short slots and small buffers, and the dump.
#include "filedbkeyrecordfields.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <functional>
#include <sstream>

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

VELBuffer sha1(const VELBuffer& bytes) {
  unsigned char out[SHA_DIGEST_LENGTH];
  SHA1(bytes.data(), bytes.size(), out);
  return VELBuffer(out, sizeof out);
}

using VELTestUtil::errorOf;

void expectSameFields(const FileDBKeyRecordFields& a, const FileDBKeyRecordFields& b) {
  EXPECT_EQ(a.recordFlag, b.recordFlag);
  EXPECT_EQ(a.recordID, b.recordID);
  EXPECT_EQ(a.encoding, b.encoding);
  EXPECT_EQ(a.label, b.label);
  EXPECT_EQ(a.issuerRecordID, b.issuerRecordID);
  EXPECT_EQ(a.signatureHash, b.signatureHash);
  EXPECT_EQ(a.unsignedCertHash, b.unsignedCertHash);
  EXPECT_EQ(a.subjectNameHash, b.subjectNameHash);
  EXPECT_EQ(a.subjectPublicKeyInfoHash, b.subjectPublicKeyInfoHash);
  EXPECT_EQ(a.issuerAndSerialNumberHash, b.issuerAndSerialNumberHash);
}

TEST(KeyRecordFieldsTest, DigestsAreTakenOverTheCertificatePartsAsTheyStand) {
  VELTestPKI::PKey issuerKey = VELTestPKI::makeKey();
  VELTestPKI::Cert ca = VELTestPKI::makeSelfSigned(issuerKey.get(), "CN=Fields CA,O=Example,C=US");
  VELTestPKI::PKey key = VELTestPKI::makeKey();
  VELTestPKI::CertOptions options;
  options.serial = 4242;
  VELTestPKI::Cert cert =
      VELTestPKI::makeIssued(key.get(), "CN=Fields,O=Example,C=US", ca.get(), issuerKey.get(), options);
  VELASNKeyRecord record;
  record.setKeyAndCertificate(VELTestPKI::derOf(cert.get()).get(), VELTestPKI::encryptedPrivateKeyDER(key.get()).get());
  record.setLabel("fields");
  record.setRecordID(77);

  const FileDBKeyRecordFields fields(nullptr, record, 1, 5);
  EXPECT_EQ(fields.recordFlag, 1u);
  EXPECT_EQ(fields.recordID, 77u);
  EXPECT_EQ(fields.issuerRecordID, 5u);
  EXPECT_EQ(fields.label, VELBuffer(VELString("fields")));
  EXPECT_EQ(fields.encoding, VELASNUtility::getDEREncoding(record));
  // Digests from OpenSSL's own encodings of the parts (identical to the
  // certificate's bytes for a certificate OpenSSL made).
  EXPECT_EQ(fields.subjectNameHash, sha1(VELTestPKI::derOf(X509_get_subject_name(cert.get()))));
  EXPECT_EQ(fields.subjectPublicKeyInfoHash, sha1(VELTestPKI::publicKeyDER(key.get())));
  unsigned char* tbs = nullptr;
  const int tbsLength = i2d_re_X509_tbs(cert.get(), &tbs);
  ASSERT_GT(tbsLength, 0);
  EXPECT_EQ(fields.unsignedCertHash, sha1(VELBuffer(tbs, static_cast<std::size_t>(tbsLength))));
  OPENSSL_free(tbs);
  // The keys that a caller's lookup objects make are the stored ones.
  const VELASNCertificate& c = record.getCertificate();
  EXPECT_EQ(fields.signatureHash, VELDBUtility::getSHA1Digest(c.getSignature(), nullptr));
  EXPECT_EQ(fields.unsignedCertHash, VELDBUtility::getSHA1Digest(c.getTBSCertificate(), nullptr));
  EXPECT_EQ(fields.issuerAndSerialNumberHash,
            VELDBUtility::getSHA1Digest(VELASNIssuerAndSerialNumber(c.getIssuer(), c.getSerialNumber()), nullptr));
  EXPECT_NE(fields.issuerAndSerialNumberHash,
            VELDBUtility::getSHA1Digest(VELASNIssuerAndSerialNumber(c.getSubject(), c.getSerialNumber()), nullptr));
}

TEST(KeyRecordFieldsTest, SlotRoundTripAndSizeRule) {
  std::unique_ptr<VELASNKeyRecord> record = VELTestPKI::makeKeyRecord("round trip", "CN=Round Trip");
  record->setRecordID(3);
  const FileDBKeyRecordFields fields(nullptr, *record, 1, 0);
  EXPECT_EQ(fields.getSize(), 140 + fields.encoding.size() + fields.label.size());
  FileDBBuffer slot(5000);
  EXPECT_EQ(fields.toBuffer(slot), fields.getSize());
  const FileDBKeyRecordFields back(slot);
  expectSameFields(fields, back);
  EXPECT_EQ(slot.getPosition(), fields.getSize());  // the reader stops right behind the fields

  // An empty label is stored as a zero length.
  std::unique_ptr<VELASNKeyRecord> unlabelled = VELTestPKI::makeKeyRecord("", "CN=No Label", false);
  const FileDBKeyRecordFields empty(nullptr, *unlabelled, 1, 0);
  empty.toBuffer(slot);
  const unsigned char* bytes = slot.data();
  const std::size_t labelAt = 12 + empty.encoding.size();
  EXPECT_EQ(VELBuffer(bytes + labelAt, 4), VELBuffer("\0\0\0\0", 4));
  EXPECT_TRUE(FileDBKeyRecordFields(slot).label.empty());

  // A deleted slot still parses: only its state differs.
  slot.setPosition(0);
  slot.put(std::uint32_t{2});
  const FileDBKeyRecordFields deleted(slot);
  EXPECT_EQ(deleted.recordFlag, 2u);
  EXPECT_EQ(deleted.encoding, empty.encoding);
}

TEST(KeyRecordFieldsTest, RefusesSlotsTooShortAndBuffersTooSmall) {
  std::unique_ptr<VELASNKeyRecord> record = VELTestPKI::makeKeyRecord("big", "CN=Big");
  record->setLabel(VELString(6000, 'x'));
  const FileDBKeyRecordFields fields(nullptr, *record, 1, 0);
  FileDBBuffer small(5000);
  EXPECT_EQ(errorOf([&] { fields.toBuffer(small); }), VELDBError::kBadArgument);
  FileDBBuffer large(fields.getSize());
  EXPECT_EQ(fields.toBuffer(large), fields.getSize());

  // A slot whose encoding length claims more than the slot holds.
  FileDBBuffer slot(64);
  slot.put(std::uint32_t{1});
  slot.put(std::uint32_t{9});
  slot.put(std::uint32_t{1000});
  EXPECT_EQ(errorOf([&] { FileDBKeyRecordFields f(slot); }), VELDBError::kBadArgument);

  // A record without certificate builds nothing.
  VELASNKeyRecord bare;
  bare.setLabel("bare");
  EXPECT_EQ(errorOf([&] { FileDBKeyRecordFields f(nullptr, bare, 1, 0); }), VELDBError::kBadArgument);
}

TEST(KeyRecordFieldsTest, DisplayWritesTheFieldsInOrder) {
  std::unique_ptr<VELASNKeyRecord> record = VELTestPKI::makeKeyRecord("shown", "CN=Shown");
  record->setRecordID(12);
  FileDBKeyRecordFields fields(nullptr, *record, 1, 4);
  std::ostringstream out;
  fields.display(out);
  const std::string text = "\n" + out.str();
  std::ostringstream label;
  label << "\nlabel:shown " << fields.label << "\n";
  std::ostringstream sig;
  sig << "\nsignatureHash:" << fields.signatureHash << "\n";
  const std::vector<std::string> lines = {"\nrecordFlag:1\n",
                                          "\nrecordID:12\n",
                                          "\nencoding:",
                                          "\ndecoded record:VELASNKeyRecord\n",
                                          label.str(),
                                          "\nissuerRecordID:4\n",
                                          sig.str(),
                                          "\nunsignedCertHash:",
                                          "\nsubjectNameHash:",
                                          "\nsubjectPublicKeyInfoHash:",
                                          "\nissuerAndSerialNumberHash:"};
  std::size_t at = 0;
  for (const std::string& line : lines) {
    const std::size_t found = text.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << " after " << at << " in\n" << text;
    at = found + 1;
  }

  // An encoding that does not decode fails after the first three lines.
  fields.encoding = VELBuffer("\x30\x03\x02\x01", 4);
  std::ostringstream broken;
  EXPECT_EQ(errorOf([&] { fields.display(broken); }), VELDBError::kBadArgument);
  EXPECT_EQ(broken.str().find("recordFlag:1\nrecordID:12\nencoding:"), 0u);
  EXPECT_EQ(broken.str().find("label:"), std::string::npos);
}

}  // namespace
