// The AVX2 bulk varint kernels (kernel level avx2 and above). The input is read in windows of
// 16 bytes. A window with no marker byte (>= 251) is sixteen one-byte elements. Otherwise the
// element starts are found from a known start (the window's first byte) without a loop: each
// byte's element length (1; 3 after FB; 5 after FC) gives the next start, next(i) = i + len(i),
// and the starts of the first eight elements, next^k(0), come from composing next with itself by
// byte shuffles (next^2, next^4; k bit by bit). The bytes after a marker are skipped whatever
// they hold. The elements wholly inside the window are then gathered into 32-bit lanes by two
// byte shuffles and widened.
//
// Windows pay off where elements are short (one- and three-byte mixes: up to eight elements a
// window). Where a window holds three elements or fewer (five- and nine-byte elements, FD, FE,
// FF), they give up, and the shared loop of wire/varint_seq_kernel.h goes on one element at a
// time (with its fixed-stride runs for uniform widths, and the Reader's exact errors) before it
// tries windows again.
#include <bit>
#include <cstddef>
#include <cstring>

#include "wire/varint_form.h"
#include "wire/varint_seq.h"
#include "wire/varint_seq_kernel.h"

#if KVT_SIMD_AVX2
#include <immintrin.h>

KVT_BEGIN_TARGET_AVX2
namespace kvt::avx2 {
namespace {

using detail::I32Elem;
using detail::I64Elem;
using detail::U32Elem;
using detail::U64Elem;

// Fewer elements than this in a window: windows give up.
constexpr unsigned kWorthAWindow = 4;

// Table lookup t[i] for each byte i of idx, where an index with the high bit set (past the
// window) gives 0xFF, which stays past the window through further lookups.
inline __m128i lookup(__m128i t, __m128i idx) {
  return _mm_or_si128(_mm_shuffle_epi8(t, idx), _mm_cmplt_epi8(idx, _mm_setzero_si128()));
}

// Elements from 32-bit wire codes (the unsigned varint values) in the four lanes of c, stored
// at dst: zigzag undone for signed kinds, widened for 64-bit kinds.
template <class E>
inline void store4(__m128i c, typename E::T* dst) {
  __m128i v = c;
  if constexpr (E::kZigzag) {
    // (z >> 1) ^ -(z & 1) of a z below 2^32 fits an int32.
    v = _mm_xor_si128(_mm_srli_epi32(c, 1),
                      _mm_sub_epi32(_mm_setzero_si128(), _mm_and_si128(c, _mm_set1_epi32(1))));
  }
  if constexpr (sizeof(typename E::T) == 8) {
    const __m256i w = E::kZigzag ? _mm256_cvtepi32_epi64(v) : _mm256_cvtepu32_epi64(v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), w);
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
  }
}

// Sixteen one-byte elements (the bytes of x; marker bytes give values that later stores
// overwrite) stored at dst.
template <class E>
inline void store16_single(__m128i x, typename E::T* dst) {
  __m128i v = x;
  if constexpr (E::kZigzag) {
    // (b >> 1) ^ -(b & 1) of b <= 250 fits a signed byte.
    const __m128i half = _mm_and_si128(_mm_srli_epi16(x, 1), _mm_set1_epi8(0x7F));
    const __m128i one = _mm_set1_epi8(1);
    v = _mm_xor_si128(half, _mm_cmpeq_epi8(_mm_and_si128(x, one), one));
  }
  if constexpr (sizeof(typename E::T) == 8) {
    auto put = [&](__m128i four, size_t at) {
      const __m256i w = E::kZigzag ? _mm256_cvtepi8_epi64(four) : _mm256_cvtepu8_epi64(four);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + at), w);
    };
    put(v, 0);
    put(_mm_srli_si128(v, 4), 4);
    put(_mm_srli_si128(v, 8), 8);
    put(_mm_srli_si128(v, 12), 12);
  } else {
    auto put = [&](__m128i eight, size_t at) {
      const __m256i w = E::kZigzag ? _mm256_cvtepi8_epi32(eight) : _mm256_cvtepu8_epi32(eight);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + at), w);
    };
    put(v, 0);
    put(_mm_srli_si128(v, 8), 8);
  }
}

inline uint32_t marker_mask(__m128i x) {
  return static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(char(kVarintMarkerMin))), x)));
}

struct Avx2Runs {
  // Windows while at least 16 bytes remain and 16 elements are wanted (so dst has room for a
  // whole window's stores), until a window holds fewer than kWorthAWindow elements; p is then
  // on that window.
  template <class E>
  static void windows(uint64_t count, const uint8_t*& cursor, const uint8_t* end, uint64_t& done,
                      typename E::T* dst) {
    // Locals: stores into dst could otherwise alias the caller's cursor and count.
    const uint8_t* p = cursor;
    uint64_t k = done;
    const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i one = _mm_set1_epi8(1);
    const __m128i sixteen = _mm_set1_epi8(16);
    while (count - k >= 16 && end - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (marker_mask(x) == 0) {
        store16_single<E>(x, dst + k);
        p += 16;
        k += 16;
        continue;
      }
      // Windows of one width, whose starts need no composing: the branch, once predicted, lets
      // the next window's load start at once. Five three-byte elements (FB at 0, 3, 6, 9, 12),
      // as prices' steps and quantities mostly are; three five-byte ones (FC at 0, 5, 10).
      const auto fb_at =
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(char(0xFB)))));
      if ((fb_at & 0x1249) == 0x1249) {
        const __m128i v16 = _mm_shuffle_epi8(
            x, _mm_setr_epi8(1, 2, 4, 5, 7, 8, 10, 11, 13, 14, -1, -1, -1, -1, -1, -1));
        store4<E>(_mm_cvtepu16_epi32(v16), dst + k);
        store4<E>(_mm_cvtepu16_epi32(_mm_srli_si128(v16, 8)), dst + k + 4);
        p += 15;
        k += 5;
        continue;
      }
      const auto fc_at =
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(char(0xFC)))));
      if ((fc_at & 0x421) == 0x421) {
        store4<E>(_mm_shuffle_epi8(
                      x, _mm_setr_epi8(1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, -1, -1, -1, -1)),
                  dst + k);
        p += 15;
        k += 3;
        continue;
      }
      // Element length by first byte: 1, 3 (FB), 5 (FC); 0x40 (FD, FE, FF) ends the window.
      const __m128i fb = _mm_cmpeq_epi8(x, _mm_set1_epi8(char(0xFB)));
      const __m128i fc = _mm_cmpeq_epi8(x, _mm_set1_epi8(char(0xFC)));
      const __m128i stop = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(char(0xFD))), x);
      const __m128i len =
          _mm_add_epi8(one, _mm_or_si128(_mm_or_si128(_mm_and_si128(fb, _mm_set1_epi8(2)),
                                                      _mm_and_si128(fc, _mm_set1_epi8(4))),
                                         _mm_and_si128(stop, _mm_set1_epi8(0x3F))));
      const __m128i ends = _mm_add_epi8(iota, len);  // at most 15 + 0x40
      // next(i): the following start, or 0xFF when it lies past the window.
      const __m128i next = _mm_or_si128(ends, _mm_cmpgt_epi8(ends, _mm_set1_epi8(15)));
      const __m128i next2 = lookup(next, next);
      const __m128i next4 = lookup(next2, next2);
      // Lane k of starts: next^k(0), for k = 0 .. 7.
      __m128i starts = _mm_setzero_si128();
      starts = _mm_blendv_epi8(starts, lookup(next, starts),
                               _mm_setr_epi8(0, -1, 0, -1, 0, -1, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0));
      starts = _mm_blendv_epi8(starts, lookup(next2, starts),
                               _mm_setr_epi8(0, 0, -1, -1, 0, 0, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0));
      starts = _mm_blendv_epi8(starts, lookup(next4, starts),
                               _mm_setr_epi8(0, 0, 0, 0, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0));
      // An element is taken when it starts and ends inside the window: a prefix of the eight.
      const __m128i lens = lookup(len, starts);
      const __m128i element_end = lookup(ends, starts);
      const __m128i whole = _mm_cmpeq_epi8(_mm_min_epu8(element_end, sixteen), element_end);
      const auto taken = static_cast<unsigned>(
          std::popcount(static_cast<unsigned>(_mm_movemask_epi8(whole)) & 0xFF));
      if (taken < kWorthAWindow) break;
      // Bytes consumed: the sum of the taken lengths.
      const __m128i taken_lens = _mm_and_si128(lens, whole);
      const auto used = static_cast<size_t>(_mm_cvtsi128_si32(
          _mm_sad_epu8(_mm_unpacklo_epi64(taken_lens, _mm_setzero_si128()), _mm_setzero_si128())));
      // Gather: lane j of element e takes byte start(e) + (len > 1) + j while j < its payload
      // (1 for a one-byte element, len - 1 after a marker); other bytes are zero.
      const __m128i j = _mm_setr_epi8(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
      auto gather = [&](__m128i spread, typename E::T* to) {
        const __m128i s = _mm_shuffle_epi8(starts, spread);
        const __m128i l = _mm_shuffle_epi8(lens, spread);
        const __m128i after_marker = _mm_and_si128(_mm_cmpgt_epi8(l, one), one);
        const __m128i payload = _mm_sub_epi8(l, after_marker);
        const __m128i idx = _mm_add_epi8(_mm_add_epi8(s, after_marker), j);
        const __m128i keep = _mm_cmpgt_epi8(payload, j);
        store4<E>(_mm_shuffle_epi8(
                      x, _mm_or_si128(idx, _mm_andnot_si128(keep, _mm_set1_epi8(char(0x80))))),
                  to);
      };
      gather(_mm_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3), dst + k);
      gather(_mm_setr_epi8(4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7), dst + k + 4);
      p += used;
      k += taken;
    }
    cursor = p;
    done = k;
  }

  // Blocks of one-byte elements: 16 at a time.
  template <class E>
  static void single_byte_run(uint64_t count, const uint8_t*& p, const uint8_t* end, uint64_t& k,
                              typename E::T* dst) {
    while (count - k >= 16 && end - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      store16_single<E>(x, dst + k);
      const uint32_t m = marker_mask(x);
      const size_t n = m ? static_cast<size_t>(std::countr_zero(m)) : 16;
      p += n;
      k += n;
      if (m) return;
    }
  }
};

}  // namespace

Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out) {
  return detail::read_seq_bulk<I64Elem, Avx2Runs>(r, count, out);
}
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out) {
  return detail::read_seq_bulk<I32Elem, Avx2Runs>(r, count, out);
}
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out) {
  return detail::read_seq_bulk<U32Elem, Avx2Runs>(r, count, out);
}
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out) {
  return detail::read_seq_bulk<U64Elem, Avx2Runs>(r, count, out);
}

}  // namespace kvt::avx2
KVT_END_TARGET

#endif  // KVT_SIMD_AVX2
