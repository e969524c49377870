#include "intake.h"

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "columns/datetime_column.h"
#include "columns/decimal_column.h"
#include "columns/string_column.h"
#include "columns/varint_column.h"
#include "errors.h"
#include "model/recent_cache.h"
#include "numpy_api.h"

namespace kvt::py {

namespace {

// The dtypes intake accepts, in the order in which they are tried.
enum Branch : size_t { kInt64, kFloat64, kInt32, kFloat32, kBool, kUs, kMs, kS, kNs, kBranches };

// The descriptors of the accepted dtypes, created on first use and kept for the process.
// nullptr with the internal error raised when NumPy cannot make them.
PyArray_Descr* const* accepted_descrs() {
  static std::array<PyArray_Descr*, kBranches> table{};
  if (table[0] != nullptr) return table.data();

  std::array<PyRef, kBranches> made;
  const int plain[] = {NPY_INT64, NPY_FLOAT64, NPY_INT32, NPY_FLOAT32, NPY_BOOL};
  for (size_t i = 0; i < 5; ++i) {
    made[i] = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(plain[i])));
    if (!made[i]) {
      raise_internal("Failed to create a NumPy descriptor");
      return nullptr;
    }
  }
  const char* units[] = {"M8[us]", "M8[ms]", "M8[s]", "M8[ns]"};
  for (size_t i = 0; i < 4; ++i) {
    PyRef text = PyRef::steal(PyUnicode_FromString(units[i]));
    PyArray_Descr* d = nullptr;
    if (!text || PyArray_DescrConverter(text.get(), &d) != NPY_SUCCEED) {
      raise_internal("Failed to create a NumPy descriptor");
      return nullptr;
    }
    made[kUs + i] = PyRef::steal(reinterpret_cast<PyObject*>(d));
  }
  for (size_t i = 0; i < kBranches; ++i) {
    table[i] = reinterpret_cast<PyArray_Descr*>(made[i].release());
  }
  return table.data();
}

// True when the str `name` is exactly the ASCII word (never raises).
bool name_is(PyObject* name, const char* word) {
  return PyUnicode_CompareWithASCIIString(name, word) == 0;
}

void raise_value_error(const std::string& message) { raise_text(PyExc_ValueError, message); }

// ValueError "unsupported data type: {str(what)}".
void raise_unsupported(PyObject* what) {
  PyRef text = PyRef::steal(PyUnicode_FromFormat("unsupported data type: %S", what));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// Decimals hold scales 0..15; a larger one cannot be carried by any element of the column.
bool check_decimal_scale(uint64_t scale, std::string_view name) {
  if (scale <= kD64MaxScale) return true;
  raise_value_error("decimal scale " + std::to_string(scale) + " of column '" + std::string(name) +
                    "' is above 15");
  return false;
}

// The slots of the str objects seen so far, by identity. A column built from a list of names holds
// the same few objects many times over; a repeat then skips the type check and the UTF-8 lookup
// and copies the slot. Sound because the list keeps every item alive and unchanged for the whole
// call (no Python code runs), so an address seen once names the same str until packing ends.
//
// An open-addressing table (linear probing) of 8-byte entries, each an object address (below
// 2^48, as user-space addresses are; others are never added) with the index of its slot in the top
// 16 bits. It stays at most 1/8 full, so that nearly every lookup ends at its first probe, until
// it has 2^18 entries (2 MiB), and it takes at most 2^16 distinct objects; later new objects are
// not added. The keys are this process's own addresses, not input data. 500 names take 32 KiB.
class SeenStrs {
 public:
  SeenStrs() { grow(kFirstBits); }

  // The slot of `item` if it was seen, else nullptr.
  const TextSlot* find(PyObject* item) const {
    const auto key = reinterpret_cast<uintptr_t>(item);
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      const uint64_t e = table_[i];
      if ((e & kAddressMask) == key) return &slots_[e >> kAddressBits];
      if (e == 0) return nullptr;
    }
  }
  // Adds an object that find() did not know.
  void add(PyObject* item, const TextSlot& slot) {
    const auto key = reinterpret_cast<uintptr_t>(item);
    if (slots_.size() >= kMaxSeen || (key & kAddressMask) != key) return;
    if (table_.size() < kMaxEntries ? 8 * (slots_.size() + 1) > table_.size()
                                    : 4 * (slots_.size() + 1) > table_.size()) {
      grow(bits_ + 1);
    }
    put(key | (static_cast<uint64_t>(slots_.size()) << kAddressBits));
    slots_.push_back(slot);
  }

 private:
  static constexpr unsigned kAddressBits = 48;
  static constexpr uint64_t kAddressMask = (uint64_t{1} << kAddressBits) - 1;
  static constexpr size_t kMaxSeen = size_t{1} << (64 - kAddressBits);
  static constexpr unsigned kFirstBits = 12;
  static constexpr size_t kMaxEntries = size_t{1} << 18;

  size_t home(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> (64 - bits_); }
  void put(uint64_t entry) {
    size_t i = home(entry & kAddressMask);
    while (table_[i] != 0) i = (i + 1) & mask_;
    table_[i] = entry;
  }
  void grow(unsigned bits) {
    std::vector<uint64_t> old = std::move(table_);
    bits_ = bits;
    mask_ = (size_t{1} << bits) - 1;
    table_.assign(size_t{1} << bits, 0);
    for (const uint64_t e : old) {
      if (e != 0) put(e);
    }
  }

  unsigned bits_ = 0;
  size_t mask_ = 0;
  std::vector<uint64_t> table_;
  std::vector<TextSlot> slots_;
};

// The text column of a list of str: one slot per item, and the frame-form size of the elements.
// A non-str item is the type-check TypeError, an unencodable str the interpreter's exception.
std::optional<PyArrayTyped::Value> take_string_list(PyObject* list) {
  const Py_ssize_t n = PyList_Size(list);
  if (n < 0) return std::nullopt;
  const auto count = static_cast<size_t>(n);
  TextColumn col;
  col.slots.resize(count);
  TextSlot* const out = col.slots.data();
  uint64_t encoded = 0;
  SeenStrs seen;
  RepeatTrial trial;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(list, static_cast<Py_ssize_t>(i));  // borrowed
    if (item == nullptr) return std::nullopt;
    const bool look = trial.looking(i);
    if (look) {
      if (const TextSlot* slot = seen.find(item)) {
        trial.found();
        out[i] = *slot;
        encoded +=
            slot->is_inline() ? 1 + slot->b[0] : varint_size_flat(slot->size()) + slot->size();
        continue;
      }
    }
    // The exact type first: an inline test, where PyUnicode_Check is a call under the limited API.
    if (!Py_IS_TYPE(item, &PyUnicode_Type) && !PyUnicode_Check(item)) {
      raise_type_check(item, "str");
      return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(item, &len);
    if (p == nullptr) return std::nullopt;
    const auto size = static_cast<uint64_t>(len);
    out[i] = TextSlot::of({p, static_cast<size_t>(size)});
    encoded += varint_size_flat(size) + size;
    if (look) seen.add(item, out[i]);
  }
  col.encoded_bytes = encoded;
  return PyArrayTyped::Value(std::move(col));
}

// Text items become decimals at `scale`; anything else, and text that does not parse, is NaN.
std::optional<PyArrayTyped::Value> take_decimal_list(PyObject* list, uint64_t scale,
                                                     std::string_view name) {
  if (!check_decimal_scale(scale, name)) return std::nullopt;
  const Py_ssize_t n = PyList_Size(list);
  if (n < 0) return std::nullopt;
  Vec<D64> out(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);  // borrowed
    if (item == nullptr) return std::nullopt;
    std::optional<std::string_view> text;
    if (PyUnicode_Check(item)) {
      Py_ssize_t len = 0;
      if (const char* p = PyUnicode_AsUTF8AndSize(item, &len)) {
        text = std::string_view(p, static_cast<size_t>(len));
      } else {
        PyErr_Clear();
      }
    }
    out[static_cast<size_t>(i)] = decimal_from_text(text, static_cast<uint32_t>(scale));
  }
  return PyArrayTyped::Value(std::move(out));
}

std::optional<PyArrayTyped::Value> take_array(PyRef column, std::optional<uint64_t> scale,
                                              std::string_view name) {
  PyArray_Descr* const* accepted = accepted_descrs();
  if (accepted == nullptr) return std::nullopt;
  auto* arr = reinterpret_cast<PyArrayObject*>(column.get());
  PyArray_Descr* descr = PyArray_DESCR(arr);
  size_t branch = 0;
  while (branch < kBranches && !PyArray_EquivTypes(descr, accepted[branch])) ++branch;
  if (branch == kBranches) {
    raise_unsupported(reinterpret_cast<PyObject*>(descr));
    return std::nullopt;
  }
  if (PyArray_NDIM(arr) != 1) {
    raise_type_check(column.get(), "ndarray");
    return std::nullopt;
  }
  const auto n = static_cast<size_t>(PyArray_DIM(arr, 0));
  const int flags = PyArray_FLAGS(arr);
  if (n != 0 && (!(flags & NPY_ARRAY_ALIGNED) ||
                 !(flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)))) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return std::nullopt;
  }
  const void* data = PyArray_DATA(arr);

  switch (branch) {
    case kInt64:
      return PyArrayTyped::Value(ArrayColumn<int64_t>{std::move(column)});
    case kInt32:
      return PyArrayTyped::Value(ArrayColumn<int32_t>{std::move(column)});
    case kBool:
      return PyArrayTyped::Value(ArrayColumn<uint8_t>{std::move(column)});
    case kFloat64:
    case kFloat32: {
      if (!scale) {
        if (branch == kFloat64) {
          return PyArrayTyped::Value(ArrayColumn<double>{std::move(column)});
        }
        return PyArrayTyped::Value(ArrayColumn<float>{std::move(column)});
      }
      if (!check_decimal_scale(*scale, name)) return std::nullopt;
      Vec<D64> out(n);
      if (n != 0) {
        if (branch == kFloat64) {
          from_f64_column({static_cast<const double*>(data), n}, *scale, out.data());
        } else {
          from_f32_column({static_cast<const float*>(data), n}, *scale, out.data());
        }
      }
      return PyArrayTyped::Value(std::move(out));
    }
    case kUs:  // already in microseconds, NaT included: read in place
      return PyArrayTyped::Value(DateTimeColumn{std::move(column), {}});
    default: {  // datetime64 in ms, s or ns
      Vec<int64_t> out(n);
      if (n != 0) {
        const TimeUnit unit = branch == kMs  ? TimeUnit::Ms
                              : branch == kS ? TimeUnit::S
                                             : TimeUnit::Ns;
        if (!to_microseconds(unit, static_cast<const int64_t*>(data), out.data(), n)) {
          raise_value_error("datetime value out of range in column '" + std::string(name) + "'");
          return std::nullopt;
        }
      }
      return PyArrayTyped::Value(DateTimeColumn{PyRef(), std::move(out)});
    }
  }
}

}  // namespace

template <class T>
std::span<const T> ArrayColumn<T>::view() const {
  auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
  const auto n = static_cast<size_t>(PyArray_DIM(arr, 0));
  if (n == 0) return {};
  return {static_cast<const T*>(PyArray_DATA(arr)), n};
}

template struct ArrayColumn<int64_t>;
template struct ArrayColumn<double>;
template struct ArrayColumn<int32_t>;
template struct ArrayColumn<float>;
template struct ArrayColumn<uint8_t>;

std::span<const int64_t> DateTimeColumn::view() const {
  if (!array) return {owned.data(), owned.size()};
  auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
  const auto n = static_cast<size_t>(PyArray_DIM(arr, 0));
  if (n == 0) return {};
  return {static_cast<const int64_t*>(PyArray_DATA(arr)), n};
}

std::optional<PyArrayTyped> PyArrayTyped::try_from(PyRef column, std::optional<uint64_t> scale,
                                                   std::string_view name) {
  PyObject* obj = column.get();
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!type_name) return std::nullopt;

  std::optional<Value> value;
  if (name_is(type_name.get(), "list")) {
    if (!PyList_Check(obj)) {
      raise_type_check(obj, "list");
      return std::nullopt;
    }
    value = scale ? take_decimal_list(obj, *scale, name) : take_string_list(obj);
  } else if (name_is(type_name.get(), "ndarray")) {
    if (!ensure_numpy()) return std::nullopt;
    if (!PyArray_Check(obj)) {
      raise_type_check(obj, "ndarray");
      return std::nullopt;
    }
    value = take_array(std::move(column), scale, name);
  } else {
    raise_unsupported(type_name.get());
    return std::nullopt;
  }
  if (!value) return std::nullopt;
  return PyArrayTyped(std::move(*value));
}

namespace {

// The kind each intake alternative is packed as, and the view the packer reads.
template <class C>
constexpr DataType intake_kind() {
  if constexpr (std::is_same_v<C, ArrayColumn<int64_t>>) return DataType::Int64;
  if constexpr (std::is_same_v<C, ArrayColumn<double>>) return DataType::Float64;
  if constexpr (std::is_same_v<C, ArrayColumn<int32_t>>) return DataType::Int32;
  if constexpr (std::is_same_v<C, ArrayColumn<float>>) return DataType::Float32;
  if constexpr (std::is_same_v<C, ArrayColumn<uint8_t>>) return DataType::Bool;
  if constexpr (std::is_same_v<C, DateTimeColumn>) return DataType::DateTime;
  if constexpr (std::is_same_v<C, TextColumn>) return DataType::String;
  return DataType::Decimal;  // Vec<D64>
}

template <class C>
auto view_of(const C& c) {
  return c.view();
}
StringsRef view_of(const TextColumn& c) {
  return StringsRef({c.slots.data(), c.slots.size()}, c.encoded_bytes);
}
std::span<const D64> view_of(const Vec<D64>& v) { return {v.data(), v.size()}; }

}  // namespace

DataType PyArrayTyped::data_type() const {
  return std::visit([](const auto& c) { return intake_kind<std::decay_t<decltype(c)>>(); }, value_);
}

SeriesRef PyArrayTyped::into() const {
  return std::visit(
      [](const auto& c) {
        return SeriesRef(in_kind<intake_kind<std::decay_t<decltype(c)>>()>, view_of(c));
      },
      value_);
}

std::vector<FieldRef> build_fields(const ColumnPairs& pairs) {
  std::vector<FieldRef> fields;
  fields.reserve(pairs.size());
  for (const auto& [name, column] : pairs) {
    fields.push_back(FieldRef{name, column.data_type(), std::nullopt, column.into()});
  }
  return fields;
}

}  // namespace kvt::py
