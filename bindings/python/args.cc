#include "args.h"

#include <string>
#include <string_view>
#include <vector>

namespace kvt::py {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else if (i + 1 == names.size()) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += "'" + names[i] + "'";
  }
  return out;
}

bool fail(const std::string& msg) {
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

// Puts the keyword's UTF-8 text in out; false, with the encoding error pending, when it has none.
bool keyword_text(PyObject* kw, std::string_view& out) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(kw, &n);
  if (p == nullptr) return false;
  out = std::string_view(p, static_cast<size_t>(n));
  return true;
}

}  // namespace

bool bind_args(const char* func, const Param* params, size_t nparams, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  size_t min_pos = 0;
  for (size_t i = 0; i < nparams; ++i) {
    out[i] = nullptr;
    if (params[i].required) min_pos = i + 1;
  }
  auto given = static_cast<size_t>(nargs);
  if (given > nparams) {
    std::string msg = std::string(func) + "() takes ";
    if (min_pos != nparams) {
      msg += "from " + std::to_string(min_pos) + " to " + std::to_string(nparams);
    } else {
      msg += std::to_string(nparams);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    return fail(msg);
  }
  for (size_t i = 0; i < given; ++i) out[i] = args[i];

  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  if (nkw < 0) return false;
  if (nkw > 0) {
    // Positional-only names passed as keywords are reported together, before anything else.
    std::vector<std::string> posonly;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      std::string_view kw;
      if (!keyword_text(PyTuple_GetItem(kwnames, k), kw)) return false;
      for (size_t i = 0; i < nparams; ++i) {
        if (params[i].positional_only && kw == params[i].name) posonly.emplace_back(kw);
      }
    }
    if (!posonly.empty()) {
      return fail(std::string(func) +
                  "() got some positional-only arguments passed as keyword arguments: " +
                  name_list(posonly));
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      std::string_view kw;
      if (!keyword_text(PyTuple_GetItem(kwnames, k), kw)) return false;
      size_t i = 0;
      while (i < nparams && kw != params[i].name) ++i;
      if (i == nparams) {
        return fail(std::string(func) + "() got an unexpected keyword argument '" +
                    std::string(kw) + "'");
      }
      if (out[i] != nullptr) {
        return fail(std::string(func) + "() got multiple values for argument '" + std::string(kw) +
                    "'");
      }
      out[i] = args[given + static_cast<size_t>(k)];
    }
  }

  std::vector<std::string> missing;
  for (size_t i = 0; i < nparams; ++i) {
    if (params[i].required && out[i] == nullptr) missing.emplace_back(params[i].name);
  }
  if (!missing.empty()) {
    return fail(std::string(func) + "() missing " + std::to_string(missing.size()) +
                " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                name_list(missing));
  }
  return true;
}

}  // namespace kvt::py
