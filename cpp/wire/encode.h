// Encoders of the primitive value rules, templated over a sink (Sizer or Writer).
//
// Varints are written in the shortest form: 0..250 as one byte; up to 0xFFFF as FB + u16 LE;
// up to 0xFFFFFFFF as FC + u32 LE; else FD + u64 LE. Signed integers are zigzag-mapped first.
// Fixed-width numbers are little-endian; floats keep every bit pattern.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "wire/sink.h"
#include "wire/varint_form.h"

namespace kvt {

static_assert(std::endian::native == std::endian::little, "frames are little-endian");

constexpr size_t varint_size(uint64_t v) {
  return v <= kVarintOneByteMax ? 1 : v <= 0xFFFF ? 3 : v <= 0xFFFFFFFFu ? 5 : 9;
}

constexpr uint64_t zigzag64(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
constexpr uint32_t zigzag32(int32_t v) {
  return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
}
constexpr int64_t unzigzag64(uint64_t z) {
  return static_cast<int64_t>((z >> 1) ^ (uint64_t{0} - (z & 1)));
}
constexpr int32_t unzigzag32(uint32_t z) {
  return static_cast<int32_t>((z >> 1) ^ (uint32_t{0} - (z & 1)));
}

// Writes the varint of v into out (at least 9 bytes); returns the byte count.
inline size_t encode_varint(uint64_t v, uint8_t* out) {
  if (v <= kVarintOneByteMax) {
    out[0] = static_cast<uint8_t>(v);
    return 1;
  }
  if (v <= 0xFFFF) {
    out[0] = 0xFB;
    auto w = static_cast<uint16_t>(v);
    std::memcpy(out + 1, &w, 2);
    return 3;
  }
  if (v <= 0xFFFFFFFFu) {
    out[0] = 0xFC;
    auto w = static_cast<uint32_t>(v);
    std::memcpy(out + 1, &w, 4);
    return 5;
  }
  out[0] = 0xFD;
  std::memcpy(out + 1, &v, 8);
  return 9;
}

template <class Sink>
inline void write_varint(Sink& s, uint64_t v) {
  if constexpr (Sink::kWrites) {
    // Fixed-size stores per width: a variable-length copy would cost a library call per value.
    if (v <= kVarintOneByteMax) {
      s.put_u8(static_cast<uint8_t>(v));
    } else if (v <= 0xFFFF) {
      uint8_t* p = s.reserve(3);
      p[0] = 0xFB;
      auto w = static_cast<uint16_t>(v);
      std::memcpy(p + 1, &w, 2);
    } else if (v <= 0xFFFFFFFFu) {
      uint8_t* p = s.reserve(5);
      p[0] = 0xFC;
      auto w = static_cast<uint32_t>(v);
      std::memcpy(p + 1, &w, 4);
    } else {
      uint8_t* p = s.reserve(9);
      p[0] = 0xFD;
      std::memcpy(p + 1, &v, 8);
    }
  } else {
    s.skip(varint_size(v));
  }
}

template <class Sink>
inline void write_i64(Sink& s, int64_t v) {
  write_varint(s, zigzag64(v));
}
template <class Sink>
inline void write_i32(Sink& s, int32_t v) {
  write_varint(s, zigzag32(v));
}
template <class Sink>
inline void write_u8(Sink& s, uint8_t v) {
  s.put_u8(v);
}
template <class Sink>
inline void write_bool(Sink& s, bool v) {
  s.put_u8(v ? 1 : 0);
}
template <class Sink>
inline void write_f64(Sink& s, double v) {
  s.put(&v, 8);
}
template <class Sink>
inline void write_f32(Sink& s, float v) {
  s.put(&v, 4);
}

// A string or byte vector: u64 varint length, then the bytes.
template <class Sink>
inline void write_bytes(Sink& s, std::string_view b) {
  write_varint(s, b.size());
  s.put(b.data(), b.size());
}
template <class Sink>
inline void write_str(Sink& s, std::string_view b) {
  write_bytes(s, b);
}

// Option tag, sequence/map count and enumeration index.
template <class Sink>
inline void write_option_tag(Sink& s, bool present) {
  s.put_u8(present ? 1 : 0);
}
template <class Sink>
inline void write_count(Sink& s, uint64_t n) {
  write_varint(s, n);
}
template <class Sink>
inline void write_enum_index(Sink& s, uint32_t index) {
  write_varint(s, index);
}

}  // namespace kvt
