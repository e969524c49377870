// The bulk varint loop shared by the kernels of wire/varint_seq.h, which differ only in how they
// convert runs of single-byte elements. Included by their translation units only.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "model/vec.h"
#include "wire/reader.h"
#include "wire/varint_form.h"

namespace kvt::detail {

// Per element type: how one element is read through the Reader, how a wire code (the unsigned
// varint value) becomes an element (zigzag for signed types), and whether FD (a 64-bit code) is
// a valid marker.
struct I64Elem {
  using T = int64_t;
  static constexpr bool kZigzag = true;
  static constexpr bool kWide = true;
  static Decoded<T> read(Reader& r) { return r.read_i64(); }
  static T from_code(uint64_t z) { return unzigzag64(z); }
};
struct I32Elem {
  using T = int32_t;
  static constexpr bool kZigzag = true;
  static constexpr bool kWide = false;
  static Decoded<T> read(Reader& r) { return r.read_i32(); }
  static T from_code(uint64_t z) { return unzigzag32(static_cast<uint32_t>(z)); }
};
struct U32Elem {
  using T = uint32_t;
  static constexpr bool kZigzag = false;
  static constexpr bool kWide = false;
  static Decoded<T> read(Reader& r) { return r.read_u32(); }
  static T from_code(uint64_t z) { return static_cast<uint32_t>(z); }
};
struct U64Elem {
  using T = uint64_t;
  static constexpr bool kZigzag = false;
  static constexpr bool kWide = true;
  static Decoded<T> read(Reader& r) { return r.read_u64(); }
  static T from_code(uint64_t z) { return z; }
};

// Encoded length of an element by its first byte; 0 for a byte that makes the element fail
// (FE, FF, and FD where only 32-bit codes are allowed).
template <bool kWide>
constexpr std::array<uint8_t, 256> make_length_table() {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b <= kVarintOneByteMax; ++b) t[b] = 1;
  t[0xFB] = 3;
  t[0xFC] = 5;
  t[0xFD] = kWide ? 9 : 0;
  return t;
}
template <bool kWide>
inline constexpr std::array<uint8_t, 256> kLengthTable = make_length_table<kWide>();

// The longest encoded element; while this many bytes remain an element can be decoded from
// one byte and one 8-byte load without bounds checks.
inline constexpr size_t kMaxElementBytes = 9;

// Consecutive elements of one width after which the loop switches to a run decoder for that
// width: blocks for single-byte elements, a loop with a fixed stride for wider ones. Data whose
// widths change often thus never pays for runs that end at once.
inline constexpr size_t kRunBeforeSwitch = 8;

// Elements decoded one at a time before windows (see read_seq_bulk) are tried again.
inline constexpr uint64_t kWindowsRetry = 256;

// Room for up to min(count, remaining) more elements, allocated at most once; every element
// takes at least one byte, so a larger count can only end in UnexpectedEnd. Out of line: it
// runs once per call, and inlined it takes registers from the decoding loop.
template <class T>
[[gnu::noinline]] size_t reserve_for(const Reader& r, uint64_t count, Vec<T>& out) {
  const size_t cap = static_cast<size_t>(std::min<uint64_t>(count, r.remaining()));
  if (out.capacity() - out.size() < cap) out.reserve(out.size() + cap);
  return cap;
}

// Decodes elements with first byte `marker` (FB, FC or FD) and width 1 + sizeof(U) while they
// follow one another, at least kMaxElementBytes remain and fewer than `count` are done. The
// fixed stride lets the next element's load start before this one is finished.
template <class E, class U>
[[gnu::always_inline]] inline void wide_run(uint8_t marker, uint64_t count, const uint8_t*& p,
                                            const uint8_t* end, uint64_t& k, typename E::T* dst) {
  while (k < count && static_cast<size_t>(end - p) >= kMaxElementBytes && *p == marker) {
    U v;
    std::memcpy(&v, p + 1, sizeof(U));
    dst[k++] = E::from_code(v);
    p += 1 + sizeof(U);
  }
}

// While at least kMaxElementBytes remain, elements are decoded straight from the input: the
// first byte gives the length, the value is the byte itself or the masked 8 bytes after it, so
// widths that change at random cost no mispredicted branches. After kRunBeforeSwitch elements
// of one width, a run decoder for that width takes over until the width changes. A byte that
// makes the element fail, and the last few bytes of the input, go through the Reader, which
// reports exactly the errors of the element-by-element path. On failure `out` holds the
// elements decoded before the failing one, as reading one by one leaves it.
//
// Runs::windows<E>(count, p, end, k, dst), where a kernel has it, decodes windows of the input
// while they suit it; it takes only elements that are valid and wholly inside the input, and may
// store up to 16 elements past k while count - k >= 16 and 16 bytes remain.
//
// Runs::single_byte_run<E>(count, p, end, k, dst) converts blocks of single-byte elements while
// fewer than `count` are done and a whole block remains in the input and below `count`; it stops
// after the block holding a marker, with p on that marker. It may store a whole block into dst.
template <class E, class Runs>
[[gnu::always_inline]] inline Decoded<void> read_seq_bulk(Reader& r, uint64_t count,
                                                          Vec<typename E::T>& out) {
  using T = typename E::T;
  constexpr const std::array<uint8_t, 256>& kLength = kLengthTable<E::kWide>;
  const size_t base = out.size();
  const size_t cap = reserve_for(r, count, out);
  out.resize(base + cap);  // default-initialised: only moves the end
  T* const dst = out.data() + base;

  // k elements took at least k bytes, so k + (end - p) <= remaining at entry; with k < count,
  // every store below stays within the `cap` elements added.
  const uint8_t* p = r.position();
  const uint8_t* const end = p + r.remaining();
  uint64_t k = 0;
  // Where Runs has windows(), they go first, and again every kWindowsRetry elements after they
  // give up on data that suits them badly.
  [[maybe_unused]] uint64_t windows_at = 0;
  size_t prev_len = 0, same = 0;
  while (k < count && static_cast<size_t>(end - p) >= kMaxElementBytes) {
    if constexpr (requires { Runs::template windows<E>(count, p, end, k, dst); }) {
      if (k >= windows_at) {
        Runs::template windows<E>(count, p, end, k, dst);
        windows_at = k + kWindowsRetry;
        if (k >= count || static_cast<size_t>(end - p) < kMaxElementBytes) break;
      }
    }
    const uint8_t b = *p;
    const size_t len = kLength[b];
    if (len == 0) break;
    uint64_t tail;
    std::memcpy(&tail, p + 1, 8);
    // Mask of the len - 1 bytes after the marker: 0 for one byte, all ones for nine.
    const unsigned half_bits = static_cast<unsigned>(len - 1) * 4;
    const uint64_t mask = ((uint64_t{1} << half_bits) << half_bits) - 1;
    const uint64_t single = uint64_t{0} - static_cast<uint64_t>(len == 1);
    dst[k++] = E::from_code((tail & mask) | (b & single));
    p += len;
    same = (same + 1) & (size_t{0} - static_cast<size_t>(len == prev_len));
    prev_len = len;
    if (same >= kRunBeforeSwitch) {
      same = 0;
      switch (b) {
        case 0xFB:
          wide_run<E, uint16_t>(b, count, p, end, k, dst);
          break;
        case 0xFC:
          wide_run<E, uint32_t>(b, count, p, end, k, dst);
          break;
        case 0xFD:
          wide_run<E, uint64_t>(b, count, p, end, k, dst);
          break;
        default:
          Runs::template single_byte_run<E>(count, p, end, k, dst);
          break;
      }
    }
  }
  r.skip_unchecked(static_cast<size_t>(p - r.position()));
  while (k < count) {
    auto v = E::read(r);
    if (!v) {
      out.resize(base + k);
      return std::unexpected(v.error());
    }
    dst[k++] = *v;
  }
  out.resize(base + k);
  return {};
}

}  // namespace kvt::detail
