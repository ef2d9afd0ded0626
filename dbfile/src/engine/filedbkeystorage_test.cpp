// Plan: key tables on disk and in memory, filled with generated and system CA certificates: every
// index finds every record, refusals leave the file byte-identical, growth, deletion and compaction,
// hand-written files (IDs out of order, old minor version, undecodable slots) and failed writes.
#include "filedbkeystorage.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "filedbjournaledfile.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "velfaultdisk.h"
#include "velplatform.h"
#include "veltestpki.h"
#include "veltestutil.h"
#include "veltrace.h"

namespace {

using VELTestUtil::readAll;

using Records = std::vector<std::unique_ptr<VELASNKeyRecord>>;

const unsigned char kKeyType[8] = {'X', '5', '0', '9', 'K', 'E', 'Y', 0};
const char kWrongType[] = "asnObj is invalid - wrong type";

using VELTestUtil::errorOf;
using VELTestUtil::password;
const char kSecret[] = "secret";

VELBuffer der(const VELASNObject& object) { return VELASNUtility::getDEREncoding(object); }

std::unique_ptr<VELASNKeyRecord> recordOf(X509* cert, EVP_PKEY* key, const std::string& label) {
  std::unique_ptr<VELASNKeyRecord> record(new VELASNKeyRecord());
  if (key != nullptr) {
    record->setKeyAndCertificate(VELTestPKI::derOf(cert).get(), VELTestPKI::encryptedPrivateKeyDER(key).get());
  } else {
    record->setCertificate(VELTestPKI::derOf(cert).get());
  }
  record->setLabel(label);
  return record;
}

// The same certificate signed again: same TBSCertificate, new signature
// (ECDSA signatures are randomised).
VELTestPKI::Cert resigned(X509* cert, EVP_PKEY* key) {
  VELTestPKI::Cert copy(X509_dup(cert));
  if (!copy || X509_sign(copy.get(), key, EVP_sha256()) <= 0) throw std::runtime_error("X509_sign");
  return copy;
}

VELASNx500Name nameOf(const std::string& text, VELTestPKI::NameEncoding encoding) {
  VELTestPKI::Name name = VELTestPKI::makeName(text, encoding);
  const VELBuffer bytes = VELTestPKI::derOf(name.get());
  return VELASNx500Name(bytes.get());
}

std::vector<std::string> labelsOf(const VELASNKeyRecordContainer& records) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < records.size(); ++i) out.push_back(records[i].getLabel().getValue());
  return out;
}

// One connection, given back when it goes out of scope.
class Table {
 public:
  Table(const VELDBConnectInfo::OBJECT& info, const VELString& name) {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    d_storage = FileDBKeyStorage::connectFile(info, name);
  }
  ~Table() { close(); }
  void close(bool deleteFile = false) {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    FileDBKeyStorage::disconnect(d_storage, deleteFile);
  }
  FileDBKeyStorage* operator->() const { return d_storage; }
  FileDBKeyStorage* get() const { return d_storage; }

  std::unique_ptr<VELASNKeyRecord> byLabel(const std::string& label) {
    return std::unique_ptr<VELASNKeyRecord>(
        d_storage->getRecordByIndex(VELDBManager::KeyLabel, VELASNLabelString(label)));
  }
  std::unique_ptr<VELASNKeyRecord> byID(unsigned id) {
    return std::unique_ptr<VELASNKeyRecord>(
        d_storage->getRecordByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(id)));
  }
  std::vector<std::string> allLabels() {
    std::unique_ptr<VELASNKeyRecordContainer> all(
        d_storage->getRecordByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
    return labelsOf(*all);
  }
  std::uint64_t liveCount() { return d_storage->getRecordCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)); }

 private:
  FileDBKeyStorage* d_storage = nullptr;
};

class KeyStorageTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void TearDown() override {
    VELFaultDisk::uninstall();
    VELTrace::getDefault().setSink(VELTrace::Sink());
  }
  VELDBConnectInfo::FILE info(VELDBConnectInfo::AccessMode mode,
                              VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Open) {
    return VELDBConnectInfo::FILE(d_dir + "/keys", password(kSecret), type, mode);
  }
  void create(VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Create) {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    FileDBKeyStorage::newFile(info(VELDBConnectInfo::ReadWrite, type), d_path);
  }
  std::unique_ptr<Table> open(VELDBConnectInfo::AccessMode mode = VELDBConnectInfo::ReadWrite) {
    return std::unique_ptr<Table>(new Table(info(mode), d_path));
  }
  unsigned long openError(VELDBConnectInfo::AccessMode mode, const std::string& path) {
    return errorOf([&] { Table t(info(mode), path); });
  }

  // A key file written slot by slot, sealed with the password.
  void writeFile(const std::string& path, bool v4, unsigned char minor, std::uint32_t length,
                 const std::vector<std::string>& slots) {
    VELKRYAlgorithmFactory factory;
    FileDBBinaryFile file;
    file.openNew(path);
    std::unique_ptr<FileDBHeader> header;
    if (v4) {
      header.reset(new FileDBHeaderV4(&factory));
    } else {
      header.reset(new FileDBHeaderV3(&factory));
    }
    header->setMinorVersionNumber(minor);
    header->setFileType(kKeyType);
    header->setFixedRecordLength(length);
    header->setRecordsAllocated(static_cast<std::uint32_t>(slots.size()));
    file.setPosition(header->getSize());
    for (const std::string& slot : slots) file.write(slot);
    header->setPasswordHeaderHash(password(kSecret));
    header->setPasswordDatabaseHash(file, password(kSecret));
    header->persist(file);
  }
  // One slot: the record's fields with `storedID` as the slot's record ID
  // (the record itself carries `encodedID`), then `tail` behind the fields.
  static std::string slotOf(VELASNKeyRecord& record, std::uint32_t storedID, std::uint32_t encodedID,
                            std::uint32_t flag, std::uint32_t length, const std::string& tail = "",
                            std::uint64_t* fieldsEnd = nullptr) {
    record.setRecordID(encodedID);
    FileDBKeyRecordFields fields(nullptr, record, flag, 0);
    fields.recordID = storedID;
    FileDBBuffer buffer(length);
    const std::uint64_t used = fields.toBuffer(buffer);
    if (fieldsEnd != nullptr) *fieldsEnd = used;
    if (!tail.empty()) buffer.put(tail.data(), tail.size());
    return std::string(reinterpret_cast<const char*>(buffer.data()), length);
  }

  const std::string d_path = FileDBBinaryFile::fullPathName(d_dir + "/keys.vkey");
};

// Checks that every unique index finds every record and that the two multi
// indexes return exactly the records sharing the subject name or key.
void expectEveryIndexFindsEveryRecord(Table& t, const Records& records) {
  auto same = [](const VELASNKeyRecord* got, const VELASNKeyRecord& want) {
    return got != nullptr && der(*got) == der(want);
  };
  for (const auto& r : records) {
    const VELASNCertificate& cert = r->getCertificate();
    const std::string label = r->getLabel().getValue();
    const VELASNInteger id = r->getRecordID();
    const VELASNLabelString labelKey(label);
    const VELASNBitString signature = cert.getSignature();
    const VELASNTBSCertificate tbs = cert.getTBSCertificate();
    const VELASNIssuerAndSerialNumber ias = VELASNUtility::getIssuerAndSerialNumber(cert);
    const std::pair<VELDBManager::KeyUniqueIndex, const VELASNObject*> keys[] = {
        {VELDBManager::KeyRecordID, &id},
        {VELDBManager::KeyLabel, &labelKey},
        {VELDBManager::KeySignature, &signature},
        {VELDBManager::KeyTBSCertificate, &tbs},
        {VELDBManager::KeyIssuerAndSerialNumber, &ias}};
    for (const auto& key : keys) {
      std::unique_ptr<VELASNKeyRecord> got(t->getRecordByIndex(key.first, *key.second));
      EXPECT_TRUE(same(got.get(), *r)) << label << " index " << key.first;
      EXPECT_EQ(t->getRecordCountByIndex(key.first, *key.second), 1u) << label << " index " << key.first;
    }

    std::vector<std::string> sameName, sameKey;
    for (const auto& other : records) {
      const VELASNCertificate& c = other->getCertificate();
      if (VELBuffer(c.getSubjectEncoding()) == VELBuffer(cert.getSubjectEncoding())) {
        sameName.push_back(other->getLabel().getValue());
      }
      if (VELBuffer(c.getSubjectPublicKeyInfoEncoding()) == VELBuffer(cert.getSubjectPublicKeyInfoEncoding())) {
        sameKey.push_back(other->getLabel().getValue());
      }
    }
    std::sort(sameName.begin(), sameName.end());
    std::sort(sameKey.begin(), sameKey.end());
    const VELASNx500Name subject = cert.getSubject();
    const VELASNSubjectPublicKeyInfo spki = cert.getSubjectPublicKeyInfo();
    std::unique_ptr<VELASNKeyRecordContainer> byName(t->getRecordByIndex(VELDBManager::KeySubjectName, subject));
    std::vector<std::string> got = labelsOf(*byName);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, sameName) << label;
    EXPECT_EQ(t->getRecordCountByIndex(VELDBManager::KeySubjectName, subject), sameName.size()) << label;
    std::unique_ptr<VELASNKeyRecordContainer> byKey(t->getRecordByIndex(VELDBManager::KeyPublicKeyInfo, spki));
    got = labelsOf(*byKey);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, sameKey) << label;
    EXPECT_EQ(t->getRecordCountByIndex(VELDBManager::KeyPublicKeyInfo, spki), sameKey.size()) << label;
  }
}

TEST_F(KeyStorageTest, EveryIndexFindsEveryRecordOfGeneratedAndSystemCertificates) {
  create();
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
  std::unique_ptr<Table> t = open();
  unsigned expectedID = 0;
  for (auto& r : records) {
    t->get()->insertRecord(*r);
    EXPECT_EQ(VELDBUtility::asnToRecordID(r->getRecordID()), ++expectedID);
  }
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
    t->get()->insertRecord(*r);
    records.push_back(std::move(r));
    ++fromBundle;
  }
  if (!bundle.empty()) {
    EXPECT_EQ(fromBundle, 30u);
  }
  EXPECT_EQ(t->liveCount(), records.size());
  expectEveryIndexFindsEveryRecord(*t, records);

  // The indexes built when the file is opened are the same.
  t->close();
  t = open(VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(t->get()->getLastRecordID(), records.size());
  expectEveryIndexFindsEveryRecord(*t, records);
}

TEST_F(KeyStorageTest, SubjectNameInAnotherEncodingIsFoundByTheScan) {
  create();
  std::unique_ptr<Table> t = open();
  VELTestPKI::PKey key = VELTestPKI::makeKey();
  VELTestPKI::CertOptions printable;
  printable.subjectEncoding = VELTestPKI::NameEncoding::Printable;
  VELTestPKI::Cert cert = VELTestPKI::makeSelfSigned(key.get(), "CN=Scan Target,O=Example,C=US", printable);
  std::unique_ptr<VELASNKeyRecord> target = recordOf(cert.get(), key.get(), "target");
  t->get()->insertRecord(*target);
  std::unique_ptr<VELASNKeyRecord> other = VELTestPKI::makeKeyRecord("other", "CN=Other,O=Example,C=US");
  t->get()->insertRecord(*other);

  const VELASNx500Name utf8 = nameOf("CN=Scan Target,O=Example,C=US", VELTestPKI::NameEncoding::UTF8);
  ASSERT_NE(der(utf8), VELBuffer(target->getCertificate().getSubjectEncoding()));
  const VELASNx500Name upper = nameOf("CN=SCAN TARGET,O=EXAMPLE,C=US", VELTestPKI::NameEncoding::Printable);
  for (const VELASNx500Name* name : {&utf8, &upper}) {
    std::unique_ptr<VELASNKeyRecordContainer> found(t->get()->getRecordByIndex(VELDBManager::KeySubjectName, *name));
    EXPECT_EQ(labelsOf(*found), std::vector<std::string>{"target"});
    // Counting uses the digest alone.
    EXPECT_EQ(t->get()->getRecordCountByIndex(VELDBManager::KeySubjectName, *name), 0u);
  }
  const VELASNx500Name nobody = nameOf("CN=Nobody,O=Example,C=US", VELTestPKI::NameEncoding::UTF8);
  std::unique_ptr<VELASNKeyRecordContainer> none(t->get()->getRecordByIndex(VELDBManager::KeySubjectName, nobody));
  EXPECT_TRUE(none->empty());
}

TEST_F(KeyStorageTest, UniqueKeyRefusalsLeaveFileAndIndexesUnchanged) {
  create();
  std::unique_ptr<Table> t = open();
  VELTestPKI::PKey keyA = VELTestPKI::makeKey();
  VELTestPKI::PKey keyB = VELTestPKI::makeKey();
  VELTestPKI::CertOptions serialA, serialB;
  serialA.serial = 1001;
  serialB.serial = 1002;
  VELTestPKI::Cert certA = VELTestPKI::makeSelfSigned(keyA.get(), "CN=Alpha", serialA);
  VELTestPKI::Cert certB = VELTestPKI::makeSelfSigned(keyB.get(), "CN=Beta", serialB);
  std::unique_ptr<VELASNKeyRecord> a = recordOf(certA.get(), keyA.get(), "alpha");
  std::unique_ptr<VELASNKeyRecord> b = recordOf(certB.get(), keyB.get(), "beta");
  t->get()->insertRecord(*a);
  t->get()->insertRecord(*b);
  const std::string before = readAll(d_path);

  // Certificates that collide with B on one key each, from the signature on.
  VELTestPKI::Cert resignedB = resigned(certB.get(), keyB.get());
  serialB.days = 30;
  VELTestPKI::Cert sameSerialB = VELTestPKI::makeSelfSigned(keyB.get(), "CN=Beta", serialB);
  VELTestPKI::PKey keyC = VELTestPKI::makeKey();
  VELTestPKI::Cert certC = VELTestPKI::makeSelfSigned(keyC.get(), "CN=Gamma");

  struct Case {
    X509* cert;
    const char* label;
    unsigned long error;
  };
  const Case inserts[] = {{certC.get(), "beta", VELDBError::kDuplicateLabel},
                          {certB.get(), "new", VELDBError::kDuplicateSignature},
                          {resignedB.get(), "new", VELDBError::kDuplicateToBeSigned},
                          {sameSerialB.get(), "new", VELDBError::kDuplicateIssuerAndSerial}};
  for (const Case& c : inserts) {
    std::unique_ptr<VELASNKeyRecord> r = recordOf(c.cert, nullptr, c.label);
    EXPECT_EQ(errorOf([&] { t->get()->insertRecord(*r); }), c.error);
    EXPECT_EQ(VELDBUtility::asnToRecordID(r->getRecordID()), 3u);  // the ID that was proposed
    EXPECT_EQ(readAll(d_path), before);
  }
  // Updates of A onto B's keys.
  const Case updates[] = {{certB.get(), "alpha", VELDBError::kDuplicateSignature},
                          {resignedB.get(), "alpha", VELDBError::kDuplicateToBeSigned},
                          {sameSerialB.get(), "alpha", VELDBError::kDuplicateIssuerAndSerial}};
  for (const Case& c : updates) {
    std::unique_ptr<VELASNKeyRecord> r = recordOf(c.cert, nullptr, c.label);
    EXPECT_EQ(errorOf([&] { t->get()->updateRecordByIndex(VELDBManager::KeyLabel, *r); }), c.error);
    EXPECT_EQ(readAll(d_path), before);
  }
  std::unique_ptr<VELASNKeyRecord> takeLabel = recordOf(certC.get(), nullptr, "beta");
  takeLabel->setRecordID(1);
  EXPECT_EQ(errorOf([&] { t->get()->updateRecordByIndex(VELDBManager::KeyRecordID, *takeLabel); }),
            VELDBError::kDuplicateLabel);
  takeLabel->setRecordID(99);
  std::string message;
  EXPECT_EQ(errorOf([&] { t->get()->updateRecordByIndex(VELDBManager::KeyRecordID, *takeLabel); }, &message),
            VELDBError::kNoMatchingRecord);
  EXPECT_EQ(message, "no matching record");
  std::unique_ptr<VELASNKeyRecord> unknownLabel = recordOf(certC.get(), nullptr, "nobody");
  EXPECT_EQ(errorOf([&] { t->get()->updateRecordByIndex(VELDBManager::KeyLabel, *unknownLabel); }),
            VELDBError::kNoMatchingRecord);
  EXPECT_EQ(readAll(d_path), before);
  EXPECT_EQ(t->liveCount(), 2u);
  EXPECT_EQ(t->get()->getLastRecordID(), 2u);

  // A successful update by label keeps the record's ID and slot.
  std::unique_ptr<VELASNKeyRecord> newA = recordOf(certC.get(), keyC.get(), "alpha");
  t->get()->updateRecordByIndex(VELDBManager::KeyLabel, *newA);
  EXPECT_EQ(VELDBUtility::asnToRecordID(newA->getRecordID()), 1u);
  EXPECT_EQ(readAll(d_path).size(), before.size());
  std::unique_ptr<VELASNKeyRecord> atFirstSlot(t->get()->getRecordAt(t->get()->getFileHeader()->getSize()));
  ASSERT_NE(atFirstSlot, nullptr);
  EXPECT_EQ(der(*atFirstSlot), der(*newA));
  EXPECT_EQ(t->get()->getRecordByIndex(VELDBManager::KeySignature, a->getCertificate().getSignature()), nullptr);
  std::unique_ptr<VELASNKeyRecord> bySignature(
      t->get()->getRecordByIndex(VELDBManager::KeySignature, newA->getCertificate().getSignature()));
  ASSERT_NE(bySignature, nullptr);
  EXPECT_EQ(bySignature->getLabel().getValue(), "alpha");
  // A's old certificate is free again.
  std::unique_ptr<VELASNKeyRecord> oldA = recordOf(certA.get(), nullptr, "old alpha");
  t->get()->insertRecord(*oldA);
  t->close();
  t = open(VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"alpha", "beta", "old alpha"}));
}

TEST_F(KeyStorageTest, LargeRecordsGrowTheRecordLengthInThousandByteSteps) {
  create(VELDBConnectInfo::CreateV4);
  std::unique_ptr<Table> t = open();
  Records records;
  for (int i = 0; i < 3; ++i) {
    records.push_back(VELTestPKI::makeKeyRecord("small-" + std::to_string(i), "CN=Small"));
    t->get()->insertRecord(*records.back());
    EXPECT_EQ(readAll(d_path).size(), 88u + 5000u * (i + 1));
  }
  auto grownLength = [](std::uint64_t size) { return 5000 + (size - 5000 + 999) / 1000 * 1000; };

  records.push_back(VELTestPKI::makeKeyRecord(std::string(6000, 'L'), "CN=Big"));
  records.back()->setRecordID(4);
  const std::uint64_t bigSize = FileDBKeyRecordFields(nullptr, *records.back(), 1, 0).getSize();
  ASSERT_GT(bigSize, 11000u);
  t->get()->insertRecord(*records.back());
  const std::uint64_t length = grownLength(bigSize);
  EXPECT_EQ(t->get()->getFileHeader()->getFixedRecordLength(), length);
  EXPECT_EQ(readAll(d_path).size(), 88u + 4 * length);
  for (const auto& r : records) {
    std::unique_ptr<VELASNKeyRecord> got = t->byLabel(r->getLabel().getValue());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(der(*got), der(*r));
  }

  // An update that does not fit grows the length again and lands in place.
  records[1]->setLabel(std::string(length, 'U'));
  t->get()->updateRecordByIndex(VELDBManager::KeyRecordID, *records[1]);
  const std::uint64_t longer = t->get()->getFileHeader()->getFixedRecordLength();
  EXPECT_GT(longer, length);
  EXPECT_EQ((longer - 5000) % 1000, 0u);
  EXPECT_EQ(readAll(d_path).size(), 88u + 4 * longer);
  std::unique_ptr<VELASNKeyRecord> second(t->get()->getRecordAt(88 + longer));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(der(*second), der(*records[1]));

  // Both hashes verify on reopening; every record is still there.
  t->close();
  t = open(VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(t->get()->getFileHeader()->getFixedRecordLength(), longer);
  for (const auto& r : records) {
    std::unique_ptr<VELASNKeyRecord> got = t->byLabel(r->getLabel().getValue());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(der(*got), der(*r));
  }
}

TEST_F(KeyStorageTest, DeletedRecordsGoWhenTheLastConnectionClosesAndIDsContinue) {
  create();
  std::unique_ptr<Table> t = open();
  Records records;
  EVP_PKEY* sharedKey = VELTestPKI::sharedKey(VELTestPKI::KeyType::EC_P256);
  for (int i = 1; i <= 10; ++i) {
    const std::string label = "r" + std::to_string(i);
    if (i == 1 || i == 3) {
      VELTestPKI::Cert cert = VELTestPKI::makeSelfSigned(sharedKey, "CN=Key Holder " + label);
      records.push_back(recordOf(cert.get(), sharedKey, label));
    } else {
      records.push_back(VELTestPKI::makeKeyRecord(label, i == 5 || i == 6 ? "CN=Twin" : "CN=" + label));
    }
    t->get()->insertRecord(*records.back());
  }
  const std::size_t size = readAll(d_path).size();

  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeyLabel, VELASNLabelString("r2")), 1u);
  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeyLabel, VELASNLabelString("r2")), 0u);
  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(4)), 1u);
  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeyPublicKeyInfo,
                                          records[0]->getCertificate().getSubjectPublicKeyInfo()),
            2u);
  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeySubjectName, records[4]->getCertificate().getSubject()), 2u);
  // The last record deleted too: IDs still continue after it.
  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeySignature, records[9]->getCertificate().getSignature()), 1u);
  EXPECT_EQ(t->byLabel("r2"), nullptr);
  EXPECT_EQ(t->get()->getRecordCountByIndex(VELDBManager::KeyLabel, VELASNLabelString("r5")), 0u);
  EXPECT_EQ(t->liveCount(), 3u);
  EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"r7", "r8", "r9"}));
  EXPECT_EQ(readAll(d_path).size(), size);  // deleted slots stay until the close
  std::unique_ptr<VELASNKeyRecord> r11 = VELTestPKI::makeKeyRecord("r11", "CN=r11");
  t->get()->insertRecord(*r11);
  EXPECT_EQ(VELDBUtility::asnToRecordID(r11->getRecordID()), 11u);

  // A second connection shares the storage: its close compacts nothing.
  std::unique_ptr<Table> second = open(VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(second->get(), t->get());
  second->close();
  EXPECT_EQ(readAll(d_path).size(), size + 5000);
  t->close();
  EXPECT_EQ(readAll(d_path).size(), 80u + 4 * 5000);

  t = open();
  EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"r7", "r8", "r9", "r11"}));
  EXPECT_EQ(t->liveCount(), 4u);
  std::unique_ptr<VELASNKeyRecord> r12 = VELTestPKI::makeKeyRecord("r12", "CN=r12");
  t->get()->insertRecord(*r12);
  EXPECT_EQ(VELDBUtility::asnToRecordID(r12->getRecordID()), 12u);
  std::unique_ptr<VELASNKeyRecord> found = t->byID(9);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->getLabel().getValue(), "r9");
  t->close(true);
  EXPECT_FALSE(FileDBBinaryFile::exists(d_path));
}

// A slot in a state this table never writes (0 or 3, from another writer)
// is shown as a record; the compaction at close must keep it.
TEST_F(KeyStorageTest, CompactionKeepsEveryRecordTheTableShows) {
  Records records;
  for (const char* label : {"in use", "deleted", "state 0", "state 3"}) {
    records.push_back(VELTestPKI::makeKeyRecord(label, "CN=States"));
  }
  writeFile(d_path, false, 2, 5000,
            {slotOf(*records[0], 1, 1, 1, 5000), slotOf(*records[1], 2, 2, 2, 5000), slotOf(*records[2], 3, 3, 0, 5000),
             slotOf(*records[3], 4, 4, 3, 5000)});
  std::unique_ptr<Table> t = open();
  EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"in use", "state 0", "state 3"}));
  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeyLabel, VELASNLabelString("in use")), 1u);
  t->close();  // the delete asks for compaction
  EXPECT_EQ(readAll(d_path).size(), 80u + 2 * 5000);
  t = open(VELDBConnectInfo::ReadOnly);
  EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"state 0", "state 3"}));
  t->close();
}

TEST_F(KeyStorageTest, RecordIDsOutOfOrderAreRepairedInMemoryAtEveryOpen) {
  Records records;
  for (const char* label : {"five", "three", "nine"}) records.push_back(VELTestPKI::makeKeyRecord(label, "CN=Order"));
  writeFile(
      d_path, false, 2, 5000,
      {slotOf(*records[0], 5, 5, 1, 5000), slotOf(*records[1], 3, 3, 1, 5000), slotOf(*records[2], 9, 9, 1, 5000)});
  const std::string original = readAll(d_path);
  int detected = 0;
  VELTrace::getDefault().setSink([&](const VELTraceRecord& r) {
    if (r.text == "badRecordIdCount detected") {
      ++detected;
      EXPECT_EQ(r.component, 8u);
      EXPECT_EQ(r.level, VELTraceLevel::kInfo);
    }
  });

  for (int round = 0; round < 2; ++round) {
    detected = 0;
    std::unique_ptr<Table> t = open(VELDBConnectInfo::ReadOnly);
    EXPECT_EQ(detected, 1);
    EXPECT_EQ(t->get()->getLastRecordID(), 9u);
    EXPECT_EQ(t->byID(3), nullptr);
    const std::pair<unsigned, const char*> expected[] = {{5, "five"}, {6, "three"}, {9, "nine"}};
    for (const auto& e : expected) {
      std::unique_ptr<VELASNKeyRecord> got = t->byID(e.first);
      ASSERT_NE(got, nullptr) << e.first;
      EXPECT_EQ(got->getLabel().getValue(), e.second);
    }
    // The record is handed out under the ID that finds it again, not the
    // stale one in its slot; the file itself is not changed.
    EXPECT_EQ(VELDBUtility::asnToRecordID(t->byID(6)->getRecordID()), 6u);
    t->close();
    EXPECT_EQ(readAll(d_path), original);
  }

  // Deleting every record reaches the repaired slot too (through its
  // repaired ID), so that compaction empties the file.
  detected = 0;
  std::unique_ptr<Table> t = open();
  std::unique_ptr<VELASNKeyRecord> ten = VELTestPKI::makeKeyRecord("ten", "CN=Ten");
  t->get()->insertRecord(*ten);
  EXPECT_EQ(VELDBUtility::asnToRecordID(ten->getRecordID()), 10u);
  EXPECT_EQ(t->liveCount(), 4u);
  EXPECT_EQ(t->get()->deleteRecordByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)), 4u);
  EXPECT_EQ(t->liveCount(), 0u);
  EXPECT_TRUE(t->allLabels().empty());
  t->close();
  EXPECT_EQ(readAll(d_path).size(), 80u);

  // A slot whose stored ID (7) differs from its record's (8) is indexed
  // under the stored one and counted as repaired.
  const std::string path2 = d_path + "2";
  writeFile(path2, false, 2, 5000, {slotOf(*records[0], 7, 8, 1, 5000)});
  detected = 0;
  {
    Table t2(info(VELDBConnectInfo::ReadOnly), path2);
    EXPECT_EQ(detected, 1);
    EXPECT_EQ(t2->getLastRecordID(), 7u);
    std::unique_ptr<VELASNKeyRecord> got = t2.byID(7);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(VELDBUtility::asnToRecordID(got->getRecordID()), 7u);
  }
  // Repairing past the last record ID would wrap to 0: refused.
  unlink(path2.c_str());
  writeFile(path2, false, 2, 5000,
            {slotOf(*records[0], 0xFFFFFFFFu, 0xFFFFFFFFu, 1, 5000), slotOf(*records[1], 3, 3, 1, 5000)});
  EXPECT_EQ(openError(VELDBConnectInfo::ReadOnly, path2), VELDBError::kRecordIDRollover);
}

TEST_F(KeyStorageTest, MinorVersionOneTailsAreClearedOnlyByAReadWriteOpen) {
  for (bool v4 : {false, true}) {
    SCOPED_TRACE(v4 ? "version 4" : "version 3");
    unlink(d_path.c_str());
    Records records;
    for (const char* label : {"kept", "deleted", "clean"}) records.push_back(VELTestPKI::makeKeyRecord(label, "CN=V1"));
    std::uint64_t ends[3];
    const std::string garbage = "left over from an older writer";
    writeFile(
        d_path, v4, 1, 5000,
        {slotOf(*records[0], 1, 1, 1, 5000, garbage, &ends[0]), slotOf(*records[1], 2, 2, 2, 5000, garbage, &ends[1]),
         slotOf(*records[2], 3, 3, 1, 5000, "", &ends[2])});
    const std::string original = readAll(d_path);
    const std::size_t header = v4 ? 88 : 80;

    std::unique_ptr<Table> t = open(VELDBConnectInfo::ReadOnly);
    EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"kept", "clean"}));
    EXPECT_EQ(t->get()->getFileHeader()->getMinorVersionNumber(), 1);
    t->close();
    EXPECT_EQ(readAll(d_path), original);

    t = open();
    EXPECT_EQ(t->get()->getFileHeader()->getMinorVersionNumber(), 2);
    EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"kept", "clean"}));
    const std::string cleaned = readAll(d_path);
    ASSERT_EQ(cleaned.size(), original.size());
    for (int i = 0; i < 3; ++i) {
      const std::size_t from = header + 5000 * i + ends[i];
      const std::size_t to = header + 5000 * (i + 1);
      EXPECT_EQ(cleaned.compare(from, to - from, std::string(to - from, '\0')), 0) << "slot " << i;
      EXPECT_EQ(cleaned.compare(header + 5000 * i, ends[i], original, header + 5000 * i, ends[i]), 0);
    }
    t->close();  // the deleted slot sets the purge flag
    EXPECT_EQ(readAll(d_path).size(), header + 2 * 5000);
    t = open(VELDBConnectInfo::ReadOnly);
    EXPECT_EQ(t->get()->getFileHeader()->getMinorVersionNumber(), 2);
    EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"kept", "clean"}));
    t->close();
  }
}

TEST_F(KeyStorageTest, AnOpenThatFailsLeavesTheFileOpenableAndUncompacted) {
  for (bool withDeleted : {false, true}) {
    SCOPED_TRACE(withDeleted ? "with a deleted slot" : "without a deleted slot");
    unlink(d_path.c_str());
    Records records;
    for (const char* label : {"first", "broken"}) records.push_back(VELTestPKI::makeKeyRecord(label, "CN=Broken"));
    std::string broken = slotOf(*records[1], 2, 2, 1, 5000);
    const std::size_t encodingStart = 12;  // flag, ID, length
    broken[encodingStart] = 0x04;          // the record no longer decodes
    writeFile(d_path, false, 1, 5000, {slotOf(*records[0], 1, 1, withDeleted ? 2 : 1, 5000, "dirty tail"), broken});
    const std::size_t size = readAll(d_path).size();
    EXPECT_EQ(openError(VELDBConnectInfo::ReadWrite, d_path), VELDBError::kBadArgument);
    EXPECT_EQ(readAll(d_path).size(), size);
    // Still sealed: the next open fails on the slot again, not on the hash.
    EXPECT_EQ(openError(VELDBConnectInfo::ReadOnly, d_path), VELDBError::kBadArgument);
  }
}

// The open checks the database hash on the same pass that builds the
// indexes.  Whatever the walk meets in a damaged file, the open reports the
// damage, and it writes nothing to a file whose hash it has not checked.
TEST_F(KeyStorageTest, DamageIsReportedAsAHashMismatchAndNothingIsWritten) {
  Records records;
  for (const char* label : {"first", "second"}) records.push_back(VELTestPKI::makeKeyRecord(label, "CN=Damage"));
  std::string undecodable = slotOf(*records[1], 2, 2, 1, 5000);
  undecodable[12] = 0x04;  // the record's encoding no longer decodes
  const unsigned char crlType[8] = {'X', '5', '0', '9', 'C', 'R', 'L', 0};
  struct Case {
    const char* what;
    unsigned char minor;
    std::vector<std::string> slots;
    const unsigned char* fileType;
  };
  const Case cases[] = {
      {"a record that does not decode", 2, {slotOf(*records[0], 1, 1, 1, 5000), undecodable}, kKeyType},
      {"a minor-version-1 tail the open would clear",
       1,
       {slotOf(*records[0], 1, 1, 1, 5000, "old tail"), slotOf(*records[1], 2, 2, 1, 5000)},
       kKeyType},
      {"another table's file type", 2, {slotOf(*records[0], 1, 1, 1, 5000)}, crlType},
  };
  for (bool v4 : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (v4 ? ", version 4" : ", version 3"));
      unlink(d_path.c_str());
      writeFile(d_path, v4, c.minor, 5000, c.slots);
      if (c.fileType != kKeyType) {
        FileDBBinaryFile file(d_path, VELDBConnectInfo::ReadWrite);
        file.setPosition(std::uint64_t{FileDBHeader::kFileTypeOffset});
        file.write(c.fileType, FileDBHeader::kFileTypeSize);
        VELKRYAlgorithmFactory factory;
        std::unique_ptr<FileDBHeader> header(v4 ? static_cast<FileDBHeader*>(new FileDBHeaderV4(&factory, file))
                                                : new FileDBHeaderV3(&factory, file));
        header->setPasswordHeaderHash(password(kSecret));
        header->setPasswordDatabaseHash(file, password(kSecret));
        header->persist(file);
      }
      std::string damaged = readAll(d_path);
      damaged[damaged.size() - 1] ^= 0x01;  // the last slot's padding
      VELTestUtil::writeAll(d_path, damaged);
      EXPECT_EQ(openError(VELDBConnectInfo::ReadOnly, d_path), VELDBError::kHashMismatch);
      EXPECT_EQ(openError(VELDBConnectInfo::ReadWrite, d_path), VELDBError::kHashMismatch);
      EXPECT_TRUE(readAll(d_path) == damaged) << "the damaged file was written to";
      EXPECT_FALSE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(d_path)));
    }
  }
}

TEST_F(KeyStorageTest, AFailedAppendLeavesTheTableOpenable) {
  // Write 1 of an insert is the slot, write 2 the header.
  for (int failAt : {1, 2}) {
    SCOPED_TRACE(failAt);
    unlink(d_path.c_str());
    create();
    std::unique_ptr<Table> t = open();
    Records records;
    for (int i = 0; i < 2; ++i) {
      records.push_back(VELTestPKI::makeKeyRecord("before-" + std::to_string(i), "CN=Before"));
      t->get()->insertRecord(*records.back());
    }
    std::unique_ptr<VELASNKeyRecord> failed = VELTestPKI::makeKeyRecord("failed", "CN=Failed");
    VELFaultDisk::install();
    VELFaultDisk::fail(VELFaultDisk::kWrite, failAt, ENOSPC);
    EXPECT_EQ(errorOf([&] { t->get()->insertRecord(*failed); }), VELDBError::kWrite);
    VELFaultDisk::uninstall();
    EXPECT_EQ(readAll(d_path).size(), 80u + 2 * 5000);
    EXPECT_EQ(t->liveCount(), 2u);
    EXPECT_EQ(t->byLabel("failed"), nullptr);
    EXPECT_EQ(t->get()->getRecordCountByIndex(VELDBManager::KeySubjectName, failed->getCertificate().getSubject()), 0u);
    // The table goes on.  The failed insert had handed out ID 3 (it is in
    // the caller's record): the retry takes the next one.
    t->get()->insertRecord(*failed);
    EXPECT_EQ(VELDBUtility::asnToRecordID(failed->getRecordID()), 4u);
    t->close();
    t = open(VELDBConnectInfo::ReadOnly);
    EXPECT_EQ(t->allLabels(), (std::vector<std::string>{"before-0", "before-1", "failed"}));
  }
}

TEST_F(KeyStorageTest, IndexValuesAndObjectsOfTheWrongTypeAreRefused) {
  create();
  std::unique_ptr<Table> t = open();
  std::unique_ptr<VELASNKeyRecord> r = VELTestPKI::makeKeyRecord("only", "CN=Only");
  t->get()->insertRecord(*r);
  const std::string before = readAll(d_path);
  const VELASNInteger id(1);
  const auto unique5 = static_cast<VELDBManager::KeyUniqueIndex>(5);
  const auto multi3 = static_cast<VELDBManager::KeyMultiIndex>(3);
  FileDBKeyStorage* s = t->get();
  const std::function<void()> calls[] = {
      [&] { delete s->getRecordByIndex(unique5, id); }, [&] { s->getRecordCountByIndex(unique5, id); },
      [&] { s->deleteRecordByIndex(unique5, id); },     [&] { s->updateRecordByIndex(unique5, *r); },
      [&] { delete s->getRecordByIndex(multi3, id); },  [&] { s->getRecordCountByIndex(multi3, id); },
      [&] { s->deleteRecordByIndex(multi3, id); }};
  for (const auto& call : calls) {
    std::string message;
    EXPECT_EQ(errorOf(call, &message), VELDBError::kBadArgument);
    EXPECT_EQ(message, kWrongType);
  }
  const VELASNLabelString label("only");
  EXPECT_EQ(errorOf([&] { delete s->getRecordByIndex(VELDBManager::KeyRecordID, label); }), VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { delete s->getRecordByIndex(VELDBManager::KeyLabel, id); }), VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { delete s->getRecordByIndex(VELDBManager::KeySubjectName, label); }),
            VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { s->deleteRecordByIndex(VELDBManager::KeyPublicKeyInfo, label); }), VELDBError::kBadArgument);
  EXPECT_EQ(t->liveCount(), 1u);
  EXPECT_EQ(readAll(d_path), before);
}

TEST_F(KeyStorageTest, NewFilesAndTheFilesTheTableRefuses) {
  create();
  EXPECT_EQ(readAll(d_path).size(), 80u);
  {
    std::unique_ptr<Table> t = open();
    EXPECT_EQ(t->get()->getLastRecordID(), 0u);
    EXPECT_EQ(t->liveCount(), 0u);
    EXPECT_EQ(t->get()->getInstanceName(), "FileDBKeyStorage");
    EXPECT_TRUE(t->get()->isKindOf("FileDBKeyStorage"));
    EXPECT_FALSE(t->get()->isKindOf("FileDBStorage"));
  }
  EXPECT_EQ(readAll(d_path).size(), 80u);
  unlink(d_path.c_str());
  create(VELDBConnectInfo::CreateV4);
  EXPECT_EQ(readAll(d_path).size(), 88u);
  EXPECT_EQ(errorOf([&] { create(); }), VELDBError::kFileExists);

  const unsigned char keyPairType[8] = {'X', '5', '0', '9', 'K', 'Y', 'P', 0};
  const unsigned char crlType[8] = {'X', '5', '0', '9', 'C', 'R', 'L', 0};
  const std::pair<unsigned char, const unsigned char*> refused[] = {
      {2, keyPairType}, {2, crlType}, {0, kKeyType}, {3, kKeyType}};
  for (const auto& file : refused) {
    unlink(d_path.c_str());
    FileDBStorage::newFile(info(VELDBConnectInfo::ReadWrite, VELDBConnectInfo::Create), d_path, file.first,
                           file.second);
    EXPECT_EQ(openError(VELDBConnectInfo::ReadWrite, d_path), VELDBError::kBadFormat);
    EXPECT_EQ(FileDBStorage::referenceCount(d_path), 0u);
  }
}

TEST_F(KeyStorageTest, StringConnectionsWorkAlikeAndAreNeverShared) {
  VELString image;
  VELDBConnectInfo::STRING rw("memory", &image, password(kSecret), VELDBConnectInfo::Create,
                              VELDBConnectInfo::ReadWrite);
  FileDBKeyStorage::newFile(rw, "memory");
  EXPECT_EQ(image.size(), 80u);
  Records records;
  std::uint32_t length = 0;
  {
    Table t(rw, "memory");
    {
      Table other(rw, "memory");
      EXPECT_NE(other.get(), t.get());
      EXPECT_EQ(FileDBStorage::referenceCount("memory"), 0u);
    }
    for (int i = 0; i < 4; ++i) {
      records.push_back(VELTestPKI::makeKeyRecord("mem-" + std::to_string(i), "CN=Memory"));
      t->insertRecord(*records.back());
    }
    records.push_back(VELTestPKI::makeKeyRecord(std::string(5500, 'M'), "CN=Memory"));
    t->insertRecord(*records.back());
    const std::uint64_t size = FileDBKeyRecordFields(nullptr, *records.back(), 1, 0).getSize();
    length = static_cast<std::uint32_t>(5000 + (size - 5000 + 999) / 1000 * 1000);
    EXPECT_EQ(t->getFileHeader()->getFixedRecordLength(), length);
    EXPECT_EQ(t->deleteRecordByIndex(VELDBManager::KeyLabel, VELASNLabelString("mem-1")), 1u);
    EXPECT_EQ(t.liveCount(), 4u);
    std::unique_ptr<VELASNKeyRecordContainer> byName(
        t->getRecordByIndex(VELDBManager::KeySubjectName, records[0]->getCertificate().getSubject()));
    EXPECT_EQ(byName->size(), 4u);
    EXPECT_EQ(FileDBStorage::referenceCount("memory"), 0u);
  }
  EXPECT_EQ(image.size(), 80u + 4 * length);  // compacted in memory
  VELDBConnectInfo::STRING ro("memory", &image, password(kSecret), VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly);
  Table t(ro, "memory");
  EXPECT_EQ(t.allLabels(),
            (std::vector<std::string>{"mem-0", "mem-2", "mem-3", records.back()->getLabel().getValue()}));
  std::unique_ptr<VELASNKeyRecord> got = t.byID(5);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(der(*got), der(*records.back()));
}

}  // namespace
