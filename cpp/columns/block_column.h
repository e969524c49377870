// Float64 and Float32 columns: a u64 count, then the elements' memory as one block (binary64 and
// binary32 little-endian equal memory on every target this builds for; every bit pattern kept).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "model/result.h"
#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"

namespace kvt {

// Writes (or counts) the column; writing goes in 64 KiB pieces (see piece_written). Cannot fail.
template <class Sink, class T>
void encode_block_column(Sink& s, std::span<const T> v) {
  write_count(s, v.size());
  if constexpr (Sink::kWrites) {
    const auto* src = reinterpret_cast<const uint8_t*>(v.data());
    for (size_t done = 0, n = v.size_bytes(); done < n;) {
      const size_t len = std::min(kPieceBytes, n - done);
      s.put(src + done, len);
      piece_written(s);
      done += len;
    }
  } else {
    s.skip(v.size_bytes());
  }
}

// Reads the column: the elements that are whole in the input are copied as one block; the first
// missing one fails exactly as reading it alone would.
template <class T>
Decoded<Vec<T>> decode_block_column(Reader& r) {
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
  const uint64_t k = std::min<uint64_t>(count, r.remaining() / sizeof(T));
  Vec<T> out(k);
  const size_t n = k * sizeof(T);
  const uint8_t* src = *r.take(n);
  if (n) std::memcpy(out.data(), src, n);
  if (k < count) return std::unexpected(r.take(sizeof(T)).error());
  return out;
}

}  // namespace kvt
