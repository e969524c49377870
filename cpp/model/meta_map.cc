#include "model/meta_map.h"

#include <algorithm>

namespace kvt {

const Variant* MetaMap::find(std::string_view key) const {
  if (entries_.empty()) return nullptr;
  if (index_.empty()) {
    for (const auto& e : entries_) {
      if (e.first.size() == key.size() && e.first == key) return &e.second;
    }
    return nullptr;
  }
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

void MetaMap::insert(std::string key, Variant value) {
  if (index_.empty()) {
    for (auto& e : entries_) {
      if (e.first == key) {
        e.second = std::move(value);
        return;
      }
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (entries_.size() > kLinearLimit) {
      index_.reserve(entries_.size() * 2);
      for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
    }
    return;
  }
  auto [it, inserted] = index_.try_emplace(key, entries_.size());
  if (!inserted) {
    entries_[it->second].second = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

size_t MetaMap::longest_chain() const {
  size_t longest = 0;
  for (size_t b = 0; b < index_.bucket_count(); ++b)
    longest = std::max(longest, index_.bucket_size(b));
  return longest;
}

bool operator==(const MetaMap& a, const MetaMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [k, v] : a) {
    const Variant* other = b.find(k);
    if (other == nullptr || !(*other == v)) return false;
  }
  return true;
}

}  // namespace kvt
