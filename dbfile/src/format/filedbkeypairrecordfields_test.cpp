// Plan: the public-key digest is OpenSSL's SHA-1 of the key's DER, whatever the label and request
// of the record.  What every table's fields do alike is asked in filedbrecordfields_test.cpp.
#include "filedbkeypairrecordfields.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "veltestpki.h"

namespace {

TEST(KeyPairRecordFieldsTest, ThePublicKeyDigestIsTakenOverTheKeysDER) {
  VELTestPKI::PKey key = VELTestPKI::makeKey();
  VELASNKeyPairRecord record;
  record.setLabel("pair label");
  const VELBuffer publicKey = VELTestPKI::publicKeyDER(key.get());
  record.setKeyPair(VELASNSubjectPublicKeyInfo(publicKey.get()),
                    VELASNEncryptedPrivateKeyInfo(VELTestPKI::encryptedPrivateKeyDER(key.get()).get()));
  record.setCertificationRequest(VELTestPKI::derOf(VELTestPKI::makeRequest(key.get(), "CN=Pair").get()).get());
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(publicKey.data(), publicKey.size(), digest);
  EXPECT_EQ(FileDBKeyPairRecordFields(nullptr, record, 1).subjectPublicKeyInfoHash, VELBuffer(digest, sizeof digest));
  record.setLabel("");
  EXPECT_EQ(FileDBKeyPairRecordFields(nullptr, record, 1).subjectPublicKeyInfoHash, VELBuffer(digest, sizeof digest));
}

}  // namespace
