#include "objects.h"

#include <new>
#include <string>
#include <utility>

#include "errors.h"
#include "output.h"
#include "py_ref.h"

namespace kvt::arrow {
namespace {

using py::PyRef;

struct StringsObject {
  PyObject_HEAD StringColumn* column;
  bool text;
};

struct ImportedObject {
  PyObject_HEAD ImportedColumn* column;
};

// Created by the first module initialisation and kept for the life of the process.
PyTypeObject* strings_type = nullptr;
PyTypeObject* imported_type = nullptr;

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<T*>(self)->column;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

Py_ssize_t strings_len(PyObject* self) {
  return static_cast<Py_ssize_t>(reinterpret_cast<StringsObject*>(self)->column->size());
}

PyObject* strings_to_numpy(PyObject* self, PyObject*) {
  auto* s = reinterpret_cast<StringsObject*>(self);
  try {
    return py::strings_to_objects(StringsRef(*s->column), s->text);
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to convert a column: %s", e.what());
  }
}

PyObject* strings_is_text(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<StringsObject*>(self)->text);
}

PyObject* strings_nbytes(PyObject* self, void*) {
  const StringColumn& c = *reinterpret_cast<StringsObject*>(self)->column;
  return PyLong_FromSize_t(c.bytes().size());
}

PyMethodDef kStringsMethods[] = {
    {"to_numpy", strings_to_numpy, METH_NOARGS,
     "to_numpy()\n--\n\nA new object array of str (or bytes), one per element."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStringsGetSet[] = {
    {"is_text", strings_is_text, nullptr, "True for text, False for bytes.", nullptr},
    {"nbytes", strings_nbytes, nullptr, "The count of bytes of all elements.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStringsSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StringsObject>)},
    {Py_sq_length, reinterpret_cast<void*>(strings_len)},
    {Py_tp_methods, kStringsMethods},
    {Py_tp_getset, kStringsGetSet},
    {Py_tp_doc, const_cast<char*>("A decoded text or bytes column: one arena of bytes and 64-bit "
                                  "offsets, as Arrow's large string and large binary lay it out.")},
    {0, nullptr},
};

PyType_Spec kStringsSpec = {"kvt._arrow.Strings", sizeof(StringsObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kStringsSlots};

Py_ssize_t imported_len(PyObject* self) {
  return static_cast<Py_ssize_t>(reinterpret_cast<ImportedObject*>(self)->column->length);
}

PyObject* imported_to_numpy(PyObject* self, PyObject*) {
  try {
    return column_to_numpy(*reinterpret_cast<ImportedObject*>(self)->column);
  } catch (const std::exception& e) {
    return py::raise_internal_format("Failed to convert a column: %s", e.what());
  }
}

PyObject* imported_format(PyObject* self, void*) {
  const std::string f = reinterpret_cast<ImportedObject*>(self)->column->format();
  return PyUnicode_DecodeUTF8(f.data(), static_cast<Py_ssize_t>(f.size()), "replace");
}

PyObject* imported_decimal_scale(PyObject* self, void*) {
  std::optional<int64_t> scale = decimal_scale(*reinterpret_cast<ImportedObject*>(self)->column);
  if (!scale) Py_RETURN_NONE;
  return PyLong_FromLongLong(*scale);
}

PyObject* imported_is_dictionary(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<ImportedObject*>(self)->column->schema->dictionary !=
                         nullptr);
}

PyMethodDef kImportedMethods[] = {
    {"to_numpy", imported_to_numpy, METH_NOARGS,
     "to_numpy()\n--\n\nA new NumPy array of the column's values (decimals as exact text)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kImportedGetSet[] = {
    {"format", imported_format, nullptr, "The Arrow format string of the column.", nullptr},
    {"decimal_scale", imported_decimal_scale, nullptr,
     "The scale of a decimal column, None for other types.", nullptr},
    {"is_dictionary", imported_is_dictionary, nullptr, "True for dictionary-encoded columns.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kImportedSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ImportedObject>)},
    {Py_sq_length, reinterpret_cast<void*>(imported_len)},
    {Py_tp_methods, kImportedMethods},
    {Py_tp_getset, kImportedGetSet},
    {Py_tp_doc, const_cast<char*>("One column taken in from an Arrow producer.")},
    {0, nullptr},
};

PyType_Spec kImportedSpec = {"kvt._arrow.ArrowColumn", sizeof(ImportedObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             kImportedSlots};

template <class T, class C>
PyObject* make(PyTypeObject* type, C* column) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* o = alloc(type, 0);
  if (o == nullptr) {
    delete column;
    return nullptr;
  }
  reinterpret_cast<T*>(o)->column = column;
  return o;
}

}  // namespace

int add_types(PyObject* module) {
  if (strings_type == nullptr) {
    strings_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kStringsSpec));
    if (strings_type == nullptr) return -1;
  }
  if (imported_type == nullptr) {
    imported_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kImportedSpec));
    if (imported_type == nullptr) return -1;
  }
  if (PyModule_AddObjectRef(module, "Strings", reinterpret_cast<PyObject*>(strings_type)) < 0) {
    return -1;
  }
  return PyModule_AddObjectRef(module, "ArrowColumn", reinterpret_cast<PyObject*>(imported_type));
}

PyObject* new_strings(StringColumn&& column, bool text) {
  PyObject* o = make<StringsObject>(strings_type, new StringColumn(std::move(column)));
  if (o != nullptr) reinterpret_cast<StringsObject*>(o)->text = text;
  return o;
}

const StringColumn* strings_column(PyObject* o, bool* text) {
  if (strings_type == nullptr || !PyObject_TypeCheck(o, strings_type)) return nullptr;
  auto* s = reinterpret_cast<StringsObject*>(o);
  *text = s->text;
  return s->column;
}

PyObject* new_imported(ImportedColumn&& column) {
  return make<ImportedObject>(imported_type, new ImportedColumn(std::move(column)));
}

const ImportedColumn* imported_column(PyObject* o) {
  if (imported_type == nullptr || !PyObject_TypeCheck(o, imported_type)) return nullptr;
  return reinterpret_cast<ImportedObject*>(o)->column;
}

}  // namespace kvt::arrow
