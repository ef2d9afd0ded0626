#include "filedbcrlstorage.h"

#include "veldbutility.h"
#include "velexception.h"

// The order is the order an update checks them in; the label comes first
// and finds a record renumbered in memory.  A to-be-signed part taken is
// 0x8C247 on update (0x8C24A on insert, from the master index).
const FileDBCRLTableDescription::UniqueKey FileDBCRLTableDescription::kUniqueKeys[] = {
    {VELDBManager::CRLLabel, &FileDBCRLMasterIndex::d_labelIndex, &FileDBCRLRecordFields::label,
     &FileDBCRLIndexEntry::label, 0x8C245},
    {VELDBManager::CRLSignature, &FileDBCRLMasterIndex::d_signatureIndex, &FileDBCRLRecordFields::signatureHash,
     &FileDBCRLIndexEntry::signatureHash, 0x8C246},
    {VELDBManager::CRLTBSCertList, &FileDBCRLMasterIndex::d_unsignedCRLIndex, &FileDBCRLRecordFields::unsignedCRLHash,
     &FileDBCRLIndexEntry::unsignedCRLHash, 0x8C247},
};
const std::size_t FileDBCRLTableDescription::kUniqueKeyCount =
    sizeof FileDBCRLTableDescription::kUniqueKeys / sizeof FileDBCRLTableDescription::kUniqueKeys[0];

FileDBCRLRecordFields FileDBCRLTableDescription::makeFields(const VELKRYAlgorithmFactory* factory,
                                                            const VELASNCRLRecord& record) {
  return FileDBCRLRecordFields(factory, record, FileDBStorage::kRecordInUse);
}

FileDBCRLRecordFields FileDBCRLTableDescription::reindex(const VELKRYAlgorithmFactory*,
                                                         FileDBCRLRecordFields& stored, bool&) {
  return stored;
}

VELBuffer FileDBCRLTableDescription::lookupDigest(UniqueIndex index, const VELASNObject& key,
                                                  const VELKRYAlgorithmFactory* factory) {
  switch (index) {
    case VELDBManager::CRLLabel:
      return VELDBUtility::asnToLabelBuffer(VELDBUtility::downcastLabelString(key));
    case VELDBManager::CRLSignature:
      return VELDBUtility::getSHA1Digest(VELDBUtility::downcastBitString(key), factory);
    case VELDBManager::CRLTBSCertList:
      return VELDBUtility::getSHA1Digest(VELDBUtility::downcastTBSCertList(key), factory);
    default:
      VELDB_THROW(VELDBError::kBadArgument, "asnObj is invalid - wrong type");
  }
}

FileDBMultiIndex* FileDBCRLTableDescription::multiIndexFor(MasterIndex& master, MultiIndex index,
                                                           const VELASNObject& key,
                                                           const VELKRYAlgorithmFactory* factory, VELBuffer& digest) {
  switch (index) {
    case VELDBManager::CRLAllRecords:
      return nullptr;
    case VELDBManager::CRLIssuerName:
      digest = VELDBUtility::getSHA1Digest(VELDBUtility::downcastX500name(key), factory);
      return &master.d_issuerNameIndex;
    default:
      VELDB_THROW(VELDBError::kBadArgument, "asnObj is invalid - wrong type");
  }
}
