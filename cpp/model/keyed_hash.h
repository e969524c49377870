// A keyed hash for maps and sets whose keys come from untrusted input (frame metadata keys).
//
// SipHash-1-3 (the function CPython uses for str since 3.11) under a 128-bit secret drawn from
// the operating system once per process. Without the secret nobody can choose keys that collide,
// so a map keyed this way does expected O(1) work per operation whatever the keys are.
//
// siphash13 takes any bytes and a key and costs about one pass over the bytes; it never fails.
// process_hash_key() is the process's secret: drawn from getrandom() on first use (thread-safe),
// the same value for the rest of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvt {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

uint64_t siphash13(HashKey key, const void* data, size_t size);

const HashKey& process_hash_key();

// Hash and equality for unordered containers of std::string that also look up string_views
// without building a string (heterogeneous lookup).
struct KeyedStringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const {
    return static_cast<size_t>(siphash13(process_hash_key(), s.data(), s.size()));
  }
  size_t operator()(const std::string& s) const { return (*this)(std::string_view(s)); }
};

struct StringEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

}  // namespace kvt
