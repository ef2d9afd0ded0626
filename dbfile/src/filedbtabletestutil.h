// filedbtabletestutil.h -- helpers for the table tests: files written byte by
// byte and sealed with the header classes, as another writer would leave them.
#ifndef DBFILE_FILEDBTABLETESTUTIL_H
#define DBFILE_FILEDBTABLETESTUTIL_H

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "filedbbinaryfile.h"
#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "filedbstorage.h"
#include "veldbconnectinfo.h"
#include "velkry.h"
#include "velpassword.h"

namespace FileDBTableTestUtil {

inline VELPasswordEncryptor password(const char* text = "table secret") {
  return VELPasswordEncryptor(text, std::strlen(text));
}

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh temporary directory, removed with what is left in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/veltable-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) d_path = tmpl;
  }
  ~TempDir() {
    if (!d_path.empty()) {
      const std::string command = "rm -rf '" + d_path + "'";
      if (system(command.c_str()) != 0) {
      }
    }
  }
  const std::string& path() const { return d_path; }

 private:
  std::string d_path;
};

// A file connection with the test password.
inline VELDBConnectInfo::FILE fileInfo(const std::string& base, VELDBConnectInfo::AccessMode mode,
                                       VELDBConnectInfo::ConnectType type = VELDBConnectInfo::Open) {
  return VELDBConnectInfo::FILE(base, password(), type, mode);
}

// Writes a table file: a new header of the version asked for, then `slots`
// (each exactly `recordLength` bytes), sealed with the test password as
// minor version `minor` and record length `recordLength`.
inline void writeTable(const std::string& path, const unsigned char* fileType, unsigned char minor, bool v4,
                       std::uint32_t recordLength, const std::vector<std::string>& slots) {
  const VELDBConnectInfo::FILE info =
      fileInfo(path, VELDBConnectInfo::ReadWrite, v4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create);
  FileDBStorage::newFile(info, path, 1, fileType);
  VELKRYAlgorithmFactory factory;
  FileDBBinaryFile file(path, VELDBConnectInfo::ReadWrite);
  std::unique_ptr<FileDBHeader> header;
  if (v4) {
    header.reset(new FileDBHeaderV4(&factory, file));
  } else {
    header.reset(new FileDBHeaderV3(&factory, file));
  }
  file.setPosition(header->getSize());
  for (const std::string& slot : slots) file.write(slot.data(), slot.size());
  header->setFixedRecordLength(recordLength);
  header->setRecordsAllocated(static_cast<std::uint32_t>(slots.size()));
  header->setMinorVersionNumber(minor);
  header->setPasswordHeaderHash(password());
  header->setPasswordDatabaseHash(file, password());
  header->persist(file);
}

// The image `toBuffer` gives, padded to `recordLength`.
template <typename FIELDS>
std::string slotImage(const FIELDS& fields, std::uint32_t recordLength) {
  FileDBBuffer buffer(recordLength);
  fields.toBuffer(buffer);
  return std::string(reinterpret_cast<const char*>(buffer.data()), recordLength);
}

// True when a lookup found a record; frees it.
template <typename RECORD>
bool present(RECORD* record) {
  const std::unique_ptr<RECORD> owned(record);
  return owned != nullptr;
}

inline std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

}  // namespace FileDBTableTestUtil

#endif
