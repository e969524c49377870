// Series (owned column data, produced by decoding) and SeriesRef (a borrowed view, built for
// encoding). Both are tagged by the shared value kind: alternative i holds the data of kind i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "model/d64.h"
#include "model/datatype.h"
#include "model/strings.h"
#include "model/vec.h"

namespace kvt {

struct NullSeries {};

// Bool elements are one byte each, 0 or 1.
using Series = std::variant<NullSeries,     // 0 Null: no storage
                            Vec<int64_t>,   // 1 DateTime
                            Vec<int64_t>,   // 2 Int64
                            Vec<double>,    // 3 Float64
                            Vec<D64>,       // 4 Decimal
                            StringColumn,   // 5 String (valid UTF-8)
                            Vec<uint8_t>,   // 6 Bool
                            Vec<int32_t>,   // 7 Int32
                            Vec<uint32_t>,  // 8 UInt32
                            Vec<uint64_t>,  // 9 UInt64
                            Vec<float>,     // 10 Float32
                            StringColumn>;  // 11 Bytes

struct NullRef {};

// Views of caller-owned data. A Bool view may hold any byte; the encoder writes nonzero as 01.
using SeriesRef = std::variant<NullRef,                    // 0 Null
                               std::span<const int64_t>,   // 1 DateTime
                               std::span<const int64_t>,   // 2 Int64
                               std::span<const double>,    // 3 Float64
                               std::span<const D64>,       // 4 Decimal
                               StringsRef,                 // 5 String
                               std::span<const uint8_t>,   // 6 Bool
                               std::span<const int32_t>,   // 7 Int32
                               std::span<const uint32_t>,  // 8 UInt32
                               std::span<const uint64_t>,  // 9 UInt64
                               std::span<const float>,     // 10 Float32
                               StringsRef>;                // 11 Bytes

inline DataType series_kind(const Series& s) { return static_cast<DataType>(s.index()); }
inline DataType series_kind(const SeriesRef& s) { return static_cast<DataType>(s.index()); }

// Element count; 0 for Null.
size_t series_length(const Series& s);
size_t series_length(const SeriesRef& s);

// A view of an owned series (used by tests and round trips).
SeriesRef as_ref(const Series& s);

}  // namespace kvt
