// Plan: what only the key table has (what every table shares is asked in filedbtable_test.cpp): the
// signature, to-be-signed and issuer-and-serial indexes and the order of their refusals, the subject
// name and public key multi indexes over generated and system CA certificates, the subject name
// compared as a name, and the trace of record IDs repaired at an open.
#include "filedbkeystorage.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "velasnutility.h"
#include "veldbutility.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"
#include "veltrace.h"

using namespace VELTestTableFiles;

namespace {

using Records = std::vector<std::unique_ptr<VELASNKeyRecord>>;
using Connection = TableConnection<FileDBKeyStorage>;
using KeyStorageTest = NewTableTest<FileDBKeyStorage>;

VELBuffer der(const VELASNObject& object) { return VELASNUtility::getDEREncoding(object); }

std::unique_ptr<VELASNKeyRecord> recordOf(X509* cert, EVP_PKEY* key, const std::string& label) {
  std::unique_ptr<VELASNKeyRecord> record(new VELASNKeyRecord());
  record->setKeyAndCertificate(VELTestPKI::derOf(cert).get(), VELTestPKI::encryptedPrivateKeyDER(key).get());
  record->setLabel(label);
  return record;
}

VELASNx500Name nameOf(const std::string& text, VELTestPKI::NameEncoding encoding) {
  VELTestPKI::Name name = VELTestPKI::makeName(text, encoding);
  return VELASNx500Name(VELTestPKI::derOf(name.get()).get());
}

// The sorted labels of a multi-index lookup.
std::vector<std::string> labelsOf(VELASNKeyRecordContainer* found) {
  const std::unique_ptr<VELASNKeyRecordContainer> records(found);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < records->size(); ++i) out.push_back((*records)[i].getLabel().getValue());
  std::sort(out.begin(), out.end());
  return out;
}

// Checks that every unique index finds every record and that the two multi
// indexes return exactly the records sharing the subject name or key.
void expectEveryIndexFindsEveryRecord(Connection& t, const Records& records) {
  EXPECT_EQ(t->getRecordCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)), records.size());
  for (const auto& r : records) {
    const VELASNCertificate& cert = r->getCertificate();
    const std::string label = r->getLabel().getValue();
    const VELASNBitString signature = cert.getSignature();
    const VELASNTBSCertificate tbs = cert.getTBSCertificate();
    const VELASNIssuerAndSerialNumber ias = VELASNUtility::getIssuerAndSerialNumber(cert);
    const std::pair<VELDBManager::KeyUniqueIndex, const VELASNObject*> keys[] = {
        {VELDBManager::KeySignature, &signature},
        {VELDBManager::KeyTBSCertificate, &tbs},
        {VELDBManager::KeyIssuerAndSerialNumber, &ias}};
    for (const auto& key : keys) {
      std::unique_ptr<VELASNKeyRecord> got(t->getRecordByIndex(key.first, *key.second));
      EXPECT_TRUE(got != nullptr && der(*got) == der(*r)) << label << " index " << key.first;
      EXPECT_EQ(t->getRecordCountByIndex(key.first, *key.second), 1u) << label << " index " << key.first;
    }
    std::vector<std::string> sameName, sameKey;
    for (const auto& other : records) {
      const VELASNCertificate& c = other->getCertificate();
      const std::string theirs = other->getLabel().getValue();
      if (VELBuffer(c.getSubjectEncoding()) == VELBuffer(cert.getSubjectEncoding())) sameName.push_back(theirs);
      if (VELBuffer(c.getSubjectPublicKeyInfoEncoding()) == VELBuffer(cert.getSubjectPublicKeyInfoEncoding())) {
        sameKey.push_back(theirs);
      }
    }
    std::sort(sameName.begin(), sameName.end());
    std::sort(sameKey.begin(), sameKey.end());
    const VELASNx500Name subject = cert.getSubject();
    const VELASNSubjectPublicKeyInfo spki = cert.getSubjectPublicKeyInfo();
    EXPECT_EQ(labelsOf(t->getRecordByIndex(VELDBManager::KeySubjectName, subject)), sameName) << label;
    EXPECT_EQ(t->getRecordCountByIndex(VELDBManager::KeySubjectName, subject), sameName.size()) << label;
    EXPECT_EQ(labelsOf(t->getRecordByIndex(VELDBManager::KeyPublicKeyInfo, spki)), sameKey) << label;
    EXPECT_EQ(t->getRecordCountByIndex(VELDBManager::KeyPublicKeyInfo, spki), sameKey.size()) << label;
  }
}

TEST_F(KeyStorageTest, EveryIndexFindsEveryRecordOfGeneratedAndSystemCertificatesAlsoAfterDeletes) {
  Records records;
  // Groups of three certificates under one subject name, and four subjects
  // certified for one key.
  for (int group = 0; group < 8; ++group) {
    for (int j = 0; j < 3; ++j) {
      records.push_back(VELTestPKI::makeKeyRecord("gen-" + std::to_string(group) + "-" + std::to_string(j),
                                                  "CN=Group " + std::to_string(group) + ",O=Example", j != 1));
    }
  }
  EVP_PKEY* sharedKey = VELTestPKI::sharedKey(VELTestPKI::KeyType::EC_P256);
  for (int i = 0; i < 4; ++i) {
    VELTestPKI::Cert cert = VELTestPKI::makeSelfSigned(sharedKey, "CN=Shared Key " + std::to_string(i));
    records.push_back(recordOf(cert.get(), sharedKey, "shared-" + std::to_string(i)));
  }
  auto t = std::make_unique<Connection>(d_path, VELDBConnectInfo::ReadWrite);
  for (auto& r : records) (*t)->insertRecord(*r);
  // Real certificates from the system bundle, without private keys.
  std::set<VELBuffer> signatures;
  std::size_t fromBundle = 0;
  const std::vector<VELBuffer> bundle = VELTestPKI::loadSystemCABundle();
  for (const VELBuffer& certDER : bundle) {
    if (fromBundle == 30) break;
    std::unique_ptr<VELASNKeyRecord> r(new VELASNKeyRecord());
    try {
      r->setCertificate(certDER.get());
    } catch (const VELDBException&) {
      continue;  // not a certificate the stand-in accepts
    }
    if (!signatures.insert(VELBuffer(r->getCertificate().getSignatureEncoding())).second) continue;
    r->setLabel("ca-" + std::to_string(fromBundle));
    (*t)->insertRecord(*r);
    records.push_back(std::move(r));
    ++fromBundle;
  }
  EXPECT_TRUE(bundle.empty() || fromBundle == 30u) << fromBundle;
  expectEveryIndexFindsEveryRecord(*t, records);

  // Deletes through the multi indexes take every record sharing the key or
  // the name, and no other.
  const VELASNSubjectPublicKeyInfo shared = records[24]->getCertificate().getSubjectPublicKeyInfo();
  EXPECT_EQ((*t)->deleteRecordByIndex(VELDBManager::KeyPublicKeyInfo, shared), 4u);
  EXPECT_EQ((*t)->deleteRecordByIndex(VELDBManager::KeySubjectName, records[3]->getCertificate().getSubject()), 3u);
  records.erase(records.begin() + 24, records.begin() + 28);
  records.erase(records.begin() + 3, records.begin() + 6);
  expectEveryIndexFindsEveryRecord(*t, records);

  // The indexes built when the file is opened are the same.
  t.reset();
  t = std::make_unique<Connection>(d_path, VELDBConnectInfo::ReadOnly);
  expectEveryIndexFindsEveryRecord(*t, records);
}

TEST_F(KeyStorageTest, SubjectNameInAnotherEncodingIsFoundByTheScan) {
  Connection t(d_path, VELDBConnectInfo::ReadWrite);
  VELTestPKI::PKey key = VELTestPKI::makeKey();
  VELTestPKI::CertOptions printable;
  printable.subjectEncoding = VELTestPKI::NameEncoding::Printable;
  VELTestPKI::Cert cert = VELTestPKI::makeSelfSigned(key.get(), "CN=Scan Target,O=Example,C=US", printable);
  std::unique_ptr<VELASNKeyRecord> target = recordOf(cert.get(), key.get(), "target");
  t->insertRecord(*target);
  std::unique_ptr<VELASNKeyRecord> other = VELTestPKI::makeKeyRecord("other", "CN=Other,O=Example,C=US");
  t->insertRecord(*other);

  const VELASNx500Name utf8 = nameOf("CN=Scan Target,O=Example,C=US", VELTestPKI::NameEncoding::UTF8);
  ASSERT_NE(der(utf8), VELBuffer(target->getCertificate().getSubjectEncoding()));
  const VELASNx500Name upper = nameOf("CN=SCAN TARGET,O=EXAMPLE,C=US", VELTestPKI::NameEncoding::Printable);
  for (const VELASNx500Name* name : {&utf8, &upper}) {
    EXPECT_EQ(labelsOf(t->getRecordByIndex(VELDBManager::KeySubjectName, *name)), std::vector<std::string>{"target"});
    // Counting uses the digest alone.
    EXPECT_EQ(t->getRecordCountByIndex(VELDBManager::KeySubjectName, *name), 0u);
  }
  const VELASNx500Name nobody = nameOf("CN=Nobody,O=Example,C=US", VELTestPKI::NameEncoding::UTF8);
  EXPECT_TRUE(labelsOf(t->getRecordByIndex(VELDBManager::KeySubjectName, nobody)).empty());
  // Keys of the wrong type.
  const VELASNLabelString label("target");
  EXPECT_EQ(errorOf([&] { delete t->getRecordByIndex(VELDBManager::KeySubjectName, label); }),
            VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { t->deleteRecordByIndex(VELDBManager::KeyPublicKeyInfo, label); }), VELDBError::kBadArgument);
}

// Certificates that collide with a stored one on one key each, from the
// signature on: the earliest taken key decides the number.
TEST_F(KeyStorageTest, CertificateKeysAreRefusedInOrderOnInsertAndUpdate) {
  Connection t(d_path, VELDBConnectInfo::ReadWrite);
  VELTestPKI::PKey keyB = VELTestPKI::makeKey();
  VELTestPKI::CertOptions serialB;
  serialB.serial = 1002;
  VELTestPKI::Cert certB = VELTestPKI::makeSelfSigned(keyB.get(), "CN=Beta", serialB);
  std::unique_ptr<VELASNKeyRecord> a = VELTestPKI::makeKeyRecord("alpha", "CN=Alpha");
  std::unique_ptr<VELASNKeyRecord> b = recordOf(certB.get(), keyB.get(), "beta");
  t->insertRecord(*a);
  t->insertRecord(*b);
  const std::string before = readAll(d_path);

  // The same certificate signed again (ECDSA signatures are randomised):
  // same to-be-signed part, new signature.
  VELTestPKI::Cert resignedB(X509_dup(certB.get()));
  ASSERT_GT(X509_sign(resignedB.get(), keyB.get(), EVP_sha256()), 0);
  serialB.days = 30;
  VELTestPKI::Cert sameSerialB = VELTestPKI::makeSelfSigned(keyB.get(), "CN=Beta", serialB);
  const std::pair<X509*, unsigned long> collisions[] = {{certB.get(), VELDBError::kDuplicateSignature},
                                                        {resignedB.get(), VELDBError::kDuplicateToBeSigned},
                                                        {sameSerialB.get(), VELDBError::kDuplicateIssuerAndSerial}};
  for (const auto& c : collisions) {
    std::unique_ptr<VELASNKeyRecord> r = recordOf(c.first, keyB.get(), "new");
    EXPECT_EQ(errorOf([&] { t->insertRecord(*r); }), c.second);
    r->setLabel("alpha");  // A onto B's keys
    EXPECT_EQ(errorOf([&] { t->updateRecordByIndex(VELDBManager::KeyLabel, *r); }), c.second);
  }
  EXPECT_EQ(readAll(d_path), before);
}

// One slot of 5000 bytes: `record` under the slot ID `id`, carrying `own`.
std::string slotOf(VELASNKeyRecord& record, std::uint32_t id, std::uint32_t own) {
  record.setRecordID(own);
  FileDBKeyRecordFields fields(nullptr, record, FileDBStorage::kRecordInUse, 0);
  fields.recordID = id;
  return slotImage(fields, 5000);
}

// IDs going backward, and a slot whose ID is not its record's own, are
// repaired in memory at every open and traced once an open.
TEST_F(KeyStorageTest, RecordIDsRepairedAtAnOpenAreTraced) {
  Records records;
  for (const char* label : {"five", "three", "nine"}) records.push_back(VELTestPKI::makeKeyRecord(label, "CN=Order"));
  int detected = 0;
  VELTrace::getDefault().setSink([&](const VELTraceRecord& r) {
    if (r.text == "badRecordIdCount detected") {
      ++detected;
      EXPECT_EQ(r.component, 8u);
      EXPECT_EQ(r.level, VELTraceLevel::kInfo);
    }
  });
  const struct {
    std::vector<std::string> slots;
    int traces;
  } files[] = {{{slotOf(*records[0], 5, 5), slotOf(*records[1], 3, 3), slotOf(*records[2], 9, 9)}, 1},
               {{slotOf(*records[0], 7, 8)}, 1},
               {{slotOf(*records[0], 1, 1), slotOf(*records[1], 2, 2)}, 0}};
  for (const auto& file : files) {
    unlink(d_path.c_str());
    writeTable(d_path, FileDBHeader::kKeyFileType, 2, false, 5000, file.slots);
    for (int round = 0; round < 2; ++round) {
      detected = 0;
      Connection t(d_path, VELDBConnectInfo::ReadOnly);
      EXPECT_EQ(detected, file.traces);
    }
  }
  VELTrace::getDefault().setSink(VELTrace::Sink());
}

}  // namespace
