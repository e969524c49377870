// The datetime kernels' twins at every level this CPU runs against the scalar kernels: every
// tail length, in place and out of place, boundary values and random ones.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "columns/datetime_column.h"
#include "columns/varint_kernels.h"
#include "model/cpu.h"

namespace kvt {
namespace {

#if KVT_SIMD_AVX2

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// Values that sit on the edges of the conversions: around multiples of 1000 and of the widening
// factors' limits, the ends of the range, NaT, and random ones of every magnitude.
std::vector<int64_t> edge_values(std::mt19937_64& rng, size_t n) {
  const int64_t seeds[] = {0,
                           1,
                           -1,
                           999,
                           -999,
                           1000,
                           -1000,
                           1001,
                           -1001,
                           kMax,
                           kMax - 1,
                           kNaT + 1,
                           kNaT,
                           kMax / 1000,
                           kMax / 1000000,
                           kNaT / 1000,
                           kNaT / 1000000,
                           9007199254740993000,
                           -9007199254740993001};
  std::vector<int64_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t pick = rng();
    switch (pick % 4) {
      case 0:
        // Wrapping: the edges of the range step over to the other end.
        v[i] = static_cast<int64_t>(static_cast<uint64_t>(seeds[(pick >> 8) % std::size(seeds)]) +
                                    (pick >> 40) % 5 - 2);
        break;
      case 1:
        v[i] = static_cast<int64_t>(rng() >> (pick >> 8) % 64);  // every magnitude
        if (pick & (1u << 20))
          v[i] = static_cast<int64_t>(uint64_t{0} - static_cast<uint64_t>(v[i]));
        break;
      case 2:
        v[i] = static_cast<int64_t>(rng() % 2000000) * 1000 - 1000000000;  // whole units
        break;
      default:
        v[i] = static_cast<int64_t>(rng());
    }
  }
  return v;
}

struct Twins {
  KernelLevel level;
  void (*narrow)(const int64_t*, int64_t*, size_t);
  bool (*widen)(const int64_t*, int64_t*, size_t, int64_t);
};

class DatetimeKernels : public ::testing::TestWithParam<Twins> {};

TEST_P(DatetimeKernels, TwinsMatchTheScalarKernels) {
  const Twins k = GetParam();
  if (cpu_kernel_level() < k.level) GTEST_SKIP() << "this CPU does not run the level";
  std::mt19937_64 rng(20261209);
  for (size_t n = 0; n <= 40; ++n) {
    for (int round = 0; round < 50; ++round) {
      const std::vector<int64_t> v = edge_values(rng, n + 3);
      const int64_t* src = v.data() + round % 3;  // unaligned starts too
      std::vector<int64_t> want(n + 8, 7), got(n + 8, 7);
      scalar::narrow_datetime_ns(src, want.data(), n);
      k.narrow(src, got.data(), n);
      ASSERT_EQ(got, want) << "narrow, n=" << n;  // the 8 past the end untouched
      std::vector<int64_t> in_place(src, src + n);
      k.narrow(in_place.data(), in_place.data(), n);
      ASSERT_EQ(in_place, std::vector<int64_t>(want.begin(), want.begin() + n));
      for (int64_t factor : {1000, 1000000}) {
        std::vector<int64_t> w(n + 8, 7), g(n + 8, 7);
        const bool ok_want = scalar::widen_datetime(src, w.data(), n, factor);
        const bool ok_got = k.widen(src, g.data(), n, factor);
        ASSERT_EQ(ok_got, ok_want) << "widen, n=" << n;
        ASSERT_EQ(g, w) << "widen, n=" << n;
        std::vector<int64_t> same(src, src + n);
        ASSERT_EQ(k.widen(same.data(), same.data(), n, factor), ok_want);
        ASSERT_EQ(same, std::vector<int64_t>(w.begin(), w.begin() + n));
      }
      // One value out of range at each place in turn, among values that widen: the verdict
      // depends on it alone, wherever it falls in the steps and the tail.
      if (n != 0) {
        std::vector<int64_t> fine(n);
        for (size_t i = 0; i < n; ++i) fine[i] = (i % 5 == 0) ? kNaT : src[i] % 1000000000;
        const size_t at = static_cast<size_t>(round) % n;
        for (int64_t bad : {kMax / 1000 + 1, kNaT + 1, kNaT / 1000 - 1, kMax}) {
          fine[at] = bad;
          std::vector<int64_t> w(n), g(n);
          ASSERT_FALSE(scalar::widen_datetime(fine.data(), w.data(), n, 1000));
          ASSERT_FALSE(k.widen(fine.data(), g.data(), n, 1000)) << "n=" << n << " at " << at;
          ASSERT_EQ(g, w);
        }
      }
      // Quotient sizing: units that divide every difference, and units that do not.
      std::vector<int64_t> t(n);
      int64_t acc = static_cast<int64_t>(rng() % 1000000);
      const int64_t unit = std::array<int64_t, 6>{1, -1, 1000, -7, 1 << 20, kNaT}[rng() % 6];
      for (size_t i = 0; i < n; ++i) {
        acc += static_cast<int64_t>(rng() % 5000) - 2500;
        t[i] = static_cast<int64_t>(static_cast<uint64_t>(acc) * static_cast<uint64_t>(unit));
      }
      if (n != 0 && round % 5 == 0) {  // one inexact quotient, anywhere
        int64_t& x = t[rng() % n];
        x = static_cast<int64_t>(static_cast<uint64_t>(x) + 1);
      }
      const VarintKernels& varints = varint_kernels(k.level);
      for (const int64_t divisor : {unit, int64_t{1}, int64_t{3}}) {
        const ExactDivider div(divisor);
        ASSERT_EQ(varints.quotient_size(t.data(), n, div), scalar::quotient_size(t.data(), n, div))
            << "n=" << n << " unit=" << divisor;
        ASSERT_EQ(varints.quotient_size(src, n, div), scalar::quotient_size(src, n, div));
      }
    }
  }
}

// The extremes one at a time: NaT, the ends of the range and the quotients next to them.
TEST_P(DatetimeKernels, TwinsMatchTheScalarKernelsOnEdges) {
  const Twins k = GetParam();
  if (cpu_kernel_level() < k.level) GTEST_SKIP() << "this CPU does not run the level";
  std::vector<int64_t> v;
  for (int64_t base :
       {int64_t{0}, kMax, kNaT, kMax / 1000 * 1000, kNaT / 1000 * 1000, kMax / 1000, kNaT / 1000,
        kMax / 1000000, kNaT / 1000000, int64_t{1} << 53, int64_t{1} << 60, -(int64_t{1} << 60)}) {
    for (int64_t d = -1001; d <= 1001; ++d) {
      v.push_back(static_cast<int64_t>(static_cast<uint64_t>(base) + static_cast<uint64_t>(d)));
    }
  }
  // And a million values of every magnitude, and next to multiples of 1000, in one call.
  std::mt19937_64 rng(5);
  std::vector<int64_t> many(1 << 20);
  for (int64_t& x : many) {
    const uint64_t r = rng();
    x = static_cast<int64_t>(rng() >> (r % 64));
    if (r & 64) x = static_cast<int64_t>(static_cast<uint64_t>(x) / 1000 * 1000 + (r >> 8) % 3 - 1);
    if (r & 128) x = static_cast<int64_t>(uint64_t{0} - static_cast<uint64_t>(x));
  }
  std::vector<int64_t> many_want(many.size()), many_got(many.size());
  scalar::narrow_datetime_ns(many.data(), many_want.data(), many.size());
  k.narrow(many.data(), many_got.data(), many.size());
  ASSERT_EQ(many_got, many_want);
  for (size_t i = 0; i < v.size(); ++i) {
    std::vector<int64_t> want(4), got(4);
    const int64_t x[4] = {v[i], v[(i * 7) % v.size()], kNaT, v[v.size() - 1 - i]};
    scalar::narrow_datetime_ns(x, want.data(), 4);
    k.narrow(x, got.data(), 4);
    ASSERT_EQ(got, want) << x[0];
    for (int64_t factor : {1000, 1000000}) {
      const bool ok_want = scalar::widen_datetime(x, want.data(), 4, factor);
      ASSERT_EQ(k.widen(x, got.data(), 4, factor), ok_want) << x[0] << " " << factor;
      ASSERT_EQ(got, want);
      for (int64_t y : x) {  // one at a time: each verdict
        int64_t w = 0, g = 0;
        ASSERT_EQ(k.widen(&y, &g, 1, factor), scalar::widen_datetime(&y, &w, 1, factor)) << y;
        std::vector<int64_t> four(4, y), w4(4), g4(4);
        ASSERT_EQ(k.widen(four.data(), g4.data(), 4, factor),
                  scalar::widen_datetime(four.data(), w4.data(), 4, factor))
            << y;
        ASSERT_EQ(g4, w4);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, DatetimeKernels,
    ::testing::Values(Twins{KernelLevel::Avx2, avx2::narrow_datetime_ns, avx2::widen_datetime},
                      Twins{KernelLevel::Avx512, avx512::narrow_datetime_ns,
                            avx512::widen_datetime}),
    [](const auto& info) { return std::string(kernel_level_name(info.param.level)); });

#endif

}  // namespace
}  // namespace kvt
