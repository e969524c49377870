#include "model/date.h"

namespace kvt {

std::atomic<int32_t> TZ_LOCAL{28800};

void set_default_timezone(ZoneOffset offset) {
  TZ_LOCAL.store(offset.length_seconds(), std::memory_order_relaxed);
}

ZoneOffset get_local_offset() {
  int32_t t = TZ_LOCAL.load(std::memory_order_relaxed);
  return ZoneOffset{static_cast<int8_t>(t / 3600), static_cast<int8_t>((t % 3600) / 60),
                    static_cast<int8_t>(t % 60)};
}

}  // namespace kvt
