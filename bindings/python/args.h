// One argument binder for every function of the module, driven by a parameter table.
//
// It produces the interpreter-style binding messages: too many positional arguments, positional-
// only names passed as keywords, unexpected or repeated keywords, then missing required
// arguments (keywords are examined first). All are TypeError.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace kvt::py {

// The limited API does not declare the fast-call-with-keywords signature.
using FastCallKw = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

struct Param {
  const char* name;
  bool positional_only;
  bool required;
};

// Binds args/kwnames to `params`. On success fills out[i] with a borrowed reference (nullptr for an
// omitted optional parameter) and returns true; otherwise raises TypeError and returns false.
bool bind_args(const char* func, const Param* params, size_t nparams, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <size_t N>
bool bind_args(const char* func, const std::array<Param, N>& params, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& out) {
  return bind_args(func, params.data(), N, args, nargs, kwnames, out.data());
}

}  // namespace kvt::py
