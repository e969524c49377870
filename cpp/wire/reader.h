// Reader: the one bounds-checked cursor over an immutable byte slice.
//
// Every read either consumes bytes and returns the value or returns a DecodeError; after an error
// the cursor is abandoned. It checks n <= remaining() before every read, and callers size
// reservations with remaining(). Bulk kernels (wire/varint_seq, wire/utf8, the text column reader)
// work on raw pointers only within a bound the Reader has checked (remaining(), a scan copy of the
// Reader), and move the cursor on through skip_unchecked() by no more than they have checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string_view>

#include "model/result.h"
#include "wire/decode_error.h"
#include "wire/encode.h"
#include "wire/varint_form.h"

namespace kvt {

template <class T>
using Decoded = std::expected<T, DecodeError>;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  explicit Reader(std::span<const uint8_t> s) : Reader(s.data(), s.size()) {}

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t* position() const { return p_; }

  Decoded<uint8_t> read_u8() {
    if (p_ == end_) return std::unexpected(DecodeError::unexpected_end(1));
    return *p_++;
  }
  Decoded<bool> read_bool() {
    if (p_ == end_) return std::unexpected(DecodeError::unexpected_end(1));
    uint8_t b = *p_++;
    if (b > 1) return std::unexpected(DecodeError::invalid_boolean_value(b));
    return b == 1;
  }
  Decoded<uint32_t> read_u32() {
    return read_varint32(IntegerType::U32, IntegerType::U64, IntegerType::U128);
  }
  Decoded<uint64_t> read_u64() { return read_varint64(IntegerType::U64, IntegerType::U128); }
  Decoded<int32_t> read_i32() {
    KVT_ASSIGN_OR_RETURN(const uint32_t z,
                         read_varint32(IntegerType::I32, IntegerType::I64, IntegerType::I128));
    return unzigzag32(z);
  }
  Decoded<int64_t> read_i64() {
    KVT_ASSIGN_OR_RETURN(const uint64_t z, read_varint64(IntegerType::I64, IntegerType::I128));
    return unzigzag64(z);
  }
  Decoded<double> read_f64() { return read_fixed<double>(); }
  Decoded<float> read_f32() { return read_fixed<float>(); }

  // n raw bytes; UnexpectedEnd with the shortfall when fewer remain.
  Decoded<const uint8_t*> take(uint64_t n) {
    if (n > remaining()) return std::unexpected(DecodeError::unexpected_end(n - remaining()));
    const uint8_t* r = p_;
    p_ += n;
    return r;
  }
  // A byte vector: u64 varint length, then that many bytes (not copied).
  Decoded<std::string_view> read_bytes_view() {
    KVT_ASSIGN_OR_RETURN(const uint64_t n, read_u64());
    KVT_ASSIGN_OR_RETURN(const uint8_t* b, take(n));
    return std::string_view(reinterpret_cast<const char*>(b), n);
  }
  // A string: as a byte vector, validated as UTF-8.
  Decoded<std::string_view> read_str_view();

  // Enumeration index: u32 varint, UnexpectedVariant when above max.
  Decoded<uint32_t> read_enum_index(std::string_view type_name, uint32_t max) {
    auto i = read_u32();
    if (!i) return i;
    if (*i > max) return std::unexpected(DecodeError::unexpected_variant(type_name, 0, max, *i));
    return i;
  }

  // Advances over n bytes known to be present (bulk decoders).
  void skip_unchecked(size_t n) { p_ += n; }

 private:
  template <class T>
  Decoded<T> read_fixed() {
    if (remaining() < sizeof(T)) {
      return std::unexpected(DecodeError::unexpected_end(sizeof(T) - remaining()));
    }
    T v;
    std::memcpy(&v, p_, sizeof(T));
    p_ += sizeof(T);
    return v;
  }

  // A varint that must fit 32 bits: FD reports `wide`, FE `huge`, FF Reserved.
  Decoded<uint32_t> read_varint32(IntegerType expected, IntegerType wide, IntegerType huge) {
    if (p_ == end_) return std::unexpected(DecodeError::unexpected_end(1));
    uint8_t b = *p_;
    if (b <= kVarintOneByteMax) {
      ++p_;
      return b;
    }
    if (b == 0xFB) {
      ++p_;
      KVT_ASSIGN_OR_RETURN(const uint16_t v, read_fixed<uint16_t>());
      return v;
    }
    if (b == 0xFC) {
      ++p_;
      return read_fixed<uint32_t>();
    }
    return std::unexpected(
        DecodeError::invalid_integer_type(expected, b == 0xFD   ? wide
                                                    : b == 0xFE ? huge
                                                                : IntegerType::Reserved));
  }

  Decoded<uint64_t> read_varint64(IntegerType expected, IntegerType huge) {
    if (p_ == end_) return std::unexpected(DecodeError::unexpected_end(1));
    uint8_t b = *p_;
    if (b <= kVarintOneByteMax) {
      ++p_;
      return b;
    }
    ++p_;
    switch (b) {
      case 0xFB: {
        KVT_ASSIGN_OR_RETURN(const uint16_t v, read_fixed<uint16_t>());
        return v;
      }
      case 0xFC: {
        KVT_ASSIGN_OR_RETURN(const uint32_t v, read_fixed<uint32_t>());
        return v;
      }
      case 0xFD:
        return read_fixed<uint64_t>();
      default:
        return std::unexpected(
            DecodeError::invalid_integer_type(expected, b == 0xFE ? huge : IntegerType::Reserved));
    }
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace kvt
