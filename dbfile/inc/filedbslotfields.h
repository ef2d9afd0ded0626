// filedbslotfields.h -- what the three record layouts share.
//
// Every record slot begins the same way: its state (32-bit), the record ID
// (32-bit), then the record's DER encoding and its label, each a 32-bit
// length and that many bytes.  The layout's own fields follow.  These
// helpers read, write and print that head, and a layout's byte strings in
// slot order, so that each layout states only its list of fields.
#ifndef DBFILE_FILEDBSLOTFIELDS_H
#define DBFILE_FILEDBSLOTFIELDS_H

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <utility>

#include "filedbbuffer.h"
#include "velasnutility.h"
#include "velbuffer.h"

namespace FileDBSlotFields {

// With `encodingInSlot`, the encoding is not copied: that view is set to
// the DER in the slot's bytes and `encoding` is left as it is.
inline void readHead(FileDBBuffer& slot, std::uint32_t& flag, std::uint32_t& id, VELBuffer& encoding,
                     VELBuffer& label, VELASNCBuffer* encodingInSlot) {
  slot.setPosition(0);
  slot.get(flag);
  slot.get(id);
  if (encodingInSlot != nullptr) {
    slot.get(*encodingInSlot);
  } else {
    slot.get(encoding);
  }
  slot.get(label);
}

inline void readStrings(FileDBBuffer& slot, std::initializer_list<VELBuffer*> strings) {
  for (VELBuffer* string : strings) slot.get(*string);
}

inline void writeHead(FileDBBuffer& slot, std::uint32_t flag, std::uint32_t id, const VELBuffer& encoding,
                      const VELBuffer& label) {
  slot.reset();
  slot.put(flag);
  slot.put(id);
  slot.put(encoding);
  slot.put(label);
}

inline void writeStrings(FileDBBuffer& slot, std::initializer_list<const VELBuffer*> strings) {
  for (const VELBuffer* string : strings) slot.put(*string);
}

// Prints the head, with the record decoded as a `RECORD`.
template <class RECORD>
void displayHead(std::ostream& out, std::uint32_t flag, std::uint32_t id, const VELBuffer& encoding,
                 const VELBuffer& label) {
  out << "recordFlag:" << flag << std::endl;
  out << "recordID:" << id << std::endl;
  out << "encoding:" << encoding << std::endl;
  RECORD decoded;
  VELASNUtility::setDEREncoding(decoded, encoding);
  out << "decoded record:";
  decoded.display(out);
  out << std::endl;
  out << "label:" << label.toString() << " " << label << std::endl;
}

inline void displayStrings(std::ostream& out, std::initializer_list<std::pair<const char*, const VELBuffer*>> strings) {
  for (const auto& string : strings) out << string.first << ":" << *string.second << std::endl;
}

}  // namespace FileDBSlotFields

#endif
