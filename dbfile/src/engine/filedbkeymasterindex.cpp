#include "filedbkeymasterindex.h"

#include "filedbkeystorage.h"
#include "veltrace.h"

FileDBKeyMasterIndex::FileDBKeyMasterIndex()
    : FileDBMasterIndex(FileDBKeyStorage::description().indexedUniqueKeys(),
                        FileDBKeyStorage::description().indexedMultiKeys()) {
  VEL_TRACE_SCOPE("FileDBKeyMasterIndex::ctor");
}

FileDBKeyMasterIndex::~FileDBKeyMasterIndex() { VEL_TRACE_SCOPE("FileDBKeyMasterIndex::dtor"); }
