// filedbstorageregistry.h -- the process-wide registry of open table files.
//
// One process opens each table file once: `FileDBStorageRegistry` maps the
// full path name of every open file to its storage, the storage's class
// name and the number of connections that hold it.  It only keeps the
// pointers; connecting and destroying storages is `FileDBStorage`'s.
//
// Locks: the map is created on first use under its own mutex; every other
// call runs with `FileDBStorage::getClassMutex()` held by the caller (or
// during the library's unload).
#ifndef DBFILE_FILEDBSTORAGEREGISTRY_H
#define DBFILE_FILEDBSTORAGEREGISTRY_H

#include <cstdint>

#include "velmutex.h"
#include "velstring.h"

class FileDBStorage;

class FileDBStorageRegistry {
 public:
  // Creates the map (once).
  static void init();
  // The storage open for `fullPathName`, or null.
  static FileDBStorage* find(const VELString& fullPathName);
  // Enters `storage` of class `className` with one reference, or counts one
  // more reference to the storage present; 0x8C236 when the one present is
  // of another class (the count is unchanged then).
  static void insert(const VELString& fullPathName, FileDBStorage* storage, const VELString& className);
  // Gives up one reference; the references left (0 also when absent, and
  // the entry is gone then).
  static std::uint64_t remove(const VELString& fullPathName);
  // References held on `fullPathName` (0 when not open).
  static std::uint64_t references(const VELString& fullPathName);
  // Frees the map without destroying the storages it names (library
  // unload).
  static void release();

 private:
  // Guards the creation of the map; defined with the library's other
  // process-wide objects, which fixes their order.
  static VELMutex d_mapMutex;
};

#endif
