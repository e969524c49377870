#define KVT_NUMPY_API_OWNER
#include "numpy_api.h"

#include "errors.h"

namespace kvt::py {

bool ensure_numpy() {
  if (PyArray_API != nullptr) return true;
  if (PyArray_ImportNumPyAPI() < 0) {
    raise_internal("Failed to access NumPy array API capsule");
    return false;
  }
  return true;
}

}  // namespace kvt::py
