#include "filedbkeypairstorage.h"

#include "filedbtableimpl.h"

#include "velasnutility.h"
#include "veldbutility.h"

namespace {

FileDBKeyPairRecordFields makeFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyPairRecord& record) {
  return FileDBKeyPairRecordFields(factory, record, FileDBStorage::kRecordInUse);
}

// The keys are computed afresh from the decoded record, not taken from the
// slot.
FileDBKeyPairRecordFields reindex(const VELKRYAlgorithmFactory* factory, FileDBKeyPairRecordFields& stored,
                                  const VELASNCBuffer& encoding, bool& renumbered) {
  VELASNKeyPairRecord record(0);
  VELASNUtility::setDEREncoding(record, encoding);
  if (renumbered || VELDBUtility::asnToRecordID(record.getRecordID()) != stored.recordID) {
    record.setRecordID(stored.recordID);
  }
  return FileDBKeyPairRecordFields(factory, record, stored.recordFlag, VELBuffer());
}

using Pairs = FileDBKeyPairStorage::Description;

}  // namespace

template <>
const FileDBKeyPairStorage::Description& FileDBKeyPairStorage::description() {
  static const Description table{
      "FileDBKeyPairStorage",
      FileDBHeader::kKeyPairFileType,
      FileDBHeader::kKeyPairMinorVersion,
      0,
      true,
      VELDBManager::KeyPairRecordID,
      {
          Pairs::UniqueKey{VELDBManager::KeyPairLabel, &FileDBKeyPairRecordFields::label, &FileDBTableKeys::label,
                           VELDBError::kDuplicateLabel, VELDBError::kDuplicateLabel},
          Pairs::UniqueKey{
              VELDBManager::KeyPairPublicKeyInfo, &FileDBKeyPairRecordFields::subjectPublicKeyInfoHash,
              &FileDBTableKeys::sha1<VELASNSubjectPublicKeyInfo, &VELDBUtility::downcastSubjectPublicKeyInfo>,
              VELDBError::kDuplicatePublicKey, VELDBError::kDuplicatePublicKey},
      },
      {Pairs::MultiKey{VELDBManager::KeyPairAllRecords, nullptr, nullptr, nullptr}},
      &makeFields,
      &reindex,
  };
  return table;
}

template class FileDBTable<FileDBKeyPairTableTypes>;
