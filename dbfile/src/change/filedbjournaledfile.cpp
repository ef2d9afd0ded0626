#include "filedbjournaledfile.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filedbcoding.h"
#include "filedbdropped.h"
#include "filedbjournalformat.h"
#include "filedbjournalkey.h"
#include "velexception.h"
#include "velkry.h"
#include "veltrace.h"

using namespace FileDBJournalFormat;

namespace {

using Piece = FileDBJournalKey::Piece;

std::atomic<int> g_syncMode{-1};

FileDBJournaledFile::SyncMode modeFromEnvironment() {
  const char* text = std::getenv("VELFILEDB_SYNC");
  if (text != nullptr) {
    if (std::strcmp(text, "off") == 0) return FileDBJournaledFile::SyncOff;
    if (std::strcmp(text, "normal") == 0) return FileDBJournaledFile::SyncNormal;
  }
  return FileDBJournaledFile::SyncFull;
}

}  // namespace

FileDBJournaledFile::SyncMode FileDBJournaledFile::syncMode() {
  int mode = g_syncMode.load(std::memory_order_relaxed);
  if (mode < 0) {
    mode = modeFromEnvironment();
    g_syncMode.store(mode, std::memory_order_relaxed);
  }
  return static_cast<SyncMode>(mode);
}

void FileDBJournaledFile::setSyncMode(SyncMode mode) { g_syncMode.store(mode, std::memory_order_relaxed); }

VELString FileDBJournaledFile::journalPath(const VELString& path) { return path + "-journal"; }

FileDBJournaledFile::FileDBJournaledFile(const VELString& path, PasswordSource password)
    : FileDBBinaryFile(path, VELDBConnectInfo::ReadWrite),
      d_journalPath(journalPath(path)),
      d_password(std::move(password)),
      d_inChange(false),
      d_journalSynced(false),
      d_journalHeaderSynced(false),
      d_originalSize(0),
      d_recoverPending(false) {
}

FileDBJournaledFile::~FileDBJournaledFile() {
  // A change still open here failed without rollback; its journal stays for
  // the next read-write open.
  OPENSSL_cleanse(d_keys.raw, sizeof d_keys.raw);
}

void FileDBJournaledFile::requireChange() const {
  if (!d_inChange) VELDB_THROW(VELDBError::kWrite, "write outside a change-" + getFileName().str());
}

void FileDBJournaledFile::beginChange() {
  VEL_TRACE_SCOPE("beginChange");
  isOpenCheck();
  d_inChange = true;
  d_journalSynced = false;
  d_journalHeaderSynced = false;
  d_deferred.writes.clear();
  d_deferred.bytes = 0;
  d_saved.clear();
  d_announced.clear();
  d_admitted.clear();
}

void FileDBJournaledFile::admitPassword(const VELPasswordEncryptor& password) {
  requireChange();
  for (const VELPasswordEncryptor& admitted : d_admitted) {
    if (admitted == password) return;
  }
  d_admitted.push_back(password);
  if (d_journal && password != d_keys.password) appendPasswordRecord(password);
}

void FileDBJournaledFile::appendPasswordRecord(const VELPasswordEncryptor& password) {
  const FileDBJournalKey kek(password, FileDBJournalKey::kTableJournal, getFileName());
  unsigned char wrapped[kWrappedSize];
  kek.wrap(d_keys.raw, wrapped);
  appendRecord(kPasswordOffset, wrapped, kWrappedSize);
}

void FileDBJournaledFile::ensureJournal() {
  if (d_journal) return;
  // The journal opens under the password the table has now (the one that
  // opens it once the journal has put it back), and under each password
  // this change admitted; its records are authenticated under a key of its
  // own, drawn again (and wrapped again) whenever the password changes.
  const VELPasswordEncryptor password = d_password ? d_password() : VELPasswordEncryptor();
  if (!d_keys.record || password != d_keys.password) {
    VELKRYUtility::generateRandomData(d_keys.raw, sizeof d_keys.raw);
    d_keys.record.reset(new FileDBJournalKey(d_keys.raw));
    FileDBJournalKey(password, FileDBJournalKey::kTableJournal, getFileName()).wrap(d_keys.raw, d_keys.wrapped);
    d_keys.password = password;
  }
  d_originalSize = FileDBBinaryFile::getSize();
  VELKRYUtility::generateRandomData(d_keys.nonce, sizeof d_keys.nonce);
  unsigned char header[kHeaderSize];
  std::memcpy(header, kMagic, sizeof kMagic);
  std::memcpy(header + kNonceOffset, d_keys.nonce, kNonceSize);
  FileDBCoding::put64(header + kOriginalSizeOffset, d_originalSize);
  std::memcpy(header + kWrappedKeyOffset, d_keys.wrapped, sizeof d_keys.wrapped);
  d_keys.record->mac(header + kMacOffset, {Piece(header, kMacOffset)});
  FileDBJournalKey::checksum(header + kChecksumOffset, {Piece(header, kChecksumOffset)});
  // A journal still at the name is one the open left in place because it
  // could not be trusted (a journal this table could apply was applied,
  // and no other writer runs while this one holds the table): it is never
  // applied, so the new change takes its name.
  if (FileDBBinaryFile::exists(d_journalPath)) {
    VEL_TRACE_WRITE(8, VELTraceLevel::kError,
                    "journal that was not applied removed before a new change-" + d_journalPath);
    try {
      FileDBBinaryFile::remove(d_journalPath);
    } catch (const VELDBException& e) {
      VELDB_THROW_EXTRA(e.getError(),
                        "a journal this database cannot use is in the way of a new change, and cannot be removed "
                        "(in a shared folder only its owner can): nothing was changed; its owner or an administrator "
                        "must remove it-" +
                            d_journalPath,
                        e.getExtra());
    }
  }
  std::unique_ptr<FileDBBinaryFile> journal(new FileDBBinaryFile());
  journal->openNew(d_journalPath);
  journal->shareModeOf(*this);
  try {
    const std::uint64_t n = kHeaderSize;
    journal->write(header, n);
    d_journal = std::move(journal);
    // The first record ties the journal to this change: the table's first
    // bytes as they are now.
    d_headerImage.assign(static_cast<std::size_t>(std::min(kBoundLength, d_originalSize)), 0);
    if (!d_headerImage.empty()) FileDBBinaryFile::readAt(0, d_headerImage.data(), d_headerImage.size());
    appendRecord(kHeaderBeforeOffset, d_headerImage.data(), d_headerImage.size());
    for (const VELPasswordEncryptor& admitted : d_admitted) {
      if (admitted != d_keys.password) appendPasswordRecord(admitted);
    }
  } catch (...) {
    try {
      if (!journal) journal = std::move(d_journal);
      journal->close();
      FileDBBinaryFile::remove(d_journalPath);
    } catch (...) {
      FileDBDropped::trace();
    }
    throw;
  }
  if (syncMode() != SyncOff) FileDBBinaryFile::syncDirectory(d_journalPath);
}

void FileDBJournaledFile::appendRecord(std::uint64_t offset, const unsigned char* bytes, std::uint64_t length) {
  unsigned char head[kRecordHeadSize];
  FileDBCoding::put64(head, offset);
  FileDBCoding::put64(head + 8, length);
  unsigned char sum[kMacSize];
  d_keys.record->mac(
      sum, {Piece(d_keys.nonce, sizeof d_keys.nonce), Piece(head, sizeof head), Piece(bytes, static_cast<std::size_t>(length))});
  // One write a record: most are a slot or a header, and three system
  // calls each would cost more than the copy.
  d_recordBuffer.resize(static_cast<std::size_t>(kRecordOverhead + length));
  unsigned char* out = d_recordBuffer.data();
  std::memcpy(out, head, sizeof head);
  if (length > 0) std::memcpy(out + sizeof head, bytes, static_cast<std::size_t>(length));
  std::memcpy(out + sizeof head + length, sum, sizeof sum);
  const std::uint64_t n = d_recordBuffer.size();
  d_journal->write(static_cast<const void*>(out), n);
  d_journalSynced = false;
}

void FileDBJournaledFile::saveOriginal(std::uint64_t offset, std::uint64_t length) {
  ensureJournal();
  std::uint64_t end = offset + length;
  if (end > d_originalSize) end = d_originalSize;
  if (offset >= end) return;
  // The gaps of [offset, end) between ranges saved already.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps;
  std::uint64_t at = offset;
  auto it = d_saved.upper_bound(at);
  if (it != d_saved.begin()) {
    auto prev = std::prev(it);
    if (prev->second > at) at = prev->second;
  }
  for (; at < end; ++it) {
    const std::uint64_t next = (it == d_saved.end() || it->first > end) ? end : it->first;
    if (next > at) gaps.emplace_back(at, next);
    if (it == d_saved.end() || it->first >= end) break;
    if (it->second > at) at = it->second;
  }
  if (gaps.empty()) return;

  const std::uint64_t resume = currentPosition();
  std::vector<unsigned char> bytes;
  for (const auto& gap : gaps) {
    for (std::uint64_t from = gap.first; from < gap.second; from += kMaxRecordLength) {
      const std::uint64_t n = std::min(kMaxRecordLength, gap.second - from);
      bytes.resize(static_cast<std::size_t>(n));
      FileDBBinaryFile::setPosition(from);
      FileDBBinaryFile::read(static_cast<void*>(bytes.data()), n);
      appendRecord(from, bytes.data(), n);
    }
    // Record the range, merging with neighbours.
    std::uint64_t start = gap.first;
    std::uint64_t stop = gap.second;
    auto next = d_saved.lower_bound(start);
    if (next != d_saved.begin()) {
      auto prev = std::prev(next);
      if (prev->second >= start) {
        start = prev->first;
        stop = std::max(stop, prev->second);
        next = d_saved.erase(prev);
      }
    }
    while (next != d_saved.end() && next->first <= stop) {
      stop = std::max(stop, next->second);
      next = d_saved.erase(next);
    }
    d_saved[start] = stop;
  }
  FileDBBinaryFile::setPosition(resume);
}

bool FileDBJournaledFile::announceHeader(std::uint64_t at, const void* buffer, std::uint64_t count) {
  if (at >= d_headerImage.size()) return false;
  std::vector<unsigned char> image = d_headerImage;
  const std::uint64_t to = std::min<std::uint64_t>(at + count, image.size());
  std::memcpy(image.data() + at, buffer, static_cast<std::size_t>(to - at));
  if (image == d_headerImage) return false;
  appendRecord(kHeaderAfterOffset, image.data(), image.size());
  d_headerImage.swap(image);
  return true;
}

void FileDBJournaledFile::syncJournalBeforeOverwrite() {
  if (d_journalSynced) return;
  if (syncMode() != SyncOff) d_journal->sync();
  d_journalSynced = true;
  d_journalHeaderSynced = true;
}

void FileDBJournaledFile::flushDeferred() {
  if (d_deferred.writes.empty()) return;
  syncJournalBeforeOverwrite();
  const std::uint64_t resume = currentPosition();
  for (const auto& write : d_deferred.writes) {
    FileDBBinaryFile::setPosition(write.first);
    const std::uint64_t n = write.second.size();
    FileDBBinaryFile::write(static_cast<const void*>(write.second.data()), n);
  }
  d_deferred.writes.clear();
  d_deferred.bytes = 0;
  FileDBBinaryFile::setPosition(resume);
}

void FileDBJournaledFile::overlayDeferred(std::uint64_t offset, void* buffer, std::uint64_t count) const {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  for (const auto& write : d_deferred.writes) {
    const std::uint64_t from = std::max(offset, write.first);
    const std::uint64_t to = std::min(offset + count, write.first + write.second.size());
    if (from < to) std::memcpy(out + (from - offset), write.second.data() + (from - write.first), to - from);
  }
}

void FileDBJournaledFile::read(void* buffer, const std::uint64_t& count) {
  const std::uint64_t offset = d_deferred.writes.empty() ? 0 : currentPosition();
  FileDBBinaryFile::read(buffer, count);
  if (!d_deferred.writes.empty()) overlayDeferred(offset, buffer, count);
}

void FileDBJournaledFile::readAt(std::uint64_t offset, void* buffer, std::uint64_t count) {
  FileDBBinaryFile::readAt(offset, buffer, count);
  overlayDeferred(offset, buffer, count);
}

void FileDBJournaledFile::protect(std::uint64_t offset, std::uint64_t length) {
  requireChange();
  if (d_journal) {
    saveOriginal(offset, length);
  } else {
    d_announced.emplace_back(offset, length);
  }
}

void FileDBJournaledFile::saveAnnounced() {
  ensureJournal();
  for (const auto& region : d_announced) saveOriginal(region.first, region.second);
  d_announced.clear();
}

void FileDBJournaledFile::write(const void* buffer, const std::uint64_t& count) {
  if (count == 0) return;
  requireChange();
  saveAnnounced();
  const std::uint64_t at = currentPosition();
  saveOriginal(at, count);
  const bool announced = announceHeader(at, buffer, count);
  if (syncMode() != SyncOff && at + count <= d_originalSize) {
    // An overwrite: held back until one journal sync covers many.
    ++modificationCount;
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    d_deferred.writes.emplace_back(at, std::vector<unsigned char>(bytes, bytes + count));
    d_deferred.bytes += count;
    FileDBBinaryFile::setPosition(at + count);
    if (d_deferred.bytes > kMaxDeferredBytes) flushDeferred();
    return;
  }
  if (at < d_originalSize) {
    flushDeferred();
    syncJournalBeforeOverwrite();
  } else if (!d_journalHeaderSynced || announced) {
    // The file grows: the original size (and any header it announced) must
    // be known durably first.
    syncJournalBeforeOverwrite();
  }
  FileDBBinaryFile::write(buffer, count);
}

void FileDBJournaledFile::setSize(std::uint64_t size) {
  requireChange();
  flushDeferred();
  const std::uint64_t current = FileDBBinaryFile::getSize();
  saveAnnounced();
  if (size < current) saveOriginal(size, current - size);
  syncJournalBeforeOverwrite();
  FileDBBinaryFile::setSize(size);
}

void FileDBJournaledFile::dropJournal() {
  if (!d_journal) return;
  d_journal->close();
  d_journal.reset();
  FileDBBinaryFile::remove(d_journalPath);
}

void FileDBJournaledFile::commitChange() {
  VEL_TRACE_SCOPE("commitChange");
  if (!d_inChange) return;
  prepareCommit(nullptr);
  finishCommit();
}

bool FileDBJournaledFile::prepareCommit(const unsigned char* transactionID) {
  VEL_TRACE_SCOPE("prepareCommit");
  if (!d_inChange) return false;
  d_announced.clear();
  if (!d_journal) return false;
  flushDeferred();
  if (transactionID != nullptr) {
    appendRecord(kTransactionRecordOffset, transactionID, kTransactionIDSize);
    if (syncMode() != SyncOff) d_journal->sync();
  }
  if (syncMode() != SyncOff) FileDBBinaryFile::sync();
  return true;
}

void FileDBJournaledFile::finishCommit() {
  VEL_TRACE_SCOPE("finishCommit");
  if (!d_inChange) return;
  d_announced.clear();
  if (d_journal) {
    try {
      dropJournal();
    } catch (...) {
      d_recoverPending = true;
      throw;
    }
    if (syncMode() == SyncFull) {
      try {
        FileDBBinaryFile::syncDirectory(d_journalPath);
      } catch (...) {
        d_inChange = false;
        d_saved.clear();
        throw;
      }
    }
  }
  d_inChange = false;
  d_saved.clear();
}

void FileDBJournaledFile::rollbackChange() {
  VEL_TRACE_SCOPE("rollbackChange");
  if (!d_inChange) return;
  d_inChange = false;
  d_saved.clear();
  d_announced.clear();
  // What was held back never reached the file.
  d_deferred.writes.clear();
  d_deferred.bytes = 0;
  if (!d_journal) return;
  try {
    d_journal->close();
    d_journal.reset();
    recover(*this, d_journalPath, d_keys.password);
  } catch (...) {
    d_journal.reset();
    d_recoverPending = true;
    throw;
  }
}

bool FileDBJournaledFile::recoverPending() {
  if (d_inChange || !d_recoverPending) return false;
  const bool recovered = recover(*this, d_journalPath, d_keys.password) != Recovery::kNone;
  d_recoverPending = false;
  return recovered;
}
