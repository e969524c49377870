#include "wire/variant_codec.h"

#include <string>
#include <utility>
#include <vector>

#include "model/d64.h"

namespace kvt {

namespace {

template <size_t I, class T>
Decoded<Variant> make(Decoded<T>&& v) {
  if (!v) return std::unexpected(v.error());
  return Variant(std::in_place_index<I>, std::move(*v));
}

}  // namespace

Decoded<Variant> decode_variant(Reader& r) {
  auto tag = r.read_enum_index(kVariantTypeName, kMaxKind);
  if (!tag) return std::unexpected(tag.error());
  switch (*tag) {
    case 0:
      return Variant(std::in_place_index<0>);
    case 1:
      return make<1>(r.read_i64());
    case 2:
      return make<2>(r.read_i64());
    case 3:
      return make<3>(r.read_f64());
    case 4: {
      auto p = r.take(8);
      if (!p) return std::unexpected(p.error());
      return Variant(std::in_place_index<4>, D64::from_bytes(*p));
    }
    case 5: {
      auto s = r.read_str_view();
      if (!s) return std::unexpected(s.error());
      return Variant(std::in_place_index<5>, std::string(*s));
    }
    case 6:
      return make<6>(r.read_bool());
    case 7:
      return make<7>(r.read_i32());
    case 8:
      return make<8>(r.read_u32());
    case 9:
      return make<9>(r.read_u64());
    case 10:
      return make<10>(r.read_f32());
    default: {  // 11, the only index left after read_enum_index
      auto b = r.read_bytes_view();
      if (!b) return std::unexpected(b.error());
      const auto* p = reinterpret_cast<const uint8_t*>(b->data());
      return Variant(std::in_place_index<11>, std::vector<uint8_t>(p, p + b->size()));
    }
  }
}

Decoded<std::optional<MetaMap>> decode_meta(Reader& r) {
  auto tag = r.read_u8();
  if (!tag) return std::unexpected(tag.error());
  if (*tag == 0) return std::optional<MetaMap>();
  if (*tag != 1) {
    return std::unexpected(DecodeError::unexpected_variant(kOptionMapTypeName, 0, 1, *tag));
  }
  auto count = r.read_u64();
  if (!count) return std::unexpected(count.error());
  // Entries are appended as they are read (MetaMap grows geometrically), so a hostile count
  // costs nothing until its entries actually turn up in the input.
  MetaMap map;
  for (uint64_t i = 0; i < *count; ++i) {
    auto key = r.read_str_view();
    if (!key) return std::unexpected(key.error());
    auto value = decode_variant(r);
    if (!value) return std::unexpected(value.error());
    map.insert(std::string(*key), std::move(*value));
  }
  return std::optional<MetaMap>(std::move(map));
}

}  // namespace kvt
