// The memory budget of a decoded table.
//
// A frame may ask for far more memory than it takes: a field costs a few bytes of frame but a
// few hundred once it is a column object, and a Null column takes no bytes yet becomes an array
// of the table's row count. The decoder therefore estimates, field by field as it goes, what the
// table will take once converted for a caller (the decoded field plus its converted column), and
// refuses the frame as soon as the estimate passes
//
//     kBudgetBytesPerFrameByte * frame bytes + kBudgetSlackBytes     (64 x size + 64 MiB)
//
// before the next field is decoded. The estimate is generous to real tables: numeric, boolean,
// timestamp, decimal and text columns cost at most about 35 bytes per frame byte, so only
// frames of very many tiny fields or of wide Null columns reach the bound. Metadata maps are not
// counted; their cost is linear in their bytes by construction (at most ~23 bytes per byte).
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/table.h"

namespace kvt {

inline constexpr uint64_t kBudgetBytesPerFrameByte = 64;
inline constexpr uint64_t kBudgetSlackBytes = uint64_t{64} << 20;

// Per field, whatever its kind: the decoded Field, the name object, the (name, column) pair, the
// array object and its owner. Measured at about 300-400 bytes for the Python objects alone.
inline constexpr uint64_t kFieldBudgetBytes = 640;

// Per element of a text or byte-string column: its offset and the array slot that refers to it.
// An element of two or more bytes may become an object of its own (header, then its bytes).
inline constexpr uint64_t kStringSlotBudgetBytes = 16;
inline constexpr uint64_t kStringObjectBudgetBytes = 80;

// A budget rule: per_frame_byte * frame bytes + slack. Decoding always uses kTableBudget; tests
// and fuzzers pass smaller rules so that small inputs reach the bound too.
struct BudgetRule {
  uint64_t per_frame_byte;
  uint64_t slack;
  constexpr uint64_t of(uint64_t frame_bytes) const { return per_frame_byte * frame_bytes + slack; }
};
inline constexpr BudgetRule kTableBudget{kBudgetBytesPerFrameByte, kBudgetSlackBytes};

// The budget of a frame of `frame_bytes` bytes.
constexpr uint64_t table_budget(uint64_t frame_bytes) { return kTableBudget.of(frame_bytes); }

// The estimated cost of one decoded field (see above); `rows` is the table's row count, which
// Null columns take as their length.
uint64_t field_cost(const Field& f, uint64_t rows);

}  // namespace kvt
