// Placeholder until packing is built.
#include "functions.h"

namespace kvt::py {

PyObject* pack_columns(std::string_view, PyObject*, const ScaleMap*) {
  PyErr_SetString(PyExc_NotImplementedError, "pack_table_frame is not built yet");
  return nullptr;
}

}  // namespace kvt::py
