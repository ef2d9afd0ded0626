// certdecoder.cpp -- the certificates of a PEM bundle, decoded on two threads.

#include "certdecoder.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstdint>
#include <system_error>
#include <utility>

#include "background.h"
#include "velasn.h"

namespace velkdb {

namespace {

// The library context the second decoding thread works in.  Decoding a
// certificate decodes its public key, which takes the locks of the
// context's provider store hundreds of times: in a context of its own the
// second thread does not wait on the first.  It lives as long as the
// process, since the certificates decoded in it refer to it.
OSSL_LIB_CTX* secondThreadContext() {
  static OSSL_LIB_CTX* const context = OSSL_LIB_CTX_new();
  return context;
}

// A library context without algorithms: a certificate decoded in it keeps
// its public key as the bytes it came in, since no decoder can build the
// key, and `publicKeyOf` builds it from them if it is ever needed.  Null
// when OpenSSL cannot make one (the certificates are then decoded whole).
OSSL_LIB_CTX* bareContext() {
  OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
  if (context != nullptr && OSSL_PROVIDER_load(context, "null") == nullptr) {
    OSSL_LIB_CTX_free(context);
    context = nullptr;
  }
  ERR_clear_error();
  return context;
}

// The contexts each of the two decoding threads works in (0: the reading
// thread, 1: the second one), when public keys are decoded on demand; a
// context of its own for each, for the reason given above.
OSSL_LIB_CTX* bareContext(int thread) {
  static OSSL_LIB_CTX* const contexts[2] = {bareContext(), bareContext()};
  return contexts[thread];
}

// One certificate that fills `der`, decoded in `context` (null: OpenSSL's
// default); null when it does not decode.
Ossl<X509> decodeCertificateIn(OSSL_LIB_CTX* context, const VELASNCBuffer& der) {
  if (context == nullptr) return decodeWhole<X509>(der, d2i_X509);
  X509* cert = X509_new_ex(context, nullptr);
  if (cert == nullptr) fail("out of memory");
  return decodeWhole<X509>(der, d2i_X509, cert);
}

}  // namespace

CertificateDecoder::CertificateDecoder(const std::string& path, CertificateKeys keys)
    : d_path(path), d_contexts{nullptr, secondThreadContext()} {
  if (keys == CertificateKeys::kOnDemand && bareContext(0) != nullptr && bareContext(1) != nullptr) {
    d_contexts[0] = bareContext(0);
    d_contexts[1] = bareContext(1);
  }
}

CertificateDecoder::~CertificateDecoder() { stop(); }

void CertificateDecoder::DataFree::operator()(unsigned char* p) const { OPENSSL_free(p); }

void CertificateDecoder::add(int block, const char* name, std::size_t slot, unsigned char* data, long length) {
  std::unique_lock<std::mutex> lock(d_mutex);
  d_jobs.push_back(Job{block, name, slot, DataPtr(data), length, nullptr, nullptr});
  if (!d_worker.joinable() && !d_alone) {
    lock.unlock();
    try {
      d_worker = startBackgroundThread([this] { work(); });
    } catch (const std::system_error&) {
      d_alone = true;  // no second thread to be had: this one decodes them all
    }
    return;
  }
  d_queued.notify_one();
}

void CertificateDecoder::throwFirstFault() {
  std::unique_lock<std::mutex> lock(d_mutex);
  while (d_next < d_jobs.size()) decodeNext(lock, d_contexts[0]);
  d_decoded.wait(lock, [this] { return d_done == d_jobs.size(); });
  for (; d_checked < d_jobs.size(); ++d_checked) {
    Job& job = d_jobs[d_checked];
    if (job.error) std::rethrow_exception(job.error);
    if (!job.cert) {
      fail(d_path + ": PEM block " + std::to_string(job.block) + " (" + job.name + ") is not a valid certificate");
    }
  }
}

void CertificateDecoder::finish(InputItems& items) {
  throwFirstFault();
  stop();
  for (Job& job : d_jobs) items.certs[job.slot] = std::move(job.cert);
  d_jobs.clear();
}

void CertificateDecoder::work() {
  OSSL_LIB_CTX* const context = d_contexts[1];
  std::unique_lock<std::mutex> lock(d_mutex);
  for (;;) {
    if (d_stop) return;
    if (d_next < d_jobs.size()) {
      decodeNext(lock, context);
    } else {
      d_queued.wait(lock);
    }
  }
}

void CertificateDecoder::decodeNext(std::unique_lock<std::mutex>& lock, OSSL_LIB_CTX* context) {
  Job& job = d_jobs[d_next++];
  lock.unlock();
  Ossl<X509> cert;
  std::exception_ptr error;
  try {
    cert = decodeCertificateIn(context, VELASNCBuffer(job.data.get(), static_cast<std::uint64_t>(job.length)));
  } catch (...) {
    error = std::current_exception();
  }
  lock.lock();
  job.cert = std::move(cert);
  job.error = error;
  job.data.reset();
  ++d_done;
  d_decoded.notify_all();
}

void CertificateDecoder::stop() {
  {
    std::lock_guard<std::mutex> lock(d_mutex);
    d_stop = true;
  }
  d_queued.notify_all();
  if (d_worker.joinable()) d_worker.join();
}

}  // namespace velkdb
