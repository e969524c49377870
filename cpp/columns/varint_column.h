// Integer columns (Int64, Int32, UInt32, UInt64) and the one bulk varint writer that every
// varint stream of a frame goes through (integer columns, DateTime and Decimal differences).
//
// An integer column is a u64 count, then each element as a varint: signed kinds zigzag-mapped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "columns/varint_kernels.h"
#include "model/result.h"
#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"
#include "wire/varint_seq.h"

namespace kvt {

// True when at(j), ..., at(j + 15) all take one byte: v <= 250 exactly when neither v nor v + 5
// reaches 256 (v + 5 cannot wrap when v < 256).
template <class At>
bool run_is_one_byte(At& at, size_t j) {
  uint64_t high = 0;
  for (size_t k = 0; k < 16; ++k) {
    const uint64_t v = at(j + k);
    high |= (v | (v + 5)) >> 8;
  }
  return high == 0;
}

// varint_size without branches, so that loops summing sizes over a column vectorize.
constexpr size_t varint_size_flat(uint64_t v) {
  return 1 + 2 * size_t{v > 250} + 2 * size_t{v > 0xFFFF} + 4 * size_t{v > 0xFFFFFFFFu};
}

// How a varint stream is shaped, which decides the writer's strategy:
// - SmallRuns (integer columns): f(i) gives element i (a pure function of i). Values go in runs
//   of 16; a run whose values all take one byte (the common case of small numbers) is checked
//   and stored without a branch per element, and after a run with a wide value the next few runs
//   skip the check (wide values cluster). Wide runs keep the per-width branches: on columns of
//   one width they predict perfectly and beat over-wide stores.
// - Stream (difference streams of DateTime and Decimal columns): f() gives the elements in turn
//   (called exactly once each, in order); where the planned memory has room for 9 bytes a value,
//   values go out with over-wide stores and no branch on the width.
enum class VarintShape : uint8_t { SmallRuns, Stream };

// Elements per piece of a varint stream: at most 9 bytes each, so a piece stays within 64 KiB; a
// whole number of 16-element runs.
inline constexpr size_t kVarintPiece = (size_t{64} << 10) / 9 / 16 * 16;

// Writes (or counts) n varints of the values f gives (see VarintShape). Writing goes in pieces
// whose bytes stay within 64 KiB and end with piece_written(), so a checksumming sink takes each
// piece in while it is cached. The one bulk varint writer of the frame code.
template <VarintShape kShape, class Sink, class F>
void write_varints(Sink& s, size_t n, F f) {
  constexpr size_t kRun = 16;
  if constexpr (Sink::kWrites) {
    for (size_t i = 0; i < n; i += kVarintPiece) {
      const size_t end = std::min(n, i + kVarintPiece);
      uint8_t* const start = s.position();
      uint8_t* p = start;
      if constexpr (kShape == VarintShape::SmallRuns) {
        unsigned unchecked = 0;
        size_t j = i;
        for (; j + kRun <= end; j += kRun) {
          if (unchecked == 0 && run_is_one_byte(f, j)) {
            for (size_t k = 0; k < kRun; ++k) p[k] = static_cast<uint8_t>(f(j + k));
            p += kRun;
          } else {
            unchecked = unchecked == 0 ? 7 : unchecked - 1;
            for (size_t k = 0; k < kRun; ++k) p += encode_varint(f(j + k), p);
          }
        }
        for (; j < end; ++j) p += encode_varint(f(j), p);
      } else if (s.room() >= (end - i) * 9) {
        for (size_t j = i; j < end; ++j) p += encode_varint_wide(f(), p);
      } else {
        for (size_t j = i; j < end; ++j) p += encode_varint(f(), p);
      }
      s.advance(static_cast<size_t>(p - start));
      piece_written(s);
    }
  } else if constexpr (kShape == VarintShape::SmallRuns) {
    size_t bytes = 0;
    size_t j = 0;
    for (; j + kRun <= n; j += kRun) {
      if (run_is_one_byte(f, j)) {
        bytes += kRun;
      } else {
        for (size_t k = 0; k < kRun; ++k) bytes += varint_size_flat(f(j + k));
      }
    }
    for (; j < n; ++j) bytes += varint_size_flat(f(j));
    s.skip(bytes);
  } else {
    size_t bytes = 0;
    for (size_t j = 0; j < n; ++j) bytes += varint_size_flat(f());
    s.skip(bytes);
  }
}

// Writes n varints through a vector kernel, in the pieces of write_varints: kernel(begin, end,
// out) stores the varints of elements [begin, end) at out and returns their byte count.
template <class Sink, class Kernel>
void write_varints_by(Sink& s, size_t n, Kernel kernel) {
  for (size_t i = 0; i < n; i += kVarintPiece) {
    const size_t end = std::min(n, i + kVarintPiece);
    s.advance(kernel(i, end, s.position()));
    piece_written(s);
  }
}

// The varint value an element of an integer column is written as.
constexpr uint64_t varint_value(int64_t x) { return zigzag64(x); }
constexpr uint64_t varint_value(int32_t x) { return zigzag32(x); }
constexpr uint64_t varint_value(uint32_t x) { return x; }
constexpr uint64_t varint_value(uint64_t x) { return x; }

// Writes (or counts) an integer column. Cannot fail.
template <class Sink, class T>
void encode_integer_column(Sink& s, std::span<const T> v) {
  write_count(s, v.size());
  const T* x = v.data();
#if KVT_SIMD_AVX512
  if (has_varint_kernels()) {
    if constexpr (Sink::kWrites) {
      write_varints_by(s, v.size(), [x](size_t begin, size_t end, uint8_t* out) {
        return avx512::write_varints(x, begin, end, out);
      });
    } else {
      s.skip(avx512::varints_size(x, v.size()));
    }
    return;
  }
#endif
  write_varints<VarintShape::SmallRuns>(s, v.size(), [x](size_t i) { return varint_value(x[i]); });
}

// Reads an integer column: the count, then the elements in bulk (wire/varint_seq.h). Results
// and errors are those of reading the elements one by one.
inline Decoded<void> read_integer_seq(Reader& r, uint64_t n, Vec<int64_t>& out) {
  return read_i64_seq(r, n, out);
}
inline Decoded<void> read_integer_seq(Reader& r, uint64_t n, Vec<int32_t>& out) {
  return read_i32_seq(r, n, out);
}
inline Decoded<void> read_integer_seq(Reader& r, uint64_t n, Vec<uint32_t>& out) {
  return read_u32_seq(r, n, out);
}
inline Decoded<void> read_integer_seq(Reader& r, uint64_t n, Vec<uint64_t>& out) {
  return read_u64_seq(r, n, out);
}

template <class T>
Decoded<Vec<T>> decode_integer_column(Reader& r) {
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
  Vec<T> out;
  KVT_RETURN_IF_ERROR(read_integer_seq(r, count, out));
  return out;
}

}  // namespace kvt
