#include "wire/varint_seq.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace kvt {
namespace {

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
  for (int b = 0; b <= 250; ++b) t[b] = 1;
  t[0xFB] = 3;
  t[0xFC] = 5;
  t[0xFD] = kWide ? 9 : 0;
  return t;
}
template <bool kWide>
constexpr std::array<uint8_t, 256> kLengthTable = make_length_table<kWide>();

// The longest encoded element; while this many bytes remain an element can be decoded from
// one byte and one 8-byte load without bounds checks.
constexpr size_t kMaxElementBytes = 9;

// Consecutive elements of one width after which the loop switches to a run decoder for that
// width: 16-byte blocks for single-byte elements, a loop with a fixed stride for wider ones.
// Data whose widths change often thus never pays for runs that end at once.
constexpr size_t kRunBeforeSwitch = 8;

// Bit i set where byte i of x is a varint marker (>= 251).
inline uint32_t marker_mask(__m128i x) {
  const __m128i m = _mm_max_epu8(x, _mm_set1_epi8(static_cast<char>(251)));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(m, x)));
}

// Converts the 16 bytes of x, taken as single-byte varints, into dst[0, 16). Marker bytes give
// values that the caller overwrites; dst must have room for 16 elements.
template <class E>
inline void convert16(__m128i x, typename E::T* dst) {
  using T = typename E::T;
  const __m128i zero = _mm_setzero_si128();
  __m128i v = x;
  __m128i ext8 = zero;
  if constexpr (E::kZigzag) {
    // (b >> 1) ^ -(b & 1) fits in a signed byte for b <= 250; its sign is the low bit of b.
    const __m128i half = _mm_and_si128(_mm_srli_epi16(x, 1), _mm_set1_epi8(0x7F));
    const __m128i one = _mm_set1_epi8(1);
    ext8 = _mm_cmpeq_epi8(_mm_and_si128(x, one), one);
    v = _mm_xor_si128(half, ext8);
  }
  auto ext16 = [&](__m128i w) { return E::kZigzag ? _mm_srai_epi16(w, 15) : zero; };
  auto ext32 = [&](__m128i d) { return E::kZigzag ? _mm_srai_epi32(d, 31) : zero; };
  const __m128i w[2] = {_mm_unpacklo_epi8(v, ext8), _mm_unpackhi_epi8(v, ext8)};
  __m128i d[4];
  for (int i = 0; i < 2; ++i) {
    d[2 * i] = _mm_unpacklo_epi16(w[i], ext16(w[i]));
    d[2 * i + 1] = _mm_unpackhi_epi16(w[i], ext16(w[i]));
  }
  auto* out = reinterpret_cast<__m128i*>(dst);
  if constexpr (sizeof(T) == 4) {
    for (int i = 0; i < 4; ++i) _mm_storeu_si128(out + i, d[i]);
  } else {
    static_assert(sizeof(T) == 8);
    for (int i = 0; i < 4; ++i) {
      _mm_storeu_si128(out + 2 * i, _mm_unpacklo_epi32(d[i], ext32(d[i])));
      _mm_storeu_si128(out + 2 * i + 1, _mm_unpackhi_epi32(d[i], ext32(d[i])));
    }
  }
}

// Room for up to min(count, remaining) more elements, allocated at most once; every element
// takes at least one byte, so a larger count can only end in UnexpectedEnd.
template <class T>
size_t reserve_for(const Reader& r, uint64_t count, Vec<T>& out) {
  const size_t cap = static_cast<size_t>(std::min<uint64_t>(count, r.remaining()));
  if (out.capacity() - out.size() < cap) out.reserve(out.size() + cap);
  return cap;
}

template <class E>
Decoded<void> read_seq_slow(Reader& r, uint64_t count, Vec<typename E::T>& out) {
  reserve_for(r, count, out);
  for (uint64_t i = 0; i < count; ++i) {
    auto v = E::read(r);
    if (!v) return std::unexpected(v.error());
    out.push_back(*v);
  }
  return {};
}

// Decodes elements with first byte `marker` (FB, FC or FD) and width 1 + sizeof(U) while they
// follow one another, at least kMaxElementBytes remain and fewer than `count` are done. The
// fixed stride lets the next element's load start before this one is finished.
template <class E, class U>
inline void wide_run(uint8_t marker, uint64_t count, const uint8_t*& p, const uint8_t* end,
                     uint64_t& k, typename E::T* dst) {
  while (k < count && static_cast<size_t>(end - p) >= kMaxElementBytes && *p == marker) {
    U v;
    std::memcpy(&v, p + 1, sizeof(U));
    dst[k++] = E::from_code(v);
    p += 1 + sizeof(U);
  }
}

// Converts 16-byte blocks of single-byte elements while fewer than `count` are done; stops
// after the block holding a marker, with p on that marker.
template <class E>
inline void single_byte_run(uint64_t count, const uint8_t*& p, const uint8_t* end, uint64_t& k,
                            typename E::T* dst) {
  while (count - k >= 16 && end - p >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    convert16<E>(x, dst + k);
    const uint32_t m = marker_mask(x);
    const size_t n = m ? static_cast<size_t>(__builtin_ctz(m)) : 16;
    p += n;
    k += n;
    if (m) return;
  }
}

// While at least kMaxElementBytes remain, elements are decoded straight from the input: the
// first byte gives the length, the value is the byte itself or the masked 8 bytes after it, so
// widths that change at random cost no mispredicted branches. After kRunBeforeSwitch elements
// of one width, a run decoder for that width takes over until the width changes. A byte that
// makes the element fail, and the last few bytes of the input, go through the Reader, which
// reports exactly the errors of the element-by-element path. On failure `out` holds the
// elements decoded before the failing one, as the slow path leaves it.
template <class E>
Decoded<void> read_seq_fast(Reader& r, uint64_t count, Vec<typename E::T>& out) {
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
  size_t prev_len = 0, same = 0;
  while (k < count && static_cast<size_t>(end - p) >= kMaxElementBytes) {
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
          single_byte_run<E>(count, p, end, k, dst);
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

}  // namespace

Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out) {
  return read_seq_fast<I64Elem>(r, count, out);
}
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out) {
  return read_seq_fast<I32Elem>(r, count, out);
}
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out) {
  return read_seq_fast<U32Elem>(r, count, out);
}
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out) {
  return read_seq_fast<U64Elem>(r, count, out);
}

Decoded<void> read_i64_seq_slow(Reader& r, uint64_t count, Vec<int64_t>& out) {
  return read_seq_slow<I64Elem>(r, count, out);
}
Decoded<void> read_i32_seq_slow(Reader& r, uint64_t count, Vec<int32_t>& out) {
  return read_seq_slow<I32Elem>(r, count, out);
}
Decoded<void> read_u32_seq_slow(Reader& r, uint64_t count, Vec<uint32_t>& out) {
  return read_seq_slow<U32Elem>(r, count, out);
}
Decoded<void> read_u64_seq_slow(Reader& r, uint64_t count, Vec<uint64_t>& out) {
  return read_seq_slow<U64Elem>(r, count, out);
}

}  // namespace kvt
