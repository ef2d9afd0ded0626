#include "filedbpasswordjournal.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "filedbbinaryfile.h"
#include "filedbjournaledfile.h"
#include "velexception.h"
#include "velplatform.h"
#include "veltrace.h"

namespace {

const char kMagic[8] = {'V', 'E', 'L', 'P', 'W', 'J', '0', '1'};
constexpr std::size_t kChecksumSize = 32;
constexpr std::uint32_t kMaxEntries = 16;
constexpr std::uint32_t kMaxField = 64 * 1024;

void putU32(VELString& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

bool getU32(const VELString& in, std::size_t& at, std::uint32_t& v) {
  if (in.size() < at || in.size() - at < 4) return false;
  v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  at += 4;
  return true;
}

void sha256(const VELString& data, unsigned char out[kChecksumSize]) {
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out, &n, EVP_sha256(), nullptr) != 1) {
    VELDB_THROW(VELDBError::kNoDigest, "password journal checksum");
  }
}

// The entries of a journal that verifies; false otherwise.
bool parse(const VELString& bytes, std::vector<FileDBPasswordJournal::Entry>& entries) {
  if (bytes.size() < sizeof kMagic + 4 + kChecksumSize) return false;
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return false;
  const VELString body = bytes.substr(0, bytes.size() - kChecksumSize);
  unsigned char sum[kChecksumSize];
  sha256(body, sum);
  if (std::memcmp(sum, bytes.data() + body.size(), kChecksumSize) != 0) return false;
  std::size_t at = sizeof kMagic;
  std::uint32_t count = 0;
  if (!getU32(body, at, count) || count > kMaxEntries) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t pathLength = 0;
    std::uint32_t headerLength = 0;
    if (!getU32(body, at, pathLength) || pathLength > kMaxField || body.size() - at < pathLength) return false;
    VELString file = body.substr(at, pathLength);
    at += pathLength;
    if (!getU32(body, at, headerLength) || headerLength > kMaxField || body.size() - at < headerLength) return false;
    entries.emplace_back(file, VELBuffer(body.data() + at, headerLength));
    at += headerLength;
  }
  return at == body.size();
}

}  // namespace

VELString FileDBPasswordJournal::path(const VELString& keyPath) { return keyPath + "-password-journal"; }

void FileDBPasswordJournal::write(const VELString& keyPath, const std::vector<Entry>& headers) {
  VEL_TRACE_SCOPE("FileDBPasswordJournal::write");
  VELString bytes(kMagic, sizeof kMagic);
  putU32(bytes, static_cast<std::uint32_t>(headers.size()));
  for (const Entry& entry : headers) {
    putU32(bytes, static_cast<std::uint32_t>(entry.first.size()));
    bytes += entry.first;
    putU32(bytes, static_cast<std::uint32_t>(entry.second.size()));
    bytes += entry.second.toString();
  }
  unsigned char sum[kChecksumSize];
  sha256(bytes, sum);
  bytes.append(reinterpret_cast<const char*>(sum), kChecksumSize);

  const VELString file = path(keyPath);
  FileDBBinaryFile journal;
  journal.openNew(file);
  try {
    journal.write(bytes);
    if (FileDBJournaledFile::syncMode() != FileDBJournaledFile::SyncOff) journal.sync();
    journal.close();
    if (FileDBJournaledFile::syncMode() == FileDBJournaledFile::SyncFull && vel_syncdir(file.c_str()) != 0) {
      const int e = errno;
      VELDB_THROW_EXTRA(VELDBError::kWrite, "vel_syncdir-" + file, e);
    }
  } catch (...) {
    try {
      FileDBBinaryFile::remove(file);
    } catch (...) {
    }
    throw;
  }
}

void FileDBPasswordJournal::remove(const VELString& keyPath) {
  VEL_TRACE_SCOPE("FileDBPasswordJournal::remove");
  FileDBBinaryFile::remove(path(keyPath));
}

bool FileDBPasswordJournal::recover(const VELString& keyPath) {
  VEL_TRACE_SCOPE("FileDBPasswordJournal::recover");
  const VELString file = path(keyPath);
  if (!FileDBBinaryFile::exists(file)) return false;
  VELString bytes;
  {
    FileDBBinaryFile journal(file, VELDBConnectInfo::ReadOnly);
    const std::uint64_t size = journal.getSize();
    if (size > 16u * kMaxField) VELDB_THROW(VELDBError::kBadFormat, "password journal too large-" + file);
    journal.read(bytes, size);
  }
  std::vector<Entry> entries;
  if (!parse(bytes, entries)) {
    FileDBBinaryFile::remove(file);  // cut short before any table changed
    return false;
  }
  // Every table file, for writing; any one in use elsewhere: leave it all.
  std::vector<std::unique_ptr<FileDBBinaryFile>> tables;
  for (const Entry& entry : entries) {
    if (!FileDBBinaryFile::exists(entry.first)) continue;
    try {
      tables.emplace_back(new FileDBBinaryFile(entry.first, VELDBConnectInfo::ReadWrite));
    } catch (const VELDBException& e) {
      if (e.getError() == VELDBError::kLock) return false;
      throw;
    }
  }
  std::size_t next = 0;
  for (const Entry& entry : entries) {
    if (!FileDBBinaryFile::exists(entry.first)) continue;
    FileDBBinaryFile& table = *tables[next++];
    // A header change of its own that was interrupted goes first.
    FileDBJournaledFile::recover(table, FileDBJournaledFile::journalPath(entry.first));
    if (table.getSize() < entry.second.size()) continue;
    table.setPosition(0);
    const std::uint64_t n = entry.second.size();
    table.write(entry.second.data(), n);
    if (FileDBJournaledFile::syncMode() != FileDBJournaledFile::SyncOff) table.sync();
  }
  FileDBBinaryFile::remove(file);
  VEL_TRACE_WRITE(8, VELTraceLevel::kInfo, "password change rolled back: " + keyPath);
  return true;
}
