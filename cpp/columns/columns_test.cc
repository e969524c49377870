#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "columns/bool_column.h"
#include "columns/datetime_column.h"
#include "columns/decimal_column.h"
#include "columns/string_column.h"
#include "frame/table_testing.h"
#include "wire/sink_testing.h"

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::encode_with;

Bytes encode_decimals(std::span<const D64> v) {
  return encode_with([&](auto& s) { encode_decimal_column(v, s); });
}
Bytes encode_datetimes(std::span<const int64_t> v) {
  const DatetimePlan plan = plan_datetime_column(v);
  Bytes b = encode_with([&](auto& s) { encode_datetime_column(v, plan.unit, s); });
  EXPECT_EQ(b.size(), plan.size);
  return b;
}

template <class T>
std::vector<T> to_std(const Vec<T>& v) {
  return std::vector<T>(v.begin(), v.end());
}

// ---- decimal columns ----

TEST(D64Column, ExactBytes) {
  EXPECT_EQ(encode_decimals({}), Bytes{0x00});
  const D64 col[] = {D64::from_parts(150, 2, false), D64::from_parts(225, 2, false)};
  EXPECT_EQ(encode_decimals(col), (Bytes{0x03, 0x04, 0xFB, 0x2C, 0x01, 0x96}));
}

TEST(D64Column, DecodesEmptyForms) {
  for (const Bytes& in : {Bytes{0x00}, Bytes{0x01, 0x04}, Bytes{0x01, 0x07}}) {
    Reader r(in);
    auto v = decode_decimal_column(r);
    ASSERT_TRUE(v) << v.error().to_string();
    EXPECT_TRUE(v->empty());
    EXPECT_EQ(r.remaining(), 0u);
  }
}

TEST(D64Column, DecodesNegativeDifference) {
  const Bytes in = {0x02, 0x04, 0x05};
  Reader r(in);
  auto v = decode_decimal_column(r);
  ASSERT_TRUE(v);
  ASSERT_EQ(v->size(), 1u);
  EXPECT_EQ((*v)[0], D64::from_parts(3, 2, true));
}

TEST(D64Column, ScaleComesFromFirstOrdinaryElement) {
  const D64 col[] = {D64::nan(), D64::from_parts(15, 1, false), D64::infinity()};
  const Bytes b = encode_decimals(col);
  EXPECT_EQ(b, (Bytes{0x04, 0x02, 0x00, 0x1E, 0x1D}));
  Reader r(b);
  auto v = decode_decimal_column(r);
  ASSERT_TRUE(v);
  EXPECT_EQ(to_std(*v),
            (std::vector<D64>{D64::from_parts(0, 1, false), D64::from_parts(15, 1, false),
                              D64::from_parts(0, 1, false)}));
  const D64 specials[] = {D64::nan(), D64::infinity()};
  EXPECT_EQ(encode_decimals(specials), (Bytes{0x03, 0x00, 0x00, 0x00}));
}

// Values that do not fit a D64 become NaN without touching their neighbours.
struct UnfitCase {
  const char* name;
  Bytes bytes;
  std::vector<D64> want;
};

class D64Unfit : public ::testing::TestWithParam<UnfitCase> {};

TEST_P(D64Unfit, BecomesNan) {
  const auto& c = GetParam();
  Reader r(c.bytes);
  auto v = decode_decimal_column(r);
  ASSERT_TRUE(v) << v.error().to_string();
  EXPECT_EQ(to_std(*v), c.want);
  EXPECT_EQ(r.remaining(), 0u);
}

constexpr uint64_t kMaxMag = kD64MagnitudeLimit - 1;
// zigzag of 2^56 - 1 as a u64 varint: 2^57 - 2.
#define ZZ_MAXMAG 0xFD, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01

INSTANTIATE_TEST_SUITE_P(
    Cases, D64Unfit,
    ::testing::Values(
        UnfitCase{"Scale16", {0x03, 0x20, 0x02, 0x02}, {D64::nan(), D64::nan()}},
        UnfitCase{"ScaleMinus1", {0x02, 0x01, 0x02}, {D64::nan()}},
        UnfitCase{"Scale15Fits", {0x02, 0x1E, 0x01}, {D64::from_parts(1, 15, true)}},
        UnfitCase{"MagnitudeLimit",
                  {0x05, 0x06, ZZ_MAXMAG, 0x02, 0x01, 0x01},
                  {D64::from_parts(kMaxMag, 3, false), D64::nan(),
                   D64::from_parts(kMaxMag, 3, false), D64::from_parts(kMaxMag - 1, 3, false)}},
        UnfitCase{"Int64Min",
                  {0x03, 0x00, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},
                  {D64::nan(), D64::nan()}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- bool columns ----

// Eight bytes a step and the rest one at a time: each byte value that tests a bit of the word
// arithmetic, at every position of every length up to three words, gives what one byte at a
// time gives, written and read back.
TEST(BoolColumn, WordsAgreeWithBytesAtEveryPositionAndLength) {
  for (size_t n = 0; n <= 24; ++n) {
    for (size_t at = 0; at < std::max<size_t>(n, 1); ++at) {
      for (int value : {0, 1, 2, 3, 0x40, 0x7F, 0x80, 0x81, 0xFE, 0xFF}) {
        Bytes raw(n, 1);
        if (n) raw[at] = static_cast<uint8_t>(value);
        Bytes expected(n + 1, static_cast<uint8_t>(n));
        for (size_t i = 0; i < n; ++i) expected[i + 1] = raw[i] != 0;
        const Bytes frame = encode_with([&](auto& s) { encode_bool_column(s, raw); });
        ASSERT_EQ(frame, expected) << n << " " << at << " " << value;
        // Read back raw bytes: the first byte above 01 fails, else they come back as they are.
        Bytes wire(n + 1, static_cast<uint8_t>(n));
        std::copy(raw.begin(), raw.end(), wire.begin() + 1);
        Reader r(wire.data(), wire.size());
        const auto got = decode_bool_column(r);
        if (n && value > 1) {
          ASSERT_FALSE(got) << n << " " << at;
          EXPECT_EQ(got.error(), DecodeError::invalid_boolean_value(static_cast<uint8_t>(value)));
        } else {
          ASSERT_TRUE(got) << n << " " << at;
          EXPECT_EQ(to_std(*got), raw);
        }
      }
    }
  }
}

// ---- datetime columns ----

TEST(DatetimeColumn, ExactBytes) {
  EXPECT_EQ(encode_datetimes({}), Bytes{0x00});
  const int64_t secs[] = {1000000, 2000000, 3000000};
  EXPECT_EQ(encode_datetimes(secs), (Bytes{0x04, 0xFC, 0x80, 0x84, 0x1E, 0x00, 0x02, 0x02, 0x02}));
  const int64_t zero_then_neg[] = {0, -6};
  EXPECT_EQ(encode_datetimes(zero_then_neg), (Bytes{0x03, 0x0B, 0x00, 0x02}));
  const int64_t one_neg[] = {-700};
  EXPECT_EQ(encode_datetimes(one_neg), (Bytes{0x02, 0xFB, 0x78, 0x05, 0x01}));
  const int64_t one_pos[] = {7};
  EXPECT_EQ(encode_datetimes(one_pos), (Bytes{0x02, 0x0E, 0x02}));
}

TEST(DatetimeColumn, DecodesEmptyFormsAndZeroUnit) {
  for (const Bytes& in : {Bytes{0x00}, Bytes{0x01, 0x04}}) {
    Reader r(in);
    auto v = decode_datetime_column(r);
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->empty());
  }
  const Bytes zero_unit = {0x03, 0x00, 0x08, 0x02};
  Reader r(zero_unit);
  auto v = decode_datetime_column(r);
  ASSERT_TRUE(v);
  EXPECT_EQ(to_std(*v), (std::vector<int64_t>{0, 0}));
}

// Columns whose ten-value unit cannot reproduce them get another unit and round-trip exactly.
struct UnitCase {
  const char* name;
  std::vector<int64_t> values;
  int64_t ten_value_unit;
  int64_t unit;
};

class DatetimeUnit : public ::testing::TestWithParam<UnitCase> {};

TEST_P(DatetimeUnit, ChoosesAnExactUnit) {
  const auto& c = GetParam();
  EXPECT_EQ(datetime_ten_value_unit(c.values), c.ten_value_unit);
  EXPECT_EQ(plan_datetime_column(c.values).unit, c.unit);
  const Bytes b = encode_datetimes(c.values);
  Reader r(b);
  auto back = decode_datetime_column(r);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(to_std(*back), c.values);
  EXPECT_EQ(r.remaining(), 0u);
}

std::vector<int64_t> ten_then(int64_t first, int64_t step, std::vector<int64_t> rest) {
  std::vector<int64_t> v;
  for (int i = 0; i < 10; ++i) v.push_back(first + i * step);
  v.insert(v.end(), rest.begin(), rest.end());
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DatetimeUnit,
    ::testing::Values(
        UnitCase{"AllZero", {0, 0, 0}, 0, 1},
        UnitCase{"TenZerosThenValues", ten_then(0, 0, {5000, 10000}), 0, 5000},
        UnitCase{"LaterStepNotAMultiple", ten_then(1000000, 1000000, {10000001}), 1000000, 1},
        UnitCase{"LaterStepCommonFactor", ten_then(600, 600, {6300}), 600, 300},
        UnitCase{"UnitMinus1AgainstMin", {0, 0, 0, 0, 0, 0, 0, 0, 0, -1, INT64_MAX}, -1, 1},
        UnitCase{"SingleMin", {INT64_MIN}, INT64_MIN, INT64_MIN},
        UnitCase{"MinThenZero", {INT64_MIN, 0}, INT64_MIN, INT64_MIN},
        UnitCase{"MaxThenMin", {INT64_MAX, INT64_MIN}, 1, 1},
        UnitCase{"MinThenMax", {INT64_MIN, INT64_MAX}, 1, 1},
        UnitCase{"WrappingSteps", {INT64_MAX - 1, INT64_MIN + 1, INT64_MAX - 1}, 1, 1},
        UnitCase{"MinusOneThenMin", {-1, INT64_MIN}, 1, 1},
        UnitCase{"ZeroThenMin", {0, INT64_MIN}, INT64_MIN, INT64_MIN}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExactDivider, AgreesWithDivision) {
  testing::RandomSource rng(99);
  std::vector<int64_t> units = {1,
                                -1,
                                2,
                                -2,
                                3,
                                7,
                                -7,
                                1000000,
                                86400000000,
                                INT64_MIN,
                                INT64_MAX,
                                INT64_MIN + 1,
                                int64_t{1} << 62,
                                -(int64_t{1} << 40)};
  for (int i = 0; i < 200; ++i) {
    auto u = static_cast<int64_t>(rng.integer());
    if (u != 0) units.push_back(u);
  }
  for (int64_t u : units) {
    const ExactDivider div(u);
    for (int i = 0; i < 400; ++i) {
      int64_t d = static_cast<int64_t>(rng.integer());
      if (i % 2 && u != INT64_MIN && u != -1)
        d = static_cast<int64_t>(static_cast<uint64_t>(d / u) * u);
      const bool want = !(u == -1 && d == INT64_MIN) && d % (u == -1 ? 1 : u) == 0;
      int64_t q = 0;
      ASSERT_EQ(div.divide(d, q), want) << d << " / " << u;
      if (want) {
        ASSERT_EQ(q, u == -1 ? -d : d / u) << d << " / " << u;
      }
    }
  }
}

// The plain rule, written out with ordinary division: the unit from the first ten values, then
// the quotients. nullopt when that unit is 0 or leaves a remainder or overflows.
std::optional<Bytes> reference_datetime_bytes(const std::vector<int64_t>& v) {
  if (v.empty()) return Bytes{0x00};
  int64_t g = v[0];
  auto mag = [](int64_t x) { return x < 0 ? 0 - static_cast<uint64_t>(x) : uint64_t(x); };
  for (size_t i = 0; i < std::min<size_t>(10, v.size()); ++i) {
    if (g == 0) {
      g = v[i];
    } else if (v[i] == 0) {
      g = static_cast<int64_t>(mag(g));
    } else {
      uint64_t a = mag(g), b = mag(v[i]);
      while (b != 0) {
        uint64_t t = a % b;
        a = b;
        b = t;
      }
      g = static_cast<int64_t>(a);
    }
  }
  if (g == 0) return std::nullopt;
  Bytes out;
  auto put = [&](uint64_t x) {
    uint8_t buf[9];
    out.insert(out.end(), buf, buf + encode_varint(x, buf));
  };
  put(v.size() + 1);
  put(zigzag64(g));
  int64_t prev = 0;
  for (int64_t x : v) {
    const auto d = static_cast<int64_t>(static_cast<uint64_t>(x) - static_cast<uint64_t>(prev));
    prev = x;
    if (g == -1 && d == INT64_MIN) return std::nullopt;
    if (d % g != 0) return std::nullopt;
    put(zigzag64(d / g));
  }
  return out;
}

TEST(DatetimeColumn, RandomColumnsRoundTripAndFollowThePlainRule) {
  testing::RandomSource rng(7);
  int plain = 0, other = 0;
  for (int i = 0; i < 20000; ++i) {
    const size_t n = i % 50 == 0 ? rng.below(10000) : rng.below(40);
    const Vec<int64_t> col = testing::random_datetimes(rng, n);
    const std::vector<int64_t> v(col.begin(), col.end());
    const Bytes b = encode_datetimes(v);
    Reader r(b);
    auto back = decode_datetime_column(r);
    ASSERT_TRUE(back) << back.error().to_string();
    ASSERT_EQ(to_std(*back), v);
    ASSERT_EQ(r.remaining(), 0u);
    if (auto ref = reference_datetime_bytes(v)) {
      ASSERT_EQ(b, *ref);
      ++plain;
    } else {
      ++other;
    }
  }
  // Both paths must have been exercised.
  EXPECT_GT(plain, 1000);
  EXPECT_GT(other, 1000);
}

TEST(D64Column, RandomColumnsRoundTrip) {
  testing::RandomSource rng(11);
  for (int i = 0; i < 5000; ++i) {
    const Series s = testing::random_series(rng, 4, rng.length());
    const auto& col = std::get<4>(s);
    const Bytes b = encode_decimals(col);
    Reader r(b);
    auto back = decode_decimal_column(r);
    ASSERT_TRUE(back) << back.error().to_string();
    ASSERT_EQ(to_std(*back), to_std(col));
    ASSERT_EQ(r.remaining(), 0u);
  }
}

// ---- string and bytes columns, against element-by-element reading ----

struct StringsResult {
  StringsResult() = default;
  explicit StringsResult(DecodeError e) : error(e) {}
  std::optional<DecodeError> error;
  std::vector<std::string> values;
  size_t consumed = 0;
};

StringsResult read_strings_slowly(const Bytes& in, bool validate) {
  StringsResult out;
  Reader r(in);
  auto count = r.read_u64();
  if (!count) return StringsResult(count.error());
  for (uint64_t i = 0; i < *count; ++i) {
    auto b = validate ? r.read_str_view() : r.read_bytes_view();
    if (!b) return StringsResult(b.error());
    out.values.emplace_back(*b);
  }
  out.consumed = in.size() - r.remaining();
  return out;
}

// The key an element of 1 to 15 bytes must get: its length byte and bytes, zero-padded.
FrameKey key_of(std::string_view s) {
  FrameKey k;
  if (s.empty() || s.size() > 15) return k;
  unsigned char b[16] = {};
  b[0] = static_cast<unsigned char>(s.size());
  std::memcpy(b + 1, s.data(), s.size());
  std::memcpy(&k.lo, b, 8);
  std::memcpy(&k.hi, b + 8, 8);
  return k;
}

// Reads with decode_strings_column, in place or not; an in-place column is walked with
// for_each_in_frame, whose keys are checked against key_of.
StringsResult read_strings_fast(const Bytes& in, bool validate, bool in_place = false) {
  StringsResult out;
  Reader r(in);
  auto col = decode_strings_column(r, validate ? Elements::Utf8 : Elements::AnyBytes,
                                   in_place ? Placement::InPlace : Placement::Copied);
  if (!col) return StringsResult(col.error());
  if (const InFrameText* t = col->in_frame()) {
    EXPECT_TRUE(in_place);
    size_t bytes = 0;
    for_each_in_frame(*t, [&](std::string_view s, const FrameKey& key) {
      EXPECT_EQ(key, key_of(s));
      out.values.emplace_back(s);
      bytes += s.size();
      return true;
    });
    EXPECT_EQ(out.values.size(), col->size());
    EXPECT_EQ(bytes, col->byte_count());
  } else {
    for (size_t i = 0; i < col->size(); ++i) out.values.emplace_back((*col)[i]);
  }
  out.consumed = in.size() - r.remaining();
  return out;
}

// Length prefixes in the shortest form, or (unless `shortest`) now and then in a longer one
// (FB/FC/FD).
Bytes encode_strings(testing::RandomSource& rng, const std::vector<std::string>& v,
                     bool shortest = false) {
  Bytes out;
  auto put = [&](uint64_t x) {
    uint8_t buf[9];
    const uint64_t form = shortest ? 8 : rng.below(8);
    if (form == 0 && x <= 0xFFFF) {
      out.insert(out.end(), {0xFB, uint8_t(x), uint8_t(x >> 8)});
    } else if (form == 1 && x <= 0xFFFFFFFF) {
      out.insert(out.end(),
                 {0xFC, uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)});
    } else {
      out.insert(out.end(), buf, buf + encode_varint(x, buf));
    }
  };
  put(v.size());
  for (const auto& s : v) {
    put(s.size());
    out.insert(out.end(), s.begin(), s.end());
  }
  return out;
}

TEST(StringsColumn, MatchesElementByElementReading) {
  testing::RandomSource rng(4242);
  int failures = 0;
  for (int i = 0; i < 20000; ++i) {
    std::vector<std::string> v(rng.length());
    for (auto& s : v) {
      const size_t len = rng.chance(3) ? 0 : rng.below(rng.chance(10) ? 300 : 20);
      s = rng.chance(8) ? rng.bytes(len) : rng.utf8(len);
    }
    // Half the columns in the shortest forms only, which the in-place read keeps in place.
    Bytes in = encode_strings(rng, v, rng.chance(2));
    // Damage: flip bytes, cut the end, or add trailing bytes that must stay unread.
    const auto damage = rng.below(4);
    if (damage == 0 && !in.empty()) {
      for (int k = 0; k < 3; ++k) in[rng.below(in.size())] = static_cast<uint8_t>(rng.next());
    } else if (damage == 1) {
      in.resize(rng.below(in.size() + 1));
    } else if (damage == 2) {
      in.insert(in.end(), 20, 0xAB);
    }
    for (bool validate : {true, false}) {
      const StringsResult want = read_strings_slowly(in, validate);
      for (bool in_place : {false, true}) {
        const StringsResult got = read_strings_fast(in, validate, in_place);
        ASSERT_EQ(got.error.has_value(), want.error.has_value()) << i;
        if (want.error) {
          ASSERT_EQ(got.error->to_string(), want.error->to_string()) << i;
          failures += in_place;
        } else {
          ASSERT_EQ(got.values, want.values) << i;
          ASSERT_EQ(got.consumed, want.consumed) << i;
        }
      }
    }
  }
  EXPECT_GT(failures, 5000);
}

// The writer against the plainest encoding (count, then each length and its bytes), for one
// arena and for the same elements split into pieces at random, sizes included.
TEST(StringsColumn, PiecesWriteAsOneArena) {
  testing::RandomSource rng(77);
  for (int i = 0; i < 3000; ++i) {
    std::vector<std::string> v(rng.length());
    for (auto& s : v) s = rng.bytes(rng.chance(4) ? rng.below(300) : rng.below(20));
    Bytes want;
    uint8_t buf[9];
    want.insert(want.end(), buf, buf + encode_varint(v.size(), buf));
    StringColumn all;
    for (const auto& s : v) {
      want.insert(want.end(), buf, buf + encode_varint(s.size(), buf));
      want.insert(want.end(), s.begin(), s.end());
      all.push_back(s);
    }
    ASSERT_EQ(encode_with([&](auto& sink) { encode_strings_column(sink, StringsRef(all)); }), want);
    // The same elements as slots (inline up to 15 bytes, pointing beyond).
    std::vector<TextSlot> slots;
    for (const auto& s : v) {
      slots.push_back(TextSlot::of(s));
      ASSERT_EQ(slots.back().view(), s);
      ASSERT_EQ(slots.back().is_inline(), s.size() <= TextSlot::kInline);
    }
    const uint64_t encoded = text_slots_encoded_bytes(slots);
    ASSERT_EQ(encoded, want.size() - varint_size_flat(v.size()));
    const StringsRef held(slots, encoded);
    ASSERT_EQ(held.size(), v.size());
    for (size_t k = 0; k < v.size(); ++k) ASSERT_EQ(held[k], v[k]);
    ASSERT_EQ(encode_with([&](auto& sink) { encode_strings_column(sink, held); }), want) << i;
    // The same elements as pieces over separate columns, empty pieces among them.
    std::vector<StringColumn> parts(1);
    for (const auto& s : v) {
      if (rng.chance(3)) parts.emplace_back();
      parts.back().push_back(s);
    }
    if (rng.chance(2)) parts.emplace_back();
    std::vector<StringsPiece> pieces;
    for (const auto& c : parts) pieces.push_back(StringsPiece{c.offsets(), c.bytes().data()});
    const StringsRef split{std::span<const StringsPiece>(pieces)};
    ASSERT_EQ(split.size(), v.size());
    for (size_t k = 0; k < v.size(); ++k) ASSERT_EQ(split[k], v[k]);
    ASSERT_EQ(encode_with([&](auto& sink) { encode_strings_column(sink, split); }), want) << i;
  }
}

// In place: which columns stay in the input, and their keys next to the input's end (where the
// two-word load would run past it), for every element length around the inline limit.
TEST(StringsColumn, InPlaceColumnsAndKeysAtTheEnd) {
  for (size_t len = 0; len <= 40; ++len) {
    const std::string s(len, 'q');
    for (size_t extra : {0, 1, 15, 16}) {
      Bytes in = {0x02, static_cast<uint8_t>(len)};
      in.insert(in.end(), s.begin(), s.end());
      in.push_back(1);
      in.push_back('z');
      in.insert(in.end(), extra, 0xAB);
      Reader r(in);
      auto col = decode_strings_column(r, Elements::Utf8, Placement::InPlace);
      ASSERT_TRUE(col && col->in_frame()) << len;
      EXPECT_EQ(r.remaining(), extra);
      EXPECT_EQ(col->byte_count(), len + 1);
      const StringsResult got = read_strings_fast(in, true, true);
      EXPECT_EQ(got.values, (std::vector<std::string>{s, "z"}));
    }
  }
  // A long length form, or an element longer than 250 bytes, keeps the arena.
  const Bytes long_form = {0x01, 0xFB, 0x01, 0x00, 'a'};
  Reader r(long_form);
  auto col = decode_strings_column(r, Elements::Utf8, Placement::InPlace);
  ASSERT_TRUE(col);
  EXPECT_EQ(col->in_frame(), nullptr);
  EXPECT_EQ((*col)[0], "a");
}

// Lengths of 0x80 and more are not ASCII: a region can then be well-formed while an element is
// not (C3 as a length followed by an element starting with A9 ...), so such columns are checked
// element by element.
TEST(StringsColumn, InPlaceUtf8WithNonAsciiLengths) {
  Bytes in = {0x02, 0xC3};
  in.insert(in.end(), 0xC3, 'a');
  in[2] = 0xA9;  // a lone continuation byte at the start of element 0
  in.push_back(0);
  Reader r(in);
  auto col = decode_strings_column(r, Elements::Utf8, Placement::InPlace);
  ASSERT_FALSE(col);
  EXPECT_EQ(col.error().to_string(), read_strings_slowly(in, true).error->to_string());
}

TEST(StringsColumn, LongLengthForms) {
  const Bytes in = {0x03, 0xFB, 0x02, 0x00, 'h', 'i', 0xFC, 0x01, 0, 0,   0,   'x',
                    0xFD, 0x03, 0,    0,    0,   0,   0,    0,    0, 'a', 'b', 'c'};
  const StringsResult got = read_strings_fast(in, true);
  ASSERT_FALSE(got.error);
  EXPECT_EQ(got.values, (std::vector<std::string>{"hi", "x", "abc"}));
  EXPECT_EQ(got.consumed, in.size());
}

// ---- hostile and truncated input ----

struct ColumnErrorCase {
  const char* name;
  Bytes bytes;
  std::string text;
};

class ColumnErrors : public ::testing::TestWithParam<ColumnErrorCase> {};

TEST_P(ColumnErrors, BothCodecsFailAlike) {
  const auto& c = GetParam();
  Reader r1(c.bytes);
  auto d = decode_decimal_column(r1);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().to_string(), c.text);
  Reader r2(c.bytes);
  auto t = decode_datetime_column(r2);
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().to_string(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ColumnErrors,
    ::testing::Values(
        ColumnErrorCase{"Empty", {}, "UnexpectedEnd { additional: 1 }"},
        ColumnErrorCase{"NoHeader", {0x03}, "UnexpectedEnd { additional: 1 }"},
        ColumnErrorCase{"NoHeaderForCountOne", {0x01}, "UnexpectedEnd { additional: 1 }"},
        ColumnErrorCase{
            "CountReserved", {0xFF}, "InvalidIntegerType { expected: U64, found: Reserved }"},
        ColumnErrorCase{
            "HeaderWide", {0x03, 0xFE}, "InvalidIntegerType { expected: I64, found: I128 }"},
        ColumnErrorCase{"ElementReserved",
                        {0x04, 0x02, 0x02, 0xFF},
                        "InvalidIntegerType { expected: I64, found: Reserved }"},
        ColumnErrorCase{
            "ElementShort", {0x04, 0x02, 0x02, 0xFC, 0x01}, "UnexpectedEnd { additional: 3 }"},
        ColumnErrorCase{"HugeCount",
                        {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x02, 0x04},
                        "UnexpectedEnd { additional: 1 }"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ColumnCodecs, EveryTruncationFails) {
  std::vector<int64_t> times;
  std::vector<D64> decimals;
  for (int i = 0; i < 40; ++i) {
    times.push_back(int64_t{1700000000} * 1000000 + i * i * 1000003);
    decimals.push_back(D64::from_parts(static_cast<uint64_t>(i) * 99991, 4, i % 3 == 0));
  }
  const Bytes t = encode_datetimes(times);
  const Bytes d = encode_decimals(decimals);
  for (size_t k = 0; k < t.size(); ++k) {
    Reader r(t.data(), k);
    ASSERT_FALSE(decode_datetime_column(r)) << k;
  }
  for (size_t k = 0; k < d.size(); ++k) {
    Reader r(d.data(), k);
    ASSERT_FALSE(decode_decimal_column(r)) << k;
  }
}

}  // namespace
}  // namespace kvt

namespace kvt {
namespace {

// The timestamp conversions against plain arithmetic on random values, NaT and the int64 edges.
TEST(TimestampConversions, MatchPlainArithmetic) {
  testing::RandomSource rng(7);
  std::vector<int64_t> v = {kNaT, INT64_MAX, INT64_MIN + 1, 0, -1, 1, -999, 999, -1000, 1000};
  for (int i = 0; i < 2000; ++i) v.push_back(static_cast<int64_t>(rng.next()) >> (rng.next() % 64));
  for (auto [unit, factor] : {std::pair{TimeUnit::S, int64_t{1000000}}, {TimeUnit::Ms, 1000}}) {
    for (int64_t x : v) {
      int64_t y = 0;
      const bool fits = x == kNaT || (x <= INT64_MAX / factor && x >= INT64_MIN / factor);
      EXPECT_EQ(to_microseconds(unit, &x, &y, 1), fits) << x;
      if (fits) {
        EXPECT_EQ(y, x == kNaT ? kNaT : x * factor) << x;
      }
    }
  }
  std::vector<int64_t> out(v.size());
  ASSERT_TRUE(to_microseconds(TimeUnit::Ns, v.data(), out.data(), v.size()));
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(out[i], v[i] == kNaT ? kNaT : v[i] / 1000);
  ASSERT_TRUE(to_microseconds(TimeUnit::Us, v.data(), out.data(), v.size()));
  EXPECT_EQ(out, v);
  for (int64_t offset : {int64_t{0}, int64_t{28800000000}, int64_t{-90000000000}}) {
    std::vector<int64_t> shifted = v;
    shift_timestamps(shifted, offset);
    for (size_t i = 0; i < v.size(); ++i) {
      const auto expect =
          static_cast<int64_t>(static_cast<uint64_t>(v[i]) + static_cast<uint64_t>(offset));
      EXPECT_EQ(shifted[i], v[i] == kNaT ? kNaT : expect);
    }
  }
}

}  // namespace
}  // namespace kvt
