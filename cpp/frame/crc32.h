// CRC-32/ISO-HDLC (the CRC of zlib, PNG and Ethernet): reflected polynomial 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF. "123456789" gives 0xCBF43926; empty input gives 0.
// Runs ISA-L's carry-less-multiplication kernel, chosen for the CPU on first use, or zlib's crc32
// when built with -DKVT_CRC=zlib (the same values, several times slower); thread-safe either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kvt {

uint32_t crc32(const uint8_t* data, size_t n);
// Continues a checksum: crc32_update(crc32(a), b) == crc32(a followed by b); crc 0 starts afresh.
// Lets a writer checksum each piece right after writing it, while the piece is still in cache.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n);
inline uint32_t crc32(std::span<const uint8_t> s) { return crc32(s.data(), s.size()); }

}  // namespace kvt
