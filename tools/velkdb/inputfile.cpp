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
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "certdecoder.h"
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
