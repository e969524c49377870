#include "columns/string_column.h"

#include <optional>

#include "model/result.h"
#include "wire/utf8.h"

namespace kvt {

namespace {

// The first ill-formed element of a string column, as its own read would report it.
std::optional<DecodeError> check_utf8(const StringColumn& col) {
  const auto& offs = col.offsets();
  const auto* bytes = reinterpret_cast<const uint8_t*>(col.bytes().data());
  const uint64_t total = offs.back();
  // Fast path: the arena is well-formed and no element boundary falls inside a character, so
  // every element is well-formed. Otherwise find the first bad element one by one (there is one:
  // a concatenation of well-formed strings is well-formed).
  bool whole = !validate_utf8(bytes, total).has_value();
  for (size_t i = 1; whole && i + 1 < offs.size(); ++i) {
    if (offs[i] < total && (bytes[offs[i]] & 0xC0) == 0x80) whole = false;
  }
  if (whole) return std::nullopt;
  for (size_t i = 0; i + 1 < offs.size(); ++i) {
    if (auto e = validate_utf8(bytes + offs[i], offs[i + 1] - offs[i])) {
      return DecodeError::utf8(e->valid_up_to, e->error_len);
    }
  }
  return std::nullopt;
}

}  // namespace

// A first pass over the length prefixes finds how many elements are whole in the input and sizes
// the arena exactly; the second copies them. Elements with a one-byte length take an inline
// path; other forms go through the Reader.
Decoded<StringColumn> read_strings_column(Reader& r, bool validate) {
  KVT_ASSIGN_OR_RETURN(const uint64_t count, r.read_u64());
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
    if (rem != 0 && p[0] <= 250 && p[0] < rem) {
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
      if (p[0] <= 250) {  // the one-byte form; its bytes were seen by the first pass
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

void fill_strings(StringColumn& col, std::span<const char* const> views) {
  const auto& offsets = col.offsets();
  Vec<char>& bytes = col.mutable_bytes();
  bytes.resize(offsets.back());
  char* dst = bytes.data();
  for (size_t i = 0; i < views.size(); ++i) {
    copy_element(dst + offsets[i], views[i], offsets[i + 1] - offsets[i]);
  }
}

}  // namespace kvt
