#include "wire/encode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "wire/sink.h"
#include "wire/sink_testing.h"

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::encode_with;

struct U64Case {
  uint64_t value;
  Bytes bytes;
};

class VarintBytes : public ::testing::TestWithParam<U64Case> {};

TEST_P(VarintBytes, ShortestForm) {
  const auto& c = GetParam();
  EXPECT_EQ(encode_with([&](auto& s) { write_varint(s, c.value); }), c.bytes);
  EXPECT_EQ(varint_size(c.value), c.bytes.size());
  uint8_t buf[9];
  ASSERT_EQ(encode_varint(c.value, buf), c.bytes.size());
  EXPECT_EQ(Bytes(buf, buf + c.bytes.size()), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, VarintBytes,
    ::testing::Values(U64Case{0, {0x00}}, U64Case{1, {0x01}}, U64Case{250, {0xFA}},
                      U64Case{251, {0xFB, 0xFB, 0x00}}, U64Case{300, {0xFB, 0x2C, 0x01}},
                      U64Case{65535, {0xFB, 0xFF, 0xFF}},
                      U64Case{65536, {0xFC, 0x00, 0x00, 0x01, 0x00}},
                      U64Case{0x4D7C0001, {0xFC, 0x01, 0x00, 0x7C, 0x4D}},
                      U64Case{0xFFFFFFFF, {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}},
                      U64Case{0x100000000, {0xFD, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
                      U64Case{0x0123456789ABCDEF,
                              {0xFD, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}},
                      U64Case{UINT64_MAX, {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));

struct I64Case {
  int64_t value;
  Bytes bytes;
};

class ZigzagI64Bytes : public ::testing::TestWithParam<I64Case> {};

TEST_P(ZigzagI64Bytes, Encodes) {
  const auto& c = GetParam();
  EXPECT_EQ(encode_with([&](auto& s) { write_i64(s, c.value); }), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ZigzagI64Bytes,
    ::testing::Values(I64Case{0, {0x00}}, I64Case{-1, {0x01}}, I64Case{1, {0x02}},
                      I64Case{125, {0xFA}}, I64Case{-126, {0xFB, 0xFB, 0x00}},
                      I64Case{300, {0xFB, 0x58, 0x02}},
                      I64Case{INT64_MAX, {0xFD, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                      I64Case{INT64_MIN, {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));

TEST(ZigzagI32, Encodes) {
  EXPECT_EQ(encode_with([](auto& s) { write_i32(s, INT32_MIN); }),
            (Bytes{0xFC, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode_with([](auto& s) { write_i32(s, INT32_MAX); }),
            (Bytes{0xFC, 0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode_with([](auto& s) { write_i32(s, -2); }), (Bytes{0x03}));
}

TEST(Zigzag, MapsSmallMagnitudesToSmallCodes) {
  const int64_t in[] = {0, -1, 1, -2, 2};
  for (uint64_t i = 0; i < 5; ++i) {
    EXPECT_EQ(zigzag64(in[i]), i);
    EXPECT_EQ(zigzag32(static_cast<int32_t>(in[i])), i);
  }
  EXPECT_EQ(zigzag64(INT64_MIN), UINT64_MAX);
  EXPECT_EQ(zigzag64(INT64_MAX), UINT64_MAX - 1);
  EXPECT_EQ(zigzag32(INT32_MIN), UINT32_MAX);
  EXPECT_EQ(zigzag32(INT32_MAX), UINT32_MAX - 1);
  EXPECT_EQ(unzigzag64(UINT64_MAX), INT64_MIN);
  EXPECT_EQ(unzigzag32(UINT32_MAX), INT32_MIN);
}

TEST(Zigzag, RoundTripsRandomValues) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 10000; ++i) {
    auto v = static_cast<int64_t>(rng() >> (rng() % 64));
    if (i & 1) v = ~v;
    EXPECT_EQ(unzigzag64(zigzag64(v)), v);
    auto w = static_cast<int32_t>(v);
    EXPECT_EQ(unzigzag32(zigzag32(w)), w);
    // The code's magnitude tracks the value's: |v| < 2^k  <=>  code < 2^(k+1).
    EXPECT_EQ(zigzag64(v) >> 1, static_cast<uint64_t>(v < 0 ? ~v : v));
  }
}

TEST(Encode, FixedWidthAndTags) {
  EXPECT_EQ(encode_with([](auto& s) { write_bool(s, false); }), (Bytes{0x00}));
  EXPECT_EQ(encode_with([](auto& s) { write_bool(s, true); }), (Bytes{0x01}));
  EXPECT_EQ(encode_with([](auto& s) { write_u8(s, 0xFE); }), (Bytes{0xFE}));
  EXPECT_EQ(encode_with([](auto& s) { write_option_tag(s, false); }), (Bytes{0x00}));
  EXPECT_EQ(encode_with([](auto& s) { write_option_tag(s, true); }), (Bytes{0x01}));
  EXPECT_EQ(encode_with([](auto& s) { write_enum_index(s, 11); }), (Bytes{0x0B}));
  EXPECT_EQ(encode_with([](auto& s) { write_enum_index(s, 251); }), (Bytes{0xFB, 0xFB, 0x00}));
  EXPECT_EQ(encode_with([](auto& s) { write_f64(s, 1.0); }),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F}));
  EXPECT_EQ(encode_with([](auto& s) { write_f64(s, -0.0); }),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}));
  EXPECT_EQ(encode_with([](auto& s) { write_f32(s, 1.0f); }), (Bytes{0x00, 0x00, 0x80, 0x3F}));
  EXPECT_EQ(encode_with([](auto& s) { write_f32(s, -2.5f); }), (Bytes{0x00, 0x00, 0x20, 0xC0}));
}

TEST(Encode, StringsAndSequences) {
  EXPECT_EQ(encode_with([](auto& s) { write_str(s, ""); }), (Bytes{0x00}));
  EXPECT_EQ(encode_with([](auto& s) { write_count(s, 0); }), (Bytes{0x00}));
  EXPECT_EQ(encode_with([](auto& s) { write_str(s, "h\xC3\xA9"); }),
            (Bytes{0x03, 'h', 0xC3, 0xA9}));
  EXPECT_EQ(encode_with([](auto& s) { write_bytes(s, std::string_view("\0\xFF", 2)); }),
            (Bytes{0x02, 0x00, 0xFF}));
  // A sequence of two f32 and a map of one u32 -> i64 entry, back to back.
  EXPECT_EQ(encode_with([](auto& s) {
              write_count(s, 2);
              write_f32(s, 0.0f);
              write_f32(s, 1.0f);
              write_count(s, 1);
              write_varint(s, 7);
              write_i64(s, -3);
            }),
            (Bytes{0x02, 0, 0, 0, 0, 0, 0, 0x80, 0x3F, 0x01, 0x07, 0x05}));

  std::string long_str(300, 'x');
  Bytes b = encode_with([&](auto& s) { write_str(s, long_str); });
  ASSERT_EQ(b.size(), 303u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 3), (Bytes{0xFB, 0x2C, 0x01}));
  EXPECT_EQ(std::string(b.begin() + 3, b.end()), long_str);
}

TEST(Encode, SizerCountsWhatWriterWrites) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint64_t> vals(50);
    for (auto& v : vals) v = rng() >> (rng() % 64);
    std::string str(rng() % 400, 'a');
    size_t expected = 0;
    Bytes b = encode_with([&](auto& s) {
      for (uint64_t v : vals) {
        write_varint(s, v);
        write_i64(s, static_cast<int64_t>(v));
        write_i32(s, static_cast<int32_t>(v));
        write_enum_index(s, static_cast<uint32_t>(v));
      }
      write_str(s, str);
      write_f64(s, 1.5);
      write_f32(s, 1.5f);
      write_bool(s, true);
      write_u8(s, 3);
    });
    for (uint64_t v : vals) {
      expected += varint_size(v) + varint_size(zigzag64(static_cast<int64_t>(v))) +
                  varint_size(zigzag32(static_cast<int32_t>(v))) +
                  varint_size(static_cast<uint32_t>(v));
    }
    expected += varint_size(str.size()) + str.size() + 8 + 4 + 1 + 1;
    EXPECT_EQ(b.size(), expected);
  }
}

}  // namespace
}  // namespace kvt
