// `export` for other tools: a PKCS#12 file with the certificate, its key and
// its chain; the chain as PEM; a private key in the clear.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <iostream>
#include <memory>

#include "lifecycle.h"
#include "pkcs12.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

namespace {

// PBKDF2 iterations of the PKCS#12 file's encryption and of its MAC.
constexpr int kPKCS12Iterations = 100000;


bool signedBy(X509* cert, X509* issuer) {
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  const bool ok = key != nullptr && X509_check_issued(issuer, cert) == X509_V_OK && X509_verify(cert, key) == 1;
  ERR_clear_error();
  return ok;
}

// Every certificate of the key table, decoded, with its label.
void loadCertificates(FileDBManager& db, std::vector<Ossl<X509>>& pool, std::vector<std::string>& labels) {
  forEachKey(db, [&](VELASNKeyRecord& r) {
    if (!r.hasCertificate()) return;
    pool.push_back(certFromDER(r.getCertificate().getEncoding()));
    labels.push_back(r.getLabel().getValue());
  });
}

struct Selected {
  Match match;
  std::unique_ptr<VELASNKeyRecord> record;
  Ossl<X509> cert;
};

// The one key record the selector names.
Selected selectOne(FileDBManager& db, Selector selector) {
  selector.hasTable = true;
  selector.table = Table::Key;
  const std::vector<Match> found = findRecords(db, selector);
  if (found.empty()) VELDB_THROW(VELDBError::kNoMatchingRecord, "no certificate matches");
  if (found.size() > 1) {
    std::string ids;
    for (const Match& m : found) ids += std::string(ids.empty() ? "" : ", ") + "#" + std::to_string(m.id);
    VELDB_THROW(VELDBError::kBadArgument,
                std::to_string(found.size()) + " certificates match (" + ids + "): name one with --id");
  }
  Selected s;
  s.match = found.front();
  s.record.reset(db.getKeyByIndex(VELDBManager::KeyRecordID, VELDBUtility::recordIDToASN(s.match.id)));
  if (!s.record) VELDB_THROW(VELDBError::kNoMatchingRecord, "record gone");
  s.cert = certFromDER(s.record->getCertificate().getEncoding());
  return s;
}

Secret exportPassword(const ExportOptions& o) {
  PasswordOptions options;
  options.file = o.exportPasswordFile;
  options.fileOption = "--export-password-file";
  options.envName = "VELKDB_EXPORT_PASSWORD";
  options.prompt = "Password of the PKCS#12 file: ";
  return obtainPassword(options, true);
}


std::string pkcs12Of(X509* cert, EVP_PKEY* key, const std::vector<X509*>& chain, const std::string& name,
                     const Secret& password) {
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> ca(sk_X509_new_null(),
                                                                [](STACK_OF(X509) * s) { sk_X509_free(s); });
  if (!ca) fail("sk_X509_new_null failed");
  for (X509* c : chain) {
    if (sk_X509_push(ca.get(), c) <= 0) fail("sk_X509_push failed");
  }
  // AES-256-CBC under PBKDF2-HMAC-SHA256 for the key and the certificates,
  // an HMAC-SHA256 over the whole: the file's MAC is set after it is made.
  Ossl<PKCS12> p12(PKCS12_create_ex(password.bytes().c_str(), name.c_str(), key, cert, ca.get(),
                                                        NID_aes_256_cbc, NID_aes_256_cbc, kPKCS12Iterations, -1, 0,
                                                        nullptr, nullptr));
  if (!p12) fail("making the PKCS#12 file failed");
  if (PKCS12_set_mac(p12.get(), password.bytes().c_str(), static_cast<int>(password.bytes().size()), nullptr, 0,
                     kPKCS12Iterations, EVP_sha256()) != 1) {
    fail("the PKCS#12 file's MAC failed");
  }
  unsigned char* der = nullptr;
  const int n = i2d_PKCS12(p12.get(), &der);
  if (n <= 0) fail("encoding the PKCS#12 file failed");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n));
  OPENSSL_free(der);
  return bytes;
}

// `export --all --pkcs12 FILE`: every record (of --table, or of all
// tables): each key with its certificate, the labels as friendly names,
// the trusted certificates marked so, the key pairs with their requests,
// the CRLs.
int exportStore(const ExportOptions& o) {
  const DbPaths paths = databasePaths(o.db);
  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  const auto wanted = [&o](Table t) { return !o.selector.hasTable || o.selector.table == t; };
  std::vector<Ossl<X509>> certs;
  std::vector<Ossl<EVP_PKEY>> keys;
  std::vector<Ossl<X509_CRL>> crlObjects;
  std::vector<StoreEntry> entries;
  std::vector<StoreKeyPair> keyPairs;
  std::vector<StoreCRL> crls;
  const auto openKey = [&](const VELASNCBuffer& epki, const std::string& label) {
    keys.push_back(unwrapPrivateKey(epki, password));
    if (!keys.back()) {
      VELDB_THROW(VELDBError::kBadPassword,
                  "the private key of \"" + printable(label) + "\" does not open with the database password");
    }
    return keys.back().get();
  };
  std::size_t withKeys = 0;
  if (wanted(Table::Key)) {
    forEachKey(*db, [&](VELASNKeyRecord& r) {
      if (!r.hasCertificate()) return;
      StoreEntry e;
      certs.push_back(certFromDER(r.getCertificate().getEncoding()));
      e.cert = certs.back().get();
      e.label = r.getLabel().getValue();
      if (r.hasPrivateKey()) {
        e.key = openKey(r.getPrivateKey().getEncoding(), e.label);
        ++withKeys;
      } else {
        e.trusted = r.isTrusted();
      }
      entries.push_back(e);
    });
  }
  if (wanted(Table::KeyPair)) {
    forEachKeyPair(*db, [&](VELASNKeyPairRecord& r) {
      StoreKeyPair pair;
      pair.label = r.getLabel().getValue();
      pair.key = openKey(r.getKeyPair().getPrivateKeyEncoding(), pair.label);
      const VELASNCBuffer request = r.getCertificationRequest().getEncoding();
      pair.requestDER.assign(reinterpret_cast<const char*>(request.data()), request.length());
      keyPairs.push_back(pair);
    });
  }
  if (wanted(Table::CRL)) {
    forEachCRL(*db, [&](VELASNCRLRecord& r) {
      const VELASNCBuffer der = r.getCRL().getEncoding();
      const unsigned char* p = der.data();
      crlObjects.emplace_back(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.length())));
      if (!crlObjects.back()) fail("the stored CRL \"" + printable(r.getLabel().getValue()) + "\" does not decode");
      crls.push_back({crlObjects.back().get(), r.getLabel().getValue()});
    });
  }
  if (entries.empty() && keyPairs.empty() && crls.empty()) {
    VELDB_THROW(VELDBError::kNoMatchingRecord, "no record to export");
  }
  const Secret exportPass = exportPassword(o);
  std::string bytes = storePKCS12(entries, exportPass, kPKCS12Iterations, keyPairs, crls);
  writeOutputFile(o.pkcs12, bytes, true);
  OPENSSL_cleanse(&bytes[0], bytes.size());
  std::cerr << "exported " << entries.size() << (entries.size() == 1 ? " certificate" : " certificates") << " ("
            << withKeys << (withKeys == 1 ? " with its key" : " with keys") << "), " << keyPairs.size()
            << (keyPairs.size() == 1 ? " key pair" : " key pairs") << ", " << crls.size()
            << (crls.size() == 1 ? " CRL" : " CRLs") << " to " << printable(o.pkcs12) << "\n";
  return 0;
}

}  // namespace

std::string keyDER(const VELASNCBuffer& epki, const Secret* clear, const std::string& label) {
  if (clear == nullptr) return std::string(reinterpret_cast<const char*>(epki.data()), epki.length());
  Ossl<EVP_PKEY> key = unwrapPrivateKey(epki, *clear);
  if (!key) {
    VELDB_THROW(VELDBError::kBadPassword,
                "the private key of \"" + printable(label) + "\" does not open with the database password");
  }
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, void (*)(PKCS8_PRIV_KEY_INFO*)> p8(EVP_PKEY2PKCS8(key.get()),
                                                                        PKCS8_PRIV_KEY_INFO_free);
  unsigned char* der = nullptr;
  const int n = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der) : -1;
  if (n <= 0) fail("encoding the private key failed");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n));
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  return bytes;
}

std::vector<X509*> buildChain(X509* leaf, const std::vector<X509*>& pool) {
  std::vector<X509*> chain;
  X509* current = leaf;
  while (chain.size() < kMaxChain && !signedBy(current, current)) {
    X509* next = nullptr;
    for (X509* candidate : pool) {
      if (candidate == nullptr || X509_cmp(candidate, current) == 0 || !signedBy(current, candidate)) continue;
      bool seen = X509_cmp(candidate, leaf) == 0;
      for (X509* c : chain) seen = seen || X509_cmp(c, candidate) == 0;
      if (seen) continue;  // a loop: nothing new past here
      next = candidate;
      break;
    }
    if (next == nullptr) break;
    chain.push_back(next);
    current = next;
  }
  return chain;
}

std::string clearKeyPEM(const VELASNCBuffer& epki, const Secret& password, const std::string& label) {
  Ossl<EVP_PKEY> key = unwrapPrivateKey(epki, password);
  if (!key) {
    VELDB_THROW(VELDBError::kBadPassword,
                "the private key of \"" + printable(label) + "\" does not open with the database password");
  }
  std::unique_ptr<BIO, void (*)(BIO*)> bio(BIO_new(BIO_s_mem()), [](BIO* b) { BIO_free(b); });
  if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    fail("writing the private key failed");
  }
  char* text = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &text);
  std::string pem(text, static_cast<std::size_t>(n));
  OPENSSL_cleanse(text, static_cast<std::size_t>(n));
  return pem;
}

int exportBundle(const ExportOptions& o) {
  if (o.all) return exportStore(o);
  const bool pkcs12 = !o.pkcs12.empty();
  const std::string& p12Path = o.pkcs12;
  if (o.selector.hasTable && o.selector.table != Table::Key) {
    throw UsageError("--pkcs12 and --chain export a certificate: --table keys");
  }
  const DbPaths paths = databasePaths(o.db);
  const Secret password = databasePassword(o.db);
  std::unique_ptr<FileDBManager> db = openDatabase(paths, password, false);
  Selected s = selectOne(*db, o.selector);

  std::vector<Ossl<X509>> pool;
  std::vector<std::string> labels;
  loadCertificates(*db, pool, labels);
  std::vector<X509*> candidates;
  for (auto& c : pool) candidates.push_back(c.get());
  const std::vector<X509*> chain = buildChain(s.cert.get(), candidates);

  if (pkcs12) {
    if (!s.record->hasPrivateKey()) {
      VELDB_THROW(VELDBError::kBadArgument, "record \"" + printable(s.match.label) + "\" holds no private key");
    }
    Ossl<EVP_PKEY> key = unwrapPrivateKey(s.record->getPrivateKey().getEncoding(), password);
    if (!key) {
      VELDB_THROW(VELDBError::kBadPassword,
                  "the private key of \"" + printable(s.match.label) + "\" does not open with the database password");
    }
    // The chain's certificates carry their labels as friendly names too.
    for (X509* c : chain) {
      for (std::size_t i = 0; i < pool.size(); ++i) {
        if (pool[i].get() == c) {
          X509_alias_set1(c, reinterpret_cast<const unsigned char*>(labels[i].data()),
                          static_cast<int>(labels[i].size()));
        }
      }
    }
    const Secret exportPass = exportPassword(o);
    std::string bytes = pkcs12Of(s.cert.get(), key.get(), chain, s.match.label, exportPass);
    writeOutputFile(p12Path, bytes, true);
    OPENSSL_cleanse(&bytes[0], bytes.size());
    std::cerr << "exported \"" << printable(s.match.label) << "\" with its key and " << chain.size()
              << (chain.size() == 1 ? " issuer" : " issuers") << " to " << printable(p12Path) << "\n";
    return 0;
  }

  std::string pem = toPEM("CERTIFICATE", s.record->getCertificate().getEncoding());
  for (X509* c : chain) pem += toPEM("CERTIFICATE", derOf(c).get());
  const bool withKey = o.key;
  if (withKey) {
    if (!s.record->hasPrivateKey()) {
      VELDB_THROW(VELDBError::kBadArgument, "record \"" + printable(s.match.label) + "\" holds no private key");
    }
    const VELASNCBuffer epki = s.record->getPrivateKey().getEncoding();
    pem += o.unencrypted ? clearKeyPEM(epki, password, s.match.label) : toPEM("ENCRYPTED PRIVATE KEY", epki);
  }
  const std::string& out = o.out;
  if (out.empty() || out == "-") {
    std::cout << pem;
  } else {
    writeOutputFile(out, pem, withKey);
    std::cerr << "exported \"" << printable(s.match.label) << "\" and " << chain.size()
              << (chain.size() == 1 ? " issuer" : " issuers") << " to " << printable(out) << "\n";
  }
  if (withKey) OPENSSL_cleanse(&pem[0], pem.size());
  return 0;
}

}  // namespace velkdb
