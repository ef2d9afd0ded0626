#include "storeerror.h"

namespace velstore {

const char* reasonText(Reason reason) {
  switch (reason) {
    case Reason::kBadURI:
      return "bad velkdb: URI";
    case Reason::kNoPassword:
      return "no database password";
    case Reason::kPasswordFile:
      return "password file refused";
    case Reason::kWrongPassword:
      return "wrong database password";
    case Reason::kNoSuchRecord:
      return "no such record";
    case Reason::kInUse:
      return "database in use";
    case Reason::kInterrupted:
      return "interrupted change pending";
    case Reason::kNoDatabase:
      return "no such database";
    case Reason::kDamaged:
      return "damaged database";
    case Reason::kDatabase:
      return "database error";
    case Reason::kKeyDoesNotOpen:
      return "private key does not open";
  }
  return "velkdb store error";
}

}  // namespace velstore
