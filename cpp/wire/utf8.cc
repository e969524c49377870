// The SSE2 UTF-8 kernel; wire/utf8_scalar.cc holds its portable twin.
#include "wire/utf8.h"

#if KVT_SIMD_SSE2

#include <emmintrin.h>

namespace kvt::sse2 {
namespace {

// Index of the first byte >= 0x80 in data[i, n), or n. Scans 32, then 16 bytes at a time.
size_t skip_ascii(const uint8_t* data, size_t i, size_t n) {
  while (n - i >= 32) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16));
    if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) {
      auto m = static_cast<uint32_t>(_mm_movemask_epi8(a)) |
               (static_cast<uint32_t>(_mm_movemask_epi8(b)) << 16);
      return i + static_cast<size_t>(__builtin_ctz(m));
    }
    i += 32;
  }
  if (n - i >= 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    auto m = static_cast<uint32_t>(_mm_movemask_epi8(a));
    if (m != 0) return i + static_cast<size_t>(__builtin_ctz(m));
    i += 16;
  }
  while (i < n && data[i] < 0x80) ++i;
  return i;
}

}  // namespace

// Well-formed sequences (Unicode Table 3-7): a lead byte fixes the width and the range of the
// second byte; every later byte is 80..BF. On failure the maximal subpart is the lead byte plus
// the continuation bytes accepted before the first one out of range.
std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (b < 0x80) {
      i = skip_ascii(data, i, n);
      continue;
    }
    size_t width = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b == 0xE0) {
      width = 3;
      lo = 0xA0;  // below is an overlong form
    } else if (b == 0xED) {
      width = 3;
      hi = 0x9F;  // above are the surrogates
    } else if (b >= 0xE1 && b <= 0xEF) {
      width = 3;
    } else if (b == 0xF0) {
      width = 4;
      lo = 0x90;  // below is an overlong form
    } else if (b == 0xF4) {
      width = 4;
      hi = 0x8F;  // above is beyond U+10FFFF
    } else if (b >= 0xF1 && b <= 0xF3) {
      width = 4;
    } else {
      return Utf8Error{i, 1};  // 80..C1 or F5..FF begin nothing
    }
    if (n - i < 2) return Utf8Error{i, std::nullopt};
    const uint8_t c = data[i + 1];
    if (c < lo || c > hi) return Utf8Error{i, 1};
    for (size_t k = 2; k < width; ++k) {
      if (n - i <= k) return Utf8Error{i, std::nullopt};
      if ((data[i + k] & 0xC0) != 0x80) return Utf8Error{i, static_cast<uint8_t>(k)};
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace kvt::sse2

#endif  // KVT_SIMD_SSE2
