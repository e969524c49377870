#include "model/table.h"

#include <utility>

namespace kvt {

size_t series_length(const Series& s) {
  return std::visit(
      [](const auto& v) -> size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, NullSeries>) {
          return 0;
        } else {
          return v.size();
        }
      },
      s);
}

size_t series_length(const SeriesRef& s) {
  return std::visit(
      [](const auto& v) -> size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, NullRef>) {
          return 0;
        } else {
          return v.size();
        }
      },
      s);
}

namespace {
template <size_t I>
SeriesRef ref_at(const Series& s) {
  const auto& v = std::get<I>(s);
  using T = std::decay_t<decltype(v)>;
  if constexpr (std::is_same_v<T, NullSeries>) {
    return SeriesRef(std::in_place_index<I>);
  } else if constexpr (std::is_same_v<T, StringColumn>) {
    return SeriesRef(std::in_place_index<I>, StringsRef(v));
  } else {
    return SeriesRef(std::in_place_index<I>, std::span(v.data(), v.size()));
  }
}

template <size_t... I>
SeriesRef as_ref_impl(const Series& s, std::index_sequence<I...>) {
  SeriesRef out;
  static_cast<void>(((s.index() == I ? (out = ref_at<I>(s), true) : false) || ...));
  return out;
}
}  // namespace

SeriesRef as_ref(const Series& s) {
  return as_ref_impl(s, std::make_index_sequence<std::variant_size_v<Series>>());
}

size_t row_count(const Table& t) {
  if (t.fields.empty()) return 0;
  return series_length(t.fields.front().series);
}

const Variant* get_table_meta(const Table& t, std::string_view key) {
  if (!t.meta || t.meta->empty()) return nullptr;
  return t.meta->find(key);
}

std::string_view table_meta_text(const Table& t, std::string_view key) {
  const Variant* v = get_table_meta(t, key);
  if (v == nullptr || variant_kind(*v) != DataType::String) return {};
  return get_kind<DataType::String>(*v);
}

std::vector<Field> into_fields(Table&& t) {
  std::vector<Field> fields = std::move(t.fields);
  t.fields.clear();
  t.meta.reset();
  return fields;
}

TableRef as_ref(const Table& t) {
  TableRef r;
  r.format_word = t.format_word;
  r.fields.reserve(t.fields.size());
  for (const auto& f : t.fields) {
    r.fields.push_back(FieldRef{f.name, f.data_type, f.meta, as_ref(f.series)});
  }
  r.meta = t.meta;
  r.flag = t.flag;
  return r;
}

}  // namespace kvt
