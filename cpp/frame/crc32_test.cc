#include "frame/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string_view>
#include <vector>

namespace kvt {
namespace {

uint32_t crc_of(std::string_view s) {
  return crc32(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Crc32, KnownValues) {
  EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
  EXPECT_EQ(crc_of(""), 0u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  // The body of an empty table view (format word, no fields, no metadata, flag false).
  const uint8_t body[] = {0xFC, 0x01, 0x00, 0x7C, 0x4D, 0x00, 0x00, 0x00};
  EXPECT_EQ(crc32(body, sizeof body), 0x3ECD58F6u);
}

TEST(Crc32, MatchesZlibOnEveryLengthAndAlignment) {
  std::mt19937_64 rng(12345);
  std::vector<uint8_t> buf(300 + 64);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t start = 0; start < 16; ++start) {
    for (size_t len = 0; len <= 300; ++len) {
      const uint8_t* p = buf.data() + start;
      uint32_t want = static_cast<uint32_t>(::crc32(0L, p, static_cast<uInt>(len)));
      ASSERT_EQ(crc32(p, len), want) << "start " << start << " len " << len;
    }
  }
}

TEST(Crc32, LargeBufferMatchesZlib) {
  std::vector<uint8_t> buf(5 << 20);
  std::mt19937 rng(7);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(crc32(buf.data() + 1, buf.size() - 1),
            static_cast<uint32_t>(::crc32(0L, buf.data() + 1, static_cast<uInt>(buf.size() - 1))));
}

// Random lengths up to 1 MiB at random offsets, each checksummed in random pieces, against one
// call of zlib's crc32. The suite runs against both backends (make cpp-test and make test-zlib),
// so the two give the same checksums and therefore the same frames.
TEST(Crc32, RandomPiecesMatchZlib) {
  std::mt19937_64 rng(2024);
  std::vector<uint8_t> buf((1 << 20) + 64);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (int round = 0; round < 200; ++round) {
    const size_t start = rng() % 64;
    const size_t len = round < 100 ? rng() % 4096 : rng() % (buf.size() - 64 + 1);
    const uint8_t* p = buf.data() + start;
    const uint32_t want = static_cast<uint32_t>(::crc32(0L, p, static_cast<uInt>(len)));
    ASSERT_EQ(crc32(p, len), want) << "start " << start << " len " << len;
    uint32_t c = 0;
    for (size_t done = 0; done < len;) {
      const size_t piece = std::min<size_t>(len - done, rng() % 70000);
      c = crc32_update(c, p + done, piece);
      done += piece;
    }
    ASSERT_EQ(c, want) << "pieces, start " << start << " len " << len;
  }
}

TEST(Crc32, UpdateContinuesAcrossEverySplit) {
  std::mt19937_64 rng(99);
  std::vector<uint8_t> buf(200);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  const uint32_t whole = crc32(buf.data(), buf.size());
  for (size_t a = 0; a <= buf.size(); ++a) {
    const size_t b = a + (buf.size() - a) / 3;
    uint32_t c = crc32_update(0, buf.data(), a);
    c = crc32_update(c, buf.data() + a, b - a);
    c = crc32_update(c, buf.data() + b, 0);
    c = crc32_update(c, buf.data() + b, buf.size() - b);
    ASSERT_EQ(c, whole) << "split " << a << " " << b;
  }
}

}  // namespace
}  // namespace kvt
