// The storage's slots: positional reads and writes of whole slots, the
// walk's read-ahead, and the open's database hash that the walk feeds.
#include "filedbstorage.h"

#include <algorithm>

#include "filedbdropped.h"
#include "velexception.h"
#include "veltrace.h"

void FileDBStorage::finishOpenHash() {
  if (!d_opening.hash) return;
  const std::unique_ptr<FileDBHeader::DatabaseHasher> hasher = std::move(d_opening.hash);
  const std::uint64_t end = slotPosition(d_header->getRecordsAllocated());
  if (d_opening.hashedTo < end) {
    constexpr std::uint64_t kBlock = 1u << 20;
    std::vector<unsigned char> block(static_cast<std::size_t>(std::min(kBlock, end - d_opening.hashedTo)));
    d_file->setPosition(d_opening.hashedTo);
    while (d_opening.hashedTo < end) {
      const std::uint64_t n = std::min<std::uint64_t>(block.size(), end - d_opening.hashedTo);
      d_file->read(static_cast<void*>(block.data()), n);
      hasher->update(block.data(), n);
      d_opening.hashedTo += n;
    }
  }
  if (!d_header->databaseHashMatches(hasher->finish())) VELDB_THROW(VELDBError::kHashMismatch, "");
}

std::uint64_t FileDBStorage::slotPosition(std::uint64_t index) const {
  return d_header->getSize() + index * static_cast<std::uint64_t>(d_header->getFixedRecordLength());
}

bool FileDBStorage::readSlot(std::uint64_t position) {
  d_readBuffer->reset();
  d_readBuffer->readAt(*d_file, position, d_header->getFixedRecordLength());
  return !isRecordDeleted(*d_readBuffer);
}

void FileDBStorage::writeSlot(std::uint64_t position, const FileDBBuffer& slot) { writeSlot(position, slot, nullptr); }

void FileDBStorage::writeSlot(std::uint64_t position, const FileDBBuffer& slot, const unsigned char* oldSlot) {
  ChangeScope change(*this);
  const std::uint64_t length = d_header->getFixedRecordLength();
  if (d_header->wantsSlotUpdates()) {
    if (oldSlot == nullptr) {
      readSlot(position);
      oldSlot = d_readBuffer->data();
    }
    d_header->slotChanged(oldSlot, slot.data(), length, d_connectInfo->getLogicalDBPassword());
  }
  d_file->setPosition(position);
  d_file->write(slot.data(), length);
  change.commit();
}

std::uint64_t FileDBStorage::appendSlot(const FileDBBuffer& slot) {
  ChangeScope change(*this);
  const std::uint64_t length = d_header->getFixedRecordLength();
  const long end = 0;
  const FileDBBinaryFile::Origin origin = FileDBBinaryFile::End;
  const std::uint64_t position = d_file->setPosition(end, origin);
  if (d_header->wantsSlotUpdates()) {
    d_header->slotChanged(nullptr, slot.data(), length, d_connectInfo->getLogicalDBPassword());
  }
  try {
    d_file->write(slot.data(), length);
  } catch (...) {
    // A slot written in part would break the file's size rule: cut it off.
    try {
      d_file->setSize(position);
    } catch (...) {
      FileDBDropped::trace();
    }
    throw;
  }
  change.commit();
  return position;
}

void FileDBStorage::markSlotDeleted(std::uint64_t position) {
  ChangeScope change(*this);
  d_file->protect(position, d_header->getFixedRecordLength());
  const std::uint64_t length = d_header->getFixedRecordLength();
  readSlot(position);
  d_writeBuffer->reset();
  d_writeBuffer->put(d_readBuffer->data(), length);
  d_writeBuffer->setPosition(0);
  d_writeBuffer->put(kRecordDeleted);
  writeSlot(position, *d_writeBuffer, d_readBuffer->data());
  setPasswordDatabaseHash();
  d_purgeOnClose = true;
  change.commit();
}

bool FileDBStorage::clearSlotTail(std::uint64_t position, std::uint64_t from) {
  const std::uint64_t length = d_header->getFixedRecordLength();
  if (from >= length) return false;
  const unsigned char* bytes = d_readBuffer->data();
  bool dirty = false;
  for (std::uint64_t i = from; i < length && !dirty; ++i) dirty = bytes[i] != 0;
  if (!dirty) return false;
  ChangeScope change(*this);
  d_writeBuffer->reset();
  d_writeBuffer->put(bytes, from);  // the slot as it will be: its fields, then zeros
  if (d_header->wantsSlotUpdates()) {
    d_header->slotChanged(bytes, d_writeBuffer->data(), length, d_connectInfo->getLogicalDBPassword());
  }
  d_file->setPosition(position + from);
  d_file->write(d_writeBuffer->data() + from, length - from);
  change.commit();
  return true;
}

std::uint64_t FileDBStorage::nextLiveSlot(FileDBIterator& iterator) {
  // A walk reads the file ahead in blocks of about 1 MiB of whole slots:
  // one system call per block instead of two per slot.
  constexpr std::uint64_t kBlock = 1u << 20;
  const std::uint64_t length = d_header->getFixedRecordLength();
  for (;;) {
    const std::uint64_t position = iterator.getFilePosition(
        static_cast<unsigned>(d_header->getSize()), d_header->getFixedRecordLength(), d_header->getRecordsAllocated());
    if (position == 0) return 0;
    if (position < d_readAhead.start || position + length > d_readAhead.start + d_readAhead.bytes.size()) {
      const std::uint64_t end = slotPosition(d_header->getRecordsAllocated());
      std::uint64_t n = length * std::max<std::uint64_t>(1, kBlock / std::max<std::uint64_t>(length, 1));
      n = std::min(n, end - position);
      d_readBuffer->reset();  // it may show a slot of the block about to go
      d_readAhead.bytes.resize(static_cast<std::size_t>(n));
      d_readAhead.start = position;
      try {
        d_file->setPosition(position);
        d_file->read(static_cast<void*>(d_readAhead.bytes.data()), n);
      } catch (...) {
        d_readAhead.bytes.clear();
        throw;
      }
      // An open under way hashes what its walk reads.
      if (d_opening.hash && position <= d_opening.hashedTo && d_opening.hashedTo < position + n) {
        d_opening.hash->update(d_readAhead.bytes.data() + (d_opening.hashedTo - position), position + n - d_opening.hashedTo);
        d_opening.hashedTo = position + n;
      }
    }
    d_readBuffer->view(d_readAhead.bytes.data() + (position - d_readAhead.start), length);
    if (!isRecordDeleted(*d_readBuffer)) return position;
    ++iterator.d_index;
  }
}

std::uint32_t FileDBStorage::nextRecordID() const {
  const std::uint32_t id = d_lastRecordID + 1;
  if (id == 0) VELDB_THROW(VELDBError::kRecordIDRollover, "recordID rollover");
  return id;
}

bool FileDBStorage::isRecordDeleted(FileDBBuffer& slot) const {
  VEL_TRACE_SCOPE("isRecordDeleted");
  std::uint32_t state = 0;
  slot.setPosition(0);
  slot.get(state);
  return state == kRecordDeleted;
}
