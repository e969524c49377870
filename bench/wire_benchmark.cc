// Varint encoding and bulk decoding of i64 sequences, 1M elements per run.
//
// Value sets: "small" zigzag codes all <= 250 (one byte each), "mixed" mostly small with a
// quarter of 3-, 5- and 9-byte values, "large" all 9-byte values. Decoding appends to a vector
// whose capacity is kept between iterations, so the numbers are the decoder's, not the page
// faults of a fresh allocation.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "model/vec.h"
#include "wire/encode.h"
#include "wire/reader.h"
#include "wire/sink.h"
#include "wire/utf8.h"
#include "wire/varint_seq.h"

namespace kvt {
namespace {

constexpr size_t kCount = 1 << 20;

enum Mix { kSmall, kMixed, kLarge };

std::vector<int64_t> make_values(Mix mix) {
  std::mt19937_64 rng(42);
  std::vector<int64_t> v(kCount);
  for (auto& x : v) {
    unsigned width = mix == kSmall ? 0 : mix == kLarge ? 3 : (rng() % 4 == 0 ? 1 + rng() % 3 : 0);
    uint64_t code = 0;
    switch (width) {
      case 0:
        code = rng() % 251;
        break;
      case 1:
        code = 251 + rng() % (65536 - 251);
        break;
      case 2:
        code = 65536 + rng() % (0x100000000 - 65536);
        break;
      default:
        code = 0x100000000 | rng();
        break;
    }
    x = unzigzag64(code);
  }
  return v;
}

std::vector<uint8_t> encode_all(const std::vector<int64_t>& v) {
  Sizer s;
  for (int64_t x : v) write_i64(s, x);
  std::vector<uint8_t> out(s.size());
  Writer w(out.data(), out.size());
  for (int64_t x : v) write_i64(w, x);
  return out;
}

void BM_Encode(benchmark::State& state) {
  const auto values = make_values(static_cast<Mix>(state.range(0)));
  std::vector<uint8_t> buf(values.size() * 9);
  size_t bytes = 0;
  for (auto _ : state) {
    Writer w(buf.data(), buf.size());
    for (int64_t x : values) write_i64(w, x);
    bytes = w.size();
    benchmark::DoNotOptimize(buf.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

void BM_Size(benchmark::State& state) {
  const auto values = make_values(static_cast<Mix>(state.range(0)));
  for (auto _ : state) {
    Sizer s;
    for (int64_t x : values) write_i64(s, x);
    benchmark::DoNotOptimize(s.size());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

template <Decoded<void> (*Decode)(Reader&, uint64_t, Vec<int64_t>&)>
void BM_Decode(benchmark::State& state) {
  const auto values = make_values(static_cast<Mix>(state.range(0)));
  const auto bytes = encode_all(values);
  Vec<int64_t> out;
  out.reserve(values.size());
  for (auto _ : state) {
    out.clear();
    Reader r(bytes.data(), bytes.size());
    auto res = Decode(r, values.size(), out);
    if (!res) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (!std::equal(out.begin(), out.end(), values.begin(), values.end())) {
    state.SkipWithError("decoded values differ");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

// UTF-8 validation of 1 MiB: all ASCII (arg 0), ASCII with one two-byte character in 64
// bytes (arg 1), and three-byte characters only (arg 2).
void BM_ValidateUtf8(benchmark::State& state) {
  std::vector<uint8_t> text;
  while (text.size() < (1u << 20)) {
    if (state.range(0) == 2) {
      text.insert(text.end(), {0xE4, 0xB8, 0xAD});
    } else if (state.range(0) == 1 && text.size() % 64 == 63) {
      text.insert(text.end(), {0xC3, 0xA9});
    } else {
      text.push_back(static_cast<uint8_t>('a' + text.size() % 26));
    }
  }
  for (auto _ : state) {
    auto err = validate_utf8(text.data(), text.size());
    if (err) state.SkipWithError("invalid");
    benchmark::DoNotOptimize(err);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void mix_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"mix"})->Arg(kSmall)->Arg(kMixed)->Arg(kLarge)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Encode)->Apply(mix_args);
BENCHMARK(BM_Size)->Apply(mix_args);
BENCHMARK(BM_Decode<read_i64_seq>)->Name("BM_DecodeBulk")->Apply(mix_args);
BENCHMARK(BM_Decode<scalar::read_i64_seq>)->Name("BM_DecodeScalar")->Apply(mix_args);
BENCHMARK(BM_ValidateUtf8)->ArgNames({"text"})->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kvt
