// D64: the 8-byte fixed-point decimal of Decimal columns and Decimal metadata values.
//
// Read as one big-endian 64-bit word the value is magnitude * 256 + scale * 16 + flags:
//   magnitude  unsigned 56-bit, bits 63..8
//   scale      0..15, bits 7..4
//   flags      bit 0 negative, bit 1 nan, bit 2 infinite, bit 3 always 0 in values we create.
// `bits` holds that word in native order; to_bytes/from_bytes give the stored byte image
// (magnitude most significant byte first, then the scale-and-flags byte).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <type_traits>

#include "model/cpu.h"
#include "model/vec.h"

namespace kvt {

// Largest magnitude plus one: magnitudes are 56-bit.
inline constexpr uint64_t kD64MagnitudeLimit = uint64_t{1} << 56;
inline constexpr uint32_t kD64MaxScale = 15;

// Exact binary64 powers 1e0 .. 1e11.
extern const double POWERS_OF_TEN[12];

enum class ParseDecimalError : uint8_t { Empty = 1, InvalidCharacter = 2, OutOfRange = 3 };

struct D64 {
  uint64_t bits = 0;

  static constexpr uint8_t kNegative = 1, kNan = 2, kInfinite = 4;

  static constexpr D64 from_parts(uint64_t magnitude, uint32_t scale, bool negative) {
    return D64{(magnitude << 8) | (uint64_t{scale & 15} << 4) | (negative ? kNegative : 0)};
  }
  static constexpr D64 nan() { return D64{kNan}; }
  static constexpr D64 infinity() { return D64{kInfinite}; }
  // A D64 carrying signed mantissa m at scale s; |m| must be below 2^56.
  static constexpr D64 from_mantissa(int64_t m, uint32_t scale) {
    uint64_t mag = m < 0 ? uint64_t{0} - static_cast<uint64_t>(m) : static_cast<uint64_t>(m);
    return from_parts(mag, scale, m < 0);
  }

  constexpr uint64_t magnitude() const { return bits >> 8; }
  constexpr uint32_t scale() const { return static_cast<uint32_t>((bits >> 4) & 15); }
  constexpr bool is_negative() const { return bits & kNegative; }
  constexpr bool is_nan() const { return bits & kNan; }
  constexpr bool is_infinite() const { return bits & kInfinite; }
  // The magnitude, negated when the negative flag is set; always fits an i64.
  constexpr int64_t mantissa() const {
    auto m = static_cast<int64_t>(magnitude());
    return is_negative() ? -m : m;
  }

  std::array<uint8_t, 8> to_bytes() const;
  static D64 from_bytes(const uint8_t* p);

  friend constexpr bool operator==(D64, D64) = default;
};

// Vec<D64> keeps the Vec contract of leaving new elements uninitialised: the member initialiser
// above would otherwise make every resize a zero-filling pass. D64 is an aggregate, so its objects
// come into being with the vector's storage and take their value from the first store; every
// producer of a Vec<D64> writes each element it adds before reading it.
template <>
struct SkipDefaultInit<D64> : std::true_type {};

// Parses decimal text: surrounding Unicode white space is trimmed; "inf" and "nan" (any ASCII
// case, no sign) give the special values; otherwise digits, '-' (anywhere, sets the sign) and '.'
// (the last one counts) are accepted. More than 15 places after the point are truncated toward
// zero to 15. A magnitude of 2^56 or more is OutOfRange.
std::expected<D64, ParseDecimalError> from_str(std::string_view text);

// Brings d to scale s in place: raising multiplies the mantissa, lowering truncates toward zero.
// NaN and infinite values are left alone. A result that does not fit (scale above 15, or a
// magnitude of 2^56 or more) becomes the NaN value.
void set_decimal(D64& d, size_t s);

// x * 10^p truncated toward zero (saturating; NaN gives 0). A result whose magnitude is 2^56 or
// more, or a scale above 15, gives the NaN value.
D64 from_f64(double x, size_t p);

// The signed mantissa divided by 10^scale; the nan and infinite flags are not consulted.
double to_f64(D64 d);

// out[i] = from_f64(x[i], p) for every i, bit for bit; out has room for x.size() values.
void from_f64_column(std::span<const double> x, size_t p, D64* out);
// out[i] = from_f64(x[i], p) for every i (each float widened to double first).
void from_f32_column(std::span<const float> x, size_t p, D64* out);
// out[i] = to_f64(d[i]) for every i, bit for bit; out has room for d.size() values.
void to_f64_column(std::span<const D64> d, double* out);

// The kernels behind the column conversions (model/d64_kernels.cc): the scalar ones, and their
// AVX2 and AVX-512 twins where built (model/cpu.h), which give the same bits. power = 10^p,
// scale_bits = p << 4.
namespace scalar {
void scaled_to_d64(const double* x, size_t n, double power, uint64_t scale_bits, D64* out);
void d64_to_f64(const D64* d, size_t n, double* out);
}  // namespace scalar
#if KVT_SIMD_AVX2
namespace avx2 {
void scaled_to_d64(const double* x, size_t n, double power, uint64_t scale_bits, D64* out);
void d64_to_f64(const D64* d, size_t n, double* out);
}  // namespace avx2
#endif
#if KVT_SIMD_AVX512
namespace avx512 {
void scaled_to_d64(const double* x, size_t n, double power, uint64_t scale_bits, D64* out);
void d64_to_f64(const D64* d, size_t n, double* out);
}  // namespace avx512
#endif

}  // namespace kvt
