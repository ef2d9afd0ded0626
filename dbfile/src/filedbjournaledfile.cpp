#include "filedbjournaledfile.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filedbcoding.h"
#include "filedbjournalkey.h"
#include "velexception.h"
#include "velkry.h"
#include "velplatform.h"
#include "veltrace.h"

namespace {

const unsigned char kMagic[8] = {'V', 'E', 'L', 'J', 'R', 'N', 'L', '2'};
const unsigned char kLegacyMagic[8] = {'V', 'E', 'L', 'J', 'R', 'N', 'L', '1'};
constexpr std::uint64_t kMacSize = FileDBJournalKey::kSize;
// The journal's header:
//   0  magic "VELJRNL2"                       8 bytes
//   8  nonce, fresh for each journal          16
//  24  the table file's size before the change 8
//  32  HMAC of bytes 0-31 under the journal key 32
//  64  SHA-256 of bytes 0-63                  32 (tells a header cut short)
// The earlier layout ("VELJRNL1") has the SHA-256 of bytes 0-31 at 32 and
// no MAC.
constexpr std::size_t kNonceOffset = 8;
constexpr std::size_t kNonceSize = 16;
constexpr std::size_t kOriginalSizeOffset = 24;
constexpr std::size_t kMacOffset = 32;  // also the end of what the MAC covers
constexpr std::size_t kChecksumOffset = 64;
constexpr std::size_t kLegacyChecksumOffset = 32;
constexpr std::uint64_t kHeaderSize = kChecksumOffset + 32;
constexpr std::uint64_t kLegacyHeaderSize = kLegacyChecksumOffset + 32;
// A record: the table offset and the length of the bytes it restores (8
// each), the bytes, then the MAC of nonce, offset, length and bytes.
constexpr std::size_t kRecordHeadSize = 16;
constexpr std::uint64_t kRecordOverhead = kRecordHeadSize + kMacSize;
// Records are cut into pieces of at most this size, so that recovery never
// needs more memory than this for one of them.
constexpr std::uint64_t kMaxRecordLength = 1u << 20;
// Overwrites held back for one journal sync, at most.
constexpr std::uint64_t kMaxDeferredBytes = 4u << 20;
// The record that ends the journal of one part of a transaction.
constexpr std::uint64_t kTransactionRecordOffset = ~std::uint64_t(0);
constexpr std::uint64_t kTransactionIDSize = 16;
const unsigned char kTransactionMagic[8] = {'V', 'E', 'L', 'T', 'X', 'N', '0', '2'};
const unsigned char kLegacyTransactionMagic[8] = {'V', 'E', 'L', 'T', 'X', 'N', '0', '1'};
// A transaction file: magic "VELTXN02" (8 bytes), the transaction's ID
// (16), the HMAC of both under the transaction file's key (32).  The earlier
// layout ("VELTXN01") has the SHA-256 of the first 24 bytes in the MAC's place.
constexpr std::size_t kTransactionIDOffset = 8;
constexpr std::size_t kTransactionMacOffset = kTransactionIDOffset + kTransactionIDSize;
constexpr std::uint64_t kTransactionFileSize = kTransactionMacOffset + kMacSize;

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
      d_deferredBytes(0),
      d_originalSize(0),
      d_recoverPending(false) {
  std::memset(d_nonce, 0, sizeof d_nonce);
}

FileDBJournaledFile::~FileDBJournaledFile() {
  // A change still open here failed without rollback; its journal stays for
  // the next read-write open.
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
  d_deferred.clear();
  d_deferredBytes = 0;
  d_saved.clear();
  d_announced.clear();
}

void FileDBJournaledFile::ensureJournal() {
  if (d_journal) return;
  // The journal is keyed by the password the table has now: the one that
  // opens it once the journal has put it back.
  const VELPasswordEncryptor password = d_password ? d_password() : VELPasswordEncryptor();
  if (!d_key || password != d_journalPassword) {
    d_key.reset(new FileDBJournalKey(password, FileDBJournalKey::kTableJournal, getFileName()));
    d_journalPassword = password;
  }
  d_originalSize = FileDBBinaryFile::getSize();
  VELKRYUtility::generateRandomData(d_nonce, sizeof d_nonce);
  unsigned char header[kHeaderSize];
  std::memcpy(header, kMagic, sizeof kMagic);
  std::memcpy(header + kNonceOffset, d_nonce, kNonceSize);
  FileDBCoding::put64(header + kOriginalSizeOffset, d_originalSize);
  d_key->mac(header + kMacOffset, {Piece(header, kMacOffset)});
  FileDBJournalKey::checksum(header + kChecksumOffset, {Piece(header, kChecksumOffset)});
  std::unique_ptr<FileDBBinaryFile> journal(new FileDBBinaryFile());
  journal->openNew(d_journalPath);
  try {
    const std::uint64_t n = kHeaderSize;
    journal->write(header, n);
  } catch (...) {
    try {
      journal->close();
      FileDBBinaryFile::remove(d_journalPath);
    } catch (...) {
    }
    throw;
  }
  d_journal = std::move(journal);
  if (syncMode() != SyncOff) FileDBBinaryFile::syncDirectory(d_journalPath);
}

void FileDBJournaledFile::appendRecord(std::uint64_t offset, const unsigned char* bytes, std::uint64_t length) {
  unsigned char head[kRecordHeadSize];
  FileDBCoding::put64(head, offset);
  FileDBCoding::put64(head + 8, length);
  unsigned char sum[kMacSize];
  d_key->mac(
      sum, {Piece(d_nonce, sizeof d_nonce), Piece(head, sizeof head), Piece(bytes, static_cast<std::size_t>(length))});
  const std::uint64_t headLength = sizeof head;
  const std::uint64_t sumLength = sizeof sum;
  d_journal->write(head, headLength);
  d_journal->write(bytes, length);
  d_journal->write(sum, sumLength);
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

void FileDBJournaledFile::syncJournalBeforeOverwrite() {
  if (d_journalSynced) return;
  if (syncMode() != SyncOff) d_journal->sync();
  d_journalSynced = true;
  d_journalHeaderSynced = true;
}

void FileDBJournaledFile::flushDeferred() {
  if (d_deferred.empty()) return;
  syncJournalBeforeOverwrite();
  const std::uint64_t resume = currentPosition();
  for (const auto& write : d_deferred) {
    FileDBBinaryFile::setPosition(write.first);
    const std::uint64_t n = write.second.size();
    FileDBBinaryFile::write(static_cast<const void*>(write.second.data()), n);
  }
  d_deferred.clear();
  d_deferredBytes = 0;
  FileDBBinaryFile::setPosition(resume);
}

void FileDBJournaledFile::overlayDeferred(std::uint64_t offset, void* buffer, std::uint64_t count) const {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  for (const auto& write : d_deferred) {
    const std::uint64_t from = std::max(offset, write.first);
    const std::uint64_t to = std::min(offset + count, write.first + write.second.size());
    if (from < to) std::memcpy(out + (from - offset), write.second.data() + (from - write.first), to - from);
  }
}

void FileDBJournaledFile::read(void* buffer, const std::uint64_t& count) {
  const std::uint64_t offset = d_deferred.empty() ? 0 : currentPosition();
  FileDBBinaryFile::read(buffer, count);
  if (!d_deferred.empty()) overlayDeferred(offset, buffer, count);
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
  if (syncMode() != SyncOff && at + count <= d_originalSize) {
    // An overwrite: held back until one journal sync covers many.
    ++modificationCount;
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    d_deferred.emplace_back(at, std::vector<unsigned char>(bytes, bytes + count));
    d_deferredBytes += count;
    FileDBBinaryFile::setPosition(at + count);
    if (d_deferredBytes > kMaxDeferredBytes) flushDeferred();
    return;
  }
  if (at < d_originalSize) {
    flushDeferred();
    syncJournalBeforeOverwrite();
  } else if (!d_journalHeaderSynced) {
    // The file grows: the original size must be known durably first.
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
  d_deferred.clear();
  d_deferredBytes = 0;
  if (!d_journal) return;
  try {
    d_journal->close();
    d_journal.reset();
    recover(*this, d_journalPath, d_journalPassword);
  } catch (...) {
    d_journal.reset();
    d_recoverPending = true;
    throw;
  }
}

bool FileDBJournaledFile::recoverPending() {
  if (d_inChange || !d_recoverPending) return false;
  const bool recovered = recover(*this, d_journalPath, d_journalPassword);
  d_recoverPending = false;
  return recovered;
}

namespace {

// Walks the records of an open journal whose header is known good, from
// `at` on, calling `apply(offset, bytes, length)` for each record of
// original bytes that `verify(head, bytes, length, stored)` accepts; stops
// at the first record that does not verify (it was being written when the
// change stopped, before its region was touched).  Returns true when the
// last verified record is a transaction record, with its ID in
// `transactionID`.
template <class VERIFY, class APPLY>
bool walkJournal(FileDBBinaryFile& j, std::uint64_t at, std::uint64_t originalSize, std::uint64_t size,
                 unsigned char* transactionID, VERIFY verify, APPLY apply) {
  std::vector<unsigned char> bytes;
  bool marked = false;
  j.setPosition(at);
  while (at + kRecordOverhead <= size) {
    unsigned char head[kRecordHeadSize];
    const std::uint64_t headLength = sizeof head;
    j.read(head, headLength);
    const std::uint64_t offset = FileDBCoding::get64(head);
    const std::uint64_t length = FileDBCoding::get64(head + 8);
    const bool transaction = offset == kTransactionRecordOffset && length == kTransactionIDSize;
    if (length > kMaxRecordLength || length > size - at - kRecordOverhead) break;
    if (!transaction && (offset > originalSize || length > originalSize - offset)) break;
    bytes.resize(static_cast<std::size_t>(length));
    if (length > 0) j.read(static_cast<void*>(bytes.data()), length);
    unsigned char stored[kMacSize];
    const std::uint64_t sumLength = sizeof stored;
    j.read(stored, sumLength);
    if (!verify(head, bytes.data(), length, stored)) break;
    marked = transaction;
    if (transaction) {
      std::memcpy(transactionID, bytes.data(), kTransactionIDSize);
    } else {
      apply(offset, bytes.data(), length);
    }
    at += kRecordOverhead + length;
  }
  return marked;
}

// The table path without its last extension, and the transaction files'
// prefix.
std::string transactionStem(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExtension ? path.substr(0, dot) : path) + ".vtxn-";
}

// The bytes of the transaction file at `path`, when it has the size of one.
bool readTransactionFile(const VELString& path, unsigned char* bytes) {
  FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
  if (f.getSize() != kTransactionFileSize) return false;
  const std::uint64_t n = kTransactionFileSize;
  f.read(bytes, n);
  return true;
}

// True when the transaction file at `path` is there and names `id`; false
// when there is none.  One that is there but was not made under `password`
// for this transaction is refused: a planted one would roll back a
// transaction that committed.
bool transactionOpen(const VELString& path, const unsigned char* id, const VELPasswordEncryptor& password) {
  if (!FileDBBinaryFile::exists(path)) return false;
  unsigned char bytes[kTransactionFileSize];
  const FileDBJournalKey key(password, FileDBJournalKey::kTransactionFile, path);
  if (!readTransactionFile(path, bytes) || std::memcmp(bytes, kTransactionMagic, sizeof kTransactionMagic) != 0 ||
      std::memcmp(bytes + kTransactionIDOffset, id, kTransactionIDSize) != 0 ||
      !key.verify(bytes + kTransactionMacOffset, {Piece(bytes, kTransactionMacOffset)})) {
    VELDB_THROW(VELDBError::kBadPassword,
                "transaction file not made by this database under this password; it is left in place and no "
                "journal that depends on it is applied-" +
                    path);
  }
  return true;
}

// The same for a transaction file of the earlier layout (unkeyed): it is
// only consulted to drop a journal of a committed transaction unapplied.
bool legacyTransactionOpen(const VELString& path, const unsigned char* id) {
  if (!FileDBBinaryFile::exists(path)) return false;
  unsigned char bytes[kTransactionFileSize];
  if (!readTransactionFile(path, bytes)) return false;
  unsigned char sum[32];
  FileDBJournalKey::checksum(sum, {Piece(bytes, kTransactionMacOffset)});
  return std::memcmp(bytes, kLegacyTransactionMagic, sizeof kLegacyTransactionMagic) == 0 &&
         std::memcmp(sum, bytes + kTransactionMacOffset, sizeof sum) == 0 &&
         std::memcmp(bytes + kTransactionIDOffset, id, kTransactionIDSize) == 0;
}

// Writes a record's original bytes back into `file`.
struct WriteBack {
  FileDBBinaryFile& file;
  void operator()(std::uint64_t offset, const unsigned char* bytes, std::uint64_t length) const {
    file.FileDBBinaryFile::setPosition(offset);
    file.FileDBBinaryFile::write(static_cast<const void*>(bytes), length);
  }
};

void ignoreRecord(std::uint64_t, const unsigned char*, std::uint64_t) {}

}  // namespace

VELString FileDBJournaledFile::transactionPath(const VELString& tablePath, const unsigned char* id) {
  static const char kHex[] = "0123456789abcdef";
  std::string path = transactionStem(tablePath);
  for (std::uint64_t i = 0; i < kTransactionIDSize; ++i) {
    path += kHex[id[i] >> 4];
    path += kHex[id[i] & 15];
  }
  return VELString(path);
}

void FileDBJournaledFile::removeStaleTransactionFiles(const std::vector<VELString>& tablePaths) noexcept {
  if (tablePaths.empty()) return;
  try {
    for (const VELString& path : tablePaths) {
      if (FileDBBinaryFile::exists(journalPath(path))) return;  // it may need its transaction file
    }
    const std::string stem = transactionStem(tablePaths.front());
    const std::size_t slash = stem.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : stem.substr(0, slash);
    const std::string prefix = slash == std::string::npos ? stem : stem.substr(slash + 1);
    std::vector<std::string> names;
    if (vel_listdir(directory.c_str(), prefix.c_str(), names) != 0) return;
    for (const std::string& name : names) FileDBBinaryFile::remove(VELString(directory + "/" + name));
  } catch (const VELException& e) {
    e.writeToTrace();
  }
}

void FileDBJournaledFile::writeTransactionFile(const VELString& path, const unsigned char* id,
                                               const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("writeTransactionFile");
  unsigned char bytes[kTransactionFileSize];
  std::memcpy(bytes, kTransactionMagic, sizeof kTransactionMagic);
  std::memcpy(bytes + kTransactionIDOffset, id, kTransactionIDSize);
  const FileDBJournalKey key(password, FileDBJournalKey::kTransactionFile, path);
  key.mac(bytes + kTransactionMacOffset, {Piece(bytes, kTransactionMacOffset)});
  FileDBBinaryFile f;
  f.openNew(path);
  try {
    const std::uint64_t n = kTransactionFileSize;
    f.write(bytes, n);
    if (syncMode() != SyncOff) f.sync();
    f.close();
  } catch (...) {
    try {
      f.close();
      FileDBBinaryFile::remove(path);
    } catch (...) {
    }
    throw;
  }
  // The journals are marked only once this file is known to exist.
  if (syncMode() != SyncOff) FileDBBinaryFile::syncDirectory(path);
}

void FileDBJournaledFile::removeTransactionFile(const VELString& path) {
  VEL_TRACE_SCOPE("removeTransactionFile");
  FileDBBinaryFile::remove(path);
  if (syncMode() != SyncOff) FileDBBinaryFile::syncDirectory(path);
}

namespace {

enum class HeaderKind { Torn, Current, Legacy };

// What the first bytes of a journal of `size` bytes say about it.
HeaderKind classifyHeader(const unsigned char* header, std::uint64_t size) {
  unsigned char sum[32];
  if (size >= kHeaderSize && std::memcmp(header, kMagic, sizeof kMagic) == 0) {
    FileDBJournalKey::checksum(sum, {Piece(header, kChecksumOffset)});
    if (std::memcmp(sum, header + kChecksumOffset, sizeof sum) == 0) return HeaderKind::Current;
  } else if (size >= kLegacyHeaderSize && std::memcmp(header, kLegacyMagic, sizeof kLegacyMagic) == 0) {
    FileDBJournalKey::checksum(sum, {Piece(header, kLegacyChecksumOffset)});
    if (std::memcmp(sum, header + kLegacyChecksumOffset, sizeof sum) == 0) return HeaderKind::Legacy;
  }
  // Shorter than a header, a checksum that does not match, or bytes that
  // were never a header (a header whose write was lost, with later writes
  // landed after it): the header was never durable, and the table is not
  // touched before it is.
  return HeaderKind::Torn;
}

// Rolls `file` back through a journal of the earlier layout (header
// verified), trying it on a scratch copy first.
void recoverLegacy(FileDBBinaryFile& file, FileDBBinaryFile& j, const VELString& journal, const unsigned char* header,
                   std::uint64_t size, const FileDBJournaledFile::LegacyCheck& legacyCheck) {
  const std::uint64_t originalSize = FileDBCoding::get64(header + kOriginalSizeOffset);
  const unsigned char* nonce = header + kNonceOffset;
  auto verify = [nonce](const unsigned char* head, const unsigned char* bytes, std::uint64_t length,
                        const unsigned char* stored) {
    unsigned char sum[32];
    FileDBJournalKey::checksum(
        sum, {Piece(nonce, kNonceSize), Piece(head, kRecordHeadSize), Piece(bytes, static_cast<std::size_t>(length))});
    return std::memcmp(sum, stored, 32) == 0;
  };
  unsigned char transactionID[kTransactionIDSize];
  const bool marked = walkJournal(j, kLegacyHeaderSize, originalSize, size, transactionID, verify, ignoreRecord);
  if (marked &&
      !legacyTransactionOpen(FileDBJournaledFile::transactionPath(file.getFileName(), transactionID), transactionID)) {
    return;  // its transaction committed: nothing to write back
  }
  const std::string advice =
      ": it is left in place and not applied. Open the database read-write with the password it had when the "
      "change was interrupted; if the journal is not this database's, remove it to keep the table as it stands-";
  if (!legacyCheck) {
    VELDB_THROW(VELDBError::kBadFormat, "journal of an earlier release that cannot be checked here" + advice + journal);
  }
  // The scratch copy, rolled back and checked before the table is touched.
  FileDBBinaryFile scratch;
  scratch.openTmpFile();
  const std::uint64_t current = file.FileDBBinaryFile::getSize();
  std::vector<unsigned char> block(static_cast<std::size_t>(std::min<std::uint64_t>(kMaxRecordLength, current)));
  for (std::uint64_t at = 0; at < current; at += block.size()) {
    const std::uint64_t n = std::min<std::uint64_t>(block.size(), current - at);
    file.FileDBBinaryFile::readAt(at, block.data(), n);
    scratch.setPosition(at);
    scratch.write(static_cast<const void*>(block.data()), n);
  }
  walkJournal(j, kLegacyHeaderSize, originalSize, size, transactionID, verify, WriteBack{scratch});
  scratch.setSize(originalSize);
  const bool verified = legacyCheck(scratch);
  scratch.close();
  if (!verified) {
    VELDB_THROW(VELDBError::kBadPassword,
                "journal of an earlier release: the table it would restore is not sealed under this password" + advice +
                    journal);
  }
  walkJournal(j, kLegacyHeaderSize, originalSize, size, transactionID, verify, WriteBack{file});
  file.FileDBBinaryFile::setSize(originalSize);
  if (FileDBJournaledFile::syncMode() != FileDBJournaledFile::SyncOff) file.FileDBBinaryFile::sync();
}

}  // namespace

bool FileDBJournaledFile::recover(FileDBBinaryFile& file, const VELString& journal,
                                  const VELPasswordEncryptor& password, const LegacyCheck& legacyCheck) {
  VEL_TRACE_SCOPE("recover");
  if (!FileDBBinaryFile::exists(journal)) return false;
  {
    FileDBBinaryFile j(journal, VELDBConnectInfo::ReadWrite);
    const std::uint64_t size = j.getSize();
    unsigned char header[kHeaderSize] = {};
    const std::uint64_t n = std::min(size, kHeaderSize);
    if (n > 0) j.read(header, n);
    switch (classifyHeader(header, size)) {
      case HeaderKind::Torn:
        VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "journal cut short before its table was touched removed " + journal);
        break;
      case HeaderKind::Legacy:
        recoverLegacy(file, j, journal, header, size, legacyCheck);
        VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "journal of an earlier release recovered " + journal);
        break;
      case HeaderKind::Current: {
        const FileDBJournalKey key(password, FileDBJournalKey::kTableJournal, file.getFileName());
        if (!key.verify(header + kMacOffset, {Piece(header, kMacOffset)})) {
          VELDB_THROW(VELDBError::kBadPassword,
                      "journal not made for this table under this password (another password, another table, or "
                      "not made by this database): it is left in place and not applied-" +
                          journal);
        }
        const unsigned char* nonce = header + kNonceOffset;
        auto verify = [&key, nonce](const unsigned char* head, const unsigned char* bytes, std::uint64_t length,
                                    const unsigned char* stored) {
          return key.verify(stored, {Piece(nonce, kNonceSize), Piece(head, kRecordHeadSize),
                                     Piece(bytes, static_cast<std::size_t>(length))});
        };
        const std::uint64_t originalSize = FileDBCoding::get64(header + kOriginalSizeOffset);
        // A journal of a transaction over several files is applied only
        // while that transaction is still open; the first walk finds out.
        unsigned char transactionID[kTransactionIDSize];
        const bool marked = walkJournal(j, kHeaderSize, originalSize, size, transactionID, verify, ignoreRecord);
        const bool apply =
            !marked || transactionOpen(transactionPath(file.getFileName(), transactionID), transactionID, password);
        if (apply) {
          walkJournal(j, kHeaderSize, originalSize, size, transactionID, verify, WriteBack{file});
          file.FileDBBinaryFile::setSize(originalSize);
          if (syncMode() != SyncOff) file.FileDBBinaryFile::sync();
        }
        VEL_TRACE_WRITE(
            8, VELTraceLevel::kInfo,
            (apply ? "rolled back from journal " : "journal of a committed transaction removed ") + journal);
        break;
      }
    }
    j.close();
  }
  FileDBBinaryFile::remove(journal);
  return true;
}

bool FileDBJournaledFile::onlyRestoresBelow(const VELString& journal, std::uint64_t limit, std::uint64_t size) {
  if (!FileDBBinaryFile::exists(journal)) return false;
  FileDBBinaryFile j(journal, VELDBConnectInfo::ReadOnly);
  const std::uint64_t journalSize = j.getSize();
  unsigned char header[kHeaderSize] = {};
  const std::uint64_t n = std::min(journalSize, kHeaderSize);
  if (n > 0) j.read(header, n);
  if (classifyHeader(header, journalSize) != HeaderKind::Current ||
      FileDBCoding::get64(header + kOriginalSizeOffset) != size)
    return false;
  // Every record the walk of a recovery could reach, authenticated or not.
  bool below = true;
  unsigned char transactionID[kTransactionIDSize];
  walkJournal(
      j, kHeaderSize, size, journalSize, transactionID,
      [&below](const unsigned char* head, const unsigned char*, std::uint64_t, const unsigned char*) {
        below = below && FileDBCoding::get64(head) != kTransactionRecordOffset;
        return true;
      },
      [&below, limit](std::uint64_t offset, const unsigned char*, std::uint64_t length) {
        below = below && offset <= limit && length <= limit - offset;
      });
  return below;
}
