// Plan: what the journal does beside the crash-point matrix, which kills every change of every
// table at every write and reopens read-only first: a failed change rolled back within the session,
// damaged journals removed, and journals from elsewhere (another table, an earlier change, an
// earlier layout, a forged transaction file) never applied.
#include "filedbjournaledfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "filedbjournalkey.h"
#include "velfaultdisk.h"
#include "velplatform.h"
#include "veltesttable.h"
#include "veltestutil.h"

namespace {

using VELTestUtil::readAll;
using VELTestUtil::writeAll;

using VELTestTable::kTestType;
using VELTestTable::TestTable;
using Records = std::vector<std::pair<std::uint32_t, VELString>>;

using namespace VELFaultDisk;

using VELTestUtil::errorOf;
using VELTestUtil::password;

// --- journals made by hand ---------------------------------------------------

using Regions = std::vector<std::pair<std::uint64_t, std::string>>;  // offset, original bytes
using Piece = FileDBJournalKey::Piece;

std::string be64(std::uint64_t v) {
  std::string out(8, '\0');
  for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<char>(v & 0xFF);
  return out;
}

std::string sha256(const std::string& bytes) {
  unsigned char sum[32];
  FileDBJournalKey::checksum(sum, {Piece(bytes.data(), bytes.size())});
  return std::string(reinterpret_cast<char*>(sum), 32);
}

// A journal of the current layout that opens under the journal key `kek`
// (its record key wrapped under it), tied to a table whose first bytes were
// `before`: it passes every check that needs no password.
std::string craftJournal(const FileDBJournalKey& kek, std::uint64_t originalSize, const Regions& regions,
                         const std::string& before = std::string()) {
  const std::string nonce(16, 'n');
  const unsigned char raw[32] = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
  const FileDBJournalKey recordKey(raw);
  unsigned char wrapped[40];
  kek.wrap(raw, wrapped);
  std::string out = "VELJRNL3" + nonce + be64(originalSize) + std::string(reinterpret_cast<char*>(wrapped), 40);
  unsigned char mac[32];
  recordKey.mac(mac, {Piece(out.data(), out.size())});
  out.append(reinterpret_cast<char*>(mac), 32);
  out += sha256(out);
  Regions records = regions;
  if (!before.empty()) records.insert(records.begin(), {~std::uint64_t(0) - 1, before.substr(0, 88)});
  for (const auto& region : records) {
    const std::string head = be64(region.first) + be64(region.second.size());
    recordKey.mac(mac,
                  {Piece(nonce.data(), 16), Piece(head.data(), 16), Piece(region.second.data(), region.second.size())});
    out += head + region.second + std::string(reinterpret_cast<char*>(mac), 32);
  }
  return out;
}

// A journal of the layout before ("VELJRNL2"): MACs under `key` itself,
// no binding to its change.
std::string layout2Journal(const FileDBJournalKey& key, std::uint64_t originalSize, const Regions& regions) {
  const std::string nonce(16, 'n');
  std::string out = "VELJRNL2" + nonce + be64(originalSize);
  unsigned char mac[32];
  key.mac(mac, {Piece(out.data(), 32)});
  out.append(reinterpret_cast<char*>(mac), 32);
  out += sha256(out);
  for (const auto& region : regions) {
    const std::string head = be64(region.first) + be64(region.second.size());
    key.mac(mac, {Piece(nonce.data(), 16), Piece(head.data(), 16), Piece(region.second.data(), region.second.size())});
    out += head + region.second + std::string(reinterpret_cast<char*>(mac), 32);
  }
  return out;
}

// A journal of the earlier layout: unkeyed SHA-256 throughout.
std::string legacyJournal(std::uint64_t originalSize, const Regions& regions) {
  const std::string nonce(16, 'o');
  std::string out = "VELJRNL1" + nonce + be64(originalSize);
  out += sha256(out);
  for (const auto& region : regions) {
    const std::string head = be64(region.first) + be64(region.second.size());
    out += head + region.second + sha256(nonce + head + region.second);
  }
  return out;
}

struct Outcome {
  Records records;
  VELString password;
};

class JournalTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void SetUp() override {
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);  // kills, not power loss
  }
  void TearDown() override {
    uninstall();
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  }
  VELDBConnectInfo::FILE info(const char* pw, VELDBConnectInfo::AccessMode mode = VELDBConnectInfo::ReadWrite) {
    return VELDBConnectInfo::FILE(d_dir + "/table", password(pw), VELDBConnectInfo::Open, mode);
  }
  // A table of three records, one of them long.
  void makeBase(VELDBConnectInfo::ConnectType type) {
    VELDBConnectInfo::FILE create(d_dir + "/table", password("old"), type, VELDBConnectInfo::ReadWrite);
    FileDBStorage::newFile(create, d_path, 1, kTestType);
    TestTable t(info("old"), d_path);
    t.append(1, "first");
    t.append(2, std::string(3000, 's'));
    t.append(3, "third");
  }
  // The table as a fresh open sees it (read-write unless `mode` says).
  Outcome open(VELDBConnectInfo::AccessMode mode = VELDBConnectInfo::ReadWrite) {
    for (const char* pw : {"old", "new"}) {
      try {
        TestTable t(info(pw, mode), d_path);
        return Outcome{t.records(), pw};
      } catch (const VELDBException& e) {
        if (e.getError() != VELDBError::kBadPassword) throw;
      }
    }
    ADD_FAILURE() << "no password opens the table";
    return Outcome{};
  }
  // A table of `type` whose append was killed after it wrote part of
  // itself: a journal is left.  What the table held before.
  Outcome interruptedBase(VELDBConnectInfo::ConnectType type) {
    makeBase(type);
    const Outcome before = open();
    crashAt(4, [&] {
      TestTable t(info("old"), d_path);
      t.append(4, "interrupted");
    });
    EXPECT_TRUE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(d_path)));
    return before;
  }

  const std::string d_path = d_dir + "/table.vtst";
};

TEST_F(JournalTest, AFailedChangeIsRolledBackAtOnceAndReported) {
  makeBase(VELDBConnectInfo::CreateV4);
  TestTable t(info("old"), d_path);
  const Records before = t.records();
  installCrash(6);  // fail somewhere inside the insert; later calls work again
  try {
    t.append(4, "lost");
    FAIL() << "the failure was not reported";
  } catch (const VELDBException&) {
  }
  // The disk works again: the next change first rolls the failed one back.
  uninstall();
  t.append(4, "kept");
  Records expected = before;
  expected.emplace_back(4, "kept");
  EXPECT_EQ(t.records(), expected);
}

// A journal that cannot be trusted -- under another password, crafted
// without the password, moved over from another database, kept from an
// earlier change, or of an earlier layout -- is never applied and is kept.
// It never blocks a table that verifies as it stands (the open goes on and
// says why), and never rescues one that does not (refused, named).
TEST_F(JournalTest, AJournalThatCannotBeTrustedIsNeverApplied) {
  const Outcome before = interruptedBase(VELDBConnectInfo::CreateV4);
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  const std::string table = readAll(d_path);
  const std::string genuine = readAll(journal);

  // A wrong password: refused, both files as they were.
  std::string message;
  EXPECT_EQ(errorOf([&] { TestTable t(info("other"), d_path); }, &message), VELDBError::kBadPassword) << message;
  EXPECT_NE(message.find(journal), std::string::npos) << message;
  EXPECT_EQ(readAll(d_path), table);
  EXPECT_EQ(readAll(journal), genuine);
  EXPECT_EQ(open().records, before.records);

  // Beside a table that verifies as it stands, each kind of journal that
  // cannot be trusted: the table opens as it is, read-only and read-write,
  // and the journal stays until a change needs its name.
  const std::string committed = readAll(d_path);
  const FileDBJournalKey key(password("old"), FileDBJournalKey::kTableJournal, d_path);
  const FileDBJournalKey guess(password("guess"), FileDBJournalKey::kTableJournal, d_path);
  const std::string zeroes(200, '\0');
  // The journal a change leaves when it is killed at its last call, just
  // before the journal goes: whole, and the table holds the new header.
  const auto leaveWholeJournal = [&](const VELDBConnectInfo::FILE& rw, const std::string& path,
                                     const std::function<void(TestTable&)>& change) {
    const std::string saved = readAll(path);
    const auto once = [&] {
      TestTable t(rw, path);
      change(t);
    };
    const long long total = countChanges(once);
    writeAll(path, saved);
    crashAt(total - 1, once);
    EXPECT_TRUE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(path)));
    return readAll(FileDBJournaledFile::journalPath(path));
  };
  // An interrupted change's own journal, kept; the table then changed again.
  const std::string replayed =
      leaveWholeJournal(info("old"), d_path, [](TestTable& t) { t.append(4, std::string(3000, 'r')); });
  EXPECT_EQ(open().records, before.records);
  {
    TestTable t(info("old"), d_path);
    t.append(5, "after the replayed change");
  }
  const Records latest = open().records;
  const std::string latestBytes = readAll(d_path);
  // The genuine journal of another database: same password, same file name.
  const std::string other = d_dir + "/other";
  ASSERT_EQ(0, mkdir(other.c_str(), 0700));
  const VELDBConnectInfo::FILE otherInfo(other + "/table", password("old"), VELDBConnectInfo::Open,
                                         VELDBConnectInfo::ReadWrite);
  {
    VELDBConnectInfo::FILE create(other + "/table", password("old"), VELDBConnectInfo::CreateV4,
                                  VELDBConnectInfo::ReadWrite);
    FileDBStorage::newFile(create, other + "/table.vtst", 1, kTestType);
    TestTable t(otherInfo, other + "/table.vtst");
    t.append(1, "theirs");
  }
  const std::string transplanted = leaveWholeJournal(otherInfo, other + "/table.vtst", [](TestTable& t) {
    t.append(2, std::string(4000, 't'));
    t.markDeleted(0);
  });
  // Made under another password or in an earlier layout: left to whoever
  // made it.  Made under this password by another change: removed by a
  // read-write open, once the table verified without it.
  struct Planted {
    const char* what;
    std::string bytes;
    bool removed;
  };
  const std::vector<Planted> untrusted = {
      {"crafted without the password", craftJournal(guess, 10, {{0, zeroes}}, committed), false},
      {"moved from another database", transplanted, true},
      {"kept from an earlier change", replayed, true},
      {"earlier layout, keyed", layout2Journal(key, 10, {{0, zeroes}}), false},
      {"earliest layout, unkeyed", legacyJournal(10, {{0, zeroes}}), false},
  };
  for (const Planted& planted : untrusted) {
    SCOPED_TRACE(planted.what);
    writeAll(journal, planted.bytes);
    for (auto mode : {VELDBConnectInfo::ReadOnly, VELDBConnectInfo::ReadWrite}) {
      TestTable t(info("old", mode), d_path);
      EXPECT_EQ(t.records(), latest);
      EXPECT_NE(t.getJournalNotApplied().find(journal), std::string::npos) << t.getJournalNotApplied();
      if (mode == VELDBConnectInfo::ReadOnly) {
        EXPECT_EQ(readAll(journal), planted.bytes);
      }
    }
    EXPECT_EQ(readAll(d_path), latestBytes);
    EXPECT_EQ(FileDBBinaryFile::exists(journal), !planted.removed);
    if (!planted.removed) {
      EXPECT_EQ(readAll(journal), planted.bytes);
    }
  }
  // A change takes the name over; the journal it leaves is its own.
  {
    TestTable t(info("old"), d_path);
    t.append(6, "taken over");
  }
  EXPECT_FALSE(FileDBBinaryFile::exists(journal));

  // A table that does not verify as it stands is not rescued by a journal
  // that cannot be trusted.
  std::string damaged = readAll(d_path);
  damaged[damaged.size() - 10] ^= 0x55;
  writeAll(d_path, damaged);
  writeAll(journal, transplanted);
  EXPECT_EQ(errorOf([&] { TestTable t(info("old"), d_path); }, &message), VELDBError::kHashMismatch) << message;
  EXPECT_NE(message.find(journal), std::string::npos) << message;
  EXPECT_EQ(readAll(d_path), damaged);
  EXPECT_EQ(readAll(journal), transplanted);
}

// A journal cut short inside its header, pure garbage, or one whose header
// was torn by a crash (its checksum does not match: the rest of it never
// reached the disk, so neither did any change to the table, whatever records
// follow): removed, the table kept as it was.
// A table its group may read or write (a database shared by a group) keeps
// that true while a change is under way: its journal takes the table's
// owner and group permissions, never more.
TEST_F(JournalTest, AJournalTakesItsTablesGroupPermissions) {
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  for (const mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0660), mode_t(0666)}) {
    std::remove(d_path.c_str());
    std::remove(journal.c_str());
    makeBase(VELDBConnectInfo::CreateV4);
    ASSERT_EQ(chmod(d_path.c_str(), mode), 0);
    crashAt(4, [&] {
      TestTable t(info("old"), d_path);
      t.append(4, "under way");
    });
    struct stat st {};
    ASSERT_EQ(stat(journal.c_str(), &st), 0) << std::oct << mode;
    EXPECT_EQ(st.st_mode & 0777, mode & 0660) << std::oct << mode;
  }
}

TEST_F(JournalTest, AJournalWhoseHeaderIsDamagedOrCutShortIsRemovedAndTheTableKept) {
  makeBase(VELDBConnectInfo::CreateV4);
  const Outcome before = open();
  const std::string table = readAll(d_path);
  const std::string journal = FileDBJournaledFile::journalPath(d_path);
  const FileDBJournalKey key(password("old"), FileDBJournalKey::kTableJournal, d_path);
  std::string torn = craftJournal(key, 10, {{0, std::string(100, '\0')}});
  std::fill(torn.begin() + 80, torn.begin() + 136, '\0');
  for (const std::string& bytes : {std::string("VELJRN"), std::string(500, '\x5A'), torn}) {
    writeAll(journal, bytes);
    EXPECT_EQ(open().records, before.records);
    EXPECT_EQ(readAll(d_path), table);
    EXPECT_FALSE(FileDBBinaryFile::exists(journal));
  }
}

// The transaction file decides whether a marked journal is written back:
// an authentic one rolls the part back, none means it committed, and one
// not made under the password is refused with both files kept.
TEST_F(JournalTest, ATransactionFileCountsOnlyWhenItIsAuthentic) {
  const std::string data = d_dir + "/data.vtst";
  const std::string journal = FileDBJournaledFile::journalPath(data);
  unsigned char id[16];
  for (int i = 0; i < 16; ++i) id[i] = static_cast<unsigned char>(0xA0 + i);
  const VELString transaction = FileDBJournaledFile::transactionPath(data, id);
  const std::string original(64, 'a');
  // A part of a transaction, marked, whose process died before the commit
  // point's aftermath: the file holds the change, the journal stays.
  auto leaveMarkedPart = [&] {
    writeAll(data, original);
    FileDBJournaledFile f(data, [] { return password("old"); });
    f.beginChange();
    f.setPosition(0);
    const std::uint64_t n = 16;
    f.write(std::string(16, 'b').data(), n);
    ASSERT_TRUE(f.prepareCommit(id));
  };
  auto recoverWith = [&](const char* pw) {
    FileDBBinaryFile file(data, VELDBConnectInfo::ReadWrite);
    return FileDBJournaledFile::recover(file, journal, password(pw));
  };
  const std::string changed = std::string(16, 'b') + original.substr(16);

  leaveMarkedPart();
  FileDBJournaledFile::writeTransactionFile(transaction, id, password("old"));
  EXPECT_EQ(recoverWith("old"), FileDBJournaledFile::Recovery::kRolledBack);
  EXPECT_EQ(readAll(data), original);
  unlink(transaction.c_str());

  leaveMarkedPart();
  EXPECT_EQ(recoverWith("old"), FileDBJournaledFile::Recovery::kDiscarded);
  EXPECT_EQ(readAll(data), changed);
  EXPECT_FALSE(FileDBBinaryFile::exists(journal));

  // Planted: under another password, and in the earlier, unkeyed layout.
  std::string legacy = "VELTXN01" + std::string(reinterpret_cast<char*>(id), 16);
  legacy += sha256(legacy);
  for (int planted = 0; planted < 2; ++planted) {
    leaveMarkedPart();
    if (planted == 0) {
      FileDBJournaledFile::writeTransactionFile(transaction, id, password("guess"));
    } else {
      writeAll(transaction, legacy);
    }
    const std::string plantedBytes = readAll(transaction);
    const std::string journalBytes = readAll(journal);
    std::string message;
    EXPECT_EQ(errorOf([&] { recoverWith("old"); }, &message), VELDBError::kBadPassword) << message;
    EXPECT_NE(message.find(transaction), std::string::npos) << message;
    EXPECT_EQ(readAll(data), changed);
    EXPECT_EQ(readAll(journal), journalBytes);
    EXPECT_EQ(readAll(transaction), plantedBytes);
    unlink(transaction.c_str());
    unlink(journal.c_str());
  }
  unlink(data.c_str());
}

// Journals are bound to the table file's name, not its directory: a
// database moved while a change was interrupted still recovers.
TEST_F(JournalTest, AJournalStaysValidWhenItsDirectoryMoves) {
  const Outcome before = interruptedBase(VELDBConnectInfo::CreateV4);
  const std::string moved = d_dir + "-moved";
  ASSERT_EQ(0, rename(d_dir.c_str(), moved.c_str()));
  const std::string path = moved + "/table.vtst";
  {
    TestTable t(
        VELDBConnectInfo::FILE(moved + "/table", password("old"), VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite),
        path);
    EXPECT_EQ(t.records(), before.records);
  }
  EXPECT_FALSE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(path)));
  ASSERT_EQ(0, rename(moved.c_str(), d_dir.c_str()));
}

}  // namespace
