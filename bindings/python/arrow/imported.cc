#include "imported.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "arrow/values.h"
#include "columns/datetime_column.h"
#include "columns/string_column.h"
#include "errors.h"
#include "output.h"
#include "py_ref.h"
#include "wire/utf8.h"

namespace kvt::arrow {
namespace {

using py::PyRef;

void raise(PyObject* type, const std::string& message) { py::raise_text(type, message); }

// Python's repr of a column name, as the package's messages show it.
std::string quoted(const std::string& name) {
  PyRef s = PyRef::steal(
      PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
  PyRef r = PyRef::steal(s ? PyObject_Repr(s.get()) : nullptr);
  Py_ssize_t n = 0;
  const char* p = r ? PyUnicode_AsUTF8AndSize(r.get(), &n) : nullptr;
  if (p == nullptr) {
    PyErr_Clear();
    return "'" + name + "'";
  }
  return std::string(p, static_cast<size_t>(n));
}

// ---- reading streams and batches ----

bool stream_failed(ArrowArrayStream* s, int code, const char* what) {
  const char* detail = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
  raise(PyExc_ValueError, std::string("the Arrow stream failed while ") + what + ": " +
                              (detail != nullptr ? detail : std::strerror(code)));
  return false;
}

bool take_batch(const std::shared_ptr<Owned<ArrowSchema>>& schema, ArrowArray* array,
                std::vector<ImportedColumn>& columns) {
  auto owner = std::make_shared<Owned<ArrowArray>>(array);
  const ArrowArray& a = owner->get();
  const ArrowSchema& s = schema->get();
  if (a.length < 0 || a.offset < 0) {
    raise(PyExc_ValueError, "an Arrow batch declares a negative length or offset");
    return false;
  }
  if (s.n_children != static_cast<int64_t>(columns.size()) && std::strcmp(s.format, "+s") == 0) {
    raise(PyExc_ValueError, "an Arrow batch has another number of columns than its schema");
    return false;
  }
  if (std::strcmp(s.format, "+s") != 0) {
    ImportedColumn& c = columns[0];
    c.chunks.push_back(Chunk{owner, &a, a.offset, a.length});
    c.length += a.length;
    return true;
  }
  if (a.n_children != s.n_children) {
    raise(PyExc_ValueError, "an Arrow batch has another number of columns than its schema");
    return false;
  }
  if (a.null_count != 0 && a.n_buffers > 0 && a.buffers[0] != nullptr) {
    for (int64_t i = 0; i < a.length; ++i) {
      if (!bit_at(a.buffers[0], a.offset + i)) {
        raise(PyExc_ValueError, "row " + std::to_string(i) + " of an Arrow batch is null");
        return false;
      }
    }
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    const ArrowArray* child = a.children[i];
    if (child == nullptr || child->offset < 0 || child->length < a.offset + a.length) {
      raise(PyExc_ValueError, "column " + quoted(columns[i].name) +
                                  ": an Arrow batch holds a child shorter than the batch");
      return false;
    }
    columns[i].chunks.push_back(Chunk{owner, child, child->offset + a.offset, a.length});
    columns[i].length += a.length;
  }
  return true;
}

std::vector<ImportedColumn> columns_of(const std::shared_ptr<Owned<ArrowSchema>>& schema) {
  const ArrowSchema& s = schema->get();
  std::vector<ImportedColumn> columns;
  if (s.format != nullptr && std::strcmp(s.format, "+s") == 0) {
    for (int64_t i = 0; i < s.n_children; ++i) {
      const ArrowSchema* child = s.children[i];
      columns.push_back(ImportedColumn{child->name != nullptr ? child->name : "",
                                       schema,
                                       child,
                                       parse_format(child->format != nullptr ? child->format : ""),
                                       {},
                                       0});
    }
  } else {
    columns.push_back(ImportedColumn{s.name != nullptr ? s.name : "",
                                     schema,
                                     &s,
                                     parse_format(s.format != nullptr ? s.format : ""),
                                     {},
                                     0});
  }
  return columns;
}

bool schema_usable(const ArrowSchema& s) {
  if (s.format == nullptr || s.release == nullptr) {
    raise(PyExc_ValueError, "the Arrow schema has been released or has no format");
    return false;
  }
  if (std::strcmp(s.format, "+s") == 0) {
    for (int64_t i = 0; i < s.n_children; ++i) {
      if (s.children[i] == nullptr || s.children[i]->format == nullptr) {
        raise(PyExc_ValueError, "the Arrow schema has a column without a format");
        return false;
      }
    }
  }
  return true;
}

// Moves the struct out of a capsule of the given name; nullptr with the error raised.
template <class T>
T* capsule_struct(PyObject* capsule, const char* name) {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (p == nullptr) return nullptr;
  if (p->release == nullptr) {
    raise(PyExc_ValueError, std::string("the ") + name + " capsule has already been consumed");
    return nullptr;
  }
  return p;
}

// ---- checks shared by the conversions ----

bool has_nulls(const Chunk& c) {
  return c.array->null_count != 0 && c.array->n_buffers > 0 && c.array->buffers[0] != nullptr;
}

// The first null row of the column, counted from its start, if any.
std::optional<int64_t> first_null(const ImportedColumn& column) {
  int64_t start = 0;
  for (const Chunk& c : column.chunks) {
    if (has_nulls(c)) {
      for (int64_t i = 0; i < c.length; ++i) {
        if (!bit_at(c.array->buffers[0], c.offset + i)) return start + i;
      }
    }
    start += c.length;
  }
  return std::nullopt;
}

bool refuse_nulls(const ImportedColumn& column) {
  std::optional<int64_t> row = first_null(column);
  if (!row) return true;
  raise(PyExc_ValueError,
        "column " + quoted(column.name) + " row " + std::to_string(*row) +
            " is null: a frame column carries no missing values except NaN in float columns;"
            " fill or drop the nulls first");
  return false;
}

// The array has its first n buffers, the data buffers set unless it is empty.
bool enough_buffers(const ImportedColumn& column, const Chunk& c, int64_t n) {
  const ArrowArray& a = *c.array;
  bool ok = a.n_buffers >= n && a.buffers != nullptr;
  for (int64_t i = 1; ok && i < n && c.length > 0; ++i) ok = a.buffers[i] != nullptr;
  if (!ok) {
    raise(PyExc_ValueError,
          "column " + quoted(column.name) + ": an Arrow array lacks the buffers of its type");
  }
  return ok;
}

// ---- fixed-width columns ----

template <class T>
const T* values_of(const Chunk& c) {
  return static_cast<const T*>(c.array->buffers[1]) + c.offset;
}

// Src values converted one by one into Dst; nulls refused unless `nan_nulls` (floats).
template <class Src, class Dst, class F>
bool gather(const ImportedColumn& column, Vec<Dst>& out, F convert_one, bool nan_nulls = false) {
  if (!nan_nulls && !refuse_nulls(column)) return false;
  out.resize(static_cast<size_t>(column.length));
  size_t at = 0;
  for (const Chunk& c : column.chunks) {
    if (!enough_buffers(column, c, 2)) return false;
    const Src* src = values_of<Src>(c);
    for (int64_t i = 0; i < c.length; ++i) out[at + i] = convert_one(src[i]);
    if (nan_nulls && has_nulls(c)) {
      for (int64_t i = 0; i < c.length; ++i) {
        if (!bit_at(c.array->buffers[0], c.offset + i)) {
          out[at + i] = std::numeric_limits<Dst>::quiet_NaN();
        }
      }
    }
    at += static_cast<size_t>(c.length);
  }
  return true;
}

// A view of the producer's values when one chunk without nulls holds them all; else a copy.
template <class T>
bool same_width(const ImportedColumn& column, Vec<T>& owned, std::span<const T>& view,
                bool nan_nulls = false) {
  if (column.chunks.size() == 1 && !has_nulls(column.chunks[0])) {
    const Chunk& c = column.chunks[0];
    if (!enough_buffers(column, c, 2)) return false;
    view =
        std::span<const T>(c.length > 0 ? values_of<T>(c) : nullptr, static_cast<size_t>(c.length));
    return true;
  }
  if (!gather<T>(
          column, owned, [](T v) { return v; }, nan_nulls))
    return false;
  view = owned;
  return true;
}

bool booleans(const ImportedColumn& column, Vec<uint8_t>& out) {
  if (!refuse_nulls(column)) return false;
  out.resize(static_cast<size_t>(column.length));
  size_t at = 0;
  for (const Chunk& c : column.chunks) {
    if (!enough_buffers(column, c, 2)) return false;
    for (int64_t i = 0; i < c.length; ++i) out[at + i] = bit_at(c.array->buffers[1], c.offset + i);
    at += static_cast<size_t>(c.length);
  }
  return true;
}

bool timestamps(const ImportedColumn& column, TimeUnit unit, Converted& out) {
  std::span<const int64_t> view;
  if (unit == TimeUnit::Us) {  // same_width refuses nulls itself
    if (!same_width<int64_t>(column, out.i64, view)) return false;
    out.ref = SeriesRef(in_kind<DataType::DateTime>, view);
    return true;
  }
  if (!refuse_nulls(column)) return false;
  out.i64.resize(static_cast<size_t>(column.length));
  size_t at = 0;
  for (const Chunk& c : column.chunks) {
    if (!enough_buffers(column, c, 2)) return false;
    if (!to_microseconds(unit, values_of<int64_t>(c), out.i64.data() + at,
                         static_cast<size_t>(c.length))) {
      raise(PyExc_ValueError, "datetime value out of range in column '" + column.name + "'");
      return false;
    }
    at += static_cast<size_t>(c.length);
  }
  out.ref = SeriesRef(in_kind<DataType::DateTime>, std::span<const int64_t>(out.i64));
  return true;
}

// ---- decimals ----

bool decimals(const ImportedColumn& column, Converted& out) {
  const ArrowType& d = column.type;
  if (d.bits != 32 && d.bits != 64 && d.bits != 128) {
    raise(PyExc_TypeError, "column " + quoted(column.name) +
                               ": cannot pack Arrow data of format '" + column.format() +
                               "' (decimals of 32, 64 or 128 bits only)");
    return false;
  }
  if (d.scale < 0 || d.scale > static_cast<int>(kD64MaxScale)) {
    // As intake says it of a scale that decimal_fields gives.
    raise(PyExc_ValueError, "decimal scale " + std::to_string(d.scale) + " of column '" +
                                column.name + "' is " + (d.scale < 0 ? "below 0" : "above 15"));
    return false;
  }
  if (!refuse_nulls(column)) return false;
  out.decimals.resize(static_cast<size_t>(column.length));
  size_t at = 0;
  int64_t start = 0;
  for (const Chunk& c : column.chunks) {
    if (!enough_buffers(column, c, 2)) return false;
    auto converted = decimals_to_d64(c.array->buffers[1], d.bits, c.offset, c.length, d.scale,
                                     out.decimals.data() + at);
    if (!converted) {
      const DecimalTooLarge& e = converted.error();
      const std::string places = d.scale == 1 ? "1 place" : std::to_string(d.scale) + " places";
      raise(PyExc_ValueError,
            "column " + quoted(column.name) + " row " + std::to_string(start + e.row) + " holds '" +
                decimal_text(e.value, d.scale) + "', which a decimal column of " + places +
                " cannot carry (the value times 10**" + std::to_string(d.scale) +
                " reaches 2**56): pack the column as float64 (cast it to a float type)");
      return false;
    }
    at += static_cast<size_t>(c.length);
    start += c.length;
  }
  out.ref = SeriesRef(in_kind<DataType::Decimal>, std::span<const D64>(out.decimals));
  return true;
}

// ---- text and bytes ----

enum class Layout : uint8_t { Small, Large, View };

std::optional<Layout> layout_of(const ArrowType& t, bool& text) {
  if (!t.is_text_or_bytes()) return std::nullopt;
  text = t.id == TypeId::String;
  switch (t.layout) {
    case StringLayout::Offsets32:
      return Layout::Small;
    case StringLayout::Offsets64:
      return Layout::Large;
    case StringLayout::Views:
      break;
  }
  return Layout::View;
}

// Element views of rows [offset, offset + length) of one array of any string layout, checked
// against the array's own bounds (offsets ascending, views inside their buffers).
bool element_views(const ImportedColumn& column, const ArrowArray& a, Layout layout, int64_t offset,
                   int64_t length, std::vector<std::string_view>& out) {
  const auto broken = [&] {
    raise(PyExc_ValueError,
          "column " + quoted(column.name) + ": an Arrow string array has broken offsets");
    return false;
  };
  out.clear();
  out.reserve(static_cast<size_t>(length));
  if (length == 0) return true;
  if (layout == Layout::View) {
    if (a.n_buffers < 3 || a.buffers == nullptr || a.buffers[1] == nullptr) return broken();
    const int64_t data_buffers = a.n_buffers - 3;
    const auto* sizes = static_cast<const int64_t*>(a.buffers[a.n_buffers - 1]);
    const auto* views = static_cast<const uint8_t*>(a.buffers[1]) + offset * 16;
    for (int64_t i = 0; i < length; ++i) {
      const uint8_t* v = views + i * 16;
      int32_t len, index, at;
      std::memcpy(&len, v, 4);
      if (len < 0) return broken();
      if (len <= 12) {
        out.emplace_back(reinterpret_cast<const char*>(v + 4), static_cast<size_t>(len));
        continue;
      }
      std::memcpy(&index, v + 8, 4);
      std::memcpy(&at, v + 12, 4);
      if (index < 0 || index >= data_buffers || at < 0 || sizes == nullptr ||
          int64_t{at} + len > sizes[index] || a.buffers[2 + index] == nullptr) {
        return broken();
      }
      out.emplace_back(static_cast<const char*>(a.buffers[2 + index]) + at,
                       static_cast<size_t>(len));
    }
    return true;
  }
  if (a.n_buffers < 3 || a.buffers == nullptr || a.buffers[1] == nullptr) return broken();
  const char* data = static_cast<const char*>(a.buffers[2]);
  const auto walk = [&](const auto* offsets) {
    int64_t prev = offsets[offset];
    if (prev < 0) return broken();
    if (data == nullptr && offsets[offset + length] != prev) return broken();
    for (int64_t i = 1; i <= length; ++i) {
      const int64_t next = offsets[offset + i];
      if (next < prev) return broken();
      out.emplace_back(data + prev, static_cast<size_t>(next - prev));
      prev = next;
    }
    return true;
  };
  return layout == Layout::Large ? walk(static_cast<const int64_t*>(a.buffers[1]))
                                 : walk(static_cast<const int32_t*>(a.buffers[1]));
}

// The offsets of rows [offset, offset + length) start at 0 or more and never decrease.
bool offsets_ascending(const ImportedColumn& column, const ArrowArray& a, Layout layout,
                       int64_t offset, int64_t length) {
  if (length == 0) return true;
  bool ok = a.n_buffers >= 3 && a.buffers != nullptr && a.buffers[1] != nullptr;
  const auto ascending = [&](const auto* o) {
    bool down = o[offset] < 0;
    for (int64_t i = 0; i < length; ++i) down |= o[offset + i + 1] < o[offset + i];
    return !down && (a.buffers[2] != nullptr || o[offset + length] == o[offset]);
  };
  if (ok) {
    ok = layout == Layout::Large ? ascending(static_cast<const int64_t*>(a.buffers[1]))
                                 : ascending(static_cast<const int32_t*>(a.buffers[1]));
  }
  if (!ok) {
    raise(PyExc_ValueError,
          "column " + quoted(column.name) + ": an Arrow string array has broken offsets");
  }
  return ok;
}

bool refuse_bad_text(const ImportedColumn& column, int64_t row) {
  raise(PyExc_ValueError,
        "column " + quoted(column.name) + " row " + std::to_string(row) + " is not valid UTF-8");
  return false;
}

// Every element of `views` is UTF-8: validated one by one, since views may lie anywhere.
bool check_utf8(const ImportedColumn& column, const std::vector<std::string_view>& views,
                int64_t first_row) {
  for (size_t i = 0; i < views.size(); ++i) {
    const std::string_view v = views[i];
    if (validate_utf8(reinterpret_cast<const uint8_t*>(v.data()), v.size())) {
      return refuse_bad_text(column, first_row + static_cast<int64_t>(i));
    }
  }
  return true;
}

// Every element of a column stored as one arena plus offsets is UTF-8: the used range is valid
// and no element starts inside a multi-byte sequence.
bool check_utf8(const ImportedColumn& column, const char* bytes, std::span<const uint64_t> offsets,
                int64_t first_row) {
  const auto* base = reinterpret_cast<const uint8_t*>(bytes);
  if (std::optional<size_t> bad = first_non_utf8_element(base, offsets)) {
    return refuse_bad_text(column, first_row + static_cast<int64_t>(*bad));
  }
  return true;
}

// Appends the elements of `views` to `out`: its arena and offsets grow once.
void append_views(StringColumn& out, const std::vector<std::string_view>& views) {
  Vec<uint64_t>& offsets = out.mutable_offsets();
  Vec<char>& arena = out.mutable_bytes();
  size_t total = arena.size();
  const size_t first = offsets.size();
  offsets.resize(first + views.size());
  for (size_t i = 0; i < views.size(); ++i) {
    total += views[i].size();
    offsets[first + i] = total;
  }
  size_t at = arena.size();
  arena.resize(total);
  for (std::string_view v : views) {
    copy_element(arena.data() + at, v.data(), v.size());
    at += v.size();
  }
}

SeriesRef strings_ref(bool text, const StringsRef& r) {
  return text ? SeriesRef(in_kind<DataType::String>, r) : SeriesRef(in_kind<DataType::Bytes>, r);
}

bool plain_strings(const ImportedColumn& column, Layout layout, bool text, Converted& out) {
  if (!refuse_nulls(column)) return false;
  if (layout == Layout::View) {
    // Views point anywhere: the elements are gathered into one arena, checked once.
    std::vector<std::string_view> views;
    for (const Chunk& c : column.chunks) {
      if (!element_views(column, *c.array, layout, c.offset, c.length, views)) return false;
      append_views(out.strings, views);
    }
    const StringsRef all(out.strings);
    if (text && !check_utf8(column, out.strings.bytes().data(), out.strings.offsets(), 0)) {
      return false;
    }
    out.ref = strings_ref(text, all);
    return true;
  }
  // Offsets and bytes: every chunk is read in place as one piece of the column; 32-bit offsets
  // are widened first.
  size_t widened = 0;
  if (layout == Layout::Small) {
    for (const Chunk& c : column.chunks) widened += static_cast<size_t>(c.length) + 1;
  }
  out.offsets.resize(widened);
  out.pieces.reserve(column.chunks.size());
  size_t at = 0;
  int64_t start = 0;
  for (const Chunk& c : column.chunks) {
    if (!offsets_ascending(column, *c.array, layout, c.offset, c.length)) return false;
    if (c.length == 0) continue;
    const auto n = static_cast<size_t>(c.length);
    std::span<const uint64_t> offsets;
    if (layout == Layout::Large) {
      offsets = std::span<const uint64_t>(
          reinterpret_cast<const uint64_t*>(static_cast<const int64_t*>(c.array->buffers[1]) +
                                            c.offset),
          n + 1);
    } else {
      const int32_t* small = static_cast<const int32_t*>(c.array->buffers[1]) + c.offset;
      for (size_t i = 0; i <= n; ++i) out.offsets[at + i] = static_cast<uint64_t>(small[i]);
      offsets = std::span<const uint64_t>(out.offsets.data() + at, n + 1);
      at += n + 1;
    }
    const char* bytes = static_cast<const char*>(c.array->buffers[2]);
    if (text && !check_utf8(column, bytes, offsets, start)) return false;
    out.pieces.push_back(StringsPiece{offsets, bytes});
    start += c.length;
  }
  if (out.pieces.size() == 1) {
    out.ref = strings_ref(text, StringsRef(out.pieces[0].offsets, out.pieces[0].bytes));
  } else {
    out.ref = strings_ref(text, StringsRef(std::span<const StringsPiece>(out.pieces)));
  }
  return true;
}

template <class Index>
bool gather_dictionary(const ImportedColumn& column, const Chunk& c,
                       const std::vector<std::string_view>& values, const ArrowArray& dict,
                       int64_t start, std::vector<std::string_view>& out) {
  const Index* idx = values_of<Index>(c);
  out.clear();
  out.reserve(static_cast<size_t>(c.length));
  const bool dict_nulls = dict.null_count != 0 && dict.n_buffers > 0 && dict.buffers[0] != nullptr;
  for (int64_t i = 0; i < c.length; ++i) {
    const auto k = static_cast<int64_t>(idx[i]);
    if (k < 0 || k >= static_cast<int64_t>(values.size())) {
      raise(PyExc_ValueError, "column " + quoted(column.name) + " row " +
                                  std::to_string(start + i) +
                                  ": an Arrow dictionary index is out of range");
      return false;
    }
    if (dict_nulls && !bit_at(dict.buffers[0], dict.offset + k)) {
      raise(PyExc_ValueError,
            "column " + quoted(column.name) + " row " + std::to_string(start + i) +
                " is null: a frame column carries no missing values except NaN in float columns;"
                " fill or drop the nulls first");
      return false;
    }
    out.push_back(values[static_cast<size_t>(k)]);
  }
  return true;
}

bool dictionary_strings(const ImportedColumn& column, Converted& out) {
  bool text = true;
  const ArrowSchema& values_schema = *column.schema->dictionary;
  const std::optional<Layout> layout = values_schema.format != nullptr
                                           ? layout_of(parse_format(values_schema.format), text)
                                           : std::nullopt;
  if (!layout || !column.type.is_integer()) {
    raise(PyExc_TypeError, "column " + quoted(column.name) +
                               ": cannot pack an Arrow dictionary of format '" + column.format() +
                               "' with values of format '" +
                               (values_schema.format ? values_schema.format : "") +
                               "' (dictionaries of text or bytes with integer indices only)");
    return false;
  }
  if (!refuse_nulls(column)) return false;
  std::vector<std::string_view> values, rows;
  int64_t start = 0;
  for (const Chunk& c : column.chunks) {
    const ArrowArray* dict = c.array->dictionary;
    if (dict == nullptr) {
      raise(PyExc_ValueError,
            "column " + quoted(column.name) + ": an Arrow dictionary array has no dictionary");
      return false;
    }
    if (!enough_buffers(column, c, 2)) return false;  // its own error, not overwritten
    if (!element_views(column, *dict, *layout, dict->offset, dict->length, values)) return false;
    if (text && !check_utf8(column, values, 0)) return false;
    bool ok = false;
    switch (column.type.id) {
      case TypeId::Int8:
        ok = gather_dictionary<int8_t>(column, c, values, *dict, start, rows);
        break;
      case TypeId::Int16:
        ok = gather_dictionary<int16_t>(column, c, values, *dict, start, rows);
        break;
      case TypeId::Int32:
        ok = gather_dictionary<int32_t>(column, c, values, *dict, start, rows);
        break;
      case TypeId::Int64:
        ok = gather_dictionary<int64_t>(column, c, values, *dict, start, rows);
        break;
      case TypeId::UInt8:
        ok = gather_dictionary<uint8_t>(column, c, values, *dict, start, rows);
        break;
      case TypeId::UInt16:
        ok = gather_dictionary<uint16_t>(column, c, values, *dict, start, rows);
        break;
      case TypeId::UInt32:
        ok = gather_dictionary<uint32_t>(column, c, values, *dict, start, rows);
        break;
      default:
        ok = gather_dictionary<uint64_t>(column, c, values, *dict, start, rows);
        break;
    }
    if (!ok) return false;
    append_views(out.strings, rows);
    start += c.length;
  }
  out.ref = strings_ref(text, StringsRef(out.strings));
  return true;
}

template <DataType K, class Src, class Dst>
bool widened(const ImportedColumn& column, Vec<Dst>& owned, SeriesRef& ref) {
  if (!gather<Src>(column, owned, [](Src v) { return static_cast<Dst>(v); })) return false;
  ref = SeriesRef(in_kind<K>, std::span<const Dst>(owned));
  return true;
}

template <DataType K, class T>
bool plain(const ImportedColumn& column, Vec<T>& owned, SeriesRef& ref, bool nan_nulls = false) {
  // same_width views a chunk only when it has no nulls; gathering refuses them (or makes NaN).
  std::span<const T> view;
  if (!same_width<T>(column, owned, view, nan_nulls)) return false;
  ref = SeriesRef(in_kind<K>, view);
  return true;
}

}  // namespace

std::optional<std::vector<ImportedColumn>> read_stream(PyObject* stream_capsule) {
  ArrowArrayStream* source = capsule_struct<ArrowArrayStream>(stream_capsule, kStreamCapsule);
  if (source == nullptr) return std::nullopt;
  ArrowArrayStream stream = *source;
  source->release = nullptr;
  struct Release {
    ArrowArrayStream* s;
    ~Release() {
      if (s->release != nullptr) s->release(s);
    }
  } release{&stream};

  ArrowSchema schema{};
  if (int code = stream.get_schema(&stream, &schema); code != 0) {
    stream_failed(&stream, code, "giving its schema");
    return std::nullopt;
  }
  auto schema_owner = std::make_shared<Owned<ArrowSchema>>(&schema);
  if (!schema_usable(schema_owner->get())) return std::nullopt;
  std::vector<ImportedColumn> columns = columns_of(schema_owner);
  while (true) {
    ArrowArray array{};
    if (int code = stream.get_next(&stream, &array); code != 0) {
      stream_failed(&stream, code, "giving a batch");
      return std::nullopt;
    }
    if (array.release == nullptr) break;
    if (!take_batch(schema_owner, &array, columns)) return std::nullopt;
  }
  return columns;
}

std::optional<std::vector<ImportedColumn>> read_array(PyObject* schema_capsule,
                                                      PyObject* array_capsule) {
  ArrowSchema* s = capsule_struct<ArrowSchema>(schema_capsule, kSchemaCapsule);
  if (s == nullptr) return std::nullopt;
  ArrowArray* a = capsule_struct<ArrowArray>(array_capsule, kArrayCapsule);
  if (a == nullptr) return std::nullopt;
  auto schema_owner = std::make_shared<Owned<ArrowSchema>>(s);
  if (!schema_usable(schema_owner->get())) return std::nullopt;
  std::vector<ImportedColumn> columns = columns_of(schema_owner);
  if (!take_batch(schema_owner, a, columns)) return std::nullopt;
  return columns;
}

bool convert(const ImportedColumn& column, Converted& out) {
  if (column.schema->dictionary != nullptr) return dictionary_strings(column, out);
  const ArrowType& t = column.type;
  bool text = true;
  if (std::optional<Layout> layout = layout_of(t, text)) {
    return plain_strings(column, *layout, text, out);
  }
  switch (t.id) {
    case TypeId::Timestamp:  // zoned or naive: the values are UTC instants all the same
      return timestamps(column, t.unit, out);
    case TypeId::Decimal:
      return decimals(column, out);
    case TypeId::Null:
      out.ref = SeriesRef(in_kind<DataType::Null>, NullRef{});
      return true;
    case TypeId::Bool:
      if (!booleans(column, out.bools)) return false;
      out.ref = SeriesRef(in_kind<DataType::Bool>, std::span<const uint8_t>(out.bools));
      return true;
    case TypeId::Int8:
      return widened<DataType::Int32, int8_t>(column, out.i32, out.ref);
    case TypeId::Int16:
      return widened<DataType::Int32, int16_t>(column, out.i32, out.ref);
    case TypeId::UInt8:
      return widened<DataType::Int32, uint8_t>(column, out.i32, out.ref);
    case TypeId::UInt16:
      return widened<DataType::Int32, uint16_t>(column, out.i32, out.ref);
    case TypeId::UInt32:
      return widened<DataType::Int64, uint32_t>(column, out.i64, out.ref);
    case TypeId::Int32:
      return plain<DataType::Int32>(column, out.i32, out.ref);
    case TypeId::Int64:
      return plain<DataType::Int64>(column, out.i64, out.ref);
    case TypeId::UInt64:
      return plain<DataType::UInt64>(column, out.u64, out.ref);
    case TypeId::Float32:
      return plain<DataType::Float32>(column, out.f32, out.ref, true);
    case TypeId::Float64:
      return plain<DataType::Float64>(column, out.f64, out.ref, true);
    case TypeId::Float16: {
      if (!gather<uint16_t>(column, out.f32, half_to_float, true)) return false;
      out.ref = SeriesRef(in_kind<DataType::Float32>, std::span<const float>(out.f32));
      return true;
    }
    default:
      break;
  }
  raise(PyExc_TypeError, "column " + quoted(column.name) + ": cannot pack Arrow data of format '" +
                             column.format() +
                             "'; cast it to a type the Arrow type table of kvt lists");
  return false;
}

std::optional<int64_t> decimal_scale(const ImportedColumn& column) {
  if (column.type.id != TypeId::Decimal) return std::nullopt;
  return column.type.scale;
}

PyObject* column_to_numpy(const ImportedColumn& column) {
  if (column.type.id == TypeId::Decimal) {
    // Exact text, one str per value.
    Converted c;
    if (!decimals(column, c)) return nullptr;
    StringColumn text;
    for (D64 v : c.decimals)
      text.push_back(decimal_text(v.mantissa(), static_cast<int>(v.scale())));
    return py::strings_to_objects(StringsRef(text), true);
  }
  Converted c;
  if (!convert(column, c)) return nullptr;
  const auto copy = [](const auto& view) {
    using T = std::remove_const_t<typename std::decay_t<decltype(view)>::value_type>;
    return Vec<T>(view.begin(), view.end());
  };
  switch (series_kind(c.ref)) {
    case DataType::String:
      return py::strings_to_objects(get_kind<DataType::String>(c.ref), true);
    case DataType::Bytes:
      return py::strings_to_objects(get_kind<DataType::Bytes>(c.ref), false);
    case DataType::Bool:
      return py::vec_to_array(copy(get_kind<DataType::Bool>(c.ref)), py::Dtype::Bool);
    case DataType::Int32:
      return py::vec_to_array(copy(get_kind<DataType::Int32>(c.ref)), py::Dtype::Int32);
    case DataType::Int64:
      return py::vec_to_array(copy(get_kind<DataType::Int64>(c.ref)), py::Dtype::Int64);
    case DataType::DateTime:
      return py::vec_to_array(copy(get_kind<DataType::DateTime>(c.ref)), py::Dtype::Us);
    case DataType::UInt64:
      return py::vec_to_array(copy(get_kind<DataType::UInt64>(c.ref)), py::Dtype::UInt64);
    case DataType::Float32:
      return py::vec_to_array(copy(get_kind<DataType::Float32>(c.ref)), py::Dtype::Float32);
    case DataType::Float64:
      return py::vec_to_array(copy(get_kind<DataType::Float64>(c.ref)), py::Dtype::Float64);
    default:
      raise(PyExc_TypeError,
            "column " + quoted(column.name) + " is of the Arrow null type: it has no values");
      return nullptr;
  }
}

}  // namespace kvt::arrow
