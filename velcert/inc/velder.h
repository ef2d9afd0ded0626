// velder.h -- a small, bounded DER reader and writer.
//
// The record envelopes of the companion library and the slicing of exact part
// encodings out of certificates, CRLs and requests go through this reader; it
// never parses deeply (OpenSSL does that where a caller hands in new content).
// The reader works on a borrowed byte range and hands out views into it.
//
// What it accepts, and why:
// * one identifier octet (tag numbers 0 to 30); the high-tag-number form is
//   refused -- nothing the database stores needs it;
// * definite lengths only: the indefinite form (0x80) is BER, not DER;
// * long-form lengths of at most 4 octets (every stored object is below
//   4 GiB), without a leading zero octet and never for a length below 128,
//   since DER demands the shortest form;
// * an element never extends past the range that holds it;
// * constructed elements nest at most `VELDER::kMaxDepth` levels deep.
// Every refusal is a `VELDBException` 0x8B67A whose message names the object
// being read (the `context` given to the reader) and the fault.
#ifndef VELCERT_VELDER_H
#define VELCERT_VELDER_H

#include <cstddef>
#include <cstdint>

#include "velbuffer.h"

namespace VELDER {
// Identifier octets used by the companion library.
constexpr unsigned char kBoolean = 0x01;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kBitString = 0x03;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kNull = 0x05;
constexpr unsigned char kOid = 0x06;
constexpr unsigned char kUTF8String = 0x0C;
constexpr unsigned char kPrintableString = 0x13;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kConstructedBit = 0x20;
// [n] constructed context-specific (EXPLICIT tagging, IMPLICIT SEQUENCE/SET).
constexpr unsigned char contextConstructed(unsigned n) { return static_cast<unsigned char>(0xA0 | n); }
// [n] primitive context-specific.
constexpr unsigned char contextPrimitive(unsigned n) { return static_cast<unsigned char>(0x80 | n); }

// Deepest nesting of constructed elements that is read (the outermost
// element is level 1).
constexpr unsigned kMaxDepth = 32;
// Largest content length that is read or written.
constexpr std::uint64_t kMaxLength = 0xFFFFFFFFULL;
}  // namespace VELDER

// One TLV element: a view into the reader's range.
struct VELDERElement {
  unsigned char tag = 0;
  const unsigned char* start = nullptr;  // first identifier octet
  std::size_t headerLength = 0;          // identifier and length octets
  std::size_t contentLength = 0;

  const unsigned char* content() const { return start + headerLength; }
  std::size_t totalLength() const { return headerLength + contentLength; }
  bool isConstructed() const { return (tag & VELDER::kConstructedBit) != 0; }
  // The whole TLV, exactly as encoded.
  VELASNCBuffer encoding() const { return VELASNCBuffer(start, totalLength()); }
  // The content octets only.
  VELASNCBuffer value() const { return VELASNCBuffer(content(), contentLength); }
};

class VELDERReader {
 public:
  // CREATORS
  // Reads the elements that follow one another in `[data, data + length)`.
  // `context` (a string literal, not copied) names the object in messages;
  // `depth` is the nesting level of the range (0 for a top-level buffer).
  VELDERReader(const unsigned char* data, std::size_t length, const char* context, unsigned depth = 0);
  VELDERReader(const VELASNCBuffer& range, const char* context, unsigned depth = 0);

  // MANIPULATORS
  // The next element; throws 0x8B67A when no element is left or the element is
  // malformed (see the file comment).
  VELDERElement next();
  // The next element, which must carry `tag`; `what` names it in the message.
  VELDERElement next(unsigned char tag, const char* what);
  // When the next element carries `tag`, reads it into `out` and returns true;
  // otherwise leaves the reader unchanged and returns false (also at the end).
  bool nextIf(unsigned char tag, VELDERElement& out);

  // ACCESSORS
  bool atEnd() const { return d_pos == d_end; }
  // The tag of the next element; throws 0x8B67A at the end.
  unsigned char peekTag() const;
  // A reader over the content of `element`, one level deeper; throws 0x8B67A
  // when `element` is primitive or the depth would exceed `VELDER::kMaxDepth`.
  VELDERReader enter(const VELDERElement& element) const;
  // Throws 0x8B67A "... trailing data ..." unless every byte was read.
  void expectEnd() const;
  const char* context() const { return d_context; }
  unsigned depth() const { return d_depth; }

  // Reads the single element that must fill `range` exactly and returns it.
  static VELDERElement readSingle(const VELASNCBuffer& range, const char* context);
  // Walks every constructed element inside `element` (recursively, bounded by
  // `VELDER::kMaxDepth`, counting `element` at level `depth` + 1) and checks
  // that each content is a well-formed run of elements.  Throws 0x8B67A.
  static void checkStructure(const VELDERElement& element, const char* context, unsigned depth = 0);

 private:
  // DATA
  const unsigned char* d_pos;
  const unsigned char* d_end;
  const char* d_context;
  unsigned d_depth;
};

// Encoding helpers: each appends DER to `out`.
class VELDERWriter {
 public:
  // Identifier and length octets for `length` content octets (shortest form).
  // Throws 0x8B67A when `length` exceeds `VELDER::kMaxLength`.
  static void appendHeader(VELBuffer& out, unsigned char tag, std::uint64_t length);
  // A whole element.
  static void appendElement(VELBuffer& out, unsigned char tag, const void* content, std::size_t length);
  static void appendElement(VELBuffer& out, unsigned char tag, const VELASNCBuffer& content);
  // Bytes that already are DER (an exact part encoding).
  static void appendRaw(VELBuffer& out, const VELASNCBuffer& der);
  // `tag` around `content`.
  static VELBuffer wrap(unsigned char tag, const VELBuffer& content);
};

#endif
