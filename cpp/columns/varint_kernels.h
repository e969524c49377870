// The varint stream kernels of integer, datetime and decimal columns, at every kernel level
// (model/cpu.h), gathered in one table per level: writers and sizers.
//
// Every writer takes the values [begin, end) of a column (a datetime or decimal stream also reads
// the value before begin, for the first difference) and returns the count of bytes stored at
// out, which must have room for them; nothing is stored past them. Every level gives exactly the
// bytes and sizes of encode_varint (wire/encode.h) applied one value at a time:
// - scalar: the width computed arithmetically, each value stored with one 8-byte and one 1-byte
//   store and the cursor advanced by the width (no branch per value), while at least nine values
//   remain (their bytes then cover the scratch bytes of those stores); the last ones exactly.
// - avx2: four values a step: widths and first bytes in vector registers, each pair of values
//   packed into 16 bytes by one byte shuffle and stored whole; a step holding a nine-byte value
//   falls back to the scalar stores.
// - avx512: eight values a step: each value's bytes gathered by a byte permute, packed by a byte
//   compress (VBMI2) and stored under a mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "model/cpu.h"
#include "model/d64.h"

namespace kvt {

class ExactDivider;  // columns/datetime_column.h

// Integer columns: the varints of zigzag(x) for signed kinds, of x for unsigned ones.
template <class T>
struct IntegerVarintKernels {
  size_t (*write)(const T* x, size_t begin, size_t end, uint8_t* out);
  size_t (*size)(const T* x, size_t n);
};

struct VarintKernels {
  IntegerVarintKernels<int64_t> i64;
  IntegerVarintKernels<int32_t> i32;
  IntegerVarintKernels<uint32_t> u32;
  IntegerVarintKernels<uint64_t> u64;
  // Datetime streams: zigzag of the quotient by the divider's unit of v(0) and of every wrapping
  // difference. The writer takes a unit that divides them all exactly (the column's plan has
  // proven it); the sizer checks and gives 0 when one division is not exact.
  size_t (*write_quotients)(const int64_t* v, size_t begin, size_t end, const ExactDivider& div,
                            uint8_t* out);
  size_t (*quotient_size)(const int64_t* v, size_t n, const ExactDivider& div);
  // Decimal streams: zigzag of m(i) - m(i-1), the signed mantissas, m(-1) = 0.
  size_t (*write_mantissa_deltas)(const D64* d, size_t begin, size_t end, uint8_t* out);
  size_t (*mantissa_delta_size)(const D64* d, size_t n);

  template <class T>
  const IntegerVarintKernels<T>& integers() const {
    if constexpr (std::is_same_v<T, int64_t>) return i64;
    if constexpr (std::is_same_v<T, int32_t>) return i32;
    if constexpr (std::is_same_v<T, uint32_t>) return u32;
    if constexpr (std::is_same_v<T, uint64_t>) return u64;
  }
};

// The kernels of a level (a level this build or CPU lacks gives the highest one below it).
const VarintKernels& varint_kernels(KernelLevel level) noexcept;
// The kernels of the process's level, chosen on first call.
inline const VarintKernels& varint_kernels() noexcept {
  static const VarintKernels& k = varint_kernels(kernel_level());
  return k;
}

}  // namespace kvt
