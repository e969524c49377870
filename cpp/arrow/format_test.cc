#include "arrow/format.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace kvt::arrow {
namespace {

struct FormatCase {
  std::string format;
  TypeId id;
  StringLayout layout = StringLayout::Offsets32;
  friend void PrintTo(const FormatCase& c, std::ostream* os) { *os << '"' << c.format << '"'; }
};

class ParseFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(ParseFormat, NamesTheType) {
  const ArrowType t = parse_format(GetParam().format);
  EXPECT_EQ(t.id, GetParam().id) << GetParam().format;
  if (t.is_text_or_bytes()) {
    EXPECT_EQ(t.layout, GetParam().layout) << GetParam().format;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ParseFormat,
    testing::Values(FormatCase{"n", TypeId::Null}, FormatCase{"b", TypeId::Bool},
                    FormatCase{"c", TypeId::Int8}, FormatCase{"s", TypeId::Int16},
                    FormatCase{"i", TypeId::Int32}, FormatCase{"l", TypeId::Int64},
                    FormatCase{"C", TypeId::UInt8}, FormatCase{"S", TypeId::UInt16},
                    FormatCase{"I", TypeId::UInt32}, FormatCase{"L", TypeId::UInt64},
                    FormatCase{"e", TypeId::Float16}, FormatCase{"f", TypeId::Float32},
                    FormatCase{"g", TypeId::Float64}, FormatCase{"+s", TypeId::Struct},
                    FormatCase{"u", TypeId::String, StringLayout::Offsets32},
                    FormatCase{"U", TypeId::String, StringLayout::Offsets64},
                    FormatCase{"vu", TypeId::String, StringLayout::Views},
                    FormatCase{"z", TypeId::Binary, StringLayout::Offsets32},
                    FormatCase{"Z", TypeId::Binary, StringLayout::Offsets64},
                    FormatCase{"vz", TypeId::Binary, StringLayout::Views},
                    // Formats frames have no column for, and malformed ones.
                    FormatCase{"", TypeId::Other}, FormatCase{"x", TypeId::Other},
                    FormatCase{"+l", TypeId::Other}, FormatCase{"tdD", TypeId::Other},
                    FormatCase{"tsx:", TypeId::Other}, FormatCase{"ts", TypeId::Other},
                    FormatCase{"tsu", TypeId::Other}, FormatCase{"d:", TypeId::Other},
                    FormatCase{"d:10", TypeId::Other}, FormatCase{"d:10,", TypeId::Other},
                    FormatCase{"d:10,2,", TypeId::Other}, FormatCase{"d:10,2,128,1", TypeId::Other},
                    FormatCase{"d:a,2", TypeId::Other}, FormatCase{"w:16", TypeId::Other},
                    FormatCase{"uu", TypeId::Other},
                    FormatCase{std::string("u\0", 2), TypeId::Other}));

TEST(ParseFormatDetails, TimestampsCarryUnitAndZone) {
  const struct {
    const char* format;
    TimeUnit unit;
    bool zoned;
  } cases[] = {{"tss:", TimeUnit::S, false},
               {"tsm:", TimeUnit::Ms, false},
               {"tsu:", TimeUnit::Us, false},
               {"tsn:", TimeUnit::Ns, false},
               {"tsu:Europe/Paris", TimeUnit::Us, true},
               {"tsn:+05:30", TimeUnit::Ns, true}};
  for (const auto& c : cases) {
    const ArrowType t = parse_format(c.format);
    EXPECT_EQ(t.id, TypeId::Timestamp) << c.format;
    EXPECT_EQ(t.unit, c.unit) << c.format;
    EXPECT_EQ(t.zoned, c.zoned) << c.format;
  }
}

TEST(ParseFormatDetails, DecimalsCarryPrecisionScaleAndBits) {
  const struct {
    const char* format;
    int precision, scale, bits;
  } cases[] = {{"d:10,2", 10, 2, 128},
               {"d:38,-3", 38, -3, 128},
               {"d:9,4,32", 9, 4, 32},
               {"d:18,0,64", 18, 0, 64},
               {"d:76,20,256", 76, 20, 256}};
  for (const auto& c : cases) {
    const ArrowType t = parse_format(c.format);
    ASSERT_EQ(t.id, TypeId::Decimal) << c.format;
    EXPECT_EQ(t.precision, c.precision) << c.format;
    EXPECT_EQ(t.scale, c.scale) << c.format;
    EXPECT_EQ(t.bits, c.bits) << c.format;
  }
}

}  // namespace
}  // namespace kvt::arrow
