#include "velasnrecords.h"

#include <gtest/gtest.h>

#include <sstream>

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltestpki.h"

// Plan: each record round-trips byte-exact through getDEREncoding and
// setDEREncoding in all its forms; bad envelopes are refused without
// changing the record; setters refuse content OpenSSL does not decode;
// containers own their records.

namespace {

using namespace VELTestPKI;

template <typename RECORD>
void expectRoundTrip(const RECORD& record) {
  const VELBuffer der = VELASNUtility::getDEREncoding(record);
  RECORD back;
  VELASNUtility::setDEREncoding(back, der);
  EXPECT_EQ(VELASNUtility::getDEREncoding(back), der);
}

TEST(VELASNKeyRecord, RoundTripsInBothFormsAndKeepsFields) {
  std::unique_ptr<VELASNKeyRecord> withKey = makeKeyRecord("alice", "CN=Alice");
  withKey->setRecordID(0xFFFFFFFFu);
  withKey->setTrusted(true);
  expectRoundTrip(*withKey);
  std::unique_ptr<VELASNKeyRecord> certOnly = makeKeyRecord("", "CN=Bob", false);
  expectRoundTrip(*certOnly);

  VELASNKeyRecord back;
  VELASNUtility::setDEREncoding(back, VELASNUtility::getDEREncoding(*withKey));
  EXPECT_EQ(VELDBUtility::asnToRecordID(back.getRecordID()), 0xFFFFFFFFu);
  EXPECT_EQ(back.getLabel().getValue(), "alice");
  EXPECT_TRUE(back.isTrusted());
  EXPECT_TRUE(back.hasPrivateKey());
  EXPECT_EQ(back.getCertificate(), withKey->getCertificate());
  EXPECT_EQ(back.getPrivateKey(), withKey->getPrivateKey());

  VELASNUtility::setDEREncoding(back, VELASNUtility::getDEREncoding(*certOnly));
  EXPECT_FALSE(back.hasPrivateKey());
  EXPECT_FALSE(back.isTrusted());
  EXPECT_THROW(back.getPrivateKey(), VELDBException);
  std::ostringstream text;
  back.display(text);
  EXPECT_NE(text.str().find("CN=Bob"), std::string::npos) << text.str();
}

TEST(VELASNKeyRecord, RefusesBadEnvelopesAndLeavesTheRecordAlone) {
  std::unique_ptr<VELASNKeyRecord> record = makeKeyRecord("keep", "CN=Keep");
  const VELBuffer good = record->write();
  const VELASNCertificate& cert = record->getCertificate();

  auto envelope = [&](long long version, unsigned char choiceTag, bool falseFlag) {
    VELBuffer content = VELASNInteger(version).write();
    const VELBuffer id = VELASNInteger(1).write();
    const VELBuffer label = VELASNLabelString("x").write();
    content.append(id.data(), id.size());
    content.append(label.data(), label.size());
    VELDERWriter::appendElement(content, choiceTag, cert.getEncoding());
    if (falseFlag) VELDERWriter::appendElement(content, VELDER::kBoolean, "\x00", 1);
    return VELDERWriter::wrap(VELDER::kSequence, content);
  };
  VELASNKeyRecord ok;
  EXPECT_NO_THROW(ok.read(envelope(0, VELDER::contextConstructed(1), false).get()));
  const VELBuffer bad[] = {
      envelope(1, VELDER::contextConstructed(1), false),  // unknown version
      envelope(0, VELDER::contextConstructed(2), false),  // unknown content choice
      envelope(0, VELDER::contextConstructed(1), true),   // FALSE written out: not DER
      envelope(0, VELDER::contextConstructed(0), false),  // key form without key
      VELDERWriter::wrap(VELDER::kSet, good),             // not a SEQUENCE
  };
  for (const VELBuffer& b : bad) {
    EXPECT_THROW(VELASNUtility::setDEREncoding(*record, b), VELDBException);
    EXPECT_EQ(record->write(), good);
  }
  VELBuffer trailing = good;
  trailing.append("\x00", 1);
  EXPECT_THROW(VELASNUtility::setDEREncoding(*record, trailing), VELDBException);
  EXPECT_THROW(VELASNKeyRecord().write(), VELDBException);  // no certificate
  // A record ID beyond 32 bits decodes but is refused as a record ID.
  VELASNKeyRecord wide(*record);
  wide.getRecordID().setUnsignedValue(0x100000000ULL);
  VELASNKeyRecord wideBack;
  wideBack.read(wide.write().get());
  EXPECT_THROW(VELDBUtility::asnToRecordID(wideBack.getRecordID()), VELDBException);
}

TEST(VELASNKeyRecord, SettersValidateNewContent) {
  PKey key = makeKey();
  Cert cert = makeSelfSigned(key.get(), "CN=New");
  VELBuffer certDER = derOf(cert.get());
  const VELBuffer keyDER = encryptedPrivateKeyDER(key.get());
  VELASNKeyRecord record(1);
  record.setKeyAndCertificate(certDER.get(), keyDER.get());
  EXPECT_TRUE(record.hasPrivateKey());
  record.setCertificate(certDER.get());
  EXPECT_FALSE(record.hasPrivateKey());  // a certificate alone drops the key
  VELBuffer junk = certDER;
  junk.resize(junk.size() - 3);
  EXPECT_THROW(record.setCertificate(junk.get()), VELDBException);
  EXPECT_THROW(record.setKeyAndCertificate(certDER.get(), certDER.get()), VELDBException);
  EXPECT_EQ(record.getCertificate().write(), certDER);
}

TEST(VELASNKeyPairRecord, RoundTripsAndExposesTheKeyPair) {
  std::unique_ptr<VELASNKeyPairRecord> record = makeKeyPairRecord("pair", "CN=Pair");
  record->setRecordID(42);
  expectRoundTrip(*record);
  VELASNKeyPairRecord back;
  back.read(record->write().get());
  EXPECT_EQ(back.getKeyPair().getSubjectPublicKeyInfo(), record->getKeyPair().getSubjectPublicKeyInfo());
  // The request carries the same public key as the key pair.
  EXPECT_EQ(VELBuffer(back.getCertificationRequest().getSubjectPublicKeyInfoEncoding()),
            VELBuffer(back.getKeyPair().getSubjectPublicKeyInfoEncoding()));
  EXPECT_THROW(VELASNKeyPairRecord().write(), VELDBException);
  VELASNKeyPairRecord noRequest;
  noRequest.setKeyPair(record->getKeyPair());
  EXPECT_THROW(noRequest.write(), VELDBException);
  std::ostringstream text;
  back.display(text);
  EXPECT_NE(text.str().find("CN=Pair"), std::string::npos);
  // A public key that does not decode is refused.
  const unsigned char badKey[] = {0x30, 0x08, 0x30, 0x03, 0x06, 0x01, 0x00, 0x03, 0x01, 0x00};
  EXPECT_THROW(noRequest.setKeyPair(VELASNSubjectPublicKeyInfo(VELASNCBuffer(badKey, sizeof badKey)),
                                    record->getKeyPair().getPrivateKey()),
               VELDBException);
}

TEST(VELASNCRLRecord, RoundTripsSmallAndLargeCRLs) {
  for (std::size_t revoked : {0u, 250u}) {
    std::unique_ptr<VELASNCRLRecord> record = makeCRLRecord("crl", "CN=Revoker", revoked);
    expectRoundTrip(*record);
    if (revoked > 0) {
      EXPECT_GT(record->write().size(), 5000u);
    }
  }
  EXPECT_THROW(VELASNCRLRecord().write(), VELDBException);
  EXPECT_THROW(VELASNCRLRecord().getCRL(), VELDBException);
}

TEST(VELASNRecordContainer, OwnsAndIndexesItsRecords) {
  VELASNCRLRecordContainer container;
  EXPECT_TRUE(container.empty());
  container.push_back(new VELASNCRLRecord());
  container.push_back(std::unique_ptr<VELASNCRLRecord>(new VELASNCRLRecord()));
  container[1].setLabel("second");
  EXPECT_EQ(container.size(), 2u);
  EXPECT_EQ(container.at(1).getLabel().getValue(), "second");
  EXPECT_THROW(container.at(2), VELDBException);
  EXPECT_THROW(container.push_back(static_cast<VELASNCRLRecord*>(nullptr)), VELDBException);
  std::unique_ptr<VELASNCRLRecord> taken = container.release(0);
  EXPECT_EQ(container.size(), 1u);
  EXPECT_EQ(container[0].getLabel().getValue(), "second");
}

}  // namespace
