#include "columns/decimal_column.h"

#include <algorithm>

#include "columns/compact_column.h"
#include "model/result.h"
#include "wire/varint_seq.h"

namespace kvt {

namespace {

// Elements per bulk read of a decimal difference stream: small enough to stay in cache while
// the differences are turned into D64 values.
constexpr uint64_t kDecimalChunk = 4096;

}  // namespace

Decoded<Vec<D64>> decode_decimal_column(Reader& r) {
  Vec<D64> out;
  uint64_t n = 0;
  int64_t scale = 0;
  KVT_ASSIGN_OR_RETURN(const bool any, read_column_head(r, &n, &scale));
  if (!any) return out;

  // Every element takes at least one byte.
  out.reserve(std::min<uint64_t>(n, r.remaining()));
  const bool scale_fits = scale >= 0 && scale <= static_cast<int64_t>(kD64MaxScale);
  const auto s = static_cast<uint32_t>(scale_fits ? scale : 0);
  Vec<int64_t> diffs;
  uint64_t acc = 0;
  while (n > 0) {
    const uint64_t chunk = std::min(n, kDecimalChunk);
    diffs.clear();
    KVT_RETURN_IF_ERROR(read_i64_seq(r, chunk, diffs));
    const size_t base = out.size();
    out.resize(base + diffs.size());
    D64* dst = out.data() + base;
    for (size_t i = 0; i < diffs.size(); ++i) {
      acc += static_cast<uint64_t>(diffs[i]);
      const auto m = static_cast<int64_t>(acc);
      const uint64_t mag = uabs(m);
      dst[i] =
          (scale_fits && mag < kD64MagnitudeLimit) ? D64::from_parts(mag, s, m < 0) : D64::nan();
    }
    n -= chunk;
  }
  return out;
}

D64 decimal_from_text(std::optional<std::string_view> text, uint32_t scale) {
  D64 d = D64::nan();
  if (text) {
    if (auto parsed = from_str(*text)) d = *parsed;
  }
  set_decimal(d, scale);
  return d;
}

Vec<double> decimals_to_f64(Vec<D64>&& column) {
  Vec<double> out;
  Vec<D64> local = std::move(column);
  out.resize(local.size());
  to_f64_column(local, out.data());
  return out;
}

}  // namespace kvt
