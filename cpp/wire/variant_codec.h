// Metadata values and metadata maps on the wire.
//
// A Variant is its kind index as a u32 varint (one byte for 0..11) followed by the payload:
//   0 Null nothing; 1 DateTime, 2 Int64: zigzag i64 varint; 3 Float64: 8 bytes LE;
//   4 Decimal: the 8-byte D64 image (magnitude most significant byte first, then scale/flags);
//   5 String: u64 varint length + UTF-8; 6 Bool: 00/01; 7 Int32: zigzag i32 varint;
//   8 UInt32, 9 UInt64: varint; 10 Float32: 4 bytes LE; 11 Bytes: u64 varint length + bytes.
// An optional metadata map is one raw presence byte (00 absent, 01 present); a present map is
// its entry count as u64 varint followed by each entry's key (a string) and value (a Variant),
// in the map's iteration order.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "model/meta_map.h"
#include "model/variant.h"
#include "wire/encode.h"
#include "wire/reader.h"

namespace kvt {

// Writes (or, with a Sizer, counts) one Variant. Cannot fail.
template <class Sink>
void encode_variant(Sink& s, const Variant& v) {
  write_enum_index(s, static_cast<uint32_t>(v.index()));
  switch (variant_kind(v)) {
    case DataType::Null:
      break;
    case DataType::DateTime:
      write_i64(s, get_kind<DataType::DateTime>(v));
      break;
    case DataType::Int64:
      write_i64(s, get_kind<DataType::Int64>(v));
      break;
    case DataType::Float64:
      write_f64(s, get_kind<DataType::Float64>(v));
      break;
    case DataType::Decimal: {
      auto image = get_kind<DataType::Decimal>(v).to_bytes();
      s.put(image.data(), image.size());
      break;
    }
    case DataType::String:
      write_str(s, get_kind<DataType::String>(v));
      break;
    case DataType::Bool:
      write_bool(s, get_kind<DataType::Bool>(v));
      break;
    case DataType::Int32:
      write_i32(s, get_kind<DataType::Int32>(v));
      break;
    case DataType::UInt32:
      write_varint(s, get_kind<DataType::UInt32>(v));
      break;
    case DataType::UInt64:
      write_varint(s, get_kind<DataType::UInt64>(v));
      break;
    case DataType::Float32:
      write_f32(s, get_kind<DataType::Float32>(v));
      break;
    case DataType::Bytes: {
      const auto& b = get_kind<DataType::Bytes>(v);
      write_bytes(s, std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
      break;
    }
    default:
      break;  // valueless_by_exception: cannot arise, Variant alternatives do not throw on move
  }
}

// Writes (or counts) an optional metadata map: 00, or 01 + count + entries in map order.
template <class Sink>
void encode_meta(Sink& s, const std::optional<MetaMap>& meta) {
  write_option_tag(s, meta.has_value());
  if (!meta) return;
  write_count(s, meta->size());
  for (const auto& [key, value] : *meta) {
    write_str(s, key);
    encode_variant(s, value);
  }
}

// Reads one Variant. Fails with UnexpectedVariant "Variant" 0..11 for a tag above 11, and with
// the primitive read errors (UnexpectedEnd, InvalidIntegerType with signed types for tags 1, 2
// and 7, Utf8 for a String, InvalidBooleanValue for a Bool). A Decimal payload is taken as its
// byte image without any check of scale or flags.
Decoded<Variant> decode_variant(Reader& r);

// Reads an optional metadata map. A presence byte other than 00/01 fails with UnexpectedVariant
// kOptionMapTypeName 0..1. A later entry under an existing key replaces the earlier value. Keys
// are validated as UTF-8. No room is reserved for the declared count, so a count the bytes
// cannot satisfy ends in UnexpectedEnd without a large allocation. Nothing partial is returned.
Decoded<std::optional<MetaMap>> decode_meta(Reader& r);

}  // namespace kvt
