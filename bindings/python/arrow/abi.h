// The Arrow C data interface: the three structs of its stable ABI and the PyCapsule names that
// carry them between Python libraries. Layouts and rules follow the Arrow project's published
// description of its C data interface and C stream interface.
//
// Rules kept throughout: a struct whose `release` is null has been released (or moved); the
// consumer calls `release` once on the struct it received, and the producer's callback releases
// the children and dictionary it made and sets `release` to null. Moving a struct is a bitwise
// copy followed by nulling the source's `release`.
#pragma once

#include <cstdint>

extern "C" {

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;  // int32 count, then per entry int32 length + key, int32 length + value
  int64_t flags;
  int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;  // -1 when not computed
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);  // out->release null at the end
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};

}  // extern "C"

namespace kvt::arrow {

inline constexpr int64_t kFlagNullable = 2;

inline constexpr const char* kSchemaCapsule = "arrow_schema";
inline constexpr const char* kArrayCapsule = "arrow_array";
inline constexpr const char* kStreamCapsule = "arrow_array_stream";

// Bit i of an Arrow bitmap (validity or boolean values), least significant bit first.
inline bool bit_at(const void* bitmap, int64_t i) {
  return (static_cast<const uint8_t*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

}  // namespace kvt::arrow
