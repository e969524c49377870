// Writes the seed inputs of the fuzz targets into DIR/unpack/ and DIR/roundtrip/, one NAME.bin
// per seed (every `make fuzz-build` writes them to build/fuzz/seeds/). Nothing here depends on
// the clock or on a random device: the same sources write the same bytes, so the seeds need not
// be stored; they change only when the tables below or the codec's output change.
//
// unpack seeds:
//   NAME.bin        the region of a packed table (the bytes after the header: body, checksum),
//                   for the tables listed below: every column kind, metadata maps and values,
//                   edge values, unusual table shapes, and random-NN tables from a fixed seed;
//   frame-*.bin     whole frames, header included, good and damaged;
//   bad-*.bin       hand-made bodies (with a matching checksum) that the decoder must refuse:
//                   hostile counts and lengths, invalid tags, UTF-8 and bool bytes, truncation;
//   body-*.bin      hand-made bodies the writer never produces but the decoder accepts or judges:
//                   long varint forms, unit-0 timestamps, decimal overflow, the budget's cases.
// roundtrip seeds: the same tables (those within the target's limits: at most 12 fields of at most
// 64 rows, names of 12 bytes, 6 metadata entries with keys of 8 bytes, strings of 24 bytes and
// metadata strings of 40) written in the byte language roundtrip_fuzzer.cc reads through
// FuzzedDataProvider, so that each seed builds exactly its table. A change to the order in which
// that fuzzer consumes its input must be mirrored in roundtrip_input() and the functions it calls.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/crc32.h"
#include "frame/table_frame.h"
#include "frame/table_testing.h"

namespace {

using kvt::D64;
using kvt::DataType;
using kvt::Field;
using kvt::MetaMap;
using kvt::Series;
using kvt::Table;
using kvt::Variant;
using Bytes = std::vector<uint8_t>;

// Seeds longer than the fuzzers' -max_len would be cut when loaded.
constexpr size_t kMaxSeedSize = 4096;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "make_seeds: %s\n", what.c_str());
  std::exit(1);
}

// ---- tables ----

template <size_t I, class T>
Series col(std::initializer_list<T> values) {
  Series s(std::in_place_index<I>);
  for (const T& v : values) std::get<I>(s).push_back(v);
  return s;
}

template <size_t I>
Series text_col(std::initializer_list<std::string_view> values) {
  Series s(std::in_place_index<I>);
  for (std::string_view v : values) std::get<I>(s).push_back(v);
  return s;
}

Series null_col() { return Series(kvt::in_kind<DataType::Null>); }
Series datetimes(std::initializer_list<int64_t> v) { return col<1, int64_t>(v); }
Series int64s(std::initializer_list<int64_t> v) { return col<2, int64_t>(v); }
Series float64s(std::initializer_list<double> v) { return col<3, double>(v); }
Series strings(std::initializer_list<std::string_view> v) { return text_col<5>(v); }
Series bools(std::initializer_list<uint8_t> v) { return col<6, uint8_t>(v); }
Series int32s(std::initializer_list<int32_t> v) { return col<7, int32_t>(v); }
Series uint32s(std::initializer_list<uint32_t> v) { return col<8, uint32_t>(v); }
Series uint64s(std::initializer_list<uint64_t> v) { return col<9, uint64_t>(v); }
Series float32s(std::initializer_list<float> v) { return col<10, float>(v); }
Series byte_strings(std::initializer_list<std::string_view> v) { return text_col<11>(v); }

// Signed mantissas at one scale.
Series decimals(uint32_t scale, std::initializer_list<int64_t> mantissas) {
  Series s(kvt::in_kind<DataType::Decimal>);
  for (int64_t m : mantissas)
    kvt::get_kind<DataType::Decimal>(s).push_back(D64::from_mantissa(m, scale));
  return s;
}

template <size_t I, class F>
Series generated(size_t n, F value) {
  Series s(std::in_place_index<I>);
  for (size_t i = 0; i < n; ++i) std::get<I>(s).push_back(value(i));
  return s;
}

Variant v_null() { return Variant(kvt::in_kind<DataType::Null>); }
Variant v_datetime(int64_t x) { return Variant(kvt::in_kind<DataType::DateTime>, x); }
Variant v_int64(int64_t x) { return Variant(kvt::in_kind<DataType::Int64>, x); }
Variant v_float64(double x) { return Variant(kvt::in_kind<DataType::Float64>, x); }
Variant v_decimal(D64 x) { return Variant(kvt::in_kind<DataType::Decimal>, x); }
Variant v_string(std::string x) { return Variant(kvt::in_kind<DataType::String>, std::move(x)); }
Variant v_bool(bool x) { return Variant(kvt::in_kind<DataType::Bool>, x); }
Variant v_int32(int32_t x) { return Variant(kvt::in_kind<DataType::Int32>, x); }
Variant v_uint32(uint32_t x) { return Variant(kvt::in_kind<DataType::UInt32>, x); }
Variant v_uint64(uint64_t x) { return Variant(kvt::in_kind<DataType::UInt64>, x); }
Variant v_float32(float x) { return Variant(kvt::in_kind<DataType::Float32>, x); }
Variant v_bytes(std::string_view x) {
  return Variant(kvt::in_kind<DataType::Bytes>, std::vector<uint8_t>(x.begin(), x.end()));
}

MetaMap meta(std::initializer_list<std::pair<std::string, Variant>> entries) {
  MetaMap m;
  for (const auto& [k, v] : entries) m.insert(k, v);
  return m;
}

Field field(std::string name, Series s, std::optional<MetaMap> m = std::nullopt) {
  Field f;
  f.name = std::move(name);
  f.data_type = kvt::series_kind(s);
  f.meta = std::move(m);
  f.series = std::move(s);
  return f;
}

Field typed_field(std::string name, DataType t, Series s) {
  Field f = field(std::move(name), std::move(s));
  f.data_type = t;
  return f;
}

// A table as kvt.pack writes it: the module's format word, {"obj": name}, flag false.
Table packed(std::string obj, std::vector<Field> fields) {
  Table t;
  t.format_word = kvt::kFormatWord;
  t.fields = std::move(fields);
  t.meta = meta({{"obj", v_string(std::move(obj))}});
  return t;
}

constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();
constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kSecond = 1000000;  // microseconds
constexpr int64_t kDay = 86400 * kSecond;
constexpr int64_t kMarch2024 = 1709285400 * kSecond;  // 2024-03-01T09:30:00
constexpr int64_t kMaxMantissa = (int64_t{1} << 56) - 1;

double f64_bits(uint64_t b) { return std::bit_cast<double>(b); }
float f32_bits(uint32_t b) { return std::bit_cast<float>(b); }

std::string all_bytes(size_t from, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((from + i) & 0xFF);
  return s;
}

// Random tables within the roundtrip target's limits, drawn with sequenced calls only (the order
// of evaluation of function arguments is unspecified, and would change the draws).
Variant small_variant(kvt::testing::RandomSource& r) {
  switch (r.below(12)) {
    case 0:
      return v_null();
    case 1:
      return v_datetime(static_cast<int64_t>(r.integer()));
    case 2:
      return v_int64(static_cast<int64_t>(r.integer()));
    case 3:
      return v_float64(r.f64());
    case 4:
      return v_decimal(D64{r.next()});
    case 5: {
      const size_t chars = r.below(11);
      return v_string(r.utf8(chars));
    }
    case 6:
      return v_bool(r.chance(2));
    case 7:
      return v_int32(static_cast<int32_t>(r.integer()));
    case 8:
      return v_uint32(static_cast<uint32_t>(r.integer()));
    case 9:
      return v_uint64(r.integer());
    case 10:
      return v_float32(r.f32());
    default: {
      const size_t n = r.below(41);
      return v_bytes(r.bytes(n));
    }
  }
}

std::optional<MetaMap> small_meta(kvt::testing::RandomSource& r) {
  if (r.chance(2)) return std::nullopt;
  MetaMap m;
  for (size_t n = r.below(7); n > 0; --n) {
    const size_t chars = r.below(3);
    std::string key = r.utf8(chars);
    Variant value = small_variant(r);
    m.insert(std::move(key), std::move(value));
  }
  return m;
}

Series small_series(kvt::testing::RandomSource& r, uint32_t kind) {
  const size_t n = r.chance(4) ? r.below(65) : r.below(9);
  if (kind != 5 && kind != 11) return kvt::testing::random_series(r, kind, n);
  // Text of at most 6 characters (24 bytes), byte strings of at most 24 bytes.
  Series s =
      kind == 5 ? Series(kvt::in_kind<DataType::String>) : Series(kvt::in_kind<DataType::Bytes>);
  auto& c = kind == 5 ? kvt::get_kind<DataType::String>(s) : kvt::get_kind<DataType::Bytes>(s);
  for (size_t i = 0; i < n; ++i) {
    const size_t len = r.below(kind == 5 ? 7 : 25);
    c.push_back(kind == 5 ? r.utf8(len) : r.bytes(len));
  }
  return s;
}

Table small_table(kvt::testing::RandomSource& r) {
  Table t;
  t.format_word = r.chance(2) ? kvt::kFormatWord : static_cast<uint32_t>(r.integer());
  for (size_t n = r.below(13); n > 0; --n) {
    Field f;
    const size_t chars = r.below(4);
    f.name = r.utf8(chars);
    const auto kind = static_cast<uint32_t>(r.below(12));
    f.data_type = static_cast<DataType>(r.chance(6) ? r.below(12) : kind);
    f.meta = r.chance(3) ? small_meta(r) : std::nullopt;
    f.series = small_series(r, kind);
    t.fields.push_back(std::move(f));
  }
  t.meta = small_meta(r);
  t.flag = r.chance(4);
  return t;
}

// The named tables: each becomes an unpack seed (its frame region) and, when it is within the
// roundtrip target's limits, a roundtrip seed of the same name.
std::vector<std::pair<std::string, Table>> tables() {
  std::vector<std::pair<std::string, Table>> out;
  auto add = [&](std::string name, Table t) { out.emplace_back(std::move(name), std::move(t)); };

  // Null columns take the row count of the first column.
  add("null-column", packed("n", {field("n", null_col())}));
  add("null-after-int64", packed("n", {field("i", int64s({1, 2, 3})), field("n", null_col())}));
  add("null-first", packed("n", {field("n", null_col()), field("i", int64s({1, 2}))}));

  // DateTime: the writer picks a unit (the gcd of the first ten values) and writes steps.
  add("datetime-seconds",
      packed("ts", {field("ts", datetimes({kMarch2024, kMarch2024 + kSecond,
                                           kMarch2024 + 2 * kSecond, kMarch2024 + 2 * kSecond,
                                           kMarch2024 + 5 * kSecond, kMarch2024 + 6 * kSecond}))}));
  add("datetime-millis",
      packed("ts", {field("ts", datetimes({kMarch2024 + 1000, kMarch2024 + 3000, kMarch2024 + 4000,
                                           kMarch2024 + 250000, kMarch2024 + 251000}))}));
  add("datetime-days",
      packed("ts",
             {field("ts", datetimes({19000 * kDay, 19001 * kDay, 19002 * kDay, 19005 * kDay}))}));
  add("datetime-micros",
      packed("ts", {field("ts", datetimes({kMarch2024 + 1, kMarch2024 + 2, kMarch2024 + 7,
                                           kMarch2024 + 8, kMarch2024 + 13}))}));
  add("datetime-extremes",
      packed("ts", {field("ts", datetimes({kI64Min, kI64Max, 0, -1, 1, kI64Min + 1, kI64Max}))}));
  add("datetime-before-1970",
      packed("ts", {field("ts", datetimes({-kDay, -2 * kDay, -kSecond, -1, -kDay * 36500}))}));
  add("datetime-zeros-then-values",
      packed("ts", {field("ts", datetimes({0, 0, 0, 0, kMarch2024, kMarch2024 + kSecond}))}));
  add("datetime-regular-then-odd", packed("ts", {field("ts", generated<1>(14, [](size_t i) {
                                                         return kMarch2024 +
                                                                static_cast<int64_t>(i) * kSecond +
                                                                (i == 12 ? 1 : 0);
                                                       }))}));
  add("datetime-constant",
      packed("ts", {field("ts", datetimes({kMarch2024, kMarch2024, kMarch2024}))}));
  add("datetime-one", packed("ts", {field("ts", datetimes({kMarch2024}))}));
  add("datetime-empty", packed("ts", {field("ts", datetimes({}))}));
  add("datetime-64-rows", packed("ts", {field("ts", generated<1>(64, [](size_t i) {
                                                return kMarch2024 +
                                                       static_cast<int64_t>(i * i) * 1000;
                                              }))}));

  // Int64: zigzag varints, including each varint width boundary.
  add("int64-small", packed("i", {field("i", int64s({0, 1, -1, 2, -2, 100, -100}))}));
  add("int64-varint-edges",
      packed("i", {field("i", int64s({125, -126, 126, -32768, 32768, -2147483648LL, 2147483648LL,
                                      kI64Min, kI64Max}))}));
  add("int64-empty", packed("i", {field("i", int64s({}))}));
  add("int64-64-rows", packed("i", {field("i", generated<2>(64, [](size_t i) {
                                            return static_cast<int64_t>(i * 37) - 1000;
                                          }))}));

  // Float64 and Float32: raw IEEE bytes, bit for bit.
  add("float64-small", packed("f", {field("f", float64s({0.5, 1.0, -2.25, 187.25}))}));
  add("float64-zeros-inf-nan",
      packed("f", {field("f", float64s({0.0, -0.0, f64_bits(0x7FF0000000000000),
                                        f64_bits(0xFFF0000000000000), f64_bits(0x7FF8000000000000),
                                        f64_bits(0x7FF0000000000001), f64_bits(0xFFFFFFFFFFFFFFFF),
                                        f64_bits(1), f64_bits(0x7FEFFFFFFFFFFFFF),
                                        f64_bits(0x0010000000000000)}))}));
  add("float64-empty", packed("f", {field("f", float64s({}))}));
  add("float32-small", packed("f", {field("f", float32s({0.5f, 1.0f, -2.25f, 187.25f}))}));
  add("float32-zeros-inf-nan",
      packed("f",
             {field("f", float32s({0.0f, -0.0f, f32_bits(0x7F800000), f32_bits(0xFF800000),
                                   f32_bits(0x7FC00000), f32_bits(0x7F800001), f32_bits(0xFFFFFFFF),
                                   f32_bits(1), f32_bits(0x7F7FFFFF)}))}));

  // Decimal: one scale per column, differences of signed mantissas.
  add("decimal-cents", packed("d", {field("d", decimals(2, {18725, -300, 0, 1, 18725}))}));
  add("decimal-scale0", packed("d", {field("d", decimals(0, {1, 2, 3, -7, 1000000}))}));
  add("decimal-scale15", packed("d", {field("d", decimals(15, {1, 123456789012345, -5}))}));
  add("decimal-max-magnitude",
      packed("d", {field("d", decimals(4, {kMaxMantissa, -kMaxMantissa, kMaxMantissa, 0}))}));
  add("decimal-falling", packed("d", {field("d", decimals(3, {5000, 4000, 2500, -2500, -9000}))}));
  add("decimal-empty", packed("d", {field("d", decimals(7, {}))}));

  // String and Bytes: varint lengths, strict UTF-8 for strings.
  add("string-ascii", packed("s", {field("s", strings({"XNAS", "AAPL", "", "MSFT", "XNAS"}))}));
  add("string-utf8",
      packed("s",
             {field("s", strings({"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E",
                                  "na\xC3\xAFve caf\xC3\xA9",
                                  "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xF4\x8F\xBF\xBF"}))}));
  add("string-empty-elements", packed("s", {field("s", strings({"", "", ""}))}));
  add("string-repeated", packed("s", {field("s", generated<5>(40, [](size_t i) {
                                              return std::string_view(i % 3 ? "bid" : "ask");
                                            }))}));
  add("string-backslash", packed("s", {field("s", strings({"a\\b", "\\", "\\\\", "\\x"}))}));
  add("string-long", packed("s", {field("s", strings({std::string(300, 'q'), "x"}))}));
  add("string-empty", packed("s", {field("s", strings({}))}));
  add("bytes-all-values", packed("b", {field("b", generated<11>(11, [](size_t i) {
                                               static const std::string all = all_bytes(0, 256);
                                               return std::string_view(all).substr(i * 24, 24);
                                             }))}));
  add("bytes-empty-elements", packed("b", {field("b", byte_strings({"", "", ""}))}));
  add("bytes-not-utf8", packed("b", {field("b", byte_strings({"\xFF\xFE", "\xC3", "\xED\xA0\x80",
                                                              std::string_view("\0\0", 2)}))}));
  add("bytes-empty", packed("b", {field("b", byte_strings({}))}));

  // Bool and the 32-bit and unsigned integers.
  add("bool-mixed", packed("b", {field("b", bools({1, 0, 1, 1, 0}))}));
  add("bool-empty", packed("b", {field("b", bools({}))}));
  add("int32-small", packed("i", {field("i", int32s({0, 1, -1, 125, -126}))}));
  add("int32-extremes", packed("i", {field("i", int32s({kI32Min, kI32Max, -32768, 32768}))}));
  add("uint32-small", packed("u", {field("u", uint32s({0, 1, 250, 251}))}));
  add("uint32-extremes", packed("u", {field("u", uint32s({65535, 65536, kU32Max, 0}))}));
  add("uint64-small", packed("u", {field("u", uint64s({0, 1, 250, 251}))}));
  add("uint64-extremes", packed("u", {field("u", uint64s({0xFFFF, 0x10000, 0xFFFFFFFF, 0x100000000,
                                                          kU64Max, 0x8000000000000000}))}));

  // Metadata maps and values of every kind.
  {
    Table t = packed("m", {field("i", int64s({1}))});
    t.meta = std::nullopt;
    add("meta-absent", std::move(t));
  }
  {
    Table t = packed("m", {field("i", int64s({1}), MetaMap{})});
    t.meta = MetaMap{};
    add("meta-empty-maps", std::move(t));
  }
  {
    Table t = packed("m", {field("i", int64s({1}))});
    t.meta = meta({{"obj", v_string("AAPL")}, {"table", v_string("trades")}});
    add("meta-obj-and-table", std::move(t));
  }
  {
    Table t = packed("m", {field("i", int64s({1}))});
    t.meta = meta({{"null", v_null()},
                   {"ts", v_datetime(kMarch2024)},
                   {"i64", v_int64(-7)},
                   {"f64", v_float64(2.5)},
                   {"dec", v_decimal(D64::from_mantissa(-1234, 2))},
                   {"str", v_string("value")}});
    add("meta-values-null-to-string", std::move(t));
  }
  {
    Table t = packed("m", {field("i", int64s({1}))});
    t.meta = meta({{"bool", v_bool(true)},
                   {"i32", v_int32(-9)},
                   {"u32", v_uint32(9)},
                   {"u64", v_uint64(kU64Max)},
                   {"f32", v_float32(0.25f)},
                   {"bytes", v_bytes(std::string_view("\0\xFF", 2))}});
    add("meta-values-bool-to-bytes", std::move(t));
  }
  {
    Table t = packed("m", {field("i", int64s({1}))});
    t.meta = meta({{"min", v_int64(kI64Min)},
                   {"nan", v_float64(f64_bits(0x7FF0000000000123))},
                   {"dnan", v_decimal(D64::nan())},
                   {"dinf", v_decimal(D64::infinity())},
                   {"dbits", v_decimal(D64{0x0123456789ABCDEF})},
                   {"s40", v_string(std::string(40, 's'))}});
    add("meta-edge-values", std::move(t));
  }
  add("meta-field-maps", packed("m", {field("a", int64s({1, 2}),
                                            meta({{"unit", v_string("ms")}, {"x", v_bool(false)}})),
                                      field("b", float64s({1.5, 2.5}), meta({{"", v_null()}})),
                                      field("c", strings({"x", "y"}))}));
  add("meta-utf8-keys", packed("m", {field("a", int64s({1}),
                                           meta({{"\xC3\xA9", v_int32(1)},
                                                 {"\xE2\x82\xAC", v_int32(2)},
                                                 {"\xF0\x9D\x84\x9E", v_int32(3)},
                                                 {"", v_int32(4)}}))}));
  {
    // More keys than a map searches linearly: the keyed index is built.
    Table t = packed("m", {field("i", int64s({1}))});
    MetaMap m;
    for (int i = 0; i < 20; ++i) m.insert("key" + std::to_string(i), v_int64(i));
    t.meta = std::move(m);
    add("meta-many-keys", std::move(t));
  }

  // Table shapes.
  add("empty-table", Table{});
  add("empty-table-packed", packed("empty", {}));
  {
    Table t = packed("flag", {field("i", int64s({1}))});
    t.flag = true;
    add("flag-set", std::move(t));
  }
  {
    Table t = packed("fw", {field("i", int64s({1}))});
    t.format_word = kU32Max;
    add("format-word-max", t);
    t.format_word = 7;
    add("format-word-small", t);
  }
  add("all-kinds",
      packed("all",
             {field("n", null_col()), field("ts", datetimes({kMarch2024, kMarch2024 + kSecond})),
              field("i64", int64s({-1, 1})), field("f64", float64s({0.5, -0.5})),
              field("dec", decimals(2, {150, -25})), field("str", strings({"a", "\xC3\xA9"})),
              field("bool", bools({0, 1})), field("i32", int32s({-5, 5})),
              field("u32", uint32s({5, kU32Max})), field("u64", uint64s({5, kU64Max})),
              field("f32", float32s({0.5f, -0.5f})), field("bytes", byte_strings({"\x01", ""}))}));
  add("all-kinds-empty",
      packed("all", {field("n", null_col()), field("ts", datetimes({})), field("i64", int64s({})),
                     field("f64", float64s({})), field("dec", decimals(0, {})),
                     field("str", strings({})), field("bool", bools({})), field("i32", int32s({})),
                     field("u32", uint32s({})), field("u64", uint64s({})),
                     field("f32", float32s({})), field("bytes", byte_strings({}))}));
  add("unequal-lengths", packed("u", {field("a", int64s({1, 2, 3})), field("b", float64s({1.0})),
                                      field("c", strings({}))}));
  add("data-type-mismatch", packed("t", {typed_field("a", DataType::String, int64s({1, 2})),
                                         typed_field("b", DataType::Bytes, null_col()),
                                         typed_field("c", DataType::DateTime, float64s({1.0, 2.0})),
                                         typed_field("d", DataType::Null, strings({"x", "y"}))}));
  add("names-utf8", packed("n", {field("\xC3\xA9t\xC3\xA9", int64s({1})),
                                 field("\xF0\x9D\x84\x9E\xE2\x82\xAC", int64s({2}))}));
  add("names-empty", packed("n", {field("", int64s({1})), field("", int64s({2}))}));
  add("names-duplicate", packed("n", {field("x", int64s({1})), field("x", strings({"a"}))}));
  add("market-like",
      packed("AAPL",
             {field("ts", generated<1>(20,
                                       [](size_t i) {
                                         return kMarch2024 + static_cast<int64_t>(i / 3) * kSecond +
                                                static_cast<int64_t>(i % 3) * 1000;
                                       })),
              field("sym",
                    generated<5>(
                        20, [](size_t i) { return std::string_view(i % 4 ? "AAPL" : "MSFT"); })),
              field("px", generated<3>(20, [](size_t i) { return 187.25 + 0.01 * i; })),
              field("qty", generated<2>(20,
                                        [](size_t i) {
                                          return static_cast<int64_t>(i % 5 == 0 ? -100
                                                                                 : 100 * (i % 7));
                                        })),
              field("dpx", generated<4>(20,
                                        [](size_t i) {
                                          return D64::from_mantissa(18725 + static_cast<int64_t>(i),
                                                                    2);
                                        })),
              field("buy",
                    generated<6>(20, [](size_t i) { return static_cast<uint8_t>(i % 3 == 0); }))}));
  // The frame of the worked example in docs/format.md.
  add("worked-example",
      packed("AAPL", {field("ts", datetimes({kMarch2024, kMarch2024 + kSecond})),
                      field("qty", int64s({100, -3})), field("px", float64s({187.25})),
                      field("venue", strings({"XNAS"}))}));

  kvt::testing::RandomSource rng(20240301);
  for (int i = 0; i < 16; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "random-%02d", i);
    add(name, small_table(rng));
  }
  return out;
}

// ---- roundtrip_fuzzer's input language ----

// The input that makes FuzzedDataProvider return a chosen sequence of values. Integers come from
// the end of the input (the first one from the last bytes, its most significant byte first, as
// many bytes as the range needs); strings come from the start, a backslash doubled, and a
// backslash followed by another byte ends a string shorter than its limit.
class ProviderInput {
 public:
  template <class T>
  bool in_range(T value, T min, T max) {
    if (value < min || value > max) return false;
    const uint64_t offset = static_cast<uint64_t>(value) - static_cast<uint64_t>(min);
    const uint64_t range = static_cast<uint64_t>(max) - static_cast<uint64_t>(min);
    int n = 0;
    while (n < static_cast<int>(sizeof(T)) && (range >> (8 * n)) > 0) ++n;
    for (int i = n - 1; i >= 0; --i) back_.push_back(static_cast<uint8_t>(offset >> (8 * i)));
    return true;
  }
  template <class T>
  void integral(T value) {
    in_range(value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }
  void boolean(bool b) { integral<uint8_t>(b ? 1 : 0); }
  bool string(std::string_view s, size_t max) {
    if (s.size() > max) return false;
    for (char c : s) {
      front_.push_back(static_cast<uint8_t>(c));
      if (c == '\\') front_.push_back('\\');
    }
    if (s.size() < max) {
      front_.push_back('\\');
      front_.push_back('.');
    }
    return true;
  }
  Bytes bytes() const {
    Bytes out = front_;
    out.insert(out.end(), back_.rbegin(), back_.rend());
    return out;
  }

 private:
  Bytes front_;
  Bytes back_;
};

bool put_variant(ProviderInput& in, const Variant& v) {
  in.in_range<int>(static_cast<int>(v.index()), 0, 11);
  switch (v.index()) {
    case 0:
      return true;
    case 1:
      in.integral(kvt::get_kind<DataType::DateTime>(v));
      return true;
    case 2:
      in.integral(kvt::get_kind<DataType::Int64>(v));
      return true;
    case 3:
      in.integral(std::bit_cast<uint64_t>(kvt::get_kind<DataType::Float64>(v)));
      return true;
    case 4:
      in.integral(kvt::get_kind<DataType::Decimal>(v).bits);
      return true;
    case 5:
      return in.string(kvt::get_kind<DataType::String>(v), 40);
    case 6:
      in.boolean(kvt::get_kind<DataType::Bool>(v));
      return true;
    case 7:
      in.integral(kvt::get_kind<DataType::Int32>(v));
      return true;
    case 8:
      in.integral(kvt::get_kind<DataType::UInt32>(v));
      return true;
    case 9:
      in.integral(kvt::get_kind<DataType::UInt64>(v));
      return true;
    case 10:
      in.integral(std::bit_cast<uint32_t>(kvt::get_kind<DataType::Float32>(v)));
      return true;
    default: {
      const auto& b = kvt::get_kind<DataType::Bytes>(v);
      return in.string(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()), 40);
    }
  }
}

// The fuzzer reads each key before its value: clang evaluates the arguments of
// m.insert(text(p, 8), variant(p)) from left to right, and both may take a string from the front.
bool put_meta(ProviderInput& in, const std::optional<MetaMap>& m) {
  in.boolean(m.has_value());
  if (!m) return true;
  if (!in.in_range<int>(static_cast<int>(m->size()), 0, 6)) return false;
  for (const auto& [key, value] : *m) {
    if (!in.string(key, 8) || !put_variant(in, value)) return false;
  }
  return true;
}

// Timestamps are a unit (1 to 2^20 times 1, 1000 or 10^6), a start, then per element either a
// step of 0 to 3 units or any value. The unit is the smallest difference when that is one.
void put_datetimes(ProviderInput& in, const kvt::Vec<int64_t>& v) {
  uint64_t smallest = 0;
  for (size_t i = 1; i < v.size(); ++i) {
    const uint64_t d = static_cast<uint64_t>(v[i]) - static_cast<uint64_t>(v[i - 1]);
    if (d != 0 && d < (uint64_t{1} << 40) && (smallest == 0 || d < smallest)) smallest = d;
  }
  int64_t factor = 1;
  size_t pick = 0;
  static constexpr uint64_t kScales[] = {1, 1000, 1000000};
  for (size_t k = 3; k-- > 0;) {
    if (smallest != 0 && smallest % kScales[k] == 0 && smallest / kScales[k] <= (1u << 20)) {
      factor = static_cast<int64_t>(smallest / kScales[k]);
      pick = k;
      break;
    }
  }
  const uint64_t unit = static_cast<uint64_t>(factor) * kScales[pick];
  in.in_range<int64_t>(factor, 1, 1 << 20);
  in.in_range<size_t>(pick, 0, 2);
  uint64_t x = v.empty() ? 0 : static_cast<uint64_t>(v[0]);
  in.integral(x);
  for (int64_t value : v) {
    const uint64_t d = static_cast<uint64_t>(value) - x;
    uint64_t steps = 4;
    for (uint64_t k = 0; k < 4; ++k) {
      if (unit * k == d) steps = k;
    }
    if (steps < 4) {
      in.boolean(true);
      in.in_range<uint64_t>(steps, 0, 3);
    } else {
      in.boolean(false);
      in.integral(static_cast<uint64_t>(value));
    }
    x = static_cast<uint64_t>(value);
  }
}

bool put_series(ProviderInput& in, const Series& s) {
  const size_t n = kvt::series_length(s);
  if (!in.in_range<size_t>(n, 0, 64)) return false;
  switch (s.index()) {
    case 0:
      return true;
    case 1:
      put_datetimes(in, kvt::get_kind<DataType::DateTime>(s));
      return true;
    case 2:
      for (int64_t x : kvt::get_kind<DataType::Int64>(s)) in.integral(x);
      return true;
    case 3:
      for (double x : kvt::get_kind<DataType::Float64>(s)) in.integral(std::bit_cast<uint64_t>(x));
      return true;
    case 4: {
      const auto& c = kvt::get_kind<DataType::Decimal>(s);
      const uint32_t scale = c.empty() ? 0 : c[0].scale();
      in.in_range<uint32_t>(scale, 0, 15);
      for (D64 d : c) {
        if (d.scale() != scale || d.is_nan() || d.is_infinite() || (d.bits & 8) != 0) return false;
        if (d.magnitude() == 0 && d.is_negative()) return false;
        in.in_range<uint64_t>(d.magnitude(), 0, kvt::kD64MagnitudeLimit - 1);
        if (d.magnitude() != 0) in.boolean(d.is_negative());
      }
      return true;
    }
    case 5:
    case 11: {
      const auto& c =
          s.index() == 5 ? kvt::get_kind<DataType::String>(s) : kvt::get_kind<DataType::Bytes>(s);
      for (size_t i = 0; i < c.size(); ++i) {
        if (!in.string(c[i], 24)) return false;
      }
      return true;
    }
    case 6:
      for (uint8_t b : kvt::get_kind<DataType::Bool>(s)) {
        if (b > 1) return false;
        in.boolean(b != 0);
      }
      return true;
    case 7:
      for (int32_t x : kvt::get_kind<DataType::Int32>(s)) in.integral(x);
      return true;
    case 8:
      for (uint32_t x : kvt::get_kind<DataType::UInt32>(s)) in.integral(x);
      return true;
    case 9:
      for (uint64_t x : kvt::get_kind<DataType::UInt64>(s)) in.integral(x);
      return true;
    default:
      for (float x : kvt::get_kind<DataType::Float32>(s)) in.integral(std::bit_cast<uint32_t>(x));
      return true;
  }
}

// The roundtrip input that builds exactly `t`, or nullopt when t is outside the target's limits.
std::optional<Bytes> roundtrip_input(const Table& t) {
  ProviderInput in;
  in.integral(t.format_word);
  if (!in.in_range<int>(static_cast<int>(t.fields.size()), 0, 12)) return std::nullopt;
  for (const Field& f : t.fields) {
    if (!in.string(f.name, 12)) return std::nullopt;
    in.in_range<int>(static_cast<int>(f.series.index()), 0, 11);
    in.in_range<int>(static_cast<int>(f.data_type), 0, 11);
    if (!put_meta(in, f.meta) || !put_series(in, f.series)) return std::nullopt;
  }
  if (!put_meta(in, t.meta)) return std::nullopt;
  in.boolean(t.flag);
  return in.bytes();
}

// ---- hand-made bodies ----

class Body {
 public:
  Body& u8(uint8_t b) {
    bytes_.push_back(b);
    return *this;
  }
  Body& raw(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  // Shortest form: 0-250 in one byte, else FB + u16, FC + u32, FD + u64.
  Body& varint(uint64_t v) {
    if (v <= 250) return u8(static_cast<uint8_t>(v));
    if (v <= 0xFFFF) return u8(0xFB).le(v, 2);
    if (v <= 0xFFFFFFFF) return u8(0xFC).le(v, 4);
    return u8(0xFD).le(v, 8);
  }
  // A varint in the form of `marker` (FB, FC or FD) whatever its value.
  Body& long_varint(uint8_t marker, uint64_t v) {
    return u8(marker).le(v, marker == 0xFB ? 2 : marker == 0xFC ? 4 : 8);
  }
  Body& signed_varint(int64_t v) {
    return varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
  }
  Body& str(std::string_view s) { return varint(s.size()).raw(s); }
  Body& le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  // Format word and field count.
  Body& table(uint64_t fields) { return varint(kvt::kFormatWord).varint(fields); }
  // Name, data type, no metadata, series kind: what precedes a column payload.
  Body& field(std::string_view name, uint8_t kind) { return str(name).u8(kind).u8(0).u8(kind); }
  // No table metadata, flag false.
  Body& end() { return u8(0).u8(0); }
  Body& fill(uint8_t b, size_t n) {
    bytes_.insert(bytes_.end(), n, b);
    return *this;
  }
  Body& cut(size_t n) {
    bytes_.resize(n);
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

Bytes with_checksum(Bytes body) {
  const uint32_t crc = kvt::crc32(body.data(), body.size());
  for (int i = 0; i < 4; ++i) body.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  return body;
}

constexpr uint64_t kHuge = uint64_t{1} << 62;

std::vector<std::pair<std::string, Bytes>> bodies() {
  std::vector<std::pair<std::string, Bytes>> out;
  auto add = [&](std::string name, const Body& b) {
    out.emplace_back(std::move(name), with_checksum(b.bytes()));
  };

  // Counts and lengths far beyond the bytes that follow.
  add("bad-field-count-huge", Body().table(kHuge).fill(0, 16));
  add("bad-field-count-u32",
      Body().varint(kvt::kFormatWord).long_varint(0xFC, kU32Max).fill(0, 16));
  add("bad-name-length-huge", Body().table(1).varint(kHuge).raw("name"));
  static constexpr const char* kKindNames[] = {"null",    "datetime", "int64",   "float64",
                                               "decimal", "string",   "bool",    "int32",
                                               "uint32",  "uint64",   "float32", "bytes"};
  for (uint8_t kind = 1; kind <= 11; ++kind) {
    // DateTime and Decimal columns write their count plus one.
    add(std::string("bad-count-huge-") + kKindNames[kind],
        Body().table(1).field("c", kind).varint(kHuge).fill(1, 24).end());
  }
  add("bad-string-length-huge",
      Body().table(1).field("s", 5).varint(2).str("ok").varint(kHuge).raw("x"));
  add("bad-bytes-length-huge", Body().table(1).field("b", 11).varint(1).varint(kHuge).raw("x"));
  add("bad-meta-count-huge", Body().table(1).str("m").u8(2).u8(1).varint(kHuge).raw("k"));
  add("bad-table-meta-count-huge", Body().table(0).u8(1).varint(kHuge).str("k").u8(0));
  add("bad-meta-key-length-huge", Body().table(0).u8(1).varint(1).varint(kHuge).raw("k"));

  // Invalid tags and bytes.
  add("bad-data-type", Body().table(1).str("x").u8(12).u8(0).u8(2).varint(0).end());
  add("bad-series-kind", Body().table(1).str("x").u8(2).u8(0).u8(0xFF).varint(0).end());
  add("bad-meta-option", Body().table(1).str("x").u8(2).u8(2).u8(2).varint(0).end());
  add("bad-meta-value-kind", Body().table(0).u8(1).varint(1).str("k").u8(12).u8(0).u8(0));
  add("bad-bool-value", Body().table(1).field("b", 6).varint(3).u8(0).u8(1).u8(2).end());
  add("bad-meta-bool-value", Body().table(0).u8(1).varint(1).str("k").u8(6).u8(7).u8(0));
  add("bad-flag-value", Body().table(0).u8(0).u8(2));
  add("bad-name-utf8-truncated",
      Body().table(1).str("ab\xE2\x82").u8(2).u8(0).u8(2).varint(0).end());
  add("bad-name-utf8-surrogate",
      Body().table(1).str("\xED\xA0\x80").u8(2).u8(0).u8(2).varint(0).end());
  add("bad-name-utf8-overlong", Body().table(1).str("\xC0\xAF").u8(2).u8(0).u8(2).varint(0).end());
  add("bad-string-utf8",
      Body().table(1).field("s", 5).varint(2).str("ok").str("\xF4\x90\x80\x80").end());
  add("bad-meta-key-utf8", Body().table(0).u8(1).varint(1).str("\xFF").u8(0).u8(0));
  add("bad-varint-marker", Body().table(1).field("i", 2).u8(0xFE).fill(0, 8).end());

  // Bodies that end early, or go on after the flag.
  add("bad-truncated-format-word", Body().u8(0xFC).u8(1).u8(0));
  add("bad-truncated-field", Body().table(2).field("i", 2).varint(1).varint(2));
  add("bad-truncated-float64", Body().table(1).field("f", 3).varint(2).fill(0, 11));
  add("bad-truncated-meta-value", Body().table(0).u8(1).varint(1).str("k").u8(3).fill(0, 5));
  add("bad-missing-flag", Body().table(0).u8(0));
  add("body-trailing-bytes", Body().table(0).end().raw("extra"));
  add("body-empty", Body());

  // Accepted forms the writer does not produce.
  add("body-long-varints", Body()
                               .varint(kvt::kFormatWord)
                               .long_varint(0xFB, 2)
                               .long_varint(0xFC, 1)
                               .raw("a")
                               .u8(2)
                               .u8(0)
                               .u8(2)
                               .long_varint(0xFD, 2)
                               .long_varint(0xFB, 4)
                               .long_varint(0xFD, 1)
                               .str("b")
                               .u8(5)
                               .u8(0)
                               .u8(5)
                               .long_varint(0xFC, 1)
                               .long_varint(0xFB, 3)
                               .raw("xyz")
                               .u8(1)
                               .long_varint(0xFD, 1)
                               .long_varint(0xFB, 3)
                               .raw("obj")
                               .u8(5)
                               .varint(1)
                               .raw("v")
                               .u8(0));
  add("body-datetime-unit-zero", Body()
                                     .table(1)
                                     .field("ts", 1)
                                     .varint(4)
                                     .signed_varint(0)
                                     .signed_varint(5)
                                     .signed_varint(1)
                                     .signed_varint(-1)
                                     .end());
  add("body-datetime-overflow", Body()
                                    .table(1)
                                    .field("ts", 1)
                                    .varint(3)
                                    .signed_varint(kI64Max)
                                    .signed_varint(2)
                                    .signed_varint(kI64Max)
                                    .end());
  add("body-datetime-negative-unit", Body()
                                         .table(1)
                                         .field("ts", 1)
                                         .varint(3)
                                         .signed_varint(-1000)
                                         .signed_varint(5)
                                         .signed_varint(-3)
                                         .end());
  add("body-decimal-overflow", Body()
                                   .table(1)
                                   .field("d", 4)
                                   .varint(4)
                                   .signed_varint(2)
                                   .signed_varint(kMaxMantissa)
                                   .signed_varint(kMaxMantissa)
                                   .signed_varint(-kI64Max)
                                   .end());
  add("body-decimal-scale-16",
      Body().table(1).field("d", 4).varint(2).signed_varint(16).signed_varint(1).end());
  add("body-decimal-scale-negative",
      Body().table(1).field("d", 4).varint(2).signed_varint(-1).signed_varint(1).end());
  add("body-meta-duplicate-keys", Body()
                                      .table(0)
                                      .u8(1)
                                      .varint(3)
                                      .str("k")
                                      .u8(2)
                                      .signed_varint(1)
                                      .str("k")
                                      .u8(5)
                                      .str("v")
                                      .str("j")
                                      .u8(0)
                                      .u8(0));
  {
    // A wide first column, then Null fields that each take its row count: refused by the budget.
    Body b;
    b.table(301).field("wide", 2).varint(1000).fill(0, 1000);
    for (int i = 0; i < 300; ++i) b.field("", 0);
    add("body-null-amplifier", b.end());
  }
  {
    Body b;
    b.table(900);
    for (int i = 0; i < 900; ++i) b.field("", 0);
    add("body-many-null-fields", b.end());
  }
  {
    Body b;
    b.table(1).field("s", 5).varint(1500);
    for (int i = 0; i < 1500; ++i) b.varint(1).raw(i % 2 ? "a" : "b");
    add("body-many-short-strings", b.end());
  }
  return out;
}

// ---- output ----

std::map<std::string, Bytes> g_written[2];

void add_seed(int target, const std::string& name, Bytes bytes) {
  if (bytes.size() > kMaxSeedSize) fail(name + " is longer than " + std::to_string(kMaxSeedSize));
  if (!g_written[target].emplace(name, std::move(bytes)).second) fail("two seeds named " + name);
}

Bytes frame_of(const Table& t) {
  auto frame = kvt::pack_table_ref_frame(kvt::as_ref(t));
  if (!frame) fail("a table does not pack: " + frame.error().to_string());
  return *frame;
}

void write_dir(const std::filesystem::path& dir, const std::map<std::string, Bytes>& seeds) {
  std::filesystem::create_directories(dir);
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".bin") std::filesystem::remove(entry.path());
  }
  for (const auto& [name, bytes] : seeds) {
    std::ofstream(dir / (name + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr,
                 "usage: make_seeds DIR   (writes DIR/unpack/*.bin, DIR/roundtrip/*.bin)\n");
    return 2;
  }
  constexpr int kUnpack = 0, kRoundtrip = 1;
  Table worked, all_kinds;
  for (auto& [name, t] : tables()) {
    const Bytes frame = frame_of(t);
    if (frame.size() - kvt::kHeaderSize <= kMaxSeedSize) {
      add_seed(kUnpack, name, Bytes(frame.begin() + kvt::kHeaderSize, frame.end()));
    }
    if (auto in = roundtrip_input(t)) {
      if (in->size() <= kMaxSeedSize) add_seed(kRoundtrip, name, std::move(*in));
    }
    if (name == "worked-example") worked = t;
    if (name == "all-kinds") all_kinds = t;
  }
  for (auto& [name, region] : bodies()) add_seed(kUnpack, name, std::move(region));

  // Whole frames: the unpack target reads its input as one as well.
  const Bytes frame = frame_of(worked);
  add_seed(kUnpack, "frame-worked-example", frame);
  add_seed(kUnpack, "frame-all-kinds", frame_of(all_kinds));
  Bytes twice = frame;
  twice.insert(twice.end(), frame.begin(), frame.end());
  add_seed(kUnpack, "frame-followed-by-frame", twice);
  Bytes bad = frame;
  bad[0] ^= 1;
  add_seed(kUnpack, "frame-bad-magic", bad);
  bad = frame;
  bad[2] = 2;
  add_seed(kUnpack, "frame-bad-version", bad);
  bad = frame;
  bad[bad.size() - 1] ^= 0x80;
  add_seed(kUnpack, "frame-bad-checksum", bad);
  bad = frame;
  bad[kvt::kHeaderSize + 3] ^= 1;
  add_seed(kUnpack, "frame-bad-body", bad);
  bad = frame;
  bad[4] = 3;
  bad[5] = bad[6] = bad[7] = 0;
  add_seed(kUnpack, "frame-length-3", bad);
  bad = frame;
  bad[4] += 1;
  add_seed(kUnpack, "frame-length-past-end", bad);
  add_seed(kUnpack, "frame-header-only", Bytes(frame.begin(), frame.begin() + kvt::kHeaderSize));
  Bytes empty_body(frame.begin(), frame.begin() + kvt::kHeaderSize);
  empty_body[4] = 4;
  empty_body[5] = empty_body[6] = empty_body[7] = 0;
  const Bytes crc_of_nothing = with_checksum({});
  empty_body.insert(empty_body.end(), crc_of_nothing.begin(), crc_of_nothing.end());
  add_seed(kUnpack, "frame-empty-body", empty_body);

  const std::filesystem::path dir = argv[1];
  write_dir(dir / "unpack", g_written[kUnpack]);
  write_dir(dir / "roundtrip", g_written[kRoundtrip]);
  std::printf("make_seeds: %zu unpack and %zu roundtrip seeds in %s\n", g_written[kUnpack].size(),
              g_written[kRoundtrip].size(), dir.c_str());
  return 0;
}
