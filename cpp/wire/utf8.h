// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "wire/simd.h"

namespace kvt {

struct Utf8Error {
  uint64_t valid_up_to;              // bytes before the first ill-formed sequence
  std::optional<uint8_t> error_len;  // maximal subpart length; none when input ends mid-sequence

  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// nullopt when data[0, n) is well-formed UTF-8. The kernels below differ only in how they skip
// runs of ASCII; each gives the same result for the same bytes. Each reads data[0, n) and nothing
// else, and costs O(n).
namespace scalar {
// Scans ASCII 16 bytes at a time in 64-bit words. Portable.
std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n);
}  // namespace scalar

#if KVT_SIMD_SSE2
namespace sse2 {
// Scans ASCII 32, then 16 bytes at a time in SSE2 registers.
std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n);
}  // namespace sse2
#endif

#if KVT_SIMD_AVX2
namespace avx2 {
// Scans ASCII 32 bytes at a time in AVX2 registers, the last bytes of a run in one window that
// ends with the input. Only for CPUs of the avx2 level (model/cpu.h).
std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n);
}  // namespace avx2
#endif

using Utf8Kernel = std::optional<Utf8Error> (*)(const uint8_t* data, size_t n);

// The kernel of a level: avx2 at the avx2 level and above, else sse2 where built, else scalar (a
// level this build or CPU lacks gives the highest one below it).
Utf8Kernel utf8_kernel(KernelLevel level) noexcept;

// The kernel of the process's level, chosen on first call.
inline std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n) {
  static const Utf8Kernel kernel = utf8_kernel(kernel_level());
  return kernel(data, n);
}

// The elements of an arena column, element i the bytes [offsets[i], offsets[i + 1]) of `bytes`.
// The first one that is not well-formed UTF-8 as the used range shows it: the element holding the
// range's first ill-formed byte, else the first one that starts inside a character (whose bytes
// the element before it began); nullopt when every element is well-formed. One pass over the
// range and one look at each boundary. `offsets` must ascend and hold at least one offset.
std::optional<size_t> first_non_utf8_element(const uint8_t* bytes,
                                             std::span<const uint64_t> offsets);

}  // namespace kvt
