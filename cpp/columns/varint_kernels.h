// Vector kernels for the varint streams of integer, datetime and decimal columns: writing (eight
// varints a step, each value's bytes gathered with a byte permute and packed together with a
// byte compress, AVX-512 VBMI2) and sizing. They give exactly the bytes and sizes of the scalar
// writers in columns/varint_column.h, datetime_column.h and decimal_column.h, which stay the
// reference and run wherever has_varint_kernels() is false.
//
// Datetime streams have theirs beside the divider (columns/datetime_column.h).
//
// The writers take the values [begin, end) of a column (a datetime or decimal stream also reads
// the value before begin, for the first difference) and return the count of bytes stored at out,
// which must have room for them (nothing is stored past them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/cpu.h"
#include "model/d64.h"

namespace kvt {

// True where the CPU and the system run AVX-512 F, DQ, BW, VL, VBMI and VBMI2; decided on first
// call.
bool has_varint_kernels() noexcept;

#if KVT_SIMD_AVX512
namespace avx512 {

// Integer columns: the varints of zigzag(x) for signed kinds, of x for unsigned ones.
size_t write_varints(const int64_t* x, size_t begin, size_t end, uint8_t* out);
size_t write_varints(const int32_t* x, size_t begin, size_t end, uint8_t* out);
size_t write_varints(const uint32_t* x, size_t begin, size_t end, uint8_t* out);
size_t write_varints(const uint64_t* x, size_t begin, size_t end, uint8_t* out);
size_t varints_size(const int64_t* x, size_t n);
size_t varints_size(const int32_t* x, size_t n);
size_t varints_size(const uint32_t* x, size_t n);
size_t varints_size(const uint64_t* x, size_t n);

// Decimal streams: zigzag of m(i) - m(i-1), the signed mantissas, m(-1) = 0.
size_t write_mantissa_delta_varints(const D64* d, size_t begin, size_t end, uint8_t* out);
size_t mantissa_delta_size(const D64* d, size_t n);

}  // namespace avx512
#endif

}  // namespace kvt
