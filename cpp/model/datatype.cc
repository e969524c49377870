#include "model/datatype.h"

namespace kvt {

std::string_view data_type_name(DataType t) {
  static constexpr std::string_view kNames[] = {"Null",    "DateTime", "Int64",   "Float64",
                                                "Decimal", "String",   "Bool",    "Int32",
                                                "UInt32",  "UInt64",   "Float32", "Bytes"};
  auto i = kind_index(t);
  return i <= kMaxKind ? kNames[i] : std::string_view("?");
}

}  // namespace kvt
