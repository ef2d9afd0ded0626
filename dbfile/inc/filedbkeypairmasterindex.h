// filedbkeypairmasterindex.h -- every in-memory index of one open key-pair
// table.
//
// Unique: label and public-key digest, plus the record-ID map.  The keys
// are the key-pair table's description (filedbkeypairstorage.cpp); the
// indexes are the generic master index's.
#ifndef DBFILE_FILEDBKEYPAIRMASTERINDEX_H
#define DBFILE_FILEDBKEYPAIRMASTERINDEX_H

#include "filedbmasterindex.h"
#include "filedbkeypairrecordfields.h"

using FileDBKeyPairIndexEntry = FileDBIndexEntry;

class FileDBKeyPairMasterIndex : public FileDBMasterIndex<FileDBKeyPairRecordFields> {
 public:
  // The table's indexes, empty.
  FileDBKeyPairMasterIndex();
  ~FileDBKeyPairMasterIndex();
};

#endif
