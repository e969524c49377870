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
  switch (p.ConsumeIntegralInRange<int>(0, 11)) {
    case 0:
      return Variant(std::in_place_index<0>);
    case 1:
      return Variant(std::in_place_index<1>, p.ConsumeIntegral<int64_t>());
    case 2:
      return Variant(std::in_place_index<2>, p.ConsumeIntegral<int64_t>());
    case 3:
      return Variant(std::in_place_index<3>, std::bit_cast<double>(p.ConsumeIntegral<uint64_t>()));
    case 4:
      return Variant(std::in_place_index<4>, kvt::D64{p.ConsumeIntegral<uint64_t>()});
    case 5:
      return Variant(std::in_place_index<5>, text(p, 40));
    case 6:
      return Variant(std::in_place_index<6>, p.ConsumeBool());
    case 7:
      return Variant(std::in_place_index<7>, p.ConsumeIntegral<int32_t>());
    case 8:
      return Variant(std::in_place_index<8>, p.ConsumeIntegral<uint32_t>());
    case 9:
      return Variant(std::in_place_index<9>, p.ConsumeIntegral<uint64_t>());
    case 10:
      return Variant(std::in_place_index<10>, std::bit_cast<float>(p.ConsumeIntegral<uint32_t>()));
    default: {
      std::string b = p.ConsumeRandomLengthString(40);
      return Variant(std::in_place_index<11>, std::vector<uint8_t>(b.begin(), b.end()));
    }
  }
}

std::optional<kvt::MetaMap> meta(FuzzedDataProvider& p) {
  if (!p.ConsumeBool()) return std::nullopt;
  kvt::MetaMap m;
  for (int n = p.ConsumeIntegralInRange<int>(0, 6); n > 0; --n) m.insert(text(p, 8), variant(p));
  return m;
}

template <size_t I, class F>
Series column(size_t n, F next) {
  Series s(std::in_place_index<I>);
  auto& v = std::get<I>(s);
  for (size_t i = 0; i < n; ++i) v.push_back(next());
  return s;
}

Series series(FuzzedDataProvider& p, int kind) {
  const size_t n = p.ConsumeIntegralInRange<size_t>(0, 64);
  switch (kind) {
    case 0:
      return Series(std::in_place_index<0>);
    case 1: {
      // Mostly steps on a grid with now and then an arbitrary value, so units other than 1 occur.
      const auto unit = static_cast<uint64_t>(p.ConsumeIntegralInRange<int64_t>(1, 1 << 20)) *
                        p.PickValueInArray<uint64_t>({1, 1000, 1000000});
      uint64_t x = p.ConsumeIntegral<uint64_t>();
      return column<1>(n, [&] {
        x = p.ConsumeBool() ? x + unit * p.ConsumeIntegralInRange<uint64_t>(0, 3)
                            : p.ConsumeIntegral<uint64_t>();
        return static_cast<int64_t>(x);
      });
    }
    case 2:
      return column<2>(n, [&] { return p.ConsumeIntegral<int64_t>(); });
    case 3:
      return column<3>(n, [&] { return std::bit_cast<double>(p.ConsumeIntegral<uint64_t>()); });
    case 4: {
      const auto scale = p.ConsumeIntegralInRange<uint32_t>(0, 15);
      return column<4>(n, [&] {
        const uint64_t mag = p.ConsumeIntegralInRange<uint64_t>(0, kvt::kD64MagnitudeLimit - 1);
        return kvt::D64::from_parts(mag, scale, mag != 0 && p.ConsumeBool());
      });
    }
    case 5: {
      Series s(std::in_place_index<5>);
      for (size_t i = 0; i < n; ++i) std::get<5>(s).push_back(text(p, 24));
      return s;
    }
    case 6:
      return column<6>(n, [&] { return static_cast<uint8_t>(p.ConsumeBool()); });
    case 7:
      return column<7>(n, [&] { return p.ConsumeIntegral<int32_t>(); });
    case 8:
      return column<8>(n, [&] { return p.ConsumeIntegral<uint32_t>(); });
    case 9:
      return column<9>(n, [&] { return p.ConsumeIntegral<uint64_t>(); });
    case 10:
      return column<10>(n, [&] { return std::bit_cast<float>(p.ConsumeIntegral<uint32_t>()); });
    default: {
      Series s(std::in_place_index<11>);
      for (size_t i = 0; i < n; ++i) std::get<11>(s).push_back(p.ConsumeRandomLengthString(24));
      return s;
    }
  }
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
    f.data_type = static_cast<kvt::DataType>(p.ConsumeIntegralInRange<int>(0, 11));
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
