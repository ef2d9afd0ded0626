#include "filedbstorageregistry.h"

#include <atomic>
#include <map>

#include "velexception.h"
#include "veltrace.h"

namespace {

struct Entry {
  FileDBStorage* storage;
  VELString className;
  std::uint64_t references;
};

using Map = std::map<VELConstString, Entry>;

std::atomic<Map*> g_map{nullptr};

Map& map() {
  FileDBStorageRegistry::init();
  return *g_map.load(std::memory_order_acquire);
}

}  // namespace

void FileDBStorageRegistry::init() {
  if (g_map.load(std::memory_order_acquire) != nullptr) return;
  VELMutexLocker guard(d_mapMutex);
  if (g_map.load(std::memory_order_relaxed) == nullptr) g_map.store(new Map(), std::memory_order_release);
}

FileDBStorage* FileDBStorageRegistry::find(const VELString& fullPathName) {
  VEL_TRACE_SCOPE("findFileMap");
  const Map& files = map();
  auto it = files.find(VELConstString(fullPathName));
  return it == files.end() ? nullptr : it->second.storage;
}

void FileDBStorageRegistry::insert(const VELString& fullPathName, FileDBStorage* storage,
                                   const VELString& className) {
  VEL_TRACE_SCOPE("insertFileMap");
  Map& files = map();
  auto it = files.find(VELConstString(fullPathName));
  if (it == files.end()) {
    files.emplace(VELConstString(fullPathName), Entry{storage, className, 1});
    return;
  }
  if (it->second.className != className) {
    VELDB_THROW(VELDBError::kCannotOpen, "the file is open in this process as another kind of table (" +
                                             it->second.className + ")-" + fullPathName);
  }
  ++it->second.references;
}

std::uint64_t FileDBStorageRegistry::remove(const VELString& fullPathName) {
  VEL_TRACE_SCOPE("removeFileMap");
  Map& files = map();
  auto it = files.find(VELConstString(fullPathName));
  if (it == files.end()) return 0;
  if (it->second.references <= 1) {
    files.erase(it);
    return 0;
  }
  return --it->second.references;
}

std::uint64_t FileDBStorageRegistry::references(const VELString& fullPathName) {
  const Map& files = map();
  auto it = files.find(VELConstString(fullPathName));
  return it == files.end() ? 0 : it->second.references;
}

void FileDBStorageRegistry::release() { delete g_map.exchange(nullptr, std::memory_order_acq_rel); }
