#include "filedbkeypairmasterindex.h"

#include "filedbkeypairstorage.h"
#include "veltrace.h"

FileDBKeyPairMasterIndex::FileDBKeyPairMasterIndex()
    : FileDBMasterIndex(FileDBKeyPairStorage::description().indexedUniqueKeys(),
                        FileDBKeyPairStorage::description().indexedMultiKeys()) {
  VEL_TRACE_SCOPE("FileDBKeyPairMasterIndex::ctor");
}

FileDBKeyPairMasterIndex::~FileDBKeyPairMasterIndex() { VEL_TRACE_SCOPE("FileDBKeyPairMasterIndex::dtor"); }
