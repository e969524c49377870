// The portable UTF-8 kernel: the build's kernel when it has no vector one (wire/simd.h), and
// the one the vector kernel is checked against. It differs from wire/utf8.cc only in how it
// skips runs of ASCII; the sequence checks are shared (wire/utf8_kernel.h), and the tests and the
// kernels fuzzer require the same result from both on the same bytes.
#include <bit>
#include <cstring>

#include "wire/utf8.h"
#include "wire/utf8_kernel.h"

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

std::optional<Utf8Error> validate_utf8(const uint8_t* data, size_t n) {
  return validate_utf8_with<skip_ascii>(data, n);
}

}  // namespace kvt::scalar
