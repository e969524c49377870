// The table frame envelope: 8-byte header, body, CRC-32 footer.
//
//   offset 0  u16 magic 0x4D7C (bytes 7C 4D)
//   offset 2  u16 version 1    (bytes 01 00)
//   offset 4  u32 length = body size + 4: the bytes that follow the header
//   offset 8  body (the encoded table)
//   then      u32 CRC-32 of the body
// All little-endian. A body may be at most kMaxBodySize bytes so that its length field fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "frame/budget.h"
#include "frame/errors.h"
#include "model/table.h"

namespace kvt {

inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kFooterSize = 4;
inline constexpr uint64_t kMaxBodySize = 0xFFFFFFFBu;

// A table view measured for packing. Holds what the sizing pass learnt (the body size and any
// per-column choices) so the writing pass does not repeat that work. Valid while the view is.
class FramePlan {
 public:
  size_t body_size() const { return body_size_; }
  size_t frame_size() const { return body_size_ + kHeaderSize + kFooterSize; }

 private:
  friend std::expected<FramePlan, TableFrameError> plan_table_ref_frame(const TableRef& table);
  friend void write_table_ref_frame(const TableRef& table, const FramePlan& plan,
                                    std::span<uint8_t> dst);
  size_t body_size_ = 0;
  std::vector<int64_t> datetime_units_;  // one per DateTime column, in field order
};

// Sizes the frame of `table`. Fails only when the body exceeds kMaxBodySize (InvalidFrame).
std::expected<FramePlan, TableFrameError> plan_table_ref_frame(const TableRef& table);

// Writes the whole frame into dst, whose size must be plan.frame_size().
void write_table_ref_frame(const TableRef& table, const FramePlan& plan, std::span<uint8_t> dst);

// plan + write into a new vector.
std::expected<std::vector<uint8_t>, TableFrameError> pack_table_ref_frame(const TableRef& table);

// Decodes a frame. With skip_header false, buffer starts with a whole frame (header included,
// extra bytes after it ignored); with skip_header true, buffer is exactly the bytes that follow a
// header: body then checksum. The checksum is verified over the whole body before anything is
// decoded or allocated. A table whose estimated cost once converted passes the budget of the
// body-plus-checksum region (frame/budget.h: 64 x its size + 64 MiB) is refused (InvalidFrame
// "Table too large once parsed: ...") as soon as the estimate passes it. Time is linear in the
// buffer size; a refused allocation unwinds as std::bad_alloc with everything freed.
std::expected<Table, TableFrameError> unpack_table_frame(std::span<const uint8_t> buffer,
                                                         bool skip_header);
// The same under another budget rule (tests, fuzzing).
std::expected<Table, TableFrameError> unpack_table_frame(std::span<const uint8_t> buffer,
                                                         bool skip_header, BudgetRule budget);
// The same, except that a String column whose elements all have one-byte lengths is checked and
// then left in `buffer` (StringColumn::in_frame) instead of being copied into an arena: the table
// must not outlive buffer. For a caller that converts the table at once (the Python binding).
std::expected<Table, TableFrameError> unpack_table_frame_in_place(std::span<const uint8_t> buffer,
                                                                  bool skip_header);

// The header check behind check_table_frame: the length field, or TooShort / NotAFrame.
enum class HeaderCheck : uint8_t { Ok, TooShort, NotAFrame };
struct HeaderResult {
  HeaderCheck status;
  uint32_t length;  // valid when status is Ok
};
HeaderResult check_table_frame_header(std::span<const uint8_t> buffer);

}  // namespace kvt
