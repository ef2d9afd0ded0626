// veltesttable.h -- the smallest table, for tests of the shared storage.
//
// Slots hold state, record ID and one byte string.  Writes go through the
// storage's own slot primitives inside change scopes, as a real table's do.
#ifndef TESTSUPPORT_VELTESTTABLE_H
#define TESTSUPPORT_VELTESTTABLE_H

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "filedbstorage.h"
#include "velexception.h"

namespace VELTestTable {

inline const unsigned char kTestType[8] = {'T', 'E', 'S', 'T', 'T', 'B', 'L', 0};

// The smallest table: slots hold state, record ID and a byte string.
class TestTable : public FileDBStorage {
 public:
  TestTable(const VELDBConnectInfo::OBJECT& info, const VELString& name) : FileDBStorage(info, name) {
    try {
      validateMinorVersionNumber();
      validateFileType();
      d_lastRecordID = buildIndexes();
      d_indexedGeneration = slotGeneration();
      finishOpen();
    } catch (...) {
      refuseOpen();
    }
  }

  static FileDBStorage* connect(const VELDBConnectInfo::OBJECT& info, const VELString& name) {
    VELMutexLocker guard(getClassMutex());
    FileDBStorage* s = FileDBStorage::connectFile(info, name, "TestTable");
    if (s != nullptr) return s;
    s = new TestTable(info, name);
    FileDBStorage::insertFileMap(name, s, "TestTable");
    return s;
  }
  static void disconnect(FileDBStorage* s) {
    VELMutexLocker guard(getClassMutex());
    const VELString name = s->getFullPathName();
    if (FileDBStorage::removeFileMap(name) == 0) delete s;
  }

  // The storage's growth, with the rebuild a table makes after it.
  void resize(std::uint64_t minimumRecordLength) {
    FileDBStorage::resize(minimumRecordLength);
    refreshIndexes();
  }
  void append(std::uint32_t id, const VELString& payload) {
    const VELBuffer bytes(payload);
    ChangeScope change(*this);
    resize(12 + payload.size());
    d_writeBuffer->reset();
    d_writeBuffer->put(kRecordInUse);
    d_writeBuffer->put(id);
    d_writeBuffer->put(bytes);
    appendSlot(*d_writeBuffer);
    incrRecordsAllocated();
    change.commit();
  }
  void markDeleted(std::uint64_t slot, std::uint32_t state = kRecordDeleted) {
    ChangeScope change(*this);
    readSlot(slotPosition(slot));
    d_writeBuffer->reset();
    d_writeBuffer->put(d_readBuffer->data(), d_header->getFixedRecordLength());
    d_writeBuffer->setPosition(0);
    d_writeBuffer->put(state);
    writeSlot(slotPosition(slot), *d_writeBuffer);
    d_purgeOnClose = true;
    setPasswordDatabaseHash();
    change.commit();
  }
  void update(std::uint64_t slot, std::uint32_t id, const VELString& payload) {
    ChangeScope change(*this);
    d_writeBuffer->reset();
    d_writeBuffer->put(kRecordInUse);
    d_writeBuffer->put(id);
    d_writeBuffer->put(VELBuffer(payload));
    d_file->protect(slotPosition(slot), d_header->getFixedRecordLength());
    writeSlot(slotPosition(slot), *d_writeBuffer);
    setPasswordDatabaseHash();
    change.commit();
  }
  // Live records in slot order, as (record ID, payload).
  std::vector<std::pair<std::uint32_t, VELString>> records() {
    std::vector<std::pair<std::uint32_t, VELString>> out;
    const std::uint32_t n = d_header->getRecordsAllocated();
    for (std::uint32_t i = 0; i < n; ++i) {
      d_file->setPosition(slotPosition(i));
      d_readBuffer->reset();
      d_readBuffer->read(*d_file, d_header->getFixedRecordLength());
      if (isRecordDeleted(*d_readBuffer)) continue;
      std::uint32_t id = 0;
      VELBuffer payload;
      d_readBuffer->get(id);
      d_readBuffer->get(payload);
      out.emplace_back(id, payload.toString());
    }
    return out;
  }
  // Live records in slot order, through the storage's own walk.
  std::vector<std::pair<std::uint32_t, VELString>> walk() {
    std::vector<std::pair<std::uint32_t, VELString>> out;
    FileDBIterator iterator("TestTable");
    while (nextLiveSlot(iterator) != 0) {
      std::uint32_t id = 0;
      VELBuffer payload;
      d_readBuffer->setPosition(4);
      d_readBuffer->get(id);
      d_readBuffer->get(payload);
      out.emplace_back(id, payload.toString());
      ++iterator.d_index;
    }
    return out;
  }
  // Rebuilds the "indexes" (the highest record ID) when the storage's slots
  // changed under them.
  void refreshIndexes() {
    const std::uint64_t generation = slotGeneration();
    if (generation == d_indexedGeneration) return;
    d_lastRecordID = std::max(d_lastRecordID, buildIndexes());
    d_indexedGeneration = generation;
  }
  int indexBuilds = 0;
  VELString getInstanceName() const override { return "TestTable"; }
  bool isKindOf(const VELString& n) const override { return n == "TestTable"; }

 private:
  std::uint64_t d_indexedGeneration = 0;

  void validateMinorVersionNumber() override {
    if (d_header->getMinorVersionNumber() != 1) VELDB_THROW(VELDBError::kBadFormat, "");
  }
  void validateFileType() override {
    if (d_header->getFileType() != VELBuffer(kTestType, 8)) VELDB_THROW(VELDBError::kBadFormat, "");
  }
  std::uint32_t buildIndexes() override {
    ++indexBuilds;
    std::uint32_t highest = 0;
    for (const auto& r : records()) highest = std::max(highest, r.first);
    return highest;
  }
};


}  // namespace VELTestTable

#endif
