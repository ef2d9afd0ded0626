// filedbbuffer.h -- the record buffer through which every slot travels.
//
// `FileDBBuffer` is a fixed-capacity byte buffer sized to one record slot.
// It has one cursor for reading and writing, encodes numbers big-endian and
// byte strings with a 32-bit length prefix, and refuses any access that
// would leave its capacity (`put`, `read`) or its filled part (`get`).  Its
// byte view (the `VELASNCBuffer` base) always covers the whole capacity, so
// a whole slot, padding included, can be handed to a digest or written out
// in one piece.
//
// Wire form of the values, shared by every record layout:
//
//   unsigned 8-bit   1 byte
//   unsigned 16-bit  2 bytes, big-endian
//   unsigned 32-bit  4 bytes, big-endian
//   byte string      unsigned 32-bit length L, then the L bytes; an empty
//                    string is the length 0 alone
//
// Slot rules shared by the tables: a record is written by `reset` and `put`s
// from position 0, so the rest of the slot is zero; it is read by `reset`,
// one `read` of the whole slot, `setPosition(0)` and `get`s in the order of
// the `put`s.  The first field is the record flag (unsigned 32-bit: 1 in
// use, 2 deleted), the second the record ID (unsigned 32-bit).
//
// Invariant: position <= used length <= capacity.  The used length is the
// highest cursor reached by `put` or `read` since the last `reset`.  Every
// out-of-bounds access throws 0x8B67A with an empty message, copies nothing
// and leaves the cursor where it was.  The byte-string forms are two
// accesses: the length prefix is taken (or put) before the bytes are
// checked.
//
// One allocation for the life of the buffer.  Used by one thread at a time.
#ifndef DBFILE_FILEDBBUFFER_H
#define DBFILE_FILEDBBUFFER_H

#include <cstdint>

#include "filedbbinaryfile.h"
#include "velbuffer.h"

class FileDBBuffer : public VELASNBuffer {
 public:
  // Largest capacity: a slot never exceeds the largest file.
  static constexpr std::uint64_t kMaxCapacity = FileDBBinaryFile::kMaxFileSize;
  // Record flag values (the first field of every slot).
  static constexpr std::uint32_t kRecordInUse = 1;
  static constexpr std::uint32_t kRecordDeleted = 2;

  // CREATORS
  // A zero-filled buffer of `capacity` bytes, cursor and used length 0.
  // Throws 0x8B67A when `capacity` exceeds `kMaxCapacity`.
  explicit FileDBBuffer(std::uint64_t capacity);
  ~FileDBBuffer() override;

  // MANIPULATORS
  // Zeroes all capacity bytes; cursor and used length become 0.
  void reset() override;
  // Moves the cursor; requires pos < capacity and pos <= used length, else
  // 0x8B67A.
  void setPosition(std::uint64_t pos);
  // Fills `count` bytes at the cursor with one raw read from the file's
  // current position and advances the cursor.  0 does nothing.  Throws
  // 0x8B67A when the bytes would pass the capacity (before reading), and
  // the read errors of `FileDBBinaryFile` (cursor unchanged).
  void read(FileDBBinaryFile& file, std::uint64_t count);
  // The same, from file offset `offset` (`FileDBBinaryFile::readAt`).
  void readAt(FileDBBinaryFile& file, std::uint64_t offset, std::uint64_t count);
  // Copies `count` filled bytes from the cursor to `raw`; 0x8B67A when
  // fewer are filled.
  void get(void* raw, std::uint64_t count);
  void get(std::uint8_t& value);
  void get(std::uint16_t& value);
  void get(std::uint32_t& value);
  // A length-prefixed byte string.  Throws 0x8B67A when the prefix or,
  // after the prefix was taken, the bytes lie past the filled part.
  void get(VELBuffer& value);
  // The same, without the copy: `value` views the bytes in this buffer,
  // valid until its next `reset`, `read`, `load` or `view`.
  void get(VELASNCBuffer& value);
  // Copies `count` bytes from `raw` to the cursor; 0x8B67A when they would
  // pass the capacity.
  void put(const void* raw, std::uint64_t count);
  void put(const std::uint8_t& value);
  void put(const std::uint16_t& value);
  void put(const std::uint32_t& value);
  // A length-prefixed byte string.  Throws 0x8B67A when the string is too
  // long for a 32-bit length (nothing put), or when the prefix or, after
  // the prefix was put, the bytes would pass the capacity.
  void put(const VELBuffer& value);

  // ACCESSORS
  // The same as `reset` followed by `read` of `count` bytes, from memory:
  // a whole slot copied out of a block read ahead.  0x8B67A when `count`
  // exceeds the capacity.
  void load(const void* bytes, std::uint64_t count);
  // The same as `load` of a whole slot (`count` must be the capacity, else
  // 0x8B67A), without the copy: the buffer reads `bytes`, which the caller
  // keeps alive and unchanged, until the next `reset` or `load`.  A `put`,
  // `read` or `readAt` before then first copies them in.
  void view(const void* bytes, std::uint64_t count);

  std::uint64_t getPosition() const { return position; }
  std::uint64_t getUsedLength() const { return usedLength; }
  std::uint64_t getCapacity() const { return capacity(); }

 private:
  // Ends a `view`: the buffer's own bytes become what it shows, holding
  // the viewed bytes when `keep` is set.
  void own(bool keep);

  // DATA
  std::uint64_t usedLength;
  std::uint64_t position;
};

#endif
