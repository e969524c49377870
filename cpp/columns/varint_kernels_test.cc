// The varint stream kernels of every level this machine runs against one varint at a time: the
// same bytes and sizes for integer columns of every element type, datetime quotients and decimal
// mantissa differences, at every tail length, with widths mixed at random.
#include "columns/varint_kernels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "columns/datetime_column.h"
#include "wire/encode.h"

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes one_by_one(const std::vector<uint64_t>& values) {
  Bytes out(values.size() * 9);
  size_t n = 0;
  for (uint64_t v : values) n += encode_varint(v, out.data() + n);
  out.resize(n);
  return out;
}

// A value of a random width class, biased to the edges of each class.
uint64_t mixed(std::mt19937_64& rng) {
  static constexpr uint64_t kEdges[] = {0, 250, 251, 0xFFFF, 0x10000, 0xFFFFFFFF, 0x100000000};
  const uint64_t r = rng();
  switch (r % 4) {
    case 0:
      return kEdges[(r >> 8) % std::size(kEdges)] + (r >> 40) % 3;
    case 1:
      return rng() >> (r >> 8) % 64;
    default:
      return (r >> 8) % 1000;
  }
}

// Bytes of the kernel for [begin, end), with a guard after them that must stay untouched.
template <class F>
Bytes kernel_bytes(size_t expect, F write) {
  Bytes out(expect + 64, 0xAA);
  const size_t n = write(out.data());
  EXPECT_EQ(n, expect);
  for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(out[i], 0xAA) << "stored past the end";
  out.resize(n);
  return out;
}

template <class T>
void check_integers(const VarintKernels& k, std::mt19937_64& rng, size_t n) {
  std::vector<T> x(n);
  for (T& v : x) v = static_cast<T>(mixed(rng) * (rng() & 1 ? 1 : uint64_t(-1)));
  for (size_t begin : {size_t{0}, n / 3, n}) {
    std::vector<uint64_t> want;
    for (size_t i = begin; i < n; ++i) {
      if constexpr (std::is_same_v<T, int64_t>) {
        want.push_back(zigzag64(x[i]));
      } else if constexpr (std::is_same_v<T, int32_t>) {
        want.push_back(zigzag32(x[i]));
      } else {
        want.push_back(x[i]);
      }
    }
    const Bytes b = one_by_one(want);
    EXPECT_EQ(
        kernel_bytes(b.size(),
                     [&](uint8_t* out) { return k.integers<T>().write(x.data(), begin, n, out); }),
        b);
    if (begin == 0) {
      EXPECT_EQ(k.integers<T>().size(x.data(), n), b.size());
    }
  }
}

class VarintKernelsAt : public testing::TestWithParam<KernelLevel> {};

TEST_P(VarintKernelsAt, MatchOneVarintAtATime) {
  if (GetParam() > cpu_kernel_level()) GTEST_SKIP() << "this CPU does not run the level";
  const VarintKernels& k = varint_kernels(GetParam());
  std::mt19937_64 rng(7);
  for (size_t n = 0; n <= 70; ++n) {
    for (int round = 0; round < 20; ++round) {
      check_integers<int64_t>(k, rng, n);
      check_integers<int32_t>(k, rng, n);
      check_integers<uint32_t>(k, rng, n);
      check_integers<uint64_t>(k, rng, n);

      // Datetime streams: values that the unit divides, differences of every width.
      for (const int64_t unit : {int64_t{1}, int64_t{-1}, int64_t{1000}, int64_t{-7}}) {
        std::vector<int64_t> v(n);
        // Differences of up to 2^50 units keep every quotient exact (no wrap-around).
        uint64_t acc = rng() % (uint64_t{1} << 40);
        for (int64_t& t : v) {
          acc += (mixed(rng) % (uint64_t{1} << 50)) * (rng() & 1 ? 1 : uint64_t(-1));
          t = static_cast<int64_t>(acc * static_cast<uint64_t>(unit));
        }
        const ExactDivider div(unit);
        for (size_t begin : {size_t{0}, n / 2}) {
          std::vector<uint64_t> want;
          for (size_t i = begin; i < n; ++i) {
            const uint64_t prev = i == 0 ? 0 : static_cast<uint64_t>(v[i - 1]);
            int64_t q = 0;
            ASSERT_TRUE(div.divide(static_cast<int64_t>(static_cast<uint64_t>(v[i]) - prev), q));
            want.push_back(zigzag64(q));
          }
          const Bytes b = one_by_one(want);
          EXPECT_EQ(kernel_bytes(b.size(),
                                 [&](uint8_t* out) {
                                   return k.write_quotients(v.data(), begin, n, div, out);
                                 }),
                    b);
          if (begin == 0) {
            EXPECT_EQ(k.quotient_size(v.data(), n, div), b.size());
            EXPECT_EQ(k.quotient_size(v.data(), n, div), scalar::quotient_size(v.data(), n, div));
          }
        }
        // One value off the unit makes the sizer give 0, wherever it stands.
        if (n > 0 && unit != 1 && unit != -1) {
          const size_t at = rng() % n;
          v[at] += 1;
          EXPECT_EQ(k.quotient_size(v.data(), n, div), 0u) << "n " << n << " at " << at;
        }
      }

      // Decimal streams: mantissas of every sign and width, NaN and infinite flags set at times.
      std::vector<D64> d(n);
      for (D64& x : d) {
        x = D64{((mixed(rng) & ((uint64_t{1} << 56) - 1)) << 8) | (rng() & 0xF7)};
      }
      for (size_t begin : {size_t{0}, n / 2}) {
        std::vector<uint64_t> want;
        for (size_t i = begin; i < n; ++i) {
          const auto m = static_cast<uint64_t>(d[i].mantissa());
          const auto prev = i == 0 ? uint64_t{0} : static_cast<uint64_t>(d[i - 1].mantissa());
          want.push_back(zigzag64(static_cast<int64_t>(m - prev)));
        }
        const Bytes b = one_by_one(want);
        EXPECT_EQ(kernel_bytes(b.size(),
                               [&](uint8_t* out) {
                                 return k.write_mantissa_deltas(d.data(), begin, n, out);
                               }),
                  b);
        if (begin == 0) {
          EXPECT_EQ(k.mantissa_delta_size(d.data(), n), b.size());
        }
      }
    }
  }
}

// Long datetime streams: one value off the unit, on either side of the blocks a sizer may stop
// after, makes every level's sizer give 0; the same stream untouched sizes as one by one.
TEST_P(VarintKernelsAt, QuotientSizersStopAtAFailureAnywhere) {
  const VarintKernels& k = varint_kernels(GetParam());
  const ExactDivider div(1000);
  std::vector<int64_t> v(10'000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int64_t>(i * i % 977) * 1000;
  const size_t whole = scalar::quotient_size(v.data(), v.size(), div);
  ASSERT_GT(whole, 0u);
  EXPECT_EQ(k.quotient_size(v.data(), v.size(), div), whole);
  for (size_t at : {size_t{0}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{8191}, size_t{8192},
                    size_t{9999}}) {
    v[at] += 1;
    EXPECT_EQ(k.quotient_size(v.data(), v.size(), div), 0u) << at;
    v[at] -= 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, VarintKernelsAt,
                         testing::Values(KernelLevel::Scalar, KernelLevel::Avx2,
                                         KernelLevel::Avx512),
                         [](const testing::TestParamInfo<KernelLevel>& info) {
                           return std::string(kernel_level_name(info.param));
                         });

}  // namespace
}  // namespace kvt
