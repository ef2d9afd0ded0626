// benchcorpus.h -- the records, fixture files and floors the benchmarks share.
//
// The corpus: the system CA bundle's certificates (stored as certificate-only
// records) interleaved with generated EC P-256 certificates of about the same
// size (stored with their private key), all issued by one generated CA.
// Generated records come in pairs that share subject name and key, as a
// certificate and its renewal do: a subject lookup finds two records.
//
// Fixture files are made once per table version and size in a scratch
// directory and copied for every benchmark that changes them.
//
// The floors are computed with OpenSSL alone: a MAC or digest over a file
// read in large blocks, and a DER walk (OpenSSL's TLV parser) with the five
// SHA-1 digests of a record's certificate parts.
#ifndef BENCH_BENCHCORPUS_H
#define BENCH_BENCHCORPUS_H

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "velasnrecords.h"
#include "velbuffer.h"

namespace VELBench {

// The largest table measured, and spare records for inserts beyond it.
constexpr std::size_t kMaxRecords = 10000;
constexpr std::size_t kSpareRecords = 64;
extern const char kPassword[];

struct Corpus {
  // CREATORS
  // Makes `count` records (and the spares); `caBundle` supplies real
  // certificates, one every `caEvery` records.
  Corpus(std::size_t count, const std::vector<VELBuffer>& caBundle, std::size_t caEvery);

  // DATA
  std::vector<VELASNKeyRecord> records;  // the first `count` are the table, the rest spares
  std::vector<VELBuffer> encodings;      // DER of each record, as a slot stores it
  std::size_t caCertificates = 0;
  double averageCertificateBytes = 0;
};

// The five SHA-1 digests the key table keeps per record.
struct Digests {
  unsigned char signature[20];
  unsigned char tbs[20];
  unsigned char subject[20];
  unsigned char spki[20];
  unsigned char issuerAndSerial[20];
};

// Walks one KeyRecord's DER with OpenSSL's TLV parser down to the
// certificate's parts and computes the five digests; false when the DER is
// not a key record with a certificate.
bool walkAndDigest(const unsigned char* der, std::size_t length, EVP_MD_CTX* ctx, const EVP_MD* sha1,
                   Digests& out);

// Feeds the file at `path` in 1 MiB blocks to HMAC-SHA1 keyed with the
// password ("hmac") or to MD5 ("md5"), or just reads it ("read").  Returns
// the bytes read.
std::uint64_t hashFile(const std::string& path, const std::string& kind);

// Copies `from` to `to`, replacing it; syncs the copy when `sync` is set, so
// that a later fsync of a change does not pay for writing the copy back.
void copyFile(const std::string& from, const std::string& to, bool sync);
std::uint64_t fileSize(const std::string& path);

}  // namespace VELBench

#endif
