// fuzz_journal.cpp -- libFuzzer target: the journal beside a table, the file
// an interrupted change leaves and the next open reads before anything else.
//
// A key table of a few records is made once.  Each input puts a journal
// beside a fresh copy of it and opens the database read-only (which reads
// through the journal in memory) or read-write (which applies it), then
// walks and counts the records.  Every input must end in success or a
// `VELDBException`, and a read-only open must leave both files as they were.
//
// Input: one selector byte, then the journal's material.  Selector bit 0:
// the material is the journal itself, byte for byte.  Otherwise the harness
// builds a journal of the current layout that opens under the database's
// password, so that the input reaches the binding check, the record walk
// and the write-back: the material is the original size (8 bytes), then
// records of offset (4), length (2, at most 4096) and bytes.  Bit 1: the
// built journal starts with the table's own first bytes (it belongs to this
// table), else with the material's.  Bit 2: read-write, else read-only.
// Bit 3: a transaction record ends the journal.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>

#include "filedbcoding.h"
#include "filedbjournaledfile.h"
#include "filedbjournalkey.h"
#include "filedbmanager.h"
#include "velasnrecords.h"
#include "velexception.h"

namespace {

const char kPassword[] = "fuzz password";
VELPasswordEncryptor password() { return VELPasswordEncryptor(kPassword, sizeof kPassword - 1); }

std::string g_dir;
std::string g_table;  // the key table every input starts from

using Piece = FileDBJournalKey::Piece;

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string be(std::uint64_t v, int bytes) {
  std::string out(static_cast<std::size_t>(bytes), '\0');
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
  return out;
}

std::uint64_t take(const std::string& in, std::size_t& at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | (at < in.size() ? static_cast<unsigned char>(in[at++]) : 0u);
  return v;
}

// A journal of the current layout that opens under the database's password.
std::string buildJournal(unsigned selector, const std::string& material, const std::string& tablePath) {
  const unsigned char raw[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
  const FileDBJournalKey recordKey(raw);
  const FileDBJournalKey kek(password(), FileDBJournalKey::kTableJournal, tablePath);
  std::size_t at = 0;
  const std::string nonce(16, 'z');
  unsigned char wrapped[FileDBJournalKey::kWrappedSize];
  kek.wrap(raw, wrapped);
  std::string out = "VELJRNL3" + nonce + be(take(material, at, 8) % (g_table.size() * 2 + 1), 8) +
                    std::string(reinterpret_cast<char*>(wrapped), sizeof wrapped);
  unsigned char sum[32];
  recordKey.mac(sum, {Piece(out.data(), out.size())});
  out.append(reinterpret_cast<char*>(sum), 32);
  FileDBJournalKey::checksum(sum, {Piece(out.data(), out.size())});
  out.append(reinterpret_cast<char*>(sum), 32);
  auto record = [&](std::uint64_t offset, const std::string& bytes) {
    const std::string head = be(offset, 8) + be(bytes.size(), 8);
    recordKey.mac(sum, {Piece(nonce.data(), nonce.size()), Piece(head.data(), head.size()),
                        Piece(bytes.data(), bytes.size())});
    out += head + bytes + std::string(reinterpret_cast<char*>(sum), 32);
  };
  record(~std::uint64_t(0) - 1, (selector & 2) != 0 ? g_table.substr(0, 88) : material.substr(0, 88));
  while (at < material.size()) {
    const std::uint64_t offset = take(material, at, 4);
    const std::size_t length = static_cast<std::size_t>(take(material, at, 2) % 4097);
    const std::string bytes = material.substr(std::min(at, material.size()), length);
    at += length;
    // Now and then a header-after record or a password record.
    record(offset >= 0xFFFFFFF0u ? ~std::uint64_t(0) - (offset & 3) : offset, bytes);
  }
  if ((selector & 8) != 0) record(~std::uint64_t(0), std::string(16, 't'));
  return out;
}

// A self-signed EC certificate for `name`, DER.
std::string selfSigned(const std::string& name) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  std::string der;
  if (key != nullptr && cert != nullptr) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(name.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert, subject);
    X509_set_pubkey(cert, key);
    if (X509_sign(cert, key, EVP_sha256()) > 0) {
      unsigned char* out = nullptr;
      const int n = i2d_X509(cert, &out);
      if (n > 0) der.assign(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
      OPENSSL_free(out);
    }
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  if (der.empty()) abort();
  return der;
}

void walk(FileDBManager& m) {
  const VELASNInteger any;
  (void)m.getKeyCountByIndex(VELDBManager::KeyAllRecords, any);
  std::unique_ptr<VELDBIterator> it(m.getKeyIterator());
  for (int i = 0; i < 64; ++i) {
    std::unique_ptr<VELASNKeyRecord> r(m.getKeyNextRecord(*it));
    if (!r) break;
    std::unique_ptr<VELASNKeyRecord> byLabel(m.getKeyByIndex(VELDBManager::KeyLabel, r->getLabel()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
  char tmpl[] = "/tmp/veljfuzz-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  g_dir = tmpl;
  std::atexit([]() {
    const std::string command = "rm -rf '" + g_dir + "'";
    if (std::system(command.c_str()) != 0) {
    }
  });
  const std::string base = g_dir + "/seed";
  {
    FileDBManager m(VELDBConnectInfo::FILE(base, password(), VELDBConnectInfo::CreateV4, VELDBConnectInfo::ReadWrite));
    for (int i = 0; i < 3; ++i) {
      VELASNKeyRecord r;
      r.setLabel(VELString("record ") + std::to_string(i));
      const std::string der = selfSigned("journal fuzz " + std::to_string(i));
      r.setCertificate(VELASNCBuffer(reinterpret_cast<const unsigned char*>(der.data()), der.size()));
      m.insertKey(r);
    }
  }
  g_table = readFile(base + ".vkey");
  if (g_table.empty()) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned selector = data[0];
  const std::string material(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string base = g_dir + "/db";
  for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) {
    ::unlink((base + suffix).c_str());
    ::unlink((base + suffix + "-journal").c_str());
  }
  const std::string tablePath = base + ".vkey";
  const std::string journalPath = FileDBJournaledFile::journalPath(tablePath);
  writeFile(tablePath, g_table);
  std::string journal;
  try {
    journal = (selector & 1) != 0 ? material : buildJournal(selector, material, tablePath);
  } catch (const VELDBException&) {
    return 0;
  }
  writeFile(journalPath, journal);
  const bool readWrite = (selector & 4) != 0;
  try {
    FileDBManager m(VELDBConnectInfo::FILE(base, password(), VELDBConnectInfo::Open,
                                           readWrite ? VELDBConnectInfo::ReadWrite : VELDBConnectInfo::ReadOnly));
    walk(m);
  } catch (const VELDBException&) {
  }
  if (!readWrite && (readFile(tablePath) != g_table || readFile(journalPath) != journal)) {
    std::fprintf(stderr, "a read-only open changed the table or its journal\n");
    abort();
  }
  return 0;
}
