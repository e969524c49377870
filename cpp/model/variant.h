// Variant: the scalar value of metadata maps, tagged by the shared value kind.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "model/d64.h"
#include "model/datatype.h"

namespace kvt {

struct NullValue {
  friend bool operator==(NullValue, NullValue) = default;
};

// Alternative i holds the payload of value kind i; index() is the kind and the wire tag.
using Variant = std::variant<NullValue,              // 0 Null
                             int64_t,                // 1 DateTime (microseconds)
                             int64_t,                // 2 Int64
                             double,                 // 3 Float64
                             D64,                    // 4 Decimal
                             std::string,            // 5 String
                             bool,                   // 6 Bool
                             int32_t,                // 7 Int32
                             uint32_t,               // 8 UInt32
                             uint64_t,               // 9 UInt64
                             float,                  // 10 Float32
                             std::vector<uint8_t>>;  // 11 Bytes

inline DataType variant_kind(const Variant& v) { return static_cast<DataType>(v.index()); }

}  // namespace kvt
