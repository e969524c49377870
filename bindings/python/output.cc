#include "output.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "model/d64.h"
#include "model/date.h"
#include "numpy_api.h"
#include "py_ref.h"

namespace kvt::py {
namespace {

// ---- owners of adopted buffers ----

// The capsule name doubles as a type check: only capsules made here carry it.
constexpr const char* kOwnerName = "_kvt.buffer_owner";

// Keeps one buffer alive for the arrays that point into it.
class BufferOwner {
 public:
  virtual ~BufferOwner() = default;
};

template <class T>
class VecOwner final : public BufferOwner {
 public:
  explicit VecOwner(Vec<T>&& v) : v_(std::move(v)) {
    // NumPy allocates its own memory when handed a null data pointer, so an empty vector gets a
    // (one-element) allocation of its own; the array still adopts it and has length 0.
    if (v_.data() == nullptr) v_.reserve(1);
  }
  T* data() { return v_.data(); }
  size_t size() const { return v_.size(); }

 private:
  Vec<T> v_;
};

// The slots of an object array. Every filled slot holds one strong reference, which the owner
// drops before the slot vector is freed. NumPy keeps that invariant when items are assigned.
class ObjectSlots final : public BufferOwner {
 public:
  explicit ObjectSlots(size_t n) { slots_.reserve(n == 0 ? 1 : n); }
  ~ObjectSlots() override {
    for (PyObject* o : slots_) PyRef::steal(o);
  }
  ObjectSlots(const ObjectSlots&) = delete;
  ObjectSlots& operator=(const ObjectSlots&) = delete;

  // Takes over `o`, a new reference; the caller has checked it is not null.
  void push(PyRef o) { slots_.push_back(o.release()); }
  PyObject** data() { return slots_.data(); }
  size_t size() const { return slots_.size(); }

 private:
  std::vector<PyObject*> slots_;
};

void destroy_owner(PyObject* capsule) {
  std::unique_ptr<BufferOwner> owner(
      static_cast<BufferOwner*>(PyCapsule_GetPointer(capsule, kOwnerName)));
}

// ---- descriptors, made once per process ----

enum class Dtype : uint8_t { Bool, Int32, Int64, UInt32, UInt64, Float32, Float64, Object, Us };
constexpr size_t kDtypeCount = 9;

PyArray_Descr* make_descr(Dtype d) {
  switch (d) {
    case Dtype::Bool: return PyArray_DescrFromType(NPY_BOOL);
    case Dtype::Int32: return PyArray_DescrFromType(NPY_INT32);
    case Dtype::Int64: return PyArray_DescrFromType(NPY_INT64);
    case Dtype::UInt32: return PyArray_DescrFromType(NPY_UINT32);
    case Dtype::UInt64: return PyArray_DescrFromType(NPY_UINT64);
    case Dtype::Float32: return PyArray_DescrFromType(NPY_FLOAT32);
    case Dtype::Float64: return PyArray_DescrFromType(NPY_FLOAT64);
    case Dtype::Object: return PyArray_DescrFromType(NPY_OBJECT);
    case Dtype::Us: {
      PyRef spec = PyRef::steal(PyUnicode_FromString("M8[us]"));
      PyArray_Descr* descr = nullptr;
      if (!spec || !PyArray_DescrConverter(spec.get(), &descr)) return nullptr;
      return descr;
    }
  }
  return nullptr;
}

// A new reference to the descriptor of `d`, ready to be stolen by an array constructor; nullptr
// with the internal error raised when NumPy or the descriptor is unavailable.
PyArray_Descr* descr_of(Dtype d) {
  // Written under the interpreter lock; the cached references live as long as the process.
  static PyArray_Descr* cache[kDtypeCount] = {};
  if (!ensure_numpy()) return nullptr;
  PyArray_Descr*& slot = cache[static_cast<size_t>(d)];
  if (slot == nullptr) {
    slot = make_descr(d);
    if (slot == nullptr) {
      raise_internal("Failed to create a NumPy dtype");
      return nullptr;
    }
  }
  Py_INCREF(reinterpret_cast<PyObject*>(slot));
  return slot;
}

// ---- array construction ----

// A 1-d array of n elements over `data`, kept alive by `owner`, which the array's base takes
// over. When anything fails the owner (and so the buffer) is freed.
PyObject* adopt(std::unique_ptr<BufferOwner> owner, void* data, size_t n, Dtype d) {
  PyRef capsule = PyRef::steal(PyCapsule_New(owner.get(), kOwnerName, destroy_owner));
  if (!capsule) return raise_internal("Failed to create a NumPy array owner");
  owner.release();  // the capsule frees it from now on
  PyArray_Descr* descr = descr_of(d);
  if (descr == nullptr) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, data,
                                                  NPY_ARRAY_CARRAY, nullptr));
  if (!array) return raise_internal("Failed to create a NumPy array");
  // Steals the capsule even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) <
      0) {
    return raise_internal("Failed to create a NumPy array");
  }
  return array.release();
}

template <class T>
PyObject* adopt_vec(Vec<T>&& v, Dtype d) {
  auto owner = std::make_unique<VecOwner<T>>(std::move(v));
  T* data = owner->data();
  size_t n = owner->size();
  return adopt(std::move(owner), data, n, d);
}

// A new array that owns its memory, filled from v by one block copy; v is freed.
template <class T>
PyObject* copy_vec(Vec<T>&& v, Dtype d) {
  Vec<T> local = std::move(v);
  PyArray_Descr* descr = descr_of(d);
  if (descr == nullptr) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(local.size())};
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0,
                                         nullptr);
  if (array == nullptr) return raise_internal("Failed to create a NumPy array");
  if (!local.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), local.data(),
                local.size() * sizeof(T));
  }
  return array;
}

PyObject* zeros_bool(size_t n) {
  PyArray_Descr* descr = descr_of(Dtype::Bool);
  if (descr == nullptr) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* array = PyArray_Zeros(1, dims, descr, 0);
  if (array == nullptr) return raise_internal("Failed to create a NumPy array");
  return array;
}

// Recently made objects of short elements, looked up by content. Columns of symbols, venues or
// currencies repeat a few values many times; equal elements then share one immutable str or bytes
// object instead of each allocating its own. Keys view the column being converted.
class RecentObjects {
 public:
  static constexpr size_t kMaxLen = 32;

  // A new reference to an object equal to s, or nullptr when none is cached.
  PyObject* find(std::string_view s, size_t& slot) const {
    slot = hash(s) & (kSlots - 1);
    const Entry& e = entries_[slot];
    if (e.obj == nullptr || e.key != s) return nullptr;
    Py_INCREF(e.obj);
    return e.obj;
  }
  // Remembers obj (borrowed: the caller's slot vector keeps it alive) under s.
  void store(size_t slot, std::string_view s, PyObject* obj) { entries_[slot] = {s, obj}; }

 private:
  static constexpr size_t kSlots = 1024;
  struct Entry {
    std::string_view key;
    PyObject* obj = nullptr;
  };
  static size_t hash(std::string_view s) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
    for (unsigned char c : s) h = (h ^ c) * 0x100000001B3ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
  std::array<Entry, kSlots> entries_{};
};

// An object array of str (Bytes: bytes) objects, one per element; the column is freed. Equal
// short elements may share one object, which is indistinguishable for immutable values.
template <bool kText>
PyObject* objects(StringColumn&& column) {
  const size_t n = column.size();
  auto owner = std::make_unique<ObjectSlots>(n);
  {
    StringColumn local = std::move(column);  // freed once every element is converted
    auto recent = std::make_unique<RecentObjects>();
    // Columns of mostly distinct values stop looking after a trial that finds few repeats.
    constexpr size_t kTrial = 4096;
    bool use_recent = true;
    size_t hits = 0;
    for (size_t i = 0; i < n; ++i) {
      std::string_view s = local[i];
      size_t slot = 0;
      if (i == kTrial) use_recent = hits >= kTrial / 8;
      const bool short_element = use_recent && s.size() <= RecentObjects::kMaxLen;
      if (short_element) {
        if (PyObject* hit = recent->find(s, slot)) {
          ++hits;
          owner->push(PyRef::steal(hit));
          continue;
        }
      }
      auto len = static_cast<Py_ssize_t>(s.size());
      PyRef o = PyRef::steal(kText ? PyUnicode_FromStringAndSize(s.data(), len)
                                   : PyBytes_FromStringAndSize(s.data(), len));
      if (!o) {
        return raise_internal(kText ? "Failed to create a str" : "Failed to create a bytes object");
      }
      if (short_element) recent->store(slot, s, o.get());
      owner->push(std::move(o));
    }
  }
  PyObject** data = owner->data();
  return adopt(std::move(owner), data, n, Dtype::Object);
}

PyObject* decimals(Vec<D64>&& column) {
  Vec<double> out;
  {
    Vec<D64> local = std::move(column);
    out.resize(local.size());
    for (size_t i = 0; i < local.size(); ++i) out[i] = to_f64(local[i]);
  }
  return adopt_vec(std::move(out), Dtype::Float64);
}

PyObject* timestamps(Vec<int64_t>&& column) {
  shift_timestamps(column, get_local_offset().length_micros());
  return adopt_vec(std::move(column), Dtype::Us);
}

template <size_t I>
auto&& take(Series& s) {
  return std::move(*std::get_if<I>(&s));
}

}  // namespace

void shift_timestamps(std::span<int64_t> values, int64_t offset_us) {
  if (offset_us == 0) return;
  const auto off = static_cast<uint64_t>(offset_us);
  // x + offset, or x itself when x is NaT, as pure arithmetic: y = x ^ NaT is zero exactly for
  // NaT, and (y | -y) has its top bit set exactly when y is not zero. Only SSE2 operations are
  // needed, so the baseline x86-64 build vectorises it.
  const auto shifted = [off](uint64_t x) {
    const uint64_t y = x ^ (uint64_t{1} << 63);
    const uint64_t keep = uint64_t{0} - ((y | (uint64_t{0} - y)) >> 63);
    return x + (off & keep);
  };
  int64_t* p = values.data();
  const size_t n = values.size();
  // Fixed-length blocks give the vectoriser a known trip count; the tail is at most 15 values.
  constexpr size_t kBlock = 16;
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    for (size_t j = 0; j < kBlock; ++j) {
      p[i + j] = static_cast<int64_t>(shifted(static_cast<uint64_t>(p[i + j])));
    }
  }
  for (; i < n; ++i) p[i] = static_cast<int64_t>(shifted(static_cast<uint64_t>(p[i])));
}

PyObject* series_to_array(Series&& series, size_t row_count) {
  switch (series.index()) {
    case 0: return zeros_bool(row_count);
    case 1: return timestamps(take<1>(series));
    case 2: return adopt_vec(take<2>(series), Dtype::Int64);
    case 3: return adopt_vec(take<3>(series), Dtype::Float64);
    case 4: return decimals(take<4>(series));
    case 5: return objects<true>(take<5>(series));
    case 6: return adopt_vec(take<6>(series), Dtype::Bool);
    case 7: return adopt_vec(take<7>(series), Dtype::Int32);
    case 8: return copy_vec(take<8>(series), Dtype::UInt32);
    case 9: return copy_vec(take<9>(series), Dtype::UInt64);
    case 10: return adopt_vec(take<10>(series), Dtype::Float32);
    case 11: return objects<false>(take<11>(series));
  }
  return raise_internal("Unknown series kind");  // the variant has exactly 12 alternatives
}

PyObject* table_to_py_list(Table&& table) {
  const size_t rows = row_count(table);
  std::vector<Field> fields = into_fields(std::move(table));
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
  if (!list) return raise_internal("Failed to create the column list");
  for (size_t i = 0; i < fields.size(); ++i) {
    // Each field dies at the end of its iteration: its metadata goes unread and whatever part of
    // it was not handed to an array is freed before the next column is converted.
    Field field = std::move(fields[i]);
    PyRef name = PyRef::steal(
        PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
    if (!name) return raise_internal("Failed to create a str");
    PyRef array = PyRef::steal(series_to_array(std::move(field.series), rows));
    if (!array) return nullptr;
    PyRef pair = PyRef::steal(PyTuple_New(2));
    if (!pair) return raise_internal("Failed to create a tuple");
    // These stores steal their item even when they fail; a failure ends the call with nothing
    // partial returned.
    if (PyTuple_SetItem(pair.get(), 0, name.release()) < 0 ||
        PyTuple_SetItem(pair.get(), 1, array.release()) < 0 ||
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) < 0) {
      return raise_internal("Failed to fill the column list");
    }
  }
  return list.release();
}

}  // namespace kvt::py
