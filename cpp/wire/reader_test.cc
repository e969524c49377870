#include "wire/reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "wire/decode_error.h"
#include "wire/encode.h"
#include "wire/sink.h"

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;

// The display text of a failed read, or "ok" with the value for a successful one.
template <class T>
std::string outcome(const Decoded<T>& d) {
  if (d) return "ok " + std::to_string(*d);
  return d.error().to_string();
}

TEST(DecodeErrorText, EveryKind) {
  EXPECT_EQ(DecodeError::unexpected_end(3).to_string(), "UnexpectedEnd { additional: 3 }");
  EXPECT_EQ(DecodeError::unexpected_end(UINT64_MAX).to_string(),
            "UnexpectedEnd { additional: 18446744073709551615 }");
  EXPECT_EQ(DecodeError::invalid_integer_type(IntegerType::U32, IntegerType::U64).to_string(),
            "InvalidIntegerType { expected: U32, found: U64 }");
  EXPECT_EQ(DecodeError::unexpected_variant(kDataTypeName, 0, 11, 12).to_string(),
            "UnexpectedVariant { type_name: \"DataType\", allowed: Range { min: 0, max: 11 }, "
            "found: 12 }");
  EXPECT_EQ(DecodeError::unexpected_variant(kOptionMapTypeName, 0, 1, 2).to_string(),
            "UnexpectedVariant { type_name: \"core::option::Option<std::collections::hash::map::"
            "HashMap<alloc::string::String, kvt_table::variant::Variant>>\", allowed: Range { "
            "min: 0, max: 1 }, found: 2 }");
  EXPECT_EQ(DecodeError::utf8(2, 1).to_string(),
            "Utf8 { inner: Utf8Error { valid_up_to: 2, error_len: Some(1) } }");
  EXPECT_EQ(DecodeError::utf8(0, std::nullopt).to_string(),
            "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: None } }");
  EXPECT_EQ(DecodeError::invalid_boolean_value(2).to_string(), "InvalidBooleanValue(2)");
  EXPECT_EQ(DecodeError::invalid_boolean_value(255).to_string(), "InvalidBooleanValue(255)");
}

TEST(DecodeErrorText, IntegerTypeNamesInOrder) {
  const char* names[] = {"U8",  "U16", "U32", "U64",  "U128",  "Usize",   "I8",
                         "I16", "I32", "I64", "I128", "Isize", "Reserved"};
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(integer_type_name(static_cast<IntegerType>(i)), names[i]);
  }
}

// One read of one integer type from a byte string, and the expected outcome.
struct IntCase {
  const char* type;  // u32, u64, i32, i64
  Bytes bytes;
  std::string expected;
};

std::string read_int(const IntCase& c, Reader& r) {
  std::string t = c.type;
  if (t == "u32") return outcome(r.read_u32());
  if (t == "u64") return outcome(r.read_u64());
  if (t == "i32") return outcome(r.read_i32());
  return outcome(r.read_i64());
}

class ReadInteger : public ::testing::TestWithParam<IntCase> {};

TEST_P(ReadInteger, Outcome) {
  const auto& c = GetParam();
  Reader r(c.bytes.data(), c.bytes.size());
  EXPECT_EQ(read_int(c, r), c.expected);
}

const Bytes kFd1 = {0xFD, 0x01, 0, 0, 0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Markers, ReadInteger,
    ::testing::Values(
        IntCase{"u32", kFd1, "InvalidIntegerType { expected: U32, found: U64 }"},
        IntCase{"u32", {0xFE}, "InvalidIntegerType { expected: U32, found: U128 }"},
        IntCase{"u32", {0xFF}, "InvalidIntegerType { expected: U32, found: Reserved }"},
        IntCase{"i32", kFd1, "InvalidIntegerType { expected: I32, found: I64 }"},
        IntCase{"i32", {0xFE}, "InvalidIntegerType { expected: I32, found: I128 }"},
        IntCase{"i32", {0xFF}, "InvalidIntegerType { expected: I32, found: Reserved }"},
        IntCase{"u64", {0xFE}, "InvalidIntegerType { expected: U64, found: U128 }"},
        IntCase{"u64", {0xFF}, "InvalidIntegerType { expected: U64, found: Reserved }"},
        IntCase{"i64", {0xFE}, "InvalidIntegerType { expected: I64, found: I128 }"},
        IntCase{"i64", {0xFF}, "InvalidIntegerType { expected: I64, found: Reserved }"}));

INSTANTIATE_TEST_SUITE_P(
    Truncated, ReadInteger,
    ::testing::Values(IntCase{"u64", {}, "UnexpectedEnd { additional: 1 }"},
                      IntCase{"u64", {0xFB, 0x05}, "UnexpectedEnd { additional: 1 }"},
                      IntCase{"u64", {0xFB}, "UnexpectedEnd { additional: 2 }"},
                      IntCase{"u64", {0xFC, 1}, "UnexpectedEnd { additional: 3 }"},
                      IntCase{"u64", {0xFD, 1, 2}, "UnexpectedEnd { additional: 6 }"},
                      IntCase{"u32", {}, "UnexpectedEnd { additional: 1 }"},
                      IntCase{"u32", {0xFB, 1}, "UnexpectedEnd { additional: 1 }"},
                      IntCase{"u32", {0xFC}, "UnexpectedEnd { additional: 4 }"},
                      IntCase{"i32", {0xFC, 1, 2, 3}, "UnexpectedEnd { additional: 1 }"},
                      IntCase{"i64", {0xFD}, "UnexpectedEnd { additional: 8 }"},
                      IntCase{"i64", {}, "UnexpectedEnd { additional: 1 }"}));

INSTANTIATE_TEST_SUITE_P(
    LongerForms, ReadInteger,
    ::testing::Values(
        IntCase{"u64", {0xFB, 0x05, 0x00}, "ok 5"}, IntCase{"u64", {0xFC, 0x05, 0, 0, 0}, "ok 5"},
        IntCase{"u64", {0xFD, 0x05, 0, 0, 0, 0, 0, 0, 0}, "ok 5"},
        IntCase{"u32", {0xFB, 0x05, 0x00}, "ok 5"}, IntCase{"u32", {0xFC, 0x05, 0, 0, 0}, "ok 5"},
        IntCase{"i64", {0xFB, 0x01, 0x00}, "ok -1"}, IntCase{"i32", {0xFC, 0x03, 0, 0, 0}, "ok -2"},
        IntCase{"u32", {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}, "ok 4294967295"},
        IntCase{"i32", {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}, "ok -2147483648"},
        IntCase{"i64",
                {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                "ok -9223372036854775808"}));

TEST(Reader, RoundTripsIntegersAndLeavesTrailingBytes) {
  const uint64_t u[] = {0, 250, 251, 65535, 65536, 0xFFFFFFFF, 0x100000000, UINT64_MAX};
  const int64_t s[] = {0, -1, 125, -126, INT32_MIN, INT32_MAX, INT64_MIN, INT64_MAX};
  Bytes buf(200);
  Writer w(buf.data(), buf.size());
  for (int i = 0; i < 8; ++i) {
    write_varint(w, u[i]);
    write_i64(w, s[i]);
    write_varint(w, static_cast<uint32_t>(u[i]));
    write_i32(w, static_cast<int32_t>(s[i]));
  }
  write_u8(w, 0xAA);
  Reader r(buf.data(), w.size());
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(r.read_u64(), u[i]);
    EXPECT_EQ(r.read_i64(), s[i]);
    EXPECT_EQ(r.read_u32(), static_cast<uint32_t>(u[i]));
    EXPECT_EQ(r.read_i32(), static_cast<int32_t>(s[i]));
  }
  EXPECT_EQ(r.remaining(), 1u);
  EXPECT_EQ(r.read_u8(), 0xAA);
  EXPECT_EQ(outcome(r.read_u8()), "UnexpectedEnd { additional: 1 }");
}

TEST(Reader, BoolAndU8) {
  Bytes b = {0x00, 0x01, 0x02, 0xFF};
  Reader r(b.data(), b.size());
  EXPECT_EQ(r.read_bool(), false);
  EXPECT_EQ(r.read_bool(), true);
  EXPECT_EQ(outcome(r.read_bool()), "InvalidBooleanValue(2)");
  EXPECT_EQ(outcome(r.read_bool()), "InvalidBooleanValue(255)");
  EXPECT_EQ(outcome(r.read_bool()), "UnexpectedEnd { additional: 1 }");
}

TEST(Reader, FloatsKeepTheirBits) {
  const uint64_t nan_payload = 0x7FF0000000000ABCull;  // signalling NaN with a payload
  const uint32_t nan32_payload = 0xFFC01234u;
  Bytes buf(24);
  Writer w(buf.data(), buf.size());
  write_f64(w, std::bit_cast<double>(nan_payload));
  write_f64(w, -0.0);
  write_f32(w, std::bit_cast<float>(nan32_payload));
  write_f32(w, -0.0f);
  ASSERT_EQ(w.size(), 24u);
  Reader r(buf.data(), buf.size());
  EXPECT_EQ(std::bit_cast<uint64_t>(*r.read_f64()), nan_payload);
  EXPECT_EQ(std::bit_cast<uint64_t>(*r.read_f64()), 0x8000000000000000ull);
  EXPECT_EQ(std::bit_cast<uint32_t>(*r.read_f32()), nan32_payload);
  EXPECT_EQ(std::bit_cast<uint32_t>(*r.read_f32()), 0x80000000u);
}

TEST(Reader, FloatShortfall) {
  Bytes b = {1, 2, 3, 4, 5};
  Reader r(b.data(), b.size());
  EXPECT_EQ(outcome(r.read_f64()), "UnexpectedEnd { additional: 3 }");
  Reader r2(b.data(), 1);
  EXPECT_EQ(outcome(r2.read_f32()), "UnexpectedEnd { additional: 3 }");
}

// A sequence of f64 whose count promises more than is there: the elements that fit decode,
// the first one that does not reports its own shortfall.
TEST(Reader, SequenceFailsAtTheFirstMissingElement) {
  Bytes b(21, 0);
  b[0] = 3;
  Reader r(b.data(), b.size());
  auto n = r.read_u64();
  ASSERT_EQ(n, 3u);
  ASSERT_EQ(r.remaining(), 20u);
  std::string last;
  for (uint64_t i = 0; i < *n; ++i) {
    auto v = r.read_f64();
    if (!v) {
      last = std::to_string(i) + ": " + v.error().to_string();
      break;
    }
  }
  EXPECT_EQ(last, "2: UnexpectedEnd { additional: 4 }");
}

std::string str_outcome(const Bytes& b) {
  Reader r(b.data(), b.size());
  auto s = r.read_str_view();
  if (!s) return s.error().to_string();
  return "ok " + std::string(*s);
}

TEST(Reader, Strings) {
  EXPECT_EQ(str_outcome({0x00}), "ok ");
  EXPECT_EQ(str_outcome({0x03, 'a', 0xC3, 0xA9, 'z'}), "ok a\xC3\xA9");
  EXPECT_EQ(str_outcome({}), "UnexpectedEnd { additional: 1 }");
  EXPECT_EQ(str_outcome({0x05, 'a', 'b', 'c'}), "UnexpectedEnd { additional: 2 }");
  EXPECT_EQ(str_outcome({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
            "UnexpectedEnd { additional: 9223372036854775807 }");
  EXPECT_EQ(str_outcome({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}),
            "UnexpectedEnd { additional: 18446744073709551614 }");
  EXPECT_EQ(str_outcome({0xFE}), "InvalidIntegerType { expected: U64, found: U128 }");
  EXPECT_EQ(str_outcome({0x03, 'a', 'b', 0xFF}),
            "Utf8 { inner: Utf8Error { valid_up_to: 2, error_len: Some(1) } }");
  EXPECT_EQ(str_outcome({0x03, 'a', 0xE2, 0x82, 0xAC}),
            "Utf8 { inner: Utf8Error { valid_up_to: 1, error_len: None } }");
}

TEST(Reader, ByteVectorsAreNotValidated) {
  Bytes b = {0x03, 0xFF, 0x00, 0xC0, 0x01};
  Reader r(b.data(), b.size());
  auto v = r.read_bytes_view();
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, std::string_view("\xFF\x00\xC0", 3));
  EXPECT_EQ(r.remaining(), 1u);
  Bytes short_b = {0xFB, 0x2C, 0x01, 'x'};
  Reader r2(short_b.data(), short_b.size());
  EXPECT_EQ(r2.read_bytes_view().error().to_string(), "UnexpectedEnd { additional: 299 }");
}

TEST(Reader, EnumIndex) {
  Bytes b = {0x0B, 0x0C, 0xFD};
  Reader r(b.data(), b.size());
  EXPECT_EQ(r.read_enum_index(kDataTypeName, 11), 11u);
  EXPECT_EQ(outcome(r.read_enum_index(kSeriesTypeName, 11)),
            "UnexpectedVariant { type_name: \"Series\", allowed: Range { min: 0, max: 11 }, "
            "found: 12 }");
  EXPECT_EQ(outcome(r.read_enum_index(kDataTypeName, 11)),
            "InvalidIntegerType { expected: U32, found: U64 }");
}

}  // namespace
}  // namespace kvt
