// Column output: a decoded Table becomes a list of (name, NumPy array) pairs.
//
// Arrays are one-dimensional, native byte order, C-contiguous, aligned and writeable. Int64,
// Float64, Int32, Float32, Bool and DateTime arrays adopt the series buffer itself; Decimal arrays
// adopt a new vector of doubles; String and Bytes arrays adopt a vector of new str / bytes
// references. An adopting array's base is an owner capsule that frees the buffer (dropping each
// slot's reference first for object arrays) once the array and all its views are gone. UInt32,
// UInt64 and Null arrays own their memory (base None).
//
// Both functions need the interpreter lock. They fail only where valid input cannot lead
// (NumPy unavailable, an allocation refused): then they raise the internal-error type and return
// nullptr, and every buffer not yet handed to an array has been freed.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/series.h"
#include "model/table.h"

namespace kvt::py {

// Converts one series (consumed) into a new array; the variant alone decides the dtype:
//   Null -> bool, row_count False values      DateTime -> datetime64[us], shifted to local time
//   Int64 -> int64    Float64 -> float64 (bit for bit)    Decimal -> float64 by to_f64
//   String -> object of str    Bool -> bool    Int32 -> int32    UInt32 -> uint32 (copied)
//   UInt64 -> uint64 (copied)   Float32 -> float32   Bytes -> object of bytes
PyObject* series_to_array(Series&& series, size_t row_count);
// The same with the zone offset given in microseconds instead of read from the local zone.
PyObject* series_to_array(Series&& series, size_t row_count, int64_t offset_us);

// A new object array of str (text) or bytes objects, one per element; the column is only read.
PyObject* strings_to_objects(const StringsRef& column, bool text);

// The element types of the arrays made here.
enum class Dtype : uint8_t { Bool, Int32, Int64, UInt32, UInt64, Float32, Float64, Object, Us };

// A new 1-d array of dtype d that adopts v (no copy).
template <class T>
PyObject* vec_to_array(Vec<T>&& v, Dtype d);

// Consumes the table and returns [(field name, array), ...] in field order. The row count used
// for Null columns is taken from the table before its fields are converted.
PyObject* table_to_py_list(Table&& table);

}  // namespace kvt::py
