#include "model/d64.h"

#include <cmath>
#include <limits>

namespace kvt {

const double POWERS_OF_TEN[12] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11};

namespace {

// Exact powers of ten as integers, 10^0 .. 10^15 (the whole scale range).
constexpr uint64_t kPow10U64[16] = {1ULL,
                                    10ULL,
                                    100ULL,
                                    1000ULL,
                                    10000ULL,
                                    100000ULL,
                                    1000000ULL,
                                    10000000ULL,
                                    100000000ULL,
                                    1000000000ULL,
                                    10000000000ULL,
                                    100000000000ULL,
                                    1000000000000ULL,
                                    10000000000000ULL,
                                    100000000000000ULL,
                                    1000000000000000ULL};

// 10.0^n by square-and-multiply in binary64. Every intermediate is exact up to n = 22, so
// for the scales used here (12..15) the result is the exact power.
double pow10_binary64(size_t n) {
  double result = 1.0;
  double base = 10.0;
  while (n != 0) {
    if (n & 1) result *= base;
    base *= base;
    n >>= 1;
  }
  return result;
}

double power_of_ten(size_t n) { return n < 12 ? POWERS_OF_TEN[n] : pow10_binary64(n); }

// Byte length of the Unicode White_Space character that starts s, or 0 if s does not start
// with one. The input is UTF-8.
size_t leading_space(std::string_view s) {
  if (s.empty()) return 0;
  auto b0 = static_cast<uint8_t>(s[0]);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (s.size() >= 2 && b0 == 0xC2) {
    auto b1 = static_cast<uint8_t>(s[1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  }
  if (s.size() >= 3) {
    auto b1 = static_cast<uint8_t>(s[1]);
    auto b2 = static_cast<uint8_t>(s[2]);
    if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
    if (b0 == 0xE2 && b1 == 0x80) {
      // U+2000..U+200A, U+2028, U+2029, U+202F
      return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
    }
    if (b0 == 0xE2 && b1 == 0x81) return b2 == 0x9F ? 3 : 0;    // U+205F
    if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
  }
  return 0;
}

// Byte length of the White_Space character that ends s, or 0. In valid UTF-8 a lead byte
// never appears as a continuation byte, so matching the last 1, 2 or 3 bytes is exact.
size_t trailing_space(std::string_view s) {
  const size_t n = s.size();
  if (n == 0) return 0;
  auto last = static_cast<uint8_t>(s[n - 1]);
  if (last < 0x80) return leading_space(s.substr(n - 1));
  if (n >= 2 && leading_space(s.substr(n - 2)) == 2) return 2;
  if (n >= 3 && leading_space(s.substr(n - 3)) == 3) return 3;
  return 0;
}

std::string_view trim_space(std::string_view s) {
  while (size_t k = leading_space(s)) s.remove_prefix(k);
  while (size_t k = trailing_space(s)) s.remove_suffix(k);
  return s;
}

bool equals_ascii_nocase(std::string_view s, const char (&word)[4]) {
  for (size_t i = 0; i < 3; ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

}  // namespace

std::array<uint8_t, 8> D64::to_bytes() const {
  std::array<uint8_t, 8> out;
  for (size_t i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  return out;
}

D64 D64::from_bytes(const uint8_t* p) {
  uint64_t w = 0;
  for (size_t i = 0; i < 8; ++i) w = (w << 8) | p[i];
  return D64{w};
}

std::expected<D64, ParseDecimalError> from_str(std::string_view text) {
  const std::string_view s = trim_space(text);
  if (s.empty()) return std::unexpected(ParseDecimalError::Empty);
  if (s.size() == 3) {
    if (equals_ascii_nocase(s, "inf")) return D64::infinity();
    if (equals_ascii_nocase(s, "nan")) return D64::nan();
  }

  // First pass: reject any foreign byte, find the sign, the last point and the digit count.
  bool negative = false;
  bool has_point = false;
  size_t point = 0;
  size_t digits = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '-') {
      negative = true;
    } else if (c == '.') {
      has_point = true;
      point = i;
    } else {
      return std::unexpected(ParseDecimalError::InvalidCharacter);
    }
  }

  // The scale counts every byte after the point. Past 15 places the value is truncated toward
  // zero to 15 places, which drops the last (scale - 15) digits of the magnitude.
  const size_t places = has_point ? s.size() - point - 1 : 0;
  const size_t dropped = places > kD64MaxScale ? places - kD64MaxScale : 0;
  const size_t kept = digits > dropped ? digits - dropped : 0;

  // Second pass: the kept digits, in order. The check before each step keeps the
  // accumulator below 2^60, so it cannot wrap however many digits there are.
  uint64_t magnitude = 0;
  size_t taken = 0;
  for (size_t i = 0; i < s.size() && taken < kept; ++i) {
    const char c = s[i];
    if (c < '0' || c > '9') continue;
    if (magnitude >= kD64MagnitudeLimit) return std::unexpected(ParseDecimalError::OutOfRange);
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    ++taken;
  }
  if (magnitude >= kD64MagnitudeLimit) return std::unexpected(ParseDecimalError::OutOfRange);

  const auto scale = static_cast<uint32_t>(places > kD64MaxScale ? kD64MaxScale : places);
  return D64::from_parts(magnitude, scale, negative);
}

void set_decimal(D64& d, size_t s) {
  const uint32_t c = d.scale();
  if (d.is_nan() || d.is_infinite() || s == c) return;
  if (s > kD64MaxScale) {
    d = D64::nan();
    return;
  }
  uint64_t magnitude = d.magnitude();
  if (s > c) {
    const uint64_t factor = kPow10U64[s - c];
    if (magnitude > (kD64MagnitudeLimit - 1) / factor) {
      d = D64::nan();
      return;
    }
    magnitude *= factor;
  } else {
    magnitude /= kPow10U64[c - s];  // Truncates toward zero, as on the signed mantissa.
  }
  // A result of zero carries no sign.
  d = D64::from_parts(magnitude, static_cast<uint32_t>(s), d.is_negative() && magnitude != 0);
}

D64 from_f64(double x, size_t p) {
  if (p > kD64MaxScale) return D64::nan();
  const double y = x * power_of_ten(p);

  // Truncate toward zero to i64, saturating; only |i| matters from here on.
  constexpr double kTwo63 = 9223372036854775808.0;
  uint64_t magnitude;
  bool negative;
  if (std::isnan(y)) {
    magnitude = 0;
    negative = false;
  } else if (y >= kTwo63) {
    magnitude = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    negative = false;
  } else if (y < -kTwo63) {
    magnitude = uint64_t{1} << 63;
    negative = true;
  } else {
    const auto i = static_cast<int64_t>(y);
    negative = i < 0;
    magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
  }
  if (magnitude >= kD64MagnitudeLimit) return D64::nan();
  return D64::from_parts(magnitude, static_cast<uint32_t>(p), negative);
}

double to_f64(D64 d) {
  const auto f = static_cast<double>(d.mantissa());
  const uint32_t scale = d.scale();
  return scale == 0 ? f : f / power_of_ten(scale);
}

}  // namespace kvt
