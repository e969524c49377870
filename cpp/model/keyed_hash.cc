#include "model/keyed_hash.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>

namespace kvt {

namespace {

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();  // one compression round
    v0 ^= m;
  }
};

uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // x86-64 and every target this builds for are little-endian
}

HashKey draw_key() {
  HashKey key{0, 0};
  uint8_t buf[16];
  size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t n = getrandom(buf + got, sizeof buf - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == sizeof buf) {
    std::memcpy(&key.k0, buf, 8);
    std::memcpy(&key.k1, buf + 8, 8);
    return key;
  }
  // No entropy source (a seccomp filter, a very old kernel): a clock and an address still differ
  // between processes, which keeps precomputed collisions from working.
  const auto now =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  const auto where = reinterpret_cast<uintptr_t>(&key);
  key.k0 = siphash13(HashKey{now, where}, "kvt", 3);
  key.k1 = siphash13(HashKey{where, now}, "kvt", 3);
  return key;
}

}  // namespace

uint64_t siphash13(HashKey key, const void* data, size_t size) {
  SipState s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull,
             key.k0 ^ 0x6c7967656e657261ull, key.k1 ^ 0x7465646279746573ull};
  const auto* p = static_cast<const uint8_t*>(data);
  const size_t whole = size & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));
  uint64_t last = static_cast<uint64_t>(size) << 56;
  for (size_t i = 0; i < (size & 7); ++i) last |= static_cast<uint64_t>(p[whole + i]) << (8 * i);
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

const HashKey& process_hash_key() {
  static const HashKey key = draw_key();
  return key;
}

}  // namespace kvt
