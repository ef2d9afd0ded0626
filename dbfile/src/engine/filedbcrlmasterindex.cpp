#include "filedbcrlmasterindex.h"

#include "filedbcrlstorage.h"
#include "veltrace.h"

FileDBCRLMasterIndex::FileDBCRLMasterIndex()
    : FileDBMasterIndex(FileDBCRLStorage::description().indexedUniqueKeys(),
                        FileDBCRLStorage::description().indexedMultiKeys()) {
  VEL_TRACE_SCOPE("FileDBCRLMasterIndex::ctor");
}

FileDBCRLMasterIndex::~FileDBCRLMasterIndex() { VEL_TRACE_SCOPE("FileDBCRLMasterIndex::dtor"); }
