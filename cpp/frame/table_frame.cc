#include "frame/table_frame.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <utility>

#include "columns/block_column.h"
#include "columns/bool_column.h"
#include "columns/datetime_column.h"
#include "columns/decimal_column.h"
#include "columns/string_column.h"
#include "columns/varint_column.h"
#include "frame/budget.h"
#include "frame/crc32.h"
#include "model/result.h"
#include "wire/encode.h"
#include "wire/reader.h"
#include "wire/variant_codec.h"

namespace kvt {

namespace {

constexpr uint16_t kMagic = 0x4D7C;
constexpr uint16_t kVersion = 1;
// The first four bytes of every header: the magic and the version, little-endian.
constexpr uint8_t kHeaderLead[4] = {kMagic & 0xFF, kMagic >> 8, kVersion & 0xFF, kVersion >> 8};
// Every field takes at least 4 bytes: name length, data_type, meta tag, series tag.
constexpr size_t kMinFieldSize = 4;

// ---- body writing ----

// Bulk encoders work in pieces (kPieceBytes) and the checksum takes each piece in right after it
// is written, while it is still in cache, instead of the whole body in a later pass; short
// elements are folded once this many bytes have gathered.
constexpr size_t kFoldBytes = kPieceBytes;

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

// The DateTime unit of each column is chosen once: the sizing pass records it in `units`, the
// writing pass replays it.
struct DatetimeUnits {
  std::vector<int64_t>* record = nullptr;
  std::span<const int64_t> replay;
  size_t next = 0;
};

template <class Sink>
void encode_series(Sink& s, const SeriesRef& series, DatetimeUnits& units) {
  using enum DataType;
  write_enum_index(s, static_cast<uint32_t>(series.index()));
  switch (series_kind(series)) {
    case Null:
      break;
    case DateTime: {
      const auto v = get_kind<DateTime>(series);
      if constexpr (Sink::kWrites) {
        encode_datetime_column(v, units.replay[units.next++], s);
      } else {
        const DatetimePlan p = plan_datetime_column(v);
        units.record->push_back(p.unit);
        s.skip(p.size);
      }
      break;
    }
    case Int64:
      encode_integer_column(s, get_kind<Int64>(series));
      break;
    case Float64:
      encode_block_column(s, get_kind<Float64>(series));
      break;
    case Decimal:
      encode_decimal_column(get_kind<Decimal>(series), s);
      break;
    case String:
      encode_strings_column(s, get_kind<String>(series));
      break;
    case Bool:
      encode_bool_column(s, get_kind<Bool>(series));
      break;
    case Int32:
      encode_integer_column(s, get_kind<Int32>(series));
      break;
    case UInt32:
      encode_integer_column(s, get_kind<UInt32>(series));
      break;
    case UInt64:
      encode_integer_column(s, get_kind<UInt64>(series));
      break;
    case Float32:
      encode_block_column(s, get_kind<Float32>(series));
      break;
    case Bytes:
      encode_strings_column(s, get_kind<Bytes>(series));
      break;
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
    piece_written(s);
  }
  encode_meta(s, t.meta);
  write_bool(s, t.flag);
}

void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// ---- body reading ----

template <DataType K, class T>
Decoded<Series> into_series(Decoded<T>&& v) {
  if (!v) return std::unexpected(v.error());
  return Series(std::in_place_index<kind_index(K)>, std::move(*v));
}

// Reads the series of kind `kind` (a valid kind index); text in place when `in_place`.
Decoded<Series> decode_series(Reader& r, DataType kind, bool in_place) {
  using enum DataType;
  switch (kind) {
    case Null:
      return Series(std::in_place_index<kind_index(Null)>);
    case DateTime:
      return into_series<DateTime>(decode_datetime_column(r));
    case Int64:
      return into_series<Int64>(decode_integer_column<int64_t>(r));
    case Float64:
      return into_series<Float64>(decode_block_column<double>(r));
    case Decimal:
      return into_series<Decimal>(decode_decimal_column(r));
    case String:
      return into_series<String>(decode_strings_column(
          r, Elements::Utf8, in_place ? Placement::InPlace : Placement::Copied));
    case Bool:
      return into_series<Bool>(decode_bool_column(r));
    case Int32:
      return into_series<Int32>(decode_integer_column<int32_t>(r));
    case UInt32:
      return into_series<UInt32>(decode_integer_column<uint32_t>(r));
    case UInt64:
      return into_series<UInt64>(decode_integer_column<uint64_t>(r));
    case Float32:
      return into_series<Float32>(decode_block_column<float>(r));
    case Bytes:
      break;
  }
  return into_series<Bytes>(decode_strings_column(r, Elements::AnyBytes));
}

Decoded<Field> decode_field(Reader& r, bool in_place) {
  Field f;
  KVT_ASSIGN_OR_RETURN(const std::string_view name, r.read_str_view());
  f.name.assign(name.data(), name.size());
  KVT_ASSIGN_OR_RETURN(const uint32_t data_type, r.read_enum_index(kDataTypeName, kMaxKind));
  f.data_type = static_cast<DataType>(data_type);
  KVT_ASSIGN_OR_RETURN(f.meta, decode_meta(r));
  KVT_ASSIGN_OR_RETURN(const uint32_t tag, r.read_enum_index(kSeriesTypeName, kMaxKind));
  KVT_ASSIGN_OR_RETURN(f.series, decode_series(r, static_cast<DataType>(tag), in_place));
  return f;
}

TableFrameError decode_failure(const DecodeError& e) {
  return TableFrameError::invalid_frame("Failed to decode table: " + e.to_string());
}

TableFrameError over_budget(uint64_t cost, uint64_t frame_bytes, uint64_t budget) {
  return TableFrameError::invalid_frame(
      "Table too large once parsed: at least " + std::to_string(cost) + " bytes for a frame of " +
      std::to_string(frame_bytes) + " bytes, at most " + std::to_string(budget));
}

// Decodes a body of `body` bytes taken from a frame region of `frame_bytes` bytes, refusing it as
// soon as the estimated cost of the fields decoded so far passes the region's budget.
std::expected<Table, TableFrameError> decode_body(std::span<const uint8_t> body,
                                                  uint64_t frame_bytes, BudgetRule rule,
                                                  bool in_place) {
  Reader r(body.data(), body.size());
  const uint64_t budget = rule.of(frame_bytes);
  Table t;
  KVT_ASSIGN_OR_RETURN_AS(t.format_word, r.read_u32(), decode_failure);
  KVT_ASSIGN_OR_RETURN_AS(const uint64_t count, r.read_u64(), decode_failure);
  // Fields that the input can hold but the budget cannot pay for are refused before any is
  // decoded. (A count beyond what the input holds fails as a decode error where it runs out.)
  if (count <= r.remaining() / kMinFieldSize && count > budget / kFieldBudgetBytes) {
    return std::unexpected(over_budget(count * kFieldBudgetBytes, frame_bytes, budget));
  }
  // Room for the fields the input can hold and the budget can pay for; more grow the vector.
  t.fields.reserve(
      std::min<uint64_t>({count, r.remaining() / kMinFieldSize, budget / kFieldBudgetBytes + 1}));
  uint64_t rows = 0;
  uint64_t cost = 0;
  for (uint64_t i = 0; i < count; ++i) {
    KVT_ASSIGN_OR_RETURN_AS(Field f, decode_field(r, in_place), decode_failure);
    if (i == 0) rows = series_length(f.series);
    cost += field_cost(f, rows);
    if (cost > budget) return std::unexpected(over_budget(cost, frame_bytes, budget));
    t.fields.push_back(std::move(f));
  }
  KVT_ASSIGN_OR_RETURN_AS(t.meta, decode_meta(r), decode_failure);
  KVT_ASSIGN_OR_RETURN_AS(t.flag, r.read_bool(), decode_failure);
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
                                                        BudgetRule rule, bool in_place) {
  const size_t body_size = region.size() - kFooterSize;
  const std::span<const uint8_t> body = region.first(body_size);
  if (crc32(body.data(), body.size()) != load_u32(region.data() + body_size)) {
    return std::unexpected(TableFrameError::checksum_mismatch());
  }
  return decode_body(body, region.size(), rule, in_place);
}

// The whole unpacking, with text in place or not.
std::expected<Table, TableFrameError> unpack(std::span<const uint8_t> buffer, bool skip_header,
                                             BudgetRule budget, bool in_place) {
  if (skip_header) {
    if (buffer.size() < kFooterSize) {
      return std::unexpected(TableFrameError::invalid_frame("Content and footer too short"));
    }
    return verify_and_decode(buffer, budget, in_place);
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
  return verify_and_decode(buffer.subspan(kHeaderSize, length), budget, in_place);
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
  std::memcpy(out, kHeaderLead, sizeof kHeaderLead);
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
  return unpack(buffer, skip_header, kTableBudget, false);
}

std::expected<Table, TableFrameError> unpack_table_frame_in_place(std::span<const uint8_t> buffer,
                                                                  bool skip_header) {
  return unpack(buffer, skip_header, kTableBudget, true);
}

std::expected<Table, TableFrameError> unpack_table_frame(std::span<const uint8_t> buffer,
                                                         bool skip_header, BudgetRule budget) {
  return unpack(buffer, skip_header, budget, false);
}

HeaderResult check_table_frame_header(std::span<const uint8_t> buffer) {
  if (buffer.size() < kHeaderSize) return {HeaderCheck::TooShort, 0};
  if (std::memcmp(buffer.data(), kHeaderLead, sizeof kHeaderLead) != 0) {
    return {HeaderCheck::NotAFrame, 0};
  }
  return {HeaderCheck::Ok, load_u32(buffer.data() + 4)};
}

}  // namespace kvt
