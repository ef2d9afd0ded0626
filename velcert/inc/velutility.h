// velutility.h -- small helpers of the companion library.
#ifndef VELCERT_VELUTILITY_H
#define VELCERT_VELUTILITY_H

#include "velstring.h"

class VELUtility {
 public:
  // Host text to the bytes stored in files and back.  Text is UTF-8 on both
  // sides here, so both are the identity; they stay the one place to change.
  static VELString hostStringToNetString(const VELString& host) { return host; }
  static VELString netStringToHostString(const VELString& net) { return net; }
};

#endif
