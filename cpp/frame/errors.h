// TableFrameError: the frame codec's failures and their display texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace kvt {

struct TableFrameError {
  struct BufferTooSmall {
    uint64_t want;
    uint64_t got;
  };
  struct InvalidFrame {
    std::string message;
  };
  struct ChecksumMismatch {};

  std::variant<BufferTooSmall, InvalidFrame, ChecksumMismatch> value;

  static TableFrameError buffer_too_small(uint64_t want, uint64_t got) {
    return {BufferTooSmall{want, got}};
  }
  static TableFrameError invalid_frame(std::string message) {
    return {InvalidFrame{std::move(message)}};
  }
  static TableFrameError checksum_mismatch() { return {ChecksumMismatch{}}; }

  // "Buffer too small, want {want} got {got}", "Invalid table frame: {message}" or
  // "Table frame CRC32 check failed".
  std::string to_string() const;
  // What failed, as a name for callers that branch on it: "buffer_too_small", "invalid_frame" or
  // "checksum_mismatch" (the checksum is checked before anything is decoded).
  std::string_view kind() const;

  friend bool operator==(const TableFrameError&, const TableFrameError&) = default;
};

}  // namespace kvt
