// Values of Arrow arrays that frame columns hold in another form: half floats (as binary32) and
// decimals of 32, 64 or 128 bits (as D64, or as exact text).
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "model/d64.h"

namespace kvt::arrow {

// The binary16 value h as binary32 (exact: every half is a float).
float half_to_float(uint16_t h);

// Element i of a decimal array whose values are `bits` (32, 64 or 128) bits wide, little-endian,
// from `values`.
__int128 decimal_at(const void* values, int bits, int64_t i);

// The exact text of value × 10^-scale ("-12.30" for -1230 at scale 2); scale >= 0.
std::string decimal_text(__int128 value, int scale);

// A decimal that a frame's decimal column cannot carry: its magnitude reaches 2^56.
struct DecimalTooLarge {
  int64_t row;  // counted from the first element converted
  __int128 value;
};

// Elements [first, first + count) of a decimal array (see decimal_at) as D64 at `scale` (0 to 15)
// into out[0 .. count); fails at the first one whose magnitude reaches 2^56.
std::expected<void, DecimalTooLarge> decimals_to_d64(const void* values, int bits, int64_t first,
                                                     int64_t count, int scale, D64* out);

}  // namespace kvt::arrow
