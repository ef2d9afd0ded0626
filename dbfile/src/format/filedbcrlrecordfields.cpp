#include "filedbcrlrecordfields.h"

#include "filedbslotfields.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "veltrace.h"

FileDBCRLRecordFields::FileDBCRLRecordFields(FileDBBuffer& slot, VELASNCBuffer* encodingInSlot) {
  VEL_TRACE_SCOPE("FileDBCRLRecordFields::ctor");
  FileDBSlotFields::readHead(slot, recordFlag, recordID, encoding, label, encodingInSlot);
  FileDBSlotFields::readStrings(slot, {&signatureHash, &unsignedCRLHash, &issuerNameHash});
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
  FileDBSlotFields::writeHead(slot, recordFlag, recordID, encoding, label);
  FileDBSlotFields::writeStrings(slot, {&signatureHash, &unsignedCRLHash, &issuerNameHash});
  return slot.getUsedLength();
}

std::ostream& FileDBCRLRecordFields::display(std::ostream& out) const {
  FileDBSlotFields::displayHead<VELASNCRLRecord>(out, recordFlag, recordID, encoding, label);
  FileDBSlotFields::displayStrings(out, {{"signatureHash", &signatureHash},
                                         {"unsignedCRLHash", &unsignedCRLHash},
                                         {"issuerNameHash", &issuerNameHash}});
  return out;
}
