#include "columns/bool_column.h"

#include <cstring>

#include "model/result.h"

namespace kvt {

Decoded<Vec<uint8_t>> decode_bool_column(Reader& r) {
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
  const uint64_t k = std::min<uint64_t>(count, r.remaining());
  const uint8_t* src = *r.take(k);
  uint8_t bad = 0;
  for (uint64_t i = 0; i < k; ++i) bad |= src[i] > 1;
  if (bad) {
    const uint8_t* b = std::find_if(src, src + k, [](uint8_t x) { return x > 1; });
    return std::unexpected(DecodeError::invalid_boolean_value(*b));
  }
  if (k < count) return std::unexpected(DecodeError::unexpected_end(1));
  Vec<uint8_t> out(k);
  if (k) std::memcpy(out.data(), src, k);
  return out;
}

}  // namespace kvt
