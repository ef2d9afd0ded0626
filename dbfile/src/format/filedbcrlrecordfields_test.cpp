// Plan: the three digests are OpenSSL's SHA-1 over the CRL's signature BIT STRING, its
// to-be-signed part and its issuer name as OpenSSL encodes them; CRLs of one issuer share only
// the issuer's.  What every table's fields do alike is asked in filedbrecordfields_test.cpp.
#include "filedbcrlrecordfields.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "veltestpki.h"

namespace {

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

TEST(CRLRecordFieldsTest, DigestsOfTheCRLParts) {
  Issued issued(4);
  const FileDBCRLRecordFields fields(nullptr, issued.record, 1);

  const ASN1_BIT_STRING* signature = nullptr;
  X509_CRL_get0_signature(issued.crl.get(), &signature, nullptr);
  EXPECT_EQ(fields.signatureHash, sha1Of(const_cast<ASN1_BIT_STRING*>(signature), i2d_ASN1_BIT_STRING));
  EXPECT_EQ(fields.unsignedCRLHash, sha1Of(issued.crl.get(), i2d_re_X509_CRL_tbs));
  EXPECT_EQ(fields.issuerNameHash, sha1Of(X509_CRL_get_issuer(issued.crl.get()), i2d_X509_NAME));

  // Another CRL of the same issuer: same issuer digest, the others differ.
  Issued again(4);
  again.crl = VELTestPKI::makeCRL(issued.ca.get(), issued.key.get(), 4);
  again.record.setCRL(VELTestPKI::derOf(again.crl.get()).get());
  const FileDBCRLRecordFields second(nullptr, again.record, 1);
  EXPECT_EQ(second.issuerNameHash, fields.issuerNameHash);
  EXPECT_NE(second.unsignedCRLHash, fields.unsignedCRLHash);
  EXPECT_NE(second.signatureHash, fields.signatureHash);
}

}  // namespace
