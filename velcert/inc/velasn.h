// velasn.h -- ASN.1 values of the companion library.
//
// `VELASNObject` is the base of every ASN.1 value the database stores, looks
// up or returns: it reads itself from DER, writes its DER, names its class
// and prints itself.  The value types here are the small ones: INTEGER
// (arbitrary size), UTF8String labels, and the "exact DER" parts of X.509
// structures -- BIT STRING, Name, SubjectPublicKeyInfo and
// IssuerAndSerialNumber.  An exact-DER part keeps the bytes it was read from
// and gives back exactly those bytes, never a re-encoding: the database keys
// its indexes by SHA-1 digests of these bytes, so a re-encoding would move a
// record out of reach.  The certificate-level structures that hand out these
// parts are in `velasnx509.h`.
//
// Every `read` takes exactly one DER element filling the whole buffer, and
// leaves the object unchanged when it throws (0x8B67A with a message).
#ifndef VELCERT_VELASN_H
#define VELCERT_VELASN_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <utility>

#include "velbuffer.h"
#include "velder.h"
#include "velstring.h"

class VELASNObject {
 public:
  // CREATORS
  virtual ~VELASNObject() = default;

  // MANIPULATORS
  // Replaces the value by the one DER element that fills `der`.  Throws
  // `VELDBException` 0x8B67A on malformed or unexpected input; the object is
  // then unchanged.
  virtual void read(const VELASNCBuffer& der) = 0;

  // ACCESSORS
  // The DER encoding.  Throws 0x8B67A when the value is incomplete.
  virtual VELBuffer write() const = 0;
  // True for this object's class name and the names of its bases.
  virtual bool isKindOf(const VELString& name) const { return name == getClassName(); }
  virtual VELString getInstanceName() const = 0;
  virtual std::ostream& display(std::ostream& out) const = 0;
  // A new copy, owned by the caller.
  virtual VELASNObject* clone() const = 0;
  // For values that hold their encoding as one run of bytes: those bytes (equal
  // to `write()`); null otherwise.  Lets digests avoid a copy.
  virtual const VELBuffer* getExactEncoding() const { return nullptr; }

  static VELString getClassName() { return "VELASNObject"; }
};

inline std::ostream& operator<<(std::ostream& out, const VELASNObject& o) { return o.display(out); }

// INTEGER of any size.  Keeps its content octets exactly as read (so a
// serial number read from a certificate writes back unchanged); the setters
// store the shortest two's-complement form.
class VELASNInteger : public VELASNObject {
 public:
  // CREATORS
  VELASNInteger() { setValue(0); }
  explicit VELASNInteger(long long value) { setValue(value); }

  // MANIPULATORS
  void setValue(long long value);
  void setUnsignedValue(unsigned long long value);
  // Two's-complement big-endian content octets (at least one); throws 0x8B67A
  // when empty.
  void setContent(const VELASNCBuffer& content);
  void read(const VELASNCBuffer& der) override;

  // ACCESSORS
  bool isNegative() const { return (d_content[0] & 0x80) != 0; }
  // The value; throws 0x8B67A when it does not fit.
  long long getValue() const;
  unsigned long long getUnsignedValue() const;
  // True when the value is in 0 .. 2^32 - 1.
  bool fitsUnsigned32() const;
  const VELBuffer& getContent() const { return d_content; }
  VELBuffer write() const override;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  // Decimal when the value fits 64 bits, else "0x" and the content in hex.
  std::ostream& display(std::ostream& out) const override;
  VELASNObject* clone() const override { return new VELASNInteger(*this); }
  static VELString getClassName() { return "VELASNInteger"; }

  bool operator==(const VELASNInteger& o) const { return d_content == o.d_content; }

 private:
  // DATA
  VELBuffer d_content;  // never empty
};

// A record label: UTF8String.  The bytes are kept as given.
class VELASNLabelString : public VELASNObject {
 public:
  // CREATORS
  VELASNLabelString() = default;
  explicit VELASNLabelString(const VELString& value) : d_value(value) {}

  // MANIPULATORS
  void setValue(const VELString& value) { d_value = value; }
  void read(const VELASNCBuffer& der) override;

  // ACCESSORS
  const VELString& getValue() const { return d_value; }
  VELBuffer write() const override;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  std::ostream& display(std::ostream& out) const override;
  VELASNObject* clone() const override { return new VELASNLabelString(*this); }
  static VELString getClassName() { return "VELASNLabelString"; }

 private:
  // DATA
  VELString d_value;
};

// Base of the values that keep their exact DER.  A default-constructed value
// is empty; `write` of an empty value throws 0x8B67A.  Derived classes check
// their element's tag and structure and note where their parts lie.
class VELASNEncodedObject : public VELASNObject {
 public:
  // MANIPULATORS
  void read(const VELASNCBuffer& der) override;
  // Overwrites the encoding with zeros and empties the value (for encodings
  // that hold key material, even encrypted).
  void wipe();

  // ACCESSORS
  bool empty() const { return d_der.empty(); }
  // The exact encoding (empty for an empty value).
  VELASNCBuffer getEncoding() const { return d_der.get(); }
  VELBuffer write() const override;
  const VELBuffer* getExactEncoding() const override { return d_der.empty() ? nullptr : &d_der; }
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNObject::isKindOf(name);
  }
  // The instance name and the encoding in hexadecimal.
  std::ostream& display(std::ostream& out) const override;
  static VELString getClassName() { return "VELASNEncodedObject"; }

  // Byte-exact equality of the encodings.
  bool operator==(const VELASNEncodedObject& o) const { return d_der == o.d_der; }
  bool operator!=(const VELASNEncodedObject& o) const { return d_der != o.d_der; }

 protected:
  // Where a part lies inside the encoding.
  struct Slice {
    std::size_t offset = 0;
    std::size_t length = 0;
  };

  // CREATORS
  // `tag` is the identifier octet the element must carry; `context` (a string
  // literal) names the type in error messages.
  VELASNEncodedObject(unsigned char tag, const char* context) : d_tag(tag), d_context(context) {}

  // MANIPULATORS
  // Called by `read` with the element, already checked for its tag and for a
  // well-formed structure, inside the buffer that will become the encoding.
  // Throws 0x8B67A to refuse it; must change no member before it has
  // succeeded.
  virtual void sliceParts(const VELDERElement& element);

  // ACCESSORS
  VELASNCBuffer part(const Slice& s) const { return VELASNCBuffer(d_der.data() + s.offset, s.length); }
  static Slice sliceOf(const VELDERElement& whole, const VELDERElement& inner) {
    Slice s;
    s.offset = static_cast<std::size_t>(inner.start - whole.start);
    s.length = inner.totalLength();
    return s;
  }
  const char* context() const { return d_context; }
  void requireValue() const;

  // An element that a SEQUENCE must hold: its tag, and its name for errors.
  struct Expected {
    unsigned char tag;
    const char* what;
  };
  // Reads the SEQUENCE `e` into `out`, which must hold exactly the elements
  // of `expected`, in order; throws 0x8B67A otherwise.
  void childrenOf(const VELDERElement& e, std::initializer_list<Expected> expected, VELDERElement* out) const;
  // Decodes `der` as a T, validates it with OpenSSL and only then puts it
  // in `target`: a refused encoding leaves `target` as it was.
  template <class T>
  static void replaceChecked(T& target, const VELASNCBuffer& der) {
    T checked(der);
    checked.validate();
    target = std::move(checked);
  }

 private:
  // DATA
  unsigned char d_tag;
  const char* d_context;
  VELBuffer d_der;
};

// BIT STRING, such as the signature value of a certificate or CRL.
class VELASNBitString : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNBitString() : VELASNEncodedObject(VELDER::kBitString, "BIT STRING") {}
  // The BIT STRING of `bytes` with `unusedBits` (0 to 7; 0 when `bytes` is
  // empty) unused bits in the last byte; throws 0x8B67A otherwise.
  VELASNBitString(const VELASNCBuffer& bytes, unsigned unusedBits);

  // ACCESSORS
  unsigned getUnusedBits() const;
  // The bit bytes, without the unused-bits octet.
  VELASNCBuffer getBits() const;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNBitString(*this); }
  static VELString getClassName() { return "VELASNBitString"; }

 protected:
  void sliceParts(const VELDERElement& element) override;
};

// X.500 Name (SEQUENCE OF RelativeDistinguishedName), exact DER.
class VELASNx500Name : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNx500Name() : VELASNEncodedObject(VELDER::kSequence, "Name") {}
  explicit VELASNx500Name(const VELASNCBuffer& der) : VELASNx500Name() { read(der); }

  // ACCESSORS
  // Negative, zero or positive, comparing the names in canonical form: string
  // types unified, letter case and white space folded (OpenSSL's canonical
  // name encoding).  Two encodings of one name compare 0.  A name that
  // OpenSSL cannot decode compares by its exact bytes (and then is equal only
  // to an identical encoding).
  int compare(const VELASNx500Name& other) const;
  // One line in the RFC 2253 form, or the hex encoding when it does not decode.
  VELString toText() const;
  std::ostream& display(std::ostream& out) const override;
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNx500Name(*this); }
  static VELString getClassName() { return "VELASNx500Name"; }

 protected:
  void sliceParts(const VELDERElement& element) override;
};

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier,
//                                     subjectPublicKey BIT STRING }, exact DER.
class VELASNSubjectPublicKeyInfo : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNSubjectPublicKeyInfo() : VELASNEncodedObject(VELDER::kSequence, "SubjectPublicKeyInfo") {}
  explicit VELASNSubjectPublicKeyInfo(const VELASNCBuffer& der) : VELASNSubjectPublicKeyInfo() { read(der); }

  // MANIPULATORS
  // `read` followed by a full decode with OpenSSL; throws 0x8B67A when the
  // key does not decode.
  void setChecked(const VELASNCBuffer& der);

  // ACCESSORS
  // Decodes the key with OpenSSL (costly); throws 0x8B67A on failure.
  void validate() const;
  VELASNCBuffer getAlgorithm() const { return part(d_algorithm); }
  VELASNCBuffer getPublicKeyBits() const { return part(d_key); }
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNSubjectPublicKeyInfo(*this); }
  static VELString getClassName() { return "VELASNSubjectPublicKeyInfo"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  // DATA
  Slice d_algorithm;
  Slice d_key;
};

// IssuerAndSerialNumber ::= SEQUENCE { issuer Name, serialNumber INTEGER },
// exact DER.  Built from the exact issuer and serial encodings of a
// certificate (`VELASNUtility::getIssuerAndSerialNumber`).
class VELASNIssuerAndSerialNumber : public VELASNEncodedObject {
 public:
  // CREATORS
  VELASNIssuerAndSerialNumber() : VELASNEncodedObject(VELDER::kSequence, "IssuerAndSerialNumber") {}
  // From the exact DER of an issuer Name and of a serial INTEGER; throws
  // 0x8B67A when either is malformed.
  VELASNIssuerAndSerialNumber(const VELASNCBuffer& issuerDER, const VELASNCBuffer& serialDER);
  VELASNIssuerAndSerialNumber(const VELASNx500Name& issuer, const VELASNInteger& serial);

  // ACCESSORS
  VELASNx500Name getIssuer() const;
  VELASNInteger getSerialNumber() const;
  VELASNCBuffer getIssuerEncoding() const { return part(d_issuer); }
  VELASNCBuffer getSerialNumberEncoding() const { return part(d_serial); }
  bool isKindOf(const VELString& name) const override {
    return name == getClassName() || VELASNEncodedObject::isKindOf(name);
  }
  VELString getInstanceName() const override { return getClassName(); }
  VELASNObject* clone() const override { return new VELASNIssuerAndSerialNumber(*this); }
  static VELString getClassName() { return "VELASNIssuerAndSerialNumber"; }

 protected:
  void sliceParts(const VELDERElement& element) override;

 private:
  // DATA
  Slice d_issuer;
  Slice d_serial;
};

#endif
