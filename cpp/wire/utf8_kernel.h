// The UTF-8 validation loop shared by the kernels of wire/utf8.cc and wire/utf8_scalar.cc, which
// differ only in how they skip runs of ASCII (kSkipAscii: the index of the first byte >= 0x80 in
// data[i, n), or n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "wire/utf8.h"

namespace kvt {

// Well-formed sequences (Unicode Table 3-7): a lead byte fixes the width and the range of the
// second byte; every later byte is 80..BF. On failure the maximal subpart is the lead byte plus
// the continuation bytes accepted before the first one out of range.
// Always inlined, so that each kernel's loop is compiled for its own target with its skipping
// inlined.
template <size_t (*kSkipAscii)(const uint8_t*, size_t, size_t)>
[[gnu::always_inline]] inline std::optional<Utf8Error> validate_utf8_with(const uint8_t* data,
                                                                          size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (b < 0x80) {
      i = kSkipAscii(data, i, n);
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

}  // namespace kvt
