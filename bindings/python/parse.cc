// parse_table_frame after argument binding: verify and decode the frame, copy the two names out
// of the table metadata, and hand the columns to the column output.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "errors.h"
#include "frame/table_frame.h"
#include "functions.h"
#include "output.h"
#include "py_ref.h"

namespace kvt::py {
namespace {

PyObject* new_str(std::string_view s) {
  PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  return o != nullptr ? o : raise_internal("Failed to create a str");
}

PyObject* parse(std::span<const uint8_t> buffer) {
  // Text columns stay in `buffer`, which outlives the table: it is converted before returning.
  auto unpacked = unpack_table_frame_in_place(buffer, /*skip_header=*/true);
  if (!unpacked) {
    PyErr_SetString(PyExc_ValueError, unpacked.error().to_string().c_str());
    return nullptr;
  }
  Table table = std::move(*unpacked);
  PyRef obj = PyRef::steal(new_str(table_meta_text(table, kObjKey)));
  if (!obj) return nullptr;
  PyRef name = PyRef::steal(new_str(table_meta_text(table, kTableKey)));
  if (!name) return nullptr;
  PyRef columns = PyRef::steal(table_to_py_list(std::move(table)));
  if (!columns) return nullptr;
  PyRef result = PyRef::steal(PyTuple_New(3));
  if (!result) return raise_internal("Failed to create the result tuple");
  if (PyTuple_SetItem(result.get(), 0, name.release()) < 0 ||
      PyTuple_SetItem(result.get(), 1, obj.release()) < 0 ||
      PyTuple_SetItem(result.get(), 2, columns.release()) < 0) {
    return raise_internal("Failed to fill the result tuple");
  }
  return result.release();
}

}  // namespace

PyObject* parse_frame(std::span<const uint8_t> buffer) {
  // An allocation the system refuses (while decoding or converting) must not unwind into the
  // interpreter: it becomes the internal error, after RAII has freed what the call held.
  prepare_thread_for_exceptions();
  try {
    return parse(buffer);
  } catch (const std::exception& e) {
    return raise_internal_format("Failed to parse a table frame: %s", e.what());
  }
}

}  // namespace kvt::py
