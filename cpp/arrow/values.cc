#include "arrow/values.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace kvt::arrow {

float half_to_float(uint16_t h) {
  const uint32_t sign = uint32_t{h & 0x8000u} << 16;
  const uint32_t exponent = (h >> 10) & 0x1f;
  const uint32_t mantissa = h & 0x3ffu;
  uint32_t bits;
  if (exponent == 0x1f) {
    bits = sign | 0x7f800000u | (mantissa << 13);
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    // A subnormal half is mantissa * 2^-24, exactly representable as a normal float.
    return std::bit_cast<float>(sign) + (sign ? -1.0f : 1.0f) * std::ldexp(float(mantissa), -24);
  }
  return std::bit_cast<float>(bits);
}

__int128 decimal_at(const void* values, int bits, int64_t i) {
  const auto* base = static_cast<const uint8_t*>(values);
  if (bits == 32) {
    int32_t v;
    std::memcpy(&v, base + i * 4, 4);
    return v;
  }
  if (bits == 64) {
    int64_t v;
    std::memcpy(&v, base + i * 8, 8);
    return v;
  }
  __int128 v;
  std::memcpy(&v, base + i * 16, 16);
  return v;
}

std::string decimal_text(__int128 value, int scale) {
  const bool negative = value < 0;
  unsigned __int128 m = negative ? -static_cast<unsigned __int128>(value) : value;
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  while (static_cast<int>(digits.size()) <= scale) digits.push_back('0');
  std::reverse(digits.begin(), digits.end());
  if (scale > 0) digits.insert(digits.end() - scale, '.');
  return negative ? "-" + digits : digits;
}

std::expected<void, DecimalTooLarge> decimals_to_d64(const void* values, int bits, int64_t first,
                                                     int64_t count, int scale, D64* out) {
  constexpr auto kLimit = static_cast<__int128>(kD64MagnitudeLimit);
  for (int64_t i = 0; i < count; ++i) {
    const __int128 v = decimal_at(values, bits, first + i);
    if (v >= kLimit || v <= -kLimit) return std::unexpected(DecimalTooLarge{i, v});
    out[i] = D64::from_mantissa(static_cast<int64_t>(v), static_cast<uint32_t>(scale));
  }
  return {};
}

}  // namespace kvt::arrow
