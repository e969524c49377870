#include "errors.h"

#include <exception>
#include <string>

#include "py_ref.h"

namespace kvt::py {

namespace {

// UTF-8 text of str(obj), or nullptr with no exception left pending.
std::string str_of(PyObject* obj) {
  PyRef s = PyRef::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (p == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(p, static_cast<size_t>(n));
}

std::string type_qualname(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(name.get(), &n)) {
      return std::string(p, static_cast<size_t>(n));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

}  // namespace

PyObject* raise_text(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_type_check(PyObject* obj, const char* expected) {
  std::string msg;
  if (obj == Py_None) {
    msg = std::string("'None' is not an instance of '") + expected + "'";
  } else {
    msg = "'" + type_qualname(obj) + "' object is not an instance of '" + expected + "'";
  }
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return nullptr;
}

void prefix_argument_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc);
    return;
  }
  PyRef owned = PyRef::steal(exc);
  std::string msg = std::string("argument '") + name + "': " + str_of(exc);
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

PyObject* internal_error_type() {
  // Created under the interpreter lock; lives as long as the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_kvt.InternalError",
        "A failure that valid use cannot reach (NumPy unavailable, out of memory).",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_internal(const char* message) {
  std::string msg = message;
  if (PyObject* exc = PyErr_GetRaisedException()) {
    PyRef owned = PyRef::steal(exc);
    std::string inner = str_of(exc);
    if (!inner.empty()) msg += ": " + inner;
  }
  PyObject* type = internal_error_type();
  if (type == nullptr) return nullptr;  // creating the type failed; its error is pending
  PyErr_SetString(type, msg.c_str());
  return nullptr;
}

PyObject* raise_internal_format(const char* format, const char* arg) {
  PyObject* type = internal_error_type();
  if (type == nullptr) return nullptr;
  PyErr_Format(type, format, arg);
  return nullptr;
}

void prepare_thread_for_exceptions() noexcept {
  // Reads the thread's exception globals, which creates them on the thread's first call.
  static_cast<void>(std::uncaught_exceptions());
}

}  // namespace kvt::py
