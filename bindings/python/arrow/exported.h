// Tables handed out through the Arrow C data interface.
//
// A batch is described from Python as (columns, rows, metadata): columns a list of
// (name, format, data) where format is the Arrow format the column is given as and data is
//   a contiguous native-order NumPy array (numbers, bool, datetime64 viewed as int64, or an
//     object array of str for "U" / of bytes for "Z"),
//   a decoded text or bytes column (Strings) for "U" / "Z", or
//   None for "n" (the null type),
// and metadata a list of (key, value) str pairs for the schema. Numbers, timestamps and decoded
// text are handed out without copying: the Arrow buffers point into the arrays, which the
// release callbacks keep alive. Booleans become bitmaps, NaT a validity bitmap, object arrays
// new offset and byte buffers. Release callbacks take the interpreter lock, so consumers may
// release from any thread.
#pragma once

#include <Python.h>

namespace kvt::arrow {

// A capsule "arrow_schema" for the batch's columns; nullptr with the error raised.
PyObject* schema_capsule(PyObject* batch);

// A capsule "arrow_array_stream" over `batches`, an iterator of batch descriptions. The first is
// taken now and fixes the schema; the others are taken as the consumer asks for them, and one
// whose column names or formats differ ends the stream with an error.
PyObject* stream_capsule(PyObject* batches);

}  // namespace kvt::arrow
