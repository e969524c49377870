// DateTime columns, in the compact form of columns/compact_column.h: header = unit u, then
// v(0) / u, then (v(i) - v(i-1)) / u, differences wrapping in 64 bits. The reader accumulates the
// quotients (wrapping) and multiplies by u (wrapping), so any nonzero unit that divides v(0) and
// every difference exactly reproduces the column.
//
// Also the conversions that intake and output apply to timestamps: other datetime64 units to and
// from microseconds (NaT kept), and the shift into the local zone.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "columns/varint_column.h"
#include "columns/varint_kernels.h"
#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"

namespace kvt {

// The unit that the ten-value rule gives: g = v(0); for each of the first min(n, 10) values x:
// g = x when g is 0; |g| when x is 0; else gcd(|g|, |x|) on unsigned magnitudes (2^63 wraps to
// INT64_MIN). May be 0, and need not divide later differences. 0 for an empty column.
int64_t datetime_ten_value_unit(std::span<const int64_t> v);

// The unit a column is written with and its encoded size. The ten-value unit is used whenever
// it divides v(0) and every wrapping difference exactly with no quotient overflowing; the bytes
// are then those of the plain rule. Otherwise the unit is the gcd of |v(0)| and all
// |differences| (verified), or 1 when that fails or is 0. The result always reproduces the
// column exactly and is never 0 (except for an empty column, where it is unused).
struct DatetimePlan {
  int64_t unit = 0;
  size_t size = 0;
};
DatetimePlan plan_datetime_column(std::span<const int64_t> v);

// Exact division by a fixed nonzero unit through a multiplicative inverse (no divide
// instruction). divide() fails when the unit does not divide d or the quotient overflows
// (unit -1 and d = INT64_MIN).
class ExactDivider {
 public:
  explicit ExactDivider(int64_t unit);
  bool divide(int64_t d, int64_t& q) const {
    if (static_cast<uint64_t>(d) & low_mask_) return false;
    // d is a multiple of 2^shift_, so the arithmetic shift divides exactly.
    const auto x = static_cast<uint64_t>(d >> shift_);
    const auto y = static_cast<int64_t>(x * inverse_);  // exact quotient by the odd part, if any
    if (y < lo_ || y > hi_) return false;
    if (negative_) {
      if (y == INT64_MIN) return false;
      q = -y;
    } else {
      q = y;
    }
    return true;
  }

  // The quotient of a d that the unit divides exactly (as divide() would give it), without the
  // checks: for writing a column whose plan has already proven every division exact.
  int64_t exact_quotient(int64_t d) const {
    const auto y = static_cast<uint64_t>(d >> shift_) * inverse_;
    return static_cast<int64_t>(negative_ ? uint64_t{0} - y : y);
  }

  // Whether the unit is 1: every quotient is d itself, and no division fails.
  bool identity() const { return shift_ == 0 && inverse_ == 1 && !negative_; }

  // What divide() computes with, for kernels that divide many values at once.
  struct Parts {
    uint64_t low_mask;
    int shift;
    uint64_t inverse;
    int64_t lo, hi;
    bool negative;
  };
  Parts parts() const { return {low_mask_, shift_, inverse_, lo_, hi_, negative_}; }

 private:
  uint64_t low_mask_ = 0;
  int shift_ = 0;
  uint64_t inverse_ = 1;
  int64_t lo_ = INT64_MIN, hi_ = INT64_MAX;
  bool negative_ = false;
};

// The kernels of the unit conversions (columns/datetime_kernels.cc): the scalar ones, and twins
// for higher kernel levels (model/cpu.h) that give the same results. The sizing and writing of
// the quotient stream are varint kernels (columns/varint_kernels.h); scalar::quotient_size is
// the reference there.
namespace scalar {
size_t quotient_size(const int64_t* v, size_t n, const ExactDivider& div);
void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n);
bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor);
}  // namespace scalar
namespace avx2 {
void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n);
bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor);
}  // namespace avx2
namespace avx512 {
size_t quotient_size(const int64_t* v, size_t n, const ExactDivider& div);
size_t write_quotient_varints(const int64_t* v, size_t begin, size_t end, const ExactDivider& div,
                              uint8_t* out);
void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n);
bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor);
}  // namespace avx512

// Writes (or counts) a datetime column with the given unit, which must come from
// plan_datetime_column for the same column.
template <class Sink>
void encode_datetime_column(std::span<const int64_t> v, int64_t unit, Sink& s) {
  if (v.empty()) {
    s.put_u8(0);
    return;
  }
  write_count(s, uint64_t{v.size()} + 1);
  write_i64(s, unit);
  const ExactDivider div(unit);
  const VarintKernels& k = varint_kernels();
  encode_varints(
      s, v.size(),
      [&](size_t begin, size_t end, uint8_t* out) {
        return k.write_quotients(v.data(), begin, end, div, out);
      },
      [&] { return k.quotient_size(v.data(), v.size(), div); });
}

// Plans the unit and writes (or counts) the column.
template <class Sink>
void encode_datetime_column(std::span<const int64_t> v, Sink& s) {
  encode_datetime_column(v, plan_datetime_column(v).unit, s);
}

// Reads a datetime column. Fails only through the primitive reads. A unit of 0 yields zeros.
Decoded<Vec<int64_t>> decode_datetime_column(Reader& r);

// ---- conversions ----

// The NaT value of datetime64 columns, kept as NaT by every conversion.
inline constexpr int64_t kNaT = INT64_MIN;

// dst[i] = src[i] * factor (seconds or milliseconds to microseconds), NaT kept. False when a
// value does not fit (dst is then partly written). dst and src may be the same array.
bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor);

// dst[i] = src[i] / 1000 truncated toward zero (nanoseconds to microseconds), NaT kept. dst and src
// may be the same array.
void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n);

// The datetime64 units that intake takes in.
enum class TimeUnit : uint8_t { S, Ms, Us, Ns };

// dst[i] = src[i] in microseconds, NaT kept: widened for s and ms (false when a value does not
// fit), truncated toward zero for ns, copied for us. dst and src may be the same array.
bool to_microseconds(TimeUnit unit, const int64_t* src, int64_t* dst, size_t n);

// Adds offset_us to every timestamp in place with 64-bit wrap-around; NaT is left as NaT whatever
// the offset. One branch-free pass.
void shift_timestamps(std::span<int64_t> values, int64_t offset_us);

}  // namespace kvt
