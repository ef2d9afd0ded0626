// fuzz_der.cpp -- libFuzzer target: DER decoding of every record type and
// certificate part.
//
// Input: one selector byte, then the bytes to decode.  The selector picks
// the type (modulo the number of types); a decode that succeeds is followed
// by every accessor of the decoded value, so that the slices it took are
// used.  Every input must end in success or a `VELDBException`.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>

#include "filedbbuffer.h"
#include "filedbcrlrecordfields.h"
#include "filedbkeypairrecordfields.h"
#include "filedbkeyrecordfields.h"
#include "velasn.h"
#include "velasnrecords.h"
#include "velasnx509.h"
#include "velexception.h"

namespace {

void use(const VELASNCBuffer& b, std::uint64_t& sink) {
  if (b.length() > 0) sink += b.data()[0] + b.data()[b.length() - 1];
}

void show(const VELASNObject& o) {
  std::ostringstream out;
  o.display(out);
}

void decode(unsigned selector, const VELASNCBuffer& der) {
  std::uint64_t sink = 0;
  switch (selector) {
    case 0: {
      VELASNKeyRecord r;
      r.read(der);
      show(r);
      (void)r.write();
      if (r.hasCertificate()) {
        const VELASNCertificate& c = r.getCertificate();
        use(c.getTBSCertificateEncoding(), sink);
        use(c.getIssuerEncoding(), sink);
        use(c.getSubjectEncoding(), sink);
        use(c.getSerialNumberEncoding(), sink);
        use(c.getSubjectPublicKeyInfoEncoding(), sink);
        use(c.getSignatureEncoding(), sink);
      }
      if (r.hasPrivateKey()) use(r.getPrivateKey().getEncryptedData(), sink);
      break;
    }
    case 1: {
      VELASNKeyPairRecord r;
      r.read(der);
      show(r);
      (void)r.write();
      if (r.hasKeyPair()) {
        use(r.getKeyPair().getSubjectPublicKeyInfoEncoding(), sink);
        use(r.getKeyPair().getPrivateKeyEncoding(), sink);
      }
      if (r.hasCertificationRequest()) {
        use(r.getCertificationRequest().getSubjectEncoding(), sink);
        use(r.getCertificationRequest().getSubjectPublicKeyInfoEncoding(), sink);
      }
      break;
    }
    case 2: {
      VELASNCRLRecord r;
      r.read(der);
      show(r);
      (void)r.write();
      if (r.hasCRL()) {
        use(r.getCRL().getTBSCertListEncoding(), sink);
        use(r.getCRL().getIssuerEncoding(), sink);
        use(r.getCRL().getSignatureEncoding(), sink);
      }
      break;
    }
    case 3: {
      VELASNCertificate c;
      c.read(der);
      show(c);
      (void)c.getVersion();
      (void)c.getTBSCertificate();
      (void)c.getSignature();
      (void)c.getSerialNumber();
      (void)c.getIssuer().compare(c.getSubject());
      (void)c.getSubjectPublicKeyInfo();
      try {
        c.validate();
      } catch (const VELDBException&) {
      }
      break;
    }
    case 4: {
      VELASNCertificateList c;
      c.read(der);
      show(c);
      (void)c.getTBSCertList();
      (void)c.getSignature();
      (void)c.getIssuer().compare(c.getIssuer());
      try {
        c.validate();
      } catch (const VELDBException&) {
      }
      break;
    }
    case 5: {
      VELASNCertificationRequest c;
      c.read(der);
      show(c);
      (void)c.getSubject();
      (void)c.getSubjectPublicKeyInfo();
      try {
        c.validate();
      } catch (const VELDBException&) {
      }
      break;
    }
    case 6: {
      VELASNEncryptedPrivateKeyInfo k;
      k.read(der);
      use(k.getEncryptionAlgorithmEncoding(), sink);
      use(k.getEncryptedData(), sink);
      try {
        k.validate();
      } catch (const VELDBException&) {
      }
      break;
    }
    case 7: {
      VELASNKeyPair k;
      k.read(der);
      (void)k.getSubjectPublicKeyInfo();
      (void)k.getPrivateKey();
      break;
    }
    case 8: {
      VELASNSubjectPublicKeyInfo k;
      k.read(der);
      show(k);
      break;
    }
    case 9: {
      VELASNx500Name a;
      a.read(der);
      show(a);
      VELASNx500Name b(a);
      (void)a.compare(b);
      break;
    }
    case 10: {
      VELASNIssuerAndSerialNumber i;
      i.read(der);
      show(i);
      break;
    }
    case 11: {
      VELASNTBSCertificate t;
      t.read(der);
      show(t);
      break;
    }
    case 12: {
      VELASNTBSCertList t;
      t.read(der);
      show(t);
      break;
    }
    case 13: {
      VELASNBitString b;
      b.read(der);
      (void)b.getUnusedBits();
      show(b);
      break;
    }
    case 14: {
      VELASNInteger i;
      i.read(der);
      show(i);
      (void)i.write();
      break;
    }
    case 15: {
      VELASNLabelString l;
      l.read(der);
      show(l);
      break;
    }
    default: {
      // The slot layouts that hold the records.
      FileDBBuffer slot(der.length() == 0 ? 1 : der.length());
      if (der.length() > 0) slot.put(der.data(), der.length());
      slot.setPosition(0);
      switch (selector % 3) {
        case 0: {
          FileDBKeyRecordFields f(slot);
          (void)f;
          break;
        }
        case 1: {
          FileDBKeyPairRecordFields f(slot);
          (void)f;
          break;
        }
        default: {
          FileDBCRLRecordFields f(slot);
          (void)f;
          break;
        }
      }
      break;
    }
  }
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned selector = data[0] % 19;
  try {
    decode(selector, VELASNCBuffer(data + 1, size - 1));
  } catch (const VELDBException&) {
  }
  return 0;
}
