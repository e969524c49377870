// The SSE2 bulk varint kernels (wire/varint_seq_scalar.cc holds their portable twins) and the
// table of readers per kernel level.
#include "wire/varint_seq.h"

#include <algorithm>

#if KVT_SIMD_SSE2

#include <emmintrin.h>

#include <cstddef>

#include "wire/varint_form.h"
#include "wire/varint_seq_kernel.h"

namespace kvt::sse2 {
namespace {

using detail::I32Elem;
using detail::I64Elem;
using detail::U32Elem;
using detail::U64Elem;

// Bit i set where byte i of x is a varint marker (>= 251).
inline uint32_t marker_mask(__m128i x) {
  const __m128i m = _mm_max_epu8(x, _mm_set1_epi8(static_cast<char>(kVarintMarkerMin)));
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

struct Sse2Runs {
  // Converts 16-byte blocks of single-byte elements while fewer than `count` are done; stops
  // after the block holding a marker, with p on that marker.
  template <class E>
  static void single_byte_run(uint64_t count, const uint8_t*& p, const uint8_t* end, uint64_t& k,
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
};

}  // namespace

Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out) {
  return detail::read_seq_bulk<I64Elem, Sse2Runs>(r, count, out);
}
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out) {
  return detail::read_seq_bulk<I32Elem, Sse2Runs>(r, count, out);
}
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out) {
  return detail::read_seq_bulk<U32Elem, Sse2Runs>(r, count, out);
}
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out) {
  return detail::read_seq_bulk<U64Elem, Sse2Runs>(r, count, out);
}

}  // namespace kvt::sse2

#endif  // KVT_SIMD_SSE2

namespace kvt {

namespace {
#if KVT_SIMD_SSE2
constexpr SeqReaders kBaseline = {sse2::read_i64_seq, sse2::read_i32_seq, sse2::read_u32_seq,
                                  sse2::read_u64_seq};
#else
constexpr SeqReaders kBaseline = {scalar::read_i64_seq, scalar::read_i32_seq, scalar::read_u32_seq,
                                  scalar::read_u64_seq};
#endif
#if KVT_SIMD_AVX2
constexpr SeqReaders kAvx2 = {avx2::read_i64_seq, avx2::read_i32_seq, avx2::read_u32_seq,
                              avx2::read_u64_seq};
#endif
}  // namespace

const SeqReaders& seq_readers([[maybe_unused]] KernelLevel level) noexcept {
#if KVT_SIMD_AVX2
  if (std::min(level, cpu_kernel_level()) >= KernelLevel::Avx2) return kAvx2;
#endif
  return kBaseline;
}

}  // namespace kvt
