#include "dbfileglobal.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <cctype>
#include <cstring>

#include "filedbdropped.h"
#include "filedbmanager.h"
#include "filedbstorage.h"
#include "filedbstorageregistry.h"
#include "veldbconnectinfo.h"
#include "velexception.h"
#include "vellibrarymanager.h"
#include "velmutex.h"
#include "veltrace.h"

namespace {

const char kModuleFileName[] = "libvelfiledb_64.so";

std::uint64_t g_useCount = 0;

}  // namespace

// --- the process-wide objects, in the order in which they are built -------

static VELCMSGlobal s_cmsGlobal;
static DBFileGlobal s_dbFileGlobal;
VELMutex FileDBStorage::d_classMutex;
VELMutex FileDBStorageRegistry::d_mapMutex;

// --- exported data ---------------------------------------------------------

extern "C" {
const char velfdb_Copyright[] =
    "Copyright (c) The velfiledb developers. All rights reserved.";
const char velfdb_SCCSInfo[] =
    "@(#)CompanyName: The velfiledb developers\n"
    "@(#)Trademarks: none\n"
    "@(#)FileDescription: velfiledb file-backed certificate and key database\n"
    "@(#)FileVersion: 1.0.0\n"
    "@(#)InternalName: velfiledb_64\n"
    "@(#)LegalCopyright: Copyright (c) The velfiledb developers. All rights reserved.\n"
    "@(#)OriginalFilename: libvelfiledb_64.so\n"
    "@(#)ProductName: velfiledb\n"
    "@(#)ProductVersion: 1.0\n"
    "@(#)ProductInfo: password-protected key, key-pair and CRL tables for velcert_64\n"
    "@(#)SourceControl: git\n";
}

// --- DBFileGlobal ------------------------------------------------------------

DBFileGlobal::DBFileGlobal() {
  VEL_TRACE_SCOPE("DBFileGlobal::ctor");
  if (++g_useCount == 1) init();
}

DBFileGlobal::~DBFileGlobal() {
  VEL_TRACE_SCOPE("DBFileGlobal::dtor");
  try {
    if (--g_useCount == 0) fini();
  } catch (...) {
    FileDBDropped::trace();
  }
}

std::uint64_t DBFileGlobal::useCount() { return g_useCount; }

void DBFileGlobal::init() {
  VEL_TRACE_SCOPE("init");
  VELLibraryManager::addLibEntry(entryName(), &DBFileGlobal::libraryFunction);
  VEL_TRACE_WRITE(1, VELTraceLevel::kInfo, locationText(moduleLocation()));
}

void DBFileGlobal::fini() {
  VEL_TRACE_SCOPE("fini");
  VELLibraryManager::removeLibEntries(&DBFileGlobal::libraryFunction);
  FileDBStorage::releaseFileDBStorageMap();
}

VELString DBFileGlobal::locationOf(const char* loadedFileName) {
  if (loadedFileName == nullptr) return VELString();
  const char* slash = std::strrchr(loadedFileName, '/');
  const char* base = slash == nullptr ? loadedFileName : slash + 1;
  // The module's own name, or that name with the version numbers a
  // versioned install gives it (libvelfiledb_64.so.1, .so.1.0.0).
  const std::size_t nameLength = std::strlen(kModuleFileName);
  if (std::strncmp(base, kModuleFileName, nameLength) != 0) return VELString();
  for (const char* p = base + nameLength; *p != '\0'; ++p) {
    const bool versionPart = *p == '.' ? std::isdigit(static_cast<unsigned char>(p[1])) != 0
                                       : std::isdigit(static_cast<unsigned char>(*p)) != 0;
    if (!versionPart) return VELString();
  }
  char* full = ::realpath(loadedFileName, nullptr);
  if (full == nullptr) return VELString(loadedFileName);
  VELString location(full);
  std::free(full);
  return location;
}

VELString DBFileGlobal::moduleLocation() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&DBFileGlobal::libraryFunction), &info) == 0) return VELString();
  return locationOf(info.dli_fname);
}

VELString DBFileGlobal::locationText(const VELString& location) {
  return location.empty() ? VELString("Could not determine where DBFile loaded from") : location;
}

void* DBFileGlobal::libraryFunction(void* args) {
  VEL_TRACE_SCOPE("libraryFunction");
  if (args == nullptr) VELDB_THROW(VELDBError::kBadArgument, "args cannot be NULL");
  return new FileDBManager(*static_cast<VELDBConnectInfo::OBJECT*>(args));
}
