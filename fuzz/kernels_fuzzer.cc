// Runs every kernel that has a vector and a scalar form (wire/simd.h) on the fuzz bytes through
// both, and traps on any difference: UTF-8 validation (verdict, valid_up_to, error_len), and each
// bulk varint reader (success, error and its text, reader position, elements appended). The
// varint readers are also held to reading one element at a time, and the UTF-8 verdict to the
// prefix it reports valid, so a build without vector kernels still checks the scalar ones. The
// decimal conversions (model/d64.h) and the datetime unit conversions run their twins of every
// level the CPU has on the bytes read as doubles, decimals and int64 values, against the scalar
// kernels. The bytes read as a text column in place (columns/string_column.h) give what the
// arena read gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "columns/datetime_column.h"
#include "columns/string_column.h"
#include "columns/varint_kernels.h"
#include "model/cpu.h"
#include "model/d64.h"
#include "model/vec.h"
#include "wire/reader.h"
#include "wire/utf8.h"
#include "wire/varint_seq.h"

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();
}

void check_utf8(const uint8_t* data, size_t n) {
  const auto s = kvt::scalar::validate_utf8(data, n);
#if KVT_SIMD_SSE2
  require(kvt::sse2::validate_utf8(data, n) == s);
#endif
#if KVT_SIMD_AVX2
  if (kvt::cpu_kernel_level() >= kvt::KernelLevel::Avx2) {
    require(kvt::avx2::validate_utf8(data, n) == s);
    // From every start in the first 64 bytes, so that the ASCII runs end at every place of the
    // 32-byte steps and of the windows that end with the input.
    for (size_t at = 1; at < std::min<size_t>(n, 64); ++at) {
      require(kvt::avx2::validate_utf8(data + at, n - at) ==
              kvt::scalar::validate_utf8(data + at, n - at));
    }
  }
#endif
  require(kvt::validate_utf8(data, n) == s);
  if (!s) return;
  // The bytes before the error are valid, and the error is the first thing in what follows.
  require(s->valid_up_to < n);
  require(!kvt::scalar::validate_utf8(data, s->valid_up_to));
  const auto rest = kvt::scalar::validate_utf8(data + s->valid_up_to, n - s->valid_up_to);
  require(rest && rest->valid_up_to == 0 && rest->error_len == s->error_len);
}

template <class T>
using SeqFn = kvt::Decoded<void> (*)(kvt::Reader&, uint64_t, kvt::Vec<T>&);

template <class T>
struct Outcome {
  bool ok = false;
  kvt::DecodeError error;
  std::string text;     // error.to_string()
  size_t consumed = 0;  // reader position
  std::vector<T> out;

  bool operator==(const Outcome&) const = default;
};

// `prefill` elements, in a vector with no room for more.
template <class T>
kvt::Vec<T> prefilled(size_t prefill) {
  kvt::Vec<T> out(prefill);
  for (size_t i = 0; i < prefill; ++i) out[i] = static_cast<T>(i + 7);
  return out;
}

template <class T>
Outcome<T> outcome(const kvt::Decoded<void>& res, const kvt::Reader& r, const uint8_t* data,
                   const kvt::Vec<T>& out) {
  Outcome<T> o;
  o.ok = res.has_value();
  if (!res) {
    o.error = res.error();
    o.text = res.error().to_string();
  }
  o.consumed = static_cast<size_t>(r.position() - data);
  o.out.assign(out.begin(), out.end());
  return o;
}

template <class T>
Outcome<T> bulk(SeqFn<T> read, const uint8_t* data, size_t n, uint64_t count, size_t prefill) {
  kvt::Vec<T> out = prefilled<T>(prefill);
  kvt::Reader r(data, n);
  const auto res = read(r, count, out);
  // Never more room than the bytes could fill (every element takes one byte at least).
  require(out.capacity() <= std::max<size_t>(prefill, prefill + std::min<uint64_t>(count, n)));
  return outcome(res, r, data, out);
}

template <class T, kvt::Decoded<T> (kvt::Reader::*ReadOne)()>
Outcome<T> one_by_one(const uint8_t* data, size_t n, uint64_t count, size_t prefill) {
  kvt::Vec<T> out = prefilled<T>(prefill);
  kvt::Reader r(data, n);
  kvt::Decoded<void> res;
  for (uint64_t i = 0; i < count; ++i) {
    auto v = (r.*ReadOne)();
    if (!v) {
      res = std::unexpected(v.error());
      break;
    }
    out.push_back(*v);
  }
  return outcome(res, r, data, out);
}

// The portable kernel and the readers of every level this machine runs against one by one.
template <class T, kvt::Decoded<T> (kvt::Reader::*ReadOne)()>
void check_seq(SeqFn<T> scalar, SeqFn<T> kvt::SeqReaders::*reader, const uint8_t* data, size_t n,
               uint64_t count, size_t prefill) {
  const Outcome<T> want = one_by_one<T, ReadOne>(data, n, count, prefill);
  require(bulk(scalar, data, n, count, prefill) == want);
  for (auto level : {kvt::KernelLevel::Scalar, kvt::KernelLevel::Avx2, kvt::KernelLevel::Avx512}) {
    if (level > kvt::cpu_kernel_level()) break;
    require(bulk(kvt::seq_readers(level).*reader, data, n, count, prefill) == want);
  }
}

#define KERNELS(fn, member) &kvt::scalar::fn, &kvt::SeqReaders::member

}  // namespace

// The decimal conversions' twins of every level this machine runs give the scalar kernels'
// bits on the input read as doubles and as decimals. Byte 0 picks the scale.
void check_decimals(const uint8_t* data, size_t size) {
#if KVT_SIMD_AVX2
  if (size == 0) return;
  const size_t scale = data[0] & 15;
  const size_t n = (size - 1) / 8;
  std::vector<double> x(n);
  std::vector<kvt::D64> d(n);
  if (n != 0) {
    std::memcpy(x.data(), data + 1, n * 8);
    std::memcpy(d.data(), data + 1, n * 8);
  }
  double power = 1;  // 10^scale, exact
  for (size_t i = 0; i < scale; ++i) power *= 10;
  std::vector<kvt::D64> want(n + 8);
  std::vector<double> back_want(n + 8);
  kvt::scalar::scaled_to_d64(x.data(), n, power, scale << 4, want.data());
  kvt::scalar::d64_to_f64(d.data(), n, back_want.data());
  struct Twins {
    kvt::KernelLevel level;
    void (*to_d64)(const double*, size_t, double, uint64_t, kvt::D64*);
    void (*to_f64)(const kvt::D64*, size_t, double*);
  };
  const Twins twins[] = {
      {kvt::KernelLevel::Avx2, kvt::avx2::scaled_to_d64, kvt::avx2::d64_to_f64},
      {kvt::KernelLevel::Avx512, kvt::avx512::scaled_to_d64, kvt::avx512::d64_to_f64},
  };
  for (const Twins& k : twins) {
    if (k.level > kvt::cpu_kernel_level()) continue;
    std::vector<kvt::D64> got(n + 8);
    k.to_d64(x.data(), n, power, scale << 4, got.data());
    for (size_t i = 0; i < n + 8; ++i) require(got[i].bits == want[i].bits);
    std::vector<double> back_got(n + 8);
    k.to_f64(d.data(), n, back_got.data());
    require(std::memcmp(back_want.data(), back_got.data(), (n + 8) * 8) == 0);
  }
#else
  (void)data;
  (void)size;
#endif
}

// Byte 0 picks a unit; the rest are int64 values: the datetime conversions' twins of every level
// this machine runs give the scalar results, and so do the quotient sizes of the varint kernels
// (the values and their running sums as columns).
void check_datetimes(const uint8_t* data, size_t size) {
#if KVT_SIMD_AVX2
  if (size == 0) return;
  const size_t n = (size - 1) / 8;
  std::vector<int64_t> v(n);
  if (n != 0) std::memcpy(v.data(), data + 1, n * 8);
  struct Twins {
    kvt::KernelLevel level;
    void (*narrow)(const int64_t*, int64_t*, size_t);
    bool (*widen)(const int64_t*, int64_t*, size_t, int64_t);
  };
  const Twins twins[] = {
      {kvt::KernelLevel::Avx2, kvt::avx2::narrow_datetime_ns, kvt::avx2::widen_datetime},
      {kvt::KernelLevel::Avx512, kvt::avx512::narrow_datetime_ns, kvt::avx512::widen_datetime},
  };
  for (const Twins& k : twins) {
    if (k.level > kvt::cpu_kernel_level()) continue;
    for (int64_t factor : {int64_t{1000}, int64_t{1000000}}) {
      std::vector<int64_t> want(n + 8), got(n + 8);
      require(kvt::scalar::widen_datetime(v.data(), want.data(), n, factor) ==
              k.widen(v.data(), got.data(), n, factor));
      require(want == got);
    }
    std::vector<int64_t> want(n + 8), got(n + 8);
    kvt::scalar::narrow_datetime_ns(v.data(), want.data(), n);
    k.narrow(v.data(), got.data(), n);
    require(want == got);
  }
  const int64_t units[] = {1, -1, 1000, 1000000, -3, INT64_MIN, int64_t{data[0]} + 1};
  std::vector<int64_t> sums(n);
  uint64_t acc = 0;
  for (size_t i = 0; i < n; ++i)
    sums[i] = static_cast<int64_t>(acc += static_cast<uint64_t>(v[i]) % 4096);
  for (const int64_t unit : units) {
    const kvt::ExactDivider div(unit);
    std::vector<int64_t> scaled(n);
    for (size_t i = 0; i < n; ++i) {
      scaled[i] =
          static_cast<int64_t>(static_cast<uint64_t>(sums[i]) * static_cast<uint64_t>(unit));
    }
    for (auto level : {kvt::KernelLevel::Avx2, kvt::KernelLevel::Avx512}) {
      if (level > kvt::cpu_kernel_level()) break;
      const kvt::VarintKernels& k = kvt::varint_kernels(level);
      for (const auto* col : {&v, &sums, &scaled}) {
        require(kvt::scalar::quotient_size(col->data(), n, div) ==
                k.quotient_size(col->data(), n, div));
      }
    }
  }
#else
  (void)data;
  (void)size;
#endif
}

// The input's bytes as int64 (and int32) column elements, and as D64 bits: the varint stream
// kernels of every level store the bytes of one varint at a time, and nothing past them; the
// sizers give their count. Datetime quotient sizes by a unit from byte 0 agree with the scalar
// kernel's (0 when a division is not exact).
void check_varint_writers(const uint8_t* data, size_t size) {
  const size_t n = size / 8;
  std::vector<int64_t> v(n);
  if (n != 0) std::memcpy(v.data(), data, n * 8);
  std::vector<uint8_t> want(9 * (2 * n + 1)), got(want.size() + 64);
  const auto* halves = reinterpret_cast<const int32_t*>(v.data());
  std::vector<kvt::D64> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = kvt::D64{static_cast<uint64_t>(v[i])};
  const int64_t unit = size == 0 || data[0] == 128 ? 1 : int64_t{data[0]} - 128;
  const kvt::ExactDivider div(unit);
  for (auto level : {kvt::KernelLevel::Scalar, kvt::KernelLevel::Avx2, kvt::KernelLevel::Avx512}) {
    if (level > kvt::cpu_kernel_level()) break;
    const kvt::VarintKernels& k = kvt::varint_kernels(level);
    auto check = [&](size_t count, auto value_of, auto kernel, size_t sized) {
      size_t w = 0;
      for (size_t i = 0; i < count; ++i) w += kvt::encode_varint(value_of(i), want.data() + w);
      std::memset(got.data(), 0xAA, got.size());
      require(kernel(got.data()) == w);
      require(std::memcmp(got.data(), want.data(), w) == 0);
      for (size_t i = w; i < got.size(); ++i) require(got[i] == 0xAA);
      require(sized == w);
    };
    check(
        n, [&](size_t i) { return kvt::zigzag64(v[i]); },
        [&](uint8_t* out) { return k.i64.write(v.data(), 0, n, out); }, k.i64.size(v.data(), n));
    check(
        2 * n, [&](size_t i) { return uint64_t{kvt::zigzag32(halves[i])}; },
        [&](uint8_t* out) { return k.i32.write(halves, 0, 2 * n, out); },
        k.i32.size(halves, 2 * n));
    check(
        n,
        [&](size_t i) {
          const auto prev = i == 0 ? uint64_t{0} : static_cast<uint64_t>(d[i - 1].mantissa());
          return kvt::zigzag64(static_cast<int64_t>(static_cast<uint64_t>(d[i].mantissa()) - prev));
        },
        [&](uint8_t* out) { return k.write_mantissa_deltas(d.data(), 0, n, out); },
        k.mantissa_delta_size(d.data(), n));
    require(k.quotient_size(v.data(), n, div) == kvt::scalar::quotient_size(v.data(), n, div));
  }
}

// Result, error text, reader position and elements of the in-place read against the arena read.
void check_text_in_place(const uint8_t* data, size_t n) {
  for (bool validate : {true, false}) {
    kvt::Reader a(data, n);
    kvt::Reader b(data, n);
    const auto elements = validate ? kvt::Elements::Utf8 : kvt::Elements::AnyBytes;
    auto arena = kvt::decode_strings_column(a, elements, kvt::Placement::Copied);
    auto in_place = kvt::decode_strings_column(b, elements, kvt::Placement::InPlace);
    require(arena.has_value() == in_place.has_value());
    if (!arena) {
      require(arena.error().to_string() == in_place.error().to_string());
      continue;
    }
    require(a.remaining() == b.remaining() && arena->size() == in_place->size());
    require(arena->byte_count() == in_place->byte_count());
    const kvt::InFrameText* t = in_place->in_frame();
    if (t == nullptr) continue;
    size_t i = 0;
    kvt::for_each_in_frame(*t, [&](std::string_view s, const kvt::FrameKey&) {
      require((*arena)[i++] == s);
      return true;
    });
    require(i == arena->size());
  }
}

// Byte 0 sets how many elements precede the decoded ones and a count below the input length;
// the rest is the encoded sequence, read with that count, its own length and no limit.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_varint_writers(data, size);
  check_utf8(data, size);
  check_text_in_place(data, size);
  check_decimals(data, size);
  check_datetimes(data, size);
  if (size == 0) return 0;
  const size_t prefill = data[0] & 3;
  data += 1;
  const size_t n = size - 1;
  const uint64_t some = static_cast<uint64_t>(data[-1] >> 2) % (n + 1);
  for (uint64_t count : {some, uint64_t{n}, UINT64_MAX}) {
    check_seq<int64_t, &kvt::Reader::read_i64>(KERNELS(read_i64_seq, i64), data, n, count, prefill);
    check_seq<int32_t, &kvt::Reader::read_i32>(KERNELS(read_i32_seq, i32), data, n, count, prefill);
    check_seq<uint32_t, &kvt::Reader::read_u32>(KERNELS(read_u32_seq, u32), data, n, count,
                                                prefill);
    check_seq<uint64_t, &kvt::Reader::read_u64>(KERNELS(read_u64_seq, u64), data, n, count,
                                                prefill);
  }
  return 0;
}
