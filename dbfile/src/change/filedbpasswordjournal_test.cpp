// Plan: a password journal is hostile input until it authenticates.  Plant journals that name
// files outside the database, that another database or another password made, and check that
// nothing is written and the journal stays; then interrupt real password changes at every
// point and check that either password's read-write open rolls them back.
#include "filedbpasswordjournal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "filedbjournaledfile.h"
#include "filedbjournalkey.h"
#include "filedbmanager.h"
#include "velfaultdisk.h"
#include "veltestdatabase.h"
#include "veltestpki.h"

namespace {

using VELTestDatabase::password;
using VELTestDatabase::readAll;
using VELTestDatabase::sideFiles;
using VELTestDatabase::writeAll;

std::string be32(std::uint32_t v) {
  std::string out(4, '\0');
  for (int i = 3; i >= 0; --i, v >>= 8) out[i] = static_cast<char>(v & 0xFF);
  return out;
}

class PasswordJournalTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void SetUp() override { FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff); }
  void TearDown() override {
    VELFaultDisk::uninstall();
    FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncFull);
  }

  static FileDBPasswordJournal::Paths paths(const std::string& base) {
    return {base + ".vkey", base + ".vkyp", base + ".vcrl"};
  }
  static std::unique_ptr<FileDBManager> open(const std::string& base, const char* pw,
                                             VELDBConnectInfo::AccessMode mode = VELDBConnectInfo::ReadWrite,
                                             VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Open) {
    return std::unique_ptr<FileDBManager>(new FileDBManager(VELDBConnectInfo::FILE(base, password(pw), type, mode)));
  }
  // A database of one record in each table, under `pw`.
  static void makeDatabase(const std::string& base, const char* pw, const std::string& label = "k") {
    auto m = open(base, pw, VELDBConnectInfo::ReadWrite, VELDBConnectInfo::CreateV4);
    m->insertKey(*VELTestPKI::makeKeyRecord(label, "CN=" + label));
    m->insertKeyPair(*VELTestPKI::makeKeyPairRecord("kp", "CN=kp"));
    m->insertCRL(*VELTestPKI::makeCRLRecord("crl", "CN=ca", 3));
  }
  // A journal of a change of `base` from `from` to `to`, as the manager
  // writes it, with the tables' headers as they are now.
  static void writeJournal(const std::string& base, const char* from, const char* to) {
    const FileDBPasswordJournal::Paths p = paths(base);
    std::vector<std::pair<FileDBPasswordJournal::Table, VELBuffer>> headers;
    for (FileDBPasswordJournal::Table t :
         {FileDBPasswordJournal::kKeyTable, FileDBPasswordJournal::kKeyPairTable, FileDBPasswordJournal::kCRLTable}) {
      const std::string bytes = readAll(p[t]).substr(0, 88);
      headers.emplace_back(t, VELBuffer(bytes.data(), bytes.size()));
    }
    FileDBPasswordJournal::write(p, headers, password(from), password(to));
  }
  // Every file of the database's directory, by name.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(d_dir)) {
      files[entry.path().filename().string()] = readAll(entry.path().string());
    }
    return files;
  }
  std::string journal() const { return FileDBPasswordJournal::path(d_base + ".vkey"); }

  // Opening `base` with `pw` fails with `error`, naming the journal, and
  // changes no file of the directory.
  void expectRefused(const char* pw, VELDBConnectInfo::AccessMode mode, unsigned long error) {
    const auto before = snapshot();
    try {
      open(d_base, pw, mode);
      ADD_FAILURE() << "opened";
    } catch (const VELDBException& e) {
      EXPECT_EQ(e.getError(), error) << e.what();
      EXPECT_NE(e.getMessage().find(journal()), std::string::npos) << e.what();
    }
    EXPECT_EQ(snapshot(), before);
  }
  // A journal that cannot be trusted beside tables that verify as they
  // stand: both kinds of open go on with the tables as they are, say why,
  // and change no file; another password is refused, naming the journal.
  void expectPassedBy(unsigned long error) {
    const auto before = snapshot();
    for (auto mode : {VELDBConnectInfo::ReadOnly, VELDBConnectInfo::ReadWrite}) {
      auto m = open(d_base, "old", mode);
      EXPECT_EQ(1u, m->getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
      ASSERT_EQ(1u, m->getOpenNotices().size());
      EXPECT_NE(m->getOpenNotices()[0].find(journal()), std::string::npos) << m->getOpenNotices()[0];
    }
    EXPECT_EQ(snapshot(), before);
    expectRefused("third", VELDBConnectInfo::ReadWrite, error);
  }
};

// The attack: a journal planted beside the key file that names another
// file.  It is never applied (the earlier layout cannot be authenticated):
// the database opens as it stands, the file outside stays byte-identical
// and the journal stays.
TEST_F(PasswordJournalTest, AJournalNamingOtherFilesWritesNothing) {
  makeDatabase(d_base, "old");
  const VELTestUtil::TempDir outside("velpwjournal");
  const std::string victim = outside.file("victim");
  writeAll(victim, "precious bytes that nobody may overwrite");
  std::string planted = "VELPWJ01" + be32(2);
  for (const std::string& target : {victim, d_base + ".vkey"}) {
    planted += be32(static_cast<std::uint32_t>(target.size())) + target + be32(16) + std::string(16, 'X');
  }
  unsigned char sum[32];
  FileDBJournalKey::checksum(sum, {FileDBJournalKey::Piece(planted.data(), planted.size())});
  planted.append(reinterpret_cast<char*>(sum), 32);
  writeAll(journal(), planted);

  expectPassedBy(VELDBError::kBadFormat);
  EXPECT_EQ(readAll(victim), "precious bytes that nobody may overwrite");
  EXPECT_EQ(readAll(journal()), planted);

  // Removed by hand, the database is as it was.
  unlink(journal().c_str());
  EXPECT_EQ(1u, open(d_base, "old")->getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
}

// A journal made without this database's password, by another database,
// or by a database of the same name and password elsewhere is never
// applied and kept; nothing is written.
TEST_F(PasswordJournalTest, AJournalOfAnotherPasswordOrDatabaseIsRefused) {
  makeDatabase(d_base, "old");

  // Made with passwords that are not this database's.
  writeJournal(d_base, "guess", "other guess");
  expectPassedBy(VELDBError::kBadPassword);

  // Another database of this directory, same passwords: bound to its name.
  const std::string other = d_dir + "/other";
  makeDatabase(other, "old");
  writeJournal(other, "old", "new");
  std::filesystem::rename(FileDBPasswordJournal::path(other + ".vkey"), journal());
  expectPassedBy(VELDBError::kBadPassword);

  // A database of the same name and password in another directory: it
  // authenticates, but its tables are not these.
  const VELTestUtil::TempDir elsewhere("velpwjournal");
  makeDatabase(elsewhere.file("db"), "old", "elsewhere");
  writeJournal(elsewhere.file("db"), "old", "new");
  std::filesystem::copy_file(FileDBPasswordJournal::path(elsewhere.file("db.vkey")), journal(),
                             std::filesystem::copy_options::overwrite_existing);
  expectPassedBy(VELDBError::kBadPassword);
  expectRefused("new", VELDBConnectInfo::ReadWrite, VELDBError::kBadFormat);

  unlink(journal().c_str());
  auto m = open(d_base, "old");
  const std::unique_ptr<VELASNKeyRecord> record(m->getKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("k")));
  EXPECT_NE(nullptr, record);
}

// A journal cut short while it was written (before any table changed) is
// removed, even by the wrong password's open, and the database opens.
TEST_F(PasswordJournalTest, AJournalCutShortIsRemoved) {
  makeDatabase(d_base, "old");
  writeJournal(d_base, "old", "new");
  const std::string whole = readAll(journal());
  for (std::size_t keep : {std::size_t(3), whole.size() / 2, whole.size() - 1}) {
    writeAll(journal(), whole.substr(0, keep));
    open(d_base, "old");
    EXPECT_FALSE(FileDBBinaryFile::exists(journal())) << keep;
  }
}

// A password change killed at every point: a read-only open sees the old
// password's tables and writes nothing while a journal is left; a read-write open rolls the
// change back whichever of the two passwords it gives, and the old
// password then opens every table with every record.
TEST_F(PasswordJournalTest, AnInterruptedChangeRollsBackWithEitherPassword) {
  makeDatabase(d_base, "old");
  const auto base = snapshot();
  auto change = [&] { open(d_base, "old")->setDBPassword(password("old"), password("new"), 0); };
  const long long total = VELFaultDisk::countChanges(change);

  int recovered[2] = {0, 0};  // by the old password, by the new
  for (long long k = 0; k < total; ++k) {
    for (const std::string& name : sideFiles(d_dir, d_base)) unlink((d_dir + "/" + name).c_str());
    for (const auto& file : base) writeAll(d_dir + "/" + file.first, file.second);
    VELFaultDisk::crashAt(k, change);
    if (!FileDBBinaryFile::exists(journal())) continue;
    SCOPED_TRACE("crash at call " + std::to_string(k));

    // Read-only first: the old password is the committed one, the new one
    // is refused; nothing is written.
    const auto left = snapshot();
    {
      auto reader = open(d_base, "old", VELDBConnectInfo::ReadOnly);
      EXPECT_EQ(1u, reader->getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
      EXPECT_EQ(1u, reader->getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));
      EXPECT_EQ(1u, reader->getCRLCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger(0)));
      EXPECT_TRUE(reader->getOpenNotices().empty());
    }
    try {
      open(d_base, "new", VELDBConnectInfo::ReadOnly);
      ADD_FAILURE() << "a reader took the password of a change that did not commit";
    } catch (const VELDBException& e) {
      EXPECT_EQ(e.getError(), VELDBError::kBadPassword) << e.what();
    }
    EXPECT_EQ(snapshot(), left);

    const bool withNew = k % 2 == 0;
    if (withNew) {
      try {
        open(d_base, "new");
        ADD_FAILURE() << "the new password opened a database whose change was rolled back";
      } catch (const VELDBException& e) {
        EXPECT_EQ(e.getError(), VELDBError::kBadPassword) << e.what();
        EXPECT_NE(e.getMessage().find("rolled back"), std::string::npos) << e.what();
      }
    }
    auto m = open(d_base, "old");
    ++recovered[withNew ? 1 : 0];
    EXPECT_TRUE(m->isKeyPairEnabled() && m->isCRLEnabled());
    EXPECT_EQ(1u, m->getKeyCountByIndex(VELDBManager::KeyAllRecords, VELASNInteger(0)));
    EXPECT_EQ(1u, m->getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, VELASNInteger(0)));
    EXPECT_EQ(1u, m->getCRLCountByIndex(VELDBManager::CRLAllRecords, VELASNInteger(0)));
    m.reset();
    EXPECT_TRUE(sideFiles(d_dir, d_base).empty());
  }
  std::printf("[ password journal ] %lld crash points: %d rolled back by the old password, %d by the new\n", total,
              recovered[0], recovered[1]);
  EXPECT_GT(recovered[0], 0);
  EXPECT_GT(recovered[1], 0);
}

}  // namespace
