// The portable bulk varint kernels: the build's kernels when it has no vector ones
// (wire/simd.h), and the reference the vector kernels are checked against.
#include <bit>
#include <cstddef>
#include <cstring>

#include "wire/varint_seq.h"
#include "wire/varint_seq_kernel.h"

namespace kvt::scalar {
namespace {

using detail::I32Elem;
using detail::I64Elem;
using detail::U32Elem;
using detail::U64Elem;

constexpr uint64_t kHighBits = 0x8080808080808080;
constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7F;
constexpr uint64_t kFives = 0x0505050505050505;

// The high bit of each byte of w that is a varint marker (>= 251), all other bits clear:
// (b & 7F) + 5 reaches bit 7 exactly when b & 7F >= 7B, and never carries out of its byte.
inline uint64_t marker_bits(uint64_t w) { return w & ((w & kLowBits) + kFives) & kHighBits; }

// Index within an 8-byte word, loaded in native byte order, of its first byte (in memory
// order) whose bit is set in `bits`, which is not 0 and holds only high bits of bytes.
inline size_t first_marked_byte(uint64_t bits) {
  const int bit =
      std::endian::native == std::endian::little ? std::countr_zero(bits) : std::countl_zero(bits);
  return static_cast<size_t>(bit) / 8;
}

struct WordRuns {
  // Converts 8-byte blocks of single-byte elements while fewer than `count` are done; stops
  // after the block holding a marker, with p on that marker.
  template <class E>
  static void single_byte_run(uint64_t count, const uint8_t*& p, const uint8_t* end, uint64_t& k,
                              typename E::T* dst) {
    while (count - k >= 8 && end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      // Marker bytes give values that the caller overwrites.
      for (size_t i = 0; i < 8; ++i) dst[k + i] = E::from_code(p[i]);
      const uint64_t m = marker_bits(w);
      const size_t n = m ? first_marked_byte(m) : 8;
      p += n;
      k += n;
      if (m) return;
    }
  }
};

}  // namespace

Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out) {
  return detail::read_seq_bulk<I64Elem, WordRuns>(r, count, out);
}
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out) {
  return detail::read_seq_bulk<I32Elem, WordRuns>(r, count, out);
}
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out) {
  return detail::read_seq_bulk<U32Elem, WordRuns>(r, count, out);
}
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out) {
  return detail::read_seq_bulk<U64Elem, WordRuns>(r, count, out);
}

}  // namespace kvt::scalar
