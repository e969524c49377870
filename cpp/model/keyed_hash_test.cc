#include "model/keyed_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "model/meta_map.h"

namespace kvt {
namespace {

// CPython hashes bytes with SipHash-1-3; under PYTHONHASHSEED=0 its key is all zeros, so
// hash(b"a") & (2**64 - 1) there gives these values.
TEST(SipHash13, MatchesCPythonUnderTheZeroKey) {
  const HashKey zero{0, 0};
  EXPECT_EQ(siphash13(zero, "a", 1), 0x407448d2b89b1813ull);
  EXPECT_EQ(siphash13(zero, "abcdefgh", 8), 0x3f7b849c0b8e35eaull);
  EXPECT_EQ(siphash13(zero, "abcdefghijklmnopqrstuvwxyz0123456789", 36), 0xfe9ee02c60cec362ull);
}

TEST(SipHash13, TheProcessKeyIsStableAndSecret) {
  const HashKey& a = process_hash_key();
  const HashKey& b = process_hash_key();
  EXPECT_EQ(&a, &b);
  EXPECT_FALSE(a.k0 == 0 && a.k1 == 0);
  KeyedStringHash h;
  EXPECT_EQ(h(std::string("key")), h(std::string_view("key")));
  EXPECT_NE(h(std::string_view("key")), siphash13(HashKey{0, 0}, "key", 3));
}

// Keys that all share one std::hash<std::string> value (libstdc++'s seeded MurmurHash64A): in
// each 16-byte block, the second word of the alternative cancels the top-bit flip that the first
// word's mixed value makes, so every choice of blocks leaves the hash unchanged.
constexpr uint64_t kMul = (uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;

uint64_t inverse(uint64_t a) {  // of an odd number, mod 2^64 (Newton's iteration)
  uint64_t x = a;
  for (int i = 0; i < 6; ++i) x *= 2 - a * x;
  return x;
}
uint64_t mixed(uint64_t w) {
  uint64_t v = w * kMul;
  v ^= v >> 47;
  return v * kMul;
}
uint64_t unmixed(uint64_t m) {
  uint64_t v = m * inverse(kMul);
  v ^= v >> 47;  // its own inverse for shifts of at least 32
  return v * inverse(kMul);
}

std::vector<std::string> colliding_keys(int blocks) {
  std::vector<std::string> keys(1);
  for (int b = 0; b < blocks; ++b) {
    const uint64_t w1 = 0x0101010101010101ull * (b + 1);
    const uint64_t w2 = 0x2323232323232323ull + b;
    const uint64_t alt1 = unmixed(mixed(w1) ^ (uint64_t{1} << 63));
    const uint64_t alt2 = unmixed(mixed(w2) ^ (uint64_t{1} << 63));
    std::vector<std::string> next;
    for (const std::string& k : keys) {
      for (auto [x, y] : {std::pair{w1, w2}, std::pair{alt1, alt2}}) {
        std::string s = k;
        s.append(reinterpret_cast<const char*>(&x), 8).append(reinterpret_cast<const char*>(&y), 8);
        next.push_back(std::move(s));
      }
    }
    keys = std::move(next);
  }
  return keys;
}

TEST(MetaMap, KeysThatCollideUnderAnUnkeyedHashSpreadOut) {
#ifndef __GLIBCXX__
  // The keys are made to collide under libstdc++'s std::hash<std::string>; libc++ (the zig build
  // of the wheels) hashes strings another way, under which they do not collide.
  GTEST_SKIP() << "colliding keys are made for libstdc++'s std::hash";
#endif
  const std::vector<std::string> keys = colliding_keys(12);
  ASSERT_EQ(keys.size(), 4096u);
  const size_t h = std::hash<std::string>{}(keys[0]);
  for (const std::string& k : keys) ASSERT_EQ(std::hash<std::string>{}(k), h);

  MetaMap m;
  for (size_t i = 0; i < keys.size(); ++i) {
    m.insert(keys[i], Variant(std::in_place_index<2>, static_cast<int64_t>(i)));
  }
  ASSERT_EQ(m.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const Variant* v = m.find(keys[i]);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::get<2>(*v), static_cast<int64_t>(i));
  }
  // Under the unkeyed hash all 4096 would share one chain; keyed, a chain of a dozen is already
  // far beyond what chance gives.
  EXPECT_LE(m.longest_chain(), 12u);
}

}  // namespace
}  // namespace kvt
