// Plan: the three digests are OpenSSL's SHA-1 over the CRL's signature BIT STRING, its
// to-be-signed part and its issuer name as OpenSSL encodes them; every field comes back out of
// a slot and the size rule holds; every length pointing past the slot is refused.
#include "filedbcrlrecordfields.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "velasnutility.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"

namespace {

using VELTestTableFiles::errorOf;
using VELTestTableFiles::slotImage;

// SHA-1 of what an OpenSSL i2d function writes for `object`.
template <class T, class I2D>
VELBuffer sha1Of(T* object, I2D i2d) {
  unsigned char* der = nullptr;
  const int length = i2d(object, &der);
  EXPECT_GT(length, 0);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(der, static_cast<std::size_t>(length), digest);
  OPENSSL_free(der);
  return VELBuffer(digest, sizeof digest);
}

struct Issued {
  VELTestPKI::PKey key = VELTestPKI::makeKey();
  VELTestPKI::Cert ca;
  VELTestPKI::CRL crl;
  VELASNCRLRecord record;
  explicit Issued(std::size_t revoked) {
    VELTestPKI::CertOptions options;
    options.ca = true;
    ca = VELTestPKI::makeSelfSigned(key.get(), "CN=CRL Fields CA,O=Example", options);
    crl = VELTestPKI::makeCRL(ca.get(), key.get(), revoked);
    record.setCRL(VELTestPKI::derOf(crl.get()).get());
  }
};

TEST(CRLRecordFieldsTest, DigestsOfTheCRLPartsAndTheSlotRoundTrip) {
  Issued issued(4);
  issued.record.setLabel("crl label");
  issued.record.setRecordID(513);
  const FileDBCRLRecordFields fields(nullptr, issued.record, 1);

  const ASN1_BIT_STRING* signature = nullptr;
  X509_CRL_get0_signature(issued.crl.get(), &signature, nullptr);
  EXPECT_EQ(fields.signatureHash, sha1Of(const_cast<ASN1_BIT_STRING*>(signature), i2d_ASN1_BIT_STRING));
  EXPECT_EQ(fields.unsignedCRLHash, sha1Of(issued.crl.get(), i2d_re_X509_CRL_tbs));
  EXPECT_EQ(fields.issuerNameHash, sha1Of(X509_CRL_get_issuer(issued.crl.get()), i2d_X509_NAME));
  EXPECT_EQ(fields.recordID, 513u);
  EXPECT_EQ(fields.encoding, VELASNUtility::getDEREncoding(issued.record));
  EXPECT_EQ(fields.getSize(), 88 + fields.encoding.size() + fields.label.size());

  const std::string image = slotImage(fields, 5000);
  EXPECT_EQ(image.find_first_not_of('\0', fields.getSize()), std::string::npos);
  FileDBBuffer slot(5000);
  slot.load(image.data(), image.size());
  const FileDBCRLRecordFields back(slot);
  EXPECT_EQ(slot.getPosition(), fields.getSize());
  EXPECT_EQ(back.recordFlag, 1u);
  EXPECT_EQ(back.recordID, 513u);
  EXPECT_EQ(back.label, VELBuffer(VELString("crl label")));
  EXPECT_EQ(back.encoding, fields.encoding);
  EXPECT_EQ(back.signatureHash, fields.signatureHash);
  EXPECT_EQ(back.unsignedCRLHash, fields.unsignedCRLHash);
  EXPECT_EQ(back.issuerNameHash, fields.issuerNameHash);

  // Another CRL of the same issuer: same issuer digest, the others differ.
  Issued again(4);
  again.crl = VELTestPKI::makeCRL(issued.ca.get(), issued.key.get(), 4);
  again.record.setCRL(VELTestPKI::derOf(again.crl.get()).get());
  const FileDBCRLRecordFields second(nullptr, again.record, 1);
  EXPECT_EQ(second.issuerNameHash, fields.issuerNameHash);
  EXPECT_NE(second.unsignedCRLHash, fields.unsignedCRLHash);
  EXPECT_NE(second.signatureHash, fields.signatureHash);
}

TEST(CRLRecordFieldsTest, RefusesLengthsPastTheSlotSmallBuffersAndRecordsWithoutCRL) {
  Issued issued(1);
  const FileDBCRLRecordFields fields(nullptr, issued.record, 1);
  VELTestTableFiles::expectLengthsPastTheSlotRefused<FileDBCRLRecordFields>(
      slotImage(fields, static_cast<std::uint32_t>(fields.getSize()) + 16), 5);

  FileDBBuffer small(fields.getSize() - 1);
  EXPECT_EQ(errorOf([&] { fields.toBuffer(small); }), VELDBError::kBadArgument);

  VELASNCRLRecord bare;
  bare.setLabel("bare");
  EXPECT_EQ(errorOf([&] { FileDBCRLRecordFields f(nullptr, bare, 1); }), VELDBError::kBadArgument);
}

}  // namespace
