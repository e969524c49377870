// Column conversions between binary64 and D64: the scalar kernels, the AVX-512 twins and the
// choice between them. Every twin gives the scalar kernel's result bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "model/cpu.h"
#include "model/d64.h"

#if KVT_SIMD_AVX512
#include <immintrin.h>
// GCC 12's AVX-512 headers start some intrinsics from _mm512_undefined_epi32(), which its
// uninitialised-use warning takes for a read of an uninitialised value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace kvt {
namespace {

// The powers of ten by scale, as power_of_ten gives them (all exact in binary64).
constexpr double kPow10F64[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr double kLimit = 72057594037927936.0;  // 2^56

}  // namespace

namespace scalar {

// from_f64 with the scale checked and its power looked up once per column. A product of
// magnitude 2^56 or more truncates to a magnitude of at least 2^56 (2^56 is exact), so one test
// of |y| covers the saturating cases and infinities; NaN keeps magnitude 0 and so the scale.
void scaled_to_d64(const double* x, size_t n, double power, uint64_t scale_bits, D64* out) {
  for (size_t i = 0; i < n; ++i) {
    const double y = x[i] * power;
    if (std::isnan(y)) {
      out[i] = D64{scale_bits};
    } else if (!(std::fabs(y) < kLimit)) {
      out[i] = D64::nan();
    } else {
      const auto v = static_cast<int64_t>(y);
      const uint64_t sign = v < 0 ? 1 : 0;
      const uint64_t magnitude =
          sign ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
      out[i] = D64{(magnitude << 8) | scale_bits | sign};
    }
  }
}

void d64_to_f64(const D64* d, size_t n, double* out) {
  // Dividing by 10^0 = 1 is exact, so scale 0 needs no branch of its own.
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<double>(d[i].mantissa()) / kPow10F64[d[i].scale()];
  }
}

}  // namespace scalar

#if KVT_SIMD_AVX512
namespace avx512 {

// Eight values a step: the product, a truncating conversion (vcvttpd2qq), the NaN and range
// masks, then the bits assembled as the scalar kernel does; the tail goes through a mask.
__attribute__((target("avx512f,avx512dq"))) void scaled_to_d64(const double* x, size_t n,
                                                               double power, uint64_t scale_bits,
                                                               D64* out) {
  const __m512d p = _mm512_set1_pd(power);
  const __m512d limit = _mm512_set1_pd(kLimit);
  const __m512d abs_mask = _mm512_castsi512_pd(_mm512_set1_epi64(0x7FFFFFFFFFFFFFFF));
  const __m512i scale = _mm512_set1_epi64(static_cast<int64_t>(scale_bits));
  const __m512i nan_bits = _mm512_set1_epi64(static_cast<int64_t>(D64::nan().bits));
  const __m512i one = _mm512_set1_epi64(1);
  for (size_t i = 0; i < n; i += 8) {
    const __mmask8 lanes = n - i >= 8 ? __mmask8(0xFF) : __mmask8((1u << (n - i)) - 1);
    const __m512d y = _mm512_mul_pd(_mm512_maskz_loadu_pd(lanes, x + i), p);
    const __mmask8 is_nan = _mm512_cmp_pd_mask(y, y, _CMP_UNORD_Q);
    const __mmask8 in_range = _mm512_cmp_pd_mask(_mm512_and_pd(y, abs_mask), limit, _CMP_LT_OQ);
    const __m512i v = _mm512_cvttpd_epi64(y);
    const __m512i sign = _mm512_and_si512(_mm512_srli_epi64(v, 63), one);
    const __m512i magnitude = _mm512_abs_epi64(v);
    __m512i bits = _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi64(magnitude, 8), scale), sign);
    bits = _mm512_mask_mov_epi64(nan_bits, in_range, bits);
    bits = _mm512_mask_mov_epi64(bits, is_nan, scale);
    _mm512_mask_storeu_epi64(out + i, lanes, bits);
  }
}

// Eight values a step: the signed mantissa converted exactly as cvtsi2sd does (vcvtqq2pd, same
// rounding), divided by its scale's power (a two-register table lookup), correctly rounded.
__attribute__((target("avx512f,avx512dq"))) void d64_to_f64(const D64* d, size_t n, double* out) {
  const __m512d low = _mm512_loadu_pd(kPow10F64);
  const __m512d high = _mm512_loadu_pd(kPow10F64 + 8);
  const __m512i fifteen = _mm512_set1_epi64(15);
  const __m512i one = _mm512_set1_epi64(1);
  for (size_t i = 0; i < n; i += 8) {
    const __mmask8 lanes = n - i >= 8 ? __mmask8(0xFF) : __mmask8((1u << (n - i)) - 1);
    const __m512i bits = _mm512_maskz_loadu_epi64(lanes, d + i);
    const __m512i magnitude = _mm512_srli_epi64(bits, 8);
    const __mmask8 negative = _mm512_test_epi64_mask(bits, one);
    const __m512i mantissa =
        _mm512_mask_sub_epi64(magnitude, negative, _mm512_setzero_si512(), magnitude);
    const __m512i scale = _mm512_and_si512(_mm512_srli_epi64(bits, 4), fifteen);
    const __m512d power = _mm512_permutex2var_pd(low, scale, high);
    const __m512d value = _mm512_div_pd(_mm512_cvtepi64_pd(mantissa), power);
    _mm512_mask_storeu_pd(out + i, lanes, value);
  }
}

}  // namespace avx512
#endif

void from_f64_column(std::span<const double> x, size_t p, D64* out) {
  if (p > kD64MaxScale) {
    for (size_t i = 0; i < x.size(); ++i) out[i] = D64::nan();
    return;
  }
#if KVT_SIMD_AVX512
  if (kernel_level() >= KernelLevel::Avx512) return avx512::scaled_to_d64(x.data(), x.size(), kPow10F64[p], p << 4, out);
#endif
  scalar::scaled_to_d64(x.data(), x.size(), kPow10F64[p], p << 4, out);
}

void from_f32_column(std::span<const float> x, size_t p, D64* out) {
  if (p > kD64MaxScale) {
    for (size_t i = 0; i < x.size(); ++i) out[i] = D64::nan();
    return;
  }
  // Widened a block at a time, then converted as binary64 values.
  constexpr size_t kBlock = 1024;
  double wide[kBlock];
  for (size_t i = 0; i < x.size(); i += kBlock) {
    const size_t m = std::min(kBlock, x.size() - i);
    for (size_t j = 0; j < m; ++j) wide[j] = static_cast<double>(x[i + j]);
    from_f64_column(std::span<const double>(wide, m), p, out + i);
  }
}

void to_f64_column(std::span<const D64> d, double* out) {
#if KVT_SIMD_AVX512
  if (kernel_level() >= KernelLevel::Avx512) return avx512::d64_to_f64(d.data(), d.size(), out);
#endif
  scalar::d64_to_f64(d.data(), d.size(), out);
}

}  // namespace kvt
