// The varint forms of frames: a value up to kVarintOneByteMax is its own byte; a larger one
// follows a marker byte, FB (u16 LE), FC (u32 LE) or FD (u64 LE). A byte above
// kVarintOneByteMax is thus never a whole element.
#pragma once

#include <cstdint>

namespace kvt {

inline constexpr uint8_t kVarintOneByteMax = 250;
// The first marker byte: every byte from it up starts a longer form (or fails).
inline constexpr uint8_t kVarintMarkerMin = kVarintOneByteMax + 1;

}  // namespace kvt
