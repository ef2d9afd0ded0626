#include "velasnx509.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "veltestpki.h"

// Plan: every part the tables hash is sliced byte-exact -- each digest is
// checked against OpenSSL encoding the same part on its own -- for RSA, EC and
// Ed25519, v1 and v3 certificates, CRLs and the system CA bundle; deep
// validation refuses what OpenSSL does not decode.

namespace {

using namespace VELTestPKI;

VELBuffer sha1(const void* data, std::size_t length) {
  VELBuffer out;
  out.resize(20);
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(data, length, out.data(), &n, EVP_sha1(), nullptr), 1);
  return out;
}

template <typename T, typename Encode>
VELBuffer sha1Of(T* object, Encode i2d) {
  unsigned char* der = nullptr;
  const int n = i2d(object, &der);
  EXPECT_GT(n, 0);
  VELBuffer digest = sha1(der, static_cast<std::size_t>(n));
  OPENSSL_free(der);
  return digest;
}

int encodeSignature(const ASN1_BIT_STRING* s, unsigned char** out) {
  return i2d_ASN1_BIT_STRING(const_cast<ASN1_BIT_STRING*>(s), out);
}

// Checks the five key-table digests of `der` against OpenSSL.
void expectCertificateDigestsMatch(const VELBuffer& der, bool checkTBS = true) {
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(x, nullptr);
  VELASNCertificate cert(der.get());
  const VELKRYAlgorithmFactory* f = nullptr;

  EXPECT_EQ(VELDBUtility::getSHA1Digest(cert.getSubject(), f), sha1Of(X509_get_subject_name(x), i2d_X509_NAME));
  EXPECT_EQ(VELDBUtility::getSHA1Digest(cert.getIssuer(), f), sha1Of(X509_get_issuer_name(x), i2d_X509_NAME));
  EXPECT_EQ(VELDBUtility::getSHA1Digest(cert.getSubjectPublicKeyInfo(), f),
            sha1Of(X509_get_X509_PUBKEY(x), i2d_X509_PUBKEY));
  const ASN1_BIT_STRING* sig = nullptr;
  X509_get0_signature(&sig, nullptr, x);
  EXPECT_EQ(VELDBUtility::getSHA1Digest(cert.getSignature(), f), sha1Of(sig, encodeSignature));
  if (checkTBS) {
    EXPECT_EQ(VELDBUtility::getSHA1Digest(cert.getTBSCertificate(), f), sha1Of(x, i2d_re_X509_tbs));
  }

  PKCS7_ISSUER_AND_SERIAL* ias = PKCS7_ISSUER_AND_SERIAL_new();
  X509_NAME_set(&ias->issuer, X509_get_issuer_name(x));
  ASN1_INTEGER_free(ias->serial);
  ias->serial = ASN1_INTEGER_dup(X509_get0_serialNumber(x));
  EXPECT_EQ(VELDBUtility::getSHA1Digest(VELASNUtility::getIssuerAndSerialNumber(cert), f),
            sha1Of(ias, i2d_PKCS7_ISSUER_AND_SERIAL));
  PKCS7_ISSUER_AND_SERIAL_free(ias);

  // The sliced parts also come back through the typed accessors unchanged.
  EXPECT_EQ(VELBuffer(cert.getTBSCertificate().getSubjectEncoding()), VELBuffer(cert.getSubjectEncoding()));
  EXPECT_EQ(cert.write(), der);
  X509_free(x);
}

TEST(VELASNCertificate, DigestsMatchOpenSSLForEveryKeyTypeAndVersion) {
  for (KeyType type : {KeyType::EC_P256, KeyType::RSA, KeyType::Ed25519}) {
    EVP_PKEY* key = sharedKey(type);
    for (int version : {1, 3}) {
      CertOptions options;
      options.version = version;
      Cert cert = makeSelfSigned(key, "CN=Self,O=Vel Test,C=DE", options);
      SCOPED_TRACE(testing::Message() << "key type " << static_cast<int>(type) << " v" << version);
      const VELBuffer der = derOf(cert.get());
      expectCertificateDigestsMatch(der);
      EXPECT_EQ(VELASNCertificate(der.get()).getVersion(), version - 1);
    }
  }
}

TEST(VELASNCertificate, IssuedCertificateCarriesTheIssuerNameExactly) {
  CertOptions caOptions;
  caOptions.ca = true;
  caOptions.subjectEncoding = NameEncoding::Printable;
  Cert ca = makeSelfSigned(sharedKey(KeyType::RSA), "CN=Test CA,O=Vel", caOptions);
  Cert leaf = makeIssued(sharedKey(KeyType::EC_P256), "CN=Leaf", ca.get(), sharedKey(KeyType::RSA));
  const VELBuffer leafDER = derOf(leaf.get());
  expectCertificateDigestsMatch(leafDER);
  VELASNCertificate caCert(derOf(ca.get()).get());
  VELASNCertificate leafCert(leafDER.get());
  EXPECT_EQ(VELBuffer(leafCert.getIssuerEncoding()), VELBuffer(caCert.getSubjectEncoding()));
  EXPECT_NE(leafCert.getSerialNumber().getContent(), caCert.getSerialNumber().getContent());
}

TEST(VELASNCertificate, SystemCABundleSlicesAndDigests) {
  const std::vector<VELBuffer> bundle = loadSystemCABundle();
  if (bundle.empty()) GTEST_SKIP() << "no system CA bundle";
  for (std::size_t i = 0; i < bundle.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "bundle certificate " << i);
    expectCertificateDigestsMatch(bundle[i]);
    VELASNCertificate cert;
    EXPECT_NO_THROW(cert.setChecked(bundle[i].get()));
  }
}

TEST(VELASNCertificate, DeepValidationRefusesWhatOpenSSLCannotDecode) {
  Cert good = makeSelfSigned(sharedKey(KeyType::EC_P256), "CN=Good");
  VELBuffer der = derOf(good.get());
  VELASNCertificate cert;
  cert.setChecked(der.get());
  // Turn the validity's first time into an OCTET STRING: the DER envelope
  // stays well formed, so slicing accepts it, but OpenSSL does not decode it.
  VELBuffer bad = der;
  bool changed = false;
  for (std::size_t i = 0; i + 1 < bad.size(); ++i) {
    if (bad[i] == 0x17 && bad[i + 1] == 0x0D) {  // UTCTime, 13 bytes
      bad.data()[i] = 0x04;
      changed = true;
      break;
    }
  }
  ASSERT_TRUE(changed);
  VELASNCertificate sliced(bad.get());  // structure only: fine
  EXPECT_THROW(sliced.validate(), VELDBException);
  EXPECT_THROW(cert.setChecked(bad.get()), VELDBException);
  EXPECT_EQ(cert.write(), der);  // unchanged after the failed set
  X509* decoded = cert.toX509();
  ASSERT_NE(decoded, nullptr);
  // Made from what OpenSSL decoded: the same bytes, validated without a
  // second decode -- until other content is read into it.
  VELASNCertificate fromOpenSSL(decoded);
  X509_free(decoded);
  EXPECT_EQ(fromOpenSSL.write(), der);
  EXPECT_EQ(fromOpenSSL.getSubjectEncoding().length(), cert.getSubjectEncoding().length());
  EXPECT_NO_THROW(fromOpenSSL.validate());
  fromOpenSSL.read(bad.get());
  EXPECT_THROW(fromOpenSSL.validate(), VELDBException);
  EXPECT_THROW(VELASNCertificate(static_cast<const X509*>(nullptr)), VELDBException);
}

TEST(VELASNCertificateList, DigestsMatchOpenSSL) {
  CertOptions caOptions;
  caOptions.ca = true;
  Cert ca = makeSelfSigned(sharedKey(KeyType::EC_P256), "CN=CRL Issuer", caOptions);
  CRL a = makeCRL(ca.get(), sharedKey(KeyType::EC_P256), 0);
  CRL b = makeCRL(ca.get(), sharedKey(KeyType::EC_P256), 200);
  VELASNCertificateList listA(derOf(a.get()).get());
  VELASNCertificateList listB(derOf(b.get()).get());
  EXPECT_GT(listB.getEncoding().length(), 5000u);
  for (X509_CRL* crl : {a.get(), b.get()}) {
    VELASNCertificateList list;
    list.setChecked(derOf(crl).get());
    EXPECT_EQ(VELDBUtility::getSHA1Digest(list.getIssuer(), nullptr), sha1Of(X509_CRL_get_issuer(crl), i2d_X509_NAME));
    EXPECT_EQ(VELDBUtility::getSHA1Digest(list.getTBSCertList(), nullptr), sha1Of(crl, i2d_re_X509_CRL_tbs));
    const ASN1_BIT_STRING* sig = nullptr;
    X509_CRL_get0_signature(crl, &sig, nullptr);
    EXPECT_EQ(VELDBUtility::getSHA1Digest(list.getSignature(), nullptr), sha1Of(sig, encodeSignature));
  }
  // Same issuer, different contents.
  EXPECT_EQ(VELDBUtility::getSHA1Digest(listA.getIssuer(), nullptr),
            VELDBUtility::getSHA1Digest(listB.getIssuer(), nullptr));
  EXPECT_NE(VELDBUtility::getSHA1Digest(listA.getTBSCertList(), nullptr),
            VELDBUtility::getSHA1Digest(listB.getTBSCertList(), nullptr));
}

TEST(VELASNCertificationRequest, SlicesSubjectAndKeyAndValidates) {
  PKey key = makeKey();
  Request request = makeRequest(key.get(), "CN=Requester");
  const VELBuffer der = derOf(request.get());
  VELASNCertificationRequest req;
  req.setChecked(der.get());
  EXPECT_EQ(VELBuffer(req.getSubjectPublicKeyInfoEncoding()), publicKeyDER(key.get()));
  EXPECT_EQ(req.getSubject().compare(VELASNx500Name(derOf(X509_REQ_get_subject_name(request.get())).get())), 0);
  VELBuffer cut = der;
  cut.resize(der.size() - 1);
  EXPECT_THROW(req.setChecked(cut.get()), VELDBException);
  EXPECT_EQ(req.write(), der);
}

TEST(VELASNEncryptedPrivateKeyInfo, SlicesAndValidates) {
  const VELBuffer der = encryptedPrivateKeyDER(sharedKey(KeyType::Ed25519));
  VELASNEncryptedPrivateKeyInfo info;
  info.setChecked(der.get());
  EXPECT_GT(info.getEncryptedData().length(), 0u);
  EXPECT_EQ(info.write(), der);
  // A SEQUENCE of two SEQUENCEs slices but is no EncryptedPrivateKeyInfo.
  const unsigned char wrong[] = {0x30, 0x04, 0x30, 0x00, 0x04, 0x00};
  EXPECT_NO_THROW(VELASNEncryptedPrivateKeyInfo(VELASNCBuffer(wrong, sizeof wrong)));
  EXPECT_THROW(info.setChecked(VELASNCBuffer(wrong, sizeof wrong)), VELDBException);
  const unsigned char notKey[] = {0x30, 0x04, 0x30, 0x00, 0x30, 0x00};
  EXPECT_THROW(VELASNEncryptedPrivateKeyInfo(VELASNCBuffer(notKey, sizeof notKey)), VELDBException);
}

}  // namespace
