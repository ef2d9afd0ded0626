#ifndef INCLUDED_FILEDBTABLEPATHS
#define INCLUDED_FILEDBTABLEPATHS

// The full path names of a FILE database's three tables, in the order the
// password journal names them (key, key pair, CRL).  Used by the manager's
// connect and by its password change, which must agree on them.

#include "filedbbinaryfile.h"
#include "filedbpasswordjournal.h"
#include "veldbconnectinfo.h"

inline FileDBPasswordJournal::Paths fileDBTablePaths(const VELDBConnectInfo::OBJECT& connectInfo) {
  const auto& info = static_cast<const VELDBConnectInfo::FILE&>(connectInfo);
  const VELString name = info.getName().str();
  return {FileDBBinaryFile::fullPathName(name + info.getKeyFileSuffix().str()),
          FileDBBinaryFile::fullPathName(name + info.getKeyPairFileSuffix().str()),
          FileDBBinaryFile::fullPathName(name + info.getCRLFileSuffix().str())};
}

#endif
