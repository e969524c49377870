// RecentCache: what was looked up recently, for columns that repeat a few values many times.
//
// Two-way set associative with the most recently used entry of a set first; a store evicts the
// other. A column of n items gets between 16 and 16384 sets (fewer for short columns), so the
// cache costs O(1) per lookup and at most 32768 entries whatever the items are: keys that share
// a set only evict each other, they never make a lookup slower. Entries are default-constructed
// empty; the caller's match function must reject an empty entry.
//
// ShortText is the content key of a text element of at most 32 bytes: its length and at most four
// 8-byte words that together cover every byte (overlapping loads), so two keys are equal exactly
// when the elements are; a lookup compares keys alone and never touches the element again.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "model/strings.h"

namespace kvt {

template <class Entry>
class RecentCache {
 public:
  explicit RecentCache(size_t items) {
    size_t sets = 16;
    while (sets < kMaxSets && sets < items) sets *= 2;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(sets));
    entries_.resize(2 * sets);
  }

  // The entry of set `hash` (its top bits choose the set) that `match` accepts, or nullptr. A hit
  // in the second way moves it first.
  template <class Match>
  Entry* find(uint64_t hash, Match match) {
    Entry* set = set_of(hash);
    if (match(set[0])) return &set[0];
    if (match(set[1])) {
      std::swap(set[0], set[1]);
      return &set[0];
    }
    return nullptr;
  }
  // Puts e first in set `hash`, evicting the least recently used entry of the set.
  void store(uint64_t hash, const Entry& e) {
    store(hash, e, [](Entry&) {});
  }
  // The same, calling evicted(entry) on the entry that leaves first.
  template <class Evicted>
  void store(uint64_t hash, const Entry& e, Evicted evicted) {
    Entry* set = set_of(hash);
    evicted(set[1]);
    set[1] = set[0];
    set[0] = e;
  }
  // f(entry) for every entry, empty ones included.
  template <class F>
  void for_each(F f) {
    for (Entry& e : entries_) f(e);
  }

 private:
  static constexpr size_t kMaxSets = 16384;
  Entry* set_of(uint64_t hash) { return &entries_[2 * static_cast<size_t>(hash >> shift_)]; }
  unsigned shift_ = 0;
  std::vector<Entry> entries_;
};

// Whether looking items up among recent ones still pays: always for the first kTrial items, then
// only if at least one in eight of those was found (columns of mostly distinct values stop
// looking). Call looking(i) for item i, in order, and found() for each hit.
class RepeatTrial {
 public:
  static constexpr size_t kTrial = 4096;
  bool looking(size_t i) {
    if (i == kTrial) looking_ = found_ >= kTrial / 8;
    return looking_;
  }
  void found() { ++found_; }

 private:
  size_t found_ = 0;
  bool looking_ = true;
};

// The hash of a pointer, for caches keyed by object identity.
inline uint64_t identity_hash(const void* p) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ull;
}

struct ShortText {
  static constexpr size_t kMaxLen = 32;
  uint64_t w[4] = {0, 0, 0, 0};
  uint64_t len = 0;

  // The key of s, which must be at most kMaxLen bytes long.
  static ShortText of(std::string_view s) {
    const char* p = s.data();
    const size_t n = s.size();
    ShortText k;
    k.len = n;
    if (n > 16) {
      k.w[0] = load8(p);
      k.w[1] = load8(p + 8);
      k.w[2] = load8(p + n - 16);
      k.w[3] = load8(p + n - 8);
    } else if (n >= 8) {
      k.w[0] = load8(p);
      k.w[1] = load8(p + n - 8);
    } else if (n >= 4) {
      k.w[0] = load4(p) | (load4(p + n - 4) << 32);
    } else if (n > 0) {
      k.w[0] = byte_of(p[0]) | (byte_of(p[n / 2]) << 8) | (byte_of(p[n - 1]) << 16);
    }
    return k;
  }
  uint64_t hash() const {
    uint64_t h = (len + 1) * 0x9E3779B97F4A7C15ull;
    h = (h ^ w[0]) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ w[1]) * 0x94D049BB133111EBull;
    if (len > 16) {
      h = (h ^ w[2]) * 0xBF58476D1CE4E5B9ull;
      h = (h ^ w[3]) * 0x94D049BB133111EBull;
    }
    return h;
  }
  bool operator==(const ShortText& o) const {
    return len == o.len &&
           ((w[0] ^ o.w[0]) | (w[1] ^ o.w[1]) | (w[2] ^ o.w[2]) | (w[3] ^ o.w[3])) == 0;
  }
};

}  // namespace kvt
