// Columns of text or byte strings, stored as one byte arena plus offsets.
//
// Element i is bytes[offsets[i], offsets[i+1]). offsets always holds size()+1 entries and starts
// with 0. A StringColumn owns its storage; a StringsRef views one (or any compatible arena) and
// frees nothing. The one exception is a column decoded in place (InFrameText below), which views
// the input it was decoded from and has neither offsets nor an arena.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "model/vec.h"

namespace kvt {

// Elements left in the input they were decoded from, in frame form: each a one-byte length (at
// most 250) and then its bytes, the first at `first`, `count` of them back to back, `bytes`
// element bytes in all (length bytes not counted). The decoder has checked them (UTF-8 for text).
// Loads anywhere in [first, limit) are in bounds. Valid while the input is.
struct InFrameText {
  const uint8_t* first = nullptr;
  const uint8_t* limit = nullptr;
  size_t count = 0;
  size_t bytes = 0;
};

class StringColumn {
 public:
  StringColumn() : offsets_(1, 0) {}
  // A column that views elements in place; its offsets and arena stay empty.
  static StringColumn in_frame(const InFrameText& t) {
    StringColumn c;
    c.offsets_.clear();
    c.in_frame_ = t;
    return c;
  }
  StringColumn(const StringColumn&) = default;
  StringColumn& operator=(const StringColumn&) = default;
  StringColumn(StringColumn&& o) noexcept
      : offsets_(std::move(o.offsets_)), bytes_(std::move(o.bytes_)), in_frame_(o.in_frame_) {
    o.in_frame_ = {};
  }
  StringColumn& operator=(StringColumn&& o) noexcept {
    offsets_ = std::move(o.offsets_);
    bytes_ = std::move(o.bytes_);
    in_frame_ = o.in_frame_;
    o.in_frame_ = {};
    return *this;
  }

  // A moved-from column has lost its offsets; it reads as empty rather than as SIZE_MAX rows.
  size_t size() const {
    if (in_frame_.first != nullptr) return in_frame_.count;
    return offsets_.empty() ? 0 : offsets_.size() - 1;
  }
  bool empty() const { return size() == 0; }
  // The elements' bytes in all.
  size_t byte_count() const { return in_frame_.first != nullptr ? in_frame_.bytes : bytes_.size(); }
  // Set for a column decoded in place: then only size(), byte_count() and this describe it (no
  // offsets, no arena, no operator[]).
  const InFrameText* in_frame() const { return in_frame_.first != nullptr ? &in_frame_ : nullptr; }
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
  InFrameText in_frame_;
};

// Unaligned little-endian loads of text bytes, for keys and slots built in words.
inline uint64_t load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint64_t load4(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t byte_of(char c) { return static_cast<unsigned char>(c); }

// Copies n bytes; short elements (the common case in text columns) move as at most two pairs of
// overlapping word loads and stores instead of a library call each.
inline void copy_element(char* dst, const char* src, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n > 0 && n < 4) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  } else if (n > 16) {
    std::memcpy(dst, src, n);
  }
}

// One text element held without an arena, as column intake builds it: an element of at most
// kInline bytes is kept inline as its length byte and its bytes (the rest zero), which is also how
// a frame carries it; a longer one as 0xFF, its length (7 bytes) and a pointer to its bytes, which
// the caller keeps alive and unchanged while the slot is in use.
struct alignas(16) TextSlot {
  static constexpr size_t kInline = 15;
  static constexpr unsigned char kPointer = 0xFF;
  unsigned char b[16];

  // The slot of s; s's bytes are only read (never beyond s.size()) and, when s is longer than
  // kInline, pointed to. The slot is put together in two words (loads of the element's bytes
  // that may overlap, then shifts) rather than byte by byte, so that copying it right after does
  // not wait on a dozen narrow stores.
  static TextSlot of(std::string_view s) {
    const size_t n = s.size();
    const char* p = s.data();
    uint64_t lo = 0, hi = 0;
    if (n >= 8 && n <= kInline) {
      const uint64_t head = load8(p);
      const uint64_t tail = n == 8 ? 0 : load8(p + n - 8) >> (8 * (16 - n));  // bytes 8 .. n-1
      lo = n | (head << 8);
      hi = (head >> 56) | (tail << 8);
    } else if (n >= 4 && n < 8) {
      const uint64_t bytes = load4(p) | (load4(p + n - 4) << (8 * (n - 4)));
      lo = n | (bytes << 8);
    } else if (n > 0 && n < 4) {
      const uint64_t bytes = byte_of(p[0]) | (byte_of(p[n / 2]) << (8 * (n / 2))) |
                             (byte_of(p[n - 1]) << (8 * (n - 1)));
      lo = n | (bytes << 8);
    } else if (n > kInline) {
      lo = kPointer | (static_cast<uint64_t>(n) << 8);  // the low 7 bytes of the length
      hi = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
    }
    TextSlot t;
    std::memcpy(t.b, &lo, 8);
    std::memcpy(t.b + 8, &hi, 8);
    return t;
  }
  bool is_inline() const { return b[0] <= kInline; }
  size_t size() const {
    if (is_inline()) return b[0];
    uint64_t len = 0;
    std::memcpy(&len, b + 1, 7);
    return static_cast<size_t>(len);
  }
  const char* data() const {
    if (is_inline()) return reinterpret_cast<const char*>(b + 1);
    const char* p;
    std::memcpy(&p, b + 8, sizeof p);
    return p;
  }
  std::string_view view() const { return {data(), size()}; }
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

// A view of one arena (a StringColumn or any compatible layout), of several pieces in turn (the
// chunks of a column that another library holds), or of TextSlots; the pieces or slots array
// belongs to the caller. A slots view also carries the size of its elements in frame form: each
// element's length varint plus its bytes.
class StringsRef {
 public:
  StringsRef() = default;
  StringsRef(std::span<const uint64_t> offsets, const char* bytes)
      : one_{offsets, bytes}, size_(one_.size()) {}
  // Of an arena column; a column decoded in place has no arena to view.
  explicit StringsRef(const StringColumn& c) : StringsRef(c.offsets(), c.bytes().data()) {
    assert(c.in_frame() == nullptr);
  }
  explicit StringsRef(std::span<const StringsPiece> pieces)
      : many_(pieces.data()), count_(pieces.size()) {
    for (const StringsPiece& p : pieces) size_ += p.size();
  }
  StringsRef(std::span<const TextSlot> slots, uint64_t encoded_bytes)
      : slots_(slots.data()), size_(slots.size()), encoded_bytes_(encoded_bytes) {}

  size_t size() const { return size_; }
  // The slots of a slots view, else empty (then the elements are in pieces()).
  std::span<const TextSlot> slots() const {
    return slots_ != nullptr ? std::span<const TextSlot>(slots_, size_)
                             : std::span<const TextSlot>();
  }
  // Of a slots view: the length varints and bytes of all elements.
  uint64_t encoded_bytes() const { return encoded_bytes_; }
  // The pieces of an arena view (none for a slots view).
  std::span<const StringsPiece> pieces() const {
    if (slots_ != nullptr) return {};
    return many_ != nullptr ? std::span<const StringsPiece>(many_, count_)
                            : std::span<const StringsPiece>(&one_, 1);
  }
  // Element i; with several pieces, found by walking them.
  std::string_view operator[](size_t i) const {
    if (slots_ != nullptr) return slots_[i].view();
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
  const TextSlot* slots_ = nullptr;
  size_t size_ = 0;
  uint64_t encoded_bytes_ = 0;
};

}  // namespace kvt
