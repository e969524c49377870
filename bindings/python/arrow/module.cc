// kvt._arrow: the package's own extension module. It unpacks a whole frame from any buffer,
// keeping text columns as Arrow-style buffers, packs frames from Arrow columns and NumPy columns
// together, and hands tables out through the Arrow C data interface. The package calls it; its
// functions take their arguments positionally and check only what the package cannot.
#include <Python.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "errors.h"
#include "exported.h"
#include "frame/table_frame.h"
#include "functions.h"
#include "imported.h"
#include "intake.h"
#include "model/cpu.h"
#include "model/meta_map.h"
#include "model/table.h"
#include "model/variant.h"
#include "objects.h"
#include "output.h"
#include "py_ref.h"

namespace kvt::arrow {
namespace {

using py::PyRef;

PyObject* new_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// ValueError with the error's text, and its kind (TableFrameError::kind) as the attribute `kind`.
PyObject* raise_frame_error(const TableFrameError& e) {
  PyRef text = PyRef::steal(new_str(e.to_string()));
  if (!text) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr));
  if (!exc) return nullptr;
  PyRef kind = PyRef::steal(new_str(e.kind()));
  if (!kind || PyObject_SetAttrString(exc.get(), "kind", kind.get()) < 0) return nullptr;
  PyErr_SetObject(PyExc_ValueError, exc.get());
  return nullptr;
}

// (table, obj, [(name, column)]) from a whole frame whose header the caller has checked: columns
// are NumPy arrays, Strings for text and bytes, None for Null columns.
PyObject* unpack_buffer(std::span<const uint8_t> content, int64_t offset_us) {
  auto unpacked = unpack_table_frame(content, /*skip_header=*/true);
  if (!unpacked) return raise_frame_error(unpacked.error());
  Table table = std::move(*unpacked);
  PyRef obj = PyRef::steal(new_str(table_meta_text(table, kObjKey)));
  PyRef name = PyRef::steal(new_str(table_meta_text(table, kTableKey)));
  if (!obj || !name) return nullptr;
  const size_t rows = row_count(table);
  std::vector<Field> fields = into_fields(std::move(table));
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < fields.size(); ++i) {
    Field field = std::move(fields[i]);
    PyRef field_name = PyRef::steal(new_str(field.name));
    if (!field_name) return nullptr;
    PyRef column;
    const DataType kind = series_kind(field.series);
    if (kind == DataType::String || kind == DataType::Bytes) {
      auto& strings = kind == DataType::String ? get_kind<DataType::String>(field.series)
                                               : get_kind<DataType::Bytes>(field.series);
      column = PyRef::steal(new_strings(std::move(strings), kind == DataType::String));
    } else if (kind == DataType::Null) {
      column = PyRef::borrow(Py_None);
    } else {
      column = PyRef::steal(py::series_to_array(std::move(field.series), rows, offset_us));
    }
    if (!column) return nullptr;
    PyRef pair = PyRef::steal(PyTuple_Pack(2, field_name.get(), column.get()));
    if (!pair) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return PyTuple_Pack(3, name.get(), obj.get(), list.get());
}

PyObject* unpack(PyObject*, PyObject* args) {
  PyObject* source = nullptr;
  long long offset_us = 0;
  int header = 0;
  if (!PyArg_ParseTuple(args, "OLp", &source, &offset_us, &header)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) < 0) return nullptr;
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  const size_t skip = header ? kHeaderSize : 0;
  if (static_cast<size_t>(view.len) < skip) {
    PyErr_SetString(PyExc_ValueError, "buffer is too short");
    return nullptr;
  }
  py::prepare_thread_for_exceptions();
  try {
    return unpack_buffer(std::span<const uint8_t>(static_cast<const uint8_t*>(view.buf) + skip,
                                                  static_cast<size_t>(view.len) - skip),
                         offset_us);
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to parse a table frame: %s", e.what());
  }
}

PyObject* columns_list(std::optional<std::vector<ImportedColumn>> columns) {
  if (!columns) return nullptr;
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (ImportedColumn& c : *columns) {
    PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(
        c.name.data(), static_cast<Py_ssize_t>(c.name.size()), "surrogateescape"));
    if (!name) return nullptr;
    PyRef column = PyRef::steal(new_imported(std::move(c)));
    if (!column) return nullptr;
    PyRef pair = PyRef::steal(PyTuple_Pack(2, name.get(), column.get()));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* read_stream_py(PyObject*, PyObject* capsule) {
  py::prepare_thread_for_exceptions();
  try {
    return columns_list(read_stream(capsule));
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to read an Arrow stream: %s", e.what());
  }
}

PyObject* read_array_py(PyObject*, PyObject* args) {
  PyObject* schema = nullptr;
  PyObject* array = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &schema, &array)) return nullptr;
  py::prepare_thread_for_exceptions();
  try {
    return columns_list(read_array(schema, array));
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to read an Arrow array: %s", e.what());
  }
}

// One column to pack: taken in from NumPy or a list, or converted from an Arrow column.
using PackColumn = std::variant<py::PyArrayTyped, std::unique_ptr<Converted>>;

SeriesRef series_of(const PackColumn& c) {
  if (const auto* typed = std::get_if<py::PyArrayTyped>(&c)) return typed->into();
  return std::get<std::unique_ptr<Converted>>(c)->ref;
}

PyObject* pack_columns(std::string_view obj, PyObject* columns) {
  const Py_ssize_t n = PyList_Size(columns);
  std::vector<std::string> names;
  std::vector<PackColumn> packed;
  names.reserve(static_cast<size_t>(n));
  packed.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = nullptr;
    PyObject* column = nullptr;
    PyObject* scale = nullptr;
    if (!PyArg_ParseTuple(PyList_GetItem(columns, i), "UOO", &name, &column, &scale)) {
      return nullptr;
    }
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(name, &len);
    if (p == nullptr) return nullptr;
    names.emplace_back(p, static_cast<size_t>(len));
    if (const ImportedColumn* imported = imported_column(column)) {
      // Messages name the column as the caller does (a Series read alone may be unnamed).
      ImportedColumn named = *imported;
      named.name = names.back();
      auto converted = std::make_unique<Converted>();
      if (!convert(named, *converted)) return nullptr;
      packed.emplace_back(std::move(converted));
      continue;
    }
    std::optional<uint64_t> places;
    if (scale != Py_None) {
      const unsigned long long v = PyLong_AsUnsignedLongLong(scale);
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
      places = v;
    }
    std::optional<py::PyArrayTyped> typed =
        py::PyArrayTyped::try_from(PyRef::borrow(column), places, names.back());
    if (!typed) return nullptr;
    packed.emplace_back(std::move(*typed));
  }
  TableRef table;
  table.format_word = kFormatWord;
  table.fields.reserve(packed.size());
  for (size_t i = 0; i < packed.size(); ++i) {
    SeriesRef series = series_of(packed[i]);
    table.fields.push_back(FieldRef{names[i], series_kind(series), std::nullopt, series});
  }
  table.meta.emplace();
  table.meta->insert(std::string(kObjKey), Variant(in_kind<DataType::String>, std::string(obj)));
  return py::frame_bytes(table);
}

PyObject* pack(PyObject*, PyObject* args) {
  PyObject* obj = nullptr;
  PyObject* columns = nullptr;
  if (!PyArg_ParseTuple(args, "UO!", &obj, &PyList_Type, &columns)) return nullptr;
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &len);
  if (p == nullptr) return nullptr;
  py::prepare_thread_for_exceptions();
  try {
    return pack_columns(std::string_view(p, static_cast<size_t>(len)), columns);
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to pack a table frame: %s", e.what());
  }
}

PyObject* schema_py(PyObject*, PyObject* batch) {
  try {
    return schema_capsule(batch);
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to export an Arrow schema: %s", e.what());
  }
}

PyObject* stream_py(PyObject*, PyObject* batches) {
  py::prepare_thread_for_exceptions();
  try {
    return stream_capsule(batches);
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to export an Arrow stream: %s", e.what());
  }
}

PyObject* level_name(KernelLevel level) {
  const std::string_view name = kernel_level_name(level);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* kernel_level_py(PyObject*, PyObject*) { return level_name(kernel_level()); }

PyObject* kernel_levels_py(PyObject*, PyObject*) {
  const auto top = static_cast<int>(cpu_kernel_level());
  PyObject* names = PyTuple_New(top + 1);
  if (names == nullptr) return nullptr;
  for (int l = 0; l <= top; ++l) {
    PyObject* name = level_name(static_cast<KernelLevel>(l));
    if (name == nullptr) {
      Py_DecRef(names);
      return nullptr;
    }
    PyTuple_SetItem(names, l, name);
  }
  return names;
}

PyMethodDef kMethods[] = {
    {"kernel_level", kernel_level_py, METH_NOARGS,
     "kernel_level()\n--\n\nThe kernel level this process runs: 'scalar', 'avx2' or 'avx512'."},
    {"kernel_levels", kernel_levels_py, METH_NOARGS,
     "kernel_levels()\n--\n\nThe kernel levels this CPU runs, lowest first."},
    {"unpack", unpack, METH_VARARGS,
     "unpack(buffer, offset_us, header, /)\n--\n\n(table, obj, columns) from one frame held in "
     "any contiguous buffer, whole (header true) or without its header; timestamps shifted by "
     "offset_us; text and bytes columns come as Strings, Null columns as None."},
    {"read_stream", read_stream_py, METH_O,
     "read_stream(capsule, /)\n--\n\n[(name, ArrowColumn)] from an arrow_array_stream capsule, "
     "read to its end."},
    {"read_array", read_array_py, METH_VARARGS,
     "read_array(schema, array, /)\n--\n\n[(name, ArrowColumn)] from the capsules of a struct "
     "array."},
    {"pack", pack, METH_VARARGS,
     "pack(obj, columns, /)\n--\n\nOne whole frame from [(name, column, scale)], where a column is "
     "an ArrowColumn, a NumPy array or a list of str, and scale an int or None."},
    {"schema", schema_py, METH_O,
     "schema(batch, /)\n--\n\nAn arrow_schema capsule for the batch (columns, rows, metadata)."},
    {"stream", stream_py, METH_O,
     "stream(batches, /)\n--\n\nAn arrow_array_stream capsule over an iterator of batches."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) { return add_types(module); }

// One interpreter only, as _kvt: the NumPy C API table, the dtype descriptors and the types made
// once are process-wide Python objects, which another interpreter must not share.
PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kvt._arrow",
    "Frames from any buffer, and tables to and from the Arrow C data interface.",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kvt::arrow

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__arrow(void) {
  return PyModuleDef_Init(&kvt::arrow::kModule);
}
