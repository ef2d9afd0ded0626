// stringdbbinaryfile.h -- the binary-file interface over a caller's string.
//
// A whole database lives in a `VELString` that the caller owns.  Reads and
// writes have separate cursors; `setPosition` sets both.  The object is open
// from construction to destruction; opening and closing by name have no
// meaning here and throw 0x8B67A ("not implemented"), a `VELDBException`
// so that callers that catch the library's exceptions are never terminated.
// Locks do nothing.  A read past the end fails with 0x8C238 and the message
// "read:buf:<count>:<read position>".  A `setPosition` outside the string
// changes nothing and returns the unchanged read position.
#ifndef DBFILE_STRINGDBBINARYFILE_H
#define DBFILE_STRINGDBBINARYFILE_H

#include <cstdint>

#include "filedbbinaryfile.h"

class StringDBBinaryFile : public FileDBBinaryFile {
 public:
  // CREATORS
  // `buffer` must outlive this object; the access mode is accepted and not
  // used.
  StringDBBinaryFile(VELString* buffer, VELDBConnectInfo::AccessMode mode);
  ~StringDBBinaryFile() override;

  // MANIPULATORS
  void openNew(const VELString& path) override;
  void openExisting(const VELString& path, VELDBConnectInfo::AccessMode mode) override;
  void openTmpFile() override;
  void close() override;
  void read(VELString& out, std::uint64_t count) override;
  void read(void* buffer, const std::uint64_t& count) override;
  // Moves the read position as `setPosition` and `read` do.
  void readAt(std::uint64_t offset, void* buffer, std::uint64_t count) override;
  std::uint64_t getSize() const override;
  void isOpenCheck() const override;
  void notOpenCheck() const override;
  void write(const VELString& data) override;
  void write(const void* buffer, const std::uint64_t& count) override;
  std::uint64_t setPosition(const long& offset, const Origin& origin) override;
  using FileDBBinaryFile::setPosition;
  void lock(std::uint64_t offset, std::uint64_t length, int mode) override;
  void unlock(std::uint64_t offset, std::uint64_t length) override;
  void reserve(std::uint64_t size) override;
  void sync() override;
  bool isInMemory() const override { return true; }

  std::uint64_t getReadPosition() const { return readPosition; }
  std::uint64_t getWritePosition() const { return writePosition; }

 private:
  const VELConstString& getFileName() const override;
  void setSize(std::uint64_t size) override;
  std::uint64_t calcSize() const;

  // DATA
  VELString* buffer;
  std::uint64_t size;
  std::uint64_t readPosition;
  std::uint64_t writePosition;
};

#endif
