// Bool columns: a u64 count, then one byte per element, 00 or 01.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"

namespace kvt {

// dst[i] = src[i] != 0 for i < n, eight bytes a step.
void normalize_bools(const uint8_t* src, uint8_t* dst, size_t n);

// Writes (or counts) the column. A caller's buffer may hold any nonzero byte for true; the frame
// only ever gets 00 or 01. Cannot fail.
template <class Sink>
void encode_bool_column(Sink& s, std::span<const uint8_t> v) {
  write_count(s, v.size());
  if constexpr (Sink::kWrites) {
    for (size_t i = 0; i < v.size(); i += kPieceBytes) {
      const size_t end = std::min(v.size(), i + kPieceBytes);
      normalize_bools(v.data() + i, s.reserve(end - i), end - i);
      piece_written(s);
    }
  } else {
    s.skip(v.size());
  }
}

// Reads the column. Fails with InvalidBoolValue at the first byte above 01 among the bytes the
// input holds, else with UnexpectedEnd when elements are missing.
Decoded<Vec<uint8_t>> decode_bool_column(Reader& r);

}  // namespace kvt
