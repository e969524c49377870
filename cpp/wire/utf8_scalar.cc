// The portable UTF-8 kernel: the build's kernel when it has no vector one (wire/simd.h), and
// the one the vector kernel is checked against. It differs from wire/utf8.cc only in how it
// skips runs of ASCII; the sequence checks are the same, and the tests and the kernels fuzzer
// require the same result from both on the same bytes.
#include <bit>
#include <cstring>

#include "wire/utf8.h"

namespace kvt::scalar {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080;

// Index within an 8-byte word, loaded in native byte order, of its first byte (in memory
// order) with the high bit set; `high` is the word masked with kHighBits, and not 0.
size_t first_high_byte(uint64_t high) {
  const int bit =
      std::endian::native == std::endian::little ? std::countr_zero(high) : std::countl_zero(high);
  return static_cast<size_t>(bit) / 8;
}

// Index of the first byte >= 0x80 in data[i, n), or n. Scans 16, then 8 bytes at a time.
size_t skip_ascii(const uint8_t* data, size_t i, size_t n) {
  uint64_t a, b;
  while (n - i >= 16) {
    std::memcpy(&a, data + i, 8);
    std::memcpy(&b, data + i + 8, 8);
    if (((a | b) & kHighBits) != 0) {
      if ((a & kHighBits) != 0) return i + first_high_byte(a & kHighBits);
      return i + 8 + first_high_byte(b & kHighBits);
    }
    i += 16;
  }
  if (n - i >= 8) {
    std::memcpy(&a, data + i, 8);
    if ((a & kHighBits) != 0) return i + first_high_byte(a & kHighBits);
    i += 8;
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

}  // namespace kvt::scalar
