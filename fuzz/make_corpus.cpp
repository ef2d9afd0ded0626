// make_corpus.cpp -- writes the seed corpus of the fuzz targets from real
// records and real database files made with the test PKI kit.
//
// Usage: make_corpus <corpus directory>
// Writes <dir>/fuzz_der/<name> (selector byte + DER of one record, part or
// slot) and <dir>/fuzz_open/<name> (selector byte + table image).  Table
// images are real files with their record length cut down to what their
// records use, so that each seed stays a few KB; the open target re-seals
// them anyway.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "filedbcrlrecordfields.h"
#include "filedbheader.h"
#include "filedbjournaledfile.h"
#include "filedbkeypairrecordfields.h"
#include "filedbkeyrecordfields.h"
#include "filedbmanager.h"
#include "velasnx509.h"
#include "veltestpki.h"

namespace {

std::string g_out;

void emit(const std::string& target, const std::string& name, unsigned char selector, const void* bytes,
          std::size_t length) {
  const std::string dir = g_out + "/" + target;
  ::mkdir(dir.c_str(), 0755);
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.put(static_cast<char>(selector));
  out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(length));
}
void emitDER(const std::string& name, unsigned char selector, const VELASNCBuffer& der) {
  emit("fuzz_der", name, selector, der.data(), static_cast<std::size_t>(der.length()));
}
void emitDER(const std::string& name, unsigned char selector, const VELBuffer& der) {
  emitDER(name, selector, der.get());
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t get32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}
void put32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) {
    b[at + static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
    v >>= 8;
  }
}

// The file with its record length cut to the bytes its slots use.
std::string shrink(const std::string& file) {
  const std::size_t headerSize = static_cast<unsigned char>(file[2]) == 3 ? 80 : 88;
  const std::uint32_t length = get32(file, FileDBHeader::kFixedRecordLengthOffset);
  const std::uint32_t count = get32(file, FileDBHeader::kRecordsAllocatedOffset);
  std::size_t used = 8;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = headerSize + static_cast<std::size_t>(i) * length;
    for (std::size_t j = length; j > used; --j) {
      if (file[at + j - 1] != 0) {
        used = j;
        break;
      }
    }
  }
  used = (used + 3) / 4 * 4;
  std::string out = file.substr(0, headerSize);
  put32(out, FileDBHeader::kFixedRecordLengthOffset, static_cast<std::uint32_t>(used));
  for (std::uint32_t i = 0; i < count; ++i) out += file.substr(headerSize + static_cast<std::size_t>(i) * length, used);
  return out;
}

void emitTable(const std::string& name, unsigned table, const std::string& file) {
  const std::string image = shrink(file);
  emit("fuzz_open", name + "-file", static_cast<unsigned char>(table), image.data(), image.size());
  emit("fuzz_open", name + "-string", static_cast<unsigned char>(table | 4), image.data(), image.size());
  emit("fuzz_open", name + "-damaged", static_cast<unsigned char>(table | 8), image.data(), image.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  ::mkdir(g_out.c_str(), 0755);
  FileDBJournaledFile::setSyncMode(FileDBJournaledFile::SyncOff);
  VELKRYAlgorithmFactory factory;

  // Records and their parts.
  std::unique_ptr<VELASNKeyRecord> key = VELTestPKI::makeKeyRecord("seed key", "CN=Seed Key,O=Fuzz");
  std::unique_ptr<VELASNKeyRecord> certOnly = VELTestPKI::makeKeyRecord("seed cert", "CN=Seed Cert", false);
  std::unique_ptr<VELASNKeyPairRecord> pair = VELTestPKI::makeKeyPairRecord("seed pair", "CN=Seed Pair");
  std::unique_ptr<VELASNCRLRecord> crl = VELTestPKI::makeCRLRecord("seed crl", "CN=Seed CA", 2);
  key->setRecordID(7);
  key->setTrusted(true);
  emitDER("key-record", 0, key->write());
  emitDER("key-record-cert-only", 0, certOnly->write());
  emitDER("keypair-record", 1, pair->write());
  emitDER("crl-record", 2, crl->write());
  const VELASNCertificate& cert = key->getCertificate();
  emitDER("certificate", 3, cert.getEncoding());
  emitDER("crl", 4, crl->getCRL().getEncoding());
  emitDER("request", 5, pair->getCertificationRequest().getEncoding());
  emitDER("encrypted-private-key", 6, key->getPrivateKey().getEncoding());
  emitDER("key-pair", 7, pair->getKeyPair().getEncoding());
  emitDER("public-key", 8, cert.getSubjectPublicKeyInfoEncoding());
  emitDER("name", 9, cert.getSubjectEncoding());
  emitDER("issuer-and-serial", 10,
          VELASNIssuerAndSerialNumber(cert.getIssuerEncoding(), cert.getSerialNumberEncoding()).write());
  emitDER("tbs-certificate", 11, cert.getTBSCertificateEncoding());
  emitDER("tbs-cert-list", 12, crl->getCRL().getTBSCertListEncoding());
  emitDER("signature", 13, cert.getSignatureEncoding());
  emitDER("serial", 14, cert.getSerialNumberEncoding());
  emitDER("label", 15, key->getLabel().write());
  {
    FileDBBuffer slot(4000);
    const std::uint64_t n = FileDBKeyRecordFields(&factory, *key, 1, 0).toBuffer(slot);
    emit("fuzz_der", "key-slot", 18, slot.data(), static_cast<std::size_t>(n));
  }
  {
    FileDBBuffer slot(4000);
    const std::uint64_t n = FileDBKeyPairRecordFields(&factory, *pair, 1).toBuffer(slot);
    emit("fuzz_der", "keypair-slot", 16, slot.data(), static_cast<std::size_t>(n));
  }
  {
    FileDBBuffer slot(4000);
    const std::uint64_t n = FileDBCRLRecordFields(&factory, *crl, 1).toBuffer(slot);
    emit("fuzz_der", "crl-slot", 17, slot.data(), static_cast<std::size_t>(n));
  }

  // Real databases, version 3 and 4: empty, two records, and a deleted slot.
  char tmpl[] = "/tmp/velcorpus-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = tmpl;
  const VELPasswordEncryptor password("fuzz password", 13);
  for (int v4 = 0; v4 < 2; ++v4) {
    for (int filled = 0; filled < 3; ++filled) {
      const std::string base = dir + "/db" + std::to_string(v4) + std::to_string(filled);
      {
        FileDBManager m(VELDBConnectInfo::FILE(base, password,
                                               v4 ? VELDBConnectInfo::CreateV4 : VELDBConnectInfo::Create,
                                               VELDBConnectInfo::ReadWrite));
        if (filled > 0) {
          VELASNKeyRecord k1(*key);
          VELASNKeyRecord k2(*certOnly);
          m.insertKey(k1);
          m.insertKey(k2);
          VELASNKeyPairRecord p(*pair);
          m.insertKeyPair(p);
          VELASNCRLRecord c(*crl);
          m.insertCRL(c);
        }
        const std::string name = std::string(v4 ? "v4" : "v3") + (filled == 0 ? "-empty" : filled == 1 ? "-two" : "-deleted");
        if (filled == 2) m.deleteKeyByIndex(VELDBManager::KeyLabel, VELASNLabelString("seed key"));
        // Taken while open: a deleted slot is compacted away on close.
        emitTable("key-" + name, 0, readAll(base + ".vkey"));
        if (filled != 2) {
          emitTable("keypair-" + name, 1, readAll(base + ".vkyp"));
          emitTable("crl-" + name, 2, readAll(base + ".vcrl"));
        }
      }
      for (const char* suffix : {".vkey", ".vkyp", ".vcrl"}) ::unlink((base + suffix).c_str());
    }
  }
  ::rmdir(dir.c_str());
  return 0;
}
