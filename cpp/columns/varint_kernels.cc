#include "columns/varint_kernels.h"

#include <bit>
#include <cstdint>

#include "columns/datetime_column.h"

#if KVT_SIMD_AVX512
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 headers start some intrinsics from undefined registers (see model/d64_kernels.cc).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#endif

namespace kvt {

bool has_varint_kernels() noexcept { return has_avx512_vbmi2(); }

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
  const __mmask8 c1 = _mm512_mask_cmpgt_epu64_mask(lanes, z, _mm512_set1_epi64(250));
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
KVT_COLUMN_SIZE(int32_t)
KVT_COLUMN_SIZE(uint32_t)
KVT_COLUMN_SIZE(uint64_t)
#undef KVT_COLUMN_SIZE

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

}  // namespace kvt
