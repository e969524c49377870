// Columns taken in from the Arrow C data interface, and their conversion into frame columns.
//
// A stream or a record batch is read whole first: every batch stays alive (its producer's release
// runs when the last column that points into it goes), and each column keeps the list of its
// chunks. Conversion then views the producer's buffers where a frame column can be read from them
// as they are (int32, int64, uint64, float32 and float64 without nulls, timestamps in
// microseconds, large text and binary) and builds owned vectors otherwise (widened integers,
// booleans from bitmaps, other timestamp units, text from 32-bit offsets, string views and
// dictionaries, decimals, and any column of several chunks).
//
// Everything here runs with the interpreter lock held; failures raise a Python exception and
// return false / nullopt / nullptr.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "abi.h"
#include "arrow/format.h"
#include "model/d64.h"
#include "model/series.h"
#include "model/strings.h"
#include "model/vec.h"

namespace kvt::arrow {

// Owns one released-on-destruction ArrowSchema or ArrowArray, moved in from the producer.
template <class T>
class Owned {
 public:
  explicit Owned(T* source) : value_(*source) { source->release = nullptr; }
  ~Owned() {
    if (value_.release != nullptr) value_.release(&value_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  const T& get() const { return value_; }

 private:
  T value_;
};

// One piece of a column: rows [offset, offset + length) of `array`, which `owner` keeps alive.
struct Chunk {
  std::shared_ptr<Owned<ArrowArray>> owner;
  const ArrowArray* array = nullptr;
  int64_t offset = 0;
  int64_t length = 0;
};

struct ImportedColumn {
  std::string name;
  std::shared_ptr<Owned<ArrowSchema>> schema_owner;
  const ArrowSchema* schema = nullptr;
  ArrowType type;  // of schema->format, parsed once
  std::vector<Chunk> chunks;
  int64_t length = 0;

  std::string format() const { return schema->format != nullptr ? schema->format : ""; }
};

// Reads a whole stream (the struct is moved out of the capsule). A stream of struct arrays gives
// one column per child; any other stream gives one column named after the stream's schema.
std::optional<std::vector<ImportedColumn>> read_stream(PyObject* stream_capsule);
// The same for one struct array (a record batch) given as two capsules.
std::optional<std::vector<ImportedColumn>> read_array(PyObject* schema_capsule,
                                                      PyObject* array_capsule);

// A frame column made from an imported column: a view of the producer's buffers or of the
// owned vectors inside, valid while both live.
struct Converted {
  SeriesRef ref;
  Vec<uint8_t> bools;
  Vec<int32_t> i32;
  Vec<int64_t> i64;
  Vec<uint64_t> u64;
  Vec<float> f32;
  Vec<double> f64;
  Vec<D64> decimals;
  Vec<uint64_t> offsets;
  std::vector<StringsPiece> pieces;
  StringColumn strings;
};

// Converts the column; false with ValueError (nulls, values out of range, text that is not
// UTF-8, broken offsets) or TypeError (an Arrow type frames have no column for) raised.
bool convert(const ImportedColumn& column, Converted& out);

// The column as a NumPy array: the numbers of its frame column (timestamps as datetime64[us]),
// text and bytes as object arrays, decimals as object arrays of their exact text.
PyObject* column_to_numpy(const ImportedColumn& column);

// The decimal scale of a decimal column, if it is one.
std::optional<int64_t> decimal_scale(const ImportedColumn& column);

}  // namespace kvt::arrow
