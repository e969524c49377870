// Datetime column kernels: the sizing pass over the quotients and the unit conversions of
// intake, as scalar kernels with AVX2 and AVX-512 twins (chosen in datetime_column.cc). Every
// twin gives the scalar kernel's results exactly.
#include <cstdint>
#include <limits>

#include "columns/datetime_column.h"
#include "columns/varint_column.h"
#include "model/cpu.h"
#include "wire/varint_form.h"

#if KVT_SIMD_AVX2 || KVT_SIMD_AVX512
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // see model/d64_kernels.cc
#endif
#endif

namespace kvt {
namespace scalar {

// One quotient at a time, stopping at the first inexact one.
size_t quotient_size(const int64_t* v, size_t n, const ExactDivider& div) {
  uint64_t prev = 0;
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto d = static_cast<int64_t>(static_cast<uint64_t>(v[i]) - prev);
    prev = static_cast<uint64_t>(v[i]);
    int64_t q;
    if (!div.divide(d, q)) return 0;
    bytes += varint_size_flat(zigzag64(q));
  }
  return bytes;
}

// NaT is put back through a mask: written as a select, the compiler folds it into a division by
// (NaT ? 1 : 1000), which costs a hardware divide per element instead of a multiply.
void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int64_t x = src[i];
    const int64_t q = x / 1000;
    const int64_t nat_mask = -static_cast<int64_t>(x == kNaT);
    dst[i] = q ^ ((q ^ kNaT) & nat_mask);
  }
}

// dst[i] = src[i] * factor, NaT kept as NaT. One pass with a select instead of branches; false
// when a value other than NaT has no microsecond value in the int64 range.
bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor) {
  const int64_t hi = std::numeric_limits<int64_t>::max() / factor;
  const int64_t lo = std::numeric_limits<int64_t>::min() / factor;  // NaT is below it
  uint64_t out_of_range = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t x = src[i];
    const bool nat = x == kNaT;
    out_of_range |= static_cast<uint64_t>(x > hi) | static_cast<uint64_t>(x < lo && !nat);
    // Wrapping product; only kept when in range.
    const auto y = static_cast<int64_t>(static_cast<uint64_t>(x) * static_cast<uint64_t>(factor));
    dst[i] = nat ? kNaT : y;
  }
  return out_of_range == 0;
}

}  // namespace scalar

#if KVT_SIMD_AVX2
KVT_BEGIN_TARGET_AVX2
namespace avx2 {
namespace {

// floor(a / 1000) for a <= 2^63 taken as unsigned, per lane. a / 1000 = (a >> 3) / 125, and for
// u = a >> 3 <= 2^60, floor(u / 125) = floor(u * M / 2^68) with M = ceil(2^68 / 125) =
// 0x20C49BA5E353F7CF: M * 125 - 2^68 = 19, and 19 u < 2^68 keeps the error of the product below
// the gap to the next multiple of 125. The high word of u * M comes from four 32-bit products;
// with u below 2^61 and the high half of M below 2^30 the two middle products and the carry from
// the low one add up below 2^63, so one 64-bit sum holds them.
inline __m256i div1000(__m256i a) {
  const __m256i m_lo = _mm256_set1_epi64x(0xE353F7CF);
  const __m256i m_hi = _mm256_set1_epi64x(0x20C49BA5);
  const __m256i u = _mm256_srli_epi64(a, 3);
  const __m256i u_hi = _mm256_srli_epi64(u, 32);
  const __m256i low = _mm256_mul_epu32(u, m_lo);
  const __m256i middle =
      _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epu32(u_hi, m_lo), _mm256_mul_epu32(u, m_hi)),
                       _mm256_srli_epi64(low, 32));
  const __m256i high =
      _mm256_add_epi64(_mm256_mul_epu32(u_hi, m_hi), _mm256_srli_epi64(middle, 32));
  return _mm256_srli_epi64(high, 4);
}

// x * f modulo 2^64 per lane, from 32-bit products; f_hi holds the high halves of f, which
// kWideFactor says may be nonzero.
template <bool kWideFactor>
inline __m256i mul64(__m256i x, __m256i f_lo, __m256i f_hi) {
  __m256i cross = _mm256_mul_epu32(_mm256_srli_epi64(x, 32), f_lo);
  if constexpr (kWideFactor) cross = _mm256_add_epi64(cross, _mm256_mul_epu32(x, f_hi));
  return _mm256_add_epi64(_mm256_mul_epu32(x, f_lo), _mm256_slli_epi64(cross, 32));
}

template <bool kWideFactor>
bool widen_steps(const int64_t* src, int64_t* dst, size_t n, int64_t factor) {
  const __m256i nat = _mm256_set1_epi64x(kNaT);
  const __m256i f_lo = _mm256_set1_epi64x(factor & 0xFFFFFFFF);
  const __m256i f_hi =
      _mm256_set1_epi64x(static_cast<int64_t>(static_cast<uint64_t>(factor) >> 32));
  const __m256i hi = _mm256_set1_epi64x(std::numeric_limits<int64_t>::max() / factor);
  const __m256i lo = _mm256_set1_epi64x(std::numeric_limits<int64_t>::min() / factor);
  __m256i out_of_range = _mm256_setzero_si256();
  size_t i = 0;
  for (; n - i >= 4; i += 4) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    const __m256i is_nat = _mm256_cmpeq_epi64(x, nat);
    out_of_range = _mm256_or_si256(
        out_of_range, _mm256_or_si256(_mm256_cmpgt_epi64(x, hi),
                                      _mm256_andnot_si256(is_nat, _mm256_cmpgt_epi64(lo, x))));
    const __m256i y = _mm256_blendv_epi8(mul64<kWideFactor>(x, f_lo, f_hi), nat, is_nat);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), y);
  }
  const bool tail = scalar::widen_datetime(src + i, dst + i, n - i, factor);
  return _mm256_testz_si256(out_of_range, out_of_range) && tail;
}

}  // namespace

// Four values a step: the magnitude a = |x| (2^63 for NaT, replaced at the end) divided by 1000
// exactly in integers (div1000), the sign put back (truncation toward zero, as the scalar
// division does), NaT restored. The last n % 4 values go through the scalar kernel.
void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n) {
  const __m256i nat = _mm256_set1_epi64x(kNaT);
  const __m256i zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; n - i >= 4; i += 4) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    const __m256i sign = _mm256_cmpgt_epi64(zero, x);  // all ones where x < 0
    const __m256i a = _mm256_sub_epi64(_mm256_xor_si256(x, sign), sign);
    const __m256i q = div1000(a);
    const __m256i y = _mm256_sub_epi64(_mm256_xor_si256(q, sign), sign);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm256_blendv_epi8(y, nat, _mm256_cmpeq_epi64(x, nat)));
  }
  scalar::narrow_datetime_ns(src + i, dst + i, n - i);
}

// Four values a step: the wrapping product from 32-bit products (two of them when the factor
// fits 32 bits, as 1000 and 1000000 do), NaT put back through its mask, and the range tests of
// the scalar loop or-ed into one vector. The last n % 4 values go through the scalar kernel.
bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor) {
  return static_cast<uint64_t>(factor) >> 32 == 0 ? widen_steps<false>(src, dst, n, factor)
                                                  : widen_steps<true>(src, dst, n, factor);
}

}  // namespace avx2
KVT_END_TARGET
#endif  // KVT_SIMD_AVX2

#if KVT_SIMD_AVX512
namespace avx512 {

#define KVT_AVX512 __attribute__((target("avx512f,avx512dq")))

// Eight quotients a step, as ExactDivider::quotient computes them (the low-bit test, the
// arithmetic shift, the multiply by the inverse, the range and the sign), failures gathered in
// a mask; the varint sizes are added per lane (1 + 2 [> 250] + 2 [> 0xFFFF] + 4 [> 2^32 - 1]).
KVT_AVX512 size_t quotient_size(const int64_t* v, size_t n, const ExactDivider& div) {
  const ExactDivider::Parts p = div.parts();
  const __m512i low_mask = _mm512_set1_epi64(static_cast<int64_t>(p.low_mask));
  const __m128i shift = _mm_cvtsi64_si128(p.shift);
  const __m512i inverse = _mm512_set1_epi64(static_cast<int64_t>(p.inverse));
  const __m512i lo = _mm512_set1_epi64(p.lo);
  const __m512i hi = _mm512_set1_epi64(p.hi);
  const __m512i min = _mm512_set1_epi64(INT64_MIN);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i two = _mm512_set1_epi64(2);
  const __m512i four = _mm512_set1_epi64(4);
  const __m512i b1 = _mm512_set1_epi64(kVarintOneByteMax);
  const __m512i b2 = _mm512_set1_epi64(0xFFFF);
  const __m512i b3 = _mm512_set1_epi64(0xFFFFFFFF);
  __m512i sizes = zero;
  __mmask8 bad = 0;
  for (size_t i = 0; i < n; i += 8) {
    // A unit that fails (the plan tries one that may) stops the pass early.
    if (i % 4096 == 0 && bad) return 0;
    const __mmask8 lanes = n - i >= 8 ? __mmask8(0xFF) : __mmask8((1u << (n - i)) - 1);
    const __m512i x = _mm512_maskz_loadu_epi64(lanes, v + i);
    // The previous values v[i - 1 .. i + 6], with 0 before the first value.
    const __m512i prev = i == 0 ? _mm512_maskz_loadu_epi64(__mmask8(lanes << 1), v - 1)
                                : _mm512_maskz_loadu_epi64(lanes, v + i - 1);
    const __m512i d = _mm512_sub_epi64(x, prev);
    const __m512i y = _mm512_mullo_epi64(_mm512_sra_epi64(d, shift), inverse);
    bad |= _mm512_mask_test_epi64_mask(lanes, d, low_mask) |
           _mm512_mask_cmplt_epi64_mask(lanes, y, lo) | _mm512_mask_cmpgt_epi64_mask(lanes, y, hi);
    __m512i q = y;
    if (p.negative) {
      bad |= _mm512_mask_cmpeq_epi64_mask(lanes, y, min);
      q = _mm512_sub_epi64(zero, y);
    }
    const __m512i z = _mm512_xor_si512(_mm512_slli_epi64(q, 1), _mm512_srai_epi64(q, 63));
    __m512i size = _mm512_maskz_mov_epi64(lanes, one);
    size = _mm512_mask_add_epi64(size, _mm512_mask_cmpgt_epu64_mask(lanes, z, b1), size, two);
    size = _mm512_mask_add_epi64(size, _mm512_mask_cmpgt_epu64_mask(lanes, z, b2), size, two);
    size = _mm512_mask_add_epi64(size, _mm512_mask_cmpgt_epu64_mask(lanes, z, b3), size, four);
    sizes = _mm512_add_epi64(sizes, size);
  }
  return bad ? 0 : static_cast<size_t>(_mm512_reduce_add_epi64(sizes));
}

// Eight values a step. The magnitude a = |x| (x is not NaT) is divided by 1000 in binary64: the
// product with 0.001 lies within 2.7 of a / 1000 (a rounds by at most 512, the product by at
// most 2 ulp of a value below 2^54), so its truncation q is within 3 of floor(a / 1000) and the
// remainder a - 1000 q within [-3000, 4000). floor((r + 3000) / 1000) of that small remainder is
// (r + 3000) * 67109 >> 26 (exact below 7000), which corrects q in one step; the sign is then put
// back (truncation toward zero, as the scalar division does) and NaT restored.
KVT_AVX512 void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n) {
  const __m512i nat = _mm512_set1_epi64(kNaT);
  const __m512i thousand = _mm512_set1_epi64(1000);
  const __m512i bias = _mm512_set1_epi64(3000);
  const __m512i three = _mm512_set1_epi64(3);
  const __m512i magic = _mm512_set1_epi64(67109);
  const __m512i zero = _mm512_setzero_si512();
  const __m512d milli = _mm512_set1_pd(0.001);
  for (size_t i = 0; i < n; i += 8) {
    const __mmask8 lanes = n - i >= 8 ? __mmask8(0xFF) : __mmask8((1u << (n - i)) - 1);
    const __m512i x = _mm512_maskz_loadu_epi64(lanes, src + i);
    const __m512i a = _mm512_abs_epi64(x);  // NaT stays 2^63 (as unsigned), replaced below
    const __m512i q0 = _mm512_cvttpd_epu64(_mm512_mul_pd(_mm512_cvtepu64_pd(a), milli));
    const __m512i r = _mm512_add_epi64(_mm512_sub_epi64(a, _mm512_mullo_epi64(q0, thousand)), bias);
    const __m512i steps = _mm512_srli_epi64(_mm512_mul_epu32(r, magic), 26);  // r < 7000
    __m512i q = _mm512_sub_epi64(_mm512_add_epi64(q0, steps), three);
    q = _mm512_mask_sub_epi64(q, _mm512_cmplt_epi64_mask(x, zero), zero, q);
    q = _mm512_mask_mov_epi64(q, _mm512_cmpeq_epi64_mask(x, nat), nat);
    _mm512_mask_storeu_epi64(dst + i, lanes, q);
  }
}

// Eight values a step: the wrapping product (vpmullq), NaT put back through its mask, and the
// range tests of the scalar loop gathered in a mask.
KVT_AVX512 bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor) {
  const __m512i nat = _mm512_set1_epi64(kNaT);
  const __m512i f = _mm512_set1_epi64(factor);
  const __m512i hi = _mm512_set1_epi64(std::numeric_limits<int64_t>::max() / factor);
  const __m512i lo = _mm512_set1_epi64(std::numeric_limits<int64_t>::min() / factor);
  __mmask8 out_of_range = 0;
  for (size_t i = 0; i < n; i += 8) {
    const __mmask8 lanes = n - i >= 8 ? __mmask8(0xFF) : __mmask8((1u << (n - i)) - 1);
    const __m512i x = _mm512_maskz_loadu_epi64(lanes, src + i);
    const __mmask8 is_nat = _mm512_cmpeq_epi64_mask(x, nat);
    out_of_range |= _mm512_mask_cmpgt_epi64_mask(lanes, x, hi) |
                    _mm512_mask_cmplt_epi64_mask(__mmask8(lanes & ~is_nat), x, lo);
    const __m512i y = _mm512_mask_mov_epi64(_mm512_mullo_epi64(x, f), is_nat, nat);
    _mm512_mask_storeu_epi64(dst + i, lanes, y);
  }
  return out_of_range == 0;
}

#undef KVT_AVX512

}  // namespace avx512
#endif

}  // namespace kvt
