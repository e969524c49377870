// Bulk decoding of sequences of varint integers (Int64, Int32, UInt32, UInt64 columns and the
// difference streams of DateTime and Decimal columns).
//
// Each function reads `count` elements after the count itself has been read, appending to `out`.
// Results and errors are exactly those of reading the elements one by one with Reader; runs of
// single-byte varints are converted in bulk without per-element bounds checks. `out` never grows
// beyond what the remaining bytes could hold (every element takes at least one byte).
#pragma once

#include <cstdint>

#include "model/vec.h"
#include "wire/reader.h"

namespace kvt {

Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out);
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out);
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out);
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out);

// Element-by-element reference versions with identical results; used by tests.
Decoded<void> read_i64_seq_slow(Reader& r, uint64_t count, Vec<int64_t>& out);
Decoded<void> read_i32_seq_slow(Reader& r, uint64_t count, Vec<int32_t>& out);
Decoded<void> read_u32_seq_slow(Reader& r, uint64_t count, Vec<uint32_t>& out);
Decoded<void> read_u64_seq_slow(Reader& r, uint64_t count, Vec<uint64_t>& out);

}  // namespace kvt
