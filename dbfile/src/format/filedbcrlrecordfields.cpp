#include "filedbcrlrecordfields.h"

#include "velasnutility.h"
#include "veldbutility.h"
#include "veltrace.h"

FileDBCRLRecordFields::FileDBCRLRecordFields(FileDBBuffer& slot) {
  VEL_TRACE_SCOPE("FileDBCRLRecordFields::ctor");
  slot.setPosition(0);
  slot.get(recordFlag);
  slot.get(recordID);
  slot.get(encoding);
  slot.get(label);
  slot.get(signatureHash);
  slot.get(unsignedCRLHash);
  slot.get(issuerNameHash);
}

FileDBCRLRecordFields::FileDBCRLRecordFields(const VELKRYAlgorithmFactory* factory, const VELASNCRLRecord& record,
                                             std::uint32_t flag)
    : recordFlag(flag) {
  VEL_TRACE_SCOPE("FileDBCRLRecordFields::ctor");
  const VELASNCertificateList& crl = record.getCRL();
  recordID = VELDBUtility::asnToRecordID(record.getRecordID());
  encoding = VELASNUtility::getDEREncoding(record);
  label = VELDBUtility::asnToLabelBuffer(record.getLabel());
  signatureHash = VELDBUtility::getSHA1Digest(crl.getSignatureEncoding(), factory);
  unsignedCRLHash = VELDBUtility::getSHA1Digest(crl.getTBSCertListEncoding(), factory);
  issuerNameHash = VELDBUtility::getSHA1Digest(crl.getIssuerEncoding(), factory);
}

FileDBCRLRecordFields::~FileDBCRLRecordFields() { VEL_TRACE_SCOPE("FileDBCRLRecordFields::dtor"); }

std::uint64_t FileDBCRLRecordFields::getSize() const {
  VEL_TRACE_SCOPE("getSize");
  return 28 + static_cast<std::uint64_t>(encoding.size()) + label.size() + signatureHash.size() +
         unsignedCRLHash.size() + issuerNameHash.size();
}

std::uint64_t FileDBCRLRecordFields::toBuffer(FileDBBuffer& slot) const {
  VEL_TRACE_SCOPE("toBuffer");
  slot.reset();
  slot.put(recordFlag);
  slot.put(recordID);
  slot.put(encoding);
  slot.put(label);
  slot.put(signatureHash);
  slot.put(unsignedCRLHash);
  slot.put(issuerNameHash);
  return slot.getUsedLength();
}

std::ostream& FileDBCRLRecordFields::display(std::ostream& out) const {
  out << "recordFlag:" << recordFlag << std::endl;
  out << "recordID:" << recordID << std::endl;
  out << "encoding:" << encoding << std::endl;
  VELASNCRLRecord decoded;
  VELASNUtility::setDEREncoding(decoded, encoding);
  out << "decoded record:";
  decoded.display(out);
  out << std::endl;
  out << "label:" << label.toString() << " " << label << std::endl;
  out << "signatureHash:" << signatureHash << std::endl;
  out << "unsignedCRLHash:" << unsignedCRLHash << std::endl;
  out << "issuerNameHash:" << issuerNameHash << std::endl;
  return out;
}
