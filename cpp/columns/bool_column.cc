#include "columns/bool_column.h"

#include <algorithm>
#include <cstring>

#include "model/result.h"

namespace kvt {

namespace {

constexpr uint64_t kLowBits = 0x0101010101010101;  // bit 0 of every byte

uint64_t load8(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

}  // namespace

void normalize_bools(const uint8_t* src, uint8_t* dst, size_t n) {
  constexpr uint64_t kLow7 = kLowBits * 0x7F;
  size_t i = 0;
  for (; n - i >= 8; i += 8) {
    const uint64_t w = load8(src + i);
    // Bit 7 of each byte: set when the byte is nonzero (its low seven bits plus 0x7F carry into
    // bit 7 and never out of the byte).
    const uint64_t nonzero = ((w & kLow7) + kLow7) | w;
    const uint64_t bits = (nonzero >> 7) & kLowBits;
    std::memcpy(dst + i, &bits, 8);
  }
  for (; i < n; ++i) dst[i] = src[i] != 0;
}

Decoded<Vec<uint8_t>> decode_bool_column(Reader& r) {
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
  const uint64_t k = std::min<uint64_t>(count, r.remaining());
  const uint8_t* src = *r.take(k);
  // The bytes are copied and checked in one pass, eight at a time: a byte above 01 has a bit
  // outside bit 0. The copy is at most the input's size, and is dropped on failure.
  Vec<uint8_t> out(k);
  uint64_t bad = 0;
  size_t i = 0;
  for (; k - i >= 8; i += 8) {
    const uint64_t w = load8(src + i);
    bad |= w;
    std::memcpy(out.data() + i, &w, 8);
  }
  for (; i < k; ++i) {
    bad |= src[i];
    out.data()[i] = src[i];
  }
  if (bad & ~kLowBits) {
    const uint8_t* b = std::find_if(src, src + k, [](uint8_t x) { return x > 1; });
    return std::unexpected(DecodeError::invalid_boolean_value(*b));
  }
  if (k < count) return std::unexpected(DecodeError::unexpected_end(1));
  return out;
}

}  // namespace kvt
