#include "arrow/values.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

namespace kvt::arrow {
namespace {

// Every binary16 bit pattern against the compiler's own conversion. NaNs keep sign and payload;
// a signaling one stays signaling (the compiler's conversion quiets it: bit 22).
TEST(ArrowValues, HalfToFloatMatchesTheCompilerForEveryPattern) {
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    const auto half = static_cast<uint16_t>(h);
    const auto want = std::bit_cast<uint32_t>(static_cast<float>(std::bit_cast<_Float16>(half)));
    const auto got = std::bit_cast<uint32_t>(half_to_float(half));
    const bool nan = (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0;
    const uint32_t ignored = nan ? 0x00400000u : 0;
    ASSERT_EQ(got & ~ignored, want & ~ignored) << h;
    if (nan) {
      ASSERT_EQ(got & 0x7FFFFFFF, 0x7F800000u | (h & 0x3FFu) << 13) << h;
    }
  }
}

TEST(ArrowValues, DecimalTextIsExact) {
  const __int128 big = static_cast<__int128>(1) << 100;
  const struct {
    __int128 value;
    int scale;
    const char* text;
  } cases[] = {{0, 0, "0"},
               {0, 2, "0.00"},
               {5, 2, "0.05"},
               {-5, 2, "-0.05"},
               {1230, 2, "12.30"},
               {-1230, 2, "-12.30"},
               {7, 0, "7"},
               {123, 3, "0.123"},
               {1, 15, "0.000000000000001"},
               {big, 0, "1267650600228229401496703205376"},
               {-big, 30, "-1.267650600228229401496703205376"}};
  for (const auto& c : cases) EXPECT_EQ(decimal_text(c.value, c.scale), c.text);
  // The most negative value has no positive twin in __int128.
  const __int128 lowest = static_cast<__int128>(static_cast<unsigned __int128>(1) << 127);
  EXPECT_EQ(decimal_text(lowest, 0), "-170141183460469231731687303715884105728");
}

// Decimal arrays of each width: values up to 2^56 - 1 in magnitude become D64 at the scale,
// from any first element; the first that reaches 2^56 fails with its row and value.
TEST(ArrowValues, DecimalsToD64KeepBelow2To56AndStopAtTheFirstBeyond) {
  constexpr int64_t kMax = (int64_t{1} << 56) - 1;
  for (int bits : {32, 64, 128}) {
    std::vector<__int128> wanted = {0, 1, -1, 12345, -98765};
    if (bits > 32) wanted.insert(wanted.end(), {kMax, -kMax});
    std::vector<uint8_t> buf(wanted.size() * static_cast<size_t>(bits / 8));
    for (size_t i = 0; i < wanted.size(); ++i) {
      std::memcpy(buf.data() + i * static_cast<size_t>(bits / 8), &wanted[i],
                  static_cast<size_t>(bits / 8));  // little-endian: the low bytes
    }
    for (int64_t first = 0; first < static_cast<int64_t>(wanted.size()); ++first) {
      const int64_t count = static_cast<int64_t>(wanted.size()) - first;
      std::vector<D64> out(static_cast<size_t>(count));
      ASSERT_TRUE(decimals_to_d64(buf.data(), bits, first, count, 3, out.data())) << bits;
      for (int64_t i = 0; i < count; ++i) {
        EXPECT_EQ(out[static_cast<size_t>(i)].mantissa(), wanted[static_cast<size_t>(first + i)]);
        EXPECT_EQ(out[static_cast<size_t>(i)].scale(), 3u);
      }
    }
  }
  for (const __int128 beyond : {static_cast<__int128>(kMax) + 1, -static_cast<__int128>(kMax) - 1,
                                static_cast<__int128>(1) << 100}) {
    const __int128 values[] = {1, 2, beyond, 3};
    D64 out[4];
    const auto got = decimals_to_d64(values, 128, 1, 3, 0, out);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().row, 1);
    EXPECT_TRUE(got.error().value == beyond);
  }
}

}  // namespace
}  // namespace kvt::arrow
