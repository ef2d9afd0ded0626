// vellibrarymanager.h -- named entry points of loadable modules.
//
// A module registers a function under an entry name when it is loaded and
// removes it when it is unloaded.  Asked to create an object through an
// entry that is not registered, the manager loads the module that provides
// it (by file name, found beside this library first) and looks again.
// All members are thread-safe.
#ifndef VELCERT_VELLIBRARYMANAGER_H
#define VELCERT_VELLIBRARYMANAGER_H

#include "velstring.h"

typedef void* (*VELLibraryFunction)(void*);

class VELLibraryManager {
 public:
  static void addLibEntry(const VELString& name, VELLibraryFunction function);
  // Removes every entry that names `function`.
  static void removeLibEntries(VELLibraryFunction function);
  // The function registered under `name`, or null.
  static VELLibraryFunction findLibEntry(const VELString& name);
  // Calls the function of `name` with `args`, loading its module first when
  // needed.  Throws `VELDBException` 0x8B67A when no module provides `name`.
  static void* createObject(const VELString& name, void* args);
  // The module file that provides `name` ("velfiledb" -> libvelfiledb_64.so).
  static VELString moduleFileName(const VELString& name);
};

// The companion library's per-module global object.  Each module that uses
// the companion library constructs one before its other process-wide objects.
class VELCMSGlobal {
 public:
  VELCMSGlobal();
  ~VELCMSGlobal();
  VELCMSGlobal(const VELCMSGlobal&) = delete;
  VELCMSGlobal& operator=(const VELCMSGlobal&) = delete;
  static unsigned long useCount();
};

#endif
