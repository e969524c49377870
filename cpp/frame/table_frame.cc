#include "frame/table_frame.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <utility>

#include "frame/budget.h"
#include "frame/crc32.h"
#include "wire/column_codec.h"
#include "wire/encode.h"
#include "wire/reader.h"
#include "wire/variant_codec.h"
#include "wire/varint_seq.h"

namespace kvt {

namespace {

constexpr uint16_t kMagic = 0x4D7C;
constexpr uint16_t kVersion = 1;
// Every field takes at least 4 bytes: name length, data_type, meta tag, series tag.
constexpr size_t kMinFieldSize = 4;

// ---- body writing ----

// Bulk encoders work in pieces of about this many bytes and checksum each piece right after
// writing it, while it is still in cache, instead of checksumming the whole body in a later pass.
constexpr size_t kFoldBytes = size_t{64} << 10;

// A Writer that keeps a running checksum of the bytes written so far.
class ChecksumWriter : public Writer {
 public:
  ChecksumWriter(uint8_t* begin, size_t capacity) : Writer(begin, capacity), done_(begin) {}
  // Takes every byte written since the last fold into the checksum.
  void fold() {
    crc_ = crc32_update(crc_, done_, unfolded());
    done_ = position();
  }
  size_t unfolded() const { return static_cast<size_t>(position() - done_); }
  // Called by bulk encoders after each piece (see piece_written).
  void on_piece() {
    if (unfolded() >= kFoldBytes) fold();
  }
  // The checksum of everything written.
  uint32_t checksum() {
    fold();
    return crc_;
  }

 private:
  const uint8_t* done_;
  uint32_t crc_ = 0;
};

// Folds the checksum once at least a piece's worth of bytes waits (sizing: does nothing).
template <class Sink>
void fold_if_due(Sink& s) {
  if constexpr (Sink::kWrites) {
    if (s.unfolded() >= kFoldBytes) s.fold();
  }
}

// Varint columns go in runs of this many elements; a run whose varints are all one byte (the
// common case of small numbers) is checked and stored without a branch per element.
constexpr size_t kRun = 16;

template <class T, class Map>
bool run_is_one_byte(const T* x, Map map) {
  // v <= 250 exactly when neither v nor v + 5 reaches 256 (v + 5 cannot wrap when v < 256).
  uint64_t high = 0;
  for (size_t k = 0; k < kRun; ++k) {
    const uint64_t m = map(x[k]);
    high |= (m | (m + 5)) >> 8;
  }
  return high == 0;
}

// A count, then every element as a varint of map(element); Writer memory is filled directly.
template <class Sink, class T, class Map>
void encode_varint_column(Sink& s, std::span<const T> v, Map map) {
  write_count(s, v.size());
  if constexpr (Sink::kWrites) {
    // Pieces of elements small enough that their bytes (at most 9 each) are still cached.
    constexpr size_t kPiece = kFoldBytes / 9 / kRun * kRun;
    for (size_t i = 0; i < v.size(); i += kPiece) {
      const size_t end = std::min(v.size(), i + kPiece);
      uint8_t* const start = s.position();
      uint8_t* p = start;
      size_t j = i;
      // After a run with a wide varint the next few runs skip the check (wide values cluster).
      // Wide runs keep the per-width branches: on columns of one width they predict perfectly
      // and beat over-wide stores.
      unsigned unchecked = 0;
      for (; j + kRun <= end; j += kRun) {
        const T* x = v.data() + j;
        if (unchecked == 0 && run_is_one_byte(x, map)) {
          for (size_t k = 0; k < kRun; ++k) p[k] = static_cast<uint8_t>(map(x[k]));
          p += kRun;
        } else {
          unchecked = unchecked == 0 ? 7 : unchecked - 1;
          for (size_t k = 0; k < kRun; ++k) p += encode_varint(map(x[k]), p);
        }
      }
      for (; j < end; ++j) p += encode_varint(map(v[j]), p);
      s.advance(static_cast<size_t>(p - start));
      fold_if_due(s);
    }
  } else {
    size_t n = 0;
    size_t j = 0;
    for (; j + kRun <= v.size(); j += kRun) {
      const T* x = v.data() + j;
      if (run_is_one_byte(x, map)) {
        n += kRun;
      } else {
        for (size_t k = 0; k < kRun; ++k) n += varint_size_flat(map(x[k]));
      }
    }
    for (; j < v.size(); ++j) n += varint_size_flat(map(v[j]));
    s.skip(n);
  }
}

// A count, then the elements' memory as one block (binary32/64 LE equals memory here).
template <class Sink, class T>
void encode_block_column(Sink& s, std::span<const T> v) {
  write_count(s, v.size());
  if constexpr (Sink::kWrites) {
    const auto* src = reinterpret_cast<const uint8_t*>(v.data());
    for (size_t done = 0, n = v.size_bytes(); done < n;) {
      const size_t len = std::min(kFoldBytes, n - done);
      s.put(src + done, len);
      s.fold();
      done += len;
    }
  } else {
    s.skip(v.size_bytes());
  }
}

template <class Sink>
void encode_bool_column(Sink& s, std::span<const uint8_t> v) {
  write_count(s, v.size());
  if constexpr (Sink::kWrites) {
    // A caller's buffer may hold any nonzero byte for true; the frame only ever gets 00 or 01.
    for (size_t i = 0; i < v.size(); i += kFoldBytes) {
      const size_t end = std::min(v.size(), i + kFoldBytes);
      uint8_t* p = s.reserve(end - i);
      for (size_t j = i; j < end; ++j) *p++ = v[j] != 0;
      s.fold();
    }
  } else {
    s.skip(v.size());
  }
}

template <class Sink>
void encode_strings_column(Sink& s, const StringsRef& v) {
  const size_t n = v.size();
  write_count(s, n);
  if constexpr (Sink::kWrites) {
    constexpr size_t kPiece = 1024;
    for (size_t i = 0; i < n; i += kPiece) {
      const size_t end = std::min(n, i + kPiece);
      uint8_t* const start = s.position();
      uint8_t* p = start;
      for (size_t j = i; j < end; ++j) {
        const std::string_view e = v[j];
        p += encode_varint(e.size(), p);
        if (!e.empty()) std::memcpy(p, e.data(), e.size());
        p += e.size();
      }
      s.advance(static_cast<size_t>(p - start));
      fold_if_due(s);
    }
  } else {
    size_t bytes = 0;
    for (size_t i = 0; i < n; ++i) {
      const size_t len = v[i].size();
      bytes += varint_size_flat(len) + len;
    }
    s.skip(bytes);
  }
}

// The DateTime unit of each column is chosen once: the sizing pass records it in `units`, the
// writing pass replays it.
struct DatetimeUnits {
  std::vector<int64_t>* record = nullptr;
  std::span<const int64_t> replay;
  size_t next = 0;
};

template <class Sink>
void encode_series(Sink& s, const SeriesRef& series, DatetimeUnits& units) {
  write_enum_index(s, static_cast<uint32_t>(series.index()));
  switch (series.index()) {
    case 0:
      break;
    case 1: {
      const auto v = std::get<1>(series);
      if constexpr (Sink::kWrites) {
        datetime_array_bincode_encode(v, units.replay[units.next++], s);
      } else {
        const DatetimePlan p = plan_datetime_column(v);
        units.record->push_back(p.unit);
        s.skip(p.size);
      }
      break;
    }
    case 2:
      encode_varint_column(s, std::get<2>(series), [](int64_t x) { return zigzag64(x); });
      break;
    case 3:
      encode_block_column(s, std::get<3>(series));
      break;
    case 4:
      d64_array_bincode_encode(std::get<4>(series), s);
      break;
    case 5:
      encode_strings_column(s, std::get<5>(series));
      break;
    case 6:
      encode_bool_column(s, std::get<6>(series));
      break;
    case 7:
      encode_varint_column(s, std::get<7>(series), [](int32_t x) { return zigzag32(x); });
      break;
    case 8:
      encode_varint_column(s, std::get<8>(series), [](uint32_t x) { return uint64_t{x}; });
      break;
    case 9:
      encode_varint_column(s, std::get<9>(series), [](uint64_t x) { return x; });
      break;
    case 10:
      encode_block_column(s, std::get<10>(series));
      break;
    case 11:
      encode_strings_column(s, std::get<11>(series));
      break;
    default:
      break;  // valueless: cannot arise
  }
}

template <class Sink>
void encode_body(Sink& s, const TableRef& t, DatetimeUnits& units) {
  write_varint(s, t.format_word);
  write_count(s, t.fields.size());
  for (const FieldRef& f : t.fields) {
    write_str(s, f.name);
    write_enum_index(s, kind_index(f.data_type));
    encode_meta(s, f.meta);
    encode_series(s, f.series, units);
    fold_if_due(s);
  }
  encode_meta(s, t.meta);
  write_bool(s, t.flag);
}

void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// ---- body reading ----

template <size_t I, class T>
Decoded<Series> into_series(Decoded<T>&& v) {
  if (!v) return std::unexpected(v.error());
  return Series(std::in_place_index<I>, std::move(*v));
}

template <class T, class ReadSeq>
Decoded<Vec<T>> decode_varint_column(Reader& r, ReadSeq read_seq) {
  auto count = r.read_u64();
  if (!count) return std::unexpected(count.error());
  Vec<T> out;
  if (auto ok = read_seq(r, *count, out); !ok) return std::unexpected(ok.error());
  return out;
}

// Elements that are whole in the input are copied as one block; the first missing one fails
// exactly as reading it alone would.
template <class T>
Decoded<Vec<T>> decode_block_column(Reader& r) {
  auto count = r.read_u64();
  if (!count) return std::unexpected(count.error());
  const uint64_t k = std::min<uint64_t>(*count, r.remaining() / sizeof(T));
  Vec<T> out(k);
  const size_t n = k * sizeof(T);
  const uint8_t* src = *r.take(n);
  if (n) std::memcpy(out.data(), src, n);
  if (k < *count) return std::unexpected(r.take(sizeof(T)).error());
  return out;
}

Decoded<Vec<uint8_t>> decode_bool_column(Reader& r) {
  auto count = r.read_u64();
  if (!count) return std::unexpected(count.error());
  const uint64_t k = std::min<uint64_t>(*count, r.remaining());
  const uint8_t* src = *r.take(k);
  uint8_t bad = 0;
  for (uint64_t i = 0; i < k; ++i) bad |= src[i] > 1;
  if (bad) {
    const uint8_t* b = std::find_if(src, src + k, [](uint8_t x) { return x > 1; });
    return std::unexpected(DecodeError::invalid_boolean_value(*b));
  }
  if (k < *count) return std::unexpected(DecodeError::unexpected_end(1));
  Vec<uint8_t> out(k);
  if (k) std::memcpy(out.data(), src, k);
  return out;
}

Decoded<Series> decode_series(Reader& r, uint32_t tag) {
  switch (static_cast<DataType>(tag)) {
    case DataType::Null:
      return Series(std::in_place_index<0>);
    case DataType::DateTime:
      return into_series<1>(datetime_array_bincode_decode(r));
    case DataType::Int64:
      return into_series<2>(decode_varint_column<int64_t>(r, read_i64_seq));
    case DataType::Float64:
      return into_series<3>(decode_block_column<double>(r));
    case DataType::Decimal:
      return into_series<4>(d64_array_bincode_decode(r));
    case DataType::String:
      return into_series<5>(read_strings_column(r, true));
    case DataType::Bool:
      return into_series<6>(decode_bool_column(r));
    case DataType::Int32:
      return into_series<7>(decode_varint_column<int32_t>(r, read_i32_seq));
    case DataType::UInt32:
      return into_series<8>(decode_varint_column<uint32_t>(r, read_u32_seq));
    case DataType::UInt64:
      return into_series<9>(decode_varint_column<uint64_t>(r, read_u64_seq));
    case DataType::Float32:
      return into_series<10>(decode_block_column<float>(r));
    case DataType::Bytes:  // the last index read_enum_index leaves
      break;
  }
  return into_series<11>(read_strings_column(r, false));
}

Decoded<Field> decode_field(Reader& r) {
  Field f;
  auto name = r.read_str_view();
  if (!name) return std::unexpected(name.error());
  f.name.assign(name->data(), name->size());
  auto data_type = r.read_enum_index(kDataTypeName, kMaxKind);
  if (!data_type) return std::unexpected(data_type.error());
  f.data_type = static_cast<DataType>(*data_type);
  auto meta = decode_meta(r);
  if (!meta) return std::unexpected(meta.error());
  f.meta = std::move(*meta);
  auto tag = r.read_enum_index(kSeriesTypeName, kMaxKind);
  if (!tag) return std::unexpected(tag.error());
  auto series = decode_series(r, *tag);
  if (!series) return std::unexpected(series.error());
  f.series = std::move(*series);
  return f;
}

TableFrameError decode_failure(const DecodeError& e) {
  return TableFrameError::invalid_frame("Failed to decode table: " + e.to_string());
}

TableFrameError over_budget(uint64_t cost, uint64_t frame_bytes, uint64_t budget) {
  return TableFrameError::invalid_frame("Table too large once parsed: at least " +
                                        std::to_string(cost) + " bytes for a frame of " +
                                        std::to_string(frame_bytes) + " bytes, at most " +
                                        std::to_string(budget));
}

// Decodes a body of `body` bytes taken from a frame region of `frame_bytes` bytes, refusing it as
// soon as the estimated cost of the fields decoded so far passes the region's budget.
std::expected<Table, TableFrameError> decode_body(std::span<const uint8_t> body,
                                                  uint64_t frame_bytes, BudgetRule rule) {
  Reader r(body.data(), body.size());
  const uint64_t budget = rule.of(frame_bytes);
  Table t;
  auto format_word = r.read_u32();
  if (!format_word) return std::unexpected(decode_failure(format_word.error()));
  t.format_word = *format_word;
  auto count = r.read_u64();
  if (!count) return std::unexpected(decode_failure(count.error()));
  // Fields that the input can hold but the budget cannot pay for are refused before any is
  // decoded. (A count beyond what the input holds fails as a decode error where it runs out.)
  if (*count <= r.remaining() / kMinFieldSize && *count > budget / kFieldBudgetBytes) {
    return std::unexpected(over_budget(*count * kFieldBudgetBytes, frame_bytes, budget));
  }
  // Room for the fields the input can hold and the budget can pay for; more grow the vector.
  t.fields.reserve(std::min<uint64_t>({*count, r.remaining() / kMinFieldSize,
                                       budget / kFieldBudgetBytes + 1}));
  uint64_t rows = 0;
  uint64_t cost = 0;
  for (uint64_t i = 0; i < *count; ++i) {
    auto f = decode_field(r);
    if (!f) return std::unexpected(decode_failure(f.error()));
    if (i == 0) rows = series_length(f->series);
    cost += field_cost(*f, rows);
    if (cost > budget) return std::unexpected(over_budget(cost, frame_bytes, budget));
    t.fields.push_back(std::move(*f));
  }
  auto meta = decode_meta(r);
  if (!meta) return std::unexpected(decode_failure(meta.error()));
  t.meta = std::move(*meta);
  auto flag = r.read_bool();
  if (!flag) return std::unexpected(decode_failure(flag.error()));
  t.flag = *flag;
  return t;
}

uint16_t load_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A body-plus-footer region (at least 4 bytes): the checksum over the whole body is checked
// first, and nothing is decoded (nothing allocated) from a region whose checksum fails.
std::expected<Table, TableFrameError> verify_and_decode(std::span<const uint8_t> region,
                                                        BudgetRule rule) {
  const size_t body_size = region.size() - kFooterSize;
  const std::span<const uint8_t> body = region.first(body_size);
  if (crc32(body.data(), body.size()) != load_u32(region.data() + body_size)) {
    return std::unexpected(TableFrameError::checksum_mismatch());
  }
  return decode_body(body, region.size(), rule);
}

}  // namespace

std::expected<FramePlan, TableFrameError> plan_table_ref_frame(const TableRef& table) {
  FramePlan plan;
  Sizer s;
  DatetimeUnits units{&plan.datetime_units_, {}, 0};
  encode_body(s, table, units);
  if (s.size() > kMaxBodySize) {
    return std::unexpected(
        TableFrameError::invalid_frame("Table body too large: " + std::to_string(s.size()) +
                                       " bytes, at most " + std::to_string(kMaxBodySize)));
  }
  plan.body_size_ = s.size();
  return plan;
}

void write_table_ref_frame(const TableRef& table, const FramePlan& plan, std::span<uint8_t> dst) {
  assert(dst.size() == plan.frame_size());
  uint8_t* out = dst.data();
  const size_t n = plan.body_size_;
  out[0] = 0x7C;
  out[1] = 0x4D;
  out[2] = 0x01;
  out[3] = 0x00;
  store_u32(out + 4, static_cast<uint32_t>(n + kFooterSize));
  ChecksumWriter w(out + kHeaderSize, n);
  DatetimeUnits units{nullptr, plan.datetime_units_, 0};
  encode_body(w, table, units);
  assert(w.size() == n);
  store_u32(out + kHeaderSize + n, w.checksum());
}

std::expected<std::vector<uint8_t>, TableFrameError> pack_table_ref_frame(const TableRef& table) {
  auto plan = plan_table_ref_frame(table);
  if (!plan) return std::unexpected(plan.error());
  std::vector<uint8_t> out(plan->frame_size());
  write_table_ref_frame(table, *plan, out);
  return out;
}

std::expected<Table, TableFrameError> unpack_table_frame(std::span<const uint8_t> buffer,
                                                         bool skip_header) {
  return unpack_table_frame(buffer, skip_header, kTableBudget);
}

std::expected<Table, TableFrameError> unpack_table_frame(std::span<const uint8_t> buffer,
                                                         bool skip_header, BudgetRule budget) {
  if (skip_header) {
    if (buffer.size() < kFooterSize) {
      return std::unexpected(TableFrameError::invalid_frame("Content and footer too short"));
    }
    return verify_and_decode(buffer, budget);
  }
  if (buffer.size() < kHeaderSize) {
    return std::unexpected(TableFrameError::buffer_too_small(kHeaderSize, buffer.size()));
  }
  const uint16_t magic = load_u16(buffer.data());
  if (magic != kMagic) {
    return std::unexpected(
        TableFrameError::invalid_frame("Invalid magic: " + std::to_string(magic)));
  }
  const uint16_t version = load_u16(buffer.data() + 2);
  if (version != kVersion) {
    return std::unexpected(
        TableFrameError::invalid_frame("Invalid version: " + std::to_string(version)));
  }
  const uint64_t length = load_u32(buffer.data() + 4);
  if (buffer.size() < length + kHeaderSize) {
    return std::unexpected(TableFrameError::buffer_too_small(length + kHeaderSize, buffer.size()));
  }
  if (length < kFooterSize) {
    return std::unexpected(TableFrameError::invalid_frame("Content and footer too short"));
  }
  return verify_and_decode(buffer.subspan(kHeaderSize, length), budget);
}

HeaderResult check_table_frame_header(std::span<const uint8_t> buffer) {
  if (buffer.size() < kHeaderSize) return {HeaderCheck::TooShort, 0};
  static constexpr uint8_t kLead[4] = {0x7C, 0x4D, 0x01, 0x00};
  if (std::memcmp(buffer.data(), kLead, 4) != 0) return {HeaderCheck::NotAFrame, 0};
  return {HeaderCheck::Ok, load_u32(buffer.data() + 4)};
}

}  // namespace kvt
