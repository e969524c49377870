// Integer columns (Int64, Int32, UInt32, UInt64) and the one bulk varint writer that every
// varint stream of a frame goes through (integer columns, DateTime and Decimal differences).
//
// An integer column is a u64 count, then each element as a varint: signed kinds zigzag-mapped.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "columns/varint_kernels.h"
#include "model/result.h"
#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"
#include "wire/varint_form.h"
#include "wire/varint_seq.h"

namespace kvt {

// Bytes a varint takes beyond 1 + 2 [v > 250], by the bit width of v: 2 more above 16 bits, 6
// more above 32.
inline constexpr std::array<uint8_t, 65> kVarintWideBytes = [] {
  std::array<uint8_t, 65> t{};
  for (size_t w = 0; w <= 64; ++w) t[w] = w > 32 ? 6 : w > 16 ? 2 : 0;
  return t;
}();

// varint_size without branches. Written plainly, the compiler makes a branch of each test, as it
// sees that one implies the next, and the branches mispredict where widths mix; the empty asm
// hides the first test's result from it.
constexpr size_t varint_size_flat(uint64_t v) {
  size_t above_250 = v > kVarintOneByteMax;
  if !consteval {
    asm("" : "+r"(above_250));
  }
  return 1 + 2 * above_250 + kVarintWideBytes[std::bit_width(v)];
}

// Elements per piece of a varint stream: at most 9 bytes each, so a piece stays within 64 KiB; a
// whole number of 16-element runs.
inline constexpr size_t kVarintPiece = kPieceBytes / 9 / 16 * 16;

// Writes n varints through a kernel of columns/varint_kernels.h, in pieces whose bytes stay
// within 64 KiB, each ended by piece_written(), so that a checksumming sink takes each piece in
// while it is cached: kernel(begin, end, out) stores the varints of elements [begin, end) at out
// and returns their byte count. The one bulk varint writer of the frame code.
template <class Sink, class Kernel>
void write_varints_by(Sink& s, size_t n, Kernel kernel) {
  for (size_t i = 0; i < n; i += kVarintPiece) {
    const size_t end = std::min(n, i + kVarintPiece);
    s.advance(kernel(i, end, s.position()));
    piece_written(s);
  }
}

// Writes a varint stream of n elements through write_varints_by(s, n, kernel), or counts it as
// size() bytes: the one place where writing and sizing of a varint stream part.
template <class Sink, class Kernel, class Size>
void encode_varints(Sink& s, size_t n, Kernel kernel, Size size) {
  if constexpr (Sink::kWrites) {
    write_varints_by(s, n, kernel);
  } else {
    s.skip(size());
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
  const IntegerVarintKernels<T>& k = varint_kernels().integers<T>();
  const T* x = v.data();
  encode_varints(
      s, v.size(),
      [&k, x](size_t begin, size_t end, uint8_t* out) { return k.write(x, begin, end, out); },
      [&] { return k.size(x, v.size()); });
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
