// Plan: the whole-file rewrites (compaction at close, growing the record
// length) move slots in place: the file keeps its inode, owner and mode, and
// every live slot survives in order across block boundaries, on disk and in
// memory, for both header versions.  And which failure an open reports when
// a damaged file also holds a record that does not decode.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "filedbkeystorage.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltestpki.h"
#include "veltesttable.h"
#include "veltestutil.h"

namespace {

using VELTestTable::kTestType;
using VELTestTable::TestTable;
using VELTestUtil::errorOf;
using VELTestUtil::password;
using VELTestUtil::readAll;

using Records = std::vector<std::pair<std::uint32_t, VELString>>;

// About two slots of this length fit in one block of a rewrite, so a handful
// of records spans several blocks.
constexpr std::uint32_t kLongSlot = 400000;

class RewriteTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  VELDBConnectInfo::FILE info(bool v4, VELDBConnectInfo::AccessMode mode = VELDBConnectInfo::ReadWrite) {
    return VELDBConnectInfo::FILE(d_dir + "/table", password("secret"),
                                  v4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create, mode);
  }
  void create(bool v4, std::uint32_t length = 0) {
    VELDBConnectInfo::FILE created = info(v4);
    created.setInitialRecordLength(length);
    FileDBStorage::newFile(created, d_path, 1, kTestType);
  }
  struct stat statOf() {
    struct stat st {};
    EXPECT_EQ(::stat(d_path.c_str(), &st), 0);
    return st;
  }
  const std::string d_path = d_dir + "/table.vtst";
};

std::string payloadOf(std::uint32_t id) { return std::string(100 + id, static_cast<char>('a' + id)); }

// Appends records 1..count, then marks the slots in `deleted`, and gives
// the slots in `otherState` a state of their own (a record all the same,
// which stays).
Records fill(TestTable& t, std::uint32_t count, const std::vector<std::uint64_t>& deleted,
             const std::vector<std::uint64_t>& otherState = {}) {
  for (std::uint32_t id = 1; id <= count; ++id) t.append(id, payloadOf(id));
  for (std::uint64_t slot : deleted) t.markDeleted(slot);
  for (std::uint64_t slot : otherState) t.markDeleted(slot, 3);
  return t.records();
}

TEST_F(RewriteTest, CompactionAndGrowthKeepTheInodeOwnerAndModeOfTheFile) {
  for (bool v4 : {false, true}) {
    SCOPED_TRACE(v4 ? "version 4" : "version 3");
    ::unlink(d_path.c_str());
    create(v4);
    ASSERT_EQ(::chmod(d_path.c_str(), 0640), 0);
    // Only root can give a file away; anyone else checks mode and inode.
    const bool root = ::geteuid() == 0;
    if (root) {
      ASSERT_EQ(::chown(d_path.c_str(), 4321, 4322), 0);
    }
    const struct stat before = statOf();
    Records live;
    {
      TestTable t(info(v4), d_path);
      fill(t, 4, {});
      t.append(5, std::string(6000, 'g'));  // grows every slot to 7000 bytes
      const struct stat grown = statOf();
      EXPECT_EQ(grown.st_ino, before.st_ino);
      EXPECT_EQ(grown.st_size, static_cast<off_t>(t.getFileHeader()->getSize() + 5 * 7000));
      t.markDeleted(1);
      live = t.records();
    }  // the close compacts
    const struct stat after = statOf();
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_dev, before.st_dev);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    if (root) {
      EXPECT_EQ(after.st_uid, 4321u);
    }
    TestTable t(info(v4, VELDBConnectInfo::ReadOnly), d_path);
    EXPECT_EQ(t.getFileHeader()->getRecordsAllocated(), 4u);
    EXPECT_EQ(t.records(), live);
  }
}

// Slots of 400,000 bytes: a block of the rewrite holds two, so deletions
// fall at block edges, first, last, in runs and everywhere.
TEST_F(RewriteTest, CompactionKeepsEveryLiveSlotInOrderAcrossBlocks) {
  const std::vector<std::vector<std::uint64_t>> patterns = {
      {0}, {6}, {1, 2}, {2, 3, 4}, {0, 2, 4, 6}, {0, 1, 2, 3, 4, 5, 6}};
  for (bool v4 : {false, true}) {
    for (bool inMemory : {false, true}) {
      for (const auto& deleted : patterns) {
        SCOPED_TRACE(std::string(v4 ? "version 4" : "version 3") + (inMemory ? ", in memory" : ", on disk") +
                     ", first deleted slot " + std::to_string(deleted.front()) + " of " +
                     std::to_string(deleted.size()));
        ::unlink(d_path.c_str());
        VELString image;
        VELDBConnectInfo::STRING memory("memory", &image, password("secret"),
                                        v4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create,
                                        VELDBConnectInfo::ReadWrite);
        memory.setInitialRecordLength(kLongSlot);
        if (inMemory) {
          FileDBStorage::newFile(memory, "memory", 1, kTestType);
        } else {
          create(v4, kLongSlot);
        }
        auto open = [&](VELDBConnectInfo::AccessMode mode) {
          return inMemory ? std::unique_ptr<TestTable>(new TestTable(memory, "memory"))
                          : std::unique_ptr<TestTable>(new TestTable(info(v4, mode), d_path));
        };
        Records live;
        std::uint64_t headerSize = 0;
        {
          std::unique_ptr<TestTable> t = open(VELDBConnectInfo::ReadWrite);
          headerSize = t->getFileHeader()->getSize();
          // Slot 5, unless deleted, is in a state of its own: kept.
          const bool other = std::find(deleted.begin(), deleted.end(), 5u) == deleted.end();
          live = fill(*t, 7, deleted, other ? std::vector<std::uint64_t>{5} : std::vector<std::uint64_t>{});
        }
        const std::size_t size = inMemory ? image.size() : readAll(d_path).size();
        EXPECT_EQ(size, headerSize + live.size() * kLongSlot);
        // The reopen checks the new seal over every slot.
        std::unique_ptr<TestTable> t = open(VELDBConnectInfo::ReadOnly);
        EXPECT_EQ(t->getFileHeader()->getRecordsAllocated(), live.size());
        EXPECT_EQ(t->records(), live);
      }
    }
  }
}

// Growth moves every slot up from the last one down; each keeps its bytes
// followed by zeros, across blocks, and the file seals for the new length.
TEST_F(RewriteTest, GrowthKeepsEverySlotAcrossBlocks) {
  for (bool v4 : {false, true}) {
    SCOPED_TRACE(v4 ? "version 4" : "version 3");
    ::unlink(d_path.c_str());
    create(v4, kLongSlot);
    Records live;
    {
      TestTable t(info(v4), d_path);
      fill(t, 5, {3});
      t.append(6, std::string(kLongSlot, 'z'));  // a record longer than a slot
      live = t.records();
      EXPECT_EQ(t.getFileHeader()->getFixedRecordLength(), kLongSlot + 1000);
      EXPECT_EQ(t.walk(), live);
      EXPECT_EQ(t.indexBuilds, 2);  // the open, and the rebuild after the growth
    }
    TestTable t(info(v4, VELDBConnectInfo::ReadOnly), d_path);
    EXPECT_EQ(t.records(), live);
    EXPECT_EQ(t.getFileHeader()->getRecordsAllocated(), 5u);
  }
}

// --- which failure an open reports -------------------------------------------

class OpenOrderTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  VELDBConnectInfo::FILE info(VELDBConnectInfo::ConnectType type, VELDBConnectInfo::AccessMode mode) {
    return VELDBConnectInfo::FILE(d_dir + "/keys", password("secret"), type, mode);
  }
  unsigned long openError(VELDBConnectInfo::AccessMode mode) {
    return errorOf([&] {
      VELMutexLocker guard(FileDBStorage::getClassMutex());
      FileDBKeyStorage* t = FileDBKeyStorage::connectFile(info(VELDBConnectInfo::Open, mode), d_path);
      FileDBKeyStorage::disconnect(t, false);
    });
  }
  // Seals the file as it stands, as a writer with the password would.
  void reseal(bool v4) {
    VELKRYAlgorithmFactory factory;
    FileDBBinaryFile file(d_path, VELDBConnectInfo::ReadWrite);
    std::unique_ptr<FileDBHeader> header(v4 ? static_cast<FileDBHeader*>(new FileDBHeaderV4(&factory, file))
                                            : new FileDBHeaderV3(&factory, file));
    header->setPasswordHeaderHash(password("secret"));
    header->setPasswordDatabaseHash(file, password("secret"));
    header->persist(file);
  }
  void change(std::uint64_t offset, const std::function<char(char)>& how) {
    std::string bytes = readAll(d_path);
    bytes[offset] = how(bytes[offset]);
    VELTestUtil::writeAll(d_path, bytes);
  }
  const std::string d_path = FileDBBinaryFile::fullPathName(d_dir + "/keys.vkey");
};

// A record that does not decode in a file that verifies is reported as
// such; when the file also fails its hash -- damage before the record, or
// after it where the walk never got -- the hash mismatch is what the open
// reports, and nothing is written to the file.
TEST_F(OpenOrderTest, AHashMismatchOutranksARecordThatDoesNotDecode) {
  const std::uint64_t kSlots = 6, kBroken = 2, kLength = 5000;
  for (bool v4 : {false, true}) {
    ::unlink(d_path.c_str());
    {
      VELMutexLocker guard(FileDBStorage::getClassMutex());
      FileDBKeyStorage::newFile(
          info(v4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create, VELDBConnectInfo::ReadWrite), d_path);
    }
    {
      VELMutexLocker guard(FileDBStorage::getClassMutex());
      FileDBKeyStorage* t =
          FileDBKeyStorage::connectFile(info(VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite), d_path);
      for (std::uint64_t i = 0; i < kSlots; ++i) {
        t->insertRecord(*VELTestPKI::makeKeyRecord("r" + std::to_string(i), "CN=Order"));
      }
      FileDBKeyStorage::disconnect(t, false);
    }
    const std::uint64_t header = v4 ? 88 : 80;
    change(header + kBroken * kLength + 12, [](char) { return 0x04; });  // the record no longer decodes
    reseal(v4);
    const std::string broken = readAll(d_path);
    for (auto mode : {VELDBConnectInfo::ReadOnly, VELDBConnectInfo::ReadWrite}) {
      SCOPED_TRACE(std::string(v4 ? "version 4" : "version 3") +
                   (mode == VELDBConnectInfo::ReadOnly ? ", read-only" : ", read-write"));
      VELTestUtil::writeAll(d_path, broken);
      EXPECT_EQ(openError(mode), VELDBError::kBadArgument) << "sealed, one record broken";
      for (std::uint64_t damaged : {std::uint64_t{0}, kBroken, kSlots - 1}) {
        VELTestUtil::writeAll(d_path, broken);
        change(header + damaged * kLength + kLength - 1, [](char c) { return static_cast<char>(c ^ 1); });  // padding
        const std::string image = readAll(d_path);
        EXPECT_EQ(openError(mode), VELDBError::kHashMismatch) << "damage in slot " << damaged;
        EXPECT_TRUE(readAll(d_path) == image) << "the damaged file was written to";
      }
    }
  }
}

}  // namespace
