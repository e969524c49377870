// Columns of text or byte strings, stored as one byte arena plus offsets.
//
// Element i is bytes[offsets[i], offsets[i+1]). offsets always holds size()+1 entries and starts
// with 0. A StringColumn owns its storage; a StringsRef views one (or any compatible arena) and
// frees nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "model/vec.h"

namespace kvt {

class StringColumn {
 public:
  StringColumn() : offsets_(1, 0) {}

  // A moved-from column has lost its offsets; it reads as empty rather than as SIZE_MAX rows.
  size_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  bool empty() const { return size() == 0; }
  std::string_view operator[](size_t i) const {
    return {bytes_.data() + offsets_[i], static_cast<size_t>(offsets_[i + 1] - offsets_[i])};
  }

  // Room for `count` more elements and `nbytes` more bytes.
  void reserve(size_t count, size_t nbytes) {
    offsets_.reserve(offsets_.size() + count);
    bytes_.reserve(bytes_.size() + nbytes);
  }
  void push_back(std::string_view s) {
    if (offsets_.empty()) offsets_.push_back(bytes_.size());
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    offsets_.push_back(bytes_.size());
  }

  const Vec<uint64_t>& offsets() const { return offsets_; }
  const Vec<char>& bytes() const { return bytes_; }
  // Direct access for bulk builders; callers keep the invariant above.
  Vec<uint64_t>& mutable_offsets() { return offsets_; }
  Vec<char>& mutable_bytes() { return bytes_; }

 private:
  Vec<uint64_t> offsets_;
  Vec<char> bytes_;
};

class StringsRef {
 public:
  StringsRef() = default;
  StringsRef(std::span<const uint64_t> offsets, const char* bytes)
      : offsets_(offsets), bytes_(bytes) {}
  explicit StringsRef(const StringColumn& c) : offsets_(c.offsets()), bytes_(c.bytes().data()) {}

  size_t size() const { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  std::string_view operator[](size_t i) const {
    return {bytes_ + offsets_[i], static_cast<size_t>(offsets_[i + 1] - offsets_[i])};
  }
  std::span<const uint64_t> offsets() const { return offsets_; }
  const char* bytes() const { return bytes_; }

 private:
  std::span<const uint64_t> offsets_;
  const char* bytes_ = nullptr;
};

}  // namespace kvt
