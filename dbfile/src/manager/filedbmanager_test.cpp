// Plan: drive whole databases through the manager: create and open the three files in every
// connect type, refuse and tolerate broken files, share storages, STRING databases, every
// record and settings operation on all three tables, and many threads on one database.
#include "filedbmanager.h"

#include "filedbkeystorage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "filedbstorage.h"
#include "velfaultdisk.h"
#include "velexception.h"
#include "velplatform.h"
#include "veltestpki.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::errorOf;
using VELTestUtil::password;

bool exists(const VELString& path) { return ::access(path.c_str(), F_OK) == 0; }

class ForeignIterator : public VELDBIterator {};

class FileDBManagerTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  VELString keyPath() const { return d_base + ".vkey"; }
  VELString keyPairPath() const { return d_base + ".vkyp"; }
  VELString crlPath() const { return d_base + ".vcrl"; }

  VELDBConnectInfo::FILE info(int type, int mode = 1, const VELPasswordEncryptor& pw = VELPasswordEncryptor()) const {
    return VELDBConnectInfo::FILE(d_base, pw, static_cast<VELDBConnectInfo::ConnectType>(type),
                                  static_cast<VELDBConnectInfo::AccessMode>(mode));
  }
  std::unique_ptr<FileDBManager> open(int type, int mode = 1,
                                      const VELPasswordEncryptor& pw = VELPasswordEncryptor()) const {
    return std::unique_ptr<FileDBManager>(new FileDBManager(info(type, mode, pw)));
  }
  void create(int type = 0) { open(type); }

  // No connection to any of the three files is left in the process.
  void expectNothingConnected() const {
    EXPECT_EQ(0u, FileDBStorage::referenceCount(keyPath()));
    EXPECT_EQ(0u, FileDBStorage::referenceCount(keyPairPath()));
    EXPECT_EQ(0u, FileDBStorage::referenceCount(crlPath()));
  }

  static std::unique_ptr<VELASNKeyRecord> findKey(VELDBManager& m, const VELString& label) {
    return std::unique_ptr<VELASNKeyRecord>(m.getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString(label)));
  }
  static std::set<VELString> walkKeys(VELDBManager& m) {
    std::set<VELString> labels;
    std::unique_ptr<VELDBIterator> it(m.getKeyIterator());
    while (std::unique_ptr<VELASNKeyRecord> r{m.getKeyNextRecord(*it)}) {
      EXPECT_TRUE(labels.insert(r->getLabel().getValue()).second) << "record seen twice";
    }
    return labels;
  }
  static unsigned long long keyCount(VELDBManager& m) {
    return m.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0));
  }
};

// --- connection -----------------------------------------------------------

TEST_F(FileDBManagerTest, CreateTypesMakeAllThreeFilesWithTheirVersion) {
  {
    auto m = open(0);
    EXPECT_TRUE(m->isKeyEnabled() && m->isKeyPairEnabled() && m->isCRLEnabled());
    EXPECT_EQ(3, m->getDBVersion());
  }
  EXPECT_TRUE(exists(keyPath()) && exists(keyPairPath()) && exists(crlPath()));
  // Open (1) works on version 3; open-demanding-version-4 (3) refuses it and
  // leaves nothing connected.
  EXPECT_EQ(3, open(1)->getDBVersion());
  EXPECT_EQ(VELDBError::kBadMajorVersion, errorOf([&] { open(3); }));
  expectNothingConnected();
  // Create refuses an existing database.
  EXPECT_EQ(VELDBError::kFileExists, errorOf([&] { open(2); }));

  for (const VELString& path : {keyPath(), keyPairPath(), crlPath()}) ::unlink(path.c_str());
  EXPECT_EQ(4, open(2)->getDBVersion());
  EXPECT_EQ(4, open(3)->getDBVersion());
  EXPECT_EQ(4, open(1)->getDBVersion());
}

TEST_F(FileDBManagerTest, CreateWithOneFilePresentChangesNothing) {
  std::ofstream(crlPath()) << "not a database";
  EXPECT_EQ(VELDBError::kFileExists, errorOf([&] { open(0); }));
  EXPECT_FALSE(exists(keyPath()));
  EXPECT_FALSE(exists(keyPairPath()));
  std::ifstream in(crlPath());
  EXPECT_EQ("not a database", VELString(std::istreambuf_iterator<char>(in), {}));
}

TEST_F(FileDBManagerTest, MissingKeyPairAndCRLFilesLeaveTablesDisabledUntilEnabled) {
  create();
  ::unlink(keyPairPath().c_str());
  ::unlink(crlPath().c_str());
  {
    auto ro = open(1, 0);
    EXPECT_TRUE(ro->isKeyEnabled());
    EXPECT_FALSE(ro->isKeyPairEnabled());
    EXPECT_FALSE(ro->isCRLEnabled());
    EXPECT_EQ(VELDBError::kKeyPairNotEnabled, errorOf([&] { delete ro->getKeyPairIterator(); }));
    EXPECT_EQ(VELDBError::kCRLNotEnabled, errorOf([&] { delete ro->getCRLIterator(); }));
    auto kp = VELTestPKI::makeKeyPairRecord("kp", "CN=kp");
    EXPECT_EQ(VELDBError::kAccessDenied, errorOf([&] { ro->insertKeyPair(*kp); }));
    EXPECT_FALSE(ro->isKeyPairEnabled());
  }
  EXPECT_FALSE(exists(keyPairPath()));
  // An insert enables the key-pair table: the password test and the threads
  // enabling it at once see to that.
  auto m = open(1);
  m->enableCRL();
  EXPECT_TRUE(m->isCRLEnabled());
  EXPECT_TRUE(exists(crlPath()));
  // Already enabled: nothing more.
  m->enableKey();
  m->enableCRL();
  for (const VELString& path : {keyPath(), crlPath()}) EXPECT_EQ(1u, FileDBStorage::referenceCount(path)) << path;
}

TEST_F(FileDBManagerTest, MissingKeyFileIsRefusedWithNothingConnected) {
  create();
  ::unlink(keyPath().c_str());
  EXPECT_EQ(VELDBError::kCannotOpen, errorOf([&] { open(1); }));
  expectNothingConnected();
}

long long g_extra = 0;  // the extra number of the last refusal

TEST_F(FileDBManagerTest, UnusableTableFileIsRefusedWithItsReason) {
  create();
  const std::string saved = d_dir + "/saved";
  ASSERT_EQ(0, ::rename(keyPath().c_str(), saved.c_str()));
  // What an open in `mode` reports, on a thread of its own: an open still
  // waiting after a few seconds fails the test and is fed bytes to go on.
  auto refusal = [&](int mode, const std::string& fifo = std::string()) {
    VELString message;
    std::packaged_task<unsigned long()> task([&] {
      try {
        open(1, mode);
      } catch (const VELDBException& e) {
        message = e.getMessage();
        g_extra = e.getExtra();
        return e.getError();
      }
      return 0ul;
    });
    std::future<unsigned long> result = task.get_future();
    std::thread worker(std::move(task));
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "the open waited";
      const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
      const std::string junk(4096, 'j');
      if (writer >= 0 && ::write(writer, junk.data(), junk.size()) > 0) ::close(writer);
    }
    worker.join();
    expectNothingConnected();
    return std::make_pair(result.get(), std::string(message));
  };
  // The numbers and messages are the binary file's: the failing call and the
  // file, the cause as the extra number (errno, or the bytes a short read
  // found).
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    unsigned long error;
    long long extra;
  };
  const Case cases[] = {
      {"empty", [](const std::string& p) { std::ofstream(p).flush(); }, VELDBError::kRead, 0},
      {"short", [](const std::string& p) { std::ofstream(p) << "13 bytes only"; }, VELDBError::kRead, 13},
      {"directory", [](const std::string& p) { ASSERT_EQ(0, ::mkdir(p.c_str(), 0700)); }, VELDBError::kCannotOpen,
       EISDIR},
      {"FIFO", [](const std::string& p) { ASSERT_EQ(0, ::mkfifo(p.c_str(), 0600)); }, VELDBError::kCannotOpen,
       VEL_ENOTREGULAR},
  };
  for (const Case& c : cases) {
    for (const VELString& table : {keyPath(), keyPairPath()}) {
      const std::string moved = d_dir + "/moved";
      if (table != keyPath()) {
        ASSERT_EQ(0, ::rename(table.c_str(), moved.c_str()));
        ASSERT_EQ(0, ::rename(saved.c_str(), keyPath().c_str()));
      }
      c.make(table);
      for (int mode : {0, 1}) {
        const auto got = refusal(mode, table);
        EXPECT_EQ(c.error, got.first) << c.what << " " << table << ", mode " << mode << ": " << got.second;
        EXPECT_NE(std::string::npos, got.second.find(table)) << got.second;
        EXPECT_EQ(c.extra, g_extra) << c.what << ": " << got.second;
        if (c.error == VELDBError::kRead) {
          EXPECT_NE(std::string::npos, got.second.find("no table is in it")) << got.second;
        }
      }
      std::remove(table.c_str());  // a file, a FIFO or an empty directory
      if (table != keyPath()) {
        ASSERT_EQ(0, ::rename(keyPath().c_str(), saved.c_str()));
        ASSERT_EQ(0, ::rename(moved.c_str(), table.c_str()));
      }
    }
  }
  ASSERT_EQ(0, ::rename(saved.c_str(), keyPath().c_str()));

  // A table file this user may only read: a read-write open says so.
  VELFaultDisk::install();
  for (const VELString& table : {keyPath(), keyPairPath()}) {
    VELFaultDisk::fail(VELFaultDisk::kOpen, 1, EACCES, false, true);
    VELFaultDisk::disk().onlyPath = table;
    const auto got = refusal(1);
    EXPECT_EQ(VELDBError::kCannotOpen, got.first) << got.second;
    EXPECT_NE(std::string::npos, got.second.find(table)) << got.second;
    EXPECT_EQ(EACCES, g_extra) << got.second;
    EXPECT_EQ(0u, refusal(0).first);
  }
  VELFaultDisk::uninstall();
  EXPECT_EQ(3, open(1)->getDBVersion());  // nothing was changed on the way
}

TEST_F(FileDBManagerTest, DamagedCRLFileIsToleratedAndDamagedKeyPairFileIsNot) {
  create();
  {
    std::fstream f(crlPath(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.put('X');  // magic number
  }
  {
    auto m = open(1);
    EXPECT_TRUE(m->isKeyEnabled());
    EXPECT_TRUE(m->isKeyPairEnabled());
    EXPECT_FALSE(m->isCRLEnabled());
    EXPECT_EQ(0u, FileDBStorage::referenceCount(crlPath()));
  }
  {
    std::fstream f(keyPairPath(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.put('X');
  }
  EXPECT_NE(0u, errorOf([&] { open(1); }));
  expectNothingConnected();
}

TEST_F(FileDBManagerTest, AbsentOrEmptyPasswordIsTheDefaultPassword) {
  create();
  EXPECT_NO_THROW(open(1, 1, password("")));
  EXPECT_NO_THROW(open(1, 1, FileDBManager::defaultPassword()));
  const unsigned char bytes[] = {0x4E, 0x21, 0x7A, 0x05, 0x33, 0x68, 0x0B, 0x52, 0x19, 0x6D};
  EXPECT_NO_THROW(open(1, 1, VELPasswordEncryptor(bytes, sizeof bytes)));
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { open(1, 1, password("other")); }));
  expectNothingConnected();
}

TEST_F(FileDBManagerTest, ManagersAndDuplicatesShareStoragesAndTheLastOneDeletes) {
  auto a = open(0);
  auto b = open(1);
  std::unique_ptr<VELDBManager> dup(a->duplicate());
  EXPECT_EQ(a->getKeyStorage(), b->getKeyStorage());
  EXPECT_EQ(a->getKeyStorage(), static_cast<FileDBManager&>(*dup).getKeyStorage());
  EXPECT_EQ(3u, FileDBStorage::referenceCount(keyPath()));

  auto rec = VELTestPKI::makeKeyRecord("shared", "CN=shared");
  dup->insertKey(*rec);
  EXPECT_NE(nullptr, findKey(*b, "shared"));

  a->deleteDBOnDisconnect();
  std::unique_ptr<VELDBManager> dup2(a->duplicate());  // carries the flag
  a.reset();
  dup2.reset();
  EXPECT_TRUE(exists(keyPath()));  // b and dup still hold the files
  EXPECT_NE(nullptr, findKey(*dup, "shared"));
  dup.reset();
  b->deleteDBOnDisconnect();
  b.reset();
  EXPECT_FALSE(exists(keyPath()) || exists(keyPairPath()) || exists(crlPath()));
}

TEST_F(FileDBManagerTest, ReadOnlyManagerRefusesEveryChange) {
  {
    auto m = open(0);
    auto rec = VELTestPKI::makeKeyRecord("k", "CN=k");
    m->insertKey(*rec);
  }
  auto ro = open(1, 0);
  auto rec = VELTestPKI::makeKeyRecord("k2", "CN=k2");
  auto kp = VELTestPKI::makeKeyPairRecord("kp", "CN=kp");
  auto crl = VELTestPKI::makeCRLRecord("crl", "CN=CA");
  const VELASNLabelString label("k");
  for (auto change : std::vector<std::function<void()>>{
           [&] { ro->insertKey(*rec); },
           [&] { ro->insertKeyPair(*kp); },
           [&] { ro->insertCRL(*crl); },
           [&] { ro->updateKeyByIndex(VELDBManager::KeyLabel, *rec); },
           [&] { ro->updateKeyPairByIndex(VELDBManager::KeyPairLabel, *kp); },
           [&] { ro->updateCRLByIndex(VELDBManager::CRLLabel, *crl); },
           [&] { ro->deleteKeyByIndex(VELDBManager::KeyLabel, label); },
           [&] { ro->deleteKeyByIndex(VELDBManager::KeyAllRecords, label); },
           [&] { ro->deleteKeyPairByIndex(VELDBManager::KeyPairAllRecords, label); },
           [&] { ro->deleteCRLByIndex(VELDBManager::CRLAllRecords, label); },
           [&] { ro->setDBLabel("x"); },
           [&] { ro->setDBPasswordExpirationTime(12345); },
           [&] { ro->setDBPassword(VELPasswordEncryptor(), password("new"), 0); },
           [&] { ro->deleteDBOnDisconnect(); },
       }) {
    EXPECT_EQ(VELDBError::kAccessDenied, errorOf(change));
  }
  EXPECT_EQ(1u, keyCount(*ro));
  EXPECT_EQ(0, ro->getDBPasswordExpirationTime());
  ro.reset();
  EXPECT_TRUE(exists(keyPath()));
  EXPECT_NO_THROW(open(1, 1));  // password unchanged
}

TEST_F(FileDBManagerTest, IteratorsAreCheckedForClassAndTable) {
  auto m = open(0);
  auto other = open(1, 1);
  std::unique_ptr<VELDBIterator> keyIt(m->getKeyIterator());
  std::unique_ptr<VELDBIterator> crlIt(m->getCRLIterator());
  VELString message;
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { delete m->getKeyPairNextRecord(*keyIt); }, &message));
  EXPECT_EQ("iter is invalid - wrong table", message);
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { delete m->getKeyNextRecord(*crlIt); }, &message));
  EXPECT_EQ("iter is invalid - wrong table", message);
  ForeignIterator foreign;
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { delete m->getCRLNextRecord(foreign); }, &message));
  EXPECT_EQ("iter is invalid - wrong type", message);
  // Only the table kind matters: another manager's iterator is accepted.
  EXPECT_EQ(nullptr, std::unique_ptr<VELASNKeyRecord>(other->getKeyNextRecord(*keyIt)));
}

// --- records ------------------------------------------------------------------

// Every change on every index of the three tables, and the lookups by label, the
// counts and the walks that check them, are driven by the crash-point and fault
// matrices; every unique index of each table by filedbtable_test.cpp.  Here the
// containers the manager hands out for a multi index of each table, and a walk
// that skips deleted slots, stays at its end and finds the same records after a
// reopen.
TEST_F(FileDBManagerTest, ContainersOfEachTableAndAWalkPastDeletedSlots) {
  auto m = open(2);
  for (const char* label : {"a", "b", "c", "d"}) {
    m->insertKey(*VELTestPKI::makeKeyRecord(label, VELString("CN=") + label));
    m->insertKeyPair(*VELTestPKI::makeKeyPairRecord(label, VELString("CN=") + label));
    m->insertCRL(*VELTestPKI::makeCRLRecord(label, VELString("CN=CA ") + label, 0));
  }
  auto ca = VELTestPKI::makeCRLRecord("e", "CN=CA a", 1);
  m->insertCRL(*ca);
  std::unique_ptr<VELASNKeyRecordContainer> keys(m->getKeyByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
  EXPECT_EQ(4u, keys->size());
  std::unique_ptr<VELASNKeyPairRecordContainer> pairs(
      m->getKeyPairByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));
  EXPECT_EQ(4u, pairs->size());
  std::unique_ptr<VELASNCRLRecordContainer> byIssuer(
      m->getCRLByIndex(VELDBManager::CRLIssuerName, ca->getCRL().getIssuer()));
  ASSERT_EQ(2u, byIssuer->size());

  EXPECT_EQ(1u, m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("b")));
  EXPECT_EQ(1u, m->deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("d")));
  std::unique_ptr<VELDBIterator> it(m->getKeyIterator());
  std::vector<VELString> seen;
  while (std::unique_ptr<VELASNKeyRecord> r{m->getKeyNextRecord(*it)}) seen.push_back(r->getLabel().getValue());
  EXPECT_EQ((std::vector<VELString>{"a", "c"}), seen);
  EXPECT_EQ(nullptr, std::unique_ptr<VELASNKeyRecord>(m->getKeyNextRecord(*it)));
  it.reset();
  m.reset();
  EXPECT_EQ((std::set<VELString>{"a", "c"}), walkKeys(*open(1)));
}

// --- settings -------------------------------------------------------------

TEST_F(FileDBManagerTest, LabelDefaultsToTheKeyFilePathAndPasswordExpiry) {
  auto m = open(0);
  EXPECT_EQ(keyPath(), m->getDBLabel());
  m->setDBLabel("my keys");
  EXPECT_EQ("my keys", open(1)->getDBLabel());  // shared storage
  m->setDBLabel("");
  EXPECT_EQ(keyPath(), m->getDBLabel());
  m->setDBLabel("gone");
  m.reset();
  EXPECT_EQ(keyPath(), open(1)->getDBLabel());

  m = open(1);
  EXPECT_FALSE(m->hasDBPasswordExpired());
  m->setDBPasswordExpirationTime(1000);
  EXPECT_TRUE(m->hasDBPasswordExpired());
  EXPECT_EQ(1000, m->getDBPasswordExpirationTime());
  m->setDBPasswordExpirationTime(0);
  EXPECT_FALSE(m->hasDBPasswordExpired());
}

TEST_F(FileDBManagerTest, AnEmptyNewPasswordIsRefusedBeforeAnythingChanges) {
  // The open replaces an empty password by the default one: a file sealed
  // under an empty password could never be opened again.
  auto m = open(0, 1, password("old"));
  m->insertKey(*VELTestPKI::makeKeyRecord("kept", "CN=kept"));
  const std::string before = VELTestUtil::readAll(keyPath());
  for (const VELPasswordEncryptor& empty : {password(""), VELPasswordEncryptor()}) {
    VELString message;
    EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { m->setDBPassword(password("old"), empty, 0); }, &message));
    EXPECT_NE(message.find("must not be empty"), VELString::npos) << message;
  }
  EXPECT_TRUE(before == VELTestUtil::readAll(keyPath()));
  m.reset();
  EXPECT_EQ(1u, open(1, 1, password("old"))->getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
}

TEST_F(FileDBManagerTest, DuplicateWithTheOldPasswordIsRefusedByChangedStorages) {
  auto m = open(0);
  auto keeper = open(1);
  std::unique_ptr<VELDBManager> before(m->duplicate());
  m->setDBPassword(VELPasswordEncryptor(), password("new"), 0);
  // m's own connect info still has the default password.
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { delete m->duplicate(); }));
  EXPECT_EQ(3u, FileDBStorage::referenceCount(keyPath()));
  // Managers already connected go on working.
  auto rec = VELTestPKI::makeKeyRecord("k", "CN=k");
  before->insertKey(*rec);
  EXPECT_EQ(1u, keyCount(*keeper));
}

TEST_F(FileDBManagerTest, SetPasswordChecksEveryTableBeforeChangingOne) {
  create();
  ::unlink(keyPairPath().c_str());
  auto m = open(1);
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { m->setDBPassword(password("wrong"), password("new"), 0); }));
  EXPECT_EQ(VELDBError::kBadPassword,
            errorOf([&] { m->setDBPassword(VELPasswordEncryptor(), FileDBManager::defaultPassword(), 0); }));
  m->setDBPassword(password(""), password("new"), 0);  // empty old: the default; key and CRL
  // A key-pair file made now takes the password the other tables have now,
  // not the one this manager was opened with.
  auto kp = VELTestPKI::makeKeyPairRecord("kp", "CN=kp");
  m->insertKeyPair(*kp);
  EXPECT_TRUE(m->getKeyStorage()->getConnectInfo().getLogicalDBPassword() == password("new"));
  // A table that refuses the old password stops the change before any table
  // is touched.
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { m->setDBPassword(password("old"), password("newer"), 0); }));
  m->setDBPassword(password("new"), password("newer"), 0);
  m.reset();
  EXPECT_EQ(VELDBError::kBadPassword, errorOf([&] { open(1); }));
  auto again = open(1, 1, password("newer"));
  EXPECT_TRUE(again->isKeyPairEnabled() && again->isCRLEnabled());
  EXPECT_EQ(1u, again->getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));
}

// --- STRING databases -------------------------------------------------------

class FileDBManagerStringTest : public ::testing::Test {
 protected:
  VELDBConnectInfo::STRING info(int type, int mode = 1) {
    return VELDBConnectInfo::STRING("memdb", &d_image, password("secret"),
                                    static_cast<VELDBConnectInfo::ConnectType>(type),
                                    static_cast<VELDBConnectInfo::AccessMode>(mode));
  }
  VELString d_image;
};

TEST_F(FileDBManagerStringTest, CreateWritesTheKeyTableIntoTheCallersString) {
  {
    FileDBManager m(info(0));
    EXPECT_FALSE(d_image.empty());
    EXPECT_TRUE(m.isKeyPairEnabled() && m.isCRLEnabled());
    EXPECT_EQ("", m.getDBLabel());
    auto rec = VELTestPKI::makeKeyRecord("k", "CN=k");
    m.insertKey(*rec);
    auto kp = VELTestPKI::makeKeyPairRecord("kp", "CN=kp");
    m.insertKeyPair(*kp);
    m.enableKeyPair();  // nothing for STRING
  }
  FileDBManager again(info(1));
  EXPECT_EQ(1u, again.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
  // The key-pair table lived in the first manager only.
  EXPECT_EQ(0u, again.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));
}

TEST_F(FileDBManagerStringTest, CreateOverADatabaseIsRefusedAndLeavesTheStringAsItWas) {
  {
    FileDBManager m(info(0));
    m.insertKey(*VELTestPKI::makeKeyRecord("k", "CN=k"));
  }
  const VELString before = d_image;
  for (int type : {0, 2}) {
    EXPECT_EQ(VELDBError::kFileExists, errorOf([&] { FileDBManager m(info(type)); })) << type;
    EXPECT_TRUE(before == d_image) << type;
  }
  FileDBManager again(info(1));
  EXPECT_EQ(1u, again.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
}

TEST_F(FileDBManagerStringTest, DuplicateSnapshotsInMemoryTablesAndSharesTheKeyTable) {
  FileDBManager m(info(0));
  auto kp1 = VELTestPKI::makeKeyPairRecord("kp1", "CN=kp1");
  m.insertKeyPair(*kp1);
  std::unique_ptr<VELDBManager> dup(m.duplicate());
  EXPECT_EQ(1u, dup->getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));
  auto kp2 = VELTestPKI::makeKeyPairRecord("kp2", "CN=kp2");
  dup->insertKeyPair(*kp2);
  EXPECT_EQ(1u, m.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));
  EXPECT_EQ(2u, dup->getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));

  // Both write the caller's string: neither may overwrite the other's records.
  auto a = VELTestPKI::makeKeyRecord("a", "CN=a");
  auto b = VELTestPKI::makeKeyRecord("b", "CN=b");
  m.insertKey(*a);
  dup->insertKey(*b);
  EXPECT_EQ(2u, m.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
  dup.reset();
  auto c = VELTestPKI::makeKeyRecord("c", "CN=c");
  m.insertKey(*c);
  FileDBManager reopened(info(1, 0));
  EXPECT_EQ(3u, reopened.getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
}

TEST(FileDBManagerIdentity, UnknownConnectInfoIsRefused) {
  VELDBConnectInfo::OBJECT plain("x", VELPasswordEncryptor(), VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite);
  VELString message;
  EXPECT_EQ(VELDBError::kBadArgument, errorOf([&] { FileDBManager m(plain); }, &message));
  EXPECT_EQ("connect info type unknown", message);
}

// --- many threads on one database --------------------------------------------

class FileDBManagerConcurrency : public FileDBManagerTest {};

TEST_F(FileDBManagerConcurrency, ThreadsThroughManagersAndDuplicatesKeepEveryCommittedRecord) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 12;
  // Records are made before the threads start: the test is about the
  // database, not about key generation.
  std::vector<std::vector<std::unique_ptr<VELASNKeyRecord>>> keys(kThreads);
  std::vector<std::vector<std::unique_ptr<VELASNCRLRecord>>> crls(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      const VELString label = "t" + std::to_string(t) + "-" + std::to_string(i);
      keys[t].push_back(VELTestPKI::makeKeyRecord(label, "CN=" + label));
    }
    for (int i = 0; i < 2; ++i)
      crls[t].push_back(VELTestPKI::makeCRLRecord("crl" + std::to_string(t * 10 + i), "CN=CA", 0));
  }
  auto first = open(2);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        // Even threads open managers of their own, odd ones duplicate.
        std::unique_ptr<VELDBManager> m(t % 2 == 0 ? static_cast<VELDBManager*>(new FileDBManager(info(1)))
                                                   : first->duplicate());
        for (int i = 0; i < kPerThread; ++i) {
          m->insertKey(*keys[t][i]);
          if (i % 3 == 1) {
            // Replace the record just inserted; it keeps its ID.
            m->updateKeyByIndex(VELDBManager::KeyLabel, *keys[t][i]);
          }
          if (i % 4 == 3) {
            if (m->deleteKeyByIndex(VELDBManager::KeyLabel, keys[t][i]->getLabel()) != 1) ++failures;
          }
          if (!findKey(*m, keys[t][i - i % 4]->getLabel().getValue())) ++failures;
          if (i % 5 == 0) walkKeys(*m);
        }
        for (auto& crl : crls[t]) m->insertCRL(*crl);
        m->getDBLabel();
        m->enableKeyPair();
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        ++failures;
      }
    });
  }
  // Meanwhile read the enabled tests and the storage of the first manager.
  for (int i = 0; i < 200; ++i) {
    EXPECT_NE(nullptr, first->getKeyStorage());
    EXPECT_TRUE(first->isKeyEnabled());
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());

  std::set<VELString> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      if (i % 4 != 3) expected.insert(keys[t][i]->getLabel().getValue());
    }
  }
  EXPECT_EQ(expected, walkKeys(*first));
  first.reset();
  expectNothingConnected();
  // Both hashes verify when the files are opened again.
  auto reopened = open(3);
  EXPECT_EQ(expected, walkKeys(*reopened));
  EXPECT_EQ(expected.size(), keyCount(*reopened));
  EXPECT_EQ(2u * kThreads, reopened->getCRLCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger(0)));
}

TEST_F(FileDBManagerConcurrency, ThreadsEnablingOneTableConnectItOnce) {
  create();
  ::unlink(keyPairPath().c_str());
  {
    auto m = open(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { m->enableKeyPair(); });
    // The enabled test may run while the table is being enabled.
    while (!m->isKeyPairEnabled()) std::this_thread::yield();
    for (auto& th : threads) th.join();
    EXPECT_TRUE(m->isKeyPairEnabled());
    EXPECT_EQ(1u, FileDBStorage::referenceCount(keyPairPath()));
  }
  expectNothingConnected();
}

}  // namespace
