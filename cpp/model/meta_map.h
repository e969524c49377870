// MetaMap: a metadata map from UTF-8 key to Variant with unique keys.
//
// Inserting an existing key replaces its value in place. Iteration yields entries in first-insert
// order, which makes frames reproducible; readers must not rely on any order.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/keyed_hash.h"
#include "model/variant.h"

namespace kvt {

class MetaMap {
 public:
  using Entry = std::pair<std::string, Variant>;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  void insert(std::string key, Variant value);
  // The value stored under key, or nullptr. Keys compare as exact byte strings.
  const Variant* find(std::string_view key) const;

  friend bool operator==(const MetaMap& a, const MetaMap& b);

  // The most keys that share one bucket of the key index (0 while the map is small enough to be
  // searched linearly). Lets tests show that no choice of keys piles them into one chain.
  size_t longest_chain() const;

 private:
  std::vector<Entry> entries_;
  // Key -> position in entries_, kept once the map grows past kLinearLimit entries so that a
  // hostile frame with many keys cannot make decoding quadratic. The keys come from frames, so
  // they are hashed under the process's secret key: nobody can choose keys that share a chain.
  static constexpr size_t kLinearLimit = 8;
  std::unordered_map<std::string, size_t, KeyedStringHash, StringEqual> index_;
};

}  // namespace kvt
