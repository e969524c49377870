// The one way the binding includes NumPy's C interface.
//
// numpy_api.cc owns the API table (it alone includes this header with KVT_NUMPY_API_OWNER); every
// other file that needs NumPy includes this header plainly. The table is loaded on first use, not
// at import: call ensure_numpy() before any NumPy call.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL KVT_PyArray_API
#ifndef KVT_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kvt::py {

// Loads NumPy's C interface once. On failure raises the internal-error type with a message
// beginning "Failed to access NumPy array API capsule" and returns false.
bool ensure_numpy();

}  // namespace kvt::py
