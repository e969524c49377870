#include "columns/datetime_column.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <numeric>

#include "columns/compact_column.h"
#include "model/cpu.h"
#include "model/result.h"
#include "wire/varint_seq.h"

namespace kvt {

namespace {

size_t datetime_quotient_size(std::span<const int64_t> v, int64_t unit) {
  return varint_kernels().quotient_size(v.data(), v.size(), ExactDivider(unit));
}

}  // namespace

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

Decoded<Vec<int64_t>> decode_datetime_column(Reader& r) {
  Vec<int64_t> out;
  uint64_t n = 0;
  int64_t unit = 0;
  KVT_ASSIGN_OR_RETURN(const bool any, read_column_head(r, &n, &unit));
  if (!any) return out;
  KVT_RETURN_IF_ERROR(read_i64_seq(r, n, out));
  const auto u = static_cast<uint64_t>(unit);
  uint64_t acc = 0;
  for (int64_t& x : out) {
    acc += static_cast<uint64_t>(x);
    x = static_cast<int64_t>(u * acc);
  }
  return out;
}

// ---- conversions ----

bool widen_datetime(const int64_t* src, int64_t* dst, size_t n, int64_t factor) {
#if KVT_SIMD_AVX512
  if (kernel_level() >= KernelLevel::Avx512) return avx512::widen_datetime(src, dst, n, factor);
#endif
#if KVT_SIMD_AVX2
  if (kernel_level() == KernelLevel::Avx2) return avx2::widen_datetime(src, dst, n, factor);
#endif
  return scalar::widen_datetime(src, dst, n, factor);
}

void narrow_datetime_ns(const int64_t* src, int64_t* dst, size_t n) {
#if KVT_SIMD_AVX512
  if (kernel_level() >= KernelLevel::Avx512) return avx512::narrow_datetime_ns(src, dst, n);
#endif
#if KVT_SIMD_AVX2
  if (kernel_level() == KernelLevel::Avx2) return avx2::narrow_datetime_ns(src, dst, n);
#endif
  scalar::narrow_datetime_ns(src, dst, n);
}

void shift_timestamps(std::span<int64_t> values, int64_t offset_us) {
  if (offset_us == 0) return;
  const auto off = static_cast<uint64_t>(offset_us);
  // x + offset, or x itself when x is NaT, as pure arithmetic: y = x ^ NaT is zero exactly for
  // NaT, and (y | -y) has its top bit set exactly when y is not zero. Only SSE2 operations are
  // needed, so the baseline x86-64 build vectorises it.
  const auto shifted = [off](uint64_t x) {
    const uint64_t y = x ^ (uint64_t{1} << 63);
    const uint64_t keep = uint64_t{0} - ((y | (uint64_t{0} - y)) >> 63);
    return x + (off & keep);
  };
  int64_t* p = values.data();
  const size_t n = values.size();
  // Fixed-length blocks give the vectoriser a known trip count; the tail is at most 15 values.
  constexpr size_t kBlock = 16;
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    for (size_t j = 0; j < kBlock; ++j) {
      p[i + j] = static_cast<int64_t>(shifted(static_cast<uint64_t>(p[i + j])));
    }
  }
  for (; i < n; ++i) p[i] = static_cast<int64_t>(shifted(static_cast<uint64_t>(p[i])));
}

bool to_microseconds(TimeUnit unit, const int64_t* src, int64_t* dst, size_t n) {
  switch (unit) {
    case TimeUnit::S:
      return widen_datetime(src, dst, n, 1000000);
    case TimeUnit::Ms:
      return widen_datetime(src, dst, n, 1000);
    case TimeUnit::Us:
      if (n != 0 && dst != src) std::memmove(dst, src, n * sizeof(int64_t));
      return true;
    case TimeUnit::Ns:
      break;
  }
  narrow_datetime_ns(src, dst, n);
  return true;
}

}  // namespace kvt
