// filedbmasterindex.h -- every in-memory index of one open table, driven by
// the table's list of indexed keys.
//
// A table names the byte-string keys of its slot fields that it indexes:
// unique keys (each maps to one record; an insert that would take one
// already held is refused with the key's number) and multi keys (any
// number of records share one).  The master index keeps one index per key
// and the record-ID map; each live record has exactly one entry in each,
// all with the same slot position and record ID.  The record-ID map's entry
// keeps copies of the record's keys (unique keys first, then multi keys, in
// list order) so that a record can be removed from every index, and an
// update can tell which keys change, without reading its slot.  Unique
// indexes hold the 64-bit slot position, multi indexes its low 32 bits.
// Never touches the file; the table's instance mutex covers every call.
#ifndef DBFILE_FILEDBMASTERINDEX_H
#define DBFILE_FILEDBMASTERINDEX_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "filedbmultiindex.h"
#include "filedbuniqueindex.h"
#include "velbuffer.h"
#include "velexception.h"
#include "veltrace.h"

// One record's place in the file and copies of its keys.
struct FileDBIndexEntry {
  std::uint64_t position;
  std::vector<VELBuffer> keys;  // unique keys, then multi keys, in list order
};

template <class FIELDS>
class FileDBMasterIndex {
 public:
  using Field = VELBuffer FIELDS::*;
  using RecordIDMap = std::map<std::uint32_t, FileDBIndexEntry>;
  // The hashes of a record's keys, in list order, that `prefetch` takes
  // once for the insert that follows it.
  static constexpr std::size_t kMaxKeys = 8;
  using KeyHashes = std::array<std::uint64_t, kMaxKeys>;
  // A unique key and the number an insert throws when another record
  // holds it.
  struct UniqueKey {
    Field field;
    unsigned long duplicateError;
  };

  // CREATORS
  FileDBMasterIndex(std::vector<UniqueKey> uniqueKeys, std::vector<Field> multiKeys)
      : d_uniqueKeys(std::move(uniqueKeys)),
        d_multiKeys(std::move(multiKeys)),
        d_unique(new FileDBUniqueIndex[d_uniqueKeys.size()]),
        d_multi(new FileDBMultiIndex[d_multiKeys.size()]),
        d_recordIDMap(new RecordIDMap()) {
    if (d_uniqueKeys.size() + d_multiKeys.size() > kMaxKeys) {
      VELDB_THROW(VELDBError::kBadArgument, "FileDBMasterIndex: too many indexed keys");
    }
  }
  FileDBMasterIndex(const FileDBMasterIndex&) = delete;
  FileDBMasterIndex& operator=(const FileDBMasterIndex&) = delete;

  // MANIPULATORS
  // Throws the first collision of `fields` with a stored record: 0x8C244
  // for the record ID, then each unique key's number in list order.  The
  // multi keys take no part.  Changes nothing.
  void uniqueKeyIntegrityCheck(const FIELDS& fields) const {
    VEL_TRACE_SCOPE("uniqueKeyIntegrityCheck");
    if (d_recordIDMap->count(fields.recordID) != 0) VELDB_THROW(VELDBError::kDuplicateRecordID, "");
    for (std::size_t k = 0; k < d_uniqueKeys.size(); ++k) {
      if (d_unique[k].find(fields.*d_uniqueKeys[k].field) != nullptr) {
        VELDB_THROW(d_uniqueKeys[k].duplicateError, "");
      }
    }
  }

  // Enters the record at `position` in every index, replacing an entry
  // with the same record ID or unique key.
  void insert(std::uint64_t position, const FIELDS& fields) { enter(position, fields, prefetch(fields)); }
  // The same, taking the keys out of `fields` instead of copying them (an
  // open enters every record of the file).
  void insert(std::uint64_t position, FIELDS&& fields) { enter(position, fields, prefetch(fields)); }
  // The same, with the hashes `prefetch` returned for these fields.
  void insert(std::uint64_t position, FIELDS&& fields, const KeyHashes& hashes) { enter(position, fields, hashes); }

  // Removes the record from every index.  `entry` may be the map's own
  // entry for `recordID`; it is not used after it is removed.
  void erase(std::uint32_t recordID, const FileDBIndexEntry& entry) {
    VEL_TRACE_SCOPE("erase");
    eraseKeys(recordID, entry);
    d_recordIDMap->erase(recordID);  // `entry` may live here: last
  }

  // Empties every index.
  void erase() {
    VEL_TRACE_SCOPE("erase");
    for (std::size_t k = 0; k < d_uniqueKeys.size(); ++k) d_unique[k].erase();
    for (std::size_t k = 0; k < d_multiKeys.size(); ++k) d_multi[k].erase();
    d_recordIDMap->clear();
  }

  // Makes room for `count` records in the hashed indexes.
  void reserve(std::size_t count) {
    for (std::size_t k = 0; k < d_uniqueKeys.size(); ++k) d_unique[k].reserve(count);
    for (std::size_t k = 0; k < d_multiKeys.size(); ++k) d_multi[k].reserve(count);
  }

  // Starts fetching the index memory an insert of `fields` will touch, and
  // returns the hashes of its keys for that insert: an open issues it for
  // one record and enters that record after decoding the next one, so the
  // fetch overlaps the decoding.
  KeyHashes prefetch(const FIELDS& fields) const {
    KeyHashes hashes{};
    const std::size_t uniques = d_uniqueKeys.size();
    for (std::size_t k = 0; k < uniques; ++k) hashes[k] = d_unique[k].prefetch(fields.*d_uniqueKeys[k].field);
    for (std::size_t k = 0; k < d_multiKeys.size(); ++k) hashes[uniques + k] = d_multi[k].prefetch(fields.*d_multiKeys[k]);
    return hashes;
  }

  // ACCESSORS
  // The entry of `recordID`, or null; owned by the map.
  FileDBIndexEntry* find(std::uint32_t recordID) {
    VEL_TRACE_SCOPE("find");
    auto it = d_recordIDMap->find(recordID);
    return it == d_recordIDMap->end() ? nullptr : &it->second;
  }
  const RecordIDMap& records() const { return *d_recordIDMap; }

  // The index of the k-th unique (multi) key of the list.
  FileDBUniqueIndex& uniqueIndex(std::size_t k) { return d_unique[k]; }
  const FileDBUniqueIndex& uniqueIndex(std::size_t k) const { return d_unique[k]; }
  FileDBMultiIndex& multiIndex(std::size_t k) { return d_multi[k]; }
  // The index of `field`; null when it is not indexed that way.
  FileDBUniqueIndex* uniqueIndexOf(Field field) {
    for (std::size_t k = 0; k < d_uniqueKeys.size(); ++k) {
      if (d_uniqueKeys[k].field == field) return &d_unique[k];
    }
    return nullptr;
  }
  FileDBMultiIndex* multiIndexOf(Field field) {
    for (std::size_t k = 0; k < d_multiKeys.size(); ++k) {
      if (d_multiKeys[k] == field) return &d_multi[k];
    }
    return nullptr;
  }

 private:
  // A key for a record's entry: copied from const fields, moved from others.
  static const VELBuffer& take(const VELBuffer& key) { return key; }
  static VELBuffer&& take(VELBuffer& key) { return std::move(key); }

  // Enters the record in every index; its entry holds the keys, taken from
  // `fields` (const FIELDS or FIELDS), whose hashes `hashes` holds.
  template <class F>
  void enter(std::uint64_t position, F& fields, const KeyHashes& hashes) {
    VEL_TRACE_SCOPE("insert");
    // A file's records mostly come in ascending ID order: those go in at
    // the map's end without a search.
    RecordIDMap& map = *d_recordIDMap;
    const bool last = map.empty() || map.rbegin()->first < fields.recordID;
    const auto [it, added] =
        last ? std::make_pair(map.emplace_hint(map.end(), fields.recordID, FileDBIndexEntry()), true)
             : map.try_emplace(fields.recordID);
    FileDBIndexEntry& entry = it->second;
    // A record entered again under its ID leaves no key of its old self.
    if (!added) eraseKeys(fields.recordID, entry);
    entry.position = position;
    entry.keys.clear();
    entry.keys.reserve(d_uniqueKeys.size() + d_multiKeys.size());
    const FileDBUniqueLocation unique{position, fields.recordID};
    const std::size_t uniques = d_uniqueKeys.size();
    for (std::size_t k = 0; k < uniques; ++k) {
      entry.keys.push_back(take(fields.*d_uniqueKeys[k].field));
      d_unique[k].insert(entry.keys.back(), hashes[k], unique);
    }
    const FileDBMultiLocation multi{static_cast<std::uint32_t>(position), fields.recordID};
    for (std::size_t k = 0; k < d_multiKeys.size(); ++k) {
      entry.keys.push_back(take(fields.*d_multiKeys[k]));
      d_multi[k].insert(entry.keys.back(), hashes[uniques + k], multi);
    }
  }

  // Takes the record's keys out of the unique and multi indexes.
  void eraseKeys(std::uint32_t recordID, const FileDBIndexEntry& entry) {
    const std::size_t uniques = d_uniqueKeys.size();
    for (std::size_t k = 0; k < uniques; ++k) d_unique[k].erase(entry.keys[k], recordID);
    const FileDBMultiLocation multi{static_cast<std::uint32_t>(entry.position), recordID};
    for (std::size_t k = 0; k < d_multiKeys.size(); ++k) d_multi[k].erase(entry.keys[uniques + k], multi);
  }

  // DATA
  std::vector<UniqueKey> d_uniqueKeys;
  std::vector<Field> d_multiKeys;
  std::unique_ptr<FileDBUniqueIndex[]> d_unique;
  std::unique_ptr<FileDBMultiIndex[]> d_multi;
  std::unique_ptr<RecordIDMap> d_recordIDMap;
};

#endif
