// The value kind: one numbering shared by DataType, Series, SeriesRef and Variant.
// The index is also the tag written in frames, so the numbers below are fixed forever.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <variant>

namespace kvt {

enum class DataType : uint8_t {
  Null = 0,
  DateTime = 1,  // i64 microseconds since 1970-01-01 00:00:00 UTC
  Int64 = 2,
  Float64 = 3,
  Decimal = 4,  // D64
  String = 5,   // UTF-8 text
  Bool = 6,
  Int32 = 7,
  UInt32 = 8,
  UInt64 = 9,
  Float32 = 10,
  Bytes = 11,
};

// The highest valid kind index; every index above it is rejected by the decoders.
inline constexpr uint32_t kMaxKind = 11;

constexpr uint32_t kind_index(DataType t) { return static_cast<uint32_t>(t); }

// The alternative of kind K in any kind-indexed variant (Series, SeriesRef, Variant), and the tag
// that constructs it: get_kind<DataType::Int64>(s), Series(in_kind<DataType::Int64>, ...).
template <DataType K, class V>
constexpr decltype(auto) get_kind(V&& v) {
  return std::get<kind_index(K)>(std::forward<V>(v));
}
template <DataType K>
inline constexpr std::in_place_index_t<kind_index(K)> in_kind{};

std::string_view data_type_name(DataType t);

}  // namespace kvt
