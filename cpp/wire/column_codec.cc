#include "wire/column_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>
#include <optional>

#include "wire/utf8.h"
#include "wire/varint_seq.h"

namespace kvt {

namespace {

constexpr uint64_t uabs(int64_t x) {
  return x < 0 ? uint64_t{0} - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
}

// Elements per bulk read of a decimal difference stream: small enough to stay in cache while
// the differences are turned into D64 values.
constexpr uint64_t kDecimalChunk = 4096;

// Reads the count varint and, for counts 0 and 1, settles an empty column. Otherwise leaves the
// element count (count - 1) in *n and the header value in *header.
Decoded<bool> read_column_head(Reader& r, uint64_t* n, int64_t* header) {
  auto count = r.read_u64();
  if (!count) return std::unexpected(count.error());
  if (*count == 0) return false;
  auto h = r.read_i64();
  if (!h) return std::unexpected(h.error());
  *n = *count - 1;
  *header = *h;
  return *n != 0;
}

// The encoded size of the quotients of v by unit, or 0 when unit does not divide v(0) and every
// wrapping difference exactly (a real size is never 0).
size_t datetime_quotient_size(std::span<const int64_t> v, int64_t unit) {
  const ExactDivider div(unit);
  uint64_t prev = 0;
  size_t n = 0;
  for (int64_t x : v) {
    const auto d = static_cast<int64_t>(static_cast<uint64_t>(x) - prev);
    prev = static_cast<uint64_t>(x);
    int64_t q;
    if (!div.divide(d, q)) return 0;
    n += varint_size_flat(zigzag64(q));
  }
  return n;
}

// The first ill-formed element of a string column, as its own read would report it.
std::optional<DecodeError> check_utf8(const StringColumn& col) {
  const auto& offs = col.offsets();
  const auto* bytes = reinterpret_cast<const uint8_t*>(col.bytes().data());
  const uint64_t total = offs.back();
  // Fast path: the arena is well-formed and no element boundary falls inside a character, so
  // every element is well-formed. Otherwise find the first bad element one by one (there is one:
  // a concatenation of well-formed strings is well-formed).
  bool whole = !validate_utf8(bytes, total).has_value();
  for (size_t i = 1; whole && i + 1 < offs.size(); ++i) {
    if (offs[i] < total && (bytes[offs[i]] & 0xC0) == 0x80) whole = false;
  }
  if (whole) return std::nullopt;
  for (size_t i = 0; i + 1 < offs.size(); ++i) {
    if (auto e = validate_utf8(bytes + offs[i], offs[i + 1] - offs[i])) {
      return DecodeError::utf8(e->valid_up_to, e->error_len);
    }
  }
  return std::nullopt;
}

}  // namespace

// A first pass over the length prefixes finds how many elements are whole in the input and sizes
// the arena exactly; the second copies them. Elements with a one-byte length take an inline
// path; other forms go through the Reader.
Decoded<StringColumn> read_strings_column(Reader& r, bool validate) {
  auto count = r.read_u64();
  if (!count) return std::unexpected(count.error());
  StringColumn col;
  auto& offs = col.mutable_offsets();
  // Every element takes at least one byte.
  offs.resize(1 + std::min<uint64_t>(*count, r.remaining()));
  Reader scan = r;
  uint64_t total = 0;
  uint64_t whole = 0;
  for (; whole < *count; ++whole) {
    const size_t rem = scan.remaining();
    const uint8_t* p = scan.position();
    if (rem != 0 && p[0] <= 250 && p[0] < rem) {
      total += p[0];
      scan.skip_unchecked(size_t{1} + p[0]);
    } else {
      auto b = scan.read_bytes_view();
      if (!b) break;
      total += b->size();
    }
    offs[whole + 1] = total;
  }
  offs.resize(whole + 1);

  auto& bytes = col.mutable_bytes();
  bytes.resize(total);
  char* dst = bytes.data();
  char* const dst_end = dst + total;
  for (uint64_t i = 0; i < whole; ++i) {
    const size_t len = offs[i + 1] - offs[i];
    const uint8_t* src;
    const uint8_t* p = r.position();
    if (p[0] <= 250) {  // the one-byte form; its bytes were seen by the first pass
      src = p + 1;
      // Short strings are moved as one 16-byte block where both sides have room; the excess
      // lands in the following elements' space, which is written afterwards.
      if (len <= 16 && r.remaining() >= 17 && dst_end - dst >= 16) {
        std::memcpy(dst, src, 16);
        r.skip_unchecked(1 + len);
        dst += len;
        continue;
      }
      r.skip_unchecked(1 + len);
    } else {
      src = reinterpret_cast<const uint8_t*>(r.read_bytes_view()->data());
    }
    if (len) std::memcpy(dst, src, len);
    dst += len;
  }
  if (validate) {
    if (auto e = check_utf8(col)) return std::unexpected(*e);
  }
  if (whole < *count) return std::unexpected(r.read_bytes_view().error());
  return col;
}

Decoded<Vec<D64>> d64_array_bincode_decode(Reader& r) {
  Vec<D64> out;
  uint64_t n = 0;
  int64_t scale = 0;
  auto head = read_column_head(r, &n, &scale);
  if (!head) return std::unexpected(head.error());
  if (!*head) return out;

  // Every element takes at least one byte.
  out.reserve(std::min<uint64_t>(n, r.remaining()));
  const bool scale_fits = scale >= 0 && scale <= static_cast<int64_t>(kD64MaxScale);
  const auto s = static_cast<uint32_t>(scale_fits ? scale : 0);
  Vec<int64_t> diffs;
  uint64_t acc = 0;
  while (n > 0) {
    const uint64_t chunk = std::min(n, kDecimalChunk);
    diffs.clear();
    if (auto ok = read_i64_seq(r, chunk, diffs); !ok) return std::unexpected(ok.error());
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

int64_t datetime_ten_value_unit(std::span<const int64_t> v) {
  if (v.empty()) return 0;
  int64_t g = v[0];
  const size_t k = std::min<size_t>(v.size(), 10);
  for (size_t i = 0; i < k; ++i) {
    const int64_t x = v[i];
    if (g == 0) {
      g = x;
    } else if (x == 0) {
      g = static_cast<int64_t>(uabs(g));
    } else {
      g = static_cast<int64_t>(std::gcd(uabs(g), uabs(x)));
    }
  }
  return g;
}

DatetimePlan plan_datetime_column(std::span<const int64_t> v) {
  if (v.empty()) return {0, 1};
  const size_t head = varint_size(uint64_t{v.size()} + 1);
  auto planned = [&](int64_t unit) -> DatetimePlan {
    const size_t body = datetime_quotient_size(v, unit);
    if (body == 0) return {0, 0};
    return {unit, head + varint_size(zigzag64(unit)) + body};
  };

  if (const int64_t g = datetime_ten_value_unit(v); g != 0) {
    if (auto p = planned(g); p.unit != 0) return p;
  }
  // The gcd of the first value and every difference divides them all by construction;
  // 2^63 comes out as the unit INT64_MIN, whose quotients (0 or 1) do not overflow.
  uint64_t g = 0;
  uint64_t prev = 0;
  for (int64_t x : v) {
    g = std::gcd(g, uabs(static_cast<int64_t>(static_cast<uint64_t>(x) - prev)));
    prev = static_cast<uint64_t>(x);
    if (g == 1) break;
  }
  if (g > 1) {
    if (auto p = planned(static_cast<int64_t>(g)); p.unit != 0) return p;
  }
  return planned(1);  // every quotient is the difference itself
}

ExactDivider::ExactDivider(int64_t unit) {
  assert(unit != 0);
  negative_ = unit < 0;
  const uint64_t a = uabs(unit);
  shift_ = std::countr_zero(a);
  low_mask_ = (uint64_t{1} << shift_) - 1;
  const uint64_t odd = a >> shift_;
  // Newton's iteration for the inverse modulo 2^64: each step doubles the correct low bits,
  // starting from 3 (odd * odd == 1 mod 8).
  uint64_t inv = odd;
  for (int i = 0; i < 5; ++i) inv *= 2 - odd * inv;
  inverse_ = inv;
  // The multiples of odd within int64 are exactly odd * q for q in [lo_, hi_]; multiplying by
  // the inverse maps each multiple to its q and every other value outside that range.
  constexpr uint64_t kTwo63 = uint64_t{1} << 63;
  lo_ = odd == 1 ? INT64_MIN : -static_cast<int64_t>(kTwo63 / odd);
  hi_ = static_cast<int64_t>((kTwo63 - 1) / odd);
}

Decoded<Vec<int64_t>> datetime_array_bincode_decode(Reader& r) {
  Vec<int64_t> out;
  uint64_t n = 0;
  int64_t unit = 0;
  auto head = read_column_head(r, &n, &unit);
  if (!head) return std::unexpected(head.error());
  if (!*head) return out;
  if (auto ok = read_i64_seq(r, n, out); !ok) return std::unexpected(ok.error());
  const auto u = static_cast<uint64_t>(unit);
  uint64_t acc = 0;
  for (int64_t& x : out) {
    acc += static_cast<uint64_t>(x);
    x = static_cast<int64_t>(u * acc);
  }
  return out;
}

}  // namespace kvt
