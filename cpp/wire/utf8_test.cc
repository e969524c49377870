#include "wire/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace kvt {
namespace {

using Bytes = std::vector<uint8_t>;

std::string show(const std::optional<Utf8Error>& e) {
  if (!e) return "valid";
  std::string s = "valid_up_to " + std::to_string(e->valid_up_to) + ", error_len ";
  return s + (e->error_len ? std::to_string(*e->error_len) : std::string("None"));
}

std::string check(const Bytes& b) { return show(validate_utf8(b.data(), b.size())); }

struct Kernel {
  const char* name;
  std::optional<Utf8Error> (*validate)(const uint8_t*, size_t);
};
// Every kernel built that this CPU runs, each checked against the reference below on the same
// bytes.
std::vector<Kernel> kernels() {
  std::vector<Kernel> k = {{"scalar", &scalar::validate_utf8}};
#if KVT_SIMD_SSE2
  k.push_back({"sse2", &sse2::validate_utf8});
#endif
#if KVT_SIMD_AVX2
  if (cpu_kernel_level() >= KernelLevel::Avx2) k.push_back({"avx2", &avx2::validate_utf8});
#endif
  return k;
}
const std::vector<Kernel> kKernels = kernels();

// validate_utf8 runs the kernel of the process's level: avx2 from that level up, else the
// build's baseline kernel.
TEST(Utf8Kernels, EachLevelRunsItsKernel) {
  for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Avx2, KernelLevel::Avx512}) {
    Utf8Kernel want = &scalar::validate_utf8;
#if KVT_SIMD_SSE2
    want = &sse2::validate_utf8;
#endif
#if KVT_SIMD_AVX2
    if (std::min(level, cpu_kernel_level()) >= KernelLevel::Avx2) want = &avx2::validate_utf8;
#endif
    EXPECT_EQ(utf8_kernel(level), want) << kernel_level_name(level);
  }
}

// Reference validator, one byte at a time, phrased through code point ranges: a prefix of a
// sequence is acceptable when some completion of it decodes to a scalar value that needs
// exactly that many bytes. The maximal subpart is the longest acceptable prefix.
bool prefix_can_complete(const uint8_t* s, size_t k, size_t width) {
  static const uint32_t kLeadBits[] = {0, 0, 0x1F, 0x0F, 0x07};
  static const uint32_t kMinScalar[] = {0, 0, 0x80, 0x800, 0x10000};
  uint32_t lo = s[0] & kLeadBits[width];
  for (size_t i = 1; i < k; ++i) {
    if ((s[i] & 0xC0) != 0x80) return false;
    lo = (lo << 6) | (s[i] & 0x3F);
  }
  const size_t free_bits = 6 * (width - k);
  lo <<= free_bits;
  const uint32_t hi = lo | ((1u << free_bits) - 1);
  auto overlaps = [&](uint32_t a, uint32_t b) { return a <= b && lo <= b && hi >= a; };
  return overlaps(kMinScalar[width], 0xD7FF) ||
         overlaps(std::max<uint32_t>(kMinScalar[width], 0xE000), 0x10FFFF);
}

std::optional<Utf8Error> reference_validate(const Bytes& b) {
  size_t i = 0;
  while (i < b.size()) {
    const uint8_t c = b[i];
    size_t width = c < 0x80             ? 1
                   : (c & 0xE0) == 0xC0 ? 2
                   : (c & 0xF0) == 0xE0 ? 3
                   : (c & 0xF8) == 0xF0 ? 4
                                        : 0;
    if (width == 1) {
      ++i;
      continue;
    }
    if (width == 0 || !prefix_can_complete(&b[i], 1, width)) return Utf8Error{i, 1};
    size_t k = 1;
    while (k < width && i + k < b.size() && prefix_can_complete(&b[i], k + 1, width)) ++k;
    if (k == width) {
      i += width;
      continue;
    }
    if (i + k == b.size()) return Utf8Error{i, std::nullopt};
    return Utf8Error{i, static_cast<uint8_t>(k)};
  }
  return std::nullopt;
}

struct Case {
  Bytes bytes;
  std::string expected;
};

class Utf8Table : public ::testing::TestWithParam<Case> {};

TEST_P(Utf8Table, MatchesExpectedAndReference) {
  const auto& c = GetParam();
  EXPECT_EQ(check(c.bytes), c.expected);
  EXPECT_EQ(show(reference_validate(c.bytes)), c.expected);
  for (const Kernel& k : kKernels) {
    EXPECT_EQ(show(k.validate(c.bytes.data(), c.bytes.size())), c.expected) << k.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, Utf8Table,
                         ::testing::Values(Case{{0x61, 0xFF}, "valid_up_to 1, error_len 1"},
                                           Case{{0x61, 0xE2, 0x82},
                                                "valid_up_to 1, error_len None"},
                                           Case{{0xED, 0xA0, 0x80}, "valid_up_to 0, error_len 1"}));

INSTANTIATE_TEST_SUITE_P(
    Tricky, Utf8Table,
    ::testing::Values(
        Case{{}, "valid"}, Case{{0x00, 0x7F}, "valid"},
        Case{{0xC2, 0x80, 0xDF, 0xBF}, "valid"},                          // U+0080, U+07FF
        Case{{0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}, "valid"},              // U+0800, U+FFFF
        Case{{0xED, 0x9F, 0xBF, 0xEE, 0x80, 0x80}, "valid"},              // around surrogates
        Case{{0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}, "valid"},  // U+10000, U+10FFFF
        Case{{0x80}, "valid_up_to 0, error_len 1"},                       // lone continuation
        Case{{0xC0, 0x80}, "valid_up_to 0, error_len 1"},                 // overlong NUL
        Case{{0xC1, 0xBF}, "valid_up_to 0, error_len 1"},                 // overlong
        Case{{0xE0, 0x9F, 0xBF}, "valid_up_to 0, error_len 1"},           // overlong 3-byte
        Case{{0xF0, 0x8F, 0xBF, 0xBF}, "valid_up_to 0, error_len 1"},     // overlong 4-byte
        Case{{0xF4, 0x90, 0x80, 0x80}, "valid_up_to 0, error_len 1"},     // above U+10FFFF
        Case{{0xF5, 0x80, 0x80, 0x80}, "valid_up_to 0, error_len 1"},
        Case{{0x41, 0xFE}, "valid_up_to 1, error_len 1"},
        Case{{0xC2}, "valid_up_to 0, error_len None"},
        Case{{0xC2, 0x41}, "valid_up_to 0, error_len 1"},
        Case{{0xC2, 0xC2, 0x80}, "valid_up_to 0, error_len 1"},
        Case{{0xE0}, "valid_up_to 0, error_len None"},
        Case{{0xE0, 0xA0}, "valid_up_to 0, error_len None"},
        Case{{0xE0, 0xA0, 0x41}, "valid_up_to 0, error_len 2"},
        Case{{0xED, 0x80}, "valid_up_to 0, error_len None"},
        Case{{0xED}, "valid_up_to 0, error_len None"},
        Case{{0xF0, 0x90}, "valid_up_to 0, error_len None"},
        Case{{0xF0, 0x90, 0x80}, "valid_up_to 0, error_len None"},
        Case{{0xF0, 0x90, 0x80, 0x41}, "valid_up_to 0, error_len 3"},
        Case{{0xF1, 0x80, 0xC0}, "valid_up_to 0, error_len 2"},
        Case{{0xF4, 0x8F, 0xBF, 0xC0}, "valid_up_to 0, error_len 3"},
        Case{{0xF4}, "valid_up_to 0, error_len None"},
        Case{{0xE2, 0x82, 0xAC, 0xE2, 0x82, 0xE2, 0x82, 0xAC}, "valid_up_to 3, error_len 2"},
        Case{{'a', 'b', 'c', 0xCE, 0xBB, 0xF0, 0x9F, 0x98, 0x80, 0xF8},
             "valid_up_to 9, error_len 1"}));

// Appends the UTF-8 form of scalar value cp.
void append_scalar(Bytes& b, uint32_t cp) {
  if (cp < 0x80) {
    b.push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    b.push_back(static_cast<uint8_t>(0xC0 | (cp >> 6)));
    b.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    b.push_back(static_cast<uint8_t>(0xE0 | (cp >> 12)));
    b.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    b.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else {
    b.push_back(static_cast<uint8_t>(0xF0 | (cp >> 18)));
    b.push_back(static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
    b.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    b.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
}

uint32_t random_scalar(std::mt19937& rng) {
  static const uint32_t kTop[] = {0x80, 0x800, 0x10000, 0x110000};
  for (;;) {
    uint32_t cp = rng() % kTop[rng() % 4];
    if (cp < 0xD800 || cp > 0xDFFF) return cp;
  }
}

// Every kernel on b, read from `offset` bytes into its own allocation of exactly that size (so
// that a sanitized build catches any read past the end), against the reference.
void expect_same(const Bytes& b, size_t offset = 0) {
  const auto want = reference_validate(b);
  ASSERT_EQ(check(b), show(want)) << ::testing::PrintToString(b);
  Bytes at(offset + b.size());
  std::copy(b.begin(), b.end(), at.begin() + static_cast<long>(offset));
  for (const Kernel& k : kKernels) {
    ASSERT_EQ(show(k.validate(at.data() + offset, b.size())), show(want))
        << k.name << " at offset " << offset << " for " << ::testing::PrintToString(b);
  }
}

TEST(Utf8Random, RandomBytes) {
  std::mt19937 rng(1);
  // Bytes drawn near the interesting boundaries, so that short inputs get deep into sequences.
  const uint8_t pool[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                          0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                          0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF};
  for (int i = 0; i < 100000; ++i) {
    Bytes b(rng() % 7);
    for (auto& x : b) x = (rng() & 1) ? pool[rng() % sizeof(pool)] : static_cast<uint8_t>(rng());
    expect_same(b);
  }
}

TEST(Utf8Random, MutatedValidText) {
  std::mt19937 rng(2);
  for (int i = 0; i < 20000; ++i) {
    Bytes b;
    const int n = static_cast<int>(rng() % 60);
    for (int j = 0; j < n; ++j) append_scalar(b, (rng() % 3) ? rng() % 0x80 : random_scalar(rng));
    ASSERT_EQ(check(b), "valid");
    switch (rng() % 4) {
      case 0:
        if (!b.empty()) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        break;
      case 1:
        if (!b.empty()) b.resize(rng() % b.size());
        break;
      case 2:
        b.insert(b.begin() + static_cast<long>(rng() % (b.size() + 1)),
                 static_cast<uint8_t>(0x80 | rng()));
        break;
      default:
        break;
    }
    expect_same(b);
  }
}

// ASCII text with one special sequence placed at every offset, so that it falls at every
// position relative to the 16- and 32-byte blocks of the ASCII scan, and across their edges.
TEST(Utf8Random, RareNonAsciiAtEveryPosition) {
  const Bytes specials[] = {{0xC3, 0xA9},
                            {0xE2, 0x82, 0xAC},
                            {0xF0, 0x9F, 0x98, 0x80},
                            {0xFF},
                            {0x80},
                            {0xE2, 0x82},
                            {0xED, 0xA0, 0x80},
                            {0xC2},
                            {0xF0, 0x90, 0x80}};
  for (size_t len : {7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 100}) {
    for (size_t pos = 0; pos <= len; ++pos) {
      for (const Bytes& sp : specials) {
        Bytes b(len, 'a');
        b.insert(b.begin() + static_cast<long>(pos), sp.begin(), sp.end());
        expect_same(b);
        // The same with a second non-ASCII sequence elsewhere (possibly inside the first).
        const Bytes e_acute = {0xC3, 0xA9};
        b.insert(b.begin() + static_cast<long>((pos * 7 + 5) % (b.size() + 1)), e_acute.begin(),
                 e_acute.end());
        expect_same(b);
      }
    }
  }
  // Every offset of a high byte in a 0x7F-filled input (the top ASCII value).
  for (size_t pos = 0; pos < 80; ++pos) {
    Bytes b(80, 0x7F);
    b[pos] = 0x80;
    EXPECT_EQ(check(b), "valid_up_to " + std::to_string(pos) + ", error_len 1");
    for (const Kernel& k : kKernels) {
      EXPECT_EQ(show(k.validate(b.data(), b.size())),
                "valid_up_to " + std::to_string(pos) + ", error_len 1")
          << k.name;
    }
  }
}

// ASCII runs that end at every position of inputs of every length up to 70, after a character
// at every earlier position and before an error at every later one (or none), so that the
// windows that end with the input (avx2: 32, 16 or 8 bytes) start inside or before the earlier
// character, at every distance from it.
TEST(Utf8Random, AsciiRunsAfterEveryCharacterPosition) {
  for (size_t n = 2; n <= 70; ++n) {
    for (size_t p = 0; p + 2 <= n; ++p) {
      for (size_t q = p + 2; q <= n; ++q) {
        Bytes b(n, 'a');
        b[p] = 0xC3;
        b[p + 1] = 0xA9;
        if (q < n) b[q] = 0x80;  // q == n: valid to the end
        expect_same(b);
      }
    }
  }
}

TEST(Utf8Random, LongMostlyAsciiText) {
  std::mt19937 rng(3);
  for (int i = 0; i < 3000; ++i) {
    Bytes b;
    const int n = static_cast<int>(rng() % 300);
    for (int j = 0; j < n; ++j) {
      if (rng() % 50 == 0) {
        if (rng() % 4 == 0) {
          b.push_back(static_cast<uint8_t>(0x80 | rng()));
        } else {
          append_scalar(b, random_scalar(rng));
        }
      } else {
        b.push_back(static_cast<uint8_t>(rng() % 0x80));
      }
    }
    expect_same(b);
  }
}

// The kernels on the same random buffers, each read at every offset from 0 to 15 into its
// allocation: text that is ASCII apart from non-ASCII sequences, valid or not, spaced by runs of
// random length, so that they fall at every position of the 8-, 16- and 32-byte blocks.
TEST(Utf8Random, KernelsAgreeAtEveryAlignment) {
  std::mt19937 rng(4);
  for (int i = 0; i < 4000; ++i) {
    Bytes b;
    const size_t n = rng() % 200;
    const unsigned max_gap = (rng() & 1) ? 8 : 80;
    while (b.size() < n) {
      b.insert(b.end(), rng() % (max_gap + 1), static_cast<uint8_t>(rng() % 0x80));
      if (rng() % 5 == 0) {
        b.push_back(static_cast<uint8_t>(0x80 | rng()));
      } else {
        append_scalar(b, random_scalar(rng));
      }
    }
    if (rng() & 1) b.resize(n);  // possibly inside a sequence
    expect_same(b, i % 16);
  }
}

// Arenas of random pieces of well-formed and ill-formed text cut into elements at random
// offsets, boundaries inside characters included: the one-pass answer is nullopt exactly when
// every element is well-formed on its own, and otherwise names an element that is not.
TEST(Utf8Arena, FirstNonUtf8ElementAgreesWithElementByElement) {
  const std::vector<std::string> pieces = {
      "a",    "bc",   "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
      "\x80", "\xC3", "\xE2\x82", "\xFF",         "\xED\xA0\x80"};
  std::mt19937_64 rng(31);
  int bad_runs = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string arena = "xy";  // bytes before the first offset are not read
    const size_t n = rng() % 8;
    for (size_t i = 0; i < n; ++i) arena += pieces[rng() % (round % 3 == 0 ? pieces.size() : 5)];
    std::vector<uint64_t> offsets = {2};
    while (offsets.back() < arena.size()) {
      offsets.push_back(std::min<uint64_t>(arena.size(), offsets.back() + rng() % 5));
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(arena.data());
    const std::optional<size_t> got = first_non_utf8_element(bytes, offsets);
    bool all_good = true;
    for (size_t i = 0; i + 1 < offsets.size(); ++i) {
      all_good &= !validate_utf8(bytes + offsets[i], offsets[i + 1] - offsets[i]).has_value();
    }
    ASSERT_EQ(got.has_value(), !all_good) << round;
    if (got) {
      ++bad_runs;
      ASSERT_LT(*got + 1, offsets.size());
      EXPECT_TRUE(validate_utf8(bytes + offsets[*got], offsets[*got + 1] - offsets[*got])) << round;
    }
  }
  EXPECT_GT(bad_runs, 2000);
}

}  // namespace
}  // namespace kvt
