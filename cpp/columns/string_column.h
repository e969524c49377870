// String and Bytes columns: a u64 count, then each element as a u64 length and its bytes. String
// elements are UTF-8; Bytes elements are any bytes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "columns/varint_column.h"
#include "model/strings.h"
#include "wire/encode.h"
#include "wire/reader.h"
#include "wire/varint_form.h"

namespace kvt {

// Writes (or counts) a String or Bytes column. Cannot fail.
// The elements of a slots view, in pieces of kSlotPiece. An inline slot is already the element's
// frame form (length byte, bytes): it moves as one 16-byte store wherever 16 bytes of planned
// room remain, the excess landing in space that later writes fill; the cursor moves past the
// element only.
template <class Sink>
void encode_text_slots(Sink& s, std::span<const TextSlot> slots) {
  constexpr size_t kSlotPiece = 2048;
  const size_t n = slots.size();
  for (size_t i = 0; i < n; i += kSlotPiece) {
    const size_t end = std::min(n, i + kSlotPiece);
    uint8_t* const start = s.position();
    uint8_t* const limit = start + s.room();
    uint8_t* p = start;
    for (size_t j = i; j < end; ++j) {
      const TextSlot& t = slots[j];
      if (t.is_inline()) {
        const size_t len = t.b[0];
        if (limit - p >= 16) {
          std::memcpy(p, t.b, 16);
        } else {
          std::memcpy(p, t.b, 1 + len);
        }
        p += 1 + len;
      } else {
        const size_t len = t.size();
        p += encode_varint(len, p);
        std::memcpy(p, t.data(), len);
        p += len;
      }
    }
    s.advance(static_cast<size_t>(p - start));
    piece_written(s);
  }
}

template <class Sink>
void encode_strings_column(Sink& s, const StringsRef& v) {
  write_count(s, v.size());
  if (const std::span<const TextSlot> slots = v.slots(); !slots.empty()) {
    if constexpr (Sink::kWrites) {
      encode_text_slots(s, slots);
    } else {
      s.skip(v.encoded_bytes());
    }
    return;
  }
  for (const StringsPiece& piece : v.pieces()) {
    const size_t n = piece.size();
    if (n == 0) continue;
    const uint64_t* const offsets = piece.offsets.data();
    if constexpr (Sink::kWrites) {
      constexpr size_t kPiece = 1024;
      const char* const bytes = piece.bytes;
      for (size_t i = 0; i < n; i += kPiece) {
        const size_t end = std::min(n, i + kPiece);
        uint8_t* const start = s.position();
        uint8_t* p = start;
        for (size_t j = i; j < end; ++j) {
          const uint64_t len = offsets[j + 1] - offsets[j];
          if (len <= kVarintOneByteMax) {
            *p++ = static_cast<uint8_t>(len);  // a one-byte varint
          } else {
            p += encode_varint(len, p);
          }
          copy_element(reinterpret_cast<char*>(p), bytes + offsets[j], len);
          p += len;
        }
        s.advance(static_cast<size_t>(p - start));
        piece_written(s);
      }
    } else {
      // Every element's bytes plus its length's varint: one byte each, two more for each length
      // above 250 (counted in a loop the compiler vectorizes), and those few sized exactly.
      size_t bytes = offsets[n] - offsets[0] + n;
      size_t above = 0;
      for (size_t i = 0; i < n; ++i) above += offsets[i + 1] - offsets[i] > kVarintOneByteMax;
      if (above != 0) {
        for (size_t i = 0; i < n; ++i) bytes += varint_size_flat(offsets[i + 1] - offsets[i]) - 1;
      }
      s.skip(bytes);
    }
  }
}

// What a column's elements are: UTF-8 text (String columns, checked) or any bytes (Bytes columns).
enum class Elements { Utf8, AnyBytes };
// Where decoded elements may stay: copied into an arena of their own, or in the input.
enum class Placement { Copied, InPlace };

// Reads a String (Elements::Utf8) or Bytes column. Results and errors are those of reading the
// elements one by one; a String element that is not UTF-8 fails with Utf8 (offsets relative to
// that element). The arena and offsets are sized once, never beyond what the input holds. In
// place, a column whose elements all have one-byte lengths comes back as a view of the input
// (StringColumn::in_frame, loads allowed up to the reader's end), which must then outlive it;
// results and errors are otherwise the same.
Decoded<StringColumn> decode_strings_column(Reader& r, Elements elements,
                                            Placement placement = Placement::Copied);

// The 16-byte key of a short element: its frame form (length byte, then its bytes), zero-padded,
// as two little-endian words. Two short elements are equal exactly when their keys are, and the
// low word of the key of a non-empty element is never 0.
struct FrameKey {
  uint64_t lo = 0;
  uint64_t hi = 0;
  friend bool operator==(const FrameKey&, const FrameKey&) = default;
  // Mixes every bit into the top bits (which caches keyed by it use).
  uint64_t hash() const { return (lo ^ (hi * 0x94D049BB133111EBull)) * 0x9E3779B97F4A7C15ull; }
};

// Calls f(element, key) for each element of an in-place column, in order, until f returns false:
// element is its string_view; key is the element's FrameKey when it has 1 to 15 bytes, else
// {0, 0}. Reads no byte outside [t.first, t.limit).
template <class F>
void for_each_in_frame(const InFrameText& t, F&& f) {
  // kKeep[n]: the low n bytes of 16.
  static constexpr auto kKeep = [] {
    std::array<FrameKey, 17> k{};
    for (size_t n = 0; n <= 16; ++n) {
      for (size_t b = 0; b < n; ++b) (b < 8 ? k[n].lo : k[n].hi) |= uint64_t{0xFF} << (8 * (b % 8));
    }
    return k;
  }();
  const uint8_t* p = t.first;
  for (size_t i = 0; i < t.count; ++i) {
    const size_t len = p[0];
    FrameKey key;
    if (len - 1 < 15) {  // 1 to 15 bytes
      if (t.limit - p >= 16) {
        std::memcpy(&key.lo, p, 8);
        std::memcpy(&key.hi, p + 8, 8);
        key.lo &= kKeep[len + 1].lo;
        key.hi &= kKeep[len + 1].hi;
      } else {
        unsigned char b[16] = {};
        std::memcpy(b, p, 1 + len);
        std::memcpy(&key.lo, b, 8);
        std::memcpy(&key.hi, b + 8, 8);
      }
    }
    if (!f(std::string_view(reinterpret_cast<const char*>(p + 1), len), key)) return;
    p += 1 + len;
  }
}

// ---- conversions ----

// The frame-form size of the slots' elements (length varints plus bytes), as a slots view of them
// must carry.
uint64_t text_slots_encoded_bytes(std::span<const TextSlot> slots);

}  // namespace kvt
