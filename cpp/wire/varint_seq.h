// Bulk decoding of sequences of varint integers (Int64, Int32, UInt32, UInt64 columns and the
// difference streams of DateTime and Decimal columns).
//
// Each function reads `count` elements after the count itself has been read, appending to `out`.
// Results and errors are exactly those of reading the elements one by one with Reader, and so is
// the reader position after an error; runs of single-byte varints are converted in bulk without
// per-element bounds checks. `out` never grows beyond what the remaining bytes could hold (every
// element takes at least one byte).
#pragma once

#include <cstdint>

#include "model/vec.h"
#include "wire/reader.h"
#include "wire/simd.h"

namespace kvt {

// Portable kernels: runs of single-byte elements go 8 at a time through 64-bit words.
namespace scalar {
Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out);
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out);
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out);
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out);
}  // namespace scalar

#if KVT_SIMD_SSE2
// Runs of single-byte elements go 16 at a time through SSE2 registers.
namespace sse2 {
Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out);
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out);
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out);
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out);
}  // namespace sse2
using sse2::read_i32_seq;
using sse2::read_i64_seq;
using sse2::read_u32_seq;
using sse2::read_u64_seq;
#else
using scalar::read_i32_seq;
using scalar::read_i64_seq;
using scalar::read_u32_seq;
using scalar::read_u64_seq;
#endif

}  // namespace kvt
