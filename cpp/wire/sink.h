// Sinks for the one set of encode routines: Sizer only counts bytes, Writer stores them.
//
// Every encoder is a template over the sink, so the sizing pass and the writing pass walk the
// same code and cannot disagree. A Writer writes into memory that the sizing pass measured; it
// does no bounds checks of its own (debug builds assert).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvt {

class Sizer {
 public:
  static constexpr bool kWrites = false;
  void put(const void*, size_t n) { size_ += n; }
  void put_u8(uint8_t) { ++size_; }
  void skip(size_t n) { size_ += n; }
  size_t size() const { return size_; }

 private:
  size_t size_ = 0;
};

class Writer {
 public:
  static constexpr bool kWrites = true;
  Writer(uint8_t* begin, size_t capacity) : begin_(begin), p_(begin), end_(begin + capacity) {}

  void put(const void* src, size_t n) {
    assert(n <= static_cast<size_t>(end_ - p_));
    if (n) std::memcpy(p_, src, n);
    p_ += n;
  }
  void put_u8(uint8_t b) {
    assert(p_ < end_);
    *p_++ = b;
  }
  // Hands out room for exactly n bytes that the caller fills at once.
  uint8_t* reserve(size_t n) {
    assert(n <= static_cast<size_t>(end_ - p_));
    uint8_t* r = p_;
    p_ += n;
    return r;
  }
  size_t size() const { return static_cast<size_t>(p_ - begin_); }
  uint8_t* position() const { return p_; }
  // Bytes left before the end of the planned memory.
  size_t room() const { return static_cast<size_t>(end_ - p_); }
  // Lets bulk encoders that wrote through position() move the cursor on.
  void advance(size_t n) {
    assert(n <= static_cast<size_t>(end_ - p_));
    p_ += n;
  }

 private:
  uint8_t* begin_;
  uint8_t* p_;
  uint8_t* end_;
};

// Bulk encoders write long columns in pieces of about this many bytes (a cache's worth) and call
// piece_written after each.
inline constexpr size_t kPieceBytes = size_t{64} << 10;

// Bulk encoders call this after each piece of a long column. A sink that checksums as it goes
// (it has on_piece()) can then take in the piece while it is still in cache.
template <class Sink>
void piece_written(Sink& s) {
  if constexpr (requires { s.on_piece(); }) s.on_piece();
}

}  // namespace kvt
