// Datetime column kernels: the sizing pass over the quotients and the unit conversions of
// intake, as scalar kernels and AVX-512 twins (chosen in datetime_column.cc). Every twin gives
// the scalar kernel's results exactly.
#include <cstdint>
#include <limits>

#include "columns/datetime_column.h"
#include "columns/varint_column.h"
#include "model/cpu.h"

#if KVT_SIMD_AVX512
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
  const __m512i b1 = _mm512_set1_epi64(250);
  const __m512i b2 = _mm512_set1_epi64(0xFFFF);
  const __m512i b3 = _mm512_set1_epi64(0xFFFFFFFF);
  __m512i sizes = zero;
  __mmask8 bad = 0;
  for (size_t i = 0; i < n; i += 8) {
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
