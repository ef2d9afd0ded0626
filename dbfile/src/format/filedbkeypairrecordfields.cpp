#include "filedbkeypairrecordfields.h"

#include <utility>

#include "filedbslotfields.h"
#include "velasnutility.h"
#include "veldbutility.h"
#include "veltrace.h"

FileDBKeyPairRecordFields::FileDBKeyPairRecordFields(FileDBBuffer& slot, VELASNCBuffer* encodingInSlot) {
  VEL_TRACE_SCOPE("FileDBKeyPairRecordFields::ctor");
  FileDBSlotFields::readHead(slot, recordFlag, recordID, encoding, label, encodingInSlot);
  FileDBSlotFields::readStrings(slot, {&subjectPublicKeyInfoHash});
}

FileDBKeyPairRecordFields::FileDBKeyPairRecordFields(const VELKRYAlgorithmFactory* factory,
                                                     const VELASNKeyPairRecord& record, std::uint32_t flag)
    : FileDBKeyPairRecordFields(factory, record, flag, VELASNUtility::getDEREncoding(record)) {}

FileDBKeyPairRecordFields::FileDBKeyPairRecordFields(const VELKRYAlgorithmFactory* factory,
                                                     const VELASNKeyPairRecord& record, std::uint32_t flag,
                                                     VELBuffer der)
    : recordFlag(flag), encoding(std::move(der)) {
  VEL_TRACE_SCOPE("FileDBKeyPairRecordFields::ctor");
  recordID = VELDBUtility::asnToRecordID(record.getRecordID());
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
  FileDBSlotFields::writeHead(slot, recordFlag, recordID, encoding, label);
  FileDBSlotFields::writeStrings(slot, {&subjectPublicKeyInfoHash});
  return slot.getUsedLength();
}

std::ostream& FileDBKeyPairRecordFields::display(std::ostream& out) const {
  FileDBSlotFields::displayHead<VELASNKeyPairRecord>(out, recordFlag, recordID, encoding, label);
  FileDBSlotFields::displayStrings(out, {{"subjectPublicKeyInfoHash", &subjectPublicKeyInfoHash}});
  return out;
}
