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

// The scalar level: SSE2 kernels where the build targets SSE2 (every x86-64), the portable ones
// elsewhere; the portable ones are the reference of all.
//
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
#endif

#if KVT_SIMD_AVX2
// Windows of 16 bytes, element starts found by byte shuffles (wire/varint_seq_avx2.cc): kernel
// level avx2 and above.
namespace avx2 {
Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out);
Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out);
Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out);
Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out);
}  // namespace avx2
#endif

// The readers of one kernel level, and of the process's level (chosen on first call).
struct SeqReaders {
  Decoded<void> (*i64)(Reader&, uint64_t, Vec<int64_t>&);
  Decoded<void> (*i32)(Reader&, uint64_t, Vec<int32_t>&);
  Decoded<void> (*u32)(Reader&, uint64_t, Vec<uint32_t>&);
  Decoded<void> (*u64)(Reader&, uint64_t, Vec<uint64_t>&);
};
const SeqReaders& seq_readers(KernelLevel level) noexcept;
inline const SeqReaders& seq_readers() noexcept {
  static const SeqReaders& k = seq_readers(kernel_level());
  return k;
}

inline Decoded<void> read_i64_seq(Reader& r, uint64_t count, Vec<int64_t>& out) {
  return seq_readers().i64(r, count, out);
}
inline Decoded<void> read_i32_seq(Reader& r, uint64_t count, Vec<int32_t>& out) {
  return seq_readers().i32(r, count, out);
}
inline Decoded<void> read_u32_seq(Reader& r, uint64_t count, Vec<uint32_t>& out) {
  return seq_readers().u32(r, count, out);
}
inline Decoded<void> read_u64_seq(Reader& r, uint64_t count, Vec<uint64_t>& out) {
  return seq_readers().u64(r, count, out);
}

}  // namespace kvt
