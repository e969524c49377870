// Column intake: one Python column object (a NumPy array or a list of str) becomes a
// PyArrayTyped, and the taken-in columns become the FieldRef views that the frame packer reads.
//
// int64, float64, int32, float32, bool and datetime64[us] arrays are kept by reference and read in
// place, so they must be one-dimensional, aligned and contiguous. Other datetime64 arrays are
// converted to microseconds, float arrays with a decimal scale and lists with a decimal scale to
// D64, other lists to text. Everything here runs with the interpreter lock held and runs no
// Python code.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "model/d64.h"
#include "model/datatype.h"
#include "model/series.h"
#include "model/strings.h"
#include "model/table.h"
#include "model/vec.h"
#include "py_ref.h"

namespace kvt::py {

// A one-dimensional, aligned, contiguous NumPy array whose elements are T, held by one strong
// reference. The element pointer and count are read from the array whenever a view is made.
template <class T>
struct ArrayColumn {
  PyRef array;
  std::span<const T> view() const;
};

// DateTime values in microseconds: read in place from a held datetime64[us] array, or converted
// from another unit into `owned` (then `array` is empty).
struct DateTimeColumn {
  PyRef array;
  Vec<int64_t> owned;
  std::span<const int64_t> view() const;
};

// Text from a list of str: one slot per item (model/strings.h) that holds a short element inline
// and points into the str's own UTF-8 bytes otherwise, so nothing is gathered into an arena; the
// list keeps those strs alive and unchanged while the column is packed. encoded_bytes is the
// elements' size in frame form (length varints plus bytes).
struct TextColumn {
  Vec<TextSlot> slots;
  uint64_t encoded_bytes = 0;
};

// The typed column built from one Python column: array references for Int64, Float64, Int32,
// Float32 and Bool; microseconds for DateTime (an array reference or an owned vector); slots
// that view the list's strs for String; an owned vector for Decimal. Each alternative's type
// decides its kind (data_type()).
class PyArrayTyped {
 public:
  using Value = std::variant<ArrayColumn<int64_t>,  // 0 Int64
                             ArrayColumn<double>,   // 1 Float64
                             ArrayColumn<int32_t>,  // 2 Int32
                             ArrayColumn<float>,    // 3 Float32
                             ArrayColumn<uint8_t>,  // 4 Bool, one byte per element
                             DateTimeColumn,        // 5 DateTime
                             TextColumn,            // 6 String
                             Vec<D64>>;             // 7 Decimal

  // Takes `column` in (its reference is dropped before returning, on success and on failure).
  // `scale` is the column's decimal scale when decimal_fields names the column; `name` is used
  // only in the messages of the errors that name the column. On failure returns nullopt with the
  // Python exception set and nothing of the column kept.
  //
  // Failures: ValueError "unsupported data type: {}" (type name not "list"/"ndarray", or an
  // array dtype outside int64, float64, int32, float32, bool, datetime64[us|ms|s|ns]); the
  // type-check TypeError for a misnamed object, an array without exactly one dimension, or a
  // non-str item of a text list; TypeError "The given array is not contiguous or is
  // misaligned."; the interpreter's UnicodeEncodeError for an unencodable str; ValueError
  // "decimal scale {} of column '{}' is above 15" for a column that becomes decimal; ValueError
  // "datetime value out of range in column '{}'" for s/ms values beyond the microsecond range.
  static std::optional<PyArrayTyped> try_from(PyRef column, std::optional<uint64_t> scale,
                                              std::string_view name);

  // The column's kind: Int64, Float64, Int32, Float32, Bool, DateTime, String or Decimal.
  DataType data_type() const;
  // The borrowed view of the column data; valid while this object lives. Cannot fail.
  SeriesRef into() const;

 private:
  explicit PyArrayTyped(Value v) : value_(std::move(v)) {}
  Value value_;
};

using ColumnPairs = std::vector<std::pair<std::string, PyArrayTyped>>;

// One FieldRef per pair, same order: name borrowed from the pair, no metadata, the series view.
// The vector is allocated once; the FieldRefs must not outlive `pairs`.
std::vector<FieldRef> build_fields(const ColumnPairs& pairs);

}  // namespace kvt::py
