#include "filedbtable.h"

#include "veldbutility.h"

VELBuffer FileDBTableKeys::label(const VELASNObject& key, const VELKRYAlgorithmFactory*) {
  return VELDBUtility::asnToLabelBuffer(VELDBUtility::downcastLabelString(key));
}
