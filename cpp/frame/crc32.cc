#include "frame/crc32.h"

// KVT_CRC_ZLIB is set by the build for -DKVT_CRC=zlib (or when ISA-L is not found).
#if KVT_CRC_ZLIB
#include <zlib.h>
#else
#include <isa-l/crc.h>
#endif

namespace kvt {

uint32_t crc32(const uint8_t* data, size_t n) { return crc32_update(0, data, n); }

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n) {
  // Fed in pieces of at most 1 GiB, so no length type can truncate: zlib's crc32 takes a uInt
  // (32 bits), ISA-L a uint64_t.
  if (n == 0) return crc;
  constexpr size_t kChunk = size_t{1} << 30;
  do {
    size_t len = n < kChunk ? n : kChunk;
#if KVT_CRC_ZLIB
    crc = static_cast<uint32_t>(::crc32(crc, data, static_cast<uInt>(len)));
#else
    crc = crc32_gzip_refl(crc, data, len);
#endif
    data += len;
    n -= len;
  } while (n > 0);
  return crc;
}

}  // namespace kvt
