#include "frame/crc32.h"

#include <isa-l/crc.h>

#include <limits>

namespace kvt {

uint32_t crc32(const uint8_t* data, size_t n) { return crc32_update(0, data, n); }

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n) {
  // ISA-L takes a 64-bit length, but feed it in pieces anyway so no length type can truncate.
  if (n == 0) return crc;
  constexpr size_t kChunk = size_t{1} << 30;
  do {
    size_t len = n < kChunk ? n : kChunk;
    crc = crc32_gzip_refl(crc, data, len);
    data += len;
    n -= len;
  } while (n > 0);
  return crc;
}

}  // namespace kvt
