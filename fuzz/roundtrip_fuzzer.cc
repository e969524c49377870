// Builds a table from the fuzz bytes (every column kind, arbitrary values, metadata maps), packs
// it, unpacks it and requires the exact table back (floats bit for bit). Timestamps are arbitrary
// 64-bit values, so every unit the datetime codec can choose gets exercised.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "frame/table_frame.h"
#include "frame/table_testing.h"
#include "wire/utf8.h"

namespace {

using kvt::DataType;
using kvt::get_kind;
using kvt::in_kind;

using kvt::Series;
using kvt::Variant;

// Valid UTF-8 from the input: invalid bytes are replaced so the text survives decoding.
std::string text(FuzzedDataProvider& p, size_t max) {
  std::string s = p.ConsumeRandomLengthString(max);
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    auto e = kvt::validate_utf8(reinterpret_cast<const uint8_t*>(s.data()) + i, s.size() - i);
    if (!e) {
      out.append(s, i, std::string::npos);
      break;
    }
    out.append(s, i, e->valid_up_to);
    out += '?';
    i += e->valid_up_to + (e->error_len ? *e->error_len : s.size() - i - e->valid_up_to);
  }
  return out;
}

Variant variant(FuzzedDataProvider& p) {
  switch (static_cast<DataType>(p.ConsumeIntegralInRange<int>(0, 11))) {
    case DataType::Null:
      return Variant(in_kind<DataType::Null>);
    case DataType::DateTime:
      return Variant(in_kind<DataType::DateTime>, p.ConsumeIntegral<int64_t>());
    case DataType::Int64:
      return Variant(in_kind<DataType::Int64>, p.ConsumeIntegral<int64_t>());
    case DataType::Float64:
      return Variant(in_kind<DataType::Float64>,
                     std::bit_cast<double>(p.ConsumeIntegral<uint64_t>()));
    case DataType::Decimal:
      return Variant(in_kind<DataType::Decimal>, kvt::D64{p.ConsumeIntegral<uint64_t>()});
    case DataType::String:
      return Variant(in_kind<DataType::String>, text(p, 40));
    case DataType::Bool:
      return Variant(in_kind<DataType::Bool>, p.ConsumeBool());
    case DataType::Int32:
      return Variant(in_kind<DataType::Int32>, p.ConsumeIntegral<int32_t>());
    case DataType::UInt32:
      return Variant(in_kind<DataType::UInt32>, p.ConsumeIntegral<uint32_t>());
    case DataType::UInt64:
      return Variant(in_kind<DataType::UInt64>, p.ConsumeIntegral<uint64_t>());
    case DataType::Float32:
      return Variant(in_kind<DataType::Float32>,
                     std::bit_cast<float>(p.ConsumeIntegral<uint32_t>()));
    case DataType::Bytes:
      break;
  }
  std::string b = p.ConsumeRandomLengthString(40);
  return Variant(in_kind<DataType::Bytes>, std::vector<uint8_t>(b.begin(), b.end()));
}

std::optional<kvt::MetaMap> meta(FuzzedDataProvider& p) {
  if (!p.ConsumeBool()) return std::nullopt;
  kvt::MetaMap m;
  for (int n = p.ConsumeIntegralInRange<int>(0, 6); n > 0; --n) m.insert(text(p, 8), variant(p));
  return m;
}

template <DataType K, class F>
Series column(size_t n, F next) {
  Series s(in_kind<K>);
  auto& v = get_kind<K>(s);
  for (size_t i = 0; i < n; ++i) v.push_back(next());
  return s;
}

Series series(FuzzedDataProvider& p, int kind) {
  const size_t n = p.ConsumeIntegralInRange<size_t>(0, 64);
  switch (static_cast<DataType>(kind)) {
    case DataType::Null:
      return Series(in_kind<DataType::Null>);
    case DataType::DateTime: {
      // Mostly steps on a grid with now and then an arbitrary value, so units other than 1 occur.
      const auto unit = static_cast<uint64_t>(p.ConsumeIntegralInRange<int64_t>(1, 1 << 20)) *
                        p.PickValueInArray<uint64_t>({1, 1000, 1000000});
      uint64_t x = p.ConsumeIntegral<uint64_t>();
      return column<DataType::DateTime>(n, [&] {
        x = p.ConsumeBool() ? x + unit * p.ConsumeIntegralInRange<uint64_t>(0, 3)
                            : p.ConsumeIntegral<uint64_t>();
        return static_cast<int64_t>(x);
      });
    }
    case DataType::Int64:
      return column<DataType::Int64>(n, [&] { return p.ConsumeIntegral<int64_t>(); });
    case DataType::Float64:
      return column<DataType::Float64>(
          n, [&] { return std::bit_cast<double>(p.ConsumeIntegral<uint64_t>()); });
    case DataType::Decimal: {
      const auto scale = p.ConsumeIntegralInRange<uint32_t>(0, 15);
      return column<DataType::Decimal>(n, [&] {
        const uint64_t mag = p.ConsumeIntegralInRange<uint64_t>(0, kvt::kD64MagnitudeLimit - 1);
        return kvt::D64::from_parts(mag, scale, mag != 0 && p.ConsumeBool());
      });
    }
    case DataType::String: {
      Series s(in_kind<DataType::String>);
      for (size_t i = 0; i < n; ++i) get_kind<DataType::String>(s).push_back(text(p, 24));
      return s;
    }
    case DataType::Bool:
      return column<DataType::Bool>(n, [&] { return static_cast<uint8_t>(p.ConsumeBool()); });
    case DataType::Int32:
      return column<DataType::Int32>(n, [&] { return p.ConsumeIntegral<int32_t>(); });
    case DataType::UInt32:
      return column<DataType::UInt32>(n, [&] { return p.ConsumeIntegral<uint32_t>(); });
    case DataType::UInt64:
      return column<DataType::UInt64>(n, [&] { return p.ConsumeIntegral<uint64_t>(); });
    case DataType::Float32:
      return column<DataType::Float32>(
          n, [&] { return std::bit_cast<float>(p.ConsumeIntegral<uint32_t>()); });
    case DataType::Bytes:
      break;
  }
  Series s(in_kind<DataType::Bytes>);
  for (size_t i = 0; i < n; ++i) {
    get_kind<DataType::Bytes>(s).push_back(p.ConsumeRandomLengthString(24));
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider p(data, size);
  kvt::Table t;
  t.format_word = p.ConsumeIntegral<uint32_t>();
  for (int n = p.ConsumeIntegralInRange<int>(0, 12); n > 0; --n) {
    kvt::Field f;
    f.name = text(p, 12);
    const int kind = p.ConsumeIntegralInRange<int>(0, 11);
    f.data_type = static_cast<DataType>(p.ConsumeIntegralInRange<int>(0, 11));
    f.meta = meta(p);
    f.series = series(p, kind);
    t.fields.push_back(std::move(f));
  }
  t.meta = meta(p);
  t.flag = p.ConsumeBool();

  const kvt::TableRef ref = kvt::as_ref(t);
  auto plan = kvt::plan_table_ref_frame(ref);
  if (!plan) __builtin_trap();
  std::vector<uint8_t> frame(plan->frame_size());
  kvt::write_table_ref_frame(ref, *plan, frame);
  auto back = kvt::unpack_table_frame(frame, false);
  if (!back) __builtin_trap();
  if (!kvt::testing::diff_tables(t, *back).empty()) __builtin_trap();
  return 0;
}
