// Whole-file rewrites of a storage: growing the record length and
// compaction.  Both rewrite the table file in place, inside the change that
// journals its original bytes, so the file keeps its inode, and with it its
// lock, owner and mode; a crash part way is rolled back by the journal.
#include "filedbstorage.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "filedbcoding.h"
#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "velexception.h"
#include "veltrace.h"

namespace {

// Slots are moved in blocks of about 1 MiB of whole slots.
constexpr std::uint64_t kRewriteBlock = 1u << 20;

std::uint64_t slotsPerBlock(std::uint64_t length) {
  return std::max<std::uint64_t>(1, kRewriteBlock / std::max<std::uint64_t>(length, 1));
}

// The state word of a slot: its first four bytes.  A slot too short to
// hold one cannot be told deleted or not, as a slot buffer could not.
bool slotDeleted(const unsigned char* slot, std::uint64_t length) {
  if (length < 4) VELDB_THROW_EXTRA(VELDBError::kBadArgument, "record length too short for a slot state", length);
  return FileDBCoding::get32(slot) == FileDBStorage::kRecordDeleted;
}

}  // namespace

std::unique_ptr<FileDBHeader> FileDBStorage::readHeaderLike(FileDBBinaryFile& file) const {
  const VELKRYAlgorithmFactory* factory = d_connectInfo->getAlgorithmFactory();
  if (d_header->isKindOf("FileDBHeaderV4")) return std::unique_ptr<FileDBHeader>(new FileDBHeaderV4(factory, file));
  return std::unique_ptr<FileDBHeader>(new FileDBHeaderV3(factory, file));
}

void FileDBStorage::purge() {
  VEL_TRACE_SCOPE("purge");
  ChangeScope change(*this);
  compact();
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
  grow(newLen);
  change.commit();
}

void FileDBStorage::compact() {
  const std::uint32_t n = d_header->getRecordsAllocated();
  const std::uint64_t length = d_header->getFixedRecordLength();
  const std::uint64_t headerSize = d_header->getSize();
  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();

  // Which slots stay is known before anything is written, from a first
  // read of the slots (in large blocks: cheaper than a small read for each
  // state word): the new header, with its slot count, starts the database
  // hash, and the slots are hashed as the second read moves them.  A slot
  // in any state but deleted is a record to the indexes, and is kept.
  const std::uint64_t perBlock = slotsPerBlock(length);
  std::vector<unsigned char> block(static_cast<std::size_t>(std::min<std::uint64_t>(perBlock, n) * length));
  std::uint32_t kept = 0;
  std::uint32_t firstDeleted = n;
  for (std::uint32_t i = 0; i < n;) {
    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(perBlock, n - i));
    d_file->readAt(slotPosition(i), block.data(), count * length);
    for (std::uint32_t j = 0; j < count; ++j, ++i) {
      if (!slotDeleted(block.data() + j * length, length)) {
        ++kept;
      } else if (firstDeleted == n) {
        firstDeleted = i;
      }
    }
  }
  std::unique_ptr<FileDBHeader> header = readHeaderLike(*d_file);
  header->setRecordsAllocated(kept);
  header->setPasswordHeaderHash(password);
  const std::unique_ptr<FileDBHeader::DatabaseHasher> hash = header->startDatabaseHash(password);

  // The slots before the first deleted one stay where they are: they are
  // read for the hash only.  From there on every kept slot moves down over
  // the gaps; the journal keeps the original bytes of that part alone.
  const std::uint64_t oldSize = d_file->getSize();
  const std::uint64_t newSize = headerSize + static_cast<std::uint64_t>(kept) * length;
  const std::uint64_t moveFrom = slotPosition(firstDeleted);
  if (moveFrom < oldSize) d_file->protect(moveFrom, oldSize - moveFrom);
  std::uint64_t writeAt = moveFrom;
  std::uint32_t moved = 0;
  for (std::uint32_t i = 0; i < n;) {
    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(perBlock, n - i));
    // Writes stay behind the reads: a block is read whole before any slot
    // of it is written, and no slot moves up.
    d_file->readAt(slotPosition(i), block.data(), count * length);
    std::uint32_t run = 0;  // start of the current run of kept slots in the block
    for (std::uint32_t j = 0; j <= count; ++j) {
      const bool end = j == count || slotDeleted(block.data() + j * length, length);
      if (!end) continue;
      if (j > run) {
        const unsigned char* bytes = block.data() + run * length;
        const std::uint64_t runBytes = static_cast<std::uint64_t>(j - run) * length;
        hash->update(bytes, runBytes);
        moved += j - run;
        if (i + run >= firstDeleted) {
          d_file->setPosition(writeAt);
          d_file->write(static_cast<const void*>(bytes), runBytes);
          writeAt += runBytes;
        }
      }
      run = j + 1;
    }
    i += count;
  }
  // The slots were read twice; a file that changed between the two reads is
  // not this process's to seal.
  if (moved != kept) VELDB_THROW_EXTRA(VELDBError::kRead, "the table changed while it was compacted", moved);
  header->storeDatabaseHash(hash->finish());
  header->persist(*d_file);
  if (newSize < oldSize) d_file->setSize(newSize);
  d_header = std::move(header);
  ++d_slotGeneration;
}

void FileDBStorage::grow(std::uint64_t length) {
  const std::uint32_t n = d_header->getRecordsAllocated();
  const std::uint64_t oldLength = d_header->getFixedRecordLength();
  const std::uint64_t headerSize = d_header->getSize();
  const VELPasswordEncryptor password = d_connectInfo->getLogicalDBPassword();

  std::unique_ptr<FileDBHeader> header = readHeaderLike(*d_file);
  header->setFixedRecordLength(static_cast<std::uint32_t>(length));
  header->setPasswordHeaderHash(password);

  // The disk must hold the new size before the first byte of the original
  // is overwritten: running out of space now leaves the table as it was.
  const std::uint64_t newSize = headerSize + static_cast<std::uint64_t>(n) * length;
  const std::uint64_t oldSize = d_file->getSize();
  if (newSize > oldSize) d_file->reserve(newSize);
  d_file->protect(0, oldSize);
  if (newSize > oldSize) d_file->setSize(newSize);

  // Every slot moves up, so the slots are moved from the last one down: a
  // block of them is read before its new place, which lies at or above its
  // old one, is written, and nothing below it has been written yet.  Each
  // slot keeps its bytes followed by zeros.
  const std::uint64_t perBlock = slotsPerBlock(length);
  const std::uint64_t blockSlots = std::min<std::uint64_t>(perBlock, n);
  std::vector<unsigned char> in(static_cast<std::size_t>(blockSlots * oldLength));
  std::vector<unsigned char> out(static_cast<std::size_t>(blockSlots * length));
  for (std::uint32_t end = n; end > 0;) {
    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(perBlock, end));
    const std::uint32_t start = end - count;
    d_file->readAt(headerSize + start * oldLength, in.data(), count * oldLength);
    std::fill(out.begin(), out.end(), 0);
    for (std::uint32_t j = 0; j < count; ++j) {
      std::memcpy(out.data() + j * length, in.data() + j * oldLength, static_cast<std::size_t>(oldLength));
    }
    d_file->setPosition(headerSize + start * length);
    d_file->write(static_cast<const void*>(out.data()), count * length);
    end = start;
  }
  header->setPasswordDatabaseHash(*d_file, password);
  header->persist(*d_file);
  d_header = std::move(header);
  if (d_readBuffer->getCapacity() != length) {
    d_readBuffer.reset(new FileDBBuffer(length));
    d_writeBuffer.reset(new FileDBBuffer(length));
  }
  ++d_slotGeneration;
}
