// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "wire/simd.h"

namespace kvt {

struct Utf8Error {
  uint64_t valid_up_to;              // bytes before the first ill-formed sequence
  std::optional<uint8_t> error_len;  // maximal subpart length; none when input ends mid-sequence

  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// nullopt when data[0, n) is well-formed UTF-8. The kernels below differ only in how they skip
// runs of ASCII; each gives the same result for the same bytes.
namespace scalar {
// Scans ASCII 16 bytes at a time in 64-bit words. Portable.
std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n);
}  // namespace scalar

#if KVT_SIMD_SSE2
namespace sse2 {
// Scans ASCII 32, then 16 bytes at a time in SSE2 registers.
std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n);
}  // namespace sse2
using sse2::validate_utf8;
#else
using scalar::validate_utf8;
#endif

}  // namespace kvt
