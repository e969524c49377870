// The datetime kernels' AVX-512 twins against the scalar kernels: every tail length, in place
// and out of place, boundary values and random ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "columns/datetime_column.h"
#include "model/cpu.h"

namespace kvt {
namespace {

#if KVT_SIMD_AVX512

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

TEST(DatetimeKernels, AvxTwinsMatchTheScalarKernels) {
  if (cpu_kernel_level() < kvt::KernelLevel::Avx512) GTEST_SKIP() << "no AVX-512 here: the scalar kernels run";
  std::mt19937_64 rng(20261209);
  for (size_t n = 0; n <= 40; ++n) {
    for (int round = 0; round < 50; ++round) {
      const std::vector<int64_t> v = edge_values(rng, n + 3);
      const int64_t* src = v.data() + round % 3;  // unaligned starts too
      std::vector<int64_t> want(n + 8, 7), got(n + 8, 7);
      scalar::narrow_datetime_ns(src, want.data(), n);
      avx512::narrow_datetime_ns(src, got.data(), n);
      ASSERT_EQ(got, want) << "narrow, n=" << n;  // the 8 past the end untouched
      std::vector<int64_t> in_place(src, src + n);
      avx512::narrow_datetime_ns(in_place.data(), in_place.data(), n);
      ASSERT_EQ(in_place, std::vector<int64_t>(want.begin(), want.begin() + n));
      for (int64_t factor : {1000, 1000000}) {
        std::vector<int64_t> w(n + 8, 7), g(n + 8, 7);
        const bool ok_want = scalar::widen_datetime(src, w.data(), n, factor);
        const bool ok_got = avx512::widen_datetime(src, g.data(), n, factor);
        ASSERT_EQ(ok_got, ok_want);
        ASSERT_EQ(g, w) << "widen, n=" << n;
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
      for (const int64_t divisor : {unit, int64_t{1}, int64_t{3}}) {
        const ExactDivider div(divisor);
        ASSERT_EQ(avx512::quotient_size(t.data(), n, div), scalar::quotient_size(t.data(), n, div))
            << "n=" << n << " unit=" << divisor;
        ASSERT_EQ(avx512::quotient_size(src, n, div), scalar::quotient_size(src, n, div));
      }
    }
  }
}

#endif

}  // namespace
}  // namespace kvt
