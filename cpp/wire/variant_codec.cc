#include "wire/variant_codec.h"

#include <string>
#include <utility>
#include <vector>

#include "model/d64.h"
#include "model/result.h"

namespace kvt {

namespace {

template <DataType K, class T>
Decoded<Variant> make(Decoded<T>&& v) {
  if (!v) return std::unexpected(v.error());
  return Variant(in_kind<K>, std::move(*v));
}

}  // namespace

Decoded<Variant> decode_variant(Reader& r) {
  KVT_ASSIGN_OR_RETURN(const uint32_t tag, r.read_enum_index(kVariantTypeName, kMaxKind));
  switch (static_cast<DataType>(tag)) {
    case DataType::Null:
      return Variant(in_kind<DataType::Null>);
    case DataType::DateTime:
      return make<DataType::DateTime>(r.read_i64());
    case DataType::Int64:
      return make<DataType::Int64>(r.read_i64());
    case DataType::Float64:
      return make<DataType::Float64>(r.read_f64());
    case DataType::Decimal: {
      KVT_ASSIGN_OR_RETURN(const uint8_t* p, r.take(8));
      return Variant(in_kind<DataType::Decimal>, D64::from_bytes(p));
    }
    case DataType::String: {
      KVT_ASSIGN_OR_RETURN(const std::string_view s, r.read_str_view());
      return Variant(in_kind<DataType::String>, std::string(s));
    }
    case DataType::Bool:
      return make<DataType::Bool>(r.read_bool());
    case DataType::Int32:
      return make<DataType::Int32>(r.read_i32());
    case DataType::UInt32:
      return make<DataType::UInt32>(r.read_u32());
    case DataType::UInt64:
      return make<DataType::UInt64>(r.read_u64());
    case DataType::Float32:
      return make<DataType::Float32>(r.read_f32());
    case DataType::Bytes:
      break;  // the last index read_enum_index leaves
  }
  KVT_ASSIGN_OR_RETURN(const std::string_view b, r.read_bytes_view());
  const auto* p = reinterpret_cast<const uint8_t*>(b.data());
  return Variant(in_kind<DataType::Bytes>, std::vector<uint8_t>(p, p + b.size()));
}

Decoded<std::optional<MetaMap>> decode_meta(Reader& r) {
  KVT_ASSIGN_OR_RETURN(const uint8_t tag, r.read_u8());
  if (tag == 0) return std::optional<MetaMap>();
  if (tag != 1) {
    return std::unexpected(DecodeError::unexpected_variant(kOptionMapTypeName, 0, 1, tag));
  }
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
  // Entries are appended as they are read (MetaMap grows geometrically), so a hostile count
  // costs nothing until its entries actually turn up in the input.
  MetaMap map;
  for (uint64_t i = 0; i < count; ++i) {
    KVT_ASSIGN_OR_RETURN(const std::string_view key, r.read_str_view());
    KVT_ASSIGN_OR_RETURN(Variant value, decode_variant(r));
    map.insert(std::string(key), std::move(value));
  }
  return std::optional<MetaMap>(std::move(map));
}

}  // namespace kvt
