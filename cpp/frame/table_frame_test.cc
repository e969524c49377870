#include "frame/table_frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "frame/crc32.h"
#include "frame/table_testing.h"
#include "wire/encode.h"

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// Body followed by its checksum: what parse takes after the header.
Bytes region_of(const Bytes& body) { return cat({body, le32(crc32(body))}); }
Bytes frame_of_body(const Bytes& body) {
  return cat(
      {{0x7C, 0x4D, 0x01, 0x00}, le32(static_cast<uint32_t>(body.size() + 4)), region_of(body)});
}

Bytes pack(const TableRef& t) {
  auto plan = plan_table_ref_frame(t);
  EXPECT_TRUE(plan);
  auto frame = pack_table_ref_frame(t);
  EXPECT_TRUE(frame);
  EXPECT_EQ(frame->size(), plan->frame_size());
  return *frame;
}
Bytes body_of(const Bytes& frame) { return Bytes(frame.begin() + 8, frame.end() - 4); }

std::string error_of(const Bytes& buf, bool skip_header) {
  auto t = unpack_table_frame(buf, skip_header);
  return t ? std::string("(decoded)") : t.error().to_string();
}
std::string body_error(const Bytes& body) { return error_of(region_of(body), true); }

const Bytes kFormat = {0xFC, 0x01, 0x00, 0x7C, 0x4D};
const std::string kDecodeFailed = "Invalid table frame: Failed to decode table: ";

TableRef one_column(SeriesRef s, DataType dt) {
  TableRef t;
  t.fields.push_back(FieldRef{"a", dt, std::nullopt, s});
  return t;
}

// ---- exact frames ----

TEST(TableFrame, EmptyTable) {
  const Bytes frame = pack(TableRef{});
  EXPECT_EQ(frame, (Bytes{0x7C, 0x4D, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0xFC, 0x01,
                          0x00, 0x7C, 0x4D, 0x00, 0x00, 0x00, 0xF6, 0x58, 0xCD, 0x3E}));
  auto t = unpack_table_frame(frame, false);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->format_word, kFormatWord);
  EXPECT_TRUE(t->fields.empty());
  EXPECT_FALSE(t->meta);
  EXPECT_FALSE(t->flag);
}

TEST(TableFrame, Int64ColumnWithObjectName) {
  Table t;
  t.format_word = kFormatWord;
  t.fields.push_back(Field{"a", DataType::Int64, std::nullopt, Series(std::in_place_index<2>)});
  std::get<2>(t.fields[0].series) = {1, -1, 300};
  t.meta.emplace().insert("obj", Variant(std::in_place_index<5>, std::string("x")));
  const Bytes frame = pack(as_ref(t));
  const Bytes want_body = {0xFC, 0x01, 0x00, 0x7C, 0x4D, 0x01, 0x01, 0x61, 0x02,
                           0x00, 0x02, 0x03, 0x02, 0x01, 0xFB, 0x58, 0x02, 0x01,
                           0x01, 0x03, 0x6F, 0x62, 0x6A, 0x05, 0x01, 0x78, 0x00};
  ASSERT_EQ(want_body.size(), 27u);
  EXPECT_EQ(body_of(frame), want_body);
  EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 8), le32(31));
  EXPECT_EQ(frame, frame_of_body(want_body));

  auto back = unpack_table_frame(Bytes(frame.begin() + 8, frame.end()), true);
  ASSERT_TRUE(back);
  EXPECT_EQ(testing::diff_tables(*back, t), "");
}

// Tag and payload of one column, as they follow the field's name, data_type and meta tag.
struct SeriesCase {
  const char* name;
  std::function<Series()> make;
  Bytes bytes;
};

class SeriesBytes : public ::testing::TestWithParam<SeriesCase> {};

TEST_P(SeriesBytes, WritesAndReadsBack) {
  const auto& c = GetParam();
  const Series s = c.make();
  const Bytes body = body_of(pack(one_column(as_ref(s), series_kind(s))));
  const Bytes want = cat(
      {kFormat, {0x01, 0x01, 'a', static_cast<uint8_t>(s.index()), 0x00}, c.bytes, {0x00, 0x00}});
  EXPECT_EQ(body, want);
  auto back = unpack_table_frame(region_of(body), true);
  ASSERT_TRUE(back) << back.error().to_string();
  ASSERT_EQ(back->fields.size(), 1u);
  EXPECT_EQ(testing::diff_series(back->fields[0].series, s), "");
}

template <size_t I, class... T>
std::function<Series()> series_of(T... v) {
  return [=] {
    Series s(std::in_place_index<I>);
    (std::get<I>(s).push_back(v), ...);
    return s;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SeriesBytes,
    ::testing::Values(
        SeriesCase{"Null", [] { return Series(std::in_place_index<0>); }, {0x00}},
        SeriesCase{"Bool", series_of<6>(uint8_t{1}, uint8_t{0}), {0x06, 0x02, 0x01, 0x00}},
        SeriesCase{"Float64", series_of<3>(1.0), {0x03, 0x01, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        SeriesCase{"String",
                   series_of<5>(std::string_view(""), std::string_view("\xC3\xA9")),
                   {0x05, 0x02, 0x00, 0x02, 0xC3, 0xA9}},
        SeriesCase{"EmptyUInt64", series_of<9>(), {0x09, 0x00}},
        SeriesCase{"Int32",
                   series_of<7>(int32_t{-2147483648}, int32_t{1}),
                   {0x07, 0x02, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}},
        SeriesCase{"UInt32",
                   series_of<8>(uint32_t{251}, uint32_t{0xFFFFFFFF}),
                   {0x08, 0x02, 0xFB, 0xFB, 0x00, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF}},
        SeriesCase{"Float32", series_of<10>(-0.0f), {0x0A, 0x01, 0, 0, 0, 0x80}},
        SeriesCase{"Bytes", series_of<11>(std::string_view("\xFF")), {0x0B, 0x01, 0x01, 0xFF}},
        SeriesCase{"DateTime",
                   series_of<1>(int64_t{1000000}, int64_t{2000000}),
                   {0x01, 0x03, 0xFC, 0x80, 0x84, 0x1E, 0x00, 0x02, 0x02}},
        SeriesCase{"Decimal",
                   series_of<4>(D64::from_parts(150, 2, false), D64::from_parts(225, 2, false)),
                   {0x04, 0x03, 0x04, 0xFB, 0x2C, 0x01, 0x96}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TableFrame, NullColumnBytes) {
  TableRef t;
  t.fields.push_back(FieldRef{"n", DataType::Null, std::nullopt, SeriesRef()});
  EXPECT_EQ(body_of(pack(t)), cat({kFormat, {0x01}, {0x01, 0x6E, 0x00, 0x00, 0x00}, {0x00, 0x00}}));
}

TEST(TableFrame, NonzeroBoolBytesAreWrittenAsOne) {
  const uint8_t raw[] = {0, 1, 2, 0xFF};
  const Bytes body = body_of(pack(one_column(
      SeriesRef(std::in_place_index<6>, std::span<const uint8_t>(raw)), DataType::Bool)));
  EXPECT_EQ(body,
            cat({kFormat, {0x01, 0x01, 'a', 0x06, 0x00, 0x06, 0x04, 0, 1, 1, 1, 0x00, 0x00}}));
  auto back = unpack_table_frame(region_of(body), true);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::get<6>(back->fields[0].series), (Vec<uint8_t>{0, 1, 1, 1}));
}

// ---- lenient reading ----

TEST(TableFrame, MismatchedDataTypeAndUnequalLengthsAreKept) {
  const Bytes body = cat({kFormat,
                          {0x02},
                          {0x01, 'a', 0x03, 0x00, 0x02, 0x03, 0x02, 0x04, 0x06},
                          {0x00, 0xFB, 0x03, 0x00, 0x00, 0x02, 0x05, 1, 2, 3, 4, 5},
                          {0x00, 0x01}});
  auto t = unpack_table_frame(region_of(body), true);
  ASSERT_TRUE(t) << t.error().to_string();
  ASSERT_EQ(t->fields.size(), 2u);
  EXPECT_EQ(t->fields[0].data_type, DataType::Float64);
  EXPECT_EQ(t->fields[0].series.index(), 2u);
  EXPECT_EQ(std::get<2>(t->fields[0].series), (Vec<int64_t>{1, 2, 3}));
  EXPECT_EQ(t->fields[1].name, "");
  EXPECT_EQ(t->fields[1].data_type, DataType::Float64);  // FB 03 00 is a long form of 3
  EXPECT_EQ(std::get<2>(t->fields[1].series).size(), 5u);
  EXPECT_TRUE(t->flag);
  EXPECT_EQ(row_count(*t), 3u);
}

TEST(TableFrame, ExtraBytesAreIgnored) {
  const Bytes frame = pack(TableRef{});
  Bytes longer = frame;
  longer.insert(longer.end(), {1, 2, 3});
  EXPECT_TRUE(unpack_table_frame(longer, false));
  // Bytes after the flag, inside the checksummed body.
  EXPECT_TRUE(unpack_table_frame(region_of(cat({body_of(frame), {0xAA, 0xBB}})), true));
}

// ---- errors ----

struct FrameErrorCase {
  const char* name;
  Bytes buffer;
  bool skip_header;
  std::string text;
};

class FrameErrors : public ::testing::TestWithParam<FrameErrorCase> {};

TEST_P(FrameErrors, ExactText) {
  const auto& c = GetParam();
  EXPECT_EQ(error_of(c.buffer, c.skip_header), c.text);
}

const Bytes kEmptyFrame = {0x7C, 0x4D, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0xFC, 0x01,
                           0x00, 0x7C, 0x4D, 0x00, 0x00, 0x00, 0xF6, 0x58, 0xCD, 0x3E};

INSTANTIATE_TEST_SUITE_P(
    Envelope, FrameErrors,
    ::testing::Values(
        FrameErrorCase{"SevenBytes", Bytes(7, 0x7C), false, "Buffer too small, want 8 got 7"},
        FrameErrorCase{"MagicZero", Bytes(20, 0), false, "Invalid table frame: Invalid magic: 0"},
        FrameErrorCase{"Magic19837",
                       {0x7D, 0x4D, 0x01, 0x00, 0x0C, 0, 0, 0},
                       false,
                       "Invalid table frame: Invalid magic: 19837"},
        FrameErrorCase{"Version2",
                       {0x7C, 0x4D, 0x02, 0x00, 0x0C, 0, 0, 0},
                       false,
                       "Invalid table frame: Invalid version: 2"},
        FrameErrorCase{"HugeLength",
                       cat({{0x7C, 0x4D, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes(12, 0)}), false,
                       "Buffer too small, want 4294967303 got 20"},
        FrameErrorCase{"LengthZero",
                       {0x7C, 0x4D, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
                       false,
                       "Invalid table frame: Content and footer too short"},
        FrameErrorCase{"LengthThree",
                       {0x7C, 0x4D, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 1, 2, 3},
                       false,
                       "Invalid table frame: Content and footer too short"},
        FrameErrorCase{
            "EmptyBody",
            {0x7C, 0x4D, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0, 0, 0, 0},
            false,
            "Invalid table frame: Failed to decode table: UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"RegionThreeBytes",
                       {0, 0, 0},
                       true,
                       "Invalid table frame: Content and footer too short"},
        FrameErrorCase{"RegionWholeFrame", kEmptyFrame, true, "Table frame CRC32 check failed"},
        FrameErrorCase{
            "RegionEmptyBody",
            {0, 0, 0, 0},
            true,
            "Invalid table frame: Failed to decode table: UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"WholeFrameTruncated", Bytes(kEmptyFrame.begin(), kEmptyFrame.end() - 1),
                       false, "Buffer too small, want 20 got 19"}),
    [](const auto& info) { return std::string(info.param.name); });

#define HUGE 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F
// A field named a of the given kind, whose payload starts with a huge count or length.
Bytes huge_column(uint8_t kind, Bytes after) {
  return region_of(cat({kFormat, {0x01, 0x01, 'a', kind, 0x00, kind, HUGE}, after}));
}

INSTANTIATE_TEST_SUITE_P(
    Body, FrameErrors,
    ::testing::Values(
        FrameErrorCase{
            "SeriesTag12", region_of(cat({kFormat, {0x01, 0x01, 'a', 0x00, 0x00, 0x0C}})), true,
            kDecodeFailed + "UnexpectedVariant { type_name: \"Series\", allowed: Range { min: 0, "
                            "max: 11 }, found: 12 }"},
        FrameErrorCase{"DataType12", region_of(cat({kFormat, {0x01, 0x01, 'a', 0x0C}})), true,
                       kDecodeFailed +
                           "UnexpectedVariant { type_name: \"DataType\", allowed: Range { min: 0, "
                           "max: 11 }, found: 12 }"},
        FrameErrorCase{
            "NameFF", region_of(cat({kFormat, {0x01, 0x01, 0xFF, 0x00, 0x00, 0x00}})), true,
            kDecodeFailed + "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        FrameErrorCase{"EndsAfterTableMeta", region_of(cat({kFormat, {0x00, 0x00}})), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"FlagByte2", region_of(cat({kFormat, {0x00, 0x00, 0x02}})), true,
                       kDecodeFailed + "InvalidBooleanValue(2)"},
        FrameErrorCase{"FormatWordWide", region_of({0xFD, 0, 0, 0, 0, 0, 0, 0, 0}), true,
                       kDecodeFailed + "InvalidIntegerType { expected: U32, found: U64 }"},
        FrameErrorCase{"TableMetaTag2", region_of(cat({kFormat, {0x00, 0x02, 0x00}})), true,
                       kDecodeFailed +
                           "UnexpectedVariant { type_name: \"core::option::Option<std::collections"
                           "::hash::map::HashMap<alloc::string::String, kvt_table::variant::"
                           "Variant>>\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
        FrameErrorCase{"HugeFieldCount",
                       region_of(cat({kFormat,
                                      {0xFD, 0, 0, 0, 0, 0, 0, 0, 0x01},
                                      {0x01, 'a', 0x00, 0x00, 0x00, 0x01, 'b', 0x00, 0x00, 0x00}})),
                       true, kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeNameLength", region_of(cat({kFormat, {0x01, HUGE}})), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 9223372036854775807 }"},
        FrameErrorCase{"HugeFieldMapCount",
                       region_of(cat({kFormat, {0x01, 0x01, 'a', 0x00, 0x01, HUGE, 0x00}})), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeTableMapKey", region_of(cat({kFormat, {0x00, 0x01, 0x01, HUGE}})), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 9223372036854775807 }"},
        FrameErrorCase{"HugeDateTime", huge_column(1, {0x02, 0x02}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeInt64", huge_column(2, {0x02, 0x02}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeFloat64", huge_column(3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 6 }"},
        FrameErrorCase{"HugeDecimal", huge_column(4, {0x04, 0x02}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeString", huge_column(5, {0x00, 0x01, 'x'}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeStringLength",
                       region_of(cat({kFormat, {0x01, 0x01, 'a', 5, 0x00, 5, 0x02, HUGE, 'x'}})),
                       true, kDecodeFailed + "UnexpectedEnd { additional: 9223372036854775806 }"},
        FrameErrorCase{"HugeBool", huge_column(6, {0x01, 0x00}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"BoolByte2BeforeEnd", huge_column(6, {0x01, 0x02}), true,
                       kDecodeFailed + "InvalidBooleanValue(2)"},
        FrameErrorCase{"HugeInt32", huge_column(7, {0x02}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeUInt32", huge_column(8, {0x02}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeUInt64", huge_column(9, {0x02}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{"HugeFloat32", huge_column(10, {1, 2, 3, 4, 5, 6}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 2 }"},
        FrameErrorCase{"HugeBytes", huge_column(11, {0x01, 0xFF}), true,
                       kDecodeFailed + "UnexpectedEnd { additional: 1 }"},
        FrameErrorCase{
            "StringUtf8BeforeShortfall", huge_column(5, {0x01, 0xFF, 0x05}), true,
            kDecodeFailed + "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        FrameErrorCase{
            "StringSecondElementBad",
            region_of(cat({kFormat,
                           {0x01, 0x01, 'a', 5, 0x00, 5, 0x03, 0x01, 'x', 0x03, 'a', 0xE2, 0x82,
                            0x01, 'y', 0x00, 0x00}})),
            true, kDecodeFailed + "Utf8 { inner: Utf8Error { valid_up_to: 1, error_len: None } }"},
        FrameErrorCase{
            "StringSplitCharacter",
            region_of(cat({kFormat,
                           {0x01, 0x01, 'a', 5, 0x00, 5, 0x02, 0x01, 0xC3, 0x01, 0xA9, 0x00,
                            0x00}})),
            true, kDecodeFailed + "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: None } }"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TableFrameError, DisplayTexts) {
  EXPECT_EQ(TableFrameError::buffer_too_small(8, 7).to_string(), "Buffer too small, want 8 got 7");
  EXPECT_EQ(TableFrameError::invalid_frame("x").to_string(), "Invalid table frame: x");
  EXPECT_EQ(TableFrameError::checksum_mismatch().to_string(), "Table frame CRC32 check failed");
}

TEST(TableFrame, HeaderCheck) {
  const Bytes h = {0x7C, 0x4D, 0x01, 0x00, 0x1F, 0x00, 0x00, 0x00};
  EXPECT_EQ(check_table_frame_header(h).status, HeaderCheck::Ok);
  EXPECT_EQ(check_table_frame_header(h).length, 31u);
  EXPECT_EQ(check_table_frame_header(cat({h, {1, 2, 3}})).length, 31u);
  const Bytes wrong_version = {0x7C, 0x4D, 0x01, 0x01, 0, 0, 0, 0};
  const Bytes version_two = {0x7C, 0x4D, 0x02, 0x00, 0, 0, 0, 0};
  const Bytes five = {0x7C, 0x4D, 0x01, 0x00, 0};
  EXPECT_EQ(check_table_frame_header(wrong_version).status, HeaderCheck::NotAFrame);
  EXPECT_EQ(check_table_frame_header(version_two).status, HeaderCheck::NotAFrame);
  EXPECT_EQ(check_table_frame_header(five).status, HeaderCheck::TooShort);
}

// ---- the size limit ----

TEST(TableFrame, BodySizeLimit) {
  // Sizing reads no string bytes, so a view can claim a huge string without owning one.
  const char byte = 'x';
  auto plan_with = [&](uint64_t len) {
    const std::vector<uint64_t> offsets = {0, len};
    TableRef t =
        one_column(SeriesRef(std::in_place_index<11>, StringsRef(offsets, &byte)), DataType::Bytes);
    t.fields[0].name = "";
    return plan_table_ref_frame(t);
  };
  // 5 format word, 1 count, 1 name, 1 data_type, 1 meta, 1 tag, 1 count, 5 length, 1 meta, 1 flag.
  const uint64_t overhead = 18;
  auto at_limit = plan_with(kMaxBodySize - overhead);
  ASSERT_TRUE(at_limit);
  EXPECT_EQ(at_limit->body_size(), kMaxBodySize);
  auto over = plan_with(kMaxBodySize - overhead + 1);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().to_string(),
            "Invalid table frame: Table body too large: 4294967292 bytes, at most 4294967291");
}

// ---- damage ----

Table sample_table() {
  testing::RandomSource rng(5);
  Table t;
  t.format_word = kFormatWord;
  for (uint32_t kind = 0; kind < 12; ++kind) {
    Field f;
    f.name = "c" + std::to_string(kind);
    f.data_type = static_cast<DataType>(kind);
    if (kind == 3) f.meta = testing::random_meta(rng);
    f.series = testing::random_series(rng, kind, 3);
    t.fields.push_back(std::move(f));
  }
  t.meta.emplace().insert("obj", Variant(std::in_place_index<5>, std::string("sample")));
  return t;
}

TEST(TableFrame, AnySingleBitFlipIsAChecksumMismatch) {
  const Bytes frame = pack(as_ref(sample_table()));
  for (size_t i = 8; i < frame.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes damaged = frame;
      damaged[i] ^= static_cast<uint8_t>(1 << bit);
      ASSERT_EQ(error_of(damaged, false), "Table frame CRC32 check failed") << i << ":" << bit;
      ASSERT_EQ(error_of(Bytes(damaged.begin() + 8, damaged.end()), true),
                "Table frame CRC32 check failed");
    }
  }
}

TEST(TableFrame, EveryTruncationIsAnError) {
  const Bytes frame = pack(as_ref(sample_table()));
  const Bytes body = body_of(frame);
  for (size_t k = 0; k < frame.size(); ++k) {
    ASSERT_FALSE(unpack_table_frame(Bytes(frame.begin(), frame.begin() + k), false)) << k;
  }
  // A shortened body with a matching checksum reaches the decoder, which must fail cleanly.
  for (size_t k = 0; k < body.size(); ++k) {
    const std::string e = body_error(Bytes(body.begin(), body.begin() + k));
    ASSERT_EQ(e.rfind(kDecodeFailed, 0), 0u) << k << ": " << e;
  }
}

// ---- bulk paths against element-by-element encoding ----

// The varints of a column written one by one with the plain primitive encoder.
template <class T, class Map>
Bytes plain_varints(const std::vector<T>& v, Map map) {
  Sizer sz;
  write_count(sz, v.size());
  for (T x : v) write_varint(sz, map(x));
  Bytes out(sz.size());
  Writer w(out.data(), out.size());
  write_count(w, v.size());
  for (T x : v) write_varint(w, map(x));
  return out;
}

// Mostly one-byte values with wide ones now and then, so that runs of every mix (all one byte,
// one wide value, all wide) occur, at lengths crossing run and piece boundaries.
template <class T>
std::vector<T> mostly_small(testing::RandomSource& rng, size_t n, uint32_t wide_one_in) {
  std::vector<T> v(n);
  for (auto& x : v) x = static_cast<T>(rng.chance(wide_one_in) ? rng.integer() : rng.below(126));
  return v;
}

template <class T, size_t I, class Map>
void check_varint_column(testing::RandomSource& rng, size_t n, uint32_t wide_one_in, Map map) {
  const std::vector<T> v = mostly_small<T>(rng, n, wide_one_in);
  SeriesRef ref(std::in_place_index<I>, std::span<const T>(v));
  const Bytes body = body_of(pack(one_column(ref, static_cast<DataType>(I))));
  const Bytes want = cat({kFormat,
                          {0x01, 0x01, 'a', static_cast<uint8_t>(I), 0x00, I},
                          plain_varints(v, map),
                          {0x00, 0x00}});
  ASSERT_EQ(body, want) << "kind " << I << " n " << n << " wide 1/" << wide_one_in;
}

TEST(TableFrame, VarintColumnsMatchElementByElementEncoding) {
  testing::RandomSource rng(2024);
  const size_t lengths[] = {0, 1, 15, 16, 17, 31, 33, 100, 7279, 7280, 7281, 20000};
  const uint32_t wide[] = {1, 2, 20, 1000, 1u << 30};
  for (size_t n : lengths) {
    for (uint32_t w : wide) {
      check_varint_column<int64_t, 2>(rng, n, w, [](int64_t x) { return zigzag64(x); });
      check_varint_column<int32_t, 7>(rng, n, w, [](int32_t x) { return zigzag32(x); });
      check_varint_column<uint32_t, 8>(rng, n, w, [](uint32_t x) { return uint64_t{x}; });
      check_varint_column<uint64_t, 9>(rng, n, w, [](uint64_t x) { return x; });
    }
  }
}

// Columns larger than one checksum piece: the running checksum over pieces equals the checksum
// of the whole body, on writing and on reading.
TEST(TableFrame, LargeColumnsChecksumAcrossPieces) {
  testing::RandomSource rng(77);
  std::vector<double> d(50000);
  for (auto& x : d) x = static_cast<double>(rng.next());
  std::vector<uint8_t> flags(200000);
  for (auto& x : flags) x = static_cast<uint8_t>(rng.below(3));
  std::vector<std::string> words(30000);
  for (auto& w : words) w.assign(rng.below(20), static_cast<char>('a' + rng.below(26)));
  StringColumn texts;
  for (const auto& w : words) texts.push_back(w);
  Table t;
  t.format_word = kFormatWord;
  t.fields.push_back(Field{"d", DataType::Float64, std::nullopt, Series(std::in_place_index<3>)});
  for (double x : d) std::get<3>(t.fields[0].series).push_back(x);
  t.fields.push_back(Field{"s", DataType::String, std::nullopt, Series(std::in_place_index<5>)});
  std::get<5>(t.fields[1].series) = texts;
  TableRef ref = as_ref(t);
  ref.fields.push_back(
      FieldRef{"b", DataType::Bool, std::nullopt,
               SeriesRef(std::in_place_index<6>, std::span<const uint8_t>(flags))});
  const Bytes frame = pack(ref);
  const Bytes body = body_of(frame);
  EXPECT_EQ(frame, frame_of_body(body));
  auto back = unpack_table_frame(frame, false);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(testing::diff_series(back->fields[0].series, t.fields[0].series), "");
  EXPECT_EQ(testing::diff_series(back->fields[1].series, t.fields[1].series), "");
  // A flip anywhere, including deep inside the float block, is a mismatch.
  for (size_t at : {size_t{20}, size_t{100000}, size_t{300000}, frame.size() - 5}) {
    Bytes damaged = frame;
    damaged[at] ^= 0x10;
    EXPECT_EQ(error_of(damaged, false), "Table frame CRC32 check failed") << at;
  }
}

// The checksum and decoding share one pass, but a mismatch still wins over a decode failure,
// wherever decoding stops.
TEST(TableFrame, ChecksumMismatchWinsOverDecodeFailure) {
  std::vector<double> d(20000, 1.5);
  const Bytes body = body_of(pack(one_column(
      SeriesRef(std::in_place_index<3>, std::span<const double>(d)), DataType::Float64)));
  for (size_t keep : {size_t{3}, size_t{12}, size_t{80000}, body.size() - 1}) {
    const Bytes cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(keep));
    // With its own checksum the cut body reaches the decoder and fails there...
    EXPECT_EQ(body_error(cut).rfind(kDecodeFailed, 0), 0u) << keep;
    // ...with any other checksum it is a mismatch.
    Bytes region = region_of(cut);
    region.back() ^= 0x01;
    EXPECT_EQ(error_of(region, true), "Table frame CRC32 check failed") << keep;
  }
}

// ---- randomized round trip ----

TEST(TableFrame, RandomTablesRoundTrip) {
  testing::RandomSource rng(31337);
  for (int i = 0; i < 3000; ++i) {
    const Table t = testing::random_table(rng);
    const TableRef ref = as_ref(t);
    auto plan = plan_table_ref_frame(ref);
    ASSERT_TRUE(plan);
    Bytes frame(plan->frame_size(), 0x00);
    write_table_ref_frame(ref, *plan, frame);
    // Written over a different fill, the frame must come out the same: the writing pass fills
    // exactly the bytes that the sizing pass counted.
    Bytes frame_over_ones(plan->frame_size(), 0xFF);
    write_table_ref_frame(ref, *plan, frame_over_ones);
    ASSERT_EQ(frame, frame_over_ones);
    ASSERT_EQ(frame, *pack_table_ref_frame(ref));

    auto whole = unpack_table_frame(frame, false);
    ASSERT_TRUE(whole) << whole.error().to_string();
    ASSERT_EQ(testing::diff_tables(*whole, t), "") << "table " << i;
    auto region = unpack_table_frame(Bytes(frame.begin() + 8, frame.end()), true);
    ASSERT_TRUE(region);
    ASSERT_EQ(testing::diff_tables(*region, t), "");
  }
}

}  // namespace
}  // namespace kvt
