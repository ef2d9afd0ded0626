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

// Each downcastX is the checked downcast of its type.
#define DEFINE_DOWNCAST(NAME, TYPE) \
  const TYPE& VELDBUtility::downcast##NAME(const VELASNObject& o) { return downcast<TYPE>(o); }
DEFINE_DOWNCAST(Integer, VELASNInteger)
DEFINE_DOWNCAST(LabelString, VELASNLabelString)
DEFINE_DOWNCAST(BitString, VELASNBitString)
DEFINE_DOWNCAST(TBSCertificate, VELASNTBSCertificate)
DEFINE_DOWNCAST(IssuerAndSerialNumber, VELASNIssuerAndSerialNumber)
DEFINE_DOWNCAST(X500name, VELASNx500Name)
DEFINE_DOWNCAST(SubjectPublicKeyInfo, VELASNSubjectPublicKeyInfo)
DEFINE_DOWNCAST(TBSCertList, VELASNTBSCertList)
DEFINE_DOWNCAST(Certificate, VELASNCertificate)
DEFINE_DOWNCAST(CertificateList, VELASNCertificateList)
DEFINE_DOWNCAST(KeyRecord, VELASNKeyRecord)
DEFINE_DOWNCAST(KeyPairRecord, VELASNKeyPairRecord)
DEFINE_DOWNCAST(CRLRecord, VELASNCRLRecord)
#undef DEFINE_DOWNCAST
