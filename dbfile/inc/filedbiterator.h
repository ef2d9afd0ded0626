// filedbiterator.h -- the position of a walk over the slots of one table.
//
// Holds a slot index and the class name of the table storage it belongs
// to; turns the index into a byte position from the current header values,
// so a walk stays valid across appended slots and a change of record
// length.  Skipping deleted slots and advancing are done by its users.
#ifndef DBFILE_FILEDBITERATOR_H
#define DBFILE_FILEDBITERATOR_H

#include <cstdint>

#include "veldbmanager.h"
#include "velstring.h"

class FileDBIterator : public VELDBIterator {
 public:
  // CREATORS
  explicit FileDBIterator(const VELConstString& tableName);
  ~FileDBIterator() override;

  // ACCESSORS
  // The byte position of the slot at `d_index`, or 0 when the walk is past
  // the last of `recordsAllocated` slots.
  std::uint64_t getFilePosition(unsigned int headerSize, unsigned int recordLength,
                                unsigned int recordsAllocated) const;
  bool isKindOf(const VELString& name) const override { return name == getClassName(); }
  VELString getInstanceName() const override { return getClassName(); }
  static VELString getClassName() { return "FileDBIterator"; }

  // DATA (read and advanced directly by the tables and the manager)
  std::uint64_t d_index;
  VELConstString d_tableName;
};

#endif
