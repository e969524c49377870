// The vector UTF-8 kernels (SSE2 for the scalar level on x86-64, AVX2 for the avx2 level and
// above) and the choice between them; wire/utf8_scalar.cc holds their portable twin.
#include "wire/utf8.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "wire/utf8_kernel.h"

#if KVT_SIMD_SSE2 || KVT_SIMD_AVX2
#include <immintrin.h>
#endif

namespace kvt {

#if KVT_SIMD_SSE2
namespace sse2 {
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

}  // namespace sse2
#endif  // KVT_SIMD_SSE2

#if KVT_SIMD_AVX2
KVT_BEGIN_TARGET_AVX2
namespace avx2 {
namespace {

// The high bits of data[at, at + 32) (bit k for byte at + k), and of 16 and 8 bytes.
inline uint32_t high_bits32(const uint8_t* data, size_t at) {
  return static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at))));
}
inline uint32_t high_bits16(const uint8_t* data, size_t at) {
  return static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at))));
}
inline uint64_t high_bits8(const uint8_t* data, size_t at) {
  uint64_t w;
  std::memcpy(&w, data + at, 8);
  return w & 0x8080808080808080;  // byte k of the word (x86-64: little-endian) is data[at + k]
}

// Index of the first byte >= 0x80 in data[i, n), or n. Scans 32 bytes at a time; the bytes left
// after the last whole step are read in one window that ends at n and starts before them (of 32
// bytes, or 16 or 8 when the input is shorter), its lanes before i shifted out. Inputs of fewer
// than 8 bytes go byte by byte.
size_t skip_ascii(const uint8_t* data, size_t i, size_t n) {
  while (n - i >= 32) {
    const uint32_t m = high_bits32(data, i);
    if (m != 0) return i + static_cast<size_t>(std::countr_zero(m));
    i += 32;
  }
  if (i == n) return n;
  // From here n - i < 32, and each window below starts at or before i.
  if (n >= 32) {
    const uint32_t m = high_bits32(data, n - 32) >> (i - (n - 32));
    return m != 0 ? i + static_cast<size_t>(std::countr_zero(m)) : n;
  }
  if (n >= 16) {
    if (n - i >= 16) {
      const uint32_t m = high_bits16(data, i);
      if (m != 0) return i + static_cast<size_t>(std::countr_zero(m));
      i += 16;
      if (i == n) return n;
    }
    const uint32_t m = high_bits16(data, n - 16) >> (i - (n - 16));
    return m != 0 ? i + static_cast<size_t>(std::countr_zero(m)) : n;
  }
  if (n >= 8) {
    if (n - i >= 8) {
      const uint64_t m = high_bits8(data, i);
      if (m != 0) return i + static_cast<size_t>(std::countr_zero(m)) / 8;
      i += 8;
      if (i == n) return n;
    }
    const uint64_t m = high_bits8(data, n - 8) >> (8 * (i - (n - 8)));
    return m != 0 ? i + static_cast<size_t>(std::countr_zero(m)) / 8 : n;
  }
  while (i < n && data[i] < 0x80) ++i;
  return i;
}

}  // namespace

std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n) {
  return validate_utf8_with<skip_ascii>(data, n);
}

}  // namespace avx2
KVT_END_TARGET
#endif  // KVT_SIMD_AVX2

Utf8Kernel utf8_kernel(KernelLevel level) noexcept {
#if KVT_SIMD_AVX2
  if (std::min(level, cpu_kernel_level()) >= KernelLevel::Avx2) return avx2::validate_utf8;
#endif
  (void)level;
#if KVT_SIMD_SSE2
  return sse2::validate_utf8;
#else
  return scalar::validate_utf8;
#endif
}

std::optional<size_t> first_non_utf8_element(const uint8_t* bytes,
                                             std::span<const uint64_t> offsets) {
  const uint64_t begin = offsets.front(), end = offsets.back();
  if (end == begin) return std::nullopt;
  if (auto bad = validate_utf8(bytes + begin, end - begin)) {
    const uint64_t at = begin + bad->valid_up_to;
    const auto it = std::upper_bound(offsets.begin(), offsets.end(), at);
    return static_cast<size_t>(std::max<std::ptrdiff_t>(0, it - offsets.begin() - 1));
  }
  for (size_t i = 1; i + 1 < offsets.size(); ++i) {
    if (offsets[i] < end && (bytes[offsets[i]] & 0xC0) == 0x80) return i - 1;
  }
  return std::nullopt;
}

}  // namespace kvt
