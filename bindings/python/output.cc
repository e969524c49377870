#include "output.h"

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "columns/datetime_column.h"
#include "columns/decimal_column.h"
#include "columns/string_column.h"
#include "errors.h"
#include "model/d64.h"
#include "model/date.h"
#include "model/recent_cache.h"
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
  // Takes a reference to `o` that a SharedObjects cache counts and adds later.
  void push_shared(PyObject* o) { slots_.push_back(o); }
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

constexpr size_t kDtypeCount = 9;

PyArray_Descr* make_descr(Dtype d) {
  switch (d) {
    case Dtype::Bool:
      return PyArray_DescrFromType(NPY_BOOL);
    case Dtype::Int32:
      return PyArray_DescrFromType(NPY_INT32);
    case Dtype::Int64:
      return PyArray_DescrFromType(NPY_INT64);
    case Dtype::UInt32:
      return PyArray_DescrFromType(NPY_UINT32);
    case Dtype::UInt64:
      return PyArray_DescrFromType(NPY_UINT64);
    case Dtype::Float32:
      return PyArray_DescrFromType(NPY_FLOAT32);
    case Dtype::Float64:
      return PyArray_DescrFromType(NPY_FLOAT64);
    case Dtype::Object:
      return PyArray_DescrFromType(NPY_OBJECT);
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
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
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
  PyObject* array =
      PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr);
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

// Recently made objects of short elements, looked up by a content key (model/recent_cache.h).
// Columns of symbols, venues or currencies repeat a few values many times; equal elements then
// share one immutable str or bytes object instead of each allocating its own. The references that
// repeats take are counted, and added to the object's count in one step when it leaves the cache
// or settle() is called: Py_IncRef is a call per reference under the limited API. Until then the
// slots hold more references than the counts say, so settle() must come before anything could
// release a slot (the destructor settles too, for early returns: declare it after the slots).
template <class Key>
class SharedObjects {
 public:
  explicit SharedObjects(size_t items) : cache_(items) {}
  ~SharedObjects() { settle(); }
  SharedObjects(const SharedObjects&) = delete;
  SharedObjects& operator=(const SharedObjects&) = delete;

  // The object of an equal element, with one more reference counted, or nullptr.
  PyObject* take(uint64_t hash, const Key& key) {
    Entry* e =
        cache_.find(hash, [&key](const Entry& x) { return x.obj != nullptr && x.key == key; });
    if (e == nullptr) return nullptr;
    ++e->pending;
    return e->obj;
  }
  // Remembers `obj` (kept alive by the caller's slots) as the object of `key`.
  void store(uint64_t hash, const Key& key, PyObject* obj) {
    cache_.store(hash, Entry{key, obj, 0}, [](Entry& evicted) { settle(evicted); });
  }
  void settle() {
    cache_.for_each([](Entry& e) { settle(e); });
  }

 private:
  struct Entry {
    Key key;
    PyObject* obj = nullptr;
    Py_ssize_t pending = 0;
  };
  static void settle(Entry& e) {
    // Immortal objects (the empty and one-character strings) keep their count, as Py_INCREF
    // leaves it.
    if (e.pending != 0) Py_SET_REFCNT(e.obj, Py_REFCNT(e.obj) + e.pending);
    e.pending = 0;
  }
  RecentCache<Entry> cache_;
};

// An object array of str (text: false gives bytes) objects, one per element. Equal short
// elements may share one object, which is indistinguishable for immutable values.
PyObject* objects(const StringsRef& column, bool text) {
  const size_t n = column.size();
  auto owner = std::make_unique<ObjectSlots>(n);
  SharedObjects<ShortText> shared(n);
  RepeatTrial trial;
  for (size_t i = 0; i < n; ++i) {
    std::string_view s = column[i];
    const bool short_element = trial.looking(i) && s.size() <= ShortText::kMaxLen;
    ShortText key;
    uint64_t hash = 0;
    if (short_element) {
      key = ShortText::of(s);
      hash = key.hash();
      if (PyObject* hit = shared.take(hash, key)) {
        trial.found();
        owner->push_shared(hit);
        continue;
      }
    }
    auto len = static_cast<Py_ssize_t>(s.size());
    PyRef o = PyRef::steal(text ? PyUnicode_FromStringAndSize(s.data(), len)
                                : PyBytes_FromStringAndSize(s.data(), len));
    if (!o)
      return raise_internal(text ? "Failed to create a str" : "Failed to create a bytes object");
    if (short_element) shared.store(hash, key, o.get());
    owner->push(std::move(o));
  }
  shared.settle();
  PyObject** data = owner->data();
  return adopt(std::move(owner), data, n, Dtype::Object);
}

// The same for a column decoded in place, its elements keyed by their frame form, read from the
// input in two words.
PyObject* objects(const InFrameText& column, bool text) {
  const size_t n = column.count;
  auto owner = std::make_unique<ObjectSlots>(n);
  SharedObjects<FrameKey> shared(n);
  RepeatTrial trial;
  size_t i = 0;
  bool made = true;
  for_each_in_frame(column, [&](std::string_view s, const FrameKey& key) {
    // An empty entry's key is {0, 0}, which no keyed element has (key.lo != 0).
    const bool keyed = trial.looking(i++) && key.lo != 0;
    uint64_t hash = 0;
    if (keyed) {
      hash = key.hash();
      if (PyObject* hit = shared.take(hash, key)) {
        trial.found();
        owner->push_shared(hit);
        return true;
      }
    }
    auto len = static_cast<Py_ssize_t>(s.size());
    PyRef o = PyRef::steal(text ? PyUnicode_FromStringAndSize(s.data(), len)
                                : PyBytes_FromStringAndSize(s.data(), len));
    if (!o) return made = false;
    if (keyed) shared.store(hash, key, o.get());
    owner->push(std::move(o));
    return true;
  });
  if (!made) {
    return raise_internal(text ? "Failed to create a str" : "Failed to create a bytes object");
  }
  shared.settle();
  PyObject** data = owner->data();
  return adopt(std::move(owner), data, n, Dtype::Object);
}

// The same for an owned column, which is freed once every element is converted.
PyObject* objects(StringColumn&& column, bool text) {
  StringColumn local = std::move(column);
  if (const InFrameText* in_frame = local.in_frame()) return objects(*in_frame, text);
  return objects(StringsRef(local), text);
}

PyObject* decimals(Vec<D64>&& column) {
  return adopt_vec(decimals_to_f64(std::move(column)), Dtype::Float64);
}

PyObject* timestamps(Vec<int64_t>&& column, int64_t offset_us) {
  shift_timestamps(column, offset_us);
  return adopt_vec(std::move(column), Dtype::Us);
}

template <DataType K>
auto&& take(Series& s) {
  return get_kind<K>(std::move(s));
}

}  // namespace

PyObject* series_to_array(Series&& series, size_t row_count) {
  return series_to_array(std::move(series), row_count, get_local_offset().length_micros());
}

PyObject* strings_to_objects(const StringsRef& column, bool text) { return objects(column, text); }

template <class T>
PyObject* vec_to_array(Vec<T>&& v, Dtype d) {
  return adopt_vec(std::move(v), d);
}
template PyObject* vec_to_array(Vec<uint8_t>&&, Dtype);
template PyObject* vec_to_array(Vec<int32_t>&&, Dtype);
template PyObject* vec_to_array(Vec<int64_t>&&, Dtype);
template PyObject* vec_to_array(Vec<uint64_t>&&, Dtype);
template PyObject* vec_to_array(Vec<float>&&, Dtype);
template PyObject* vec_to_array(Vec<double>&&, Dtype);

PyObject* series_to_array(Series&& series, size_t row_count, int64_t offset_us) {
  switch (series_kind(series)) {
    case DataType::Null:
      return zeros_bool(row_count);
    case DataType::DateTime:
      return timestamps(take<DataType::DateTime>(series), offset_us);
    case DataType::Int64:
      return adopt_vec(take<DataType::Int64>(series), Dtype::Int64);
    case DataType::Float64:
      return adopt_vec(take<DataType::Float64>(series), Dtype::Float64);
    case DataType::Decimal:
      return decimals(take<DataType::Decimal>(series));
    case DataType::String:
      return objects(take<DataType::String>(series), true);
    case DataType::Bool:
      return adopt_vec(take<DataType::Bool>(series), Dtype::Bool);
    case DataType::Int32:
      return adopt_vec(take<DataType::Int32>(series), Dtype::Int32);
    case DataType::UInt32:
      return copy_vec(take<DataType::UInt32>(series), Dtype::UInt32);
    case DataType::UInt64:
      return copy_vec(take<DataType::UInt64>(series), Dtype::UInt64);
    case DataType::Float32:
      return adopt_vec(take<DataType::Float32>(series), Dtype::Float32);
    case DataType::Bytes:
      return objects(take<DataType::Bytes>(series), false);
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
