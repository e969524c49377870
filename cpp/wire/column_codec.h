// Compact encodings of Decimal and DateTime columns.
//
// Both share one outer form: an empty column is the single byte 00; a column of n >= 1 values is
// the count varint n + 1, one signed-varint header value, then n signed varints. Decoders also
// accept the count 1 (a header value and no elements) as an empty column.
//
// Decimal column: header = column scale (written as the byte 2 * scale), elements = wrapping
// differences m(i) - m(i-1) of the signed mantissas, m(-1) = 0. The column scale is that of the
// first element that is neither NaN nor infinite (0 when there is none); element scales and
// special flags are not carried.
//
// DateTime column: header = unit u, then v(0) / u, then (v(i) - v(i-1)) / u, differences wrapping
// in 64 bits. The decoder accumulates the quotients (wrapping) and multiplies by u (wrapping), so
// any nonzero unit that divides v(0) and every difference exactly reproduces the column.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "model/d64.h"
#include "model/strings.h"
#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"

namespace kvt {

// varint_size without branches, so that loops summing sizes over a column vectorize.
constexpr size_t varint_size_flat(uint64_t v) {
  return 1 + 2 * size_t{v > 250} + 2 * size_t{v > 0xFFFF} + 4 * size_t{v > 0xFFFFFFFFu};
}

// Writes (or counts) n varints, the values next() returns in turn (called once per element, in
// order). Writing goes in pieces; a piece with 9 bytes of room per element uses over-wide stores.
template <class Sink, class Next>
void put_varints(Sink& s, size_t n, Next next) {
  if constexpr (Sink::kWrites) {
    constexpr size_t kPiece = 4096;
    for (size_t i = 0; i < n; i += kPiece) {
      const size_t len = std::min(kPiece, n - i);
      uint8_t* const start = s.position();
      uint8_t* p = start;
      if (s.room() >= len * 9) {
        for (size_t j = 0; j < len; ++j) p += encode_varint_wide(next(), p);
      } else {
        for (size_t j = 0; j < len; ++j) p += encode_varint(next(), p);
      }
      s.advance(static_cast<size_t>(p - start));
      piece_written(s);
    }
  } else {
    size_t bytes = 0;
    for (size_t j = 0; j < n; ++j) bytes += varint_size_flat(next());
    s.skip(bytes);
  }
}

// ---- String and Bytes columns ----

// Reads a String (validate = true) or Bytes column: a u64 count, then each element as a length
// and its bytes. Results and errors are those of reading the elements one by one; with validate,
// a String element that is not UTF-8 fails with Utf8 (offsets relative to that element). The
// arena and offsets are sized once, never beyond what the input holds.
Decoded<StringColumn> read_strings_column(Reader& r, bool validate);

// ---- Decimal columns ----

// The scale written for a decimal column (see above).
inline uint32_t d64_column_scale(std::span<const D64> col) {
  for (D64 d : col) {
    if (!d.is_nan() && !d.is_infinite()) return d.scale();
  }
  return 0;
}

// Writes (or counts) a decimal column. Cannot fail.
template <class Sink>
void d64_array_bincode_encode(std::span<const D64> col, Sink& s) {
  if (col.empty()) {
    s.put_u8(0);
    return;
  }
  write_count(s, uint64_t{col.size()} + 1);
  write_i64(s, static_cast<int64_t>(d64_column_scale(col)));
  uint64_t prev = 0;
  const D64* d = col.data();
  put_varints(s, col.size(), [&] {
    const auto m = static_cast<uint64_t>((d++)->mantissa());
    const uint64_t z = zigzag64(static_cast<int64_t>(m - prev));
    prev = m;
    return z;
  });
}

// Reads a decimal column. Fails only through the primitive reads (UnexpectedEnd,
// InvalidIntegerType with I64). Values that do not fit a D64 are not errors: every element of a
// column whose scale lies outside 0..15, and every element whose accumulated mantissa has a
// magnitude of 2^56 or more, decodes as the NaN value (D64::nan()); accumulation continues past
// such an element, and the other elements are unaffected.
Decoded<Vec<D64>> d64_array_bincode_decode(Reader& r);

// ---- DateTime columns ----

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

 private:
  uint64_t low_mask_ = 0;
  int shift_ = 0;
  uint64_t inverse_ = 1;
  int64_t lo_ = INT64_MIN, hi_ = INT64_MAX;
  bool negative_ = false;
};

// Writes (or counts) a datetime column with the given unit, which must come from
// plan_datetime_column for the same column.
template <class Sink>
void datetime_array_bincode_encode(std::span<const int64_t> v, int64_t unit, Sink& s) {
  if (v.empty()) {
    s.put_u8(0);
    return;
  }
  write_count(s, uint64_t{v.size()} + 1);
  write_i64(s, unit);
  uint64_t prev = 0;
  const int64_t* x = v.data();
  auto difference = [&] {
    const auto u = static_cast<uint64_t>(*x++);
    const auto d = static_cast<int64_t>(u - prev);
    prev = u;
    return d;
  };
  if (unit == 1) {  // every difference is its own quotient
    put_varints(s, v.size(), [&] { return zigzag64(difference()); });
    return;
  }
  const ExactDivider div(unit);
  put_varints(s, v.size(), [&] {
    int64_t q = 0;
    [[maybe_unused]] const bool exact = div.divide(difference(), q);
    assert(exact);
    return zigzag64(q);
  });
}

// Plans the unit and writes (or counts) the column.
template <class Sink>
void datetime_array_bincode_encode(std::span<const int64_t> v, Sink& s) {
  datetime_array_bincode_encode(v, plan_datetime_column(v).unit, s);
}

// Reads a datetime column. Fails only through the primitive reads. A unit of 0 yields zeros.
Decoded<Vec<int64_t>> datetime_array_bincode_decode(Reader& r);

}  // namespace kvt
