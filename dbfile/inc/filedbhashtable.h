// filedbhashtable.h -- a flat hash table from byte-string keys to small
// values, the storage of the unique and multi indexes.
//
// One array of slots, each holding the key's hash, the key and the value;
// linear probing; removal shifts the following entries back instead of
// leaving tombstones.  An index build inserts one entry per record into each
// of several indexes, so what matters is that an insert touches one cache
// line and allocates nothing (keys of up to 24 bytes live inside the slot).
//
// Equal keys are allowed and keep their insertion order: they share a home
// slot, an insert lands on the first free slot past every entry already
// there, a removal only ever moves an entry back past free space, and a
// rehash re-inserts the entries cluster by cluster.  The table never fills
// past 80 %; capacities are not powers of two, so that `reserve` can size
// the table close to what it will hold.
//
// Pointers to values stay valid until the next change.
#ifndef DBFILE_FILEDBHASHTABLE_H
#define DBFILE_FILEDBHASHTABLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

#include "velbuffer.h"

struct FileDBKeyHash {
  std::uint64_t operator()(const VELBuffer& key) const noexcept {
    return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
  }
};

template <class Value, class Hash = FileDBKeyHash>
class FileDBHashTable {
 public:
  // Where a search stands: the slot it examines next and what it looks for.
  struct Cursor {
    std::size_t slot = 0;
    std::uint64_t tag = 0;  // 0: the search has ended
  };

  FileDBHashTable() = default;
  FileDBHashTable(const FileDBHashTable&) = delete;
  FileDBHashTable& operator=(const FileDBHashTable&) = delete;

  std::size_t size() const { return d_size; }

  // Makes room for `count` entries in all without rehashing.
  void reserve(std::size_t count) {
    const std::size_t needed = capacityFor(count);
    if (needed > d_capacity) rehash(needed);
  }

  // Removes every entry and gives the memory back.
  void clear() {
    d_slots.reset();
    d_capacity = 0;
    d_size = 0;
  }

  // The hash of `key` that places it: the functions below that take a
  // `hash` want this one, computed once ahead (see `prefetch`).
  static std::uint64_t hashOf(const VELBuffer& key) { return Hash()(key) | 1u; }

  // Adds an entry after every entry with an equal key.
  void insert(const VELBuffer& key, const Value& value) { insert(key, hashOf(key), value); }
  void insert(const VELBuffer& key, std::uint64_t hash, const Value& value) {
    makeRoomForOne();
    place(hash, key, value);
  }

  // Gives the first entry equal to `key` (whose `hashOf` is `hash`) the
  // value `value`, or adds one entry when there is none: one walk of the
  // key's cluster.
  void assign(const VELBuffer& key, std::uint64_t hash, const Value& value) {
    makeRoomForOne();
    const std::uint64_t tag = hash;
    std::size_t i = home(tag);
    for (; d_slots[i].tag != 0; i = following(i)) {
      Slot& s = d_slots[i];
      if (s.tag == tag && equal(s.key, key)) {
        s.value = value;
        return;
      }
    }
    fill(i, tag, key, value);
  }

  // The first entry equal to `key`, or null; `cursor` is set up for `next`.
  Value* find(const VELBuffer& key, Cursor& cursor) {
    cursor = Cursor();
    if (d_size == 0) return nullptr;
    cursor.tag = hashOf(key);
    cursor.slot = home(cursor.tag);
    return next(key, cursor);
  }
  const Value* find(const VELBuffer& key) const {
    Cursor cursor;
    return const_cast<FileDBHashTable*>(this)->find(key, cursor);
  }

  // The next entry equal to `key` after the one `cursor` last returned, or
  // null at the end.  `key` must be the key the cursor was set up with, and
  // the table must not have changed since.
  Value* next(const VELBuffer& key, Cursor& cursor) {
    if (cursor.tag == 0 || d_capacity == 0) return nullptr;
    for (std::size_t i = cursor.slot;; i = following(i)) {
      Slot& s = d_slots[i];
      if (s.tag == 0) break;
      if (s.tag == cursor.tag && equal(s.key, key)) {
        cursor.slot = following(i);
        return &s.value;
      }
    }
    cursor.tag = 0;
    return nullptr;
  }

  // Asks the processor to fetch the home slot of the key whose `hashOf` is
  // `hash` ahead of an insert or a lookup, so that a loop can overlap that
  // memory access with other work.
  void prefetch(std::uint64_t hash) const {
    if (d_capacity == 0) return;
    const char* slot = reinterpret_cast<const char*>(&d_slots[home(hash)]);
    __builtin_prefetch(slot, 1);
    __builtin_prefetch(slot + sizeof(Slot) - 1, 1);
  }

  // Removes the first entry (in insertion order) equal to `key` whose value
  // satisfies `match`; true when there was one.
  template <class Match>
  bool eraseFirst(const VELBuffer& key, Match match) {
    if (d_size == 0) return false;
    const std::uint64_t tag = hashOf(key);
    for (std::size_t i = home(tag);; i = following(i)) {
      Slot& s = d_slots[i];
      if (s.tag == 0) return false;
      if (s.tag == tag && equal(s.key, key) && match(static_cast<const Value&>(s.value))) {
        removeAt(i);
        return true;
      }
    }
  }

  // Calls `f(key, value)` for every entry; equal keys in insertion order.
  template <class F>
  void forEach(F f) const {
    if (d_size == 0) return;
    const std::size_t start = firstFree();
    for (std::size_t n = 0, i = following(start); n < d_capacity; ++n, i = following(i)) {
      if (d_slots[i].tag != 0) f(static_cast<const VELBuffer&>(d_slots[i].key), static_cast<const Value&>(d_slots[i].value));
    }
  }

 private:
  struct Slot {
    std::uint64_t tag = 0;  // hash of the key with the low bit set; 0: free
    VELBuffer key;
    Value value{};
  };

  void makeRoomForOne() {
    if (capacityFor(d_size + 1) > d_capacity) rehash(capacityFor(d_size < 8 ? 16 : 2 * d_size));
  }

  // At most 4 entries in 5 slots.
  static std::size_t capacityFor(std::size_t count) { return count + count / 4 + 1; }

  // The tag's home slot, from its high bits: tag * capacity / 2^64.
  std::size_t home(std::uint64_t tag) const {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(tag) * d_capacity) >> 64);
  }

  std::size_t following(std::size_t i) const { return i + 1 == d_capacity ? 0 : i + 1; }

  // Cyclic distance from slot `from` forward to slot `to`.
  std::size_t distance(std::size_t from, std::size_t to) const {
    return to >= from ? to - from : to + d_capacity - from;
  }

  static bool equal(const VELBuffer& a, const VELBuffer& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size()) == 0);
  }

  // A free slot; the table is never full.
  std::size_t firstFree() const {
    std::size_t i = 0;
    while (d_slots[i].tag != 0) ++i;
    return i;
  }

  // Puts the entry in the first free slot from its home.
  template <class K>
  void place(std::uint64_t tag, K&& key, const Value& value) {
    std::size_t i = home(tag);
    while (d_slots[i].tag != 0) i = following(i);
    fill(i, tag, std::forward<K>(key), value);
  }

  template <class K>
  void fill(std::size_t i, std::uint64_t tag, K&& key, const Value& value) {
    Slot& s = d_slots[i];
    s.key = std::forward<K>(key);
    s.value = value;
    s.tag = tag;
    ++d_size;
  }

  void removeAt(std::size_t hole) {
    // Every later entry of the cluster that may sit in the hole moves back
    // into it: the entries between its home and its slot stay contiguous.
    for (std::size_t j = following(hole);; j = following(j)) {
      Slot& s = d_slots[j];
      if (s.tag == 0) break;
      if (distance(home(s.tag), j) >= distance(hole, j)) {
        Slot& h = d_slots[hole];
        h.tag = s.tag;
        h.key = std::move(s.key);
        h.value = s.value;
        hole = j;
      }
    }
    Slot& h = d_slots[hole];
    h.tag = 0;
    h.key = VELBuffer();
    --d_size;
  }

  void rehash(std::size_t capacity) {
    std::unique_ptr<Slot[]> old = std::move(d_slots);
    const std::size_t oldCapacity = d_capacity;
    std::size_t start = 0;
    if (old) {
      while (old[start].tag != 0) ++start;
    }
    d_slots.reset(new Slot[capacity]);
    d_capacity = capacity;
    d_size = 0;
    // Starting at a free slot visits each cluster whole, from its start, so
    // that equal keys are re-inserted in their order.
    for (std::size_t n = 0, i = start; n < oldCapacity; ++n, i = i + 1 == oldCapacity ? 0 : i + 1) {
      Slot& s = old[i];
      if (s.tag != 0) place(s.tag, std::move(s.key), s.value);
    }
  }

  std::unique_ptr<Slot[]> d_slots;
  std::size_t d_capacity = 0;
  std::size_t d_size = 0;
};

#endif
