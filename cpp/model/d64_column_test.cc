#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/d64.h"

namespace kvt {
namespace {

// Doubles that reach every branch of from_f64: zeros of both signs, fractions that truncate to
// zero, values near 2^56 and 2^63 after scaling, infinities, NaNs with payloads and random bit
// patterns of every exponent.
std::vector<double> probe_doubles() {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<double> v = {0.0,
                           -0.0,
                           0.5,
                           -0.5,
                           1.0,
                           -1.0,
                           0.1,
                           -0.0001,
                           123.4567,
                           -98765.4321,
                           72057594037927935.0,
                           72057594037927936.0,
                           -72057594037927936.0,
                           9223372036854775807.0,
                           -9223372036854775808.0,
                           1e300,
                           -1e300,
                           kInf,
                           -kInf,
                           std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN(),
                           std::bit_cast<double>(uint64_t{0x7FF0000000000001}),
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::lowest()};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) v.push_back(std::bit_cast<double>(rng()));
  // Values whose scaled product lands close to 2^56 and to integers, for every scale.
  for (int s = 0; s <= 15; ++s) {
    const double edge = 72057594037927936.0 / std::pow(10.0, s);
    for (double f : {0.999999, 0.9999999999, 1.0, 1.0000000001}) {
      v.push_back(edge * f);
      v.push_back(-edge * f);
    }
  }
  std::uniform_real_distribution<double> small(-1e6, 1e6);
  for (int i = 0; i < 20000; ++i) v.push_back(std::round(small(rng) * 1e4) / 1e4);
  return v;
}

class D64ColumnTest : public ::testing::TestWithParam<size_t> {};

TEST_P(D64ColumnTest, FromF64ColumnMatchesElementFunction) {
  const size_t scale = GetParam();
  const std::vector<double> x = probe_doubles();
  std::vector<D64> out(x.size(), D64{0xDEADBEEF});
  from_f64_column(x, scale, out.data());
  for (size_t i = 0; i < x.size(); ++i) {
    ASSERT_EQ(out[i].bits, from_f64(x[i], scale).bits)
        << "x bits " << std::hex << std::bit_cast<uint64_t>(x[i]) << " scale " << std::dec << scale;
  }
}

TEST_P(D64ColumnTest, FromF32ColumnMatchesElementFunction) {
  const size_t scale = GetParam();
  std::vector<float> x;
  for (double d : probe_doubles()) x.push_back(static_cast<float>(d));
  std::mt19937 rng(11);
  for (int i = 0; i < 5000; ++i) x.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
  std::vector<D64> out(x.size());
  from_f32_column(x, scale, out.data());
  for (size_t i = 0; i < x.size(); ++i) {
    ASSERT_EQ(out[i].bits, from_f64(static_cast<double>(x[i]), scale).bits)
        << "x bits " << std::hex << std::bit_cast<uint32_t>(x[i]) << " scale " << std::dec << scale;
  }
}

// Scales 16 and 17 are beyond the decimal range: every element becomes NaN.
INSTANTIATE_TEST_SUITE_P(AllScales, D64ColumnTest, ::testing::Range<size_t>(0, 18));

TEST(D64Column, ToF64ColumnMatchesElementFunctionBitForBit) {
  std::vector<D64> d;
  for (uint64_t scale = 0; scale < 16; ++scale) {
    for (uint64_t flags = 0; flags < 16; ++flags) {
      for (uint64_t mag : {uint64_t{0}, uint64_t{1}, uint64_t{12345}, kD64MagnitudeLimit - 1}) {
        d.push_back(D64{(mag << 8) | (scale << 4) | flags});
      }
    }
  }
  std::mt19937_64 rng(3);
  for (int i = 0; i < 50000; ++i) d.push_back(D64{rng()});
  for (int i = 0; i < 50000; ++i) {
    d.push_back(D64::from_mantissa(static_cast<int64_t>(rng() % 2000000001) - 1000000000,
                                   static_cast<uint32_t>(rng() % 16)));
  }
  std::vector<double> out(d.size());
  to_f64_column(d, out.data());
  for (size_t i = 0; i < d.size(); ++i) {
    ASSERT_EQ(std::bit_cast<uint64_t>(out[i]), std::bit_cast<uint64_t>(to_f64(d[i])))
        << "bits " << std::hex << d[i].bits;
  }
}

// The vector kernels of each level this CPU runs against their scalar twins at every tail
// length: the same bits, and nothing written past the last element.
struct Twins {
  KernelLevel level;
  void (*to_d64)(const double*, size_t, double, uint64_t, D64*);
  void (*to_f64)(const D64*, size_t, double*);
};

class D64Kernels : public ::testing::TestWithParam<Twins> {};

TEST_P(D64Kernels, MatchScalarAtEveryLength) {
  const Twins k = GetParam();
  if (cpu_kernel_level() < k.level) GTEST_SKIP() << "this CPU does not run the level";
  const std::vector<double> x = probe_doubles();
  std::mt19937_64 rng(9);
  for (size_t n = 0; n <= 40; ++n) {
    for (size_t scale = 0; scale <= 15; ++scale) {
      const size_t at = rng() % (x.size() - n);
      std::vector<D64> want(n + 9, D64{0xABCD}), got(n + 9, D64{0xABCD});
      scalar::scaled_to_d64(x.data() + at, n, std::pow(10.0, double(scale)), scale << 4,
                            want.data());
      k.to_d64(x.data() + at, n, std::pow(10.0, double(scale)), scale << 4, got.data());
      for (size_t i = 0; i < n + 9; ++i) ASSERT_EQ(got[i].bits, want[i].bits) << n << " " << i;
      // Back, from those and from random bits (every scale and flag, mantissas of every size).
      std::vector<D64> d(want.begin(), want.begin() + static_cast<long>(n));
      for (size_t i = 0; i < n; ++i) {
        if (rng() % 2) d[i] = D64{rng() >> (rng() % 64)};
      }
      std::vector<double> back_want(n + 9, 7.0), back_got(n + 9, 7.0);
      scalar::d64_to_f64(d.data(), n, back_want.data());
      k.to_f64(d.data(), n, back_got.data());
      for (size_t i = 0; i < n + 9; ++i) {
        ASSERT_EQ(std::bit_cast<uint64_t>(back_got[i]), std::bit_cast<uint64_t>(back_want[i]))
            << std::hex << d[i].bits;
      }
    }
  }
}

// Whole columns: every probe at every scale, and mantissas whose conversion rounds (above 2^53,
// halfway cases both ways), negative zero, every flag.
TEST_P(D64Kernels, MatchScalarOnWholeColumns) {
  const Twins k = GetParam();
  if (cpu_kernel_level() < k.level) GTEST_SKIP() << "this CPU does not run the level";
  const std::vector<double> x = probe_doubles();
  std::vector<D64> d;
  for (size_t scale = 0; scale <= 15; ++scale) {
    std::vector<D64> want(x.size()), got(x.size());
    scalar::scaled_to_d64(x.data(), x.size(), std::pow(10.0, double(scale)), scale << 4,
                          want.data());
    k.to_d64(x.data(), x.size(), std::pow(10.0, double(scale)), scale << 4, got.data());
    for (size_t i = 0; i < x.size(); ++i) {
      ASSERT_EQ(got[i].bits, want[i].bits) << "x bits " << std::hex << std::bit_cast<uint64_t>(x[i])
                                           << " scale " << std::dec << scale;
    }
    d.insert(d.end(), want.begin(), want.begin() + 1000);
  }
  std::mt19937_64 rng(13);
  for (uint64_t flags = 0; flags < 16; ++flags) {
    for (uint64_t scale = 0; scale < 16; ++scale) {
      d.push_back(D64{(scale << 4) | flags});  // zero magnitude, negative or not
      for (int i = 0; i < 64; ++i) {
        // Above 2^53 the conversion rounds: ties (low bits 100.., 0100..), and either side.
        const uint64_t top = kD64MagnitudeLimit - 1;
        const uint64_t m = (rng() & top) | (uint64_t{1} << (53 + i % 3));
        const uint64_t tie = (m & ~uint64_t{7}) | (i % 2 ? 4 : 2);
        for (uint64_t mag : {m & top, tie & top, (tie + 1) & top, (tie - 1) & top}) {
          d.push_back(D64{(mag << 8) | (scale << 4) | flags});
        }
      }
    }
  }
  for (int i = 0; i < 100000; ++i) d.push_back(D64{rng()});
  std::vector<double> want(d.size()), got(d.size());
  scalar::d64_to_f64(d.data(), d.size(), want.data());
  k.to_f64(d.data(), d.size(), got.data());
  for (size_t i = 0; i < d.size(); ++i) {
    ASSERT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(want[i]))
        << "bits " << std::hex << d[i].bits;
  }
}

#if KVT_SIMD_AVX2
INSTANTIATE_TEST_SUITE_P(
    Levels, D64Kernels,
    ::testing::Values(Twins{KernelLevel::Avx2, avx2::scaled_to_d64, avx2::d64_to_f64},
                      Twins{KernelLevel::Avx512, avx512::scaled_to_d64, avx512::d64_to_f64}),
    [](const auto& info) { return std::string(kernel_level_name(info.param.level)); });
#else
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(D64Kernels);
#endif

TEST(D64Column, EmptyColumnsWriteNothing) {
  D64 sentinel{0x1234};
  double other = 5.0;
  from_f64_column({}, 4, &sentinel);
  from_f32_column({}, 4, &sentinel);
  to_f64_column({}, &other);
  EXPECT_EQ(sentinel.bits, 0x1234u);
  EXPECT_EQ(other, 5.0);
}

// Vec<D64> skips zero-filling on resize, but filled construction and value-initialising
// construction still give the values asked for.
TEST(D64Column, VecFillAndBracesStillInitialise) {
  const Vec<D64> filled(100, D64::from_parts(4, 1, false));
  for (const D64& d : filled) EXPECT_EQ(d, D64::from_parts(4, 1, false));
  Vec<D64> grown;
  grown.push_back(D64{});
  grown.insert(grown.end(), 3, D64::nan());
  ASSERT_EQ(grown.size(), 4u);
  EXPECT_EQ(grown[0].bits, 0u);
  EXPECT_EQ(grown[3], D64::nan());
}

}  // namespace
}  // namespace kvt
