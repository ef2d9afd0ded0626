#include "filedbpasswordjournal.h"

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "filedbbinaryfile.h"
#include "filedbcoding.h"
#include "filedbdropped.h"
#include "filedbheader.h"
#include "filedbjournaledfile.h"
#include "filedbjournalkey.h"
#include "velexception.h"
#include "velkry.h"
#include "veltrace.h"

namespace {

const char kMagic[8] = {'V', 'E', 'L', 'P', 'W', 'J', '0', '2'};
const char kLegacyMagic[8] = {'V', 'E', 'L', 'P', 'W', 'J', '0', '1'};
constexpr std::size_t kSumSize = FileDBJournalKey::kSize;
constexpr std::size_t kTrailer = 3 * kSumSize;  // two MACs and the checksum
constexpr std::size_t kMaxHeader = 4096;
// Larger than any journal of either layout: the earlier one held at most 16
// entries of 64 KiB.
constexpr std::uint64_t kMaxSize = 17u * 2 * 64 * 1024;
const char kOldRole[] = "old";
const char kNewRole[] = "new";

using Piece = FileDBJournalKey::Piece;

void mac(const VELPasswordEncryptor& password, const VELString& keyPath, const VELString& body, const char* role,
         unsigned char* out) {
  const FileDBJournalKey key(password, FileDBJournalKey::kPasswordJournal, keyPath);
  key.mac(out, {Piece(body.data(), body.size()), Piece(role, 3)});
}

bool verifies(const VELPasswordEncryptor& password, const VELString& keyPath, const VELString& body, const char* role,
              const unsigned char* expected) {
  const FileDBJournalKey key(password, FileDBJournalKey::kPasswordJournal, keyPath);
  return key.verify(expected, {Piece(body.data(), body.size()), Piece(role, 3)});
}

// True when the last 32 bytes of `bytes` are the SHA-256 of the rest: the
// file was written whole.
bool whole(const VELString& bytes) {
  if (bytes.size() < kSumSize) return false;
  unsigned char sum[kSumSize];
  FileDBJournalKey::checksum(sum, {Piece(bytes.data(), bytes.size() - kSumSize)});
  return std::memcmp(sum, bytes.data() + bytes.size() - kSumSize, kSumSize) == 0;
}

// The entries of an authenticated body; false when it is not well formed.
bool parse(const VELString& body, std::vector<FileDBPasswordJournal::Entry>& entries) {
  std::size_t at = sizeof kMagic;
  if (body.size() < at + 1) return false;
  const unsigned count = static_cast<unsigned char>(body[at++]);
  if (count == 0 || count > 3) return false;
  bool seen[3] = {false, false, false};
  for (unsigned i = 0; i < count; ++i) {
    if (body.size() - at < 3) return false;
    const unsigned table = static_cast<unsigned char>(body[at]);
    const std::size_t length = FileDBCoding::get16(reinterpret_cast<const unsigned char*>(body.data()) + at + 1);
    at += 3;
    if (table > 2 || seen[table] || length < FileDBHeader::kCommonHeaderSize || length > kMaxHeader ||
        body.size() - at < length + kSumSize) {
      return false;
    }
    seen[table] = true;
    entries.push_back(FileDBPasswordJournal::Entry{static_cast<FileDBPasswordJournal::Table>(table),
                                                   VELBuffer(body.data() + at, length),
                                                   VELBuffer(body.data() + at + length, kSumSize)});
    at += length + kSumSize;
  }
  return at == body.size();
}

// True when `header` (a header image from the journal) describes the table
// whose first bytes are `current`: a password change leaves the magic,
// versions, file type, record length and slot count as they were.
bool describes(const VELBuffer& header, const unsigned char* current) {
  const unsigned char* old = header.data();
  return std::memcmp(old, current, FileDBHeader::kPasswordExpirationTimeOffset) == 0 &&
         std::memcmp(old + FileDBHeader::kFileTypeOffset, current + FileDBHeader::kFileTypeOffset,
                     FileDBHeader::kFileLabelOffset - FileDBHeader::kFileTypeOffset) == 0;
}

// The journal's name is synced when it is made and when it goes, in every
// mode that syncs: one that a power loss took back (or brought back) would
// leave the tables with two passwords (or put old headers over later
// changes).  A password change is rare; the sync costs nothing that counts.
void syncDirectory(const VELString& file) {
  if (FileDBJournaledFile::syncMode() != FileDBJournaledFile::SyncOff) FileDBBinaryFile::syncDirectory(file);
}

// SHA-256 of a table's slots (every byte after its header of `headerSize`
// bytes): a password change leaves them as they are, so they tie the
// journal to this database's tables.  `read(offset, buffer, count)` reads
// the file; `size` is its size.
void bodyDigest(std::uint64_t headerSize, std::uint64_t size,
                const std::function<void(std::uint64_t, unsigned char*, std::uint64_t)>& read, unsigned char* out) {
  static const VELKRYAlgorithmFactory algorithms;
  const std::unique_ptr<VELKRYDigest> digest = algorithms.createSHA256Digest();
  if (digest == nullptr) VELDB_THROW(VELDBError::kNoDigest, "password journal: table digest");
  digest->init();
  unsigned char sizeBytes[8];
  FileDBCoding::put64(sizeBytes, size);
  digest->update(sizeBytes, sizeof sizeBytes);
  std::vector<unsigned char> block(64 * 1024);
  for (std::uint64_t at = headerSize; at < size;) {
    const std::uint64_t n = std::min<std::uint64_t>(block.size(), size - at);
    read(at, block.data(), n);
    digest->update(block.data(), static_cast<std::size_t>(n));
    at += n;
  }
  digest->finish(out);
}

// The same for the table file at `path`, read through a descriptor of its
// own that takes no lock: the connection that changes the password holds
// the file's lock.
void bodyDigest(const VELString& path, std::uint64_t headerSize, unsigned char* out) {
  FileDBBinaryFile file;
  file.openUnlockedRead(path);
  bodyDigest(
      headerSize, file.getSize(),
      [&file](std::uint64_t offset, unsigned char* buffer, std::uint64_t count) { file.readAt(offset, buffer, count); },
      out);
}

}  // namespace

VELString FileDBPasswordJournal::path(const VELString& keyPath) { return keyPath + "-password-journal"; }

void FileDBPasswordJournal::write(const Paths& tables, const std::vector<std::pair<Table, VELBuffer>>& headers,
                                  const VELPasswordEncryptor& oldPassword, const VELPasswordEncryptor& newPassword) {
  VEL_TRACE_SCOPE("FileDBPasswordJournal::write");
  if (headers.empty() || headers.size() > 3) VELDB_THROW(VELDBError::kBadArgument, "password journal: tables");
  const VELString& keyPath = tables[kKeyTable];
  VELString bytes(kMagic, sizeof kMagic);
  bytes.push_back(static_cast<char>(headers.size()));
  for (const auto& entry : headers) {
    if (entry.second.size() < FileDBHeader::kCommonHeaderSize || entry.second.size() > kMaxHeader ||
        entry.first > kCRLTable || tables[entry.first].empty()) {
      VELDB_THROW(VELDBError::kBadArgument, "password journal: table or header size");
    }
    unsigned char digest[kSumSize];
    bodyDigest(tables[entry.first], entry.second.size(), digest);
    bytes.push_back(static_cast<char>(entry.first));
    unsigned char length[2];
    FileDBCoding::put16(length, static_cast<std::uint16_t>(entry.second.size()));
    bytes.append(reinterpret_cast<const char*>(length), sizeof length);
    bytes.append(reinterpret_cast<const char*>(entry.second.data()), entry.second.size());
    bytes.append(reinterpret_cast<const char*>(digest), kSumSize);
  }
  unsigned char sums[kTrailer];
  mac(oldPassword, keyPath, bytes, kOldRole, sums);
  mac(newPassword, keyPath, bytes, kNewRole, sums + kSumSize);
  bytes.append(reinterpret_cast<const char*>(sums), 2 * kSumSize);
  FileDBJournalKey::checksum(sums + 2 * kSumSize, {Piece(bytes.data(), bytes.size())});
  bytes.append(reinterpret_cast<const char*>(sums + 2 * kSumSize), kSumSize);

  const VELString file = path(keyPath);
  FileDBBinaryFile journal;
  journal.openNew(file);
  try {
    journal.write(bytes);
    if (FileDBJournaledFile::syncMode() != FileDBJournaledFile::SyncOff) journal.sync();
    journal.close();
    syncDirectory(file);
  } catch (...) {
    try {
      FileDBBinaryFile::remove(file);
    } catch (...) {
      FileDBDropped::trace();
    }
    throw;
  }
}

void FileDBPasswordJournal::remove(const VELString& keyPath) {
  VEL_TRACE_SCOPE("FileDBPasswordJournal::remove");
  const VELString file = path(keyPath);
  FileDBBinaryFile::remove(file);
  syncDirectory(file);
}

namespace {

// Reads and authenticates the password journal of the key file `keyPath`
// under `password`: kNone when there is none or it was cut short (removed
// when `removeTorn`), else which role `password` has, with the entries.
FileDBPasswordJournal::Outcome readJournal(const VELString& keyPath, const VELPasswordEncryptor& password,
                                           bool removeTorn, std::vector<FileDBPasswordJournal::Entry>& entries) {
  using Outcome = FileDBPasswordJournal::Outcome;
  const VELString file = FileDBPasswordJournal::path(keyPath);
  if (!FileDBBinaryFile::exists(file)) return Outcome::kNone;
  VELString bytes;
  {
    FileDBBinaryFile journal(file, VELDBConnectInfo::ReadOnly);
    const std::uint64_t size = journal.getSize();
    if (size > kMaxSize) {
      VELDB_THROW(VELDBError::kBadFormat,
                  "not a password journal of this database (too large): it is left in place and not applied-" + file);
    }
    journal.read(bytes, size);
  }
  const bool current = bytes.size() >= sizeof kMagic && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
  const bool legacy =
      bytes.size() >= sizeof kLegacyMagic && std::memcmp(bytes.data(), kLegacyMagic, sizeof kLegacyMagic) == 0;
  if (!(current || legacy) || !whole(bytes) || (current && bytes.size() < sizeof kMagic + 1 + kTrailer)) {
    // Cut short while it was written, before any table changed.
    if (removeTorn) {
      FileDBBinaryFile::remove(file);
      VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "password journal cut short removed: " + file);
    }
    return Outcome::kNone;
  }
  if (legacy) {
    VELDB_THROW(VELDBError::kBadFormat,
                "password journal of an earlier release: it names the files it writes and cannot be authenticated, "
                "so it is left in place and not applied. Finish the interrupted password change with the release "
                "that began it, or remove the journal (tables that took the new password then keep it)-" +
                    file);
  }
  const VELString body = bytes.substr(0, bytes.size() - kTrailer);
  const unsigned char* sums = reinterpret_cast<const unsigned char*>(bytes.data()) + body.size();
  Outcome outcome = Outcome::kRestoredWithOld;
  if (!verifies(password, keyPath, body, kOldRole, sums)) {
    if (!verifies(password, keyPath, body, kNewRole, sums + kSumSize)) {
      VELDB_THROW(VELDBError::kBadPassword,
                  "password journal not made by this database under this password: it is left in place and not "
                  "applied-" +
                      file);
    }
    outcome = Outcome::kRestoredWithNew;
  }
  if (!parse(body, entries)) {
    VELDB_THROW(VELDBError::kBadFormat, "password journal not well formed: it is left in place-" + file);
  }
  return outcome;
}

}  // namespace

FileDBPasswordJournal::Outcome FileDBPasswordJournal::committedHeaders(const Paths& tables,
                                                                       const VELPasswordEncryptor& password,
                                                                       std::map<VELString, VELBuffer>& headers) {
  VEL_TRACE_SCOPE("FileDBPasswordJournal::committedHeaders");
  std::vector<Entry> entries;
  const Outcome outcome = readJournal(tables[kKeyTable], password, false, entries);
  if (outcome == Outcome::kNone) return outcome;
  // Only a journal that describes these tables as they stand is read
  // through, as only such a one is applied.
  for (const Entry& entry : entries) {
    const VELString& table = tables[entry.table];
    if (table.empty() || !FileDBBinaryFile::exists(table)) continue;
    unsigned char head[FileDBHeader::kCommonHeaderSize];
    {
      FileDBBinaryFile f(table, VELDBConnectInfo::ReadOnly);
      if (f.getSize() < entry.header.size() || f.getSize() < sizeof head) {
        VELDB_THROW(VELDBError::kBadFormat,
                    "password journal does not belong to this database: it is left in place and not applied-" +
                        path(tables[kKeyTable]));
      }
      f.readAt(0, head, sizeof head);
    }
    unsigned char digest[kSumSize];
    bodyDigest(table, entry.header.size(), digest);
    if (!describes(entry.header, head) || std::memcmp(digest, entry.slots.data(), kSumSize) != 0) {
      VELDB_THROW(VELDBError::kBadFormat, "password journal does not belong to this database (it does not describe " +
                                              table + "): it is left in place and not applied-" +
                                              path(tables[kKeyTable]));
    }
    headers[table] = entry.header;
  }
  return outcome;
}

FileDBPasswordJournal::Outcome FileDBPasswordJournal::recover(const Paths& tables,
                                                              const VELPasswordEncryptor& password) {
  VEL_TRACE_SCOPE("FileDBPasswordJournal::recover");
  const VELString& keyPath = tables[kKeyTable];
  const VELString file = path(keyPath);
  std::vector<Entry> entries;
  const Outcome outcome = readJournal(keyPath, password, true, entries);
  if (outcome == Outcome::kNone) return outcome;

  // Every table file, for writing; any one in use elsewhere: leave it all.
  struct Open {
    const Entry* entry;
    VELString path;
    std::unique_ptr<FileDBBinaryFile> file;
    bool dropJournal;
  };
  std::vector<Open> open;
  for (const Entry& entry : entries) {
    const VELString& table = tables[entry.table];
    if (table.empty() || !FileDBBinaryFile::exists(table)) continue;
    try {
      open.push_back(Open{&entry, table,
                          std::unique_ptr<FileDBBinaryFile>(new FileDBBinaryFile(table, VELDBConnectInfo::ReadWrite)),
                          false});
    } catch (const VELDBException& e) {
      if (e.getError() == VELDBError::kLock) return Outcome::kInUse;
      throw;
    }
  }
  // A header change of a table's own that was interrupted goes first.  Its
  // journal holds the header this journal puts back anyway (and may have
  // been made under the other password of the change): it is dropped.  Any
  // other journal is recovered as an open would, under `password`.
  for (Open& table : open) {
    const VELString journal = FileDBJournaledFile::journalPath(table.path);
    if (!FileDBBinaryFile::exists(journal)) continue;
    if (FileDBJournaledFile::onlyRestoresBelow(journal, table.entry->header.size(), table.file->getSize())) {
      table.dropJournal = true;
    } else {
      FileDBJournaledFile::recover(*table.file, journal, password);
    }
  }
  // Nothing is written unless every header belongs where it goes.
  for (Open& table : open) {
    unsigned char head[FileDBHeader::kCommonHeaderSize];
    const std::uint64_t n = sizeof head;
    if (table.file->getSize() < table.entry->header.size()) {
      VELDB_THROW(VELDBError::kBadFormat,
                  "password journal does not belong to this database: it is left in "
                  "place and not applied-" +
                      file);
    }
    table.file->readAt(0, head, n);
    unsigned char digest[kSumSize];
    FileDBBinaryFile& f = *table.file;
    bodyDigest(
        table.entry->header.size(), f.getSize(),
        [&f](std::uint64_t offset, unsigned char* buffer, std::uint64_t count) { f.readAt(offset, buffer, count); },
        digest);
    if (!describes(table.entry->header, head) || std::memcmp(digest, table.entry->slots.data(), kSumSize) != 0) {
      VELDB_THROW(VELDBError::kBadFormat, "password journal does not belong to this database (it does not describe " +
                                              table.path + "): it is left in place and not applied-" + file);
    }
  }
  for (Open& table : open) {
    table.file->setPosition(0);
    const std::uint64_t n = table.entry->header.size();
    table.file->write(table.entry->header.data(), n);
    if (FileDBJournaledFile::syncMode() != FileDBJournaledFile::SyncOff) table.file->sync();
    if (table.dropJournal) FileDBBinaryFile::remove(FileDBJournaledFile::journalPath(table.path));
  }
  remove(keyPath);
  VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "password change rolled back: " + keyPath);
  return outcome;
}
