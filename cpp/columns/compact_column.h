// The outer form that DateTime and Decimal columns share: an empty column is the single byte 00;
// a column of n >= 1 values is the count varint n + 1, one signed-varint header value, then n
// signed varints. Readers also accept the count 1 (a header value and no elements) as empty.
#pragma once

#include <cstdint>

#include "wire/reader.h"

namespace kvt {

constexpr uint64_t uabs(int64_t x) {
  return x < 0 ? uint64_t{0} - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
}

// Reads the count varint and, for counts 0 and 1, settles an empty column (false). Otherwise
// leaves the element count (count - 1) in *n and the header value in *header (true).
Decoded<bool> read_column_head(Reader& r, uint64_t* n, int64_t* header);

}  // namespace kvt
