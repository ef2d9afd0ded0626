#include "filedbkeyrecordfields.h"

#include "velasnutility.h"
#include "veldbutility.h"
#include "velexception.h"
#include "velkry.h"
#include "veltrace.h"

FileDBKeyRecordFields::FileDBKeyRecordFields(FileDBBuffer& slot) {
  slot.setPosition(0);
  slot.get(recordFlag);
  slot.get(recordID);
  slot.get(encoding);
  slot.get(label);
  slot.get(issuerRecordID);
  slot.get(signatureHash);
  slot.get(unsignedCertHash);
  slot.get(subjectNameHash);
  slot.get(subjectPublicKeyInfoHash);
  slot.get(issuerAndSerialNumberHash);
}

FileDBKeyRecordFields::FileDBKeyRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyRecord& record,
                                             std::uint32_t flag, std::uint32_t issuerID)
    : FileDBKeyRecordFields(factory, record, flag, issuerID, VELASNUtility::getDEREncoding(record)) {}

FileDBKeyRecordFields::FileDBKeyRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyRecord& record,
                                             std::uint32_t flag, std::uint32_t issuerID, VELBuffer der)
    : recordFlag(flag), encoding(std::move(der)), issuerRecordID(issuerID) {
  const VELASNCertificate& certificate = record.getCertificate();
  const VELASNIssuerAndSerialNumber issuerAndSerial = VELASNUtility::getIssuerAndSerialNumber(certificate);
  recordID = VELDBUtility::asnToRecordID(record.getRecordID());
  label = VELDBUtility::asnToLabelBuffer(record.getLabel());
  // One digest object for the five digests of the record.
  std::unique_ptr<VELKRYDigest> sha1 = (factory ? *factory : VELKRYAlgorithmFactory()).createSHA1Digest();
  if (!sha1) VELDB_THROW(VELDBError::kNoDigest, "no SHA-1 digest available");
  auto digest = [&sha1](const VELASNCBuffer& part) {
    sha1->init();
    sha1->update(part);
    return sha1->finish();
  };
  signatureHash = digest(certificate.getSignatureEncoding());
  unsignedCertHash = digest(certificate.getTBSCertificateEncoding());
  subjectNameHash = digest(certificate.getSubjectEncoding());
  subjectPublicKeyInfoHash = digest(certificate.getSubjectPublicKeyInfoEncoding());
  const VELBuffer* exact = issuerAndSerial.getExactEncoding();
  issuerAndSerialNumberHash = exact != nullptr ? digest(exact->get()) : digest(issuerAndSerial.write().get());
}

std::uint64_t FileDBKeyRecordFields::getSize() const {
  return 40 + encoding.size() + label.size() + signatureHash.size() + unsignedCertHash.size() +
         subjectNameHash.size() + subjectPublicKeyInfoHash.size() + issuerAndSerialNumberHash.size();
}

std::uint64_t FileDBKeyRecordFields::toBuffer(FileDBBuffer& slot) const {
  slot.reset();
  slot.put(recordFlag);
  slot.put(recordID);
  slot.put(encoding);
  slot.put(label);
  slot.put(issuerRecordID);
  slot.put(signatureHash);
  slot.put(unsignedCertHash);
  slot.put(subjectNameHash);
  slot.put(subjectPublicKeyInfoHash);
  slot.put(issuerAndSerialNumberHash);
  return slot.getUsedLength();
}

std::ostream& FileDBKeyRecordFields::display(std::ostream& out) const {
  out << "recordFlag:" << recordFlag << std::endl;
  out << "recordID:" << recordID << std::endl;
  out << "encoding:" << encoding << std::endl;
  VELASNKeyRecord decoded;
  VELASNUtility::setDEREncoding(decoded, encoding);
  out << "decoded record:";
  decoded.display(out);
  out << std::endl;
  out << "label:" << label.toString() << " " << label << std::endl;
  out << "issuerRecordID:" << issuerRecordID << std::endl;
  out << "signatureHash:" << signatureHash << std::endl;
  out << "unsignedCertHash:" << unsignedCertHash << std::endl;
  out << "subjectNameHash:" << subjectNameHash << std::endl;
  out << "subjectPublicKeyInfoHash:" << subjectPublicKeyInfoHash << std::endl;
  out << "issuerAndSerialNumberHash:" << issuerAndSerialNumberHash << std::endl;
  return out;
}
