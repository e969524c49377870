#include "wire/decode_error.h"

#include <array>
#include <string>

namespace kvt {

std::string_view integer_type_name(IntegerType t) {
  static constexpr std::array<std::string_view, 13> kNames = {
      "U8",  "U16", "U32", "U64",  "U128",  "Usize",   "I8",
      "I16", "I32", "I64", "I128", "Isize", "Reserved"};
  auto i = static_cast<size_t>(t);
  return i < kNames.size() ? kNames[i] : std::string_view("Reserved");
}

std::string DecodeError::to_string() const {
  std::string s;
  switch (kind) {
    case Kind::UnexpectedEnd:
      s = "UnexpectedEnd { additional: ";
      s += std::to_string(additional);
      s += " }";
      break;
    case Kind::InvalidIntegerType:
      s = "InvalidIntegerType { expected: ";
      s += integer_type_name(expected);
      s += ", found: ";
      s += integer_type_name(found_type);
      s += " }";
      break;
    case Kind::UnexpectedVariant:
      s = "UnexpectedVariant { type_name: \"";
      s += type_name;
      s += "\", allowed: Range { min: ";
      s += std::to_string(min);
      s += ", max: ";
      s += std::to_string(max);
      s += " }, found: ";
      s += std::to_string(found);
      s += " }";
      break;
    case Kind::Utf8:
      s = "Utf8 { inner: Utf8Error { valid_up_to: ";
      s += std::to_string(valid_up_to);
      s += ", error_len: ";
      if (error_len) {
        s += "Some(";
        s += std::to_string(*error_len);
        s += ")";
      } else {
        s += "None";
      }
      s += " } }";
      break;
    case Kind::InvalidBooleanValue:
      s = "InvalidBooleanValue(";
      s += std::to_string(byte);
      s += ")";
      break;
  }
  return s;
}

}  // namespace kvt
