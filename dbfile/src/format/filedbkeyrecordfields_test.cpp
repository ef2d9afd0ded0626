// Plan: build key-record fields from generated certificates and check the digests against OpenSSL,
// the issuer's record ID through a slot, and the dump.  What every table's fields do alike is asked
// in filedbrecordfields_test.cpp.
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
  FileDBBuffer slot(5000);
  fields.toBuffer(slot);
  EXPECT_EQ(FileDBKeyRecordFields(slot).issuerRecordID, 5u);
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
