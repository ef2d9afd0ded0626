// Plan: what the table engine promises every table alike, asked once of the key, key-pair and CRL
// tables.  On the table files: new files and the files a table refuses, every unique index before
// and after a reopen, updates in place and refusals that change nothing, deletes and the compaction
// at the last close, IDs out of order, repeated or not the record's own, old minor versions, damage,
// failed opens and appends, growth and memory images.  Through the manager: a refused change hands
// out no ID, an ID is never handed out twice in a session, and a change of many records is one
// journaled change.
#include "filedbtable.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "filedbcrlstorage.h"
#include "filedbjournaledfile.h"
#include "filedbkeypairstorage.h"
#include "filedbkeystorage.h"
#include "filedbmanager.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "velfaultdisk.h"
#include "velplatform.h"
#include "veltestpki.h"
#include "veltesttablefiles.h"

namespace {

using namespace VELTestTableFiles;

const VELASNInteger kAny(0);
const unsigned char* const kFileTypes[] = {FileDBHeader::kKeyFileType, FileDBHeader::kKeyPairFileType,
                                           FileDBHeader::kCRLFileType};

VELBuffer der(const VELASNObject& object) { return VELASNUtility::getDEREncoding(object); }
std::uint32_t idOf(const VELASNRecord& r) { return VELDBUtility::asnToRecordID(r.getRecordID()); }

template <class UNIQUE>
using KeyList = std::vector<std::pair<UNIQUE, std::shared_ptr<VELASNObject>>>;

// What sets the key, key-pair and CRL tables (in this order) apart.
constexpr int kUniqueIndexCounts[] = {5, 3, 4}, kMultiIndexCounts[] = {3, 1, 2};
constexpr unsigned char kMinors[] = {2, 1, 1};  // the version before each is read too
constexpr bool kRenumbers[] = {true, true, false};
constexpr unsigned long kCopyErrors[] = {VELDBError::kDuplicateSignature, VELDBError::kDuplicatePublicKey,
                                         VELDBError::kDuplicateSignature};
const char* const kSuffixes[] = {".vkey", ".vkyp", ".vcrl"};

// Table `T`: its storage and record types, what sets it apart (minor
// versions, renumbering, its unique keys besides ID and label, and the
// number a copy of a record under another label is refused with), and the
// same table as the manager shows it.  `make` gives a fresh record; names in
// it take at most 20 characters of the label.
template <int T, class STORAGE, typename STORAGE::UniqueIndex ID, typename STORAGE::UniqueIndex LABEL,
          typename STORAGE::MultiIndex ALL, void (FileDBManager::*INSERT)(typename STORAGE::Record&),
          void (FileDBManager::*UPDATE)(typename STORAGE::UniqueIndex, typename STORAGE::Record&),
          unsigned long long (FileDBManager::*DELETE)(typename STORAGE::UniqueIndex, const VELASNObject&),
          unsigned long long (FileDBManager::*DELETE_ALL)(typename STORAGE::MultiIndex, const VELASNObject&),
          unsigned long long (FileDBManager::*COUNT)(typename STORAGE::MultiIndex, const VELASNObject&)>
struct ManagedTable {
  using Storage = STORAGE;
  using Record = typename STORAGE::Record;
  using Unique = typename STORAGE::UniqueIndex;
  using Multi = typename STORAGE::MultiIndex;
  static constexpr Unique kID = ID, kLabel = LABEL;
  static constexpr Multi kAll = ALL;
  static constexpr int kUniqueIndexes = kUniqueIndexCounts[T], kMultiIndexes = kMultiIndexCounts[T];
  static constexpr unsigned char kMinor = kMinors[T], kOldMinor = kMinors[T] - 1;
  static constexpr bool kRenumbersBackwardIDs = kRenumbers[T];
  static constexpr unsigned long kCopyError = kCopyErrors[T];
  static const unsigned char* fileType() { return kFileTypes[T]; }
  static const char* suffix() { return kSuffixes[T]; }
  static void insert(FileDBManager& m, Record& r) { (m.*INSERT)(r); }
  static void update(FileDBManager& m, Record& r) { (m.*UPDATE)(kID, r); }
  static unsigned long long remove(FileDBManager& m, const VELASNObject& key) { return (m.*DELETE)(kLabel, key); }
  static unsigned long long removeAll(FileDBManager& m) { return (m.*DELETE_ALL)(kAll, kAny); }
  static unsigned long long count(FileDBManager& m) { return (m.*COUNT)(kAll, kAny); }
};

struct KeyTable
    : ManagedTable<0, FileDBKeyStorage, VELDBManager::KeyRecordID, VELDBManager::KeyLabel, VELDBManager::KeyAllRecords,
                   &FileDBManager::insertKey, &FileDBManager::updateKeyByIndex, &FileDBManager::deleteKeyByIndex,
                   &FileDBManager::deleteKeyByIndex, &FileDBManager::getKeyCountByIndex> {
  static std::unique_ptr<Record> make(const std::string& label) {
    static int n = 0;
    return VELTestPKI::makeKeyRecord(label, "CN=" + label.substr(0, 20) + " " + std::to_string(++n));
  }
  static FileDBKeyRecordFields fields(const Record& r, std::uint32_t flag) {
    return FileDBKeyRecordFields(nullptr, r, flag, 0);
  }
  static KeyList<Unique> uniqueKeys(const Record& r) {
    const VELASNCertificate& c = r.getCertificate();
    return {{VELDBManager::KeySignature, std::make_shared<VELASNBitString>(c.getSignature())},
            {VELDBManager::KeyTBSCertificate, std::make_shared<VELASNTBSCertificate>(c.getTBSCertificate())},
            {VELDBManager::KeyIssuerAndSerialNumber,
             std::make_shared<VELASNIssuerAndSerialNumber>(VELASNUtility::getIssuerAndSerialNumber(c))}};
  }
};

struct KeyPairTable
    : ManagedTable<1, FileDBKeyPairStorage, VELDBManager::KeyPairRecordID, VELDBManager::KeyPairLabel,
                   VELDBManager::KeyPairAllRecords, &FileDBManager::insertKeyPair,
                   &FileDBManager::updateKeyPairByIndex, &FileDBManager::deleteKeyPairByIndex,
                   &FileDBManager::deleteKeyPairByIndex, &FileDBManager::getKeyPairCountByIndex> {
  static std::unique_ptr<Record> make(const std::string& label) {
    return VELTestPKI::makeKeyPairRecord(label, "CN=" + label.substr(0, 20));
  }
  static FileDBKeyPairRecordFields fields(const Record& r, std::uint32_t flag) {
    return FileDBKeyPairRecordFields(nullptr, r, flag);
  }
  static KeyList<Unique> uniqueKeys(const Record& r) {
    return {{VELDBManager::KeyPairPublicKeyInfo,
             std::make_shared<VELASNSubjectPublicKeyInfo>(r.getKeyPair().getSubjectPublicKeyInfo())}};
  }
};

struct CRLTable
    : ManagedTable<2, FileDBCRLStorage, VELDBManager::CRLRecordID, VELDBManager::CRLLabel, VELDBManager::CRLAllRecords,
                   &FileDBManager::insertCRL, &FileDBManager::updateCRLByIndex, &FileDBManager::deleteCRLByIndex,
                   &FileDBManager::deleteCRLByIndex, &FileDBManager::getCRLCountByIndex> {
  static std::unique_ptr<Record> make(const std::string& label) {
    return VELTestPKI::makeCRLRecord(label, "CN=" + label.substr(0, 20) + " CA");
  }
  static FileDBCRLRecordFields fields(const Record& r, std::uint32_t flag) {
    return FileDBCRLRecordFields(nullptr, r, flag);
  }
  static KeyList<Unique> uniqueKeys(const Record& r) {
    return {{VELDBManager::CRLSignature, std::make_shared<VELASNBitString>(r.getCRL().getSignature())},
            {VELDBManager::CRLTBSCertList, std::make_shared<VELASNTBSCertList>(r.getCRL().getTBSCertList())}};
  }
};

using Tables = ::testing::Types<KeyTable, KeyPairTable, CRLTable>;

// --- the table files ---------------------------------------------------------

// A new, empty table file at `d_path` (version 3, 80-byte header).
template <class TABLE>
class TableFileTest : public NewTableTest<typename TABLE::Storage> {
 protected:
  using Record = typename TABLE::Record;
  using Storage = typename TABLE::Storage;
  using Connection = TableConnection<Storage>;
  using Records = std::vector<std::unique_ptr<Record>>;
  static constexpr VELDBConnectInfo::AccessMode RW = VELDBConnectInfo::ReadWrite, RO = VELDBConnectInfo::ReadOnly;

  void TearDown() override { VELFaultDisk::uninstall(); }

  // Records labelled `prefix`1 to `prefix`n, inserted in turn.
  static Records insert(Connection& c, int n, const std::string& prefix = "r") {
    Records out;
    for (int i = 1; i <= n; ++i) {
      out.push_back(TABLE::make(prefix + std::to_string(i)));
      c->insertRecord(*out.back());
    }
    return out;
  }
  static std::unique_ptr<Record> byLabel(Connection& c, const std::string& label) {
    return std::unique_ptr<Record>(c->getRecordByIndex(TABLE::kLabel, VELASNLabelString(label)));
  }
  // The label of the record the ID finds; "" for none.
  static std::string labelAt(Connection& c, std::uint32_t id) {
    std::unique_ptr<Record> r(c->getRecordByIndex(TABLE::kID, VELDBUtility::recordIDToASN(id)));
    return r ? r->getLabel().getValue() : "";
  }
  // Of a connection or a storage.
  template <class C>
  static std::vector<std::string> labels(C& c) {
    std::unique_ptr<typename Storage::Container> all(c->getRecordByIndex(TABLE::kAll, kAny));
    std::vector<std::string> out;
    for (std::size_t i = 0; i < all->size(); ++i) out.push_back((*all)[i].getLabel().getValue());
    return out;
  }
  template <class C>
  static std::uint64_t live(C& c) {
    return c->getRecordCountByIndex(TABLE::kAll, kAny);
  }
  // A 5000-byte slot in state `flag` holding `record` under the slot ID `id`
  // (the record itself carries `own`, unless 0); `fieldsEnd` gets the length
  // its fields use.
  static std::string slot(Record& record, std::uint32_t id, std::uint32_t flag = 1, std::uint32_t own = 0,
                          std::uint64_t* fieldsEnd = nullptr) {
    record.setRecordID(own != 0 ? own : id);
    auto fields = TABLE::fields(record, flag);
    fields.recordID = id;
    if (fieldsEnd != nullptr) *fieldsEnd = fields.getSize();
    return slotImage(fields, 5000);
  }
  void write(const std::string& path, const std::vector<std::string>& slots, unsigned char minor = TABLE::kMinor,
             bool v4 = false, const unsigned char* type = TABLE::fileType()) {
    unlink(path.c_str());
    writeTable(path, type, minor, v4, 5000, slots);
  }
  std::uint64_t length(Connection& c) { return c->getFileHeader()->getFixedRecordLength(); }
};

TYPED_TEST_SUITE(TableFileTest, Tables);

TYPED_TEST(TableFileTest, NewFilesOpenEmptyAndOtherTypesAndVersionsAreRefused) {
  const std::string path = this->d_path;
  {
    typename TestFixture::Connection c(path, TestFixture::RW);
    EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), TypeParam::kMinor);
    EXPECT_EQ(c->getFileHeader()->getFileType(), VELBuffer(TypeParam::fileType(), 8));
    EXPECT_EQ(c->getLastRecordID(), 0u);
    EXPECT_EQ(this->live(c), 0u);
  }
  EXPECT_EQ(readAll(path).size(), 80u);  // the open and close wrote nothing
  const VELDBConnectInfo::FILE create = fileInfo(path, TestFixture::RW, VELDBConnectInfo::Create);
  EXPECT_EQ(errorOf([&] { TypeParam::Storage::newFile(create, path); }), VELDBError::kFileExists);
  // No connect info at all is refused, not followed.
  const std::unique_ptr<VELDBConnectInfo::OBJECT> none;
  EXPECT_EQ(errorOf([&] { TypeParam::Storage::newFile(none, path); }), VELDBError::kBadArgument);
  EXPECT_EQ(errorOf([&] { TypeParam::Storage::connectFile(none, path); }), VELDBError::kBadArgument);

  // The other tables' types, and minor versions neither new nor old.
  std::vector<std::pair<unsigned char, const unsigned char*>> refused = {
      {TypeParam::kMinor + 1, TypeParam::fileType()}};
  if (TypeParam::kOldMinor > 0) refused.push_back({TypeParam::kOldMinor - 1, TypeParam::fileType()});
  for (const unsigned char* type : kFileTypes) {
    if (type != TypeParam::fileType()) refused.push_back({TypeParam::kMinor, type});
  }
  for (const auto& file : refused) {
    unlink(path.c_str());
    FileDBStorage::newFile(create, path, file.first, file.second);
    EXPECT_EQ(errorOf([&] { typename TestFixture::Connection c(path, TestFixture::RW); }), VELDBError::kBadFormat)
        << "minor " << int(file.first) << " type " << reinterpret_cast<const char*>(file.second);
    EXPECT_EQ(FileDBStorage::referenceCount(path), 0u);
  }
}

TYPED_TEST(TableFileTest, EveryUniqueIndexFindsEveryRecordBeforeAndAfterAReopen) {
  typename TestFixture::Records records;
  for (const auto mode : {TestFixture::RW, TestFixture::RO}) {
    typename TestFixture::Connection c(this->d_path, mode);
    if (records.empty()) records = this->insert(c, 3);
    EXPECT_EQ(c->getLastRecordID(), 3u);
    for (std::uint32_t id = 1; id <= 3; ++id) {
      const auto& r = *records[id - 1];
      auto keys = TypeParam::uniqueKeys(r);
      keys.push_back({TypeParam::kID, std::make_shared<VELASNInteger>(VELDBUtility::recordIDToASN(id))});
      keys.push_back({TypeParam::kLabel, std::make_shared<VELASNLabelString>(r.getLabel())});
      for (const auto& key : keys) {
        std::unique_ptr<typename TypeParam::Record> got(c->getRecordByIndex(key.first, *key.second));
        ASSERT_TRUE(got) << "record " << id << " index " << key.first;
        EXPECT_EQ(der(*got), der(r));
        EXPECT_EQ(c->getRecordCountByIndex(key.first, *key.second), 1u);
      }
    }
    EXPECT_FALSE(this->byLabel(c, "absent"));
    EXPECT_EQ(c->getRecordCountByIndex(TypeParam::kID, VELDBUtility::recordIDToASN(4)), 0u);
    EXPECT_EQ(this->labels(c), (std::vector<std::string>{"r1", "r2", "r3"}));
  }
}

TYPED_TEST(TableFileTest, UpdatesStayInPlaceAndRefusalsAndBadIndexesChangeNothing) {
  using Record = typename TypeParam::Record;
  typename TestFixture::Connection c(this->d_path, TestFixture::RW);
  typename TestFixture::Records records = this->insert(c, 3);
  const std::uint64_t length = this->length(c);

  // Through another unique key with a new label; then through the label
  // with new content.
  records[1]->setLabel("renamed");
  c->updateRecordByIndex(TypeParam::uniqueKeys(*records[1])[0].first, *records[1]);
  EXPECT_FALSE(this->byLabel(c, "r2"));
  std::unique_ptr<Record> atSlot(c->getRecordAt(80 + length));
  ASSERT_TRUE(atSlot);
  EXPECT_EQ(atSlot->getLabel().getValue(), "renamed");
  EXPECT_EQ(idOf(*atSlot), 2u);
  std::unique_ptr<Record> replacement = TypeParam::make("r1");
  c->updateRecordByIndex(TypeParam::kLabel, *replacement);
  EXPECT_EQ(idOf(*replacement), 1u);
  std::unique_ptr<Record> first(c->getRecordAt(80));
  ASSERT_TRUE(first);
  EXPECT_EQ(der(*first), der(*replacement));
  for (const auto& key : TypeParam::uniqueKeys(*records[0])) {
    EXPECT_EQ(c->getRecordCountByIndex(key.first, *key.second), 0u) << "index " << key.first;
  }

  const std::string before = readAll(this->d_path);
  std::unique_ptr<Record> sameLabel = TypeParam::make("r3");
  EXPECT_EQ(errorOf([&] { c->insertRecord(*sameLabel); }), VELDBError::kDuplicateLabel);
  EXPECT_EQ(idOf(*sameLabel), 4u);  // the ID that was proposed
  Record copy(*records[2]);
  copy.setLabel("copy");
  EXPECT_EQ(errorOf([&] { c->insertRecord(copy); }), TypeParam::kCopyError);
  copy.setRecordID(2);  // record 2 onto record 3's keys
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(TypeParam::kID, copy); }), TypeParam::kCopyError);
  records[1]->setLabel("r3");
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(TypeParam::kID, *records[1]); }), VELDBError::kDuplicateLabel);
  std::unique_ptr<Record> stranger = TypeParam::make("nobody");
  std::string message;
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(TypeParam::kLabel, *stranger); }, &message),
            VELDBError::kNoMatchingRecord);
  EXPECT_EQ(message, "no matching record");
  stranger->setRecordID(99);
  EXPECT_EQ(errorOf([&] { c->updateRecordByIndex(TypeParam::kID, *stranger); }), VELDBError::kNoMatchingRecord);
  // Index values outside the enums, and keys of the wrong type.
  const auto badUnique = static_cast<typename TypeParam::Unique>(TypeParam::kUniqueIndexes);
  const auto badMulti = static_cast<typename TypeParam::Multi>(TypeParam::kMultiIndexes);
  const VELASNInteger id(1);
  const std::function<void()> badIndexes[] = {
      [&] { delete c->getRecordByIndex(badUnique, id); }, [&] { c->getRecordCountByIndex(badUnique, id); },
      [&] { c->deleteRecordByIndex(badUnique, id); },     [&] { c->updateRecordByIndex(badUnique, *stranger); },
      [&] { delete c->getRecordByIndex(badMulti, id); },  [&] { c->getRecordCountByIndex(badMulti, id); },
      [&] { c->deleteRecordByIndex(badMulti, id); }};
  for (const auto& call : badIndexes) {
    EXPECT_EQ(errorOf(call, &message), VELDBError::kBadArgument);
    EXPECT_EQ(message, "asnObj is invalid - wrong type");
  }
  EXPECT_EQ(errorOf([&] { delete c->getRecordByIndex(TypeParam::kID, VELASNLabelString("r1")); }),
            VELDBError::kBadArgument);
  for (const auto& key : TypeParam::uniqueKeys(*records[2])) {
    EXPECT_EQ(errorOf([&] { c->deleteRecordByIndex(key.first, id); }), VELDBError::kBadArgument) << key.first;
  }
  EXPECT_EQ(errorOf([&] { c->deleteRecordByIndex(TypeParam::kLabel, id); }), VELDBError::kBadArgument);
  EXPECT_EQ(readAll(this->d_path), before);
  EXPECT_EQ(this->live(c), 3u);

  // Record 1's old keys are free again, and the next ID follows.
  records[0]->setLabel("old r1");
  c->insertRecord(*records[0]);
  EXPECT_EQ(idOf(*records[0]), 4u);
}

TYPED_TEST(TableFileTest, DeletesMarkTheSlotAndOnlyTheLastCloseCompacts) {
  const std::string& path = this->d_path;
  std::uint64_t length = 0;
  {
    typename TestFixture::Connection c(path, TestFixture::RW);
    const typename TestFixture::Records records = this->insert(c, 5);
    length = this->length(c);
    const std::string before = readAll(path);
    EXPECT_EQ(c->deleteRecordByIndex(TypeParam::kLabel, VELASNLabelString("r2")), 1u);
    EXPECT_EQ(c->deleteRecordByIndex(TypeParam::kLabel, VELASNLabelString("r2")), 0u);
    const std::string after = readAll(path);
    const std::size_t at = 80 + length;
    EXPECT_EQ(bigEndian32(after, at), 2u);  // marked deleted, its bytes kept
    EXPECT_EQ(after.substr(at + 4, length - 4), before.substr(at + 4, length - 4));
    EXPECT_EQ(c->deleteRecordByIndex(TypeParam::kID, VELDBUtility::recordIDToASN(4)), 1u);
    const auto key = TypeParam::uniqueKeys(*records[4])[0];
    EXPECT_EQ(c->deleteRecordByIndex(key.first, *key.second), 1u);  // the last ID, through another unique key
    EXPECT_EQ(this->labels(c), (std::vector<std::string>{"r1", "r3"}));
    EXPECT_EQ(readAll(path).size(), 80 + 5 * length);
    EXPECT_EQ(idOf(*this->insert(c, 1, "new")[0]), 6u);  // IDs continue past the deleted last one
    {
      typename TestFixture::Connection second(path, TestFixture::RO);
      EXPECT_EQ(second.storage, c.storage);
      EXPECT_EQ(FileDBStorage::referenceCount(path), 2u);
    }
    EXPECT_EQ(FileDBStorage::referenceCount(path), 1u);
    EXPECT_EQ(readAll(path).size(), 80 + 6 * length);  // that close compacted nothing
  }
  EXPECT_EQ(readAll(path).size(), 80 + 3 * length);
  typename TestFixture::Connection c(path, TestFixture::RW);
  EXPECT_EQ(this->labels(c), (std::vector<std::string>{"r1", "r3", "new1"}));
  EXPECT_EQ(this->labelAt(c, 3), "r3");
  EXPECT_EQ(idOf(*this->insert(c, 1, "newer")[0]), 7u);
  {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    TypeParam::Storage::disconnect(c.storage, true);
  }
  EXPECT_FALSE(FileDBBinaryFile::exists(path));
}

// Slot IDs 5, 3, 5 and 9, the last slot's record carrying 12: tables that
// renumber backward IDs give the 3 the next free ID, the others keep it;
// all give the repeated 5 a free one and index the 9 under the slot's ID.
// The slots of 3 and 9 are in states this table never writes (0 and 3,
// from another writer): they are shown as records, and compaction keeps them.
TYPED_TEST(TableFileTest, RecordIDsOutOfOrderRepeatedOrNotTheRecordsOwnFindTheirRecords) {
  const std::string& path = this->d_path;
  typename TestFixture::Records r;
  for (int i = 1; i <= 4; ++i) r.push_back(TypeParam::make("s" + std::to_string(i)));
  this->write(path, {this->slot(*r[0], 5), this->slot(*r[1], 3, 0), this->slot(*r[2], 5), this->slot(*r[3], 9, 3, 12)});
  const std::string original = readAll(path);
  {
    typename TestFixture::Connection c(path, TestFixture::RW);
    EXPECT_EQ(c->getLastRecordID(), 9u);
    EXPECT_EQ(this->labelAt(c, 3), TypeParam::kRenumbersBackwardIDs ? "" : "s2");
    EXPECT_EQ(this->labelAt(c, 6), TypeParam::kRenumbersBackwardIDs ? "s2" : "s3");
    EXPECT_EQ(this->labelAt(c, 9), "s4");
    EXPECT_EQ(this->labelAt(c, 12), "");
    // Each is handed out under the ID that finds it again.
    std::set<std::uint32_t> ids;
    for (int i = 1; i <= 4; ++i) {
      const std::string label = "s" + std::to_string(i);
      std::unique_ptr<typename TypeParam::Record> got = this->byLabel(c, label);
      ASSERT_TRUE(got) << label;
      EXPECT_EQ(this->labelAt(c, idOf(*got)), label);
      ids.insert(idOf(*got));
    }
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(readAll(path), original);  // nothing written while indexing
    EXPECT_EQ(idOf(*this->insert(c, 1)[0]), 10u);
    EXPECT_EQ(c->deleteRecordByIndex(TypeParam::kLabel, VELASNLabelString("s3")), 1u);
    EXPECT_EQ(this->labelAt(c, TypeParam::kRenumbersBackwardIDs ? 6 : 3), "s2");
  }
  EXPECT_EQ(readAll(path).size(), 80u + 4 * 5000);
  {
    typename TestFixture::Connection c(path, TestFixture::RW);
    EXPECT_EQ(this->labels(c), (std::vector<std::string>{"s1", "s2", "s4", "r1"}));
    // Deleting every record reaches the renumbered ones too.
    EXPECT_EQ(c->deleteRecordByIndex(TypeParam::kAll, kAny), 4u);
    EXPECT_EQ(this->live(c), 0u);
    EXPECT_TRUE(this->labels(c).empty());
  }
  EXPECT_EQ(readAll(path).size(), 80u);

  // Giving a repeated ID past 4294967295 a new one would wrap to 0.
  this->write(path, {this->slot(*r[0], 0xFFFFFFFFu), this->slot(*r[1], 0xFFFFFFFFu)});
  EXPECT_EQ(errorOf([&] { typename TestFixture::Connection c(path, TestFixture::RO); }), VELDBError::kRecordIDRollover);
}

// Slot 1 has stray bytes behind its fields, slot 2 too and is deleted,
// slot 3 is clean.
TYPED_TEST(TableFileTest, OldMinorVersionTailsAreClearedOnlyByAReadWriteOpen) {
  const std::string& path = this->d_path;
  for (bool v4 : {false, true}) {
    SCOPED_TRACE(v4 ? "version 4" : "version 3");
    typename TestFixture::Records r;
    std::uint64_t ends[3];
    std::vector<std::string> slots;
    for (std::uint32_t i = 0; i < 3; ++i) {
      r.push_back(TypeParam::make("s" + std::to_string(i + 1)));
      slots.push_back(this->slot(*r[i], i + 1, i == 1 ? 2 : 1, 0, &ends[i]));
    }
    slots[0][4000] = slots[0][4999] = slots[1][4500] = 0x5A;
    slots[0].replace(ends[0], 10, "left over!");
    this->write(path, slots, TypeParam::kOldMinor, v4);
    const std::string original = readAll(path);
    const std::size_t header = v4 ? 88 : 80;
    {
      typename TestFixture::Connection c(path, TestFixture::RO);
      EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), TypeParam::kOldMinor);
      EXPECT_EQ(this->labels(c), (std::vector<std::string>{"s1", "s3"}));
    }
    EXPECT_EQ(readAll(path), original);
    {
      typename TestFixture::Connection c(path, TestFixture::RW);
      EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), TypeParam::kMinor);
      const std::string cleaned = readAll(path);
      ASSERT_EQ(cleaned.size(), original.size());
      for (int i = 0; i < 3; ++i) {
        const std::size_t from = header + 5000 * i;
        EXPECT_EQ(cleaned.compare(from, ends[i], original, from, ends[i]), 0) << "slot " << i;
        EXPECT_EQ(cleaned.substr(from + ends[i], 5000 - ends[i]), std::string(5000 - ends[i], '\0')) << "slot " << i;
      }
      EXPECT_EQ(this->labels(c), (std::vector<std::string>{"s1", "s3"}));
    }
    // Both hashes verify; the deleted slot went at the close.
    typename TestFixture::Connection c(path, TestFixture::RO);
    EXPECT_EQ(c->getFileHeader()->getMinorVersionNumber(), TypeParam::kMinor);
    EXPECT_EQ(c->getFileHeader()->getRecordsAllocated(), 2u);
    EXPECT_EQ(this->labels(c), (std::vector<std::string>{"s1", "s3"}));
  }
}

// The open checks the database hash on the same pass that builds the
// indexes: whatever the walk meets in a damaged file, the open reports the
// damage.  In an intact file a live slot that cannot be read fails the open
// (a deleted one is passed over).  Either way nothing is written: the tails
// an old-minor-version open cleared before the failure are rolled back, no
// deleted slot is compacted away, and the file stays sealed.
TYPED_TEST(TableFileTest, OpensThatFailLeaveTheFileAsItWas) {
  const std::string& path = this->d_path;
  typename TestFixture::Records r;
  std::vector<std::string> tail;
  for (std::uint32_t i = 1; i <= 3; ++i) {
    r.push_back(TypeParam::make("s" + std::to_string(i)));
    tail.push_back(this->slot(*r.back(), i));
  }
  tail[0].replace(4000, 10, "dirty tail");
  std::vector<std::string> unreadable = tail;
  unreadable[1][8] = static_cast<char>(0xFF);  // its first length past the slot
  std::vector<std::string> deletedUnreadable = unreadable, deletedFirst = unreadable;
  deletedUnreadable[1][3] = 2;
  deletedFirst[0][3] = 2;
  this->write(path, deletedUnreadable, TypeParam::kOldMinor);
  {
    typename TestFixture::Connection c(path, TestFixture::RW);
    EXPECT_EQ(this->labels(c), (std::vector<std::string>{"s1", "s3"}));
  }
  EXPECT_EQ(readAll(path).size(), 80u + 2 * 5000);

  const unsigned char* own = TypeParam::fileType();
  const unsigned char* other = own == kFileTypes[2] ? kFileTypes[0] : kFileTypes[2];
  const struct {
    const std::vector<std::string>& slots;
    unsigned char minor;
    const unsigned char* type;
    bool damaged;
  } cases[] = {{unreadable, TypeParam::kOldMinor, own, false},
               {deletedFirst, TypeParam::kOldMinor, own, false},
               {unreadable, TypeParam::kMinor, own, true},
               {tail, TypeParam::kOldMinor, own, true},
               {tail, TypeParam::kMinor, other, true}};
  for (bool v4 : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(&c - cases) + (v4 ? ", version 4" : ", version 3"));
      this->write(path, c.slots, c.minor, v4, c.type);
      std::string before = readAll(path);
      if (c.damaged) {
        before.back() ^= 0x01;  // the last slot's padding
        VELTestUtil::writeAll(path, before);
      }
      const unsigned long error = c.damaged ? VELDBError::kHashMismatch : VELDBError::kBadArgument;
      EXPECT_EQ(errorOf([&] { typename TestFixture::Connection t(path, TestFixture::RW); }), error);
      EXPECT_EQ(errorOf([&] { typename TestFixture::Connection t(path, TestFixture::RO); }), error);
      EXPECT_TRUE(readAll(path) == before) << "the file was written to";
      EXPECT_FALSE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(path)));
    }
  }
}

TYPED_TEST(TableFileTest, AFailedAppendLeavesTheTableOpenable) {
  // Write 1 of an insert is the slot, write 2 the header.
  for (int failAt : {1, 2}) {
    SCOPED_TRACE(failAt);
    unlink(this->d_path.c_str());
    TypeParam::Storage::newFile(fileInfo(this->d_path, TestFixture::RW, VELDBConnectInfo::Create), this->d_path);
    auto c = std::make_unique<typename TestFixture::Connection>(this->d_path, TestFixture::RW);
    this->insert(*c, 2);
    const std::uint64_t length = this->length(*c);
    std::unique_ptr<typename TypeParam::Record> failed = TypeParam::make("failed");
    VELFaultDisk::install();
    VELFaultDisk::fail(VELFaultDisk::kWrite, failAt, ENOSPC);
    EXPECT_EQ(errorOf([&] { (*c)->insertRecord(*failed); }), VELDBError::kWrite);
    VELFaultDisk::uninstall();
    EXPECT_EQ(readAll(this->d_path).size(), 80 + 2 * length);
    EXPECT_EQ(this->live(*c), 2u);
    EXPECT_FALSE(this->byLabel(*c, "failed"));
    for (const auto& key : TypeParam::uniqueKeys(*failed))
      EXPECT_EQ((*c)->getRecordCountByIndex(key.first, *key.second), 0u);
    // The table goes on.  The failed insert had handed out ID 3 (it is in
    // the caller's record): the retry takes the next one.
    (*c)->insertRecord(*failed);
    EXPECT_EQ(idOf(*failed), 4u);
    c.reset();
    c = std::make_unique<typename TestFixture::Connection>(this->d_path, TestFixture::RO);
    EXPECT_EQ(this->labels(*c), (std::vector<std::string>{"r1", "r2", "failed"}));
  }
}

TYPED_TEST(TableFileTest, LargeRecordsGrowTheRecordLengthInThousandByteSteps) {
  const std::string path = this->d_dir + "/v4";
  TypeParam::Storage::newFile(fileInfo(path, TestFixture::RW, VELDBConnectInfo::CreateV4), path);
  auto c = std::make_unique<typename TestFixture::Connection>(path, TestFixture::RW);
  typename TestFixture::Records records = this->insert(*c, 3);
  EXPECT_EQ(readAll(path).size(), 88u + 3 * 5000);
  auto grown = [](std::uint64_t size) { return 5000 + (size - 5000 + 999) / 1000 * 1000; };
  records.push_back(TypeParam::make(std::string(6000, 'L')));
  records.back()->setRecordID(4);
  const std::uint64_t big = TypeParam::fields(*records.back(), 1).getSize();
  ASSERT_GT(big, 6000u);
  (*c)->insertRecord(*records.back());
  const std::uint64_t length = grown(big);
  EXPECT_EQ(this->length(*c), length);
  EXPECT_EQ(readAll(path).size(), 88 + 4 * length);

  // An update that does not fit grows the length again and lands in place.
  records[1]->setLabel(std::string(length, 'U'));
  (*c)->updateRecordByIndex(TypeParam::kID, *records[1]);
  const std::uint64_t longer = this->length(*c);
  EXPECT_EQ(longer, grown(TypeParam::fields(*records[1], 1).getSize()));
  EXPECT_EQ(readAll(path).size(), 88 + 4 * longer);
  std::unique_ptr<typename TypeParam::Record> second((*c)->getRecordAt(88 + longer));
  ASSERT_TRUE(second);
  EXPECT_EQ(der(*second), der(*records[1]));

  // Both hashes verify on reopening; every record is still there.
  c.reset();
  c = std::make_unique<typename TestFixture::Connection>(path, TestFixture::RO);
  EXPECT_EQ(this->length(*c), longer);
  for (const auto& r : records) {
    std::unique_ptr<typename TypeParam::Record> got = this->byLabel(*c, r->getLabel().getValue());
    ASSERT_TRUE(got);
    EXPECT_EQ(der(*got), der(*r));
  }
}

TYPED_TEST(TableFileTest, StringConnectionsWorkAlikeAndAreNeverShared) {
  using Storage = typename TypeParam::Storage;
  VELString image;
  const VELPasswordEncryptor secret = password();
  VELDBConnectInfo::STRING rw("memory", &image, secret, VELDBConnectInfo::Create, TestFixture::RW);
  Storage::newFile(rw, "memory");
  typename TestFixture::Records records;
  std::uint64_t length = 0;
  {
    std::unique_ptr<Storage, void (*)(Storage*)> s(Storage::connectFile(rw, "memory"),
                                                   [](Storage* p) { Storage::disconnect(p, false); });
    Storage* other = Storage::connectFile(rw, "memory");
    EXPECT_NE(other, s.get());
    Storage::disconnect(other, false);
    for (int i = 1; i <= 5; ++i) {
      records.push_back(TypeParam::make(i == 5 ? std::string(5500, 'M') : "m" + std::to_string(i)));
      s->insertRecord(*records.back());
    }
    length = s->getFileHeader()->getFixedRecordLength();
    EXPECT_EQ(s->deleteRecordByIndex(TypeParam::kLabel, VELASNLabelString("m2")), 1u);
    EXPECT_EQ(this->live(s), 4u);
    EXPECT_EQ(FileDBStorage::referenceCount("memory"), 0u);
  }
  EXPECT_EQ(image.size(), 80 + 4 * length);  // compacted in memory
  VELDBConnectInfo::STRING ro("memory", &image, secret, VELDBConnectInfo::Open, TestFixture::RO);
  Storage* s = Storage::connectFile(ro, "memory");
  EXPECT_EQ(this->labels(s), (std::vector<std::string>{"m1", "m3", "m4", records.back()->getLabel().getValue()}));
  std::unique_ptr<typename TypeParam::Record> got(s->getRecordByIndex(TypeParam::kID, VELDBUtility::recordIDToASN(5)));
  ASSERT_TRUE(got);
  EXPECT_EQ(der(*got), der(*records.back()));
  Storage::disconnect(s, false);
}

// --- through the manager -----------------------------------------------------

template <class TABLE>
class TableEngineTest : public VELTestUtil::TempDirTest<::testing::Test> {
 protected:
  void SetUp() override {
    d_manager.reset(new FileDBManager(VELDBConnectInfo::FILE(d_base, VELPasswordEncryptor("engine", 6),
                                                             VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite)));
  }
  void TearDown() override { d_manager.reset(); }
  std::string path() const { return d_base + TABLE::suffix(); }

  std::unique_ptr<FileDBManager> d_manager;
};

TYPED_TEST_SUITE(TableEngineTest, Tables);

TYPED_TEST(TableEngineTest, ARefusedChangeTouchesNothingAndTakesNoID) {
  FileDBManager& m = *this->d_manager;
  for (const char* label : {"a", "b", "c"}) TypeParam::insert(m, *TypeParam::make(label));
  EXPECT_EQ(1u, TypeParam::remove(m, VELASNLabelString("c")));
  const std::string before = readAll(this->path());
  std::unique_ptr<typename TypeParam::Record> duplicate = TypeParam::make("a");
  std::unique_ptr<typename TypeParam::Record> missing = TypeParam::make("missing");
  missing->setRecordID(77);
  {
    const VELFaultDisk::Installed counting;
    EXPECT_EQ(VELDBError::kDuplicateLabel, errorOf([&] { TypeParam::insert(m, *duplicate); }));
    EXPECT_EQ(VELDBError::kNoMatchingRecord, errorOf([&] { TypeParam::update(m, *missing); }));
    EXPECT_EQ(0u, TypeParam::remove(m, VELASNLabelString("nothing")));
    // No journal, no write, and no re-read of the table.
    EXPECT_EQ(0, VELFaultDisk::disk().calls[VELFaultDisk::kWrite]);
    EXPECT_EQ(0, VELFaultDisk::disk().creates);
    EXPECT_EQ(0, VELFaultDisk::disk().calls[VELFaultDisk::kRead]);
  }
  EXPECT_TRUE(before == readAll(this->path()));
  // IDs 1 to 3 were handed out; the record deleted last does not give its
  // ID back, nor does the refused insert, inside a transaction either.
  std::unique_ptr<typename TypeParam::Record> next = TypeParam::make("d");
  TypeParam::insert(m, *next);
  EXPECT_EQ(4u, idOf(*next));
  m.beginTransaction();
  EXPECT_EQ(1u, TypeParam::remove(m, VELASNLabelString("d")));
  EXPECT_EQ(VELDBError::kDuplicateLabel, errorOf([&] { TypeParam::insert(m, *TypeParam::make("a")); }));
  std::unique_ptr<typename TypeParam::Record> last = TypeParam::make("e");
  TypeParam::insert(m, *last);
  m.commitTransaction();
  EXPECT_EQ(5u, idOf(*last));
  EXPECT_EQ(3u, TypeParam::count(m));
}

TYPED_TEST(TableEngineTest, NoIDIsHandedOutTwiceEvenWhenItsChangeIsRolledBack) {
  FileDBManager& m = *this->d_manager;
  TypeParam::insert(m, *TypeParam::make("first"));
  std::unique_ptr<typename TypeParam::Record> undone = TypeParam::make("undone");
  m.beginTransaction();
  TypeParam::insert(m, *undone);
  m.rollbackTransaction();
  std::unique_ptr<typename TypeParam::Record> next = TypeParam::make("next");
  TypeParam::insert(m, *next);
  EXPECT_GT(idOf(*next), idOf(*undone));
  EXPECT_EQ(2u, TypeParam::count(m));
}

TYPED_TEST(TableEngineTest, DeletingManyRecordsIsOneJournaledChange) {
  FileDBManager& m = *this->d_manager;
  m.beginTransaction();
  for (int i = 0; i < 12; ++i) TypeParam::insert(m, *TypeParam::make("r" + std::to_string(i)));
  m.commitTransaction();
  {
    const VELFaultDisk::Installed counting;
    EXPECT_EQ(12u, TypeParam::removeAll(m));
    EXPECT_EQ(1, VELFaultDisk::disk().creates);  // one journal for the twelve
  }
  EXPECT_EQ(0u, TypeParam::count(m));
  EXPECT_FALSE(FileDBBinaryFile::exists(FileDBJournaledFile::journalPath(this->path())));
}

}  // namespace
