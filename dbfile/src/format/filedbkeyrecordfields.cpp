#include "filedbkeyrecordfields.h"

#include <initializer_list>

#include "filedbslotfields.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "velder.h"
#include "velexception.h"
#include "velkry.h"
#include "veltrace.h"

FileDBKeyRecordFields::FileDBKeyRecordFields(FileDBBuffer& slot, VELASNCBuffer* encodingInSlot) {
  FileDBSlotFields::readHead(slot, recordFlag, recordID, encoding, label, encodingInSlot);
  slot.get(issuerRecordID);
  FileDBSlotFields::readStrings(slot, {&signatureHash, &unsignedCertHash, &subjectNameHash, &subjectPublicKeyInfoHash,
                                       &issuerAndSerialNumberHash});
}

FileDBKeyRecordFields::FileDBKeyRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyRecord& record,
                                             std::uint32_t flag, std::uint32_t issuerID)
    : FileDBKeyRecordFields(factory, record, flag, issuerID, VELASNUtility::getDEREncoding(record)) {}

FileDBKeyRecordFields::FileDBKeyRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNKeyRecord& record,
                                             std::uint32_t flag, std::uint32_t issuerID, VELBuffer der)
    : recordFlag(flag), encoding(std::move(der)), issuerRecordID(issuerID) {
  const VELASNCertificate& certificate = record.getCertificate();
  if (certificate.empty()) VELDB_THROW(VELDBError::kBadArgument, "getIssuerAndSerialNumber: empty certificate");
  recordID = VELDBUtility::asnToRecordID(record.getRecordID());
  label = VELDBUtility::asnToLabelBuffer(record.getLabel());
  // One digest object for the five digests of the record.
  std::unique_ptr<VELKRYDigest> sha1 = (factory ? *factory : VELKRYAlgorithmFactory()).createSHA1Digest();
  if (!sha1) VELDB_THROW(VELDBError::kNoDigest, "no SHA-1 digest available");
  auto digest = [&sha1](std::initializer_list<VELASNCBuffer> parts) {
    sha1->init();
    for (const VELASNCBuffer& part : parts) sha1->update(part);
    return sha1->finish();
  };
  signatureHash = digest({certificate.getSignatureEncoding()});
  unsignedCertHash = digest({certificate.getTBSCertificateEncoding()});
  subjectNameHash = digest({certificate.getSubjectEncoding()});
  subjectPublicKeyInfoHash = digest({certificate.getSubjectPublicKeyInfoEncoding()});
  // IssuerAndSerialNumber ::= SEQUENCE { issuer, serialNumber }, hashed
  // straight from the certificate's bytes of the two.
  const VELASNCBuffer issuer = certificate.getIssuerEncoding();
  const VELASNCBuffer serial = certificate.getSerialNumberEncoding();
  VELBuffer sequenceHeader;
  VELDERWriter::appendHeader(sequenceHeader, VELDER::kSequence, issuer.length() + serial.length());
  issuerAndSerialNumberHash = digest({sequenceHeader.get(), issuer, serial});
}

std::uint64_t FileDBKeyRecordFields::getSize() const {
  return 40 + encoding.size() + label.size() + signatureHash.size() + unsignedCertHash.size() +
         subjectNameHash.size() + subjectPublicKeyInfoHash.size() + issuerAndSerialNumberHash.size();
}

std::uint64_t FileDBKeyRecordFields::toBuffer(FileDBBuffer& slot) const {
  FileDBSlotFields::writeHead(slot, recordFlag, recordID, encoding, label);
  slot.put(issuerRecordID);
  FileDBSlotFields::writeStrings(slot, {&signatureHash, &unsignedCertHash, &subjectNameHash, &subjectPublicKeyInfoHash,
                                        &issuerAndSerialNumberHash});
  return slot.getUsedLength();
}

std::ostream& FileDBKeyRecordFields::display(std::ostream& out) const {
  FileDBSlotFields::displayHead<VELASNKeyRecord>(out, recordFlag, recordID, encoding, label);
  out << "issuerRecordID:" << issuerRecordID << std::endl;
  FileDBSlotFields::displayStrings(out, {{"signatureHash", &signatureHash},
                                         {"unsignedCertHash", &unsignedCertHash},
                                         {"subjectNameHash", &subjectNameHash},
                                         {"subjectPublicKeyInfoHash", &subjectPublicKeyInfoHash},
                                         {"issuerAndSerialNumberHash", &issuerAndSerialNumberHash}});
  return out;
}
