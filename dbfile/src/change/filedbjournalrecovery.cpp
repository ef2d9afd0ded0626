// Recovery: reading a journal back, deciding whether it belongs to the
// table, applying or refusing it, and the transaction files.
#include "filedbjournaledfile.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <vector>

#include "filedbcoding.h"
#include "filedbdropped.h"
#include "filedbjournalformat.h"
#include "filedbjournalkey.h"
#include "velexception.h"
#include "velkry.h"
#include "velplatform.h"  // error numbers of a refused open
#include "veltrace.h"

using namespace FileDBJournalFormat;

using Piece = FileDBJournalKey::Piece;

namespace {

// The table path without its last extension, and the transaction files'
// prefix.
std::string transactionStem(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExtension ? path.substr(0, dot) : path) + ".vtxn-";
}

// True when the transaction file at `path` is there and names `id`; false
// when there is none.  One that is there but was not made under `password`
// for this transaction is refused: a planted one would roll back a
// transaction that committed.
bool transactionOpen(const VELString& path, const unsigned char* id, const VELPasswordEncryptor& password) {
  if (!FileDBBinaryFile::exists(path)) return false;
  unsigned char bytes[kTransactionMacOffset + kMaxTransactionMacs * kMacSize];
  std::uint64_t macs = 0;
  {
    FileDBBinaryFile f(path, VELDBConnectInfo::ReadOnly);
    const std::uint64_t size = f.getSize();
    if (size > kTransactionMacOffset && size <= sizeof bytes && (size - kTransactionMacOffset) % kMacSize == 0) {
      f.read(bytes, size);
      macs = (size - kTransactionMacOffset) / kMacSize;
    }
  }
  const FileDBJournalKey key(password, FileDBJournalKey::kTransactionFile, path);
  bool verified = false;
  for (std::uint64_t i = 0; i < macs && !verified; ++i) {
    verified = key.verify(bytes + kTransactionMacOffset + i * kMacSize, {Piece(bytes, kTransactionMacOffset)});
  }
  if (!verified || std::memcmp(bytes, kTransactionMagic, sizeof kTransactionMagic) != 0 ||
      std::memcmp(bytes + kTransactionIDOffset, id, kTransactionIDSize) != 0) {
    VELDB_THROW(VELDBError::kBadPassword,
                "transaction file not made by this database under this password; it is left in place and no "
                "journal that depends on it is applied-" +
                    path);
  }
  return true;
}

enum class HeaderKind { Torn, Current, Legacy };

// What the first bytes of a journal of `size` bytes say about it.
HeaderKind classifyHeader(const unsigned char* header, std::uint64_t size) {
  // Each layout: its magic and where its checksum is (it covers every byte
  // before it).
  const struct {
    const unsigned char* magic;
    std::size_t checksumOffset;
    HeaderKind kind;
  } layouts[] = {{kMagic, kChecksumOffset, HeaderKind::Current},
                 {kLegacyMagic2, kLegacy2ChecksumOffset, HeaderKind::Legacy},
                 {kLegacyMagic1, kLegacy1ChecksumOffset, HeaderKind::Legacy}};
  for (const auto& layout : layouts) {
    if (size < layout.checksumOffset + 32 || std::memcmp(header, layout.magic, sizeof kMagic) != 0) continue;
    unsigned char sum[32];
    FileDBJournalKey::checksum(sum, {Piece(header, layout.checksumOffset)});
    if (std::memcmp(sum, header + layout.checksumOffset, sizeof sum) == 0) return layout.kind;
  }
  // Shorter than a header, a checksum that does not match, or bytes that
  // were never a header (a header whose write was lost, with later writes
  // landed after it): the header was never durable, and the table is not
  // touched before it is.
  return HeaderKind::Torn;
}

// A journal as recovery reads it: its header, then every record up to the
// first that does not verify (it was being written when the change
// stopped, before its region was touched).
struct JournalContents {
  // Where a record's original bytes go in the table, and where they are
  // in the journal.
  struct Span {
    std::uint64_t offset;
    std::uint64_t at;
    std::uint64_t length;
  };
  HeaderKind kind = HeaderKind::Torn;
  bool authentic = false;  // the header's MAC verifies
  std::uint64_t originalSize = 0;
  std::vector<Span> spans;
  bool hasBefore = false;
  std::vector<unsigned char> before;
  std::vector<std::vector<unsigned char>> after;
  bool marked = false;  // the last record is a transaction record
  unsigned char transactionID[kTransactionIDSize] = {};
};

// Looks through the records of the journal open as `j` (`size` bytes) for a
// password record that `kek` unwraps, without checking their MACs (the key
// they need is what is looked for); true with the record key in `key`.
bool unwrapFromRecords(FileDBBinaryFile& j, std::uint64_t size, const FileDBJournalKey& kek, unsigned char* key) {
  for (std::uint64_t at = kHeaderSize; at + kRecordOverhead <= size;) {
    unsigned char head[kRecordHeadSize];
    j.readAt(at, head, sizeof head);
    const std::uint64_t offset = FileDBCoding::get64(head);
    const std::uint64_t length = FileDBCoding::get64(head + 8);
    if (length > kMaxRecordLength || length > size - at - kRecordOverhead) break;
    if (offset == kPasswordOffset && length == kWrappedSize) {
      unsigned char wrapped[kWrappedSize];
      j.readAt(at + kRecordHeadSize, wrapped, sizeof wrapped);
      if (kek.unwrap(wrapped, key)) return true;
    }
    at += kRecordOverhead + length;
  }
  return false;
}

// Reads the journal open as `j` of the table at `tablePath` under the
// journal key of `password`.
JournalContents readJournal(FileDBBinaryFile& j, const VELString& tablePath, const VELPasswordEncryptor& password) {
  JournalContents c;
  const std::uint64_t size = j.getSize();
  unsigned char header[kHeaderSize] = {};
  const std::uint64_t n = std::min(size, kHeaderSize);
  if (n > 0) j.readAt(0, header, n);
  c.kind = classifyHeader(header, size);
  if (c.kind != HeaderKind::Current) return c;
  // The record key: wrapped in the header under the password the change
  // began with, or in a password record under one it admitted.
  unsigned char recordKey[FileDBJournalKey::kSize];
  const FileDBJournalKey kek(password, FileDBJournalKey::kTableJournal, tablePath);
  if (!kek.unwrap(header + kWrappedKeyOffset, recordKey) && !unwrapFromRecords(j, size, kek, recordKey)) return c;
  const FileDBJournalKey key(recordKey);
  OPENSSL_cleanse(recordKey, sizeof recordKey);
  c.authentic = key.verify(header + kMacOffset, {Piece(header, kMacOffset)});
  if (!c.authentic) return c;
  c.originalSize = FileDBCoding::get64(header + kOriginalSizeOffset);
  const unsigned char* nonce = header + kNonceOffset;
  std::vector<unsigned char> bytes;
  std::uint64_t at = kHeaderSize;
  j.setPosition(at);
  while (at + kRecordOverhead <= size) {
    unsigned char head[kRecordHeadSize];
    const std::uint64_t headLength = sizeof head;
    j.read(head, headLength);
    const std::uint64_t offset = FileDBCoding::get64(head);
    const std::uint64_t length = FileDBCoding::get64(head + 8);
    if (length > kMaxRecordLength || length > size - at - kRecordOverhead) break;
    if (offset == kTransactionRecordOffset) {
      if (length != kTransactionIDSize) break;
    } else if (offset == kHeaderBeforeOffset || offset == kHeaderAfterOffset) {
      if (length > kBoundLength) break;
    } else if (offset == kPasswordOffset) {
      if (length != kWrappedSize) break;
    } else if (offset > c.originalSize || length > c.originalSize - offset) {
      break;
    }
    bytes.resize(static_cast<std::size_t>(length));
    if (length > 0) j.read(static_cast<void*>(bytes.data()), length);
    unsigned char stored[kMacSize];
    const std::uint64_t sumLength = sizeof stored;
    j.read(stored, sumLength);
    if (!key.verify(stored, {Piece(nonce, kNonceSize), Piece(head, kRecordHeadSize),
                             Piece(bytes.data(), static_cast<std::size_t>(length))})) {
      break;
    }
    c.marked = offset == kTransactionRecordOffset;
    if (offset == kTransactionRecordOffset) {
      std::memcpy(c.transactionID, bytes.data(), kTransactionIDSize);
    } else if (offset == kHeaderBeforeOffset) {
      if (c.hasBefore || !c.spans.empty()) break;  // only ever the first record
      c.hasBefore = true;
      c.before = bytes;
    } else if (offset == kHeaderAfterOffset) {
      c.after.push_back(bytes);
    } else if (offset == kPasswordOffset) {
      // Opens the journal under another password; nothing to restore.
    } else {
      c.spans.push_back({offset, at + kRecordHeadSize, length});
    }
    at += kRecordOverhead + length;
  }
  return c;
}

// True when the table's first bytes `current` stand as the journal's
// change left them: each byte as it was before the change or as one of the
// change's announced headers has it.
bool belongsToChange(const JournalContents& c, const unsigned char* current, std::size_t length) {
  for (std::size_t i = 0; i < length && i < c.before.size(); ++i) {
    if (current[i] == c.before[i]) continue;
    bool announced = false;
    for (const std::vector<unsigned char>& after : c.after) {
      if (i < after.size() && after[i] == current[i]) {
        announced = true;
        break;
      }
    }
    if (!announced) return false;
  }
  return true;
}

// Opens the journal at `path` read-only; false, with why in `why`, when
// this user may not read it (it is then not to be trusted).
bool openJournal(FileDBBinaryFile& j, const VELString& path, VELString& why) {
  try {
    j.openExisting(path, VELDBConnectInfo::ReadOnly);
    return true;
  } catch (const VELDBException& e) {
    const long long error = e.getExtra();
    if (e.getError() != VELDBError::kCannotOpen ||
        (error != EACCES && error != EPERM && error != EISDIR && error != VEL_ENOTREGULAR)) {
      throw;
    }
    why = std::string(error == EACCES || error == EPERM ? "journal that this user may not read"
                                                        : "journal that is not a regular file") +
          ": it is left in place and not applied-" + path;
    return false;
  }
}

// What to do with a journal, once read.
enum class Verdict { Discard, Apply, Untrusted, Unbound };

Verdict judge(const JournalContents& c, FileDBBinaryFile& table, const VELString& journal,
              const VELPasswordEncryptor& password, VELString& why) {
  switch (c.kind) {
    case HeaderKind::Torn:
      return Verdict::Discard;
    case HeaderKind::Legacy:
      why = "journal of an earlier layout, which cannot be tied to the change it belongs to: it is left in place "
            "and not applied (finish the interrupted change with the release that made it, or remove the "
            "journal to keep the table as it stands)-" +
            journal;
      return Verdict::Untrusted;
    case HeaderKind::Current:
      break;
  }
  if (!c.authentic) {
    why = "journal not made for this table under this password (another password, another table, or not made "
          "by this database): it is left in place and not applied-" +
          journal;
    return Verdict::Untrusted;
  }
  // Without its first record the journal was never made durable, and the
  // table is not touched before it is.
  if (!c.hasBefore) return Verdict::Discard;
  unsigned char current[kBoundLength];
  const std::uint64_t present =
      std::min<std::uint64_t>(c.before.size(), table.FileDBBinaryFile::getSize());
  if (present > 0) table.FileDBBinaryFile::readAt(0, current, present);
  if (!belongsToChange(c, current, static_cast<std::size_t>(present))) {
    why = "journal not made by the interrupted change of this table (it was moved here from another table or "
          "database, or kept from an earlier change): it is not applied-" +
          journal;
    return Verdict::Unbound;
  }
  // A journal of a transaction over several files is applied only while
  // that transaction is still open.
  if (c.marked && !transactionOpen(FileDBJournaledFile::transactionPath(table.getFileName(), c.transactionID),
                                   c.transactionID, password)) {
    return Verdict::Discard;
  }
  return Verdict::Apply;
}

// A table file read-only, seen as its last committed state: the original
// bytes that an interrupted change's journal holds, and a header given by
// the caller, laid over the file; its size the size before the change.
class CommittedView : public FileDBBinaryFile {
 public:
  explicit CommittedView(const VELString& path)
      : FileDBBinaryFile(path, VELDBConnectInfo::ReadOnly), d_size(FileDBBinaryFile::getSize()) {}

  // Lays the records of `c`, read from `journal`, over the file.
  void layJournal(std::unique_ptr<FileDBBinaryFile> journal, const JournalContents& c) {
    d_journal = std::move(journal);
    for (const JournalContents::Span& span : c.spans) {
      if (span.length > 0) d_spans[span.offset] = span;
    }
    d_size = c.originalSize;
    // What the change cut off must all be in the journal.
    std::uint64_t covered = FileDBBinaryFile::getSize();
    for (auto it = d_spans.begin(); it != d_spans.end() && covered < d_size; ++it) {
      if (it->first <= covered) covered = std::max(covered, it->first + it->second.length);
    }
    if (covered < d_size) {
      VELDB_THROW_EXTRA(VELDBError::kRead,
                        "the journal of an interrupted change does not hold the bytes the change cut off-" +
                            getFileName().str(),
                        static_cast<long long>(covered));
    }
  }
  void layHeader(const VELBuffer& header) { d_header.assign(header.data(), header.data() + header.size()); }

  std::uint64_t getSize() const override { return d_size; }
  using FileDBBinaryFile::read;
  void read(void* buffer, const std::uint64_t& count) override {
    const std::uint64_t at = currentPosition();
    readAt(at, buffer, count);
    FileDBBinaryFile::setPosition(at + count);
  }
  void readAt(std::uint64_t offset, void* buffer, std::uint64_t count) override {
    if (offset > d_size || count > d_size - offset) {
      const std::uint64_t available = offset < d_size ? d_size - offset : 0;
      VELDB_THROW_EXTRA(VELDBError::kRead, getFileName().str(), static_cast<long long>(available));
    }
    unsigned char* out = static_cast<unsigned char*>(buffer);
    const std::uint64_t physical = FileDBBinaryFile::getSize();
    const std::uint64_t end = offset + count;
    if (offset < physical) FileDBBinaryFile::readAt(offset, out, std::min(end, physical) - offset);
    // Spans do not overlap: only the one before `offset` can reach into it.
    auto it = d_spans.upper_bound(offset);
    if (it != d_spans.begin()) --it;
    for (; it != d_spans.end() && it->first < end; ++it) {
      const JournalContents::Span& span = it->second;
      const std::uint64_t from = std::max(offset, span.offset);
      const std::uint64_t to = std::min(end, span.offset + span.length);
      if (from < to) d_journal->readAt(span.at + (from - span.offset), out + (from - offset), to - from);
    }
    if (offset < d_header.size()) {
      const std::uint64_t to = std::min<std::uint64_t>(end, d_header.size());
      std::memcpy(out, d_header.data() + offset, static_cast<std::size_t>(to - offset));
    }
  }

 private:
  std::uint64_t d_size;
  std::unique_ptr<FileDBBinaryFile> d_journal;
  std::map<std::uint64_t, JournalContents::Span> d_spans;
  std::vector<unsigned char> d_header;
};

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
    for (const std::string& name : FileDBBinaryFile::list(directory, prefix)) FileDBBinaryFile::remove(VELString(directory + "/" + name));
  } catch (const VELException& e) {
    e.writeToTrace();
  }
}

void FileDBJournaledFile::writeTransactionFile(const VELString& path, const unsigned char* id,
                                               const VELPasswordEncryptor& password) {
  writeTransactionFile(path, id, std::vector<VELPasswordEncryptor>{password});
}

void FileDBJournaledFile::writeTransactionFile(const VELString& path, const unsigned char* id,
                                               const std::vector<VELPasswordEncryptor>& passwords) {
  VEL_TRACE_SCOPE("writeTransactionFile");
  if (passwords.empty() || passwords.size() > kMaxTransactionMacs) {
    VELDB_THROW(VELDBError::kBadArgument, "a transaction file names one or two passwords");
  }
  unsigned char bytes[kTransactionMacOffset + kMaxTransactionMacs * kMacSize];
  std::memcpy(bytes, kTransactionMagic, sizeof kTransactionMagic);
  std::memcpy(bytes + kTransactionIDOffset, id, kTransactionIDSize);
  for (std::size_t i = 0; i < passwords.size(); ++i) {
    const FileDBJournalKey key(passwords[i], FileDBJournalKey::kTransactionFile, path);
    key.mac(bytes + kTransactionMacOffset + i * kMacSize, {Piece(bytes, kTransactionMacOffset)});
  }
  FileDBBinaryFile f;
  f.openNew(path);
  try {
    const std::uint64_t n = kTransactionMacOffset + passwords.size() * kMacSize;
    f.write(bytes, n);
    if (syncMode() != SyncOff) f.sync();
    f.close();
  } catch (...) {
    try {
      f.close();
      FileDBBinaryFile::remove(path);
    } catch (...) {
      FileDBDropped::trace();
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


FileDBJournaledFile::Recovery FileDBJournaledFile::recover(FileDBBinaryFile& file, const VELString& journal,
                                                           const VELPasswordEncryptor& password,
                                                           VELString* notApplied) {
  VEL_TRACE_SCOPE("recover");
  if (!FileDBBinaryFile::exists(journal)) return Recovery::kNone;
  Recovery result = Recovery::kDiscarded;
  {
    // Read only: the table's write lock keeps every other writer out.
    FileDBBinaryFile j;
    VELString why;
    Verdict verdict = Verdict::Untrusted;
    JournalContents c;
    if (openJournal(j, journal, why)) {
      c = readJournal(j, file.getFileName(), password);
      verdict = judge(c, file, journal, password, why);
    }
    switch (verdict) {
      case Verdict::Untrusted:
      case Verdict::Unbound:
        VEL_TRACE_WRITE(8, VELTraceLevel::kError, why);
        if (notApplied != nullptr) {
          *notApplied = why;
          return verdict == Verdict::Unbound ? Recovery::kUnbound : Recovery::kNotApplied;
        }
        VELDB_THROW(c.kind == HeaderKind::Legacy ? VELDBError::kBadFormat : VELDBError::kBadPassword, why);
      case Verdict::Discard:
        VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "journal with nothing to write back removed " + journal);
        break;
      case Verdict::Apply: {
        std::vector<unsigned char> bytes;
        for (const JournalContents::Span& span : c.spans) {
          bytes.resize(static_cast<std::size_t>(span.length));
          if (span.length == 0) continue;
          j.readAt(span.at, bytes.data(), span.length);
          file.FileDBBinaryFile::setPosition(span.offset);
          file.FileDBBinaryFile::write(static_cast<const void*>(bytes.data()), span.length);
        }
        file.FileDBBinaryFile::setSize(c.originalSize);
        if (syncMode() != SyncOff) file.FileDBBinaryFile::sync();
        VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "rolled back from journal " + journal);
        result = Recovery::kRolledBack;
        break;
      }
    }
    j.close();
  }
  FileDBBinaryFile::remove(journal);
  return result;
}

std::unique_ptr<FileDBBinaryFile> FileDBJournaledFile::openCommitted(const VELString& path,
                                                                     const VELPasswordEncryptor& password,
                                                                     const VELBuffer* header, VELString* notApplied) {
  VEL_TRACE_SCOPE("openCommitted");
  // The shared lock first: while it is held, no writer can begin a change,
  // so a journal found now is one that nobody is writing.
  std::unique_ptr<FileDBBinaryFile> plain(new FileDBBinaryFile(path, VELDBConnectInfo::ReadOnly));
  const VELString journal = journalPath(path);
  if (header == nullptr && !FileDBBinaryFile::exists(journal)) return plain;
  // A second shared lock of the same file, taken while the first holds.
  std::unique_ptr<CommittedView> view(new CommittedView(path));
  plain.reset();
  bool laid = false;
  if (FileDBBinaryFile::exists(journal)) {
    std::unique_ptr<FileDBBinaryFile> j(new FileDBBinaryFile());
    VELString why;
    JournalContents c;
    const bool readable = openJournal(*j, journal, why);
    if (readable) c = readJournal(*j, path, password);
    switch (readable ? judge(c, *view, journal, password, why) : Verdict::Untrusted) {
      case Verdict::Untrusted:
      case Verdict::Unbound:
        VEL_TRACE_WRITE(8, VELTraceLevel::kError, why);
        if (notApplied != nullptr) *notApplied = why;
        break;
      case Verdict::Discard:
        break;
      case Verdict::Apply:
        view->layJournal(std::move(j), c);
        laid = true;
        VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "read through the journal of an interrupted change " + journal);
        break;
    }
  }
  if (header != nullptr) {
    view->layHeader(*header);
    laid = true;
  }
  if (!laid) return std::unique_ptr<FileDBBinaryFile>(new FileDBBinaryFile(path, VELDBConnectInfo::ReadOnly));
  return std::unique_ptr<FileDBBinaryFile>(view.release());
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
  std::uint64_t at = kHeaderSize;
  while (at + kRecordOverhead <= journalSize) {
    unsigned char head[kRecordHeadSize];
    j.readAt(at, head, sizeof head);
    const std::uint64_t offset = FileDBCoding::get64(head);
    const std::uint64_t length = FileDBCoding::get64(head + 8);
    if (length > kMaxRecordLength || length > journalSize - at - kRecordOverhead) break;
    if (offset == kTransactionRecordOffset) return false;
    if (offset != kHeaderBeforeOffset && offset != kHeaderAfterOffset && offset != kPasswordOffset) {
      if (offset > size || length > size - offset) break;
      if (offset > limit || length > limit - offset) return false;
    }
    at += kRecordOverhead + length;
  }
  return true;
}
