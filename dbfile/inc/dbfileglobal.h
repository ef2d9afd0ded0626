// dbfileglobal.h -- start-up and shut-down of the library.
//
// When the library is loaded its process-wide objects are built, in this
// order, as static objects of one translation unit (dbfileglobal.cpp): the
// companion library's per-module `VELCMSGlobal`, the one `DBFileGlobal`, the
// storage class mutex and the mutex that guards the creation of the map of
// open files.  Unloading destroys them in reverse order.
//
// The first `DBFileGlobal` registers `libraryFunction` with the companion
// library's library manager under "velfiledb", so that callers linked only
// against the companion library can create a `FileDBManager` from a connect
// info, and traces where the module was loaded from (component 1, level 1:
// the module's full path, or "Could not determine where DBFile loaded from"
// when the module file is not named libvelfiledb_64.so).  The last one
// removes the registration and frees the map of open files (not the
// storages it names: managers still alive keep theirs).
//
// The use counter is a plain counter: the objects are built and destroyed
// only by the loader.
#ifndef DBFILE_DBFILEGLOBAL_H
#define DBFILE_DBFILEGLOBAL_H

#include <cstdint>

#include "velstring.h"

class DBFileGlobal {
 public:
  // CREATORS
  // Counts one use; the first runs `init`.
  DBFileGlobal();
  // Gives back one use; the last runs `fini`.  Never throws.
  ~DBFileGlobal();
  DBFileGlobal(const DBFileGlobal&) = delete;
  DBFileGlobal& operator=(const DBFileGlobal&) = delete;

  // ACCESSORS
  static std::uint64_t useCount();
  // The entry name under which `libraryFunction` is registered.
  static VELString entryName() { return "velfiledb"; }
  // The location of this module when it is loaded as libvelfiledb_64.so,
  // otherwise empty.
  static VELString moduleLocation();
  // The full path of `loadedFileName` when its last component is
  // libvelfiledb_64.so, bare or with version numbers (.so.1, .so.1.0.0),
  // otherwise empty.
  static VELString locationOf(const char* loadedFileName);
  // The text traced for `location` at start-up.
  static VELString locationText(const VELString& location);

  // The registered library function: `args` is a
  // `VELDBConnectInfo::OBJECT*`; the result a new `FileDBManager` owned by
  // the caller.  Throws 0x8B67A "args cannot be NULL" for null, and the
  // manager's construction errors.
  static void* libraryFunction(void* args);

 private:
  static void init();
  static void fini();
};

extern "C" {
// The library's legal notice (one line).
extern const char velfdb_Copyright[];
// Build information: eleven "@(#)key: value" lines.
extern const char velfdb_SCCSInfo[];
}

#endif
