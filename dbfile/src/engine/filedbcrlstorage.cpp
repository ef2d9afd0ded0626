#include "filedbcrlstorage.h"

#include "filedbtableimpl.h"

#include "veldbutility.h"

namespace {

FileDBCRLRecordFields makeFields(const VELKRYAlgorithmFactory* factory, const VELASNCRLRecord& record) {
  return FileDBCRLRecordFields(factory, record, FileDBStorage::kRecordInUse);
}

// CRL slots are indexed as stored: no decoding.
FileDBCRLRecordFields asStored(const VELKRYAlgorithmFactory*, FileDBCRLRecordFields& stored, bool&) { return stored; }

using CRLs = FileDBCRLStorage::Description;
using Master = FileDBCRLMasterIndex;

}  // namespace

// A to-be-signed part taken is kDuplicateToBeSigned on update, kDuplicateCRLToBeSigned on insert (the
// master index's check).
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
          CRLs::UniqueKey{VELDBManager::CRLLabel, &Master::d_labelIndex, &FileDBCRLRecordFields::label,
                          &FileDBCRLIndexEntry::label, &FileDBTableKeys::label, VELDBError::kDuplicateLabel},
          CRLs::UniqueKey{VELDBManager::CRLSignature, &Master::d_signatureIndex, &FileDBCRLRecordFields::signatureHash,
                          &FileDBCRLIndexEntry::signatureHash,
                          &FileDBTableKeys::sha1<VELASNBitString, &VELDBUtility::downcastBitString>, VELDBError::kDuplicateSignature},
          CRLs::UniqueKey{VELDBManager::CRLTBSCertList, &Master::d_unsignedCRLIndex,
                          &FileDBCRLRecordFields::unsignedCRLHash, &FileDBCRLIndexEntry::unsignedCRLHash,
                          &FileDBTableKeys::sha1<VELASNTBSCertList, &VELDBUtility::downcastTBSCertList>, VELDBError::kDuplicateToBeSigned},
      },
      {
          CRLs::MultiKey{VELDBManager::CRLAllRecords, nullptr, nullptr, nullptr},
          CRLs::MultiKey{VELDBManager::CRLIssuerName, &Master::d_issuerNameIndex,
                         &FileDBTableKeys::sha1<VELASNx500Name, &VELDBUtility::downcastX500name>, nullptr},
      },
      &makeFields,
      &asStored,
  };
  return table;
}

template class FileDBTable<FileDBCRLTableTypes>;
