#include "frame/errors.h"

#include <string>

namespace kvt {

std::string TableFrameError::to_string() const {
  if (const auto* e = std::get_if<BufferTooSmall>(&value)) {
    return "Buffer too small, want " + std::to_string(e->want) + " got " + std::to_string(e->got);
  }
  if (const auto* e = std::get_if<InvalidFrame>(&value)) {
    return "Invalid table frame: " + e->message;
  }
  return "Table frame CRC32 check failed";
}

std::string_view TableFrameError::kind() const {
  if (std::holds_alternative<BufferTooSmall>(value)) return "buffer_too_small";
  if (std::holds_alternative<InvalidFrame>(value)) return "invalid_frame";
  return "checksum_mismatch";
}

}  // namespace kvt
