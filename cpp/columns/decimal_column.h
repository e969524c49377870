// Decimal columns, in the compact form of columns/compact_column.h: header = column scale
// (written as the byte 2 * scale), elements = wrapping differences m(i) - m(i-1) of the signed
// mantissas, m(-1) = 0. The column scale is that of the first element that is neither NaN nor
// infinite (0 when there is none); element scales and special flags are not carried.
//
// The conversions that intake and output apply to decimal columns (floats and text to D64 at a
// scale, D64 to float64) are the column functions of model/d64.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "columns/varint_column.h"
#include "model/d64.h"
#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"

namespace kvt {

// The scale written for a decimal column (see above).
inline uint32_t d64_column_scale(std::span<const D64> col) {
  for (D64 d : col) {
    if (!d.is_nan() && !d.is_infinite()) return d.scale();
  }
  return 0;
}

// Writes (or counts) a decimal column. Cannot fail.
template <class Sink>
void encode_decimal_column(std::span<const D64> col, Sink& s) {
  if (col.empty()) {
    s.put_u8(0);
    return;
  }
  write_count(s, uint64_t{col.size()} + 1);
  write_i64(s, static_cast<int64_t>(d64_column_scale(col)));
  const VarintKernels& k = varint_kernels();
  const D64* x = col.data();
  encode_varints(
      s, col.size(),
      [&k, x](size_t begin, size_t end, uint8_t* out) {
        return k.write_mantissa_deltas(x, begin, end, out);
      },
      [&] { return k.mantissa_delta_size(x, col.size()); });
}

// Reads a decimal column. Fails only through the primitive reads (UnexpectedEnd,
// InvalidIntegerType with I64). Values that do not fit a D64 are not errors: every element of a
// column whose scale lies outside 0..15, and every element whose accumulated mantissa has a
// magnitude of 2^56 or more, decodes as the NaN value (D64::nan()); accumulation continues past
// such an element, and the other elements are unaffected.
Decoded<Vec<D64>> decode_decimal_column(Reader& r);

// ---- conversions ----

// An element of a decimal column taken from text at `scale` (at most 15): the parsed value
// rescaled (model/d64.h, set_decimal), NaN when there is no text or it does not parse.
D64 decimal_from_text(std::optional<std::string_view> text, uint32_t scale);

// The column as float64 values (model/d64.h, to_f64_column); the decimals are freed on return.
Vec<double> decimals_to_f64(Vec<D64>&& column);

}  // namespace kvt
