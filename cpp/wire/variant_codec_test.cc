#include "wire/variant_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/table_testing.h"
#include "wire/sink_testing.h"

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::encode_with;

Bytes encode_one(const Variant& v) {
  return encode_with([&](auto& s) { encode_variant(s, v); });
}
Bytes encode_map(const std::optional<MetaMap>& m) {
  return encode_with([&](auto& s) { encode_meta(s, m); });
}

struct VariantCase {
  const char* name;
  Variant value;
  Bytes bytes;
};

class VariantBytes : public ::testing::TestWithParam<VariantCase> {};

TEST_P(VariantBytes, EncodesAndDecodesExactly) {
  const auto& c = GetParam();
  EXPECT_EQ(encode_one(c.value), c.bytes);
  Bytes input = c.bytes;
  input.push_back(0xEE);  // what follows a value is left unread
  Reader r(input);
  auto v = decode_variant(r);
  ASSERT_TRUE(v) << v.error().to_string();
  EXPECT_TRUE(testing::same_bits(*v, c.value));
  EXPECT_EQ(r.remaining(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, VariantBytes,
    ::testing::Values(
        VariantCase{"Null", Variant(std::in_place_index<0>), {0x00}},
        VariantCase{"DateTimeMinus1", Variant(std::in_place_index<1>, int64_t{-1}), {0x01, 0x01}},
        VariantCase{"Int64Minus1", Variant(std::in_place_index<2>, int64_t{-1}), {0x02, 0x01}},
        VariantCase{"Int64Min",
                    Variant(std::in_place_index<2>, INT64_MIN),
                    {0x02, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        VariantCase{"Float64One",
                    Variant(std::in_place_index<3>, 1.0),
                    {0x03, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        VariantCase{"Decimal1_5",
                    Variant(std::in_place_index<4>, D64::from_parts(15, 1, false)),
                    {0x04, 0, 0, 0, 0, 0, 0, 0x0F, 0x10}},
        VariantCase{
            "String", Variant(std::in_place_index<5>, std::string("x")), {0x05, 0x01, 0x78}},
        VariantCase{"BoolTrue", Variant(std::in_place_index<6>, true), {0x06, 0x01}},
        VariantCase{"Int32Minus1", Variant(std::in_place_index<7>, int32_t{-1}), {0x07, 0x01}},
        VariantCase{
            "UInt32_251", Variant(std::in_place_index<8>, uint32_t{251}), {0x08, 0xFB, 0xFB, 0x00}},
        VariantCase{"UInt64_2p32",
                    Variant(std::in_place_index<9>, uint64_t{1} << 32),
                    {0x09, 0xFD, 0, 0, 0, 0, 1, 0, 0, 0}},
        VariantCase{"Float32One", Variant(std::in_place_index<10>, 1.0f), {0x0A, 0, 0, 0x80, 0x3F}},
        VariantCase{"BytesFF",
                    Variant(std::in_place_index<11>, std::vector<uint8_t>{0xFF}),
                    {0x0B, 0x01, 0xFF}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VariantCodec, LongStringHasThreeByteLength) {
  auto b = encode_one(Variant(std::in_place_index<5>, std::string(300, 'a')));
  ASSERT_EQ(b.size(), 304u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0x05, 0xFB, 0x2C, 0x01}));
}

TEST(VariantCodec, DecimalImageIsTakenUnchecked) {
  Bytes in = {0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  Reader r(in);
  auto v = decode_variant(r);
  ASSERT_TRUE(v);
  EXPECT_EQ(std::get<4>(*v).bits, ~uint64_t{0});
}

TEST(MetaCodec, AbsentEmptyAndObjectName) {
  EXPECT_EQ(encode_map(std::nullopt), Bytes{0x00});
  EXPECT_EQ(encode_map(MetaMap{}), (Bytes{0x01, 0x00}));
  MetaMap obj;
  obj.insert("obj", Variant(std::in_place_index<5>, std::string("x")));
  const Bytes obj_bytes = {0x01, 0x01, 0x03, 0x6F, 0x62, 0x6A, 0x05, 0x01, 0x78};
  EXPECT_EQ(encode_map(obj), obj_bytes);

  for (const Bytes& in : {Bytes{0x00}, Bytes{0x01, 0x00}, obj_bytes}) {
    Reader r(in);
    auto m = decode_meta(r);
    ASSERT_TRUE(m) << m.error().to_string();
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(m->has_value(), in[0] == 1);
    if (in.size() == obj_bytes.size()) {
      EXPECT_EQ(**m, obj);
    }
    if (in.size() == 2) {
      EXPECT_TRUE((*m)->empty());
    }
  }
}

TEST(MetaCodec, LaterDuplicateKeyReplaces) {
  const Bytes in = {0x01, 0x02, 0x01, 'a', 0x02, 0x02, 0x01, 'a', 0x02, 0x04};
  Reader r(in);
  auto m = decode_meta(r);
  ASSERT_TRUE(m);
  ASSERT_EQ((*m)->size(), 1u);
  EXPECT_EQ(*(*m)->find("a"), Variant(std::in_place_index<2>, int64_t{2}));
}

struct ErrorCase {
  const char* name;
  Bytes bytes;
  std::string text;
};

class MetaErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(MetaErrors, ReportsTheFirstBadItem) {
  const auto& c = GetParam();
  Reader r(c.bytes);
  auto m = decode_meta(r);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().to_string(), c.text);
}

const std::string kHugeLen = "9223372036854775807";
#define HUGE_VARINT 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F

INSTANTIATE_TEST_SUITE_P(
    Cases, MetaErrors,
    ::testing::Values(
        ErrorCase{"Empty", {}, "UnexpectedEnd { additional: 1 }"},
        ErrorCase{"PresenceByte2",
                  {0x02},
                  "UnexpectedVariant { type_name: \"core::option::Option<std::collections::hash::"
                  "map::HashMap<alloc::string::String, kvt_table::variant::Variant>>\", allowed: "
                  "Range { min: 0, max: 1 }, found: 2 }"},
        ErrorCase{"VariantTag12",
                  {0x01, 0x01, 0x01, 'a', 0x0C},
                  "UnexpectedVariant { type_name: \"Variant\", allowed: Range { min: 0, max: 11 "
                  "}, found: 12 }"},
        ErrorCase{"VariantTagWide",
                  {0x01, 0x01, 0x01, 'a', 0xFD},
                  "InvalidIntegerType { expected: U32, found: U64 }"},
        ErrorCase{"BoolByte2", {0x01, 0x01, 0x01, 'a', 0x06, 0x02}, "InvalidBooleanValue(2)"},
        ErrorCase{"StringFF",
                  {0x01, 0x01, 0x01, 'a', 0x05, 0x01, 0xFF},
                  "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        ErrorCase{"KeyFF",
                  {0x01, 0x01, 0x01, 0xFF, 0x00},
                  "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        ErrorCase{"KeyCutMidCharacter",
                  {0x01, 0x01, 0x02, 'a', 0xE2, 0x00},
                  "Utf8 { inner: Utf8Error { valid_up_to: 1, error_len: None } }"},
        ErrorCase{"Float64Short",
                  {0x01, 0x01, 0x01, 'a', 0x03, 0x00, 0x00},
                  "UnexpectedEnd { additional: 6 }"},
        ErrorCase{"DecimalShort",
                  {0x01, 0x01, 0x01, 'a', 0x04, 1, 2, 3},
                  "UnexpectedEnd { additional: 5 }"},
        ErrorCase{
            "Float32Short", {0x01, 0x01, 0x01, 'a', 0x0A, 1}, "UnexpectedEnd { additional: 3 }"},
        ErrorCase{"BoolMissing", {0x01, 0x01, 0x01, 'a', 0x06}, "UnexpectedEnd { additional: 1 }"},
        ErrorCase{"Int64Reserved",
                  {0x01, 0x01, 0x01, 'a', 0x02, 0xFF},
                  "InvalidIntegerType { expected: I64, found: Reserved }"},
        ErrorCase{"DateTime128",
                  {0x01, 0x01, 0x01, 'a', 0x01, 0xFE},
                  "InvalidIntegerType { expected: I64, found: I128 }"},
        ErrorCase{"Int32Wide",
                  {0x01, 0x01, 0x01, 'a', 0x07, 0xFD},
                  "InvalidIntegerType { expected: I32, found: I64 }"},
        ErrorCase{"UInt32Wide",
                  {0x01, 0x01, 0x01, 'a', 0x08, 0xFD},
                  "InvalidIntegerType { expected: U32, found: U64 }"},
        ErrorCase{"UInt64Short",
                  {0x01, 0x01, 0x01, 'a', 0x09, 0xFB, 0x05},
                  "UnexpectedEnd { additional: 1 }"},
        ErrorCase{"HugeCount", {0x01, HUGE_VARINT}, "UnexpectedEnd { additional: 1 }"},
        ErrorCase{"HugeCountSomeEntries",
                  {0x01, HUGE_VARINT, 0x01, 'a', 0x00, 0x01, 'b', 0x00},
                  "UnexpectedEnd { additional: 1 }"},
        ErrorCase{"HugeKeyLength",
                  {0x01, 0x01, HUGE_VARINT},
                  "UnexpectedEnd { additional: " + kHugeLen + " }"},
        ErrorCase{"HugeStringValue",
                  {0x01, 0x01, 0x01, 'a', 0x05, HUGE_VARINT, 'x'},
                  "UnexpectedEnd { additional: 9223372036854775806 }"},
        ErrorCase{"HugeBytesValue",
                  {0x01, 0x01, 0x01, 'a', 0x0B, HUGE_VARINT},
                  "UnexpectedEnd { additional: " + kHugeLen + " }"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MetaCodec, BytesValueMayHoldAnyByte) {
  const Bytes in = {0x01, 0x01, 0x01, 'a', 0x0B, 0x02, 0xFF, 0xC0};
  Reader r(in);
  auto m = decode_meta(r);
  ASSERT_TRUE(m);
  EXPECT_EQ(std::get<11>(*(*m)->find("a")), (std::vector<uint8_t>{0xFF, 0xC0}));
}

TEST(MetaCodec, RandomMapsRoundTrip) {
  testing::RandomSource rng(2024);
  for (int i = 0; i < 2000; ++i) {
    const auto m = testing::random_meta(rng);
    const Bytes b = encode_map(m);
    Reader r(b);
    auto back = decode_meta(r);
    ASSERT_TRUE(back) << back.error().to_string();
    EXPECT_EQ(r.remaining(), 0u);
    ASSERT_EQ(testing::diff_meta(m, *back), "");
    // Every strict prefix fails: a map is only complete with its last byte.
    for (size_t k = 0; k < b.size(); ++k) {
      Reader p(b.data(), k);
      ASSERT_FALSE(decode_meta(p)) << "prefix " << k;
    }
  }
}

}  // namespace
}  // namespace kvt
