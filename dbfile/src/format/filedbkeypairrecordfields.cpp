#include "filedbkeypairrecordfields.h"

#include "velasnutility.h"
#include "veldbutility.h"
#include "veltrace.h"

FileDBKeyPairRecordFields::FileDBKeyPairRecordFields(FileDBBuffer& slot) {
  VEL_TRACE_SCOPE("FileDBKeyPairRecordFields::ctor");
  slot.setPosition(0);
  slot.get(recordFlag);
  slot.get(recordID);
  slot.get(encoding);
  slot.get(label);
  slot.get(subjectPublicKeyInfoHash);
}

FileDBKeyPairRecordFields::FileDBKeyPairRecordFields(const VELKRYAlgorithmFactory* factory,
                                                     const VELASNKeyPairRecord& record, std::uint32_t flag)
    : recordFlag(flag) {
  VEL_TRACE_SCOPE("FileDBKeyPairRecordFields::ctor");
  recordID = VELDBUtility::asnToRecordID(record.getRecordID());
  encoding = VELASNUtility::getDEREncoding(record);
  label = VELDBUtility::asnToLabelBuffer(record.getLabel());
  subjectPublicKeyInfoHash =
      VELDBUtility::getSHA1Digest(record.getKeyPair().getSubjectPublicKeyInfoEncoding(), factory);
}

FileDBKeyPairRecordFields::~FileDBKeyPairRecordFields() { VEL_TRACE_SCOPE("FileDBKeyPairRecordFields::dtor"); }

std::uint64_t FileDBKeyPairRecordFields::getSize() const {
  VEL_TRACE_SCOPE("getSize");
  return 20 + static_cast<std::uint64_t>(encoding.size()) + label.size() + subjectPublicKeyInfoHash.size();
}

std::uint64_t FileDBKeyPairRecordFields::toBuffer(FileDBBuffer& slot) const {
  VEL_TRACE_SCOPE("toBuffer");
  slot.reset();
  slot.put(recordFlag);
  slot.put(recordID);
  slot.put(encoding);
  slot.put(label);
  slot.put(subjectPublicKeyInfoHash);
  return slot.getUsedLength();
}

std::ostream& FileDBKeyPairRecordFields::display(std::ostream& out) const {
  out << "recordFlag:" << recordFlag << std::endl;
  out << "recordID:" << recordID << std::endl;
  out << "encoding:" << encoding << std::endl;
  VELASNKeyPairRecord decoded;
  VELASNUtility::setDEREncoding(decoded, encoding);
  out << "decoded record:";
  decoded.display(out);
  out << std::endl;
  out << "label:" << label.toString() << " " << label << std::endl;
  out << "subjectPublicKeyInfoHash:" << subjectPublicKeyInfoHash << std::endl;
  return out;
}
