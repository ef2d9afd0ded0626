// Reading an input file: PEM bundles, DER structures and PKCS#12 files,
// with what their preambles and bags say about each item.

#include "pki.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "background.h"
#include "interrupt.h"
#include "legacyp12.h"
#include "pkcs12.h"
#include "text.h"
#include "velexception.h"

namespace velkdb {

namespace {


// An input file larger than this is refused before it is read.
constexpr off_t kMaxInputSize = 64 * 1024 * 1024;


// A password given that does not open what it should: 0x8C240, which
// velkdb prints as "wrong password", so the user knows what to change.
[[noreturn]] void wrongPassword(const std::string& message) {
  ERR_clear_error();
  VELDB_THROW(VELDBError::kBadPassword, message);
}

// A DER input whose outer structure claims more bytes than the file holds:
// a file cut short (a copy or download stopped early).  Throws then.
void refuseCutDER(const std::string& path, const std::string& bytes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  long length = 0;
  int tag = 0, cls = 0;
  const int flags = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(bytes.size()));
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if ((flags & 0x80) != 0 && ERR_GET_REASON(e) == ASN1_R_TOO_LONG && (flags & V_ASN1_CONSTRUCTED) != 0) {
    const std::size_t header = static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(bytes.data()));
    fail(path + ": truncated or damaged: its DER structure needs " + std::to_string(header + length) +
         " bytes, the file holds " + std::to_string(bytes.size()));
  }
}




// The bytes of the input file `path`, standard input for "-"; `name` is
// how messages call it.
std::string readFile(const std::string& path, const std::string& name) {
  const bool standardInput = path == "-";
  const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(name + ": cannot read the file (" + std::strerror(errno) + ")");
  struct Closer {
    int fd;
    bool own;
    ~Closer() {
      if (own) close(fd);
    }
  } closer{fd, !standardInput};
  struct stat st {};
  if (fstat(fd, &st) != 0) fail(name + ": cannot read the file (" + std::strerror(errno) + ")");
  if (S_ISDIR(st.st_mode)) fail(name + ": is a directory");
  std::string bytes;
  if (S_ISREG(st.st_mode)) {
    if (st.st_size > kMaxInputSize) fail(name + ": file too large");
    bytes.reserve(static_cast<std::size_t>(st.st_size));
  }
  // Read to the end whatever it is (a file, a pipe, a terminal).
  char buf[16384];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      // A terminal or a pipe that has not ended: a signal stops the wait.
      if (pendingSignal() != 0) {
        OPENSSL_cleanse(buf, sizeof buf);
        OPENSSL_cleanse(&bytes[0], bytes.size());
        checkInterrupt();
      }
      continue;
    }
    if (n < 0) {
      const int error = errno;
      OPENSSL_cleanse(buf, sizeof buf);
      OPENSSL_cleanse(&bytes[0], bytes.size());
      fail(name + ": cannot read the file (" + std::strerror(error) + ")");
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxInputSize)) {
      OPENSSL_cleanse(buf, sizeof buf);
      OPENSSL_cleanse(&bytes[0], bytes.size());
      fail(name + ": file too large");
    }
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  OPENSSL_cleanse(buf, sizeof buf);
  return bytes;
}

// The password callback of the PEM readers: asks `InputPassword` once.
struct PasswordContext {
  InputPassword* source = nullptr;
  bool asked = false;
  bool have = false;
  Secret secret;
};

int pemPasswordCallback(char* buf, int size, int, void* user) {
  auto* ctx = static_cast<PasswordContext*>(user);
  if (!ctx->asked) {
    ctx->asked = true;
    ctx->have = ctx->source->get(ctx->secret);
  }
  if (!ctx->have) return -1;
  const std::string& p = ctx->secret.bytes();
  if (p.size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buf, p.data(), p.size());
  return static_cast<int>(p.size());
}

bool getPassword(PasswordContext& ctx, Secret& out) {
  if (!ctx.asked) {
    ctx.asked = true;
    ctx.have = ctx.source->get(ctx.secret);
  }
  if (ctx.have) out = ctx.secret;
  return ctx.have;
}

const X509_ALGOR* encryptionOf(const X509_SIG* sig) {
  const X509_ALGOR* alg = nullptr;
  X509_SIG_get0(sig, &alg, nullptr);
  return alg;
}

Ossl<EVP_PKEY> keyFromPKCS8(PKCS8_PRIV_KEY_INFO* p8) {
  Ossl<EVP_PKEY> key(EVP_PKCS82PKEY(p8));
  ERR_clear_error();
  return key;
}

// The friendly name (alias) a PKCS#12 bag or trusted-certificate block
// gave `cert`; empty when none.
std::string aliasOf(X509* cert) {
  int length = 0;
  const unsigned char* alias = X509_alias_get0(cert, &length);
  return alias != nullptr && length > 0 ? std::string(reinterpret_cast<const char*>(alias), length) : std::string();
}

void readPKCS12(const std::string& path, const VELASNCBuffer& der, PasswordContext& ctx, InputItems& items) {
  auto p12 = decodeWhole<PKCS12>(der, d2i_PKCS12);
  if (!p12) fail(path + ": not a PKCS#12 file");
  // Before any MAC is checked: each check derives a key.
  refuseCostlyPKCS12(p12.get(), path);
  // A file without a password (or with an empty one) opens without asking.
  Secret password;
  const char* pass = nullptr;
  if (PKCS12_verify_mac(p12.get(), nullptr, 0) == 1) {
    pass = nullptr;
  } else if (PKCS12_verify_mac(p12.get(), "", 0) == 1) {
    pass = "";
  } else {
    if (!getPassword(ctx, password)) fail(path + ": PKCS#12 file needs a password (--import-password-file)");
    if (PKCS12_verify_mac(p12.get(), password.bytes().c_str(), static_cast<int>(password.bytes().size())) != 1) {
      wrongPassword("wrong password for " + path + " (a PKCS#12 file)");
    }
    pass = password.bytes().c_str();
  }
  enableLegacyPKCS12(path, p12.get());
  ERR_clear_error();
  // Every bag, not only the first key and its certificate: a key store
  // written by another tool holds any number of entries.
  readPKCS12Bags(path, p12.get(), pass, items);
}

// The label and trust mark that the lines before a PEM block give (see
// `bagAttributes`); other lines are the reader's business, not ours.
ItemAttributes preambleAttributes(const std::string& text) {
  ItemAttributes out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    line.erase(0, first);
    static const std::string kName = "friendlyName: ";
    if (line.compare(0, kName.size(), kName) == 0) out.label = line.substr(kName.size());
    if (line == "trusted: yes") out.trusted = true;
  }
  return out;
}

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

// Decodes the certificate blocks of a PEM input in a second thread while
// this one reads on, and in both once the blocks are read: decoding is
// most of the time a large bundle takes.  Each certificate goes to the
// place its block had, and a fault is reported as if the blocks had been
// decoded one after another: the one of the first bad block.
class CertificateDecoder {
 public:
  CertificateDecoder(const std::string& path, CertificateKeys keys) : d_path(path) {
    if (keys == CertificateKeys::kOnDemand && bareContext(0) != nullptr && bareContext(1) != nullptr) {
      d_contexts[0] = bareContext(0);
      d_contexts[1] = bareContext(1);
    }
  }
  CertificateDecoder(const CertificateDecoder&) = delete;
  CertificateDecoder& operator=(const CertificateDecoder&) = delete;
  ~CertificateDecoder() { stop(); }

  // Queues PEM block number `block` (named `name`, its DER in `data`, which
  // this takes) for `items.certs[slot]`.
  void add(int block, const char* name, std::size_t slot, unsigned char* data, long length) {
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

  // Decodes what is queued (with the second thread), and throws the fault
  // of the first bad block; returns when every block queued decoded.
  void throwFirstFault() {
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

  // Every block decoded: the certificates into their places.
  void finish(InputItems& items) {
    throwFirstFault();
    stop();
    for (Job& job : d_jobs) items.certs[job.slot] = std::move(job.cert);
    d_jobs.clear();
  }

 private:
  struct DataFree {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
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

  void work() {
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

  // Decodes the next job queued in `context`, outside the lock.  A deque
  // keeps the job where it is while others are queued.
  void decodeNext(std::unique_lock<std::mutex>& lock, OSSL_LIB_CTX* context) {
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

  void stop() {
    {
      std::lock_guard<std::mutex> lock(d_mutex);
      d_stop = true;
    }
    d_queued.notify_all();
    if (d_worker.joinable()) d_worker.join();
  }

  const std::string& d_path;
  // Where the reading thread and the second one decode (null: the default).
  OSSL_LIB_CTX* d_contexts[2] = {nullptr, secondThreadContext()};
  std::mutex d_mutex;
  std::condition_variable d_queued, d_decoded;
  std::deque<Job> d_jobs;
  std::size_t d_next = 0, d_done = 0, d_checked = 0;
  bool d_stop = false, d_alone = false;
  std::thread d_worker;
};

// The private key of one PEM block `block` (every form: PKCS#8, encrypted
// PKCS#8, traditional with or without encryption), read back through
// OpenSSL's key reader; `where` names the block in messages.
Ossl<EVP_PKEY> readPEMKey(const std::string& where, const std::string& block, const char* name, const char* header,
                          const unsigned char* data, long length, PasswordContext& ctx) {
  const VELASNCBuffer der(data, static_cast<std::uint64_t>(length));
  Ossl<BIO> one(BIO_new(BIO_s_mem()));
  check(one != nullptr && PEM_write_bio(one.get(), name, header, data, length) > 0, "PEM_write_bio");
  const bool encrypted = block == "ENCRYPTED PRIVATE KEY" || std::strstr(header, "ENCRYPTED") != nullptr;
  if (block == "ENCRYPTED PRIVATE KEY") {
    if (auto sig = decodeWhole<X509_SIG>(der, d2i_X509_SIG)) {
      refuseCostlyDerivation(encryptionOf(sig.get()), where);
    }
  }
  Ossl<EVP_PKEY> key(PEM_read_bio_PrivateKey(one.get(), nullptr, pemPasswordCallback, &ctx));
  ERR_clear_error();
  if (!key) {
    if (encrypted && !ctx.have) fail(where + ": encrypted key needs a password (--import-password-file)");
    if (encrypted) wrongPassword(where + ": the password does not open the key (wrong password, or a damaged key)");
    fail(where + ": not a valid private key");
  }
  return key;
}

// Keeps the label and trust mark of a PEM block's preamble for the item
// the block added (if it added one), and a certificate's label as its alias,
// as a PKCS#12 friendly name travels.
void noteAttributes(const std::string& block, std::size_t before, const ItemAttributes& attributes,
                    InputItems& items) {
  const void* item = nullptr;
  if (items.certs.size() + items.keys.size() + items.requests.size() + items.crls.size() > before) {
    if (block.find("CERTIFICATE") != std::string::npos && block.find("REQUEST") == std::string::npos) {
      item = items.certs.back().get();
    } else if (block == "X509 CRL") {
      item = items.crls.back().get();
    } else if (block.find("REQUEST") != std::string::npos) {
      item = items.requests.back().get();
    } else {
      item = items.keys.back().get();
    }
  }
  if (item != nullptr) items.attributes[item] = attributes;
  // A certificate's label travels as its alias, as a PKCS#12 friendly
  // name does.
  if (item != nullptr && !attributes.label.empty() && block.find("CERTIFICATE") != std::string::npos &&
      block.find("REQUEST") == std::string::npos) {
    X509_alias_set1(items.certs.back().get(), reinterpret_cast<const unsigned char*>(attributes.label.data()),
                    static_cast<int>(attributes.label.size()));
  }
}

void readPEM(const std::string& path, const std::string& bytes, PasswordContext& ctx, InputItems& items,
             CertificateKeys keys) {
  Ossl<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  check(bio != nullptr, "BIO_new_mem_buf");
  int blocks = 0;
  CertificateDecoder decoder(path, keys);
  try {
    for (;;) {
      char* name = nullptr;
      char* header = nullptr;
      unsigned char* data = nullptr;
      long length = 0;
      const std::size_t start = bytes.size() - static_cast<std::size_t>(BIO_pending(bio.get()));
      if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) {
        const unsigned long e = ERR_peek_last_error();
        ERR_clear_error();
        if (ERR_GET_REASON(e) == PEM_R_NO_START_LINE && blocks > 0) break;
        fail(path + ": malformed PEM block " + std::to_string(blocks + 1));
      }
      std::unique_ptr<char, void (*)(void*)> nameGuard(name, [](void* p) { OPENSSL_free(p); });
      std::unique_ptr<char, void (*)(void*)> headerGuard(header, [](void* p) { OPENSSL_free(p); });
      std::unique_ptr<unsigned char, void (*)(void*)> dataGuard(data, [](void* p) { OPENSSL_free(p); });
      ++blocks;
      const std::string block(name);
      const VELASNCBuffer der(data, static_cast<std::uint64_t>(length));
      const std::string where = path + ": PEM block " + std::to_string(blocks) + " (" + block + ")";
      const std::size_t begin = bytes.find("-----BEGIN", start);
      ItemAttributes attributes = preambleAttributes(bytes.substr(start, begin - start));
      const std::size_t before = items.certs.size() + items.keys.size() + items.requests.size() + items.crls.size();
      if ((block == "CERTIFICATE" || block == "X509 CERTIFICATE") && attributes.label.empty() && !attributes.trusted) {
        // Decoded by the decoder; its place kept.
        items.certs.emplace_back();
        decoder.add(blocks, block == "CERTIFICATE" ? "CERTIFICATE" : "X509 CERTIFICATE", items.certs.size() - 1,
                    dataGuard.release(), length);
      } else if (block == "CERTIFICATE" || block == "X509 CERTIFICATE") {
        auto cert = decodeWhole<X509>(der, d2i_X509);
        if (!cert) fail(where + " is not a valid certificate");
        items.certs.push_back(std::move(cert));
      } else if (block == "TRUSTED CERTIFICATE") {
        Ossl<X509> cert;
        const unsigned char* p = der.data();
        cert.reset(d2i_X509_AUX(nullptr, &p, length));
        if (!cert) fail(where + " is not a valid certificate");
        if (attributes.label.empty()) attributes.label = aliasOf(cert.get());
        if (const STACK_OF(ASN1_OBJECT)* trust = X509_get0_trust_objects(cert.get())) {
          attributes.trusted = attributes.trusted || sk_ASN1_OBJECT_num(trust) > 0;
        }
        items.certs.push_back(std::move(cert));
      } else if (block == "X509 CRL") {
        auto crl = decodeWhole<X509_CRL>(der, d2i_X509_CRL);
        if (!crl) fail(where + " is not a valid CRL");
        items.crls.push_back(std::move(crl));
      } else if (block == "CERTIFICATE REQUEST" || block == "NEW CERTIFICATE REQUEST") {
        auto req = decodeWhole<X509_REQ>(der, d2i_X509_REQ);
        if (!req) fail(where + " is not a valid certification request");
        items.requests.push_back(std::move(req));
      } else if (block.size() >= 11 && block.compare(block.size() - 11, 11, "PRIVATE KEY") == 0) {
        // A key may ask for a password: not when a certificate before it is
        // bad, which is the fault to report.
        decoder.throwFirstFault();
        items.keys.push_back(readPEMKey(where, block, name, header, data, length, ctx));
      } else {
        fail(where + ": unsupported PEM block");
      }
      if (!attributes.label.empty() || attributes.trusted) noteAttributes(block, before, attributes, items);
    }
  } catch (const VELException&) {
    // A fault of a certificate before this block comes first.
    decoder.throwFirstFault();
    throw;
  }
  decoder.finish(items);
  // The PEM reader skips lines it does not take for a begin line: a block
  // cut inside its "-----BEGIN" line (a truncated or badly joined bundle)
  // would be dropped without a word.  Every line that starts with "-----"
  // must be the begin or end line of a block read.
  std::size_t boundaries = 0;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    if ((at == 0 || bytes[at - 1] == '\n') && bytes.compare(at, 5, "-----") == 0) ++boundaries;
  }
  if (boundaries != 2 * static_cast<std::size_t>(blocks)) {
    fail(path + ": cut-off or malformed PEM: a line starting with \"-----\" begins or ends no block");
  }
}

void readDER(const std::string& path, const std::string& bytes, PasswordContext& ctx, InputItems& items) {
  const VELASNCBuffer der(bytes.data(), bytes.size());
  if (auto cert = decodeWhole<X509>(der, d2i_X509)) {
    items.certs.push_back(std::move(cert));
  } else if (auto crl = decodeWhole<X509_CRL>(der, d2i_X509_CRL)) {
    items.crls.push_back(std::move(crl));
  } else if (auto req = decodeWhole<X509_REQ>(der, d2i_X509_REQ)) {
    items.requests.push_back(std::move(req));
  } else if (decodeWhole<PKCS12>(der, d2i_PKCS12)) {
    readPKCS12(path, der, ctx, items);
  } else if (auto p8 = decodeWhole<PKCS8_PRIV_KEY_INFO>(der, d2i_PKCS8_PRIV_KEY_INFO)) {
    auto key = keyFromPKCS8(p8.get());
    if (!key) fail(path + ": unsupported private key");
    items.keys.push_back(std::move(key));
  } else if (auto sig = decodeWhole<X509_SIG>(der, d2i_X509_SIG)) {
    refuseCostlyDerivation(encryptionOf(sig.get()), path + ": the encrypted private key");
    Secret password;
    if (!getPassword(ctx, password)) fail(path + ": encrypted key needs a password (--import-password-file)");
    Ossl<PKCS8_PRIV_KEY_INFO> p8(PKCS8_decrypt(
        sig.get(), password.bytes().data(), static_cast<int>(password.bytes().size())));
    Ossl<EVP_PKEY> key(p8 ? EVP_PKCS82PKEY(p8.get()) : nullptr);
    ERR_clear_error();
    if (!key) wrongPassword(path + ": the password does not open the key (wrong password, or a damaged key)");
    items.keys.push_back(std::move(key));
  } else {
    const unsigned char* p = der.data();
    Ossl<EVP_PKEY> key(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.length())));
    ERR_clear_error();
    if (!key || p != der.data() + der.length()) {
      refuseCutDER(path, bytes);
      fail(path + ": not a certificate, CRL, certification request, PKCS#12 file or private key");
    }
    items.keys.push_back(std::move(key));
  }
}

// A Java key store (JKS, magic FEEDFEED; JCEKS, CECECECE) is no format of
// ours; keytool converts it to PKCS#12, which is.
void refuseJavaKeyStore(const std::string& path, const std::string& name, const std::string& bytes) {
  if (bytes.size() < 4) return;
  const std::string magic = bytes.substr(0, 4);
  const char* kind = magic == "\xFE\xED\xFE\xED"   ? "JKS"
                     : magic == "\xCE\xCE\xCE\xCE" ? "JCEKS"
                                                   : nullptr;
  if (kind == nullptr) return;
  const std::string file = path == "-" ? std::string("FILE") : path;
  fail(name + ": a Java key store (" + kind + "), which velkdb does not read; convert it to PKCS#12 with `" +
       printable("keytool -importkeystore -srckeystore " + shellQuoted(file) + " -destkeystore " +
                 shellQuoted(file + ".p12") + " -deststoretype PKCS12") +
       "` and import that file");
}

}  // namespace

void readInputFile(const std::string& path, InputPassword& password, InputItems& items, CertificateKeys keys) {
  const std::string name = path == "-" ? "standard input" : printable(path);
  // The input may hold private keys in the clear: wiped when done.
  struct Wiped {
    std::string bytes;
    ~Wiped() { OPENSSL_cleanse(&bytes[0], bytes.size()); }
  } input{readFile(path, name)};
  const std::string& bytes = input.bytes;
  if (bytes.empty()) fail(name + ": empty file");
  refuseJavaKeyStore(path, name, bytes);
  PasswordContext ctx;
  ctx.source = &password;
  // What the file holds is added whole or not at all.
  InputItems found;
  if (bytes.find("-----BEGIN ") != std::string::npos) {
    readPEM(name, bytes, ctx, found, keys);
  } else {
    readDER(name, bytes, ctx, found);
  }
  for (auto& x : found.certs) items.certs.push_back(std::move(x));
  for (auto& x : found.keys) items.keys.push_back(std::move(x));
  for (auto& x : found.requests) items.requests.push_back(std::move(x));
  for (auto& x : found.crls) items.crls.push_back(std::move(x));
  items.attributes.insert(found.attributes.begin(), found.attributes.end());
}

}  // namespace velkdb
