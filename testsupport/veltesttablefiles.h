// veltesttablefiles.h -- helpers for the table tests: files and headers
// written byte by byte and sealed with the header classes, as another writer
// would leave them; connections to a table file; and the checks that the
// record-fields and master-index tests share (lengths past a slot, the
// order of the unique-key collisions, multi-index walks).
#ifndef TESTSUPPORT_VELTESTTABLEFILES_H
#define TESTSUPPORT_VELTESTTABLEFILES_H

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filedbbinaryfile.h"
#include "filedbbuffer.h"
#include "filedbcoding.h"
#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "filedbmultiindex.h"
#include "filedbstorage.h"
#include "veldbconnectinfo.h"
#include "velkry.h"
#include "velpassword.h"
#include "veltestutil.h"

namespace VELTestTableFiles {

using VELTestUtil::errorOf;
using VELTestUtil::readAll;

// The password the table files are sealed with.
inline VELPasswordEncryptor password(const char* text = "table secret") { return VELTestUtil::password(text); }

// A file connection with the test password.
inline VELDBConnectInfo::FILE fileInfo(const std::string& base, VELDBConnectInfo::AccessMode mode,
                                       VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Open) {
  return VELDBConnectInfo::FILE(base, password(), type, mode);
}

// One connection to the table file `path` of type STORAGE, given up when it
// goes out of scope.
template <class STORAGE>
struct TableConnection {
  TableConnection(const std::string& path, VELDBConnectInfo::AccessMode mode) {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    storage = STORAGE::connectFile(fileInfo(path, mode), path);
  }
  ~TableConnection() {
    VELMutexLocker guard(FileDBStorage::getClassMutex());
    STORAGE::disconnect(storage, false);
  }
  TableConnection(const TableConnection&) = delete;
  TableConnection& operator=(const TableConnection&) = delete;
  STORAGE* operator->() { return storage; }
  STORAGE* storage = nullptr;
};

// A fixture with a new, empty table file of STORAGE at `d_path`, in the
// temporary directory `d_dir`.
template <class STORAGE>
class NewTableTest : public VELTestUtil::TempDirTest<> {
 protected:
  void SetUp() override {
    STORAGE::newFile(fileInfo(d_path, VELDBConnectInfo::ReadWrite, VELDBConnectInfo::Create), d_path);
  }
  const std::string d_path = d_dir + "/table";
};

// The record IDs a walk of `index` finds under `key`, in walk order.
inline std::vector<std::uint32_t> walk(FileDBMultiIndex& index, const VELBuffer& key) {
  std::vector<std::uint32_t> ids;
  for (const FileDBMultiLocation* at = index.find(key); at != nullptr; at = index.findNext()) {
    ids.push_back(at->recordID);
  }
  return ids;
}

// Writes a table file: a new header of the version asked for, then `slots`
// (each exactly `recordLength` bytes), sealed with the test password as
// minor version `minor` and record length `recordLength`.
inline void writeTable(const std::string& path, const unsigned char* fileType, unsigned char minor, bool v4,
                       std::uint32_t recordLength, const std::vector<std::string>& slots) {
  const VELDBConnectInfo::FILE info =
      fileInfo(path, VELDBConnectInfo::ReadWrite, v4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create);
  FileDBStorage::newFile(info, path, 1, fileType);
  VELKRYAlgorithmFactory factory;
  FileDBBinaryFile file(path, VELDBConnectInfo::ReadWrite);
  std::unique_ptr<FileDBHeader> header;
  if (v4) {
    header.reset(new FileDBHeaderV4(&factory, file));
  } else {
    header.reset(new FileDBHeaderV3(&factory, file));
  }
  file.setPosition(header->getSize());
  for (const std::string& slot : slots) file.write(slot.data(), slot.size());
  header->setFixedRecordLength(recordLength);
  header->setRecordsAllocated(static_cast<std::uint32_t>(slots.size()));
  header->setMinorVersionNumber(minor);
  header->setPasswordHeaderHash(password());
  header->setPasswordDatabaseHash(file, password());
  header->persist(file);
}

// The image `toBuffer` gives, padded to `recordLength`.
template <typename FIELDS>
std::string slotImage(const FIELDS& fields, std::uint32_t recordLength) {
  FileDBBuffer buffer(recordLength);
  fields.toBuffer(buffer);
  return std::string(reinterpret_cast<const char*>(buffer.data()), recordLength);
}

// True when a lookup found a record; frees it.
template <typename RECORD>
bool present(RECORD* record) {
  const std::unique_ptr<RECORD> owned(record);
  return owned != nullptr;
}

inline std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
  return FileDBCoding::get32(reinterpret_cast<const unsigned char*>(bytes.data()) + at);
}

inline void putBigEndian32(std::string& bytes, std::size_t at, std::uint32_t v) {
  FileDBCoding::put32(reinterpret_cast<unsigned char*>(&bytes[at]), v);
}

inline std::string be32(std::uint32_t v) {
  std::string out(4, '\0');
  putBigEndian32(out, 0, v);
  return out;
}

// The 48 common header bytes built by hand: "7H", major and minor version,
// expiration time, the 8-byte file type (`type` with its zero), record
// length, records allocated and the 23-byte `salt` with its zero.
inline std::string handBuiltHeaderStart(unsigned char major, unsigned char minor, std::uint32_t expiry,
                                        const char* type, std::uint32_t length, std::uint32_t count, const char* salt) {
  return std::string("7H") + static_cast<char>(major) + static_cast<char>(minor) + be32(expiry) + std::string(type, 8) +
         be32(length) + be32(count) + std::string(salt, 23) + '\0';
}

// `count` slots of `length` bytes: in use, deleted with its old bytes left,
// and never used, in turn; content from a small generator started at `seed`.
inline std::string handBuiltSlots(std::uint32_t length, std::uint32_t count, std::uint32_t seed) {
  std::string slots(static_cast<std::size_t>(length) * count, '\0');
  std::uint32_t x = seed;
  for (std::uint32_t i = 0; i < count; ++i) {
    char* slot = &slots[static_cast<std::size_t>(i) * length];
    if (i % 3 == 2 || length < 8) continue;
    const std::string head = be32(i % 3 == 0 ? 1 : 2) + be32(i + 1);
    std::copy(head.begin(), head.end(), slot);
    for (std::uint32_t k = 8; k < length / 2; ++k) {
      x = x * 1103515245u + 12345u;
      slot[k] = static_cast<char>(x >> 16);
    }
  }
  return slots;
}

// Parses a record-fields slot image whose `count` byte strings follow state
// and record ID, with each length in turn pointing one byte past the slot
// and as far as a length can: FIELDS must refuse every one with the
// buffer's read error.  The last length reaching exactly to the slot's end
// is taken.
template <class FIELDS>
void expectLengthsPastTheSlotRefused(const std::string& image, int count) {
  auto parse = [](const std::string& bytes) {
    FileDBBuffer slot(bytes.size());
    slot.load(bytes.data(), bytes.size());
    return VELTestUtil::errorOf([&] { FIELDS fields(slot); });
  };
  std::size_t at = 8;
  for (int i = 0; i < count; ++i) {
    const std::uint32_t toEnd = static_cast<std::uint32_t>(image.size() - at - 4);
    for (const std::uint32_t length : {toEnd + 1, 0xFFFFFFFFu}) {
      std::string bad = image;
      putBigEndian32(bad, at, length);
      EXPECT_EQ(parse(bad), VELDBError::kBadArgument) << "field " << i << " length " << length;
    }
    if (i == count - 1) {
      std::string last = image;
      putBigEndian32(last, at, toEnd);
      EXPECT_EQ(parse(last), 0u);
    }
    at += 4 + bigEndian32(image, at);
  }
}

// The order of a master index's unique-key check.  `takers[k]` gives a
// candidate the stored record's k-th unique key, and `errors[k]` is the
// number for it; a candidate that took the keys from k on must be refused
// with `errors[k]` (the earliest taken key decides), and `fresh` itself
// passes.  The check changes nothing.
template <class INDEX, class FIELDS>
void expectCollisionOrder(const INDEX& index, const FIELDS& fresh,
                          const std::vector<std::function<void(FIELDS&)>>& takers,
                          const std::vector<unsigned long>& errors) {
  const std::size_t before = index.records().size();
  EXPECT_EQ(VELTestUtil::errorOf([&] { index.uniqueKeyIntegrityCheck(fresh); }), 0u);
  for (std::size_t k = 0; k < takers.size(); ++k) {
    FIELDS candidate = fresh;
    for (std::size_t j = k; j < takers.size(); ++j) takers[j](candidate);
    EXPECT_EQ(VELTestUtil::errorOf([&] { index.uniqueKeyIntegrityCheck(candidate); }), errors[k]) << "from key " << k;
  }
  EXPECT_EQ(index.records().size(), before);
}

}  // namespace VELTestTableFiles

#endif
