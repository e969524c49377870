// pack_table_frame after argument conversion: column walk, intake, table view, frame.
//
// The interpreter lock is held from the first column to the last byte written, and no Python code
// runs in between, so the arrays that view columns point into cannot change under the packer.
#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "errors.h"
#include "frame/table_frame.h"
#include "functions.h"
#include "intake.h"
#include "model/meta_map.h"
#include "model/pages.h"
#include "model/table.h"
#include "model/variant.h"
#include "py_ref.h"

namespace kvt::py {

namespace {

// The scale that decimal_fields gives the column, if any. An empty map is not consulted.
std::optional<uint64_t> scale_of(const ScaleMap* scales, const std::string& name) {
  if (scales == nullptr || scales->empty()) return std::nullopt;
  auto it = scales->find(name);
  if (it == scales->end()) return std::nullopt;
  return it->second;
}

// Takes in every (name, column) tuple of `columns`, in order. nullopt with the first column's
// exception set; the columns taken so far are released with the vector.
std::optional<ColumnPairs> take_columns(PyObject* columns, const ScaleMap* scales) {
  const Py_ssize_t n = PyList_Size(columns);
  if (n < 0) return std::nullopt;
  ColumnPairs pairs;
  pairs.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(columns, i);  // borrowed
    if (item == nullptr) return std::nullopt;
    if (!PyTuple_Check(item)) {
      raise_type_check(item, "tuple");
      return std::nullopt;
    }
    // PyTuple_GetItem raises the interpreter's "tuple index out of range" IndexError.
    PyObject* name_obj = PyTuple_GetItem(item, 0);  // borrowed
    if (name_obj == nullptr) return std::nullopt;
    if (!PyUnicode_Check(name_obj)) {
      raise_type_check(name_obj, "str");
      return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(name_obj, &len);
    if (p == nullptr) return std::nullopt;
    std::string name(p, static_cast<size_t>(len));
    PyObject* column = PyTuple_GetItem(item, 1);  // borrowed
    if (column == nullptr) return std::nullopt;

    std::optional<uint64_t> scale = scale_of(scales, name);
    std::optional<PyArrayTyped> typed = PyArrayTyped::try_from(PyRef::borrow(column), scale, name);
    if (!typed) return std::nullopt;
    pairs.emplace_back(std::move(name), std::move(*typed));
  }
  return pairs;
}

}  // namespace

PyObject* pack_columns(std::string_view obj, PyObject* columns, const ScaleMap* scales) {
  std::optional<ColumnPairs> pairs = take_columns(columns, scales);
  if (!pairs) return nullptr;

  TableRef table;
  table.format_word = kFormatWord;
  table.fields = build_fields(*pairs);
  table.meta.emplace();
  table.meta->insert(std::string(kObjKey), Variant(in_kind<DataType::String>, std::string(obj)));
  table.flag = false;
  return frame_bytes(table);
}

PyObject* frame_bytes(const TableRef& table) {
  auto plan = plan_table_ref_frame(table);
  if (!plan) {
    const std::string text = plan.error().to_string();
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  // The frame is written straight into the bytes object's storage: no second copy.
  PyRef result =
      PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan->frame_size())));
  if (!result) return nullptr;
  char* dst = PyBytes_AsString(result.get());
  if (dst == nullptr) return nullptr;
  advise_huge_pages(dst, plan->frame_size());  // a large frame is written once, page by page
  write_table_ref_frame(table, *plan,
                        std::span<uint8_t>(reinterpret_cast<uint8_t*>(dst), plan->frame_size()));
  return result.release();
}

}  // namespace kvt::py
