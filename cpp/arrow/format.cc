#include "arrow/format.h"

#include <charconv>
#include <system_error>

namespace kvt::arrow {

namespace {

ArrowType of(TypeId id) {
  ArrowType t;
  t.id = id;
  return t;
}

ArrowType text_or_bytes(TypeId id, StringLayout layout) {
  ArrowType t = of(id);
  t.layout = layout;
  return t;
}

// "d:precision,scale[,bits]": two or three decimal numbers separated by commas, nothing else.
ArrowType decimal(std::string_view f) {
  ArrowType t = of(TypeId::Decimal);
  int* fields[] = {&t.precision, &t.scale, &t.bits};
  for (int i = 0; i < 3; ++i) {
    auto [p, ec] = std::from_chars(f.data(), f.data() + f.size(), *fields[i]);
    if (ec != std::errc()) return of(TypeId::Other);
    f.remove_prefix(static_cast<size_t>(p - f.data()));
    if (f.empty()) return i >= 1 ? t : of(TypeId::Other);
    if (f[0] != ',' || i == 2) return of(TypeId::Other);
    f.remove_prefix(1);
  }
  return of(TypeId::Other);
}

}  // namespace

ArrowType parse_format(std::string_view f) {
  if (f.size() == 1) {
    switch (f[0]) {
      case 'n':
        return of(TypeId::Null);
      case 'b':
        return of(TypeId::Bool);
      case 'c':
        return of(TypeId::Int8);
      case 's':
        return of(TypeId::Int16);
      case 'i':
        return of(TypeId::Int32);
      case 'l':
        return of(TypeId::Int64);
      case 'C':
        return of(TypeId::UInt8);
      case 'S':
        return of(TypeId::UInt16);
      case 'I':
        return of(TypeId::UInt32);
      case 'L':
        return of(TypeId::UInt64);
      case 'e':
        return of(TypeId::Float16);
      case 'f':
        return of(TypeId::Float32);
      case 'g':
        return of(TypeId::Float64);
      case 'u':
        return text_or_bytes(TypeId::String, StringLayout::Offsets32);
      case 'U':
        return text_or_bytes(TypeId::String, StringLayout::Offsets64);
      case 'z':
        return text_or_bytes(TypeId::Binary, StringLayout::Offsets32);
      case 'Z':
        return text_or_bytes(TypeId::Binary, StringLayout::Offsets64);
      default:
        return of(TypeId::Other);
    }
  }
  if (f == "vu") return text_or_bytes(TypeId::String, StringLayout::Views);
  if (f == "vz") return text_or_bytes(TypeId::Binary, StringLayout::Views);
  if (f == "+s") return of(TypeId::Struct);
  // "tsu:" is naive; "tsu:Europe/Paris" has a zone (its values are UTC instants all the same).
  if (f.size() >= 4 && f.starts_with("ts") && f[3] == ':') {
    ArrowType t = of(TypeId::Timestamp);
    switch (f[2]) {
      case 's':
        t.unit = TimeUnit::S;
        break;
      case 'm':
        t.unit = TimeUnit::Ms;
        break;
      case 'u':
        t.unit = TimeUnit::Us;
        break;
      case 'n':
        t.unit = TimeUnit::Ns;
        break;
      default:
        return of(TypeId::Other);
    }
    t.zoned = f.size() > 4;
    return t;
  }
  if (f.starts_with("d:")) return decimal(f.substr(2));
  return of(TypeId::Other);
}

}  // namespace kvt::arrow
