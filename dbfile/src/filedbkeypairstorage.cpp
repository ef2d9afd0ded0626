#include "filedbkeypairstorage.h"

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"

// The order is the order an update checks them in; the label comes first
// and finds a record renumbered in memory.
const FileDBKeyPairTableDescription::UniqueKey FileDBKeyPairTableDescription::kUniqueKeys[] = {
    {VELDBManager::KeyPairLabel, &FileDBKeyPairMasterIndex::d_labelIndex, &FileDBKeyPairRecordFields::label,
     &FileDBKeyPairIndexEntry::label, 0x8C245},
    {VELDBManager::KeyPairPublicKeyInfo, &FileDBKeyPairMasterIndex::d_publicKeyIndex,
     &FileDBKeyPairRecordFields::subjectPublicKeyInfoHash, &FileDBKeyPairIndexEntry::subjectPublicKeyInfoHash,
     0x8C249},
};
const std::size_t FileDBKeyPairTableDescription::kUniqueKeyCount =
    sizeof FileDBKeyPairTableDescription::kUniqueKeys / sizeof FileDBKeyPairTableDescription::kUniqueKeys[0];

FileDBKeyPairRecordFields FileDBKeyPairTableDescription::makeFields(const VELKRYAlgorithmFactory* factory,
                                                                    const VELASNKeyPairRecord& record) {
  return FileDBKeyPairRecordFields(factory, record, FileDBStorage::kRecordInUse);
}

FileDBKeyPairRecordFields FileDBKeyPairTableDescription::reindex(const VELKRYAlgorithmFactory* factory,
                                                                 FileDBKeyPairRecordFields& stored,
                                                                 bool& renumbered) {
  VELASNKeyPairRecord record(0);
  VELASNUtility::setDEREncoding(record, stored.encoding);
  if (renumbered || VELDBUtility::asnToRecordID(record.getRecordID()) != stored.recordID) {
    record.setRecordID(stored.recordID);
  }
  return FileDBKeyPairRecordFields(factory, record, stored.recordFlag);
}

VELBuffer FileDBKeyPairTableDescription::lookupDigest(UniqueIndex index, const VELASNObject& key,
                                                      const VELKRYAlgorithmFactory* factory) {
  switch (index) {
    case VELDBManager::KeyPairLabel:
      return VELDBUtility::asnToLabelBuffer(VELDBUtility::downcastLabelString(key));
    case VELDBManager::KeyPairPublicKeyInfo:
      return VELDBUtility::getSHA1Digest(VELDBUtility::downcastSubjectPublicKeyInfo(key), factory);
    default:
      VELDB_THROW(VELDBError::kBadArgument, "asnObj is invalid - wrong type");
  }
}

FileDBMultiIndex* FileDBKeyPairTableDescription::multiIndexFor(MasterIndex&, MultiIndex index, const VELASNObject&,
                                                               const VELKRYAlgorithmFactory*, VELBuffer&) {
  if (index != VELDBManager::KeyPairAllRecords) {
    VELDB_THROW(VELDBError::kBadArgument, "asnObj is invalid - wrong type");
  }
  return nullptr;
}
