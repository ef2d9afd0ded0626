#include "velder.h"

#include <string>

#include "velexception.h"
#include "veltrace.h"

namespace {

[[noreturn]] void fail(const char* context, const char* fault) {
  VELDB_THROW(VELDBError::kBadArgument, std::string(context) + ": " + fault);
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
  const std::size_t remaining = static_cast<std::size_t>(d_end - d_pos);
  if (remaining == 0) fail(d_context, "DER element expected, end of data found");
  if (remaining < 2) fail(d_context, "truncated DER element header");
  VELDERElement e;
  e.start = d_pos;
  e.tag = d_pos[0];
  if ((e.tag & 0x1F) == 0x1F) fail(d_context, "DER high tag numbers are not supported");
  const unsigned char first = d_pos[1];
  std::uint64_t length = 0;
  std::size_t header = 2;
  if (first < 0x80) {
    length = first;
  } else if (first == 0x80) {
    fail(d_context, "indefinite DER length");
  } else {
    const std::size_t n = first & 0x7F;
    if (n > 4) fail(d_context, "DER length too large");
    if (remaining < 2 + n) fail(d_context, "truncated DER length");
    if (d_pos[2] == 0) fail(d_context, "non-minimal DER length (leading zero octet)");
    for (std::size_t i = 0; i < n; ++i) length = (length << 8) | d_pos[2 + i];
    if (length < 0x80) fail(d_context, "non-minimal DER length (long form below 128)");
    header = 2 + n;
  }
  if (length > remaining - header) fail(d_context, "DER length exceeds the data");
  e.headerLength = header;
  e.contentLength = static_cast<std::size_t>(length);
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
  // Depth is bounded by kMaxDepth, so the recursion is too.
  VELDERReader outer(nullptr, 0, context, depth);
  VELDERReader inner = outer.enter(element);
  while (!inner.atEnd()) {
    VELDERElement child = inner.next();
    checkStructure(child, context, depth + 1);
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
