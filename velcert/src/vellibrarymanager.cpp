#include "vellibrarymanager.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "velexception.h"
#include "veltrace.h"

namespace {

struct Registry {
  std::mutex mutex;
  std::multimap<VELString, VELLibraryFunction> entries;
};

Registry& registry() {
  // Never destroyed: modules unregister from their own static destructors,
  // which may run after this library's.
  static Registry* r = new Registry();
  return *r;
}

unsigned long g_cmsUseCount = 0;

// The directory of this library, so that a module beside it is found even
// when it is not on the loader's search path.
VELString ownDirectory() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&VELLibraryManager::createObject), &info) == 0 || info.dli_fname == nullptr) {
    return VELString();
  }
  VELString path(info.dli_fname);
  const std::size_t slash = path.rfind('/');
  return slash == VELString::npos ? VELString() : path.substr(0, slash + 1);
}

}  // namespace

void VELLibraryManager::addLibEntry(const VELString& name, VELLibraryFunction function) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.entries.emplace(name, function);
}

void VELLibraryManager::removeLibEntries(VELLibraryFunction function) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  for (auto it = r.entries.begin(); it != r.entries.end();) {
    it = it->second == function ? r.entries.erase(it) : std::next(it);
  }
}

VELLibraryFunction VELLibraryManager::findLibEntry(const VELString& name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  auto it = r.entries.find(name);
  return it == r.entries.end() ? nullptr : it->second;
}

VELString VELLibraryManager::moduleFileName(const VELString& name) { return "lib" + name + "_64.so"; }

void* VELLibraryManager::createObject(const VELString& name, void* args) {
  VELLibraryFunction function = findLibEntry(name);
  if (function == nullptr) {
    // The name becomes part of a file name handed to the loader: only plain
    // module names, never a path.
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
    });
    if (!plain) VELDB_THROW(VELDBError::kBadArgument, "no module provides " + name + ": not a module name");
    const VELString file = moduleFileName(name);
    const VELString beside = ownDirectory() + file;
    // The handle is kept for the life of the process: the module's entries
    // point into it.
    void* handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) handle = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) {
      const char* err = dlerror();
      VELDB_THROW(VELDBError::kBadArgument, "no module provides " + name + ": " + (err ? err : file));
    }
    function = findLibEntry(name);
    if (function == nullptr) VELDB_THROW(VELDBError::kBadArgument, "module " + file + " did not register " + name);
  }
  return function(args);
}

VELCMSGlobal::VELCMSGlobal() { ++g_cmsUseCount; }

VELCMSGlobal::~VELCMSGlobal() { --g_cmsUseCount; }

unsigned long VELCMSGlobal::useCount() { return g_cmsUseCount; }
