#include "wire/reader.h"

#include "wire/utf8.h"

namespace kvt {

Decoded<std::string_view> Reader::read_str_view() {
  auto b = read_bytes_view();
  if (!b) return b;
  if (auto err = validate_utf8(reinterpret_cast<const uint8_t*>(b->data()), b->size())) {
    return std::unexpected(DecodeError::utf8(err->valid_up_to, err->error_len));
  }
  return b;
}

}  // namespace kvt
