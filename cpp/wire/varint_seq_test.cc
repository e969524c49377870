#include "wire/varint_seq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "wire/encode.h"
#include "wire/sink.h"

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;

template <class T>
using SeqFn = Decoded<void> (*)(Reader&, uint64_t, Vec<T>&);

template <class T>
struct Kernel {
  const char* name;
  SeqFn<T> read;
};

// Every bulk kernel built for one element type, each checked against reading one by one.
template <class T>
std::vector<Kernel<T>> kernels(SeqFn<T> scalar_kernel, SeqFn<T> sse2_kernel, SeqFn<T> avx2_kernel) {
  std::vector<Kernel<T>> k = {{"scalar", scalar_kernel}};
  if (sse2_kernel) k.push_back({"sse2", sse2_kernel});
  if (avx2_kernel && cpu_kernel_level() >= KernelLevel::Avx2) k.push_back({"avx2", avx2_kernel});
  return k;
}
#if KVT_SIMD_SSE2
#define SSE2_KERNEL(fn) &sse2::fn
#else
#define SSE2_KERNEL(fn) nullptr
#endif
#if KVT_SIMD_AVX2
#define AVX2_KERNEL(fn) &avx2::fn
#else
#define AVX2_KERNEL(fn) nullptr
#endif
#define VECTOR_KERNEL(fn) SSE2_KERNEL(fn), AVX2_KERNEL(fn)

// One element type: its bulk kernels, the element-by-element read through Reader, and how a
// wire code (the unsigned varint value) maps to an element.
struct I64Seq {
  using T = int64_t;
  static constexpr bool kWide = true;
  static inline const std::vector<Kernel<T>> kKernels =
      kernels<T>(&scalar::read_i64_seq, VECTOR_KERNEL(read_i64_seq));
  static Decoded<T> read_one(Reader& r) { return r.read_i64(); }
  static T from_code(uint64_t z) { return unzigzag64(z); }
};
struct I32Seq {
  using T = int32_t;
  static constexpr bool kWide = false;
  static inline const std::vector<Kernel<T>> kKernels =
      kernels<T>(&scalar::read_i32_seq, VECTOR_KERNEL(read_i32_seq));
  static Decoded<T> read_one(Reader& r) { return r.read_i32(); }
  static T from_code(uint64_t z) { return unzigzag32(static_cast<uint32_t>(z)); }
};
struct U32Seq {
  using T = uint32_t;
  static constexpr bool kWide = false;
  static inline const std::vector<Kernel<T>> kKernels =
      kernels<T>(&scalar::read_u32_seq, VECTOR_KERNEL(read_u32_seq));
  static Decoded<T> read_one(Reader& r) { return r.read_u32(); }
  static T from_code(uint64_t z) { return static_cast<uint32_t>(z); }
};
struct U64Seq {
  using T = uint64_t;
  static constexpr bool kWide = true;
  static inline const std::vector<Kernel<T>> kKernels =
      kernels<T>(&scalar::read_u64_seq, VECTOR_KERNEL(read_u64_seq));
  static Decoded<T> read_one(Reader& r) { return r.read_u64(); }
  static T from_code(uint64_t z) { return z; }
};

// The process's readers are those of its kernel level.
TEST(SeqReaders, TheProcessLevelChoosesTheReaders) {
  const SeqReaders& mine = seq_readers();
  const SeqReaders& level = seq_readers(kernel_level());
  EXPECT_EQ(mine.i64, level.i64);
  EXPECT_EQ(mine.u32, level.u32);
#if KVT_SIMD_AVX2
  if (cpu_kernel_level() >= KernelLevel::Avx2) {
    EXPECT_EQ(seq_readers(KernelLevel::Avx512).i64, &avx2::read_i64_seq);
  }
#endif
  EXPECT_NE(seq_readers(KernelLevel::Scalar).i64, nullptr);
}

// The reference: `count` elements read one at a time, appended to `out`.
template <class S>
Decoded<void> read_one_by_one(Reader& r, uint64_t count, Vec<typename S::T>& out) {
  for (uint64_t i = 0; i < count; ++i) {
    auto v = S::read_one(r);
    if (!v) return std::unexpected(v.error());
    out.push_back(*v);
  }
  return {};
}

void put_varint(Bytes& b, uint64_t v) {
  uint8_t buf[9];
  b.insert(b.end(), buf, buf + encode_varint(v, buf));
}

// A wire code of the given width class: 0 to 3 for 1, 3, 5 and 9 bytes.
uint64_t random_code_of_width(std::mt19937_64& rng, unsigned width_class) {
  switch (width_class) {
    case 0:
      return rng() % 251;
    case 1:
      return 251 + rng() % (65536 - 251);
    case 2:
      return 65536 + rng() % (0x100000000 - 65536);
    default:
      return 0x100000000 + rng() % (UINT64_MAX - 0x100000000);
  }
}

// A wire code of one of the four widths (three for 32-bit types).
unsigned random_width(std::mt19937_64& rng, bool wide) {
  return static_cast<unsigned>(rng() % (wide ? 4 : 3));
}

template <class S>
class VarintSeq : public ::testing::Test {
 protected:
  using T = typename S::T;

  // Decodes `count` elements of `bytes` with every bulk kernel and one by one, each appending
  // to a vector that already holds `prefill` elements, and requires identical results, errors
  // and positions. The bytes start `offset` bytes into an allocation that ends with them, so
  // that a sanitized build catches any read past the end.
  void expect_same(const Bytes& bytes, uint64_t count, size_t prefill = 2, size_t offset = 0) {
    Bytes at(offset + bytes.size());
    std::copy(bytes.begin(), bytes.end(), at.begin() + static_cast<long>(offset));
    const uint8_t* const data = at.data() + offset;
    const T initial[] = {T(7), T(9), T(11), T(13)};
    Vec<T> ref_out(initial, initial + prefill);
    Reader rr(data, bytes.size());
    auto s = read_one_by_one<S>(rr, count, ref_out);
    for (const Kernel<T>& kernel : S::kKernels) {
      Vec<T> got_out(initial, initial + prefill);
      Reader fr(data, bytes.size());
      auto f = kernel.read(fr, count, got_out);
      ASSERT_EQ(f.has_value(), s.has_value()) << kernel.name << ", count " << count;
      if (!f) {
        ASSERT_EQ(f.error(), s.error()) << kernel.name << ": " << f.error().to_string();
      }
      ASSERT_EQ(fr.position(), rr.position()) << kernel.name;
      ASSERT_EQ(std::vector<T>(got_out.begin(), got_out.end()),
                std::vector<T>(ref_out.begin(), ref_out.end()))
          << kernel.name;
      ASSERT_LE(got_out.capacity(),
                std::max<size_t>(prefill, prefill + std::min<uint64_t>(count, bytes.size())))
          << kernel.name;
    }
    ++compared_;
    if (s) ++succeeded_;
  }

  // A stream of `n` elements: runs of single-byte codes of random length alternating with runs
  // of wider codes, of one width or of mixed widths, occasionally in a longer form than needed.
  Bytes random_stream(std::mt19937_64& rng, size_t n, std::vector<T>* values) {
    Bytes b;
    const size_t max_run = (rng() & 1) ? 4 : 200;
    const size_t max_wide_run = (rng() & 1) ? 1 : 40;
    while (values->size() < n) {
      size_t run = rng() % (max_run + 1);
      for (size_t i = 0; i < run && values->size() < n; ++i) {
        uint64_t z = rng() % 251;
        b.push_back(static_cast<uint8_t>(z));
        values->push_back(S::from_code(z));
      }
      const size_t wide_run = 1 + rng() % max_wide_run;
      const bool one_width = rng() & 1;
      const unsigned width = random_width(rng, S::kWide);
      for (size_t i = 0; i < wide_run && values->size() < n; ++i) {
        uint64_t z = random_code_of_width(rng, one_width ? width : random_width(rng, S::kWide));
        if (z < 65536 && rng() % 8 == 0) {  // a longer form
          b.push_back(0xFC);
          auto w = static_cast<uint32_t>(z);
          b.insert(b.end(), reinterpret_cast<uint8_t*>(&w), reinterpret_cast<uint8_t*>(&w) + 4);
        } else {
          put_varint(b, z);
        }
        values->push_back(S::from_code(z));
      }
    }
    return b;
  }

  size_t compared_ = 0, succeeded_ = 0;
};

using SeqTypes = ::testing::Types<I64Seq, I32Seq, U32Seq, U64Seq>;
TYPED_TEST_SUITE(VarintSeq, SeqTypes);

TYPED_TEST(VarintSeq, DecodesKnownBytes) {
  using T = typename TypeParam::T;
  Bytes b = {0x00, 0x01, 0x02, 0x03, 0xFA, 0xFB, 0x2C, 0x01, 0x05, 0xAA};
  for (const Kernel<T>& kernel : TypeParam::kKernels) {
    SCOPED_TRACE(kernel.name);
    Reader r(b.data(), b.size());
    Vec<T> out;
    ASSERT_TRUE(kernel.read(r, 7, out));
    const uint64_t codes[] = {0, 1, 2, 3, 250, 300, 5};
    ASSERT_EQ(out.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], TypeParam::from_code(codes[i]));
    EXPECT_EQ(r.remaining(), 1u);
  }
}

TYPED_TEST(VarintSeq, RandomStreamsRoundTrip) {
  using T = typename TypeParam::T;
  std::mt19937_64 rng(21);
  for (int i = 0; i < 300; ++i) {
    std::vector<T> values;
    Bytes b = this->random_stream(rng, rng() % 2000, &values);
    b.push_back(0x2A);  // trailing byte left unread
    for (const Kernel<T>& kernel : TypeParam::kKernels) {
      Vec<T> out;
      Reader r(b.data(), b.size());
      ASSERT_TRUE(kernel.read(r, values.size(), out)) << kernel.name;
      ASSERT_EQ(std::vector<T>(out.begin(), out.end()), values) << kernel.name;
      ASSERT_EQ(r.remaining(), 1u) << kernel.name;
    }
    this->expect_same(b, values.size());
  }
}

TYPED_TEST(VarintSeq, TruncatedAndMiscountedStreams) {
  std::mt19937_64 rng(22);
  for (int i = 0; i < 3000; ++i) {
    std::vector<typename TypeParam::T> values;
    Bytes b = this->random_stream(rng, rng() % 300, &values);
    if (rng() & 1) b.resize(rng() % (b.size() + 1));
    uint64_t count = values.size();
    switch (rng() % 4) {
      case 0:
        count += rng() % 40;
        break;
      case 1:
        count = rng() % (count + 1);
        break;
      case 2:
        count = UINT64_MAX - rng() % 3;
        break;
      default:
        break;
    }
    this->expect_same(b, count);
  }
  EXPECT_GT(this->succeeded_, 500u);
  EXPECT_LT(this->succeeded_, this->compared_);
}

TYPED_TEST(VarintSeq, RandomGarbage) {
  std::mt19937_64 rng(23);
  const uint8_t markers[] = {0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
  for (int i = 0; i < 3000; ++i) {
    Bytes b(rng() % 200);
    const unsigned marker_rate = 1 + static_cast<unsigned>(rng() % 60);
    for (auto& x : b) {
      x = rng() % marker_rate == 0 ? markers[rng() % 5] : static_cast<uint8_t>(rng() % 251);
    }
    // Runs of one marker at a fixed stride, broken by a random byte somewhere.
    if (rng() % 3 == 0 && !b.empty()) {
      const uint8_t marker = markers[rng() % 3];
      const size_t stride = marker == 0xFB ? 3 : marker == 0xFC ? 5 : 9;
      for (size_t i = 0; i < b.size(); i += stride) b[i] = marker;
      b[rng() % b.size()] = static_cast<uint8_t>(rng());
    }
    this->expect_same(b, (rng() & 1) ? b.size() : rng() % (b.size() + 2));
  }
}

// A marker, or the end of the input, right after a run of every length, so that it lands at
// every offset of the scalar probe and the 16-byte blocks.
TYPED_TEST(VarintSeq, RunEndsAtEveryOffset) {
  const Bytes tails[] = {{},           {0xFB, 0x00, 0x01},
                         {0xFB, 0x00}, {0xFC, 1, 2, 3, 4},
                         {0xFD},       {0xFD, 1, 2, 3, 4, 5, 6, 7, 8},
                         {0xFE},       {0xFF}};
  for (size_t run = 0; run < 70; ++run) {
    for (const Bytes& tail : tails) {
      Bytes b;
      for (size_t i = 0; i < run; ++i) b.push_back(static_cast<uint8_t>(250 - i % 7));
      b.insert(b.end(), tail.begin(), tail.end());
      for (size_t i = 0; i < 20; ++i) b.push_back(static_cast<uint8_t>(i));
      for (uint64_t count : {uint64_t{run}, uint64_t{run + 1}, uint64_t{run + 5},
                             uint64_t{run + 21}, uint64_t{run + 22}, uint64_t{1} << 40}) {
        this->expect_same(b, count);
      }
    }
  }
}

// Input that ends inside a wide element, after single-byte elements and after runs of wide
// elements of the same width, at every byte of the last two elements.
TYPED_TEST(VarintSeq, EndsInsideTheLastElements) {
  const std::vector<uint64_t> codes = {300, 70000, 0x123456789A};
  for (uint64_t code : codes) {
    if (!TypeParam::kWide && code > UINT32_MAX) continue;
    for (size_t small = 0; small < 20; ++small) {
      for (size_t wide : {1, 2, 9, 10, 17}) {
        Bytes b(small, 0x10);
        for (size_t i = 0; i < wide; ++i) put_varint(b, code + i);
        const size_t full = b.size(), elems = small + wide;
        for (size_t cut = full - std::min(full, 2 * varint_size(code)); cut <= full; ++cut) {
          Bytes t(b.begin(), b.begin() + static_cast<long>(cut));
          this->expect_same(t, elems);
          this->expect_same(t, elems + 1);
        }
      }
    }
  }
}

// The kernels on the same random bytes, read at every offset from 0 to 15 into their
// allocation and appended after 0 to 3 elements: long runs of single-byte elements broken by
// wide elements, truncated ones and bytes that fail (FD for 32-bit types, FE, FF), with counts
// below, at and beyond what the bytes hold.
TYPED_TEST(VarintSeq, KernelsAgreeAtEveryAlignment) {
  std::mt19937_64 rng(24);
  for (int i = 0; i < 4000; ++i) {
    Bytes b;
    const size_t n = rng() % 400;
    const unsigned max_run = (rng() & 1) ? 12 : 120;
    while (b.size() < n) {
      for (size_t j = rng() % (max_run + 1); j > 0; --j) {
        b.push_back(static_cast<uint8_t>(rng() % 251));
      }
      const unsigned kind = rng() % 8;
      if (kind < 5) {
        put_varint(b, random_code_of_width(rng, random_width(rng, TypeParam::kWide)));
      } else if (kind < 7) {
        b.push_back(static_cast<uint8_t>(0xFB + rng() % 5));  // any marker, maybe truncated
      } else {
        b.push_back(static_cast<uint8_t>(rng()));
      }
    }
    if (rng() & 1) b.resize(n);
    const uint64_t count = (rng() % 4 == 0) ? UINT64_MAX : rng() % (b.size() + 4);
    this->expect_same(b, count, static_cast<size_t>(i % 4), static_cast<size_t>(i % 16));
  }
  EXPECT_GT(this->succeeded_, 400u);
  EXPECT_LT(this->succeeded_, this->compared_);
}

// Streams mostly of one width (three or five bytes, as decimal steps and quantities are), broken
// now and then by an element of another width, a longer form or a byte that fails, at every
// alignment: the kernels that take whole windows of one width agree with one-by-one reading.
TYPED_TEST(VarintSeq, MostlyOneWidthStreams) {
  std::mt19937_64 rng(25);
  for (int i = 0; i < 1500; ++i) {
    const unsigned width_class = (i & 1) ? 1 : 2;  // three or five bytes
    const unsigned break_one_in = 4 + static_cast<unsigned>(rng() % 60);
    Bytes b;
    const size_t n = rng() % 600;
    while (b.size() < n) {
      const unsigned r = static_cast<unsigned>(rng() % break_one_in);
      if (r != 0) {
        put_varint(b, random_code_of_width(rng, width_class));
      } else if (rng() % 4 != 0) {
        put_varint(b, random_code_of_width(rng, random_width(rng, TypeParam::kWide)));
      } else {
        b.push_back(static_cast<uint8_t>(0xFB + rng() % 5));  // any marker, maybe failing
      }
    }
    const uint64_t count = (rng() % 4 == 0) ? UINT64_MAX : rng() % (b.size() / 3 + 4);
    this->expect_same(b, count, static_cast<size_t>(i % 4), static_cast<size_t>(i % 16));
  }
  EXPECT_GT(this->succeeded_, 400u);
}

TYPED_TEST(VarintSeq, HugeCountReservesOnlyWhatInputCanFill) {
  Bytes b = {1, 2, 3};
  for (const Kernel<typename TypeParam::T>& kernel : TypeParam::kKernels) {
    SCOPED_TRACE(kernel.name);
    Vec<typename TypeParam::T> out;
    Reader r(b.data(), b.size());
    auto res = kernel.read(r, uint64_t{1} << 62, out);
    ASSERT_FALSE(res);
    EXPECT_EQ(res.error().to_string(), "UnexpectedEnd { additional: 1 }");
    EXPECT_EQ(out.size(), 3u);
    EXPECT_LE(out.capacity(), 3u);
  }
}

TEST(VarintSeqErrors, ReportTheElementType) {
  Bytes b = {0x01, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0};
  Vec<int32_t> i32;
  Reader r(b.data(), b.size());
  EXPECT_EQ(read_i32_seq(r, 2, i32).error().to_string(),
            "InvalidIntegerType { expected: I32, found: I64 }");
  Vec<uint32_t> u32;
  Reader r2(b.data(), b.size());
  EXPECT_EQ(read_u32_seq(r2, 2, u32).error().to_string(),
            "InvalidIntegerType { expected: U32, found: U64 }");
  Bytes ff = {0x01, 0x02, 0xFF};
  Vec<int64_t> i64;
  Reader r3(ff.data(), ff.size());
  EXPECT_EQ(read_i64_seq(r3, 3, i64).error().to_string(),
            "InvalidIntegerType { expected: I64, found: Reserved }");
}

}  // namespace
}  // namespace kvt
