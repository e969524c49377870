#include "model/d64.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace kvt {
namespace {

using Bytes8 = std::array<uint8_t, 8>;

constexpr D64 dec(uint64_t magnitude, uint32_t scale, bool negative) {
  return D64::from_parts(magnitude, scale, negative);
}

// ---------------------------------------------------------------------------------------------
// from_str

struct Parsed {
  std::string text;
  uint64_t magnitude;
  uint32_t scale;
  bool negative;
};

class FromStrAccepts : public ::testing::TestWithParam<Parsed> {};

TEST_P(FromStrAccepts, GivesMagnitudeScaleAndSign) {
  const auto& p = GetParam();
  auto r = from_str(p.text);
  ASSERT_TRUE(r.has_value()) << "'" << p.text << "' error " << static_cast<int>(r.error());
  EXPECT_EQ(r->magnitude(), p.magnitude) << p.text;
  EXPECT_EQ(r->scale(), p.scale) << p.text;
  EXPECT_EQ(r->is_negative(), p.negative) << p.text;
  EXPECT_FALSE(r->is_nan());
  EXPECT_FALSE(r->is_infinite());
  EXPECT_EQ(r->bits & 8, 0u) << "bit 3 stays clear";
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, FromStrAccepts,
    ::testing::Values(
        Parsed{"  12.340 ", 12340, 3, false}, Parsed{"0", 0, 0, false}, Parsed{"5", 5, 0, false},
        Parsed{"-5", 5, 0, true}, Parsed{"5-", 5, 0, true}, Parsed{"--5", 5, 0, true},
        Parsed{"1.2.3", 123, 1, false}, Parsed{".5", 5, 1, false}, Parsed{"5.", 5, 0, false},
        Parsed{"-", 0, 0, true}, Parsed{"-0", 0, 0, true}, Parsed{".", 0, 0, false},
        Parsed{"1.5", 15, 1, false}, Parsed{"-1.23", 123, 2, true}, Parsed{"007.50", 750, 2, false},
        // The scale counts every byte after the point, a '-' included.
        Parsed{"1.5-", 15, 2, true}, Parsed{"72057594037927935", 72057594037927935ULL, 0, false},
        Parsed{"7205759403792793.5", 72057594037927935ULL, 1, false},
        Parsed{"-72057594037927935", 72057594037927935ULL, 0, true},
        // Leading zeros never count towards the range.
        Parsed{"000000000000000000000000072057594037927935", 72057594037927935ULL, 0, false},
        // Exactly 15 places are kept as they are.
        Parsed{"0.123456789012345", 123456789012345ULL, 15, false},
        Parsed{"1.000000000000001", 1000000000000001ULL, 15, false}));

INSTANTIATE_TEST_SUITE_P(UnicodeWhiteSpace, FromStrAccepts,
                         ::testing::Values(Parsed{"\t\n\v\f\r 42 \r\n", 42, 0, false},
                                           Parsed{"\xC2\x85"
                                                  "1\xC2\xA0",
                                                  1, 0, false},  // U+0085, U+00A0
                                           Parsed{"\xE1\x9A\x80"
                                                  "2\xE2\x80\x80",
                                                  2, 0, false},  // U+1680, U+2000
                                           Parsed{"\xE2\x80\x8A"
                                                  "3\xE2\x80\xA8",
                                                  3, 0, false},  // U+200A, U+2028
                                           Parsed{"\xE2\x80\xA9"
                                                  "4\xE2\x80\xAF",
                                                  4, 0, false},  // U+2029, U+202F
                                           Parsed{"\xE2\x81\x9F"
                                                  "5\xE3\x80\x80",
                                                  5, 0, false},  // U+205F, U+3000
                                           Parsed{"\xE3\x80\x80\xC2\xA0 -6.5\xE2\x80\x85\t", 65, 1,
                                                  true}));

// More than 15 places: the value is truncated toward zero to 15 places before the range check.
INSTANTIATE_TEST_SUITE_P(
    TruncatedPlaces, FromStrAccepts,
    ::testing::Values(Parsed{"0.1234567890123456", 123456789012345ULL, 15, false},
                      Parsed{"-0.1234567890123459", 123456789012345ULL, 15, true},
                      Parsed{"0.0000000000000001", 0, 15, false},
                      Parsed{"0.000000000000000000000000000000000000001", 0, 15, false},
                      // 40 digits, but only the first 17 remain after truncation.
                      Parsed{"72.057594037927935999999999999999999999", 72057594037927935ULL, 15,
                             false},
                      // The '-' after the point is one of the 17 places: two digits are dropped.
                      Parsed{"0.1234567890123456-", 12345678901234ULL, 15, true},
                      Parsed{"1.2.34567890123456789", 12345678901234567ULL, 15, false}));

struct Rejected {
  std::string text;
  ParseDecimalError error;
};

class FromStrRejects : public ::testing::TestWithParam<Rejected> {};

TEST_P(FromStrRejects, WithKind) {
  const auto& p = GetParam();
  auto r = from_str(p.text);
  ASSERT_FALSE(r.has_value()) << "'" << p.text << "' parsed to bits " << r->bits;
  EXPECT_EQ(r.error(), p.error) << p.text;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FromStrRejects,
    ::testing::Values(Rejected{"", ParseDecimalError::Empty},
                      Rejected{"   ", ParseDecimalError::Empty},
                      Rejected{"\t\r\n\xC2\xA0\xE3\x80\x80", ParseDecimalError::Empty},
                      Rejected{"infinity", ParseDecimalError::InvalidCharacter},
                      Rejected{"-inf", ParseDecimalError::InvalidCharacter},
                      Rejected{"-nan", ParseDecimalError::InvalidCharacter},
                      Rejected{"+5", ParseDecimalError::InvalidCharacter},
                      Rejected{"1,5", ParseDecimalError::InvalidCharacter},
                      Rejected{"1e5", ParseDecimalError::InvalidCharacter},
                      Rejected{"1 5", ParseDecimalError::InvalidCharacter},
                      Rejected{"12a", ParseDecimalError::InvalidCharacter},
                      // U+200B (zero width space) and U+180E are not white space.
                      Rejected{"\xE2\x80\x8B"
                               "1",
                               ParseDecimalError::InvalidCharacter},
                      Rejected{"1\xE1\xA0\x8E", ParseDecimalError::InvalidCharacter},
                      Rejected{"\x1F"
                               "1",
                               ParseDecimalError::InvalidCharacter},
                      Rejected{std::string("1\0", 2), ParseDecimalError::InvalidCharacter},
                      Rejected{"72057594037927936", ParseDecimalError::OutOfRange},
                      Rejected{"-72057594037927936", ParseDecimalError::OutOfRange},
                      Rejected{"7205759403792793.6", ParseDecimalError::OutOfRange},
                      Rejected{"9999999999999999999999999", ParseDecimalError::OutOfRange},
                      Rejected{"18446744073709551616",
                               ParseDecimalError::OutOfRange},  // 2^64 would wrap to 0
                      Rejected{"72.0575940379279360", ParseDecimalError::OutOfRange},  // 16 places
                      // Every byte is scanned before the range is judged.
                      Rejected{"9999999999999999999999999x", ParseDecimalError::InvalidCharacter}));

class FromStrSpecial : public ::testing::TestWithParam<std::string> {};

TEST_P(FromStrSpecial, NanWordsGiveTheNanValue) {
  auto r = from_str(GetParam());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->to_bytes(), (Bytes8{0, 0, 0, 0, 0, 0, 0, 0x02}));
  EXPECT_EQ(*r, D64::nan());
}

INSTANTIATE_TEST_SUITE_P(Words, FromStrSpecial,
                         ::testing::Values("NaN", "nan", "NAN", "nAn", " nan\t", "\xC2\xA0NaN"));

TEST(FromStr, InfWordsGiveTheInfiniteValue) {
  for (const char* text : {"inf", "INF", "Inf", "  iNf  "}) {
    auto r = from_str(text);
    ASSERT_TRUE(r.has_value()) << text;
    EXPECT_EQ(r->to_bytes(), (Bytes8{0, 0, 0, 0, 0, 0, 0, 0x04})) << text;
  }
}

// Any decimal text of at most 17 significant digits and at most 15 places parses to the digits
// it was written from, and a random sprinkling of signs only sets the flag.
TEST(FromStr, RandomTextsMatchTheirDigits) {
  std::mt19937_64 rng(12345);
  for (int n = 0; n < 5000; ++n) {
    const uint64_t magnitude = rng() % kD64MagnitudeLimit;
    const auto scale = static_cast<uint32_t>(rng() % 16);
    std::string digits = std::to_string(magnitude);
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
    const bool negative = rng() & 1;
    std::string text = negative ? "-" : "";
    text.append(digits, 0, digits.size() - scale);
    if (scale > 0) text.append(1, '.').append(digits, digits.size() - scale);
    auto r = from_str(text);
    ASSERT_TRUE(r.has_value()) << text;
    EXPECT_EQ(*r, dec(magnitude, scale, negative)) << text;
  }
}

// ---------------------------------------------------------------------------------------------
// Byte image

struct Image {
  D64 value;
  Bytes8 bytes;
};

class ByteImage : public ::testing::TestWithParam<Image> {};

TEST_P(ByteImage, RoundTrips) {
  const auto& p = GetParam();
  EXPECT_EQ(p.value.to_bytes(), p.bytes);
  EXPECT_EQ(D64::from_bytes(p.bytes.data()), p.value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ByteImage,
    ::testing::Values(Image{D64::nan(), {0, 0, 0, 0, 0, 0, 0, 0x02}},
                      Image{D64::infinity(), {0, 0, 0, 0, 0, 0, 0, 0x04}},
                      Image{dec(15, 1, false), {0, 0, 0, 0, 0, 0, 0x0F, 0x10}},
                      Image{dec(15, 1, true), {0, 0, 0, 0, 0, 0, 0x0F, 0x11}},
                      Image{dec(0, 0, true), {0, 0, 0, 0, 0, 0, 0, 0x01}},
                      Image{dec(kD64MagnitudeLimit - 1, 15, true),
                            {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF1}},
                      Image{dec(0x0102030405060708ULL & (kD64MagnitudeLimit - 1), 9, false),
                            {0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x90}}));

TEST(ByteImage, ParsedOneAndAHalf) {
  EXPECT_EQ(from_str("1.5")->to_bytes(), (Bytes8{0, 0, 0, 0, 0, 0, 0x0F, 0x10}));
}

TEST(ByteImage, FromBytesKeepsEveryBit) {
  std::mt19937_64 rng(7);
  for (int n = 0; n < 1000; ++n) {
    const D64 d{rng()};
    const auto bytes = d.to_bytes();
    EXPECT_EQ(D64::from_bytes(bytes.data()), d);
  }
}

TEST(Mantissa, NegatedWhenNegative) {
  EXPECT_EQ(dec(123, 2, true).mantissa(), -123);
  EXPECT_EQ(dec(kD64MagnitudeLimit - 1, 0, true).mantissa(),
            -static_cast<int64_t>(kD64MagnitudeLimit - 1));
  EXPECT_EQ(D64::from_mantissa(-77, 3), dec(77, 3, true));
}

// ---------------------------------------------------------------------------------------------
// set_decimal

struct Rescale {
  D64 in;
  size_t scale;
  D64 out;
};

class SetDecimal : public ::testing::TestWithParam<Rescale> {};

TEST_P(SetDecimal, Rescales) {
  const auto& p = GetParam();
  D64 d = p.in;
  set_decimal(d, p.scale);
  EXPECT_EQ(d, p.out) << "bits " << std::hex << d.bits << " want " << p.out.bits;
}

constexpr uint64_t kMaxMag = kD64MagnitudeLimit - 1;

INSTANTIATE_TEST_SUITE_P(
    Cases, SetDecimal,
    ::testing::Values(
        Rescale{dec(15, 1, false), 3, dec(1500, 3, false)},
        Rescale{dec(15, 1, false), 1, dec(15, 1, false)},
        Rescale{dec(15, 1, true), 15, dec(15 * 100000000000000ULL, 15, true)},
        Rescale{D64::nan(), 3, D64::nan()}, Rescale{D64::infinity(), 3, D64::infinity()},
        Rescale{D64::nan(), 99, D64::nan()},
        // Lowering truncates toward zero, for either sign.
        Rescale{dec(1999, 3, false), 1, dec(19, 1, false)},
        Rescale{dec(1999, 3, true), 1, dec(19, 1, true)},
        Rescale{dec(kMaxMag, 15, false), 0, dec(kMaxMag / 1000000000000000ULL, 0, false)},
        // A result of zero is not negative; an unchanged -0 keeps its flag.
        Rescale{dec(5, 2, true), 1, dec(0, 1, false)},
        Rescale{dec(0, 0, true), 2, dec(0, 2, false)}, Rescale{dec(0, 2, true), 2, dec(0, 2, true)},
        // Raising into 2^56 or beyond, or above scale 15, gives the NaN value.
        Rescale{dec(kMaxMag / 10, 0, false), 1, dec(kMaxMag / 10 * 10, 1, false)},
        Rescale{dec(kMaxMag / 10 + 1, 0, true), 1, D64::nan()},
        Rescale{dec(kMaxMag, 0, false), 15, D64::nan()},
        Rescale{dec(72057594037927ULL, 0, false), 3, dec(72057594037927000ULL, 3, false)},
        Rescale{dec(72057594037928ULL, 0, false), 3, D64::nan()},
        Rescale{dec(1, 0, false), 16, D64::nan()}, Rescale{dec(0, 0, false), 16, D64::nan()},
        Rescale{dec(1, 0, false), SIZE_MAX, D64::nan()}));

// Raising and lowering back returns the original value whenever the raise fits.
TEST(SetDecimal, RaiseThenLowerRoundTrips) {
  std::mt19937_64 rng(99);
  for (int n = 0; n < 5000; ++n) {
    const uint32_t from = rng() % 16;
    const uint32_t to = from + rng() % (16 - from);
    const uint64_t mag = (rng() % kD64MagnitudeLimit) >> (rng() % 56);
    const D64 original = dec(mag == 0 ? 1 : mag, from, rng() & 1);
    D64 d = original;
    set_decimal(d, to);
    if (d.is_nan()) {
      double limit = static_cast<double>(kD64MagnitudeLimit);
      EXPECT_GE(static_cast<double>(original.magnitude()) * std::pow(10.0, to - from),
                limit * 0.999);
      continue;
    }
    EXPECT_EQ(d.scale(), to);
    EXPECT_DOUBLE_EQ(to_f64(d), to_f64(original));
    set_decimal(d, from);
    EXPECT_EQ(d, original);
  }
}

// ---------------------------------------------------------------------------------------------
// to_f64

struct ToF64 {
  D64 value;
  double expected;
};

class ToF64Cases : public ::testing::TestWithParam<ToF64> {};

TEST_P(ToF64Cases, Converts) {
  const auto& p = GetParam();
  EXPECT_EQ(to_f64(p.value), p.expected) << std::hex << p.value.bits;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToF64Cases,
    ::testing::Values(ToF64{*from_str("  12.340 "), 12.34}, ToF64{dec(123, 2, true), -1.23},
                      ToF64{dec(5, 13, false), 5e-13}, ToF64{dec(5, 12, false), 5e-12},
                      ToF64{dec(5, 15, true), -5e-15},
                      ToF64{dec(123456789012345ULL, 14, false), 1.23456789012345},
                      ToF64{dec(7, 0, false), 7.0}, ToF64{dec(1, 11, false), 1e-11},
                      ToF64{dec(kMaxMag, 0, false), 72057594037927936.0},
                      // The flags are not consulted: the special values read as zero.
                      ToF64{D64::nan(), 0.0}, ToF64{D64::infinity(), 0.0}));

TEST(ToF64, NegativeZeroIsZero) { EXPECT_EQ(to_f64(dec(0, 3, true)), 0.0); }

// ---------------------------------------------------------------------------------------------
// from_f64

struct FromF64 {
  double x;
  size_t scale;
  D64 expected;
};

class FromF64Cases : public ::testing::TestWithParam<FromF64> {};

TEST_P(FromF64Cases, TruncatesTowardZero) {
  const auto& p = GetParam();
  EXPECT_EQ(from_f64(p.x, p.scale), p.expected)
      << p.x << "@" << p.scale << " gave bits " << std::hex << from_f64(p.x, p.scale).bits;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, FromF64Cases,
    ::testing::Values(FromF64{1.005, 2, dec(100, 2, false)}, FromF64{-2.5, 1, dec(25, 1, true)},
                      FromF64{kNaN, 3, dec(0, 3, false)}, FromF64{1.15, 2, dec(114, 2, false)},
                      FromF64{0.29, 2, dec(28, 2, false)}, FromF64{-0.0, 2, dec(0, 2, false)},
                      FromF64{-0.001, 2, dec(0, 2, false)}, FromF64{12.34, 0, dec(12, 0, false)},
                      FromF64{-12.99, 0, dec(12, 0, true)},
                      FromF64{1.5, 12, dec(1500000000000ULL, 12, false)},
                      FromF64{1.0, 15, dec(1000000000000000ULL, 15, false)},
                      FromF64{static_cast<double>(float{0.1f}), 3, dec(100, 3, false)},
                      FromF64{72057594037927928.0, 0, dec(72057594037927928ULL, 0, false)},
                      // |i| of 2^56 or more, saturated results, or a scale above 15: NaN value.
                      FromF64{72057594037927936.0, 0, D64::nan()},
                      FromF64{-72057594037927936.0, 0, D64::nan()},
                      FromF64{72058.0, 12, D64::nan()}, FromF64{1e300, 2, D64::nan()},
                      FromF64{-1e300, 2, D64::nan()}, FromF64{kInf, 0, D64::nan()},
                      FromF64{-kInf, 5, D64::nan()}, FromF64{9223372036854775808.0, 0, D64::nan()},
                      FromF64{-9223372036854775808.0, 0, D64::nan()}, FromF64{1.0, 16, D64::nan()},
                      FromF64{0.0, 16, D64::nan()}, FromF64{kNaN, 400, D64::nan()}));

// Every value written with at most 15 significant digits survives to_f64 then from_f64 once
// half a unit is added back (truncation otherwise loses values just below the exact decimal).
TEST(FromF64, RecoversMantissaOfToF64) {
  std::mt19937_64 rng(2024);
  for (int n = 0; n < 5000; ++n) {
    const auto scale = static_cast<uint32_t>(rng() % 16);
    const uint64_t mag = rng() % 1000000000000000ULL;
    const bool negative = rng() & 1;
    const D64 d = dec(mag, scale, negative && mag != 0);
    const double x = to_f64(d);
    const double half = 0.5 / std::pow(10.0, scale);
    const D64 back = from_f64(negative ? x - half : x + half, scale);
    EXPECT_EQ(back, d) << mag << "@" << scale;
  }
}

TEST(PowersOfTen, AreExact) {
  double p = 1.0;
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(POWERS_OF_TEN[i], p) << i;
    p *= 10.0;
  }
}

}  // namespace
}  // namespace kvt
