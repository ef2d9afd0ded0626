#include "velasnutility.h"

#include "velexception.h"
#include "veltrace.h"

VELBuffer VELASNUtility::getDEREncoding(const VELASNObject& object) {
  VEL_TRACE_SCOPE("getDEREncoding");
  return object.write();
}

void VELASNUtility::setDEREncoding(VELASNObject& object, const VELBuffer& encoding) {
  setDEREncoding(object, encoding.get());
}

void VELASNUtility::setDEREncoding(VELASNObject& object, const VELASNCBuffer& encoding) {
  VEL_TRACE_SCOPE("setDEREncoding");
  object.read(encoding);
}

VELASNIssuerAndSerialNumber VELASNUtility::getIssuerAndSerialNumber(const VELASNCertificate& certificate) {
  VEL_TRACE_SCOPE("getIssuerAndSerialNumber");
  if (certificate.empty()) VELDB_THROW(VELDBError::kBadArgument, "getIssuerAndSerialNumber: empty certificate");
  return VELASNIssuerAndSerialNumber(certificate.getIssuerEncoding(), certificate.getSerialNumberEncoding());
}
