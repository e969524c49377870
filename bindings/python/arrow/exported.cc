#include "exported.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "abi.h"
#include "arrow/format.h"
#include "columns/datetime_column.h"
#include "errors.h"
#include "model/vec.h"
#include "numpy_api.h"
#include "objects.h"
#include "py_ref.h"

namespace kvt::arrow {
namespace {

using py::PyRef;

// Buffers of zero bytes still need an address.
alignas(64) constinit const uint8_t kEmpty[64] = {};

// Runs f with the interpreter lock held, from any thread. A consumer that releases after the
// interpreter has gone (at process exit) leaves what it held unfreed: nothing can drop a
// reference then.
template <class F>
void with_gil(F&& f) {
  if (!Py_IsInitialized()) return;
  PyGILState_STATE state = PyGILState_Ensure();
  f();
  PyGILState_Release(state);
}

void raise(PyObject* type, const std::string& message) { py::raise_text(type, message); }

// ---- ownership of exported structs ----

// Releases s unless it was released (moved out) already, then frees it.
template <class T>
void release_and_delete(T* s) {
  if (s->release != nullptr) s->release(s);
  delete s;
}

template <class T>
void release_and_delete_all(const std::vector<T*>& children) {
  for (T* child : children) release_and_delete(child);
}

// The destructor of a capsule that owns its struct (which a consumer may have moved out).
template <class T>
void destroy_capsule(PyObject* capsule) {
  auto* s = static_cast<T*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
  if (s != nullptr) release_and_delete(s);
}

// A capsule named `name` that owns s; nullptr (s released and freed) when it cannot be made.
template <class T>
PyObject* owning_capsule(std::unique_ptr<T> s, const char* name) {
  PyObject* capsule = PyCapsule_New(s.get(), name, destroy_capsule<T>);
  if (capsule == nullptr) {
    release_and_delete(s.release());
    return nullptr;
  }
  s.release();
  return capsule;
}

// ---- schemas ----

struct SchemaData {
  std::string format;
  std::string name;
  std::string metadata;  // empty: none
  std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* s) {
  auto* data = static_cast<SchemaData*>(s->private_data);
  release_and_delete_all(data->children);
  delete data;
  s->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::unique_ptr<SchemaData> data, int64_t flags) {
  out->format = data->format.c_str();
  out->name = data->name.c_str();
  out->metadata = data->metadata.empty() ? nullptr : data->metadata.data();
  out->flags = flags;
  out->n_children = static_cast<int64_t>(data->children.size());
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = data.release();
}

void put_int32(std::string& s, size_t n) {
  const auto v = static_cast<int32_t>(n);
  s.append(reinterpret_cast<const char*>(&v), 4);
}

// What a batch description says about its columns.
struct Layout {
  std::vector<std::string> names;
  std::vector<std::string> formats;
  std::string metadata;
};

void build_schema(const Layout& layout, ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  data->format = "+s";
  data->metadata = layout.metadata;
  for (size_t i = 0; i < layout.names.size(); ++i) {
    auto child = std::make_unique<SchemaData>();
    child->format = layout.formats[i];
    child->name = layout.names[i];
    auto* schema = new ArrowSchema{};
    fill_schema(schema, std::move(child), kFlagNullable);
    data->children.push_back(schema);
  }
  fill_schema(out, std::move(data), 0);
}

// ---- arrays ----

// What one exported array keeps alive: Python objects (released under the lock) and buffers.
struct ArrayData {
  std::vector<PyRef> keep;
  Vec<uint8_t> validity;
  Vec<uint8_t> bits;
  Vec<int64_t> offsets;
  Vec<char> bytes;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* a) {
  auto* data = static_cast<ArrayData*>(a->private_data);
  release_and_delete_all(data->children);
  with_gil([data] { delete data; });
  a->release = nullptr;
}

void fill_array(ArrowArray* out, std::unique_ptr<ArrayData> data, int64_t length,
                int64_t null_count) {
  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(data->buffers.size());
  out->buffers = data->buffers.empty() ? nullptr : data->buffers.data();
  out->n_children = static_cast<int64_t>(data->children.size());
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = data.release();
}

Vec<uint8_t> bitmap_of(size_t n) {
  Vec<uint8_t> b((n + 7) / 8);
  if (!b.empty()) std::memset(b.data(), 0, b.size());
  return b;
}

const void* address_of(const void* p) { return p != nullptr ? p : kEmpty; }

// Object arrays of str ("U") or bytes ("Z") become a large offsets buffer and a byte buffer.
bool objects_to_buffers(const std::string& name, PyObject* array, bool text, ArrayData& data) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  const auto n = static_cast<size_t>(PyArray_SIZE(a));
  auto* items = static_cast<PyObject**>(PyArray_DATA(a));
  data.offsets.resize(n + 1);
  data.offsets[0] = 0;
  size_t total = 0;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    Py_ssize_t len = 0;
    const char* p = nullptr;
    if (item != nullptr && text && PyUnicode_Check(item)) {
      p = PyUnicode_AsUTF8AndSize(item, &len);
      if (p == nullptr) return false;
    } else if (item != nullptr && !text && PyBytes_Check(item)) {
      char* b = nullptr;
      if (PyBytes_AsStringAndSize(item, &b, &len) < 0) return false;
      p = b;
    } else {
      raise(PyExc_TypeError, "column '" + name + "' row " + std::to_string(i) + " is not " +
                                 (text ? "a str" : "a bytes object"));
      return false;
    }
    if (data.bytes.size() < total + static_cast<size_t>(len)) {
      data.bytes.resize(std::max(total + static_cast<size_t>(len), data.bytes.size() * 2));
    }
    if (len > 0) std::memcpy(data.bytes.data() + total, p, static_cast<size_t>(len));
    total += static_cast<size_t>(len);
    data.offsets[i + 1] = static_cast<int64_t>(total);
  }
  data.bytes.resize(total);
  return true;
}

bool is_timestamp(const std::string& f) { return f.size() >= 4 && f.starts_with("ts"); }

// The NumPy item a column of Arrow type t is exported from: kind and size (0: not a NumPy column).
struct NumpyItem {
  char kind;
  int size;
};
NumpyItem numpy_item_of(const ArrowType& t) {
  switch (t.id) {
    case TypeId::Bool:
      return {'b', 1};
    case TypeId::Int8:
      return {'i', 1};
    case TypeId::Int16:
      return {'i', 2};
    case TypeId::Int32:
      return {'i', 4};
    case TypeId::Int64:
    case TypeId::Timestamp:  // the values as int64
      return {'i', 8};
    case TypeId::UInt8:
      return {'u', 1};
    case TypeId::UInt16:
      return {'u', 2};
    case TypeId::UInt32:
      return {'u', 4};
    case TypeId::UInt64:
      return {'u', 8};
    case TypeId::Float16:
      return {'f', 2};
    case TypeId::Float32:
      return {'f', 4};
    case TypeId::Float64:
      return {'f', 8};
    default:
      return {0, 0};
  }
}

// Whether a NumPy array may be exported as the format: one-dimensional, C-contiguous, native byte
// order, of the kind and item size the format declares (the buffer a consumer reads is then
// exactly the array's). Text goes out from object arrays. False with TypeError raised.
bool exportable(const std::string& name, const std::string& format, PyArrayObject* a) {
  const ArrowType t = parse_format(format);
  PyArray_Descr* d = PyArray_DESCR(a);
  bool ok;
  if (t.is_text_or_bytes() && t.layout == StringLayout::Offsets64) {
    ok = d->kind == 'O';
  } else {
    const NumpyItem want = numpy_item_of(t);
    ok = want.size != 0 && d->kind == want.kind && PyArray_ITEMSIZE(a) == want.size &&
         PyArray_ISNOTSWAPPED(a);
  }
  ok = ok && PyArray_NDIM(a) == 1 && PyArray_IS_C_CONTIGUOUS(a);
  if (!ok) {
    raise(PyExc_TypeError, "column '" + name + "': cannot export a NumPy array of dtype " +
                               std::string(1, d->kind) + std::to_string(PyArray_ITEMSIZE(a)) +
                               " and " + std::to_string(PyArray_NDIM(a)) +
                               " dimension(s) as Arrow format '" + format + "'");
  }
  return ok;
}

// One column of a batch as a child array; false with the error raised.
bool build_column(const std::string& name, const std::string& format, PyObject* obj, int64_t rows,
                  ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  int64_t null_count = 0;
  int64_t length = rows;
  if (format == "n") {
    null_count = rows;
    fill_array(out, std::move(data), length, null_count);
    return true;
  }
  bool text = true;
  if (const StringColumn* strings = strings_column(obj, &text)) {
    if (format != (text ? "U" : "Z")) {
      raise(PyExc_TypeError, "column '" + name + "': cannot export decoded " +
                                 (text ? "text" : "bytes") + " as Arrow format '" + format + "'");
      return false;
    }
    data->keep.push_back(PyRef::borrow(obj));
    length = static_cast<int64_t>(strings->size());
    data->buffers = {nullptr, address_of(strings->offsets().data()),
                     address_of(strings->bytes().data())};
  } else {
    if (!py::ensure_numpy()) return false;
    if (!PyArray_Check(obj)) {
      raise(PyExc_TypeError, "column '" + name + "' is neither an array nor a decoded column");
      return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (!exportable(name, format, a)) return false;
    length = static_cast<int64_t>(PyArray_SIZE(a));
    data->keep.push_back(PyRef::borrow(obj));
    if (format == "U" || format == "Z") {
      if (!objects_to_buffers(name, obj, format == "U", *data)) return false;
      data->buffers = {nullptr, address_of(data->offsets.data()), address_of(data->bytes.data())};
    } else if (format == "b") {
      const auto* v = static_cast<const uint8_t*>(PyArray_DATA(a));
      data->bits = bitmap_of(static_cast<size_t>(length));
      for (int64_t i = 0; i < length; ++i) data->bits[i >> 3] |= uint8_t(v[i] != 0) << (i & 7);
      data->buffers = {nullptr, address_of(data->bits.data())};
    } else {
      const void* values = address_of(PyArray_DATA(a));
      const void* validity = nullptr;
      if (is_timestamp(format)) {
        const auto* v = static_cast<const int64_t*>(PyArray_DATA(a));
        for (int64_t i = 0; i < length; ++i) null_count += v[i] == kNaT;
        if (null_count != 0) {
          data->validity = bitmap_of(static_cast<size_t>(length));
          for (int64_t i = 0; i < length; ++i) {
            data->validity[i >> 3] |= uint8_t(v[i] != kNaT) << (i & 7);
          }
          validity = data->validity.data();
        }
      }
      data->buffers = {validity, values};
    }
  }
  if (length != rows) {
    raise(PyExc_ValueError, "column '" + name + "' has " + std::to_string(length) +
                                " rows, the table " + std::to_string(rows));
    return false;
  }
  fill_array(out, std::move(data), length, null_count);
  return true;
}

// UTF-8 of a str, or nullopt with the error raised.
std::optional<std::string> text_of(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
  if (p == nullptr) {
    if (!PyErr_Occurred()) raise(PyExc_TypeError, "names, formats and metadata must be str");
    return std::nullopt;
  }
  return std::string(p, static_cast<size_t>(n));
}

// A parsed batch description; the column objects are borrowed from `batch`.
struct Batch {
  Layout layout;
  std::vector<PyObject*> data;
  int64_t rows = 0;
};

std::optional<Batch> read_batch(PyObject* batch) {
  PyObject* columns = nullptr;
  PyObject* meta = nullptr;
  long long rows = 0;
  if (!PyArg_ParseTuple(batch, "O!LO!", &PyList_Type, &columns, &rows, &PyList_Type, &meta)) {
    return std::nullopt;
  }
  Batch b;
  b.rows = rows;
  const Py_ssize_t n = PyList_Size(columns);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = nullptr;
    PyObject* format = nullptr;
    PyObject* data = nullptr;
    if (!PyArg_ParseTuple(PyList_GetItem(columns, i), "UUO", &name, &format, &data)) {
      return std::nullopt;
    }
    auto name_text = text_of(name);
    auto format_text = text_of(format);
    if (!name_text || !format_text) return std::nullopt;
    b.layout.names.push_back(std::move(*name_text));
    b.layout.formats.push_back(std::move(*format_text));
    b.data.push_back(data);
  }
  const Py_ssize_t m = PyList_Size(meta);
  if (m > 0) {
    put_int32(b.layout.metadata, static_cast<size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      if (!PyArg_ParseTuple(PyList_GetItem(meta, i), "UU", &key, &value)) return std::nullopt;
      auto k = text_of(key);
      auto v = text_of(value);
      if (!k || !v) return std::nullopt;
      put_int32(b.layout.metadata, k->size());
      b.layout.metadata += *k;
      put_int32(b.layout.metadata, v->size());
      b.layout.metadata += *v;
    }
  }
  return b;
}

// The struct array of a batch; false with the error raised.
bool build_batch(const Batch& b, ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  data->buffers = {nullptr};
  // Children are owned by `data` from the moment they exist, so a failure frees them all.
  struct Guard {
    std::unique_ptr<ArrayData>& d;
    ~Guard() {
      if (d) release_and_delete_all(d->children);
    }
  } guard{data};
  for (size_t i = 0; i < b.data.size(); ++i) {
    data->children.push_back(new ArrowArray{});
    if (!build_column(b.layout.names[i], b.layout.formats[i], b.data[i], b.rows,
                      data->children.back())) {
      return false;
    }
  }
  auto owned = std::move(data);
  fill_array(out, std::move(owned), b.rows, 0);
  return true;
}

// ---- streams ----

struct StreamData {
  Layout layout;
  PyRef batches;       // the iterator
  ArrowArray first{};  // handed out by the first get_next
  bool first_taken = false;
  size_t index = 0;  // batches handed out
  std::string error;
};

const char* stream_error(ArrowArrayStream* s) {
  auto* d = static_cast<StreamData*>(s->private_data);
  return d->error.empty() ? nullptr : d->error.c_str();
}

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
  auto* d = static_cast<StreamData*>(s->private_data);
  try {
    build_schema(d->layout, out);
    return 0;
  } catch (const std::exception& e) {
    d->error = e.what();
    return ENOMEM;
  }
}

// Text of the pending Python exception (cleared).
std::string pending_text() {
  PyObject* exc = PyErr_GetRaisedException();
  PyRef owned = PyRef::steal(exc);
  PyRef text = PyRef::steal(exc != nullptr ? PyObject_Str(exc) : nullptr);
  PyRef type_name = PyRef::steal(exc != nullptr ? PyType_GetName(Py_TYPE(exc)) : nullptr);
  Py_ssize_t n = 0, m = 0;
  const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
  const char* q = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &m) : nullptr;
  PyErr_Clear();
  std::string out = q != nullptr ? std::string(q, static_cast<size_t>(m)) : "error";
  if (p != nullptr && n > 0) out += ": " + std::string(p, static_cast<size_t>(n));
  return out;
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
  auto* d = static_cast<StreamData*>(s->private_data);
  if (!d->first_taken) {
    d->first_taken = true;
    *out = d->first;
    d->first.release = nullptr;
    d->index = 1;
    return 0;
  }
  int code = 0;
  with_gil([&] {
    try {
      out->release = nullptr;
      if (!d->batches) return;
      PyRef item = PyRef::steal(PyIter_Next(d->batches.get()));
      if (!item) {
        d->batches.reset();
        if (PyErr_Occurred()) {
          d->error = pending_text();
          code = EIO;
        }
        return;
      }
      std::optional<Batch> b = read_batch(item.get());
      // Names and types must agree; the schema's metadata is the first table's.
      if (b && (b->layout.names != d->layout.names || b->layout.formats != d->layout.formats)) {
        raise(PyExc_ValueError, "table " + std::to_string(d->index) +
                                    " of the stream has other columns than the first (names"
                                    " and types must agree)");
        b.reset();
      }
      if (!b || !build_batch(*b, out)) {
        d->error = pending_text();
        code = d->error.find("ValueError") == 0 ? EINVAL : EIO;
        d->batches.reset();
        return;
      }
      ++d->index;
    } catch (const std::exception& e) {
      PyErr_Clear();
      d->error = e.what();
      code = ENOMEM;
    }
  });
  return code;
}

void stream_release(ArrowArrayStream* s) {
  auto* d = static_cast<StreamData*>(s->private_data);
  if (d->first.release != nullptr) d->first.release(&d->first);
  with_gil([d] { delete d; });
  s->release = nullptr;
}

}  // namespace

PyObject* schema_capsule(PyObject* batch) {
  std::optional<Batch> b = read_batch(batch);
  if (!b) return nullptr;
  auto schema = std::make_unique<ArrowSchema>();
  build_schema(b->layout, schema.get());
  return owning_capsule(std::move(schema), kSchemaCapsule);
}

PyObject* stream_capsule(PyObject* batches) {
  PyRef it = PyRef::steal(PyObject_GetIter(batches));
  if (!it) return nullptr;
  PyRef first = PyRef::steal(PyIter_Next(it.get()));
  if (!first) {
    if (!PyErr_Occurred()) raise(PyExc_ValueError, "an Arrow stream needs at least one table");
    return nullptr;
  }
  std::optional<Batch> b = read_batch(first.get());
  if (!b) return nullptr;
  auto data = std::make_unique<StreamData>();
  if (!build_batch(*b, &data->first)) return nullptr;
  data->layout = std::move(b->layout);
  data->batches = std::move(it);
  auto stream = std::make_unique<ArrowArrayStream>();
  stream->get_schema = stream_schema;
  stream->get_next = stream_next;
  stream->get_last_error = stream_error;
  stream->release = stream_release;
  stream->private_data = data.release();
  return owning_capsule(std::move(stream), kStreamCapsule);
}

}  // namespace kvt::arrow
