// Plan: drive the shared storage through a minimal table defined here: create, open and refuse
// files (size, hash, password, version), share connections, grow the record length, compact in
// memory.  What compaction keeps of each table's slots is asked in filedbtable_test.cpp.
#include "filedbstorage.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "velfaultdisk.h"
#include "velplatform.h"
#include "veltesttable.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::readAll;
using VELTestUtil::writeAll;

using VELTestTable::kTestType;
using VELTestTable::TestTable;

using VELTestUtil::errorOf;
using VELTestUtil::password;

class StorageTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void TearDown() override { VELFaultDisk::uninstall(); }
  VELDBConnectInfo::FILE info(VELDBConnectInfo::ConnectType type, VELDBConnectInfo::AccessMode mode,
                              const char* pw = "secret") {
    return VELDBConnectInfo::FILE(d_dir + "/table", password(pw), type, mode);
  }
  void create(VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Create) {
    FileDBStorage::newFile(info(type, VELDBConnectInfo::ReadWrite), d_path, 1, kTestType);
  }
  unsigned long openError(VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Open, const char* pw = "secret") {
    return errorOf([&] { TestTable t(info(type, VELDBConnectInfo::ReadOnly, pw), d_path); });
  }
  const std::string d_path = d_dir + "/table.vtst";
};

TEST_F(StorageTest, NewFileHoldsOnlyTheHeaderAndOpensEmpty) {
  create();
  EXPECT_EQ(errorOf([&] { create(); }), VELDBError::kFileExists);
  EXPECT_EQ(readAll(d_path).size(), 80u);
  struct stat st;
  ASSERT_EQ(stat(d_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
  EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), 5000u);
  EXPECT_EQ(t.getFileHeader()->getRecordsAllocated(), 0u);
  EXPECT_EQ(t.getMajorVersion(), 3);
  EXPECT_TRUE(t.records().empty());

  unlink(d_path.c_str());
  create(VELDBConnectInfo::CreateV4);
  EXPECT_EQ(readAll(d_path).size(), 88u);
  TestTable t4(info(VELDBConnectInfo::OpenV4, VELDBConnectInfo::ReadOnly), d_path);
  EXPECT_EQ(t4.getMajorVersion(), 4);
}

TEST_F(StorageTest, NewFileTakesTheInitialRecordLengthOfItsConnectInfo) {
  VELDBConnectInfo::FILE asked = info(VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite);
  asked.setInitialRecordLength(1024);
  // Copies carry it, as the manager copies the connect info it is given.
  std::unique_ptr<VELDBConnectInfo::OBJECT> copy(asked.duplicate());
  FileDBStorage::newFile(*copy, d_path, 1, kTestType);
  {
    TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly), d_path);
    EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), 1024u);
  }
  unlink(d_path.c_str());
  for (std::uint32_t bad : {FileDBStorage::kMinInitialRecordLength - 1, FileDBStorage::kMaxEmptyRecordLength + 1}) {
    asked.setInitialRecordLength(bad);
    EXPECT_EQ(errorOf([&] { FileDBStorage::newFile(asked, d_path, 1, kTestType); }), VELDBError::kBadArgument) << bad;
    EXPECT_NE(access(d_path.c_str(), F_OK), 0) << bad;
  }
}

TEST_F(StorageTest, OpenRefusesWrongVersionPasswordSizeAndTampering) {
  create();
  {
    TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
    t.append(1, "alpha");
    t.append(2, "beta");
  }
  const std::string good = readAll(d_path);
  EXPECT_EQ(openError(), 0u);
  EXPECT_EQ(openError(VELDBConnectInfo::OpenV4), VELDBError::kBadMajorVersion);
  EXPECT_EQ(openError(VELDBConnectInfo::Open, "wrong"), VELDBError::kBadPassword);

  writeAll(d_path, good + std::string(1, '\0'));
  EXPECT_EQ(openError(), VELDBError::kHashMismatch);
  writeAll(d_path, good.substr(0, good.size() - 1));
  EXPECT_EQ(openError(), VELDBError::kHashMismatch);

  // Any byte of a slot, padding included, is covered by the database hash.
  for (std::size_t at : {std::size_t(80), std::size_t(90), good.size() - 1, std::size_t(80 + 5000 + 4000)}) {
    std::string bad = good;
    bad[at] ^= 0x01;
    writeAll(d_path, bad);
    EXPECT_EQ(openError(), VELDBError::kHashMismatch) << "byte " << at;
  }
  // A wrong password is reported before the database hash is looked at.
  std::string bad = good;
  bad[100] ^= 0x01;
  writeAll(d_path, bad);
  EXPECT_EQ(openError(VELDBConnectInfo::Open, "wrong"), VELDBError::kBadPassword);
}

// Re-seals the header of the test file with crafted slot count and record
// length, as someone knowing the password could.
void craftHeader(const std::string& path, std::uint32_t slots, std::uint32_t length) {
  VELKRYAlgorithmFactory factory;
  FileDBBinaryFile file(path, VELDBConnectInfo::ReadWrite);
  FileDBHeaderV3 header(&factory, file);
  header.setRecordsAllocated(slots);
  header.setFixedRecordLength(length);
  header.setPasswordHeaderHash(password("secret"));
  header.persist(file);
}

TEST_F(StorageTest, CraftedSlotCountAndRecordLengthAreRefusedBeforeAnyWork) {
  create();
  // 2^20 slots of 2^12 bytes: the product is 0 modulo 2^32, as is the
  // header-only file's slot area.
  craftHeader(d_path, 1u << 20, 1u << 12);
  EXPECT_EQ(openError(), VELDBError::kHashMismatch);
  craftHeader(d_path, 3, 0);
  EXPECT_EQ(openError(), VELDBError::kHashMismatch);
  craftHeader(d_path, 0, 0x7FFFFFF0u);
  EXPECT_EQ(openError(), VELDBError::kHashMismatch);
}

TEST_F(StorageTest, ConnectionsShareOneStorageAndRefusalsKeepTheCount) {
  create();
  const VELString full = FileDBBinaryFile::fullPathName(d_path);
  FileDBStorage* a = TestTable::connect(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly), full);
  FileDBStorage* b = TestTable::connect(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly), full);
  EXPECT_EQ(a, b);
  EXPECT_EQ(FileDBStorage::referenceCount(full), 2u);

  auto refusal = [&](const VELDBConnectInfo::OBJECT& i, const VELString& cls) {
    return errorOf([&] {
      VELMutexLocker guard(FileDBStorage::getClassMutex());
      FileDBStorage::connectFile(i, full, cls);
    });
  };
  EXPECT_EQ(refusal(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly, "other"), "TestTable"),
            VELDBError::kBadPassword);
  EXPECT_EQ(refusal(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), "TestTable"), VELDBError::kLock);
  EXPECT_EQ(refusal(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly), "FileDBCRLStorage"),
            VELDBError::kCannotOpen);
  EXPECT_EQ(FileDBStorage::referenceCount(full), 2u);

  TestTable::disconnect(a);
  EXPECT_EQ(FileDBStorage::referenceCount(full), 1u);
  TestTable::disconnect(b);
  EXPECT_EQ(FileDBStorage::referenceCount(full), 0u);
  EXPECT_EQ(FileDBStorage::removeFileMap(full), 0u);
}

TEST_F(StorageTest, ResizeGrowsInStepsKeepsSlotsAndRebuildsIndexes) {
  create(VELDBConnectInfo::CreateV4);
  {
    TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
    t.append(1, "one");
    t.append(2, std::string(100, 'x'));
    const int builds = t.indexBuilds;
    t.resize(4000);
    EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), 5000u);
    EXPECT_EQ(t.indexBuilds, builds);
    t.resize(5001);
    EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), 6000u);
    EXPECT_EQ(t.indexBuilds, builds + 1);
    t.resize(6001);
    EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), 7000u);
    t.append(3, std::string(9000, 'y'));  // grows to 10000 on its own
    EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), 10000u);
  }
  const std::string bytes = readAll(d_path);
  ASSERT_EQ(bytes.size(), 88u + 3 * 10000u);
  // Slot 0 keeps its bytes followed by zeros.
  EXPECT_EQ(bytes.substr(88 + 12, 3), "one");
  EXPECT_EQ(bytes.substr(88 + 15, 10000 - 15), std::string(10000 - 15, '\0'));
  TestTable t(info(VELDBConnectInfo::OpenV4, VELDBConnectInfo::ReadOnly), d_path);
  const auto r = t.records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[1].second, std::string(100, 'x'));
  EXPECT_EQ(r[2].second, std::string(9000, 'y'));
  EXPECT_EQ(t.getLastRecordID(), 3u);
}

// Counts the platform's temporary files and can fail space reservations.
TEST_F(StorageTest, InMemoryDatabasesRewriteWithoutTouchingTheDisk) {
  VELFaultDisk::Installed disk;
  VELString image;
  VELDBConnectInfo::STRING s("memory", &image, password("pw"), VELDBConnectInfo::Create, VELDBConnectInfo::ReadWrite);
  FileDBStorage::newFile(s, "memory", 1, kTestType);
  EXPECT_EQ(image.size(), 80u);
  {
    TestTable t(s, "memory");
    t.append(1, "a");
    t.append(2, std::string(7000, 'b'));  // resize through an in-memory scratch
    t.append(3, "c");
    t.markDeleted(0);
  }  // compaction through an in-memory scratch
  EXPECT_EQ(VELFaultDisk::disk().calls[VELFaultDisk::kOpen], 0);
  EXPECT_EQ(image.size(), 80u + 2 * 8000u);
  TestTable t(s, "memory");
  ASSERT_EQ(t.records().size(), 2u);
  EXPECT_EQ(t.records()[0].second.size(), 7000u);
}

TEST_F(StorageTest, ResizeWithoutDiskSpaceLeavesTheDatabaseAsItWas) {
  create();
  TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
  t.append(1, "kept");
  const std::string before = readAll(d_path);
  VELFaultDisk::install();
  VELFaultDisk::fail(VELFaultDisk::kReserve, 1, ENOSPC);  // the database does not get the space it grows to
  EXPECT_EQ(errorOf([&] { t.resize(5001); }), VELDBError::kWrite);
  VELFaultDisk::uninstall();
  EXPECT_EQ(readAll(d_path), before);
  EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), 5000u);
  t.append(2, "still works");
  EXPECT_EQ(t.records().size(), 2u);
}

TEST_F(StorageTest, PasswordExpiryAndMinorVersionSettings) {
  create(VELDBConnectInfo::CreateV4);
  {
    TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
    t.append(1, "x");
    // A time the 32-bit field cannot hold is refused, not cut (2^32 would
    // read back as 0, "never expires").
    t.setPasswordExpirationTime(0xFFFFFFFFLL);
    EXPECT_EQ(t.getPasswordExpirationTime(), 0xFFFFFFFFLL);
    for (long long bad : {0x100000000LL, -1LL}) {
      EXPECT_EQ(errorOf([&] { t.setPasswordExpirationTime(bad); }), VELDBError::kBadArgument) << bad;
    }
    EXPECT_EQ(t.getPasswordExpirationTime(), 0xFFFFFFFFLL);
    EXPECT_THROW(t.setPassword(password("secret"), password("secret"), 0), VELDBException);
    t.setPassword(password("secret"), password("new"), 12345);
    t.append(2, "after the change");
  }
  EXPECT_EQ(openError(VELDBConnectInfo::Open, "secret"), VELDBError::kBadPassword);
  TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadOnly, "new"), d_path);
  EXPECT_EQ(t.getPasswordExpirationTime(), 12345);
  EXPECT_EQ(t.records().size(), 2u);
}

// The database hash on disk equals a full computation over the file.
void expectSealedByFullComputation(const std::string& path, const char* pw) {
  VELKRYAlgorithmFactory factory;
  VELString image = readAll(path);  // the writer's lock keeps other opens out
  StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
  FileDBHeaderV3 header(&factory, file);
  EXPECT_EQ(header.computePasswordDatabaseHash(file, password(pw)), header.getPasswordDatabaseHash());
}

class IncrementalHashTable : public TestTable {
 public:
  using TestTable::TestTable;
  bool incremental() const { return getFileHeader()->wantsSlotUpdates(); }
};

TEST_F(StorageTest, VersionThreeHashIsKeptIncrementallyAndMatchesAFullPass) {
  create();
  IncrementalHashTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
  EXPECT_TRUE(t.incremental());  // the check at open computed the slot digests
  const std::vector<std::pair<const char*, std::function<void()>>> steps = {
      {"insert", [&] { t.append(1, "one"); }},
      {"insert", [&] { t.append(2, "two"); }},
      {"update", [&] { t.update(0, 1, "one, changed"); }},
      {"delete", [&] { t.markDeleted(1); }},
      {"resize", [&] { t.append(3, std::string(6500, 'r')); }},
      {"expiry", [&] { t.setPasswordExpirationTime(777); }},
      {"insert after resize", [&] { t.append(4, "four"); }},
      {"password", [&] { t.setPassword(password("secret"), password("other"), 0); }},
      {"insert with the new password", [&] { t.append(5, "five"); }},
  };
  const char* pw = "secret";
  for (const auto& step : steps) {
    SCOPED_TRACE(step.first);
    step.second();
    if (std::string(step.first) == "password") pw = "other";
    EXPECT_TRUE(t.incremental());
    expectSealedByFullComputation(d_path, pw);
  }
}

TEST_F(StorageTest, VersionThreeOpenOfAFileWithSlotsKeepsTheSlotDigestsOfItsOnePass) {
  create();
  {
    TestTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
    for (std::uint32_t i = 1; i <= 300; ++i) t.append(i, "record " + std::to_string(i));  // past one read block
  }
  IncrementalHashTable t(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
  EXPECT_TRUE(t.incremental());
  t.update(150, 151, "changed after the open");
  EXPECT_TRUE(t.incremental());
  expectSealedByFullComputation(d_path, "secret");
}

}  // namespace
