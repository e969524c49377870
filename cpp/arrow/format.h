// Arrow C data interface format strings (the `format` of an ArrowSchema), parsed once into a typed
// description that the import and export code switch on instead of comparing strings. Only the
// types that have a frame column, or that are refused with a message of their own, are told
// apart; every other format, malformed ones included, is TypeId::Other.
#pragma once

#include <cstdint>
#include <string_view>

#include "columns/datetime_column.h"  // TimeUnit

namespace kvt::arrow {

enum class TypeId : uint8_t {
  Other,
  Null,       // n
  Bool,       // b
  Int8,       // c
  Int16,      // s
  Int32,      // i
  Int64,      // l
  UInt8,      // C
  UInt16,     // S
  UInt32,     // I
  UInt64,     // L
  Float16,    // e
  Float32,    // f
  Float64,    // g
  String,     // u, U, vu
  Binary,     // z, Z, vz
  Timestamp,  // ts{s,m,u,n}:[zone]
  Decimal,    // d:precision,scale[,bits]
  Struct,     // +s
};

// Where a String or Binary array keeps its elements: 32-bit offsets, 64-bit offsets, or 16-byte
// views into variadic buffers.
enum class StringLayout : uint8_t { Offsets32, Offsets64, Views };

struct ArrowType {
  TypeId id = TypeId::Other;
  StringLayout layout = StringLayout::Offsets32;  // String, Binary
  TimeUnit unit = TimeUnit::S;                    // Timestamp
  bool zoned = false;                             // Timestamp: a zone follows the colon
  int precision = 0;                              // Decimal
  int scale = 0;                                  // Decimal
  int bits = 128;                                 // Decimal (the format may leave it out)

  bool is_integer() const { return id >= TypeId::Int8 && id <= TypeId::UInt64; }
  bool is_text_or_bytes() const { return id == TypeId::String || id == TypeId::Binary; }
};

ArrowType parse_format(std::string_view format);

}  // namespace kvt::arrow
