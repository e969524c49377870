// The _kvt extension module: its definition, initialisation and argument conversion.
//
// Every function binds its arguments with bind_args, converts them in parameter order, and turns
// the first failure into a Python exception. The interpreter lock is held throughout every call.
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "args.h"
#include "errors.h"
#include "frame/table_frame.h"
#include "functions.h"
#include "model/date.h"
#include "py_ref.h"

namespace kvt::py {
namespace {

// UTF-8 view of a str (the str keeps it alive), or nullopt with the encoding error pending.
std::optional<std::string_view> utf8_of(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) return std::nullopt;
  return std::string_view(p, static_cast<size_t>(n));
}

// The bytes of a bytes argument, or nullopt with TypeError "argument '{name}': ..." pending.
std::optional<std::span<const uint8_t>> bytes_arg(PyObject* o, const char* name) {
  if (!PyBytes_Check(o)) {
    raise_type_check(o, "bytes");
    prefix_argument_error(name);
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(o, &data, &n) < 0) return std::nullopt;
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(n));
}

PyObject* set_local_zone(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<Param, 1> kParams{{{"tz", false, true}}};
  std::array<PyObject*, 1> a;
  if (!bind_args("set_local_zone", kParams, args, nargs, kwnames, a)) return nullptr;
  long tz = PyLong_AsLong(a[0]);
  if (tz == -1 && PyErr_Occurred()) {
    prefix_argument_error("tz");
    return nullptr;
  }
  if (tz < -128 || tz > 127) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return nullptr;
  }
  if (tz < -25 || tz > 25) {
    PyErr_SetString(PyExc_ValueError, "invalid timezone");
    return nullptr;
  }
  set_default_timezone(ZoneOffset{static_cast<int8_t>(tz), 0, 0});
  Py_RETURN_NONE;
}

PyObject* get_local_offset_py(PyObject*, PyObject*) {
  return PyLong_FromLongLong(get_local_offset().length_micros());
}

PyObject* check_table_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<Param, 1> kParams{{{"buffer", true, true}}};
  std::array<PyObject*, 1> a;
  if (!bind_args("check_table_frame", kParams, args, nargs, kwnames, a)) return nullptr;
  auto buffer = bytes_arg(a[0], "buffer");
  if (!buffer) return nullptr;
  HeaderResult h = check_table_frame_header(*buffer);
  switch (h.status) {
    case HeaderCheck::TooShort:
      PyErr_SetString(PyExc_ValueError, "buffer is too short");
      return nullptr;
    case HeaderCheck::NotAFrame:
      PyErr_SetString(PyExc_ValueError, "buffer is not a table frame");
      return nullptr;
    case HeaderCheck::Ok:
      break;
  }
  return PyLong_FromUnsignedLong(h.length);
}

PyObject* parse_table_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<Param, 1> kParams{{{"buffer", true, true}}};
  std::array<PyObject*, 1> a;
  if (!bind_args("parse_table_frame", kParams, args, nargs, kwnames, a)) return nullptr;
  auto buffer = bytes_arg(a[0], "buffer");
  if (!buffer) return nullptr;
  return parse_frame(*buffer);
}

// Copies decimal_fields into `scales`: a dict of str -> non-negative integer.
bool copy_scales(PyObject* dict, ScaleMap& scales) {
  if (!PyDict_Check(dict)) {
    raise_type_check(dict, "dict");
    prefix_argument_error("decimal_fields");
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // __index__ may run Python code that mutates the dict. As in a Python loop over the dict, a
  // change of size ends the call with RuntimeError; so does a visit beyond the original size
  // (keys replaced one for one), which would otherwise let such code keep the loop going forever.
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t visited = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (++visited > size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
      return false;
    }
    // Own the key and value while Python code may run.
    PyRef key_ref = PyRef::borrow(key);
    PyRef value_ref = PyRef::borrow(value);
    if (!PyUnicode_Check(key)) {
      raise_type_check(key, "str");
      prefix_argument_error("decimal_fields");
      return false;
    }
    auto name = utf8_of(key);
    if (!name) {
      prefix_argument_error("decimal_fields");
      return false;
    }
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
      prefix_argument_error("decimal_fields");
      return false;
    }
    if (PyDict_Size(dict) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
    unsigned long long scale = PyLong_AsUnsignedLongLong(index.get());
    if (scale == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      prefix_argument_error("decimal_fields");
      return false;
    }
    scales.insert_or_assign(std::string(*name), static_cast<uint64_t>(scale));
  }
  return true;
}

PyObject* pack_table_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<Param, 3> kParams{
      {{"obj", true, true}, {"columns", true, true}, {"decimal_fields", true, false}}};
  std::array<PyObject*, 3> a;
  if (!bind_args("pack_table_frame", kParams, args, nargs, kwnames, a)) return nullptr;
  if (!PyUnicode_Check(a[0])) {
    raise_type_check(a[0], "str");
    prefix_argument_error("obj");
    return nullptr;
  }
  auto obj = utf8_of(a[0]);
  if (!obj) {
    prefix_argument_error("obj");
    return nullptr;
  }
  if (!PyList_Check(a[1])) {
    raise_type_check(a[1], "list");
    prefix_argument_error("columns");
    return nullptr;
  }
  // An allocation the system refuses (scale map, converted columns, frame plan) must not unwind
  // into the interpreter, which would end the process: it becomes the internal error, after RAII
  // has released the columns taken in so far.
  prepare_thread_for_exceptions();
  try {
    ScaleMap scales;
    bool have_scales = a[2] != nullptr && a[2] != Py_None;
    if (have_scales && !copy_scales(a[2], scales)) return nullptr;
    return pack_columns(*obj, a[1], have_scales ? &scales : nullptr);
  } catch (const std::exception& e) {
    return raise_internal_format("Failed to pack a table frame: %s", e.what());
  }
}

PyMethodDef kMethods[] = {
    {"set_local_zone",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(static_cast<FastCallKw>(set_local_zone))),
     METH_FASTCALL | METH_KEYWORDS, "set_local_zone(tz)\n--\n\n"},
    {"get_local_offset", get_local_offset_py, METH_NOARGS, "get_local_offset()\n--\n\n"},
    {"check_table_frame",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(static_cast<FastCallKw>(check_table_frame))),
     METH_FASTCALL | METH_KEYWORDS,
     "check_table_frame(buffer, /)\n--\n\nChecks if the buffer is a table frame.\n\n"
     "Returns the frame size if it is a table frame."},
    {"parse_table_frame",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(static_cast<FastCallKw>(parse_table_frame))),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_table_frame(buffer, /)\n--\n\nParses a table frame.\n\n"
     "Returns the a tuple of (object name, table), where table is a dict of (column name, numpy "
     "array)."},
    {"pack_table_frame",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(static_cast<FastCallKw>(pack_table_frame))),
     METH_FASTCALL | METH_KEYWORDS,
     "pack_table_frame(obj, columns, decimal_fields=None, /)\n--\n\n"
     "Pack columns into a table frame.\n\n"
     "obj: the object name, must not be empty\n"
     "columns: a list of (column name, numpy array)\n"
     "Returns the packed table frame"},
};

// Adds one function: a built-in bound to the module, listed in __all__ under its __name__.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyRef func = PyRef::steal(PyCFunction_NewEx(def, module, module_name));
  if (!func) return -1;
  PyRef name = PyRef::steal(PyObject_GetAttrString(func.get(), "__name__"));
  if (!name) return -1;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) return -1;
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  PyRef created;
  if (all == nullptr) {
    created = PyRef::steal(PyList_New(0));
    if (!created || PyObject_SetAttrString(module, "__all__", created.get()) < 0) return -1;
    all = created.get();
  }
  if (PyList_Append(all, name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), func.get());
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_type_check(module, "module");
    return -1;
  }
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& def : kMethods) {
    if (add_function(module, module_name.get(), &def) < 0) return -1;
  }
  return 0;
}

// One interpreter only, as kvt._arrow: the NumPy C API table and the dtype descriptors made once
// are process-wide Python objects, which another interpreter must not share (NumPy itself runs
// in one interpreter of a process).
PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_kvt",
    "Python extension module that packs named NumPy columns into compact, checksummed table "
    "frames and parses them back.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kvt::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kvt(void) {
  return PyModuleDef_Init(&kvt::py::kModule);
}
