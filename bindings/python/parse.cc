// Placeholder until parsing is built.
#include "functions.h"

namespace kvt::py {

PyObject* parse_frame(std::span<const uint8_t>) {
  PyErr_SetString(PyExc_NotImplementedError, "parse_table_frame is not built yet");
  return nullptr;
}

}  // namespace kvt::py
