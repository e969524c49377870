#include "columns/string_column.h"

#include <optional>

#include "model/result.h"
#include "wire/utf8.h"
#include "wire/varint_form.h"

namespace kvt {

namespace {

// The first ill-formed element of a string column, as its own read would report it.
std::optional<DecodeError> check_utf8(const StringColumn& col) {
  const auto& offs = col.offsets();
  const auto* bytes = reinterpret_cast<const uint8_t*>(col.bytes().data());
  // Fast path: the arena is well-formed and no element boundary falls inside a character, so
  // every element is well-formed. Otherwise find the first bad element one by one, as its own
  // read reports it (there is one: a concatenation of well-formed strings is well-formed).
  if (!first_non_utf8_element(bytes, std::span<const uint64_t>(offs.data(), offs.size()))) {
    return std::nullopt;
  }
  for (size_t i = 0; i + 1 < offs.size(); ++i) {
    if (auto e = validate_utf8(bytes + offs[i], offs[i + 1] - offs[i])) {
      return DecodeError::utf8(e->valid_up_to, e->error_len);
    }
  }
  return std::nullopt;
}

// The first ill-formed element among `count` elements in frame form with one-byte lengths from
// `first` (`span` bytes in all), as its own read would report it. When every length is below
// 0x80 the lengths are ASCII, and ASCII is never part of a multi-byte character, so the region is
// well-formed exactly when every element is: one pass over the region settles the common case.
std::optional<DecodeError> check_utf8_in_frame(const uint8_t* first, uint64_t count, size_t span,
                                               bool lengths_ascii) {
  if (lengths_ascii && !validate_utf8(first, span).has_value()) return std::nullopt;
  const uint8_t* p = first;
  for (uint64_t i = 0; i < count; ++i) {
    const size_t len = p[0];
    if (auto e = validate_utf8(p + 1, len)) return DecodeError::utf8(e->valid_up_to, e->error_len);
    p += 1 + len;
  }
  return std::nullopt;
}

// The in-place read: nullopt (r untouched) unless all `count` elements are whole with one-byte
// lengths; then the checked view, or the first element's UTF-8 error.
std::optional<Decoded<StringColumn>> read_in_place(Reader& r, uint64_t count, bool validate) {
  const uint8_t* const first = r.position();
  const uint8_t* p = first;
  size_t rem = r.remaining();
  uint64_t total = 0;
  uint8_t length_bits = 0;  // every length, or-ed
  for (uint64_t i = 0; i < count; ++i) {
    if (rem == 0 || p[0] > kVarintOneByteMax || p[0] >= rem) return std::nullopt;
    const size_t len = p[0];
    total += len;
    length_bits |= p[0];
    p += 1 + len;
    rem -= 1 + len;
  }
  const size_t span = static_cast<size_t>(p - first);
  if (validate) {
    if (auto e = check_utf8_in_frame(first, count, span, length_bits < 0x80)) {
      return Decoded<StringColumn>(std::unexpected(*e));
    }
  }
  const uint8_t* const limit = first + r.remaining();
  r.skip_unchecked(span);
  return Decoded<StringColumn>(StringColumn::in_frame(InFrameText{first, limit, count, total}));
}

}  // namespace

// A first pass over the length prefixes finds how many elements are whole in the input and sizes
// the arena exactly; the second copies them. Elements with a one-byte length take an inline
// path; other forms go through the Reader. In place, a column whose elements are all whole with
// one-byte lengths is checked where it lies and viewed there instead.
Decoded<StringColumn> decode_strings_column(Reader& r, Elements elements, Placement placement) {
  const bool validate = elements == Elements::Utf8;
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
  if (placement == Placement::InPlace) {
    if (auto col = read_in_place(r, count, validate)) return *col;
  }
  StringColumn col;
  auto& offs = col.mutable_offsets();
  // Every element takes at least one byte.
  offs.resize(1 + std::min<uint64_t>(count, r.remaining()));
  Reader scan = r;
  uint64_t total = 0;
  uint64_t whole = 0;
  bool all_short = true;  // every length in its one-byte form
  for (; whole < count; ++whole) {
    const size_t rem = scan.remaining();
    const uint8_t* p = scan.position();
    if (rem != 0 && p[0] <= kVarintOneByteMax && p[0] < rem) {
      total += p[0];
      scan.skip_unchecked(size_t{1} + p[0]);
    } else {
      auto b = scan.read_bytes_view();
      if (!b) break;
      all_short = false;
      total += b->size();
    }
    offs[whole + 1] = total;
  }
  offs.resize(whole + 1);

  auto& bytes = col.mutable_bytes();
  bytes.resize(total);
  char* dst = bytes.data();
  char* const dst_end = dst + total;
  if (all_short) {
    // Element i starts at i + 1 + offs[i] past the first length byte: the copies do not wait on
    // one another. Short ones move as one 16-byte block where both sides have room; the excess
    // lands in the following elements' space, which is written afterwards.
    const uint8_t* const base = r.position();
    const uint8_t* const src_end = base + r.remaining();
    for (uint64_t i = 0; i < whole; ++i) {
      const size_t len = offs[i + 1] - offs[i];
      const uint8_t* src = base + i + 1 + offs[i];
      char* out = dst + offs[i];
      if (len <= 16 && src_end - src >= 16 && dst_end - out >= 16) {
        std::memcpy(out, src, 16);
      } else if (len != 0) {
        std::memcpy(out, src, len);
      }
    }
    r.skip_unchecked(whole + total);
  } else {
    for (uint64_t i = 0; i < whole; ++i) {
      const size_t len = offs[i + 1] - offs[i];
      const uint8_t* src;
      const uint8_t* p = r.position();
      if (p[0] <= kVarintOneByteMax) {  // the one-byte form; its bytes were seen by the first pass
        src = p + 1;
        if (len <= 16 && r.remaining() >= 17 && dst_end - dst >= 16) {
          std::memcpy(dst, src, 16);
          r.skip_unchecked(1 + len);
          dst += len;
          continue;
        }
        r.skip_unchecked(1 + len);
      } else {
        src = reinterpret_cast<const uint8_t*>(r.read_bytes_view()->data());
      }
      if (len) std::memcpy(dst, src, len);
      dst += len;
    }
  }
  if (validate) {
    if (auto e = check_utf8(col)) return std::unexpected(*e);
  }
  if (whole < count) return std::unexpected(r.read_bytes_view().error());
  return col;
}

uint64_t text_slots_encoded_bytes(std::span<const TextSlot> slots) {
  uint64_t total = 0;
  for (const TextSlot& t : slots) {
    const uint64_t len = t.size();
    total += varint_size_flat(len) + len;
  }
  return total;
}

}  // namespace kvt
