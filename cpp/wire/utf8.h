// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kvt {

struct Utf8Error {
  uint64_t valid_up_to;             // bytes before the first ill-formed sequence
  std::optional<uint8_t> error_len;  // maximal subpart length; none when input ends mid-sequence
};

// nullopt when data[0, n) is well-formed UTF-8. Scans ASCII 16+ bytes at a time.
std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n);

}  // namespace kvt
