// The SSE2 UTF-8 kernel; wire/utf8_scalar.cc holds its portable twin.
#include "wire/utf8.h"

#if KVT_SIMD_SSE2

#include <emmintrin.h>

#include "wire/utf8_kernel.h"

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

std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n) {
  return validate_utf8_with<skip_ascii>(data, n);
}

}  // namespace kvt::sse2

#endif  // KVT_SIMD_SSE2
