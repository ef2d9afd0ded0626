#include "velder.h"

#include <string>

#include "velexception.h"
#include "veltrace.h"

namespace {

[[noreturn]] void fail(const char* context, const char* fault) {
  VELDB_THROW(VELDBError::kBadArgument, std::string(context) + ": " + fault);
}

// The element at `pos`, which must end by `end`.
inline VELDERElement readElement(const unsigned char* pos, const unsigned char* end, const char* context) {
  const std::size_t remaining = static_cast<std::size_t>(end - pos);
  if (remaining == 0) fail(context, "DER element expected, end of data found");
  if (remaining < 2) fail(context, "truncated DER element header");
  VELDERElement e;
  e.start = pos;
  e.tag = pos[0];
  if ((e.tag & 0x1F) == 0x1F) fail(context, "DER high tag numbers are not supported");
  const unsigned char first = pos[1];
  std::uint64_t length = 0;
  std::size_t header = 2;
  if (first < 0x80) {
    length = first;
  } else if (first == 0x80) {
    fail(context, "indefinite DER length");
  } else {
    const std::size_t n = first & 0x7F;
    if (n > 4) fail(context, "DER length too large");
    if (remaining < 2 + n) fail(context, "truncated DER length");
    if (pos[2] == 0) fail(context, "non-minimal DER length (leading zero octet)");
    for (std::size_t i = 0; i < n; ++i) length = (length << 8) | pos[2 + i];
    if (length < 0x80) fail(context, "non-minimal DER length (long form below 128)");
    header = 2 + n;
  }
  if (length > remaining - header) fail(context, "DER length exceeds the data");
  e.headerLength = header;
  e.contentLength = static_cast<std::size_t>(length);
  return e;
}

}  // namespace

VELDERReader::VELDERReader(const unsigned char* data, std::size_t length, const char* context, unsigned depth)
    : d_pos(data), d_end(data + length), d_context(context ? context : "DER"), d_depth(depth) {
  if (data == nullptr && length != 0) fail(d_context, "null data");
}

VELDERReader::VELDERReader(const VELASNCBuffer& range, const char* context, unsigned depth)
    : VELDERReader(range.data(), static_cast<std::size_t>(range.length()), context, depth) {}

unsigned char VELDERReader::peekTag() const {
  if (atEnd()) fail(d_context, "DER element expected, end of data found");
  return *d_pos;
}

VELDERElement VELDERReader::next() {
  const VELDERElement e = readElement(d_pos, d_end, d_context);
  d_pos += e.totalLength();
  return e;
}

VELDERElement VELDERReader::next(unsigned char tag, const char* what) {
  if (atEnd()) {
    VELDB_THROW(VELDBError::kBadArgument, std::string(d_context) + ": " + what + " missing");
  }
  if (*d_pos != tag) {
    VELDB_THROW(VELDBError::kBadArgument, std::string(d_context) + ": " + what + " has the wrong tag");
  }
  return next();
}

bool VELDERReader::nextIf(unsigned char tag, VELDERElement& out) {
  if (atEnd() || *d_pos != tag) return false;
  out = next();
  return true;
}

VELDERReader VELDERReader::enter(const VELDERElement& element) const {
  if (!element.isConstructed()) fail(d_context, "constructed DER element expected");
  if (d_depth + 1 > VELDER::kMaxDepth) fail(d_context, "DER nesting too deep");
  return VELDERReader(element.content(), element.contentLength, d_context, d_depth + 1);
}

void VELDERReader::expectEnd() const {
  if (!atEnd()) fail(d_context, "trailing data after DER element");
}

VELDERElement VELDERReader::readSingle(const VELASNCBuffer& range, const char* context) {
  VELDERReader r(range, context);
  VELDERElement e = r.next();
  r.expectEnd();
  return e;
}

void VELDERReader::checkStructure(const VELDERElement& element, const char* context, unsigned depth) {
  if (!element.isConstructed()) return;
  if (context == nullptr) context = "DER";
  if (depth + 1 > VELDER::kMaxDepth) fail(context, "DER nesting too deep");
  // A walk in document order with one open range per level: the same
  // checks, in the same order, as reading each level with its own reader.
  struct Range {
    const unsigned char* pos;
    const unsigned char* end;
  };
  Range open[VELDER::kMaxDepth];
  std::size_t top = 0;
  open[0] = {element.content(), element.content() + element.contentLength};
  for (;;) {
    Range& range = open[top];
    if (range.pos == range.end) {
      if (top == 0) return;
      --top;
      continue;
    }
    const VELDERElement child = readElement(range.pos, range.end, context);
    range.pos += child.totalLength();
    if (child.isConstructed()) {
      // The range being read lies at level depth + 1 + top.
      if (depth + top + 2 > VELDER::kMaxDepth) fail(context, "DER nesting too deep");
      open[++top] = {child.content(), child.content() + child.contentLength};
    }
  }
}

void VELDERWriter::appendHeader(VELBuffer& out, unsigned char tag, std::uint64_t length) {
  if (length > VELDER::kMaxLength) VELDB_THROW(VELDBError::kBadArgument, "DER: element too large to encode");
  unsigned char header[6];
  std::size_t n = 0;
  header[n++] = tag;
  if (length < 0x80) {
    header[n++] = static_cast<unsigned char>(length);
  } else {
    unsigned octets = 1;
    while (octets < 4 && (length >> (8 * octets)) != 0) ++octets;
    header[n++] = static_cast<unsigned char>(0x80 | octets);
    for (unsigned i = octets; i > 0; --i) header[n++] = static_cast<unsigned char>(length >> (8 * (i - 1)));
  }
  out.append(header, n);
}

void VELDERWriter::appendElement(VELBuffer& out, unsigned char tag, const void* content, std::size_t length) {
  appendHeader(out, tag, length);
  out.append(content, length);
}

void VELDERWriter::appendElement(VELBuffer& out, unsigned char tag, const VELASNCBuffer& content) {
  appendElement(out, tag, content.data(), static_cast<std::size_t>(content.length()));
}

void VELDERWriter::appendRaw(VELBuffer& out, const VELASNCBuffer& der) {
  out.append(der.data(), static_cast<std::size_t>(der.length()));
}

VELBuffer VELDERWriter::wrap(unsigned char tag, const VELBuffer& content) {
  VELBuffer out;
  appendElement(out, tag, content.data(), content.size());
  return out;
}
