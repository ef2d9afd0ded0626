// What `import` needs to join its input with records already stored, and
// the default labels it gives: a certificate's own alias, a CRL's name.
#include <openssl/err.h>

#include "lifecycle.h"
#include "text.h"
#include "veldbutility.h"

namespace velkdb {

std::string certificateAlias(X509* cert) {
  int length = 0;
  const unsigned char* alias = X509_alias_get0(cert, &length);
  if (alias == nullptr || length <= 0) return "";
  const std::string text(reinterpret_cast<const char*>(alias), static_cast<std::size_t>(length));
  // An alias that is no label (a control character, bytes that are not
  // UTF-8) is written out as `labelFromName` writes a name.
  const std::string label = labelFault(text).empty() ? text : printable(text);
  return labelFault(label).empty() ? label : "";
}

std::string crlDefaultLabel(X509_CRL* crl) { return labelFromName(X509_CRL_get_issuer(crl)) + " CRL"; }

std::vector<StoredKeyPair> loadKeyPairs(FileDBManager& db) {
  std::vector<StoredKeyPair> pairs;
  forEachKeyPair(db, [&](VELASNKeyPairRecord& r) {
    if (!r.hasKeyPair()) return;
    StoredKeyPair p;
    p.id = idOf(r);
    p.label = r.getLabel().getValue();
    const VELASNCBuffer epki = r.getKeyPair().getPrivateKeyEncoding();
    p.wrappedKey = VELBuffer(epki.data(), epki.length());
    p.publicKey = publicKeyFromDER(r.getKeyPair().getSubjectPublicKeyInfoEncoding());
    pairs.push_back(std::move(p));
  });
  return pairs;
}

const StoredKeyPair* keyPairFor(const std::vector<StoredKeyPair>& pairs, const std::set<unsigned>& taken, X509* cert) {
  if (pairs.size() == taken.size()) return nullptr;
  const Ossl<EVP_PKEY> certKey = publicKeyOf(cert);
  if (certKey == nullptr) return nullptr;
  for (const StoredKeyPair& p : pairs) {
    if (taken.count(p.id) == 0 && EVP_PKEY_eq(certKey.get(), p.publicKey.get()) == 1) return &p;
  }
  ERR_clear_error();
  return nullptr;
}

StoredCertificates certificatesFor(FileDBManager& db, EVP_PKEY* key) {
  StoredCertificates found;
  const VELBuffer spki = publicKeyDER(key);
  std::unique_ptr<VELASNKeyRecordContainer> records(
      db.getKeyByIndex(VELDBManager::KeyPublicKeyInfo, VELASNSubjectPublicKeyInfo(spki.get())));
  for (std::size_t i = 0; records && i < records->size(); ++i) {
    const VELASNKeyRecord& r = (*records)[i];
    if (!r.hasCertificate()) continue;
    // The index compares encodings; the key itself decides.
    Ossl<X509> cert = certFromDER(r.getCertificate().getEncoding());
    if (!keyMatches(cert.get(), key)) continue;
    if (r.hasPrivateKey()) {
      found.anyWithKey = true;
    } else {
      found.withoutKey.push_back(idOf(r));
    }
  }
  return found;
}

}  // namespace velkdb
