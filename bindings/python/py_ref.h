// PyRef: a move-only owner of one strong Python reference.
//
// steal() adopts a new reference, borrow() takes a new one on a borrowed pointer, release() hands
// the reference back to the caller. The reference is dropped when the PyRef dies; this is the
// only place that decrements reference counts.
#pragma once

#include <Python.h>

#include <utility>

namespace kvt::py {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { reset(); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }
  void reset() {
    PyObject* o = std::exchange(obj_, nullptr);
    Py_XDECREF(o);
  }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace kvt::py
