// Table / Field (owned, produced by the frame decoder) and TableRef / FieldRef (borrowed views
// built for encoding). Members are listed in the order in which a frame carries them.
//
// Nothing requires columns to have equal lengths; the row count is taken from the first column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/datatype.h"
#include "model/meta_map.h"
#include "model/series.h"

namespace kvt {

// The format word and flag that tables packed by this module carry.
inline constexpr uint32_t kFormatWord = 0x4D7C0001;

// The table metadata keys of the object name and the table name.
inline constexpr std::string_view kObjKey = "obj";
inline constexpr std::string_view kTableKey = "table";

struct Field {
  std::string name;
  DataType data_type = DataType::Null;
  std::optional<MetaMap> meta;
  Series series;
};

struct Table {
  uint32_t format_word = 0;
  std::vector<Field> fields;
  std::optional<MetaMap> meta;
  bool flag = false;
};

// Borrows `name` and the series data; owns only its meta map.
struct FieldRef {
  std::string_view name;
  DataType data_type = DataType::Null;
  std::optional<MetaMap> meta;
  SeriesRef series;
};

struct TableRef {
  uint32_t format_word = kFormatWord;
  std::vector<FieldRef> fields;
  std::optional<MetaMap> meta;
  bool flag = false;
};

// 0 without fields or when the first field is Null; otherwise the first field's length.
size_t row_count(const Table& t);

// The table-level metadata value under key, or nullptr when the map is absent, empty or lacks it.
const Variant* get_table_meta(const Table& t, std::string_view key);

// The text of a String entry under key in the table metadata; empty when the map or the key is
// missing or the value is of another kind. Valid while the table is.
std::string_view table_meta_text(const Table& t, std::string_view key);

// Consumes the table: hands over its fields in order and drops its metadata.
std::vector<Field> into_fields(Table&& t);

// A borrowed view of an owned table (used by tests and round trips).
TableRef as_ref(const Table& t);

}  // namespace kvt
