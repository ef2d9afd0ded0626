// fuzz_open.cpp -- libFuzzer target: opening a database whose header and
// slots are the fuzzer's, sealed with valid hashes for a known password, so
// that the input reaches the slot parsing and index building behind the
// integrity check.
//
// Input: one selector byte, then a table image (48 common header bytes,
// room for the two hashes, the slots).  Selector bits 0-1 choose the table
// (key, key pair, CRL), bit 2 the connection (FILE: a file in a temporary
// directory; STRING: in memory).  The harness writes the password header
// hash over the image's common bytes and the database hash over header and
// slots -- version 3 when the image's major version byte is 3, else
// version 4 -- then opens the table read-write and, when that succeeds,
// walks, counts and looks up every record and deletes them all.  Every input
// must end in success or a `VELDBException`.
//
// Selector bit 3 damages the sealed image: one bit of the stored database
// hash is flipped.  The open then reads the slots before it knows the hash
// is wrong, so whatever they hold it must refuse the image with a number of
// a header that does not check out, never with what the index walk met,
// and never open it.
#include <stdlib.h>
#include <stdio.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "filedbcrlstorage.h"
#include "filedbheaderv3.h"
#include "filedbheaderv4.h"
#include "filedbjournaledfile.h"
#include "filedbkeypairstorage.h"
#include "filedbkeystorage.h"
#include "filedbmanager.h"
#include "stringdbbinaryfile.h"
#include "velexception.h"

namespace {

const char kPassword[] = "fuzz password";
VELPasswordEncryptor password() { return VELPasswordEncryptor(kPassword, sizeof kPassword - 1); }

// Writes valid hashes into `image` for the password.
void seal(std::string& image) {
  if (image.size() < FileDBHeader::kCommonHeaderSize) return;
  VELKRYAlgorithmFactory factory;
  const bool v3 = static_cast<unsigned char>(image[FileDBHeader::kMajorVersionNumberOffset]) == 3;
  const std::uint64_t headerSize = v3 ? FileDBHeaderV3::kHeaderSize : FileDBHeaderV4::kHeaderSize;
  const std::uint64_t hashOffset = v3 ? FileDBHeaderV3::kPasswordHeaderHashOffset : FileDBHeaderV4::kPasswordHeaderHashOffset;
  const std::uint64_t dbOffset = v3 ? FileDBHeaderV3::kPasswordDatabaseHashOffset : FileDBHeaderV4::kPasswordDatabaseHashOffset;
  if (image.size() < headerSize) image.resize(headerSize, '\0');
  const unsigned char* common = reinterpret_cast<const unsigned char*>(image.data());
  VELBuffer headerHash;
  if (v3) {
    FileDBHeaderV3 h(&factory);
    h.setBuffer(common);
    headerHash = h.computePasswordHeaderHash(password());
  } else {
    FileDBHeaderV4 h(&factory);
    h.setBuffer(common);
    headerHash = h.computePasswordHeaderHash(password());
  }
  std::memcpy(&image[hashOffset], headerHash.data(), headerHash.length());
  try {
    StringDBBinaryFile file(&image, VELDBConnectInfo::ReadOnly);
    std::unique_ptr<FileDBHeader> h;
    if (v3) {
      h.reset(new FileDBHeaderV3(&factory, file));
    } else {
      h.reset(new FileDBHeaderV4(&factory, file));
    }
    const VELBuffer dbHash = h->computePasswordDatabaseHash(file, password());
    std::memcpy(&image[dbOffset], dbHash.data(), dbHash.length());
  } catch (const VELDBException&) {
    // Slots that do not fit the file: the open refuses them by size.
  }
}

std::string g_dir;

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// An empty key file sealed for the password: the manager needs one to open
// the other tables.
const std::string& emptyKeyFile() {
  static std::string bytes;
  if (bytes.empty()) {
    const std::string path = g_dir + "/empty.vkey";
    ::unlink(path.c_str());
    FileDBKeyStorage::newFile(VELDBConnectInfo::FILE(path, password(), VELDBConnectInfo::CreateV4,
                                                     VELDBConnectInfo::ReadWrite),
                              path);
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    ::unlink(path.c_str());
  }
  return bytes;
}

const VELASNLabelString kAny;

void exerciseManager(FileDBManager& m) {
  if (m.isKeyEnabled()) {
    (void)m.getKeyCountByIndex(VELDBManager::KeyAllRecords, kAny);
    std::unique_ptr<VELDBIterator> it(m.getKeyIterator());
    for (int i = 0; i < 64; ++i) {
      std::unique_ptr<VELASNKeyRecord> r(m.getKeyNextRecord(*it));
      if (!r) break;
      std::unique_ptr<VELASNKeyRecord> byLabel(m.getKeyByIndex(VELDBManager::KeyLabel, r->getLabel()));
      std::unique_ptr<VELASNKeyRecord> byID(m.getKeyByIndex(VELDBManager::KeyRecordID, r->getRecordID()));
      if (r->hasCertificate()) {
        std::unique_ptr<VELASNKeyRecordContainer> same(
            m.getKeyByIndex(VELDBManager::KeySubjectName, r->getCertificate().getSubject()));
      }
    }
    (void)m.deleteKeyByIndex(VELDBManager::KeyAllRecords, kAny);
  }
  if (m.isKeyPairEnabled()) {
    (void)m.getKeyPairCountByIndex(VELDBManager::KeyPairAllRecords, kAny);
    std::unique_ptr<VELDBIterator> it(m.getKeyPairIterator());
    for (int i = 0; i < 64; ++i) {
      std::unique_ptr<VELASNKeyPairRecord> r(m.getKeyPairNextRecord(*it));
      if (!r) break;
      std::unique_ptr<VELASNKeyPairRecord> byLabel(m.getKeyPairByIndex(VELDBManager::KeyPairLabel, r->getLabel()));
    }
    (void)m.deleteKeyPairByIndex(VELDBManager::KeyPairAllRecords, kAny);
  }
  if (m.isCRLEnabled()) {
    (void)m.getCRLCountByIndex(VELDBManager::CRLAllRecords, kAny);
    std::unique_ptr<VELDBIterator> it(m.getCRLIterator());
    for (int i = 0; i < 64; ++i) {
      std::unique_ptr<VELASNCRLRecord> r(m.getCRLNextRecord(*it));
      if (!r) break;
      std::unique_ptr<VELASNCRLRecord> byLabel(m.getCRLByIndex(VELDBManager::CRLLabel, r->getLabel()));
    }
    (void)m.deleteCRLByIndex(VELDBManager::CRLAllRecords, kAny);
  }
}

// An in-memory key-pair or CRL table: the manager keeps those private, so
// the storage is driven directly.
template <class STORAGE, class RECORD, class MULTI>
void exerciseStringTable(std::string& image, MULTI all) {
  VELString text(image);
  VELDBConnectInfo::STRING own(VELString(), &text, password(), VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite);
  STORAGE* storage = STORAGE::connectFile(own, VELString());
  try {
    VELMutexLocker guard(storage->getInstanceMutex());
    (void)storage->getRecordCountByIndex(all, kAny);
    FileDBIterator it(storage->getInstanceName());
    for (int i = 0; i < 64; ++i) {
      std::unique_ptr<RECORD> r(storage->getRecordAt(it));
      if (!r) break;
      ++it.d_index;
    }
    (void)storage->deleteRecordByIndex(all, kAny);
  } catch (...) {
    STORAGE::disconnect(storage, false);
    throw;
  }
  STORAGE::disconnect(storage, false);
}

void openDamaged(unsigned selector, std::string& image) {
  const bool v3 = image.size() > FileDBHeader::kMajorVersionNumberOffset &&
                  static_cast<unsigned char>(image[FileDBHeader::kMajorVersionNumberOffset]) == 3;
  const std::uint64_t dbOffset =
      v3 ? FileDBHeaderV3::kPasswordDatabaseHashOffset : FileDBHeaderV4::kPasswordDatabaseHashOffset;
  if (image.size() > dbOffset) image[dbOffset] = static_cast<char>(image[dbOffset] ^ 0x01);
  VELString text(image);
  VELDBConnectInfo::STRING own(VELString(), &text, password(), VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite);
  try {
    switch (selector & 3) {
      case 1: {
        FileDBKeyPairStorage* s = FileDBKeyPairStorage::connectFile(own, VELString());
        FileDBKeyPairStorage::disconnect(s, false);
        break;
      }
      case 2: {
        FileDBCRLStorage* s = FileDBCRLStorage::connectFile(own, VELString());
        FileDBCRLStorage::disconnect(s, false);
        break;
      }
      default: {
        FileDBKeyStorage* s = FileDBKeyStorage::connectFile(own, VELString());
        FileDBKeyStorage::disconnect(s, false);
        break;
      }
    }
  } catch (const VELDBException& e) {
    // An image too short for a header cannot be read as one.
    if (e.getError() == VELDBError::kRead && image.size() < FileDBHeaderV4::kHeaderSize) return;
    switch (e.getError()) {
      case VELDBError::kBadFormat:  // the magic number
      case VELDBError::kBadMajorVersion:
      case VELDBError::kBadPassword:
      case VELDBError::kHashMismatch:
        return;
      default:
        std::fprintf(stderr, "damaged image refused with %s\n", e.what());
        abort();
    }
  }
  std::fprintf(stderr, "damaged image opened\n");
  abort();
}

void openImage(unsigned selector, std::string& image) {
  if ((selector & 8) != 0) {
    openDamaged(selector, image);
    return;
  }
  const unsigned table = selector & 3;
  const bool inMemory = (selector & 4) != 0;
  if (inMemory) {
    if (table == 1) {
      exerciseStringTable<FileDBKeyPairStorage, VELASNKeyPairRecord>(image, VELDBManager::KeyPairAllRecords);
    } else if (table == 2) {
      exerciseStringTable<FileDBCRLStorage, VELASNCRLRecord>(image, VELDBManager::CRLAllRecords);
    } else {
      VELString text(image);
      FileDBManager m(VELDBConnectInfo::STRING("fuzz", &text, password(), VELDBConnectInfo::Open,
                                               VELDBConnectInfo::ReadWrite));
      exerciseManager(m);
    }
    return;
  }
  const std::string base = g_dir + "/db";
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) {
    ::unlink((base + suffix).c_str());
    ::unlink((base + suffix + "-journal").c_str());
  }
  if (table == 1) {
    writeFile(base + ".vkey", emptyKeyFile());
    writeFile(base + ".vkyp", image);
  } else if (table == 2) {
    writeFile(base + ".vkey", emptyKeyFile());
    writeFile(base + ".vcrl", image);
  } else {
    writeFile(base + ".vkey", image);
  }
  FileDBManager m(VELDBConnectInfo::FILE(base, password(), VELDBConnectInfo::Open, VELDBConnectInfo::ReadWrite));
  exerciseManager(m);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
  const char* shm = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/velfuzz-XXXXXX" : "/tmp/velfuzz-XXXXXX";
  char tmpl[64];
  std::strcpy(tmpl, shm);
  if (mkdtemp(tmpl) == nullptr) abort();
  g_dir = tmpl;
  std::atexit([]() {
    const std::string command = "rm -rf '" + g_dir + "'";
    if (std::system(command.c_str()) != 0) {
    }
  });
  (void)emptyKeyFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string image(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    seal(image);
    openImage(data[0], image);
  } catch (const VELDBException&) {
  }
  return 0;
}
