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

// Elements [offsets[i], offsets[i + 1]) of one arena.
struct StringsPiece {
  std::span<const uint64_t> offsets;  // count + 1 entries, ascending
  const char* bytes = nullptr;

  size_t size() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::string_view operator[](size_t i) const {
    return {bytes + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i])};
  }
};

// A view of one arena (a StringColumn or any compatible layout), or of several pieces in turn
// (the chunks of a column that another library holds); the pieces array belongs to the caller.
class StringsRef {
 public:
  StringsRef() = default;
  StringsRef(std::span<const uint64_t> offsets, const char* bytes)
      : one_{offsets, bytes}, size_(one_.size()) {}
  explicit StringsRef(const StringColumn& c) : StringsRef(c.offsets(), c.bytes().data()) {}
  explicit StringsRef(std::span<const StringsPiece> pieces)
      : many_(pieces.data()), count_(pieces.size()) {
    for (const StringsPiece& p : pieces) size_ += p.size();
  }

  size_t size() const { return size_; }
  std::span<const StringsPiece> pieces() const {
    return many_ != nullptr ? std::span<const StringsPiece>(many_, count_)
                            : std::span<const StringsPiece>(&one_, 1);
  }
  // Element i; with several pieces, found by walking them.
  std::string_view operator[](size_t i) const {
    for (const StringsPiece& p : pieces()) {
      if (i < p.size()) return p[i];
      i -= p.size();
    }
    return {};
  }

 private:
  StringsPiece one_;
  const StringsPiece* many_ = nullptr;
  size_t count_ = 0;
  size_t size_ = 0;
};

}  // namespace kvt
