// DecodeError: why one encoded value could not be read, with its one-line display text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvt {

enum class IntegerType : uint8_t {
  U8,
  U16,
  U32,
  U64,
  U128,
  Usize,
  I8,
  I16,
  I32,
  I64,
  I128,
  Isize,
  Reserved
};

std::string_view integer_type_name(IntegerType t);

struct DecodeError {
  enum class Kind : uint8_t {
    UnexpectedEnd,        // additional
    InvalidIntegerType,   // expected, found
    UnexpectedVariant,    // type_name, min, max, found
    Utf8,                 // valid_up_to, error_len
    InvalidBooleanValue,  // byte
  };

  Kind kind = Kind::UnexpectedEnd;
  uint64_t additional = 0;
  IntegerType expected = IntegerType::U8;
  IntegerType found_type = IntegerType::U8;
  std::string_view type_name;  // always a string literal
  uint32_t min = 0, max = 0, found = 0;
  uint64_t valid_up_to = 0;
  std::optional<uint8_t> error_len;
  uint8_t byte = 0;

  static DecodeError unexpected_end(uint64_t additional) {
    DecodeError e;
    e.kind = Kind::UnexpectedEnd;
    e.additional = additional;
    return e;
  }
  static DecodeError invalid_integer_type(IntegerType expected, IntegerType found) {
    DecodeError e;
    e.kind = Kind::InvalidIntegerType;
    e.expected = expected;
    e.found_type = found;
    return e;
  }
  static DecodeError unexpected_variant(std::string_view type_name, uint32_t min, uint32_t max,
                                        uint32_t found) {
    DecodeError e;
    e.kind = Kind::UnexpectedVariant;
    e.type_name = type_name;
    e.min = min;
    e.max = max;
    e.found = found;
    return e;
  }
  static DecodeError utf8(uint64_t valid_up_to, std::optional<uint8_t> error_len) {
    DecodeError e;
    e.kind = Kind::Utf8;
    e.valid_up_to = valid_up_to;
    e.error_len = error_len;
    return e;
  }
  static DecodeError invalid_boolean_value(uint8_t byte) {
    DecodeError e;
    e.kind = Kind::InvalidBooleanValue;
    e.byte = byte;
    return e;
  }

  // The display text, e.g. "UnexpectedEnd { additional: 3 }" or "InvalidBooleanValue(2)".
  std::string to_string() const;

  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// Type names that appear in UnexpectedVariant errors.
inline constexpr std::string_view kOptionMapTypeName =
    "core::option::Option<std::collections::hash::map::HashMap<alloc::string::String, "
    "kvt_table::variant::Variant>>";
inline constexpr std::string_view kDataTypeName = "DataType";
inline constexpr std::string_view kSeriesTypeName = "Series";
inline constexpr std::string_view kVariantTypeName = "Variant";

}  // namespace kvt
