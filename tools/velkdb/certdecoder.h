// certdecoder.h -- the certificates of a PEM bundle, decoded on two threads.
#ifndef VELKDB_CERTDECODER_H
#define VELKDB_CERTDECODER_H

#include <openssl/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "pki.h"

namespace velkdb {

// Decodes the certificate blocks of a PEM input in a second thread while
// the reading thread reads on, and in both once the blocks are read:
// decoding is most of the time a large bundle takes.  Each certificate goes
// to the place its block had, and a fault is reported as if the blocks had
// been decoded one after another: the one of the first bad block.
class CertificateDecoder {
 public:
  CertificateDecoder(const std::string& path, CertificateKeys keys);
  CertificateDecoder(const CertificateDecoder&) = delete;
  CertificateDecoder& operator=(const CertificateDecoder&) = delete;
  ~CertificateDecoder();

  // Queues PEM block number `block` (named `name`, its DER in `data`, which
  // this takes and frees with OPENSSL_free) for `items.certs[slot]`.
  void add(int block, const char* name, std::size_t slot, unsigned char* data, long length);

  // Decodes what is queued (with the second thread), and throws the fault
  // of the first bad block; returns when every block queued decoded.
  void throwFirstFault();

  // Every block decoded: the certificates into their places.
  void finish(InputItems& items);

 private:
  struct DataFree {
    void operator()(unsigned char* p) const;
  };
  using DataPtr = std::unique_ptr<unsigned char, DataFree>;
  struct Job {
    int block;
    const char* name;
    std::size_t slot;
    DataPtr data;
    long length;
    Ossl<X509> cert;
    std::exception_ptr error;
  };

  void work();
  // Decodes the next job queued in `context`, outside the lock.  A deque
  // keeps the job where it is while others are queued.
  void decodeNext(std::unique_lock<std::mutex>& lock, OSSL_LIB_CTX* context);
  void stop();

  const std::string& d_path;
  // Where the reading thread and the second one decode (null: the default).
  OSSL_LIB_CTX* d_contexts[2];
  std::mutex d_mutex;
  std::condition_variable d_queued, d_decoded;
  std::deque<Job> d_jobs;
  std::size_t d_next = 0, d_done = 0, d_checked = 0;
  bool d_stop = false, d_alone = false;
  std::thread d_worker;
};

}  // namespace velkdb

#endif  // VELKDB_CERTDECODER_H
