#include "columns/varint_kernels.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "columns/datetime_column.h"
#include "wire/encode.h"
#include "wire/simd.h"
#include "wire/varint_form.h"

#if KVT_SIMD_SSE2
#include <emmintrin.h>
#endif

#if KVT_SIMD_AVX2
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 headers start some intrinsics from undefined registers (see model/d64_kernels.cc).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#endif

namespace kvt {

// ---- the values of each stream, one at a time ----

namespace {

// The signed mantissa of a D64 from its bits: magnitude above bit 8, sign in bit 0.
inline int64_t mantissa_of(const D64* d, size_t i) { return d[i].mantissa(); }

}  // namespace

namespace scalar {
namespace {

// Stores the varint of v at p whatever its width, with one 8-byte store (the marker and up to
// four value bytes, or the one-byte value) and one store of the ninth byte; p needs 9 bytes of
// room, and the bytes past the width are scratch. Returns the width.
inline size_t put_wide(uint64_t v, uint8_t* p) {
  // Tests that do not show the compiler that each implies the next (see varint_size_flat).
  const uint64_t c1 = v > kVarintOneByteMax, c2 = (v >> 16) != 0, c3 = (v >> 32) != 0;
  const uint64_t marker = 0xFA + c1 + c2 + c3;
  const uint64_t wide = (v << 8) | marker;
  const uint64_t word = v ^ ((v ^ wide) & (uint64_t{0} - c1));  // wide where c1, else v
  std::memcpy(p, &word, 8);
  p[8] = static_cast<uint8_t>(v >> 56);
  return 1 + 2 * c1 + 2 * c2 + 4 * c3;
}

// The varints of value(i) for i in [begin, end). While nine or more values remain, their bytes
// (at least one each) reach past the scratch of a 9-byte store at p, which later stores overwrite.
template <class F>
inline size_t write_stream(size_t begin, size_t end, uint8_t* out, F value) {
  uint8_t* p = out;
  size_t i = begin;
  for (; end - i >= 9; ++i) p += put_wide(value(i), p);
  for (; i < end; ++i) p += encode_varint(value(i), p);
  return static_cast<size_t>(p - out);
}

template <class F>
inline size_t stream_size(size_t n, F value) {
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) bytes += varint_size_flat(value(i));
  return bytes;
}

template <class T>
size_t write_integers(const T* x, size_t begin, size_t end, uint8_t* out) {
  return write_stream(begin, end, out, [x](size_t i) { return varint_value(x[i]); });
}

template <class T>
size_t integers_size(const T* x, size_t n) {
  if constexpr (sizeof(T) == 4) {
    // 32-bit values take 1, 3 or 5 bytes: n plus 2 for each threshold passed.
    size_t passed = 0;
    size_t i = 0;
#if KVT_SIMD_SSE2
    const __m128i flip = _mm_set1_epi32(INT32_MIN);
    const __m128i t1 = _mm_set1_epi32(INT32_MIN + kVarintOneByteMax),
                  t2 = _mm_set1_epi32(INT32_MIN + 0xFFFF);
    while (n - i >= 4) {
      // Each lane counts down by at most 2 a step: 2^24 steps stay far from overflow.
      const size_t stop = i + std::min<size_t>((n - i) & ~size_t{3}, size_t{4} << 24);
      __m128i acc = _mm_setzero_si128();
      for (; i < stop; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
        if constexpr (std::is_signed_v<T>) {
          v = _mm_xor_si128(_mm_slli_epi32(v, 1), _mm_srai_epi32(v, 31));  // zigzag32
        }
        v = _mm_xor_si128(v, flip);
        acc = _mm_add_epi32(acc, _mm_add_epi32(_mm_cmpgt_epi32(v, t1), _mm_cmpgt_epi32(v, t2)));
      }
      alignas(16) int32_t lane[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(lane), acc);
      passed += static_cast<size_t>(-(int64_t{lane[0]} + lane[1] + lane[2] + lane[3]));
    }
#endif
    for (; i < n; ++i) {
      const uint64_t z = varint_value(x[i]);
      passed += static_cast<size_t>(z > kVarintOneByteMax) + static_cast<size_t>(z > 0xFFFF);
    }
    return n + 2 * passed;
  } else {
    return stream_size(n, [x](size_t i) { return varint_value(x[i]); });
  }
}

size_t write_quotient_varints(const int64_t* v, size_t begin, size_t end, const ExactDivider& div,
                              uint8_t* out) {
  return write_stream(begin, end, out, [v, &div](size_t i) {
    const uint64_t prev = i == 0 ? 0 : static_cast<uint64_t>(v[i - 1]);
    return zigzag64(div.exact_quotient(static_cast<int64_t>(static_cast<uint64_t>(v[i]) - prev)));
  });
}

inline uint64_t mantissa_delta(const D64* d, size_t i) {
  const uint64_t prev = i == 0 ? 0 : static_cast<uint64_t>(mantissa_of(d, i - 1));
  return zigzag64(static_cast<int64_t>(static_cast<uint64_t>(mantissa_of(d, i)) - prev));
}

size_t write_mantissa_delta_varints(const D64* d, size_t begin, size_t end, uint8_t* out) {
  return write_stream(begin, end, out, [d](size_t i) { return mantissa_delta(d, i); });
}

size_t mantissa_delta_size(const D64* d, size_t n) {
  return stream_size(n, [d](size_t i) { return mantissa_delta(d, i); });
}

}  // namespace
}  // namespace scalar

#if KVT_SIMD_AVX2
KVT_BEGIN_TARGET_AVX2
namespace avx2 {
namespace {

// Four varint values a step in the 64-bit lanes of z. Widths come from unsigned compares (AVX2
// has signed ones only: both sides are flipped at the sign bit).
struct Widths4 {
  __m256i width;  // 1, 3 or 5; 9 where `wide` says
  __m256i word;   // the encoded bytes from the lowest up (the ninth byte of a 9-byte one aside)
  bool wide;      // some value takes nine bytes
};

inline __m256i flip(__m256i z) { return _mm256_xor_si256(z, _mm256_set1_epi64x(INT64_MIN)); }

inline Widths4 widths4(__m256i z) {
  const __m256i zf = flip(z);
  const __m256i c1 = _mm256_cmpgt_epi64(zf, _mm256_set1_epi64x(INT64_MIN + kVarintOneByteMax));
  const __m256i c2 = _mm256_cmpgt_epi64(zf, _mm256_set1_epi64x(INT64_MIN + 0xFFFF));
  const __m256i c3 = _mm256_cmpgt_epi64(zf, _mm256_set1_epi64x(INT64_MIN + 0xFFFFFFFFll));
  // The compares give -1 where true: s = -(c1 + c2 + c3) thresholds passed.
  const __m256i s = _mm256_add_epi64(_mm256_add_epi64(c1, c2), c3);
  const __m256i width = _mm256_sub_epi64(
      _mm256_set1_epi64x(1), _mm256_add_epi64(_mm256_add_epi64(s, s), _mm256_add_epi64(c3, c3)));
  const __m256i marker = _mm256_sub_epi64(_mm256_set1_epi64x(0xFA), s);
  const __m256i word = _mm256_blendv_epi8(z, _mm256_or_si256(_mm256_slli_epi64(z, 8), marker), c1);
  return {width, word, _mm256_movemask_epi8(c3) != 0};
}

// Stores the varints of the four values of z at p, two 16-byte stores (or, with a nine-byte value
// among them, two stores each); p needs room for their bytes plus 16 (the stores are over-wide:
// the caller's later stores overwrite the scratch).
inline uint8_t* put4(__m256i z, uint8_t* p) {
  const Widths4 w = widths4(z);
  if (w.wide) {
    // Each value alone: its word (the marker and eight bytes less the last) in one 8-byte store,
    // the ninth byte in another.
    alignas(32) uint64_t word[4], width[4], value[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(word), w.word);
    _mm256_store_si256(reinterpret_cast<__m256i*>(width), w.width);
    _mm256_store_si256(reinterpret_cast<__m256i*>(value), z);
    for (int i = 0; i < 4; ++i) {
      std::memcpy(p, &word[i], 8);
      p[8] = static_cast<uint8_t>(value[i] >> 56);
      p += width[i];
    }
    return p;
  }
  // Per 128-bit lane, values a and b: byte j of the output is byte j of a's word below a's
  // width, else byte j - width(a) of b's word (bytes 8.. of the lane).
  const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1,
                                        2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256i wa = _mm256_shuffle_epi8(w.width, _mm256_setzero_si256());
  const __m256i in_a = _mm256_cmpgt_epi8(wa, iota);
  const __m256i from_b = _mm256_add_epi8(iota, _mm256_sub_epi8(_mm256_set1_epi8(8), wa));
  const __m256i packed = _mm256_shuffle_epi8(w.word, _mm256_blendv_epi8(from_b, iota, in_a));
  const __m256i sums = _mm256_add_epi64(w.width, _mm256_srli_si256(w.width, 8));
  const auto n0 = static_cast<size_t>(_mm_cvtsi128_si64(_mm256_castsi256_si128(sums)));
  const auto n1 = static_cast<size_t>(_mm_cvtsi128_si64(_mm256_extracti128_si256(sums, 1)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
  p += n0;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_extracti128_si256(packed, 1));
  return p + n1;
}

inline __m256i zigzag(__m256i x) {
  const __m256i sign = _mm256_cmpgt_epi64(_mm256_setzero_si256(), x);
  return _mm256_xor_si256(_mm256_slli_epi64(x, 1), sign);
}

// The varint values of elements i .. i + 3 of a column, by element type.
inline __m256i values(const int64_t* x) {
  return zigzag(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x)));
}
inline __m256i values(const int32_t* x) {
  // zigzag32 of an int32 is zigzag64 of its sign extension.
  return zigzag(_mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x))));
}
inline __m256i values(const uint32_t* x) {
  return _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)));
}
inline __m256i values(const uint64_t* x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
}

// Elements i - 1 .. i + 2 of a column of 64-bit words (0 before the first).
inline __m256i previous(const void* v, size_t i) {
  const auto* w = static_cast<const long long*>(v);
  if (i == 0) {
    return _mm256_maskload_epi64(w - 1, _mm256_setr_epi64x(0, -1, -1, -1));
  }
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + i - 1));
}

// Signed mantissas of four D64 values (as loaded bits): the magnitude above bit 8, negated
// where bit 0 is set.
inline __m256i mantissas(__m256i bits) {
  const __m256i negative =
      _mm256_sub_epi64(_mm256_setzero_si256(), _mm256_and_si256(bits, _mm256_set1_epi64x(1)));
  const __m256i magnitude = _mm256_srli_epi64(bits, 8);
  return _mm256_sub_epi64(_mm256_xor_si256(magnitude, negative), negative);
}

inline __m256i mantissa_deltas(const D64* d, size_t i) {
  const __m256i m = mantissas(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i)));
  return zigzag(_mm256_sub_epi64(m, mantissas(previous(d, i))));
}

// x * y modulo 2^64 per lane, from 32-bit products.
inline __m256i mul64(__m256i x, __m256i y) {
  const __m256i lo = _mm256_mul_epu32(x, y);
  const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), y),
                                         _mm256_mul_epu32(x, _mm256_srli_epi64(y, 32)));
  return _mm256_add_epi64(lo, _mm256_slli_epi64(cross, 32));
}

// Arithmetic shift right by a count below 64: a logical shift of x with its sign folded out.
inline __m256i sra64(__m256i x, __m128i count) {
  const __m256i sign = _mm256_cmpgt_epi64(_mm256_setzero_si256(), x);
  return _mm256_xor_si256(_mm256_srl_epi64(_mm256_xor_si256(x, sign), count), sign);
}

// What ExactDivider::divide computes, four lanes at a time: the quotient `q`, and in `bad` the
// lanes whose division is not exact or overflows.
struct Divider4 {
  __m256i low_mask, inverse, lo, hi;
  __m128i shift;
  bool negative;

  explicit Divider4(const ExactDivider& div) {
    const ExactDivider::Parts p = div.parts();
    low_mask = _mm256_set1_epi64x(static_cast<long long>(p.low_mask));
    inverse = _mm256_set1_epi64x(static_cast<long long>(p.inverse));
    lo = _mm256_set1_epi64x(p.lo);
    hi = _mm256_set1_epi64x(p.hi);
    shift = _mm_cvtsi64_si128(p.shift);
    negative = p.negative;
  }
  __m256i quotient(__m256i d) const {
    const __m256i y = mul64(sra64(d, shift), inverse);
    return negative ? _mm256_sub_epi64(_mm256_setzero_si256(), y) : y;
  }
  // The same, with all ones or-ed into `bad` in the lanes where divide() fails.
  __m256i quotient(__m256i d, __m256i& bad) const {
    const __m256i y = mul64(sra64(d, shift), inverse);
    const __m256i zero = _mm256_setzero_si256();
    __m256i b = _mm256_xor_si256(_mm256_cmpeq_epi64(_mm256_and_si256(d, low_mask), zero),
                                 _mm256_set1_epi64x(-1));
    b = _mm256_or_si256(b, _mm256_or_si256(_mm256_cmpgt_epi64(lo, y), _mm256_cmpgt_epi64(y, hi)));
    if (negative) {
      b = _mm256_or_si256(b, _mm256_cmpeq_epi64(y, _mm256_set1_epi64x(INT64_MIN)));
      bad = _mm256_or_si256(bad, b);
      return _mm256_sub_epi64(zero, y);
    }
    bad = _mm256_or_si256(bad, b);
    return y;
  }
};

inline __m256i differences(const int64_t* v, size_t i) {
  return _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i)),
                          previous(v, i));
}

// Writes the varints of elements [begin, end): eight a step (one store when all eight take one
// byte), then four, while 20 or more remain (their bytes cover the over-wide stores of a step),
// then the scalar writer. vals(i) gives the varint
// values of elements i .. i + 3; value(i) that of element i.
template <class V, class S>
inline size_t write_by4(size_t begin, size_t end, uint8_t* out, V vals, S value) {
  uint8_t* p = out;
  size_t i = begin;
  const __m256i one_byte_max = _mm256_set1_epi64x(INT64_MIN + kVarintOneByteMax);
  const __m256i gather =
      _mm256_setr_epi8(0, 8, 1, 9, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 8, 1, 9, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  for (; end - i >= 24; i += 8) {
    const __m256i a = vals(i), b = vals(i + 4);
    const __m256i wide = _mm256_or_si256(_mm256_cmpgt_epi64(flip(a), one_byte_max),
                                         _mm256_cmpgt_epi64(flip(b), one_byte_max));
    if (_mm256_testz_si256(wide, wide)) {
      // Eight one-byte varints (timestamps at a steady step, prices that move by ticks): the
      // low byte of each value, in order, in one 8-byte store.
      const __m256i t = _mm256_shuffle_epi8(_mm256_or_si256(a, _mm256_slli_epi64(b, 8)), gather);
      const auto lo = static_cast<uint32_t>(_mm256_extract_epi32(t, 0));
      const auto hi = static_cast<uint32_t>(_mm256_extract_epi32(t, 4));
      const uint64_t bytes = (lo & 0xFFFF) | uint64_t{hi & 0xFFFF} << 16 |
                             uint64_t{lo >> 16} << 32 | uint64_t{hi >> 16} << 48;
      std::memcpy(p, &bytes, 8);
      p += 8;
    } else {
      p = put4(b, put4(a, p));
    }
  }
  for (; end - i >= 20; i += 4) p = put4(vals(i), p);
  return static_cast<size_t>(p - out) + scalar::write_stream(i, end, p, value);
}

// The sum of the varint widths of elements [0, n): four a step, the rest one at a time.
template <class V, class S>
inline size_t size_by4(size_t n, V vals, S value) {
  __m256i passed = _mm256_setzero_si256();  // minus the thresholds passed, 2 bytes each
  __m256i nine = _mm256_setzero_si256();    // minus the 9-byte values, 4 more bytes each
  size_t i = 0;
  for (; n - i >= 4; i += 4) {
    const __m256i zf = flip(vals(i));
    const __m256i c1 = _mm256_cmpgt_epi64(zf, _mm256_set1_epi64x(INT64_MIN + kVarintOneByteMax));
    const __m256i c2 = _mm256_cmpgt_epi64(zf, _mm256_set1_epi64x(INT64_MIN + 0xFFFF));
    const __m256i c3 = _mm256_cmpgt_epi64(zf, _mm256_set1_epi64x(INT64_MIN + 0xFFFFFFFFll));
    passed = _mm256_add_epi64(passed, _mm256_add_epi64(c1, c2));
    nine = _mm256_add_epi64(nine, c3);
  }
  alignas(32) int64_t a[4], b[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), passed);
  _mm256_store_si256(reinterpret_cast<__m256i*>(b), nine);
  const int64_t thresholds = -(a[0] + a[1] + a[2] + a[3]);
  const int64_t wide = -(b[0] + b[1] + b[2] + b[3]);
  size_t bytes = i + 2 * static_cast<size_t>(thresholds) + 4 * static_cast<size_t>(wide);
  for (; i < n; ++i) bytes += varint_size_flat(value(i));
  return bytes;
}

// The varint values of elements i .. i + 7 of a 32-bit column in 32-bit lanes (below 2^32).
inline __m256i values8(const int32_t* x) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
  return _mm256_xor_si256(_mm256_slli_epi32(v, 1), _mm256_srai_epi32(v, 31));  // zigzag32
}
inline __m256i values8(const uint32_t* x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
}

template <class T>
size_t write_integers(const T* x, size_t begin, size_t end, uint8_t* out) {
  const auto value = [x](size_t i) { return varint_value(x[i]); };
  if constexpr (sizeof(T) == 4) {
    // Eight values a step in 32-bit lanes: all one byte, their low bytes in one 8-byte store;
    // else the two halves widened to 64-bit lanes, four values each.
    uint8_t* p = out;
    size_t i = begin;
    const __m256i one_byte_max = _mm256_set1_epi32(INT32_MIN + kVarintOneByteMax);
    const __m256i low_bytes =
        _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12,
                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    for (; end - i >= 24; i += 8) {
      const __m256i z = values8(x + i);
      const __m256i wide =
          _mm256_cmpgt_epi32(_mm256_xor_si256(z, _mm256_set1_epi32(INT32_MIN)), one_byte_max);
      if (_mm256_testz_si256(wide, wide)) {
        const __m256i t = _mm256_shuffle_epi8(z, low_bytes);
        const uint64_t bytes = static_cast<uint32_t>(_mm256_extract_epi32(t, 0)) |
                               uint64_t{static_cast<uint32_t>(_mm256_extract_epi32(t, 4))} << 32;
        std::memcpy(p, &bytes, 8);
        p += 8;
      } else {
        p = put4(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(z)), p);
        p = put4(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(z, 1)), p);
      }
    }
    for (; end - i >= 20; i += 4) p = put4(values(x + i), p);
    return static_cast<size_t>(p - out) + scalar::write_stream(i, end, p, value);
  } else {
    return write_by4(
        begin, end, out, [x](size_t i) { return values(x + i); }, value);
  }
}

template <class T>
size_t integers_size(const T* x, size_t n) {
  if constexpr (sizeof(T) == 4) {
    // 1, 3 or 5 bytes each: n plus 2 for each threshold passed, counted in 32-bit lanes.
    const __m256i flip = _mm256_set1_epi32(INT32_MIN);
    const __m256i t1 = _mm256_set1_epi32(INT32_MIN + kVarintOneByteMax);
    const __m256i t2 = _mm256_set1_epi32(INT32_MIN + 0xFFFF);
    size_t passed = 0;
    size_t i = 0;
    while (n - i >= 8) {
      // Each lane counts down by at most 2 a step: 2^24 steps stay far from overflow.
      const size_t stop = i + std::min<size_t>((n - i) & ~size_t{7}, size_t{8} << 24);
      __m256i acc = _mm256_setzero_si256();
      for (; i < stop; i += 8) {
        const __m256i zf = _mm256_xor_si256(values8(x + i), flip);
        acc = _mm256_add_epi32(
            acc, _mm256_add_epi32(_mm256_cmpgt_epi32(zf, t1), _mm256_cmpgt_epi32(zf, t2)));
      }
      const __m256i wide =
          _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(acc)),
                           _mm256_cvtepi32_epi64(_mm256_extracti128_si256(acc, 1)));
      alignas(32) int64_t lane[4];
      _mm256_store_si256(reinterpret_cast<__m256i*>(lane), wide);
      passed += static_cast<size_t>(-(lane[0] + lane[1] + lane[2] + lane[3]));
    }
    for (; i < n; ++i) {
      const uint64_t z = varint_value(x[i]);
      passed += static_cast<size_t>(z > kVarintOneByteMax) + static_cast<size_t>(z > 0xFFFF);
    }
    return n + 2 * passed;
  } else {
    return size_by4(
        n, [x](size_t i) { return values(x + i); }, [x](size_t i) { return varint_value(x[i]); });
  }
}

// The exact quotient of element i's difference, one at a time (for the last few elements).
inline auto quotient_of(const int64_t* v, const ExactDivider& div) {
  return [v, &div](size_t i) {
    const uint64_t prev = i == 0 ? 0 : static_cast<uint64_t>(v[i - 1]);
    return zigzag64(div.exact_quotient(static_cast<int64_t>(static_cast<uint64_t>(v[i]) - prev)));
  };
}

size_t write_quotient_varints(const int64_t* v, size_t begin, size_t end, const ExactDivider& div,
                              uint8_t* out) {
  if (div.identity()) {
    // Unit 1 (timestamps with no common step): the differences themselves, no multiplication.
    return write_by4(
        begin, end, out, [&](size_t i) { return zigzag(differences(v, i)); }, quotient_of(v, div));
  }
  const Divider4 d4(div);
  return write_by4(
      begin, end, out, [&](size_t i) { return zigzag(d4.quotient(differences(v, i))); },
      quotient_of(v, div));
}

size_t quotient_size(const int64_t* v, size_t n, const ExactDivider& div) {
  if (div.identity()) {
    // Every division by 1 is exact.
    return size_by4(
        n, [&](size_t j) { return zigzag(differences(v, j)); }, quotient_of(v, div));
  }
  const Divider4 d4(div);
  __m256i bad = _mm256_setzero_si256();
  bool exact = true;
  size_t bytes = 0;
  // In blocks, so that a unit that fails (the plan tries one that may) stops the pass early.
  constexpr size_t kBlock = 4096;
  for (size_t start = 0; start < n; start += kBlock) {
    bytes += size_by4(
        std::min(kBlock, n - start),
        [&](size_t j) { return zigzag(d4.quotient(differences(v, start + j), bad)); },
        [&](size_t j) {
          const size_t i = start + j;
          const uint64_t prev = i == 0 ? 0 : static_cast<uint64_t>(v[i - 1]);
          int64_t q = 0;
          exact &= div.divide(static_cast<int64_t>(static_cast<uint64_t>(v[i]) - prev), q);
          return zigzag64(q);
        });
    if (!exact || !_mm256_testz_si256(bad, bad)) return 0;
  }
  return bytes;
}

size_t write_mantissa_delta_varints(const D64* d, size_t begin, size_t end, uint8_t* out) {
  return write_by4(
      begin, end, out, [d](size_t i) { return mantissa_deltas(d, i); },
      [d](size_t i) { return scalar::mantissa_delta(d, i); });
}

size_t mantissa_delta_size(const D64* d, size_t n) {
  return size_by4(
      n, [d](size_t i) { return mantissa_deltas(d, i); },
      [d](size_t i) { return scalar::mantissa_delta(d, i); });
}

}  // namespace
}  // namespace avx2
KVT_END_TARGET
#endif  // KVT_SIMD_AVX2

#if KVT_SIMD_AVX512
namespace avx512 {
namespace {

#define KVT_VARINT_TARGET                                                             \
  __attribute__((target("avx512f,avx512dq,avx512bw,avx512vl,avx512vbmi,avx512vbmi2"), \
                 always_inline))

// Byte tables for two groups of four values, each value in a 16-byte slot: slot k takes the
// marker (byte 0 of qword k of the second source) then the eight bytes of qword k of the first.
struct Tables {
  alignas(64) uint8_t gather[2][64];     // permutex2var indexes
  alignas(64) uint8_t broadcast[2][64];  // byte 0 of qword k to every byte of slot k
  alignas(64) uint8_t iota[64];          // byte j of every slot: j
};

constexpr Tables make_tables() {
  Tables t{};
  for (int g = 0; g < 2; ++g) {
    for (int k = 0; k < 4; ++k) {
      const int q = 4 * g + k;
      for (int j = 0; j < 16; ++j) {
        const int at = 16 * k + j;
        t.gather[g][at] = static_cast<uint8_t>(j == 0 ? 64 + 8 * q : j <= 8 ? 8 * q + j - 1 : 0);
        t.broadcast[g][at] = static_cast<uint8_t>(8 * q);
        t.iota[at] = static_cast<uint8_t>(j);
      }
    }
  }
  return t;
}

constexpr Tables kTables = make_tables();

// Each lane's varint width, 1 + 2 [z > 250] + 2 [z > 0xFFFF] + 4 [z > 2^32 - 1] (0 for lanes
// outside `lanes`), and the first byte: the value itself when it is one byte, else 0xFA + the
// count of thresholds passed (0xFB, 0xFC, 0xFD).
struct Widths {
  __m512i width;
  __m512i first;
};

KVT_VARINT_TARGET inline Widths widths(__m512i z, __mmask8 lanes) {
  const __mmask8 c1 = _mm512_mask_cmpgt_epu64_mask(lanes, z, _mm512_set1_epi64(kVarintOneByteMax));
  const __mmask8 c2 = _mm512_mask_cmpgt_epu64_mask(lanes, z, _mm512_set1_epi64(0xFFFF));
  const __mmask8 c3 = _mm512_mask_cmpgt_epu64_mask(lanes, z, _mm512_set1_epi64(0xFFFFFFFF));
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i two = _mm512_set1_epi64(2);
  __m512i width = _mm512_maskz_mov_epi64(lanes, one);
  width = _mm512_mask_add_epi64(width, c1, width, two);
  width = _mm512_mask_add_epi64(width, c2, width, two);
  width = _mm512_mask_add_epi64(width, c3, width, _mm512_set1_epi64(4));
  __m512i marker = _mm512_maskz_mov_epi64(c1, _mm512_set1_epi64(0xFB));
  marker = _mm512_mask_add_epi64(marker, c2, marker, one);
  marker = _mm512_mask_add_epi64(marker, c3, marker, one);
  return {width, _mm512_mask_mov_epi64(z, c1, marker)};
}

// Stores the varints of the lanes of z in `lanes` (lanes from the lowest up to some count) at p;
// returns the end of what was stored. Nothing past it is written.
KVT_VARINT_TARGET inline uint8_t* put(__m512i z, __mmask8 lanes, uint8_t* p) {
  if (_mm512_mask_cmpgt_epu64_mask(lanes, z, _mm512_set1_epi64(kVarintOneByteMax)) == 0) {
    // One byte each (steady steps, ticks): the low bytes, narrowed in one instruction.
    const auto n = static_cast<unsigned>(std::popcount(static_cast<unsigned>(lanes)));
    _mm_mask_storeu_epi8(p, static_cast<__mmask16>((1u << n) - 1), _mm512_cvtepi64_epi8(z));
    return p + n;
  }
  const Widths w = widths(z, lanes);
  const __m512i iota = _mm512_load_si512(kTables.iota);
  for (int g = 0; g < 2; ++g) {
    const __m512i slots =
        _mm512_permutex2var_epi8(z, _mm512_load_si512(kTables.gather[g]), w.first);
    const __m512i slot_width =
        _mm512_permutexvar_epi8(_mm512_load_si512(kTables.broadcast[g]), w.width);
    const __mmask64 keep = _mm512_cmplt_epu8_mask(iota, slot_width);
    const auto n = static_cast<unsigned>(std::popcount(keep));  // at most 36
    _mm512_mask_storeu_epi8(p, (uint64_t{1} << n) - 1, _mm512_maskz_compress_epi8(keep, slots));
    p += n;
  }
  return p;
}

KVT_VARINT_TARGET inline __m512i zigzag(__m512i x) {
  return _mm512_xor_si512(_mm512_slli_epi64(x, 1), _mm512_srai_epi64(x, 63));
}

KVT_VARINT_TARGET inline __mmask8 lanes_of(size_t left) {
  return left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1);
}

// The varint values of eight elements of a column, by element type.
KVT_VARINT_TARGET inline __m512i values(const int64_t* x, __mmask8 lanes) {
  return zigzag(_mm512_maskz_loadu_epi64(lanes, x));
}
KVT_VARINT_TARGET inline __m512i values(const int32_t* x, __mmask8 lanes) {
  // zigzag32 of an int32 is zigzag64 of its sign extension.
  return zigzag(_mm512_cvtepi32_epi64(_mm256_maskz_loadu_epi32(lanes, x)));
}
KVT_VARINT_TARGET inline __m512i values(const uint32_t* x, __mmask8 lanes) {
  return _mm512_cvtepu32_epi64(_mm256_maskz_loadu_epi32(lanes, x));
}
KVT_VARINT_TARGET inline __m512i values(const uint64_t* x, __mmask8 lanes) {
  return _mm512_maskz_loadu_epi64(lanes, x);
}

// Elements i - 1 .. i + 6 of a column (0 before the first), for differences.
template <class T>
KVT_VARINT_TARGET inline __m512i previous(const T* v, size_t i, __mmask8 lanes) {
  return i == 0 ? _mm512_maskz_loadu_epi64(__mmask8(lanes << 1), v - 1)
                : _mm512_maskz_loadu_epi64(lanes, v + i - 1);
}

// Signed mantissas of eight D64 values (as loaded bits).
KVT_VARINT_TARGET inline __m512i mantissas(__m512i bits) {
  const __m512i magnitude = _mm512_srli_epi64(bits, 8);
  const __mmask8 negative = _mm512_test_epi64_mask(bits, _mm512_set1_epi64(1));
  return _mm512_mask_sub_epi64(magnitude, negative, _mm512_setzero_si512(), magnitude);
}

KVT_VARINT_TARGET inline __m512i mantissa_deltas(const D64* d, size_t i, __mmask8 lanes) {
  const auto* bits = reinterpret_cast<const uint64_t*>(d);
  const __m512i m = mantissas(_mm512_maskz_loadu_epi64(lanes, bits + i));
  return zigzag(_mm512_sub_epi64(m, mantissas(previous(bits, i, lanes))));
}

template <class T>
KVT_VARINT_TARGET inline size_t write_column(const T* x, size_t begin, size_t end, uint8_t* out) {
  uint8_t* p = out;
  for (size_t i = begin; i < end; i += 8) {
    const __mmask8 lanes = lanes_of(end - i);
    p = put(values(x + i, lanes), lanes, p);
  }
  return static_cast<size_t>(p - out);
}

template <class F>
KVT_VARINT_TARGET inline size_t sum_widths(size_t n, F f) {
  __m512i total = _mm512_setzero_si512();
  for (size_t i = 0; i < n; i += 8) {
    const __mmask8 lanes = lanes_of(n - i);
    total = _mm512_add_epi64(total, widths(f(i, lanes), lanes).width);
  }
  return static_cast<size_t>(_mm512_reduce_add_epi64(total));
}

}  // namespace

#define KVT_VARINT_KERNEL \
  __attribute__((target("avx512f,avx512dq,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")))

KVT_VARINT_KERNEL size_t write_varints(const int64_t* x, size_t begin, size_t end, uint8_t* out) {
  return write_column(x, begin, end, out);
}
KVT_VARINT_KERNEL size_t write_varints(const int32_t* x, size_t begin, size_t end, uint8_t* out) {
  return write_column(x, begin, end, out);
}
KVT_VARINT_KERNEL size_t write_varints(const uint32_t* x, size_t begin, size_t end, uint8_t* out) {
  return write_column(x, begin, end, out);
}
KVT_VARINT_KERNEL size_t write_varints(const uint64_t* x, size_t begin, size_t end, uint8_t* out) {
  return write_column(x, begin, end, out);
}

#define KVT_COLUMN_SIZE(T)                                                                    \
  KVT_VARINT_KERNEL size_t varints_size(const T* x, size_t n) {                               \
    return sum_widths(                                                                        \
        n, [x](size_t i, __mmask8 lanes) KVT_VARINT_TARGET { return values(x + i, lanes); }); \
  }
KVT_COLUMN_SIZE(int64_t)
KVT_COLUMN_SIZE(uint64_t)
#undef KVT_COLUMN_SIZE

// 32-bit values take 1, 3 or 5 bytes: n plus 2 for each threshold passed, sixteen a step.
template <class T>
KVT_VARINT_TARGET inline size_t narrow_size(const T* x, size_t n) {
  size_t passed = 0;
  for (size_t i = 0; i < n; i += 16) {
    const auto lanes = static_cast<__mmask16>(n - i >= 16 ? 0xFFFF : (1u << (n - i)) - 1);
    __m512i z = _mm512_maskz_loadu_epi32(lanes, x + i);
    if constexpr (std::is_signed_v<T>) {
      z = _mm512_xor_si512(_mm512_slli_epi32(z, 1), _mm512_srai_epi32(z, 31));  // zigzag32
    }
    passed += static_cast<size_t>(std::popcount(static_cast<unsigned>(_mm512_cmpgt_epu32_mask(
                                      z, _mm512_set1_epi32(kVarintOneByteMax)))) +
                                  std::popcount(static_cast<unsigned>(
                                      _mm512_cmpgt_epu32_mask(z, _mm512_set1_epi32(0xFFFF)))));
  }
  return n + 2 * passed;
}
KVT_VARINT_KERNEL size_t varints_size(const int32_t* x, size_t n) { return narrow_size(x, n); }
KVT_VARINT_KERNEL size_t varints_size(const uint32_t* x, size_t n) { return narrow_size(x, n); }

// The quotients as ExactDivider::exact_quotient gives them (the plan has proven them exact).
KVT_VARINT_KERNEL size_t write_quotient_varints(const int64_t* v, size_t begin, size_t end,
                                                const ExactDivider& div, uint8_t* out) {
  const ExactDivider::Parts parts = div.parts();
  const __m128i shift = _mm_cvtsi64_si128(parts.shift);
  const __m512i inverse = _mm512_set1_epi64(static_cast<int64_t>(parts.inverse));
  uint8_t* p = out;
  for (size_t i = begin; i < end; i += 8) {
    const __mmask8 lanes = lanes_of(end - i);
    const __m512i d =
        _mm512_sub_epi64(_mm512_maskz_loadu_epi64(lanes, v + i), previous(v, i, lanes));
    __m512i q = _mm512_mullo_epi64(_mm512_sra_epi64(d, shift), inverse);
    if (parts.negative) q = _mm512_sub_epi64(_mm512_setzero_si512(), q);
    p = put(zigzag(q), lanes, p);
  }
  return static_cast<size_t>(p - out);
}

KVT_VARINT_KERNEL size_t write_mantissa_delta_varints(const D64* d, size_t begin, size_t end,
                                                      uint8_t* out) {
  uint8_t* p = out;
  for (size_t i = begin; i < end; i += 8) {
    const __mmask8 lanes = lanes_of(end - i);
    p = put(mantissa_deltas(d, i, lanes), lanes, p);
  }
  return static_cast<size_t>(p - out);
}

KVT_VARINT_KERNEL size_t mantissa_delta_size(const D64* d, size_t n) {
  return sum_widths(
      n, [d](size_t i, __mmask8 lanes) KVT_VARINT_TARGET { return mantissa_deltas(d, i, lanes); });
}

#undef KVT_VARINT_KERNEL
#undef KVT_VARINT_TARGET

}  // namespace avx512
#endif

// ---- one table per level ----

namespace {

constexpr VarintKernels kScalar = {
    {scalar::write_integers<int64_t>, scalar::integers_size<int64_t>},
    {scalar::write_integers<int32_t>, scalar::integers_size<int32_t>},
    {scalar::write_integers<uint32_t>, scalar::integers_size<uint32_t>},
    {scalar::write_integers<uint64_t>, scalar::integers_size<uint64_t>},
    scalar::write_quotient_varints,
    scalar::quotient_size,
    scalar::write_mantissa_delta_varints,
    scalar::mantissa_delta_size,
};

#if KVT_SIMD_AVX2
constexpr VarintKernels kAvx2 = {
    {avx2::write_integers<int64_t>, avx2::integers_size<int64_t>},
    {avx2::write_integers<int32_t>, avx2::integers_size<int32_t>},
    {avx2::write_integers<uint32_t>, avx2::integers_size<uint32_t>},
    {avx2::write_integers<uint64_t>, avx2::integers_size<uint64_t>},
    avx2::write_quotient_varints,
    avx2::quotient_size,
    avx2::write_mantissa_delta_varints,
    avx2::mantissa_delta_size,
};
#endif

#if KVT_SIMD_AVX512
constexpr VarintKernels kAvx512 = {
    {avx512::write_varints, avx512::varints_size},
    {avx512::write_varints, avx512::varints_size},
    {avx512::write_varints, avx512::varints_size},
    {avx512::write_varints, avx512::varints_size},
    avx512::write_quotient_varints,
    avx512::quotient_size,
    avx512::write_mantissa_delta_varints,
    avx512::mantissa_delta_size,
};
#endif

}  // namespace

const VarintKernels& varint_kernels(KernelLevel level) noexcept {
  switch (std::min(level, cpu_kernel_level())) {
#if KVT_SIMD_AVX512
    case KernelLevel::Avx512:
      return kAvx512;
#endif
#if KVT_SIMD_AVX2
    case KernelLevel::Avx2:
      return kAvx2;
#endif
    default:
      return kScalar;
  }
}

}  // namespace kvt
