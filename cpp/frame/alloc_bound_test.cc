// Memory bound of the frame decoder under hostile input: whatever a frame declares, decoding a
// region of n bytes allocates no more than a small multiple of n plus a constant.
//
// This file replaces the global operator new and delete of the test binary. Blocks carry a small
// header with their size and whether they were counted, so the counter (current and peak bytes
// of live counted blocks) only sees allocations made while a measurement is running; everything
// else in the binary is unaffected.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "frame/crc32.h"
#include "frame/table_frame.h"
#include "frame/table_testing.h"
#include "model/pages.h"
#include "wire/encode.h"

namespace {

struct AllocCounter {
  bool counting = false;
  size_t current = 0;
  size_t peak = 0;
};
AllocCounter g_alloc;

// 16 bytes keep the block as aligned as malloc's.
constexpr size_t kHeaderBytes = 16;
constexpr size_t kCounted = 0xC0C0C0C0C0C0C0C0u;

void* counted_alloc(size_t n) {
  void* raw = std::malloc(n + kHeaderBytes);
  if (raw == nullptr) throw std::bad_alloc();
  auto* head = static_cast<size_t*>(raw);
  head[0] = n;
  head[1] = g_alloc.counting ? kCounted : 0;
  if (g_alloc.counting) {
    g_alloc.current += n;
    g_alloc.peak = std::max(g_alloc.peak, g_alloc.current);
  }
  return static_cast<char*>(raw) + kHeaderBytes;
}

void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  auto* head = reinterpret_cast<size_t*>(static_cast<char*>(p) - kHeaderBytes);
  if (head[1] == kCounted) g_alloc.current -= head[0];
  std::free(head);
}

}  // namespace

void* operator new(size_t n) { return counted_alloc(n); }
void* operator new[](size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, size_t) noexcept { counted_free(p); }
void operator delete[](void* p, size_t) noexcept { counted_free(p); }

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;

// Peak bytes of live blocks allocated by f.
template <class F>
size_t peak_of(F&& f) {
  g_alloc.current = 0;
  g_alloc.peak = 0;
  g_alloc.counting = true;
  f();
  g_alloc.counting = false;
  return g_alloc.peak;
}

// Decodes a region and returns the peak of the whole call (the result is dropped inside).
size_t decode_peak(const Bytes& region, bool* decoded = nullptr) {
  set_large_buffer_reuse(false);  // every buffer counted as it is asked for
  const size_t peak = peak_of([&] {
    const bool ok = unpack_table_frame(region, true).has_value();
    if (decoded != nullptr) *decoded = ok;
  });
  // Back to the default, which the tests run after this one in the same process rely on.
  set_large_buffer_reuse(true);
  return peak;
}

void put_varint(Bytes& b, uint64_t v) {
  uint8_t tmp[9];
  b.insert(b.end(), tmp, tmp + encode_varint(v, tmp));
}

Bytes region_of(Bytes body) {
  const uint32_t crc = crc32(body.data(), body.size());
  for (int i = 0; i < 4; ++i) body.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  return body;
}

constexpr uint64_t kHuge = uint64_t{1} << 62;
constexpr size_t kSlack = 64 * 1024;

// Where a hostile count or length sits. Each lead ends right where the declared count or length
// is read; the filler that follows is what the decoder gets to chew on.
enum class Place {
  FieldCount,
  FieldName,
  FieldMetaCount,
  FieldMetaKey,
  FieldMetaString,
  FieldMetaBytes,
  TableMetaCount,
  DateTimeCount,
  Int64Count,
  Float64Count,
  DecimalCount,
  StringCount,
  StringLength,
  BoolCount,
  Int32Count,
  UInt32Count,
  UInt64Count,
  Float32Count,
  BytesCount,
  BytesLength,
};

// How the filler after the hostile number looks.
enum class Filler {
  Zeros,         // the cheapest element of every kind: empty strings, Null fields, 0 values
  Ones,          // 01 bytes
  DistinctKeys,  // a stream of (short distinct key, Null value) map entries
  Wide,          // FD-prefixed 9-byte varints (a few large elements)
};

struct HostileCase {
  Place place;
  bool structural;  // fields and map entries: the decoded structures outweigh their bytes
};

Bytes lead_of(Place place) {
  Bytes b;
  put_varint(b, kFormatWord);
  auto column = [&](uint8_t tag) {
    put_varint(b, 1);                                // one field
    b.insert(b.end(), {0x01, 'c', tag, 0x00, tag});  // name "c", data_type, no meta, series tag
  };
  auto field_meta = [&] {
    put_varint(b, 1);
    b.insert(b.end(), {0x01, 'c', 0x00, 0x01});  // name "c", Null, meta present
  };
  switch (place) {
    case Place::FieldCount:
      put_varint(b, kHuge);
      break;
    case Place::FieldName:
      put_varint(b, 1);
      put_varint(b, kHuge);
      break;
    case Place::FieldMetaCount:
      field_meta();
      put_varint(b, kHuge);
      break;
    case Place::FieldMetaKey:
      field_meta();
      put_varint(b, 1);
      put_varint(b, kHuge);
      break;
    case Place::FieldMetaString:
      field_meta();
      b.insert(b.end(), {0x01, 0x01, 'k', 0x05});
      put_varint(b, kHuge);
      break;
    case Place::FieldMetaBytes:
      field_meta();
      b.insert(b.end(), {0x01, 0x01, 'k', 0x0B});
      put_varint(b, kHuge);
      break;
    case Place::TableMetaCount:
      b.insert(b.end(), {0x00, 0x01});  // no fields, table meta present
      put_varint(b, kHuge);
      break;
    case Place::DateTimeCount:
      column(1);
      put_varint(b, kHuge);
      b.push_back(0x02);  // unit 1
      break;
    case Place::Int64Count:
      column(2);
      put_varint(b, kHuge);
      break;
    case Place::Float64Count:
      column(3);
      put_varint(b, kHuge);
      break;
    case Place::DecimalCount:
      column(4);
      put_varint(b, kHuge);
      b.push_back(0x04);  // scale 2
      break;
    case Place::StringCount:
      column(5);
      put_varint(b, kHuge);
      break;
    case Place::StringLength:
      column(5);
      put_varint(b, 3);
      b.insert(b.end(), {0x01, 'a'});
      put_varint(b, kHuge);
      break;
    case Place::BoolCount:
      column(6);
      put_varint(b, kHuge);
      break;
    case Place::Int32Count:
      column(7);
      put_varint(b, kHuge);
      break;
    case Place::UInt32Count:
      column(8);
      put_varint(b, kHuge);
      break;
    case Place::UInt64Count:
      column(9);
      put_varint(b, kHuge);
      break;
    case Place::Float32Count:
      column(10);
      put_varint(b, kHuge);
      break;
    case Place::BytesCount:
      column(11);
      put_varint(b, kHuge);
      break;
    case Place::BytesLength:
      column(11);
      put_varint(b, 3);
      b.insert(b.end(), {0x01, 0xFF});
      put_varint(b, kHuge);
      break;
  }
  return b;
}

void append_filler(Bytes& b, Filler filler, size_t m) {
  const size_t end = b.size() + m;
  switch (filler) {
    case Filler::Zeros:
      b.resize(end, 0x00);
      break;
    case Filler::Ones:
      b.resize(end, 0x01);
      break;
    case Filler::DistinctKeys:
      for (uint32_t k = 0; b.size() < end; ++k) {
        const std::string key = std::to_string(k);
        put_varint(b, key.size());
        b.insert(b.end(), key.begin(), key.end());
        b.push_back(0x00);  // Null value
      }
      b.resize(end);
      break;
    case Filler::Wide:
      while (b.size() < end) {
        b.push_back(0xFD);
        for (int i = 0; i < 8; ++i) b.push_back(0x11);
      }
      b.resize(end);
      break;
  }
}

std::string place_name(Place p) {
  static const char* const kNames[] = {
      "FieldCount",     "FieldName",      "FieldMetaCount", "FieldMetaKey", "FieldMetaString",
      "FieldMetaBytes", "TableMetaCount", "DateTimeCount",  "Int64Count",   "Float64Count",
      "DecimalCount",   "StringCount",    "StringLength",   "BoolCount",    "Int32Count",
      "UInt32Count",    "UInt64Count",    "Float32Count",   "BytesCount",   "BytesLength"};
  return kNames[static_cast<size_t>(p)];
}

class HostileCounts : public ::testing::TestWithParam<HostileCase> {};

// Column elements (at most 8 bytes each, one input byte at least) stay within 16 n. Fields and
// map entries are bigger in memory than on the wire (a Field is sizeof(Field) bytes for at least
// 4 input bytes; a map entry a key, a Variant and an index node for at least 3), so they get
// their own, still linear, factor.
TEST_P(HostileCounts, PeakStaysWithinAMultipleOfTheInput) {
  const HostileCase c = GetParam();
  const size_t factor = c.structural ? 64 : 16;
  for (Filler filler : {Filler::Zeros, Filler::Ones, Filler::DistinctKeys, Filler::Wide}) {
    for (size_t m : {size_t{0}, size_t{7}, size_t{1000}, size_t{200000}}) {
      Bytes body = lead_of(c.place);
      append_filler(body, filler, m);
      const Bytes region = region_of(body);
      bool decoded = true;
      const size_t peak = decode_peak(region, &decoded);
      EXPECT_FALSE(decoded);  // the declared count or length can never be met
      EXPECT_LE(peak, factor * region.size() + kSlack)
          << place_name(c.place) << " filler " << static_cast<int>(filler) << " m " << m;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCountAndLength, HostileCounts,
    ::testing::Values(
        HostileCase{Place::FieldCount, true}, HostileCase{Place::FieldName, false},
        HostileCase{Place::FieldMetaCount, true}, HostileCase{Place::FieldMetaKey, false},
        HostileCase{Place::FieldMetaString, false}, HostileCase{Place::FieldMetaBytes, false},
        HostileCase{Place::TableMetaCount, true}, HostileCase{Place::DateTimeCount, false},
        HostileCase{Place::Int64Count, false}, HostileCase{Place::Float64Count, false},
        HostileCase{Place::DecimalCount, false}, HostileCase{Place::StringCount, false},
        HostileCase{Place::StringLength, false}, HostileCase{Place::BoolCount, false},
        HostileCase{Place::Int32Count, false}, HostileCase{Place::UInt32Count, false},
        HostileCase{Place::UInt64Count, false}, HostileCase{Place::Float32Count, false},
        HostileCase{Place::BytesCount, false}, HostileCase{Place::BytesLength, false}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return place_name(info.param.place); });

// A hostile count whose bytes never arrive costs no more than an empty frame: nothing is reserved
// on the strength of the declaration alone.
TEST(HostileCounts, BareDeclarationsAllocateAlmostNothing) {
  for (size_t p = 0; p <= static_cast<size_t>(Place::BytesLength); ++p) {
    const Bytes region = region_of(lead_of(static_cast<Place>(p)));
    EXPECT_LE(decode_peak(region), 4096u) << place_name(static_cast<Place>(p));
  }
}

// Valid frames: the peak follows the size of the decoded table, not some declared figure.
// decoded_bytes is what the owned table holds for its column data.
struct LargeCase {
  const char* name;
  uint32_t kind;
  size_t rows;
  size_t decoded_bytes_per_row;
};

class LargeFrames : public ::testing::TestWithParam<LargeCase> {};

TEST_P(LargeFrames, PeakIsProportionalToTheDecodedSize) {
  const LargeCase c = GetParam();
  testing::RandomSource rng(c.kind);
  Table t;
  t.fields.push_back(Field{"c", static_cast<DataType>(c.kind), std::nullopt,
                           testing::random_series(rng, c.kind, c.rows)});
  auto frame = pack_table_ref_frame(as_ref(t));
  ASSERT_TRUE(frame);
  const Bytes region(frame->begin() + kHeaderSize, frame->end());
  bool decoded = false;
  const size_t peak = decode_peak(region, &decoded);
  ASSERT_TRUE(decoded);
  const size_t decoded_size = c.rows * c.decoded_bytes_per_row;
  // Element storage is sized once; text arenas are sized from the lengths seen in a first pass.
  EXPECT_GE(peak, decoded_size);
  EXPECT_LE(peak, 2 * decoded_size + kSlack) << c.name << " region " << region.size();
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, LargeFrames,
    ::testing::Values(LargeCase{"DateTime", 1, 200000, 8}, LargeCase{"Int64", 2, 200000, 8},
                      LargeCase{"Float64", 3, 200000, 8}, LargeCase{"Decimal", 4, 200000, 8},
                      LargeCase{"Bool", 6, 200000, 1}, LargeCase{"Int32", 7, 200000, 4},
                      LargeCase{"UInt32", 8, 200000, 4}, LargeCase{"UInt64", 9, 200000, 8},
                      LargeCase{"Float32", 10, 200000, 4}),
    [](const ::testing::TestParamInfo<LargeCase>& info) { return std::string(info.param.name); });

// Text columns: offsets (8 bytes a row) plus the text itself.
TEST(LargeFrames, TextPeakFollowsOffsetsAndBytes) {
  for (uint32_t kind : {5u, 11u}) {
    testing::RandomSource rng(kind);
    Table t;
    t.fields.push_back(Field{"s", static_cast<DataType>(kind), std::nullopt,
                             testing::random_series(rng, kind, 100000)});
    const Series& s = t.fields[0].series;
    const StringColumn& col = kind == 5 ? std::get<5>(s) : std::get<11>(s);
    const size_t decoded_size = col.offsets().size() * 8 + col.bytes().size();
    auto frame = pack_table_ref_frame(as_ref(t));
    ASSERT_TRUE(frame);
    const Bytes region(frame->begin() + kHeaderSize, frame->end());
    const size_t peak = decode_peak(region);
    EXPECT_GE(peak, decoded_size);
    EXPECT_LE(peak, 2 * decoded_size + kSlack) << kind;
  }
}

// The checksum verdict comes first: a damaged region of any kind allocates nothing at all, and a
// mismatch wins over whatever the body would have failed with.
TEST(ChecksumFirst, ADamagedRegionIsRefusedWithoutDecodingAnything) {
  testing::RandomSource rng(99);
  Table t;
  for (uint32_t kind = 0; kind <= kMaxKind; ++kind) {
    t.fields.push_back(Field{"c" + std::to_string(kind), static_cast<DataType>(kind), std::nullopt,
                             testing::random_series(rng, kind, 5000)});
  }
  auto frame = pack_table_ref_frame(as_ref(t));
  ASSERT_TRUE(frame);
  const Bytes good(frame->begin() + kHeaderSize, frame->end());
  for (size_t at : {size_t{0}, good.size() / 2, good.size() - 5, good.size() - 1}) {
    Bytes bad = good;
    bad[at] ^= 0x40;
    std::expected<Table, TableFrameError> result;
    const size_t peak = peak_of([&] { result = unpack_table_frame(bad, true); });
    EXPECT_EQ(peak, 0u) << at;
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().to_string(), "Table frame CRC32 check failed") << at;
  }
}

// The counter itself: only blocks made while counting are seen, and freeing them is.
TEST(AllocCounter, CountsOnlyWhatIsAllocatedWhileCounting) {
  auto outside = std::make_unique<std::vector<int>>(1000);
  const size_t peak = peak_of([&] {
    outside.reset();  // made before counting: not subtracted
    std::vector<char> a(5000);
    std::vector<char> b(3000);
  });
  EXPECT_EQ(peak, 8000u);
  EXPECT_EQ(g_alloc.current, 0u);
}

}  // namespace
}  // namespace kvt
