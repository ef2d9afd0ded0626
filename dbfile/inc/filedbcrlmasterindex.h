// filedbcrlmasterindex.h -- every in-memory index of one open CRL table.
//
// Unique: label, signature digest, to-be-signed digest, plus the record-ID
// map.  Multi: issuer-name digest (many CRLs share an issuer).  The keys
// are the CRL table's description (filedbcrlstorage.cpp); the indexes are
// the generic master index's.
#ifndef DBFILE_FILEDBCRLMASTERINDEX_H
#define DBFILE_FILEDBCRLMASTERINDEX_H

#include "filedbmasterindex.h"
#include "filedbcrlrecordfields.h"

using FileDBCRLIndexEntry = FileDBIndexEntry;

class FileDBCRLMasterIndex : public FileDBMasterIndex<FileDBCRLRecordFields> {
 public:
  // The table's indexes, empty.
  FileDBCRLMasterIndex();
  ~FileDBCRLMasterIndex();
};

#endif
