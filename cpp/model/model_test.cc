#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "model/meta_map.h"
#include "model/pages.h"
#include "model/table.h"

namespace kvt {
namespace {

// ---------------------------------------------------------------------------------------------
// MetaMap

TEST(MetaMap, EmptyMapFindsNothing) {
  MetaMap m;
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.find("obj"), nullptr);
  EXPECT_EQ(m.find(""), nullptr);
}

TEST(MetaMap, SecondInsertOfAKeyReplacesTheFirst) {
  MetaMap m;
  m.insert("obj", Variant(std::in_place_index<5>, "first"));
  m.insert("obj", Variant(std::in_place_index<2>, int64_t{7}));
  ASSERT_EQ(m.size(), 1u);
  const Variant* v = m.find("obj");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->index(), 2u);
  EXPECT_EQ(std::get<2>(*v), 7);
}

TEST(MetaMap, KeysAreExactByteStrings) {
  MetaMap m;
  m.insert("obj", Variant(std::in_place_index<5>, "lower"));
  m.insert("OBJ", Variant(std::in_place_index<5>, "upper"));
  m.insert("", Variant(std::in_place_index<6>, true));
  m.insert(std::string("o\0j", 3), Variant(std::in_place_index<7>, int32_t{3}));
  EXPECT_EQ(m.size(), 4u);
  EXPECT_EQ(std::get<5>(*m.find("obj")), "lower");
  EXPECT_EQ(std::get<5>(*m.find("OBJ")), "upper");
  EXPECT_EQ(m.find("Obj"), nullptr);
  EXPECT_EQ(m.find("obj "), nullptr);
  EXPECT_EQ(m.find("ob"), nullptr);
  EXPECT_EQ(m.find("o"), nullptr);
  EXPECT_TRUE(std::get<6>(*m.find("")));
  EXPECT_EQ(std::get<7>(*m.find(std::string_view("o\0j", 3))), 3);
}

TEST(MetaMap, ReplacingKeepsTheFirstInsertPosition) {
  MetaMap m;
  for (const char* k : {"a", "b", "c"}) m.insert(k, Variant(std::in_place_index<5>, k));
  m.insert("a", Variant(std::in_place_index<9>, uint64_t{1}));
  std::vector<std::string> keys;
  for (const auto& [k, v] : m) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "b", "c"}));
}

// Sizes around the switch from linear search to the index, and well past it.
class MetaMapSized : public ::testing::TestWithParam<int> {};

std::string named(std::string_view prefix, int i) {
  std::string s(prefix);
  s.append(std::to_string(i));
  return s;
}

std::string key_of(int i) { return named("key", i); }

TEST_P(MetaMapSized, FindsAndReplacesEveryKey) {
  const int n = GetParam();
  MetaMap m;
  for (int i = 0; i < n; ++i) m.insert(key_of(i), Variant(std::in_place_index<2>, int64_t{i}));
  ASSERT_EQ(m.size(), static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const Variant* v = m.find(key_of(i));
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(std::get<2>(*v), i);
  }
  EXPECT_EQ(m.find(key_of(n)), nullptr);
  EXPECT_EQ(m.find("KEY0"), nullptr);

  // Replace every other key with a value of another kind; the size must not change.
  for (int i = 0; i < n; i += 2) m.insert(key_of(i), Variant(std::in_place_index<5>, key_of(-i)));
  ASSERT_EQ(m.size(), static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const Variant* v = m.find(key_of(i));
    ASSERT_NE(v, nullptr) << i;
    if (i % 2 == 0) {
      EXPECT_EQ(std::get<5>(*v), key_of(-i));
    } else {
      EXPECT_EQ(std::get<2>(*v), i);
    }
  }
  size_t visited = 0;
  for (const auto& [k, v] : m) {
    EXPECT_EQ(m.find(k), &v);
    ++visited;
  }
  EXPECT_EQ(visited, static_cast<size_t>(n));

  // Copies and moves keep a working lookup.
  MetaMap copy = m;
  MetaMap moved = std::move(m);
  for (int i = 0; i < n; i += std::max(1, n / 50)) {
    ASSERT_NE(copy.find(key_of(i)), nullptr) << i;
    ASSERT_NE(moved.find(key_of(i)), nullptr) << i;
    EXPECT_EQ(*copy.find(key_of(i)), *moved.find(key_of(i)));
  }
  copy.insert(key_of(1), Variant(std::in_place_index<6>, false));
  EXPECT_EQ(copy.size(), static_cast<size_t>(n));
  EXPECT_EQ(std::get<6>(*copy.find(key_of(1))), false);
  EXPECT_EQ(std::get<2>(*moved.find(key_of(1))), 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MetaMapSized, ::testing::Values(2, 8, 9, 10, 17, 5000));

TEST(MetaMap, EqualityIgnoresOrderButNotValuesOrKinds) {
  auto build = [](std::vector<int> order) {
    MetaMap m;
    for (int i : order) m.insert(key_of(i), Variant(std::in_place_index<2>, int64_t{i}));
    return m;
  };
  std::vector<int> forward, backward;
  for (int i = 0; i < 20; ++i) forward.push_back(i);
  backward.assign(forward.rbegin(), forward.rend());
  EXPECT_EQ(build(forward), build(backward));
  EXPECT_EQ(build({1, 2}), build({2, 1}));
  EXPECT_EQ(MetaMap(), MetaMap());

  EXPECT_NE(build({1, 2}), build({1, 2, 3}));
  EXPECT_NE(build({1, 2, 3}), build({1, 2}));
  EXPECT_NE(build({1, 2}), build({1, 3}));
  EXPECT_NE(MetaMap(), build({1}));

  // Same key and same number, different kind (DateTime vs Int64): not equal.
  MetaMap a = build({1});
  MetaMap b;
  b.insert(key_of(1), Variant(std::in_place_index<1>, int64_t{1}));
  EXPECT_NE(a, b);

  MetaMap c = build(forward);
  c.insert(key_of(19), Variant(std::in_place_index<2>, int64_t{-1}));
  EXPECT_NE(c, build(forward));
}

// ---------------------------------------------------------------------------------------------
// Table

Field field_of(std::string name, Series s) {
  Field f;
  f.name = std::move(name);
  f.data_type = series_kind(s);
  f.series = std::move(s);
  return f;
}

Series int64s(std::initializer_list<int64_t> v) {
  return Series(std::in_place_index<2>, Vec<int64_t>(v));
}

TEST(RowCount, NoFieldsIsZero) {
  Table t;
  EXPECT_EQ(row_count(t), 0u);
}

TEST(RowCount, FirstNullColumnIsZeroWhateverFollows) {
  Table t;
  t.fields.push_back(field_of("n", Series(std::in_place_index<0>)));
  t.fields.push_back(field_of("x", int64s({1, 2, 3, 4, 5})));
  EXPECT_EQ(row_count(t), 0u);
}

TEST(RowCount, TakesTheFirstColumnOnly) {
  Table t;
  t.fields.push_back(field_of("a", int64s({1, 2, 3})));
  t.fields.push_back(field_of("b", int64s({1, 2, 3, 4, 5})));
  EXPECT_EQ(row_count(t), 3u);

  Table u;
  StringColumn s;
  s.push_back("x");
  s.push_back("");
  u.fields.push_back(field_of("s", Series(std::in_place_index<5>, std::move(s))));
  u.fields.push_back(field_of("n", Series(std::in_place_index<0>)));
  EXPECT_EQ(row_count(u), 2u);
}

TEST(GetTableMeta, AbsentOrEmptyMapGivesNothing) {
  Table t;
  EXPECT_EQ(get_table_meta(t, "obj"), nullptr);
  t.meta.emplace();
  EXPECT_EQ(get_table_meta(t, "obj"), nullptr);
  EXPECT_EQ(get_table_meta(t, ""), nullptr);
}

TEST(GetTableMeta, ReturnsTheStoredVariantOfAnyKind) {
  Table t;
  t.meta.emplace();
  t.meta->insert("obj", Variant(std::in_place_index<2>, int64_t{42}));
  t.meta->insert("table", Variant(std::in_place_index<5>, "trades"));
  const Variant* obj = get_table_meta(t, "obj");
  ASSERT_NE(obj, nullptr);
  EXPECT_EQ(obj->index(), 2u);
  EXPECT_EQ(std::get<2>(*obj), 42);
  const Variant* table = get_table_meta(t, "table");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(std::get<5>(*table), "trades");
  EXPECT_EQ(get_table_meta(t, "Table"), nullptr);
  EXPECT_EQ(get_table_meta(t, "missing"), nullptr);
}

TEST(IntoFields, HandsOverFieldsInOrder) {
  Table t;
  t.format_word = kFormatWord;
  t.meta.emplace();
  t.meta->insert("obj", Variant(std::in_place_index<5>, "o"));
  for (int i = 0; i < 5; ++i) {
    Field f = field_of(named("c", i), int64s({i, i + 1}));
    if (i == 2) {
      f.meta.emplace();
      f.meta->insert("unit", Variant(std::in_place_index<5>, "ms"));
    }
    t.fields.push_back(std::move(f));
  }
  const int64_t* first_data = std::get<2>(t.fields[0].series).data();

  std::vector<Field> fields = into_fields(std::move(t));
  ASSERT_EQ(fields.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(fields[i].name, named("c", i));
    EXPECT_EQ(fields[i].data_type, DataType::Int64);
    const auto& v = std::get<2>(fields[i].series);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], i);
    EXPECT_EQ(v[1], i + 1);
    EXPECT_EQ(fields[i].meta.has_value(), i == 2);
  }
  EXPECT_EQ(std::get<5>(*fields[2].meta->find("unit")), "ms");
  // The column buffers move, they are not copied.
  EXPECT_EQ(std::get<2>(fields[0].series).data(), first_data);
}

// One series of every kind, each with a distinct length (kind k holds k + 1 elements; Null none).
Series series_of_kind(size_t k) {
  const size_t n = k + 1;
  auto strings = [n] {
    StringColumn c;
    for (size_t i = 0; i < n; ++i) c.push_back(std::string(i, 'x'));
    return c;
  };
  switch (k) {
    case 0:
      return Series(std::in_place_index<0>);
    case 1:
      return Series(std::in_place_index<1>, Vec<int64_t>(n, 1));
    case 2:
      return Series(std::in_place_index<2>, Vec<int64_t>(n, 2));
    case 3:
      return Series(std::in_place_index<3>, Vec<double>(n, 3.5));
    case 4:
      return Series(std::in_place_index<4>, Vec<D64>(n, D64::from_parts(4, 1, false)));
    case 5:
      return Series(std::in_place_index<5>, strings());
    case 6:
      return Series(std::in_place_index<6>, Vec<uint8_t>(n, 1));
    case 7:
      return Series(std::in_place_index<7>, Vec<int32_t>(n, 7));
    case 8:
      return Series(std::in_place_index<8>, Vec<uint32_t>(n, 8));
    case 9:
      return Series(std::in_place_index<9>, Vec<uint64_t>(n, 9));
    case 10:
      return Series(std::in_place_index<10>, Vec<float>(n, 10.5f));
    default:
      return Series(std::in_place_index<11>, strings());
  }
}

class AsRefKinds : public ::testing::TestWithParam<size_t> {};

TEST_P(AsRefKinds, KeepsKindLengthAndData) {
  const size_t k = GetParam();
  const Series s = series_of_kind(k);
  ASSERT_EQ(s.index(), k);
  const SeriesRef r = as_ref(s);
  EXPECT_EQ(r.index(), k);
  EXPECT_EQ(series_kind(r), series_kind(s));
  EXPECT_EQ(series_length(s), k == 0 ? 0 : k + 1);
  EXPECT_EQ(series_length(r), series_length(s));
  std::visit(
      [&](const auto& view) {
        using V = std::decay_t<decltype(view)>;
        if constexpr (std::is_same_v<V, StringsRef>) {
          const auto& owned = k == 5 ? std::get<5>(s) : std::get<11>(s);
          for (size_t i = 0; i < owned.size(); ++i) {
            EXPECT_EQ(view[i], owned[i]);
            EXPECT_EQ(view[i].data(), owned[i].data()) << "borrowed, not copied";
          }
        } else if constexpr (!std::is_same_v<V, NullRef>) {
          std::visit(
              [&](const auto& owned) {
                if constexpr (requires { owned.data(); }) {
                  EXPECT_EQ(static_cast<const void*>(view.data()),
                            static_cast<const void*>(owned.data()));
                }
              },
              s);
        }
      },
      r);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, AsRefKinds, ::testing::Range<size_t>(0, 12));

TEST(StringColumn, MovedFromColumnIsEmptyAndReusable) {
  StringColumn a;
  a.push_back("abc");
  a.push_back("");
  Series s(std::in_place_index<5>, std::move(a));
  Series taken = std::move(s);
  EXPECT_EQ(series_length(taken), 2u);
  EXPECT_EQ(series_length(s), 0u);  // NOLINT(bugprone-use-after-move): the point of the test
  EXPECT_EQ(series_length(as_ref(s)), 0u);
  auto& reused = std::get<5>(s);
  reused.push_back("xy");
  ASSERT_EQ(reused.size(), 1u);
  EXPECT_EQ(reused[0], "xy");
  EXPECT_EQ(reused.offsets().front(), 0u);
}

TEST(AsRefTable, BorrowsNamesAndSeriesAndCopiesMeta) {
  Table t;
  t.format_word = 0x12345678;
  t.flag = true;
  t.meta.emplace();
  t.meta->insert("obj", Variant(std::in_place_index<5>, "o"));
  t.fields.push_back(field_of("a", series_of_kind(3)));
  t.fields.push_back(field_of("b", series_of_kind(0)));
  const TableRef r = as_ref(t);
  EXPECT_EQ(r.format_word, 0x12345678u);
  EXPECT_TRUE(r.flag);
  ASSERT_TRUE(r.meta.has_value());
  EXPECT_EQ(*r.meta, *t.meta);
  ASSERT_EQ(r.fields.size(), 2u);
  EXPECT_EQ(r.fields[0].name, "a");
  EXPECT_EQ(r.fields[0].name.data(), t.fields[0].name.data());
  EXPECT_EQ(r.fields[0].data_type, DataType::Float64);
  EXPECT_EQ(series_length(r.fields[0].series), 4u);
  EXPECT_EQ(r.fields[1].series.index(), 0u);
  EXPECT_FALSE(r.fields[1].meta.has_value());
}

TEST(DataTypeName, NamesEveryKind) {
  const char* names[] = {"Null", "DateTime", "Int64",  "Float64", "Decimal", "String",
                         "Bool", "Int32",    "UInt32", "UInt64",  "Float32", "Bytes"};
  for (uint32_t i = 0; i <= kMaxKind; ++i) {
    EXPECT_EQ(data_type_name(static_cast<DataType>(i)), names[i]);
  }
  EXPECT_EQ(data_type_name(static_cast<DataType>(12)), "?");
}

// Large buffers come back for requests of up to their size and at least four fifths of it; the
// cache never holds more than its bounds, so a burst of frees cannot pin unbounded memory.
TEST(LargeBuffers, ReusedWithinAFifthAndBounded) {
  constexpr size_t n = size_t{3} << 20;
  void* a = allocate_large(n);
  std::memset(a, 1, n);
  free_large(a, n);
  void* b = allocate_large(n - n / 8);  // within a fifth: the same block
  EXPECT_EQ(b, a);
  free_large(b, n);
  void* c = allocate_large(n * 2);  // too large for it
  EXPECT_NE(c, a);
  void* d = allocate_large(n / 2);  // too small: a fifth would be wasted at most
  EXPECT_NE(d, a);
  free_large(c, n * 2);
  free_large(d, n / 2);
  // More than the cache holds, freed at once: the oldest go, and allocation still works.
  std::vector<void*> many;
  for (size_t i = 0; i < 2 * kCachedBlocks; ++i) many.push_back(allocate_large(kCachedBytes / 8));
  for (void* p : many) free_large(p, kCachedBytes / 8);
  Vec<uint64_t> v(kLargeBuffer / 8 + 1);
  for (size_t i = 0; i < v.size(); ++i) v[i] = i;
  EXPECT_EQ(v.back(), v.size() - 1);
}

}  // namespace
}  // namespace kvt
