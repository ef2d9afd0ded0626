#include "filedbcrlstorage.h"

#include "filedbtableimpl.h"

#include <utility>

#include "veldbutility.h"

namespace {

FileDBCRLRecordFields makeFields(const VELKRYAlgorithmFactory* factory, const VELASNCRLRecord& record) {
  return FileDBCRLRecordFields(factory, record, FileDBStorage::kRecordInUse);
}

// CRL slots are indexed as stored: no decoding.
FileDBCRLRecordFields asStored(const VELKRYAlgorithmFactory*, FileDBCRLRecordFields& stored, const VELASNCBuffer&,
                               bool&) {
  return std::move(stored);
}

using CRLs = FileDBCRLStorage::Description;

}  // namespace

template <>
const FileDBCRLStorage::Description& FileDBCRLStorage::description() {
  static const Description table{
      "FileDBCRLStorage",
      FileDBHeader::kCRLFileType,
      FileDBHeader::kCRLMinorVersion,
      0,
      false,
      VELDBManager::CRLRecordID,
      {
          CRLs::UniqueKey{VELDBManager::CRLLabel, &FileDBCRLRecordFields::label, &FileDBTableKeys::label,
                          VELDBError::kDuplicateLabel, VELDBError::kDuplicateLabel},
          CRLs::UniqueKey{VELDBManager::CRLSignature, &FileDBCRLRecordFields::signatureHash,
                          &FileDBTableKeys::sha1<VELASNBitString, &VELDBUtility::downcastBitString>,
                          VELDBError::kDuplicateSignature, VELDBError::kDuplicateSignature},
          CRLs::UniqueKey{VELDBManager::CRLTBSCertList, &FileDBCRLRecordFields::unsignedCRLHash,
                          &FileDBTableKeys::sha1<VELASNTBSCertList, &VELDBUtility::downcastTBSCertList>,
                          VELDBError::kDuplicateCRLToBeSigned, VELDBError::kDuplicateToBeSigned},
      },
      {
          CRLs::MultiKey{VELDBManager::CRLAllRecords, nullptr, nullptr, nullptr},
          CRLs::MultiKey{VELDBManager::CRLIssuerName, &FileDBCRLRecordFields::issuerNameHash,
                         &FileDBTableKeys::sha1<VELASNx500Name, &VELDBUtility::downcastX500name>, nullptr},
      },
      &makeFields,
      &asStored,
  };
  return table;
}

template class FileDBTable<FileDBCRLTableTypes>;
