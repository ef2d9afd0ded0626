#include "veldbutility.h"

#include "velexception.h"
#include "veltrace.h"

namespace {

const VELKRYAlgorithmFactory& defaultFactory() {
  static const VELKRYAlgorithmFactory factory;
  return factory;
}

template <typename T>
const T& downcast(const VELASNObject& object) {
  const T* typed = dynamic_cast<const T*>(&object);
  if (typed == nullptr) VELDB_THROW(VELDBError::kBadArgument, "asnObj is invalid - wrong type");
  return *typed;
}

}  // namespace

VELBuffer VELDBUtility::getSHA1Digest(const VELASNCBuffer& der, const VELKRYAlgorithmFactory* factory) {
  VEL_TRACE_SCOPE("getSHA1Digest");
  std::unique_ptr<VELKRYDigest> digest = (factory ? *factory : defaultFactory()).createSHA1Digest();
  if (!digest) VELDB_THROW(VELDBError::kNoDigest, "no SHA-1 digest available");
  digest->init();
  digest->update(der);
  return digest->finish();
}

VELBuffer VELDBUtility::getSHA1Digest(const VELASNObject& object, const VELKRYAlgorithmFactory* factory) {
  if (const VELBuffer* exact = object.getExactEncoding()) return getSHA1Digest(exact->get(), factory);
  const VELBuffer der = object.write();
  return getSHA1Digest(der.get(), factory);
}

void VELDBUtility::recordIDToASN(unsigned int recordID, VELASNInteger& out) { out.setUnsignedValue(recordID); }

VELASNInteger VELDBUtility::recordIDToASN(unsigned int recordID) {
  VELASNInteger out;
  out.setUnsignedValue(recordID);
  return out;
}

unsigned int VELDBUtility::asnToRecordID(const VELASNInteger& value) {
  if (!value.fitsUnsigned32()) {
    VELDB_THROW(VELDBError::kBadArgument, "record ID does not fit an unsigned 32-bit number");
  }
  return static_cast<unsigned int>(value.getUnsignedValue());
}

VELBuffer VELDBUtility::asnToLabelBuffer(const VELASNLabelString& label) { return VELBuffer(label.getValue()); }

const VELASNInteger& VELDBUtility::downcastInteger(const VELASNObject& o) { return downcast<VELASNInteger>(o); }
const VELASNLabelString& VELDBUtility::downcastLabelString(const VELASNObject& o) {
  return downcast<VELASNLabelString>(o);
}
const VELASNBitString& VELDBUtility::downcastBitString(const VELASNObject& o) { return downcast<VELASNBitString>(o); }
const VELASNTBSCertificate& VELDBUtility::downcastTBSCertificate(const VELASNObject& o) {
  return downcast<VELASNTBSCertificate>(o);
}
const VELASNIssuerAndSerialNumber& VELDBUtility::downcastIssuerAndSerialNumber(const VELASNObject& o) {
  return downcast<VELASNIssuerAndSerialNumber>(o);
}
const VELASNx500Name& VELDBUtility::downcastX500name(const VELASNObject& o) { return downcast<VELASNx500Name>(o); }
const VELASNSubjectPublicKeyInfo& VELDBUtility::downcastSubjectPublicKeyInfo(const VELASNObject& o) {
  return downcast<VELASNSubjectPublicKeyInfo>(o);
}
const VELASNTBSCertList& VELDBUtility::downcastTBSCertList(const VELASNObject& o) {
  return downcast<VELASNTBSCertList>(o);
}
const VELASNCertificate& VELDBUtility::downcastCertificate(const VELASNObject& o) {
  return downcast<VELASNCertificate>(o);
}
const VELASNCertificateList& VELDBUtility::downcastCertificateList(const VELASNObject& o) {
  return downcast<VELASNCertificateList>(o);
}
const VELASNKeyRecord& VELDBUtility::downcastKeyRecord(const VELASNObject& o) { return downcast<VELASNKeyRecord>(o); }
const VELASNKeyPairRecord& VELDBUtility::downcastKeyPairRecord(const VELASNObject& o) {
  return downcast<VELASNKeyPairRecord>(o);
}
const VELASNCRLRecord& VELDBUtility::downcastCRLRecord(const VELASNObject& o) { return downcast<VELASNCRLRecord>(o); }
