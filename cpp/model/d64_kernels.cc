// Column conversions between binary64 and D64: the scalar kernels, their AVX2 and AVX-512 twins
// and the choice between them. Every twin gives the scalar kernel's result bit for bit.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "model/cpu.h"
#include "model/d64.h"

#if KVT_SIMD_AVX2 || KVT_SIMD_AVX512
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

#if KVT_SIMD_AVX2
KVT_BEGIN_TARGET_AVX2
namespace avx2 {

// Four values a step; AVX2 has no conversion between int64 and binary64, so the truncation
// reads the bits of |y|: an integer part below 2^56 is the significand m (implicit bit set) of
// |y| = m * 2^(e - 1075) shifted right by 1075 - e, or left by e - 1075 (a count above 63, one
// of them wrapped below zero, gives 0 in vpsrlvq and vpsllvq, so exactly one applies; |y| < 1
// shifts everything out). The sign is that of the truncated value: set exactly when y <= -1.
// NaN comes out of the same steps as the scale bits alone (exponent 2047 shifts all out, and
// NaN <= -1 is false), so one blend puts in the NaN value where |y| >= 2^56 (infinities too).
// The last n % 4 values go through the scalar kernel.
void scaled_to_d64(const double* x, size_t n, double power, uint64_t scale_bits, D64* out) {
  const __m256d p = _mm256_set1_pd(power);
  const __m256d limit = _mm256_set1_pd(kLimit);
  const __m256d minus_one = _mm256_set1_pd(-1.0);
  const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
  const __m256i significand = _mm256_set1_epi64x(0x000FFFFFFFFFFFFF);
  const __m256i implicit_bit = _mm256_set1_epi64x(int64_t{1} << 52);
  const __m256i unit_exponent = _mm256_set1_epi64x(1075);  // biased exponent of 2^52
  const __m256i scale = _mm256_set1_epi64x(static_cast<int64_t>(scale_bits));
  const __m256d nan_bits =
      _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<int64_t>(D64::nan().bits)));
  size_t i = 0;
  for (; n - i >= 4; i += 4) {
    const __m256d y = _mm256_mul_pd(_mm256_loadu_pd(x + i), p);
    const __m256d abs_y = _mm256_and_pd(y, abs_mask);
    const __m256i a = _mm256_castpd_si256(abs_y);
    const __m256i e = _mm256_srli_epi64(a, 52);
    const __m256i m = _mm256_or_si256(_mm256_and_si256(a, significand), implicit_bit);
    const __m256i magnitude =
        _mm256_or_si256(_mm256_srlv_epi64(m, _mm256_sub_epi64(unit_exponent, e)),
                        _mm256_sllv_epi64(m, _mm256_sub_epi64(e, unit_exponent)));
    const __m256i sign =
        _mm256_srli_epi64(_mm256_castpd_si256(_mm256_cmp_pd(y, minus_one, _CMP_LE_OQ)), 63);
    const __m256i bits =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi64(magnitude, 8), scale), sign);
    const __m256d in_range_or_nan = _mm256_cmp_pd(abs_y, limit, _CMP_NGE_UQ);
    _mm256_storeu_pd(reinterpret_cast<double*>(out + i),
                     _mm256_blendv_pd(nan_bits, _mm256_castsi256_pd(bits), in_range_or_nan));
  }
  scalar::scaled_to_d64(x + i, n - i, power, scale_bits, out + i);
}

// The high word of binary64 x: for 10^0 .. 10^7 the whole value, their low words being zero
// (5^7 needs 17 bits, which the top of the significand holds).
constexpr int high_word(double x) { return static_cast<int>(std::bit_cast<uint64_t>(x) >> 32); }
constexpr bool low_words_zero() {
  for (int s = 0; s < 8; ++s) {
    if ((std::bit_cast<uint64_t>(kPow10F64[s]) & 0xFFFFFFFF) != 0) return false;
  }
  return true;
}
static_assert(low_words_zero());

// Four values a step. The magnitude (below 2^56) becomes a double correctly rounded, as
// cvtsi2sd rounds: its halves are placed in the significands of 2^84 + hi * 2^32 and
// 2^52 + lo (both exact), and (first - (2^84 + 2^52)) + second leaves one rounding, in the final
// addition (the subtraction is exact: hi * 2^32 - 2^52 needs fewer than 53 bits). The negative
// flag flips the sign of both terms: (-s) + (-t) is -(s + t) exactly, and +0 when s + t = 0, so
// a negative zero mantissa gives +0 as the scalar conversion does. The power is
// 10^(scale & 7) * 10^(scale & 8), a product below 2^53 of integers and so exact: the first from
// an eight-entry table of high words (vpermd), the second from a two-entry one (vpermilpd); no
// gather, which is slow on several AVX2 cores, and no 16-entry lookup, which takes four permutes
// and three blends. The last n % 4 values go through the scalar kernel.
void d64_to_f64(const D64* d, size_t n, double* out) {
  const __m256i small_powers =
      _mm256_setr_epi32(high_word(kPow10F64[0]), high_word(kPow10F64[1]), high_word(kPow10F64[2]),
                        high_word(kPow10F64[3]), high_word(kPow10F64[4]), high_word(kPow10F64[5]),
                        high_word(kPow10F64[6]), high_word(kPow10F64[7]));
  const __m256d eighth_power = _mm256_setr_pd(1.0, kPow10F64[8], 1.0, kPow10F64[8]);
  const __m256i high_words = _mm256_set1_epi64x(static_cast<int64_t>(0xFFFFFFFF00000000));
  const __m256i high_exponent = _mm256_set1_epi64x(0x4530000000000000);  // 2^84
  const __m256i low_exponent = _mm256_set1_epi64x(0x4330000000000000);   // 2^52
  const __m256d both = _mm256_set1_pd(0x1.00000001p84);                  // 2^84 + 2^52
  size_t i = 0;
  for (; n - i >= 4; i += 4) {
    const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
    const __m256i magnitude = _mm256_srli_epi64(bits, 8);
    const __m256d sign = _mm256_castsi256_pd(_mm256_slli_epi64(bits, 63));
    const __m256d high = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(magnitude, 32), high_exponent)),
        both);
    const __m256d low = _mm256_castsi256_pd(_mm256_blend_epi32(magnitude, low_exponent, 0xAA));
    const __m256d value = _mm256_add_pd(_mm256_xor_pd(high, sign), _mm256_xor_pd(low, sign));
    // vpermd reads the low three bits of each 32-bit index: scale bits 0..2 (bits 4..6) moved
    // to the high word of the lane, whose entry is kept. vpermilpd reads bit 1 of each 64-bit
    // index: scale bit 3 (bit 7).
    const __m256d power_low = _mm256_castsi256_pd(_mm256_and_si256(
        _mm256_permutevar8x32_epi32(small_powers, _mm256_slli_epi64(bits, 28)), high_words));
    const __m256d power_high = _mm256_permutevar_pd(eighth_power, _mm256_srli_epi64(bits, 6));
    _mm256_storeu_pd(out + i, _mm256_div_pd(value, _mm256_mul_pd(power_low, power_high)));
  }
  scalar::d64_to_f64(d + i, n - i, out + i);
}

}  // namespace avx2
KVT_END_TARGET
#endif  // KVT_SIMD_AVX2

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
  if (kernel_level() >= KernelLevel::Avx512) {
    return avx512::scaled_to_d64(x.data(), x.size(), kPow10F64[p], p << 4, out);
  }
#endif
#if KVT_SIMD_AVX2
  if (kernel_level() == KernelLevel::Avx2) {
    return avx2::scaled_to_d64(x.data(), x.size(), kPow10F64[p], p << 4, out);
  }
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
#if KVT_SIMD_AVX2
  if (kernel_level() == KernelLevel::Avx2) return avx2::d64_to_f64(d.data(), d.size(), out);
#endif
  scalar::d64_to_f64(d.data(), d.size(), out);
}

}  // namespace kvt
