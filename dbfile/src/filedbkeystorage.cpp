#include "filedbkeystorage.h"

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"

namespace {

const char kWrongType[] = "asnObj is invalid - wrong type";

}  // namespace

// The order is the order an update checks them in; the label comes first
// and finds a record renumbered in memory.
const FileDBKeyTableDescription::UniqueKey FileDBKeyTableDescription::kUniqueKeys[] = {
    {VELDBManager::KeyLabel, &FileDBKeyMasterIndex::d_labelIndex, &FileDBKeyRecordFields::label,
     &FileDBKeyIndexEntry::label, 0x8C245},
    {VELDBManager::KeySignature, &FileDBKeyMasterIndex::d_signatureIndex, &FileDBKeyRecordFields::signatureHash,
     &FileDBKeyIndexEntry::signatureHash, 0x8C246},
    {VELDBManager::KeyTBSCertificate, &FileDBKeyMasterIndex::d_unsignedCertIndex,
     &FileDBKeyRecordFields::unsignedCertHash, &FileDBKeyIndexEntry::unsignedCertHash, 0x8C247},
    {VELDBManager::KeyIssuerAndSerialNumber, &FileDBKeyMasterIndex::d_issuerAndSerialIndex,
     &FileDBKeyRecordFields::issuerAndSerialNumberHash, &FileDBKeyIndexEntry::issuerAndSerialNumberHash, 0x8C248},
};
const std::size_t FileDBKeyTableDescription::kUniqueKeyCount =
    sizeof FileDBKeyTableDescription::kUniqueKeys / sizeof FileDBKeyTableDescription::kUniqueKeys[0];

FileDBKeyRecordFields FileDBKeyTableDescription::makeFields(const VELKRYAlgorithmFactory* factory,
                                                            const VELASNKeyRecord& record) {
  return FileDBKeyRecordFields(factory, record, FileDBStorage::kRecordInUse, 0);
}

FileDBKeyRecordFields FileDBKeyTableDescription::reindex(const VELKRYAlgorithmFactory* factory,
                                                         FileDBKeyRecordFields& stored, bool& renumbered) {
  VELASNKeyRecord record;
  VELASNUtility::setDEREncoding(record, stored.encoding);
  if (renumbered || VELDBUtility::asnToRecordID(record.getRecordID()) != stored.recordID) {
    record.setRecordID(stored.recordID);
    renumbered = true;
    return FileDBKeyRecordFields(factory, record, stored.recordFlag, stored.issuerRecordID);
  }
  return FileDBKeyRecordFields(factory, record, stored.recordFlag, stored.issuerRecordID,
                               std::move(stored.encoding));
}

VELBuffer FileDBKeyTableDescription::lookupDigest(UniqueIndex index, const VELASNObject& key,
                                                  const VELKRYAlgorithmFactory* factory) {
  switch (index) {
    case VELDBManager::KeyLabel:
      return VELDBUtility::asnToLabelBuffer(VELDBUtility::downcastLabelString(key));
    case VELDBManager::KeySignature:
      return VELDBUtility::getSHA1Digest(VELDBUtility::downcastBitString(key), factory);
    case VELDBManager::KeyTBSCertificate:
      return VELDBUtility::getSHA1Digest(VELDBUtility::downcastTBSCertificate(key), factory);
    case VELDBManager::KeyIssuerAndSerialNumber:
      return VELDBUtility::getSHA1Digest(VELDBUtility::downcastIssuerAndSerialNumber(key), factory);
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
}

FileDBMultiIndex* FileDBKeyTableDescription::multiIndexFor(MasterIndex& master, MultiIndex index,
                                                           const VELASNObject& key,
                                                           const VELKRYAlgorithmFactory* factory, VELBuffer& digest) {
  switch (index) {
    case VELDBManager::KeyAllRecords:
      return nullptr;
    case VELDBManager::KeySubjectName:
      digest = VELDBUtility::getSHA1Digest(VELDBUtility::downcastX500name(key), factory);
      return &master.d_subjectNameIndex;
    case VELDBManager::KeyPublicKeyInfo:
      digest = VELDBUtility::getSHA1Digest(VELDBUtility::downcastSubjectPublicKeyInfo(key), factory);
      return &master.d_publicKeyIndex;
    default:
      VELDB_THROW(VELDBError::kBadArgument, kWrongType);
  }
}

bool FileDBKeyTableDescription::valueMatches(const VELASNKeyRecord& record, const VELASNObject& key) {
  return record.hasCertificate() &&
         record.getCertificate().getSubject().compare(VELDBUtility::downcastX500name(key)) == 0;
}
