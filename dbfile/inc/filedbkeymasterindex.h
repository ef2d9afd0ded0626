// filedbkeymasterindex.h -- every in-memory index of one open key table.
//
// Unique: label, signature digest, unsigned-certificate digest,
// issuer-and-serial digest, and the record-ID map.  Multi: subject-name
// digest and public-key digest.  The keys are the key table's description
// (filedbkeystorage.cpp); the indexes are the generic master index's.
#ifndef DBFILE_FILEDBKEYMASTERINDEX_H
#define DBFILE_FILEDBKEYMASTERINDEX_H

#include "filedbmasterindex.h"
#include "filedbkeyrecordfields.h"

using FileDBKeyIndexEntry = FileDBIndexEntry;

class FileDBKeyMasterIndex : public FileDBMasterIndex<FileDBKeyRecordFields> {
 public:
  // The table's indexes, empty.
  FileDBKeyMasterIndex();
  ~FileDBKeyMasterIndex();
};

#endif
