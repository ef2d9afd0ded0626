#include "filedbkeystorage.h"

#include "filedbtableimpl.h"

#include <utility>

#include "velasnutility.h"
#include "veldbutility.h"

namespace {

FileDBKeyRecordFields makeFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyRecord& record) {
  return FileDBKeyRecordFields(factory, record, FileDBStorage::kRecordInUse, 0);
}

// Every key is computed afresh from the record decoded in the slot (a
// record whose own ID differs from its slot's counts as repaired).
FileDBKeyRecordFields reindex(const VELKRYAlgorithmFactory* factory, FileDBKeyRecordFields& stored,
                              const VELASNCBuffer& encoding, bool& renumbered) {
  VELASNKeyRecord record;
  VELASNUtility::setDEREncoding(record, encoding);
  if (renumbered || VELDBUtility::asnToRecordID(record.getRecordID()) != stored.recordID) {
    record.setRecordID(stored.recordID);
    renumbered = true;
  }
  return FileDBKeyRecordFields(factory, record, stored.recordFlag, stored.issuerRecordID, VELBuffer());
}

// A subject name that no digest finds is compared as a name.
bool sameSubject(const VELASNKeyRecord& record, const VELASNObject& name) {
  return record.hasCertificate() &&
         record.getCertificate().getSubject().compare(VELDBUtility::downcastX500name(name)) == 0;
}

using Keys = FileDBKeyStorage::Description;
using Fields = FileDBKeyRecordFields;

}  // namespace

template <>
const FileDBKeyStorage::Description& FileDBKeyStorage::description() {
  static const Description table{
      "FileDBKeyStorage",
      FileDBHeader::kKeyFileType,
      FileDBHeader::kKeyMinorVersion,
      1,
      true,
      VELDBManager::KeyRecordID,
      {
          Keys::UniqueKey{VELDBManager::KeyLabel, &Fields::label, &FileDBTableKeys::label, VELDBError::kDuplicateLabel,
                          VELDBError::kDuplicateLabel},
          Keys::UniqueKey{VELDBManager::KeySignature, &Fields::signatureHash,
                          &FileDBTableKeys::sha1<VELASNBitString, &VELDBUtility::downcastBitString>,
                          VELDBError::kDuplicateSignature, VELDBError::kDuplicateSignature},
          Keys::UniqueKey{VELDBManager::KeyTBSCertificate, &Fields::unsignedCertHash,
                          &FileDBTableKeys::sha1<VELASNTBSCertificate, &VELDBUtility::downcastTBSCertificate>,
                          VELDBError::kDuplicateToBeSigned, VELDBError::kDuplicateToBeSigned},
          Keys::UniqueKey{
              VELDBManager::KeyIssuerAndSerialNumber, &Fields::issuerAndSerialNumberHash,
              &FileDBTableKeys::sha1<VELASNIssuerAndSerialNumber, &VELDBUtility::downcastIssuerAndSerialNumber>,
              VELDBError::kDuplicateIssuerAndSerial, VELDBError::kDuplicateIssuerAndSerial},
      },
      {
          Keys::MultiKey{VELDBManager::KeyAllRecords, nullptr, nullptr, nullptr},
          Keys::MultiKey{VELDBManager::KeySubjectName, &Fields::subjectNameHash,
                         &FileDBTableKeys::sha1<VELASNx500Name, &VELDBUtility::downcastX500name>, &sameSubject},
          Keys::MultiKey{
              VELDBManager::KeyPublicKeyInfo, &Fields::subjectPublicKeyInfoHash,
              &FileDBTableKeys::sha1<VELASNSubjectPublicKeyInfo, &VELDBUtility::downcastSubjectPublicKeyInfo>, nullptr},
      },
      &makeFields,
      &reindex,
  };
  return table;
}

template class FileDBTable<FileDBKeyTableTypes>;
