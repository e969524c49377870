// The process-wide local time zone by which parsed timestamps are shifted.
//
// TZ_LOCAL holds the offset in whole seconds east of UTC, initially 28800 (UTC+08:00). It is
// read and written with single relaxed atomic operations: a reader sees the old or the new value,
// never a mixture, and no ordering with other memory is implied.
#pragma once

#include <atomic>
#include <cstdint>

namespace kvt {

extern std::atomic<int32_t> TZ_LOCAL;

// An offset from UTC; the three components share one sign (zero counts as either).
struct ZoneOffset {
  int8_t hours = 0;
  int8_t minutes = 0;
  int8_t seconds = 0;

  constexpr int32_t length_seconds() const { return hours * 3600 + minutes * 60 + seconds; }
  // The offset in microseconds, as timestamps are shifted by it.
  constexpr int64_t length_micros() const { return int64_t{length_seconds()} * 1000000; }
};

// Stores the offset's length in seconds in TZ_LOCAL. Cannot fail.
void set_default_timezone(ZoneOffset offset);

// The offset whose length is TZ_LOCAL: components by truncating division, each taking the sign
// of TZ_LOCAL (-19800 gives -5 h, -30 min, 0 s).
ZoneOffset get_local_offset();

}  // namespace kvt
