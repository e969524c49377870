// String and Bytes columns: a u64 count, then each element as a u64 length and its bytes. String
// elements are UTF-8; Bytes elements are any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "columns/varint_column.h"
#include "model/strings.h"
#include "wire/encode.h"
#include "wire/reader.h"

namespace kvt {

// Copies n bytes; short elements (the common case in text columns) move as at most two pairs of
// overlapping word loads and stores instead of a library call each.
inline void copy_element(char* dst, const char* src, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n > 0 && n < 4) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  } else if (n > 16) {
    std::memcpy(dst, src, n);
  }
}

// Writes (or counts) a String or Bytes column. Cannot fail.
template <class Sink>
void encode_strings_column(Sink& s, const StringsRef& v) {
  write_count(s, v.size());
  for (const StringsPiece& piece : v.pieces()) {
    const size_t n = piece.size();
    if (n == 0) continue;
    const uint64_t* const offsets = piece.offsets.data();
    if constexpr (Sink::kWrites) {
      constexpr size_t kPiece = 1024;
      const char* const bytes = piece.bytes;
      for (size_t i = 0; i < n; i += kPiece) {
        const size_t end = std::min(n, i + kPiece);
        uint8_t* const start = s.position();
        uint8_t* p = start;
        for (size_t j = i; j < end; ++j) {
          const uint64_t len = offsets[j + 1] - offsets[j];
          if (len <= 250) {
            *p++ = static_cast<uint8_t>(len);  // a one-byte varint
          } else {
            p += encode_varint(len, p);
          }
          copy_element(reinterpret_cast<char*>(p), bytes + offsets[j], len);
          p += len;
        }
        s.advance(static_cast<size_t>(p - start));
        piece_written(s);
      }
    } else {
      // Lengths' varints, summed without a branch (vectorizes), plus every element's bytes.
      size_t bytes = offsets[n] - offsets[0];
      for (size_t i = 0; i < n; ++i) bytes += varint_size_flat(offsets[i + 1] - offsets[i]);
      s.skip(bytes);
    }
  }
}

// Reads a String (validate = true) or Bytes column. Results and errors are those of reading the
// elements one by one; with validate, a String element that is not UTF-8 fails with Utf8
// (offsets relative to that element). The arena and offsets are sized once, never beyond what
// the input holds.
Decoded<StringColumn> read_strings_column(Reader& r, bool validate);

// ---- conversions ----

// Fills the arena of col, whose offsets are already laid out (offsets[i + 1] - offsets[i] bytes
// for element i), from views[i]: each element is copied once, the arena sized once.
void fill_strings(StringColumn& col, std::span<const char* const> views);

}  // namespace kvt
