// Whole-file rewrites of a storage: growing the record length and
// compaction, both through a scratch copy.
#include "filedbstorage.h"

#include <algorithm>

#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"
#include "veltrace.h"

// A scratch file for a whole-file rewrite.  An in-memory database is never
// copied to disk: its scratch lives in memory too.
struct FileDBStorage::TempFile {
  VELString image;
  std::unique_ptr<FileDBBinaryFile> file;

  explicit TempFile(const FileDBBinaryFile& like) {
    if (like.isInMemory()) {
      file.reset(new StringDBBinaryFile(&image, VELDBConnectInfo::ReadWrite));
    } else {
      file.reset(new FileDBBinaryFile());
      file->openTmpFile();
    }
  }
};

std::unique_ptr<FileDBHeader> FileDBStorage::readHeaderLike(FileDBBinaryFile& file) const {
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  if (d_header->isKindOf("FileDBHeaderV4")) return std::unique_ptr<FileDBHeader>(new FileDBHeaderV4(factory, file));
  return std::unique_ptr<FileDBHeader>(new FileDBHeaderV3(factory, file));
}

void FileDBStorage::purge() {
  VEL_TRACE_SCOPE("purge");
  ChangeScope change(*this);
  rewrite(d_header->getFixedRecordLength(), true);
  d_purgeOnClose = false;
  change.commit();
}

void FileDBStorage::resize(std::uint64_t minimumRecordLength) {
  VEL_TRACE_SCOPE("resize");
  const std::uint64_t oldLen = d_header->getFixedRecordLength();
  if (oldLen >= minimumRecordLength) return;
  std::uint64_t newLen = oldLen;
  while (newLen < minimumRecordLength) newLen += kRecordLengthStep;
  const std::uint64_t newSize = d_header->getSize() + d_header->getRecordsAllocated() * newLen;
  if (newLen > FileDBBinaryFile::kMaxFileSize || newSize > FileDBBinaryFile::kMaxFileSize) {
    VELDB_THROW_EXTRA(VELDBError::kWrite, "record length would make the file exceed 2 GiB",
                      static_cast<long long>(newLen));
  }
  ChangeScope change(*this);
  rewrite(newLen, false);
  d_lastRecordID = std::max(d_lastRecordID, buildIndexes());
  change.commit();
}

void FileDBStorage::rewrite(std::uint64_t length, bool dropDeleted) {
  const std::uint32_t n = d_header->getRecordsAllocated();
  const std::uint64_t oldLength = d_header->getFixedRecordLength();
  const std::uint64_t headerSize = d_header->getSize();
  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();

  // The table as it will be, built and sealed in a scratch file; the
  // original is not touched yet.  A slot in any state but deleted is a
  // record to the indexes, and is kept.
  std::unique_ptr<FileDBBuffer> slot(new FileDBBuffer(length));
  TempFile tmp(*d_file);
  tmp.file->reserve(headerSize + static_cast<std::uint64_t>(n) * length);
  VELString headerBytes;
  d_file->setPosition(0);
  tmp.file->setPosition(0, FileDBBinaryFile::Begin);
  d_file->read(headerBytes, headerSize);
  tmp.file->write(headerBytes);
  std::uint32_t kept = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    slot->reset();
    slot->read(*d_file, oldLength);
    if (dropDeleted && isRecordDeleted(*slot)) continue;
    tmp.file->write(slot->data(), length);
    ++kept;
  }
  std::unique_ptr<FileDBHeader> header = readHeaderLike(*tmp.file);
  header->setRecordsAllocated(kept);
  header->setFixedRecordLength(static_cast<std::uint32_t>(length));
  header->setPasswordHeaderHash(password);
  header->setPasswordDatabaseHash(*tmp.file, password);
  header->persist(*tmp.file);

  // The disk must hold the new size before the first byte of the original
  // is overwritten: running out of space now leaves the table as it was.
  const std::uint64_t newSize = headerSize + static_cast<std::uint64_t>(kept) * length;
  const std::uint64_t oldSize = d_file->getSize();
  if (newSize > oldSize) d_file->reserve(newSize);
  d_file->protect(0, oldSize);
  if (newSize > oldSize) d_file->setSize(newSize);
  tmp.file->setPosition(0, FileDBBinaryFile::Begin);
  d_file->setPosition(0);
  tmp.file->read(headerBytes, headerSize);
  d_file->write(headerBytes);
  for (std::uint32_t i = 0; i < kept; ++i) {
    slot->reset();
    slot->read(*tmp.file, length);
    d_file->write(slot->data(), length);
  }
  d_file->setSize(newSize);
  d_header = std::move(header);
  if (d_readBuffer->getCapacity() != length) {
    d_readBuffer.reset(new FileDBBuffer(length));
    d_writeBuffer.reset(new FileDBBuffer(length));
  }
}
