// Test support shared by the codec tests and the fuzzers: random tables of every kind and an
// exact comparison (floats compared by bit pattern, so NaN payloads and -0.0 count).
// Header-only and free of any test framework.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "model/table.h"

namespace kvt::testing {

// A seeded random source with the value shapes the codec tests need.
class RandomSource {
 public:
  explicit RandomSource(uint64_t seed) : rng_(seed) {}
  uint64_t next() { return rng_(); }
  // Uniform in [0, n); n > 0.
  uint64_t below(uint64_t n) { return next() % n; }
  bool chance(uint32_t one_in) { return below(one_in) == 0; }

  // A length that is usually small, sometimes 0, now and then a few hundred.
  size_t length() {
    switch (below(8)) {
      case 0:
        return 0;
      case 1:
        return 1;
      case 2:
        return below(400);
      default:
        return below(12);
    }
  }

  // An integer from a mix of small values, boundary values and full-width noise.
  uint64_t integer() {
    switch (below(6)) {
      case 0:
        return below(300);
      case 1:
        return uint64_t{0} - below(300);  // small negative as i64, huge as u64
      case 2: {
        static constexpr uint64_t kEdges[] = {0,
                                              250,
                                              251,
                                              0xFFFF,
                                              0x10000,
                                              0xFFFFFFFF,
                                              0x100000000,
                                              0x7FFFFFFFFFFFFFFF,
                                              0x8000000000000000,
                                              0xFFFFFFFFFFFFFFFF};
        return kEdges[below(std::size(kEdges))];
      }
      case 3:
        return next() >> below(64);
      default:
        return next();
    }
  }

  double f64() {
    if (chance(5)) return std::bit_cast<double>(next());  // any pattern, NaN payloads included
    static constexpr double kEdges[] = {0.0, -0.0, 1.0, -1.5, 1e300, 5e-324};
    if (chance(3)) return kEdges[below(std::size(kEdges))];
    return static_cast<double>(static_cast<int64_t>(integer())) / 1024.0;
  }
  float f32() { return std::bit_cast<float>(static_cast<uint32_t>(next())); }

  // Well-formed UTF-8 mixing 1- to 4-byte characters.
  std::string utf8(size_t chars) {
    std::string s;
    for (size_t i = 0; i < chars; ++i) {
      uint32_t cp;
      switch (below(4)) {
        case 0:
          cp = static_cast<uint32_t>(0x80 + below(0x800 - 0x80));
          break;
        case 1:
          cp = static_cast<uint32_t>(0x800 + below(0x10000 - 0x800));
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xE000;
          break;
        case 2:
          cp = static_cast<uint32_t>(0x10000 + below(0x110000 - 0x10000));
          break;
        default:
          cp = static_cast<uint32_t>(below(0x80));
      }
      append_utf8(s, cp);
    }
    return s;
  }
  std::string bytes(size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(next());
    return s;
  }

  static void append_utf8(std::string& s, uint32_t cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

 private:
  std::mt19937_64 rng_;
};

// A timestamp column drawn from one of several shapes: regular steps, huge values and the i64
// extremes, zeros followed by values, irregular later steps, pure noise.
inline Vec<int64_t> random_datetimes(RandomSource& r, size_t n) {
  Vec<int64_t> v(n);
  const auto shape = r.below(7);
  // Arithmetic wraps (unsigned), as timestamps near the i64 extremes may.
  const uint64_t unit =
      std::array<uint64_t, 6>{1, 1000, 1000000, 60000000, 86400000000, 7}[r.below(6)];
  uint64_t x = r.below(2000000) * unit;
  for (size_t i = 0; i < n; ++i) {
    switch (shape) {
      case 0:  // whole units, small steps
        x += r.below(5) * unit;
        v[i] = static_cast<int64_t>(x);
        break;
      case 1:  // extremes and huge values
        v[i] = static_cast<int64_t>(r.integer());
        break;
      case 2:  // zeros, then values
        v[i] = i < n / 2 + r.below(3) ? 0 : static_cast<int64_t>(x += unit);
        break;
      case 3:  // regular for ten values, then an irregular step
        x += i == 10 + r.below(5) ? 1 : unit;
        v[i] = static_cast<int64_t>(x);
        break;
      case 4:  // a constant
        v[i] = static_cast<int64_t>(x);
        break;
      case 5:  // alternating sign of large multiples
        v[i] = static_cast<int64_t>((i % 2 ? uint64_t{0} - unit : unit) * r.below(1 << 20));
        break;
      default:
        v[i] = static_cast<int64_t>(r.next());
    }
  }
  return v;
}

inline Variant random_variant(RandomSource& r) {
  switch (r.below(12)) {
    case 0:
      return Variant(std::in_place_index<0>);
    case 1:
      return Variant(std::in_place_index<1>, static_cast<int64_t>(r.integer()));
    case 2:
      return Variant(std::in_place_index<2>, static_cast<int64_t>(r.integer()));
    case 3:
      return Variant(std::in_place_index<3>, r.f64());
    case 4:
      return Variant(std::in_place_index<4>, D64{r.next()});  // any image passes unchanged
    case 5:
      return Variant(std::in_place_index<5>, r.utf8(r.length()));
    case 6:
      return Variant(std::in_place_index<6>, r.chance(2));
    case 7:
      return Variant(std::in_place_index<7>, static_cast<int32_t>(r.integer()));
    case 8:
      return Variant(std::in_place_index<8>, static_cast<uint32_t>(r.integer()));
    case 9:
      return Variant(std::in_place_index<9>, r.integer());
    case 10:
      return Variant(std::in_place_index<10>, r.f32());
    default: {
      std::string b = r.bytes(r.length());
      return Variant(std::in_place_index<11>, std::vector<uint8_t>(b.begin(), b.end()));
    }
  }
}

inline std::optional<MetaMap> random_meta(RandomSource& r) {
  if (r.chance(2)) return std::nullopt;
  MetaMap m;
  const size_t n = r.chance(4) ? 0 : r.below(12);
  for (size_t i = 0; i < n; ++i) m.insert(r.utf8(r.below(6)), random_variant(r));
  return m;
}

template <class T, class Gen>
Vec<T> fill(size_t n, Gen gen) {
  Vec<T> v(n);
  for (auto& x : v) x = gen();
  return v;
}

inline StringColumn random_strings(RandomSource& r, size_t n, bool utf8) {
  StringColumn c;
  for (size_t i = 0; i < n; ++i) {
    const size_t len = r.chance(3) ? 0 : r.below(r.chance(10) ? 400 : 12);
    c.push_back(utf8 ? r.utf8(len) : r.bytes(len));
  }
  return c;
}

// A column of the given kind whose decoded form equals it exactly (decimals share one scale and
// carry no special flags; bools are 0 or 1).
inline Series random_series(RandomSource& r, uint32_t kind, size_t n) {
  switch (kind) {
    case 0:
      return Series(std::in_place_index<0>);
    case 1:
      return Series(std::in_place_index<1>, random_datetimes(r, n));
    case 2:
      return Series(std::in_place_index<2>,
                    fill<int64_t>(n, [&] { return static_cast<int64_t>(r.integer()); }));
    case 3:
      return Series(std::in_place_index<3>, fill<double>(n, [&] { return r.f64(); }));
    case 4: {
      const auto scale = static_cast<uint32_t>(r.below(16));
      return Series(std::in_place_index<4>, fill<D64>(n, [&] {
                      const uint64_t mag =
                          r.chance(4) ? kD64MagnitudeLimit - 1 - r.below(3) : r.below(100000);
                      return D64::from_parts(mag, scale, r.chance(2) && mag != 0);
                    }));
    }
    case 5:
      return Series(std::in_place_index<5>, random_strings(r, n, true));
    case 6:
      return Series(std::in_place_index<6>,
                    fill<uint8_t>(n, [&] { return static_cast<uint8_t>(r.below(2)); }));
    case 7:
      return Series(std::in_place_index<7>,
                    fill<int32_t>(n, [&] { return static_cast<int32_t>(r.integer()); }));
    case 8:
      return Series(std::in_place_index<8>,
                    fill<uint32_t>(n, [&] { return static_cast<uint32_t>(r.integer()); }));
    case 9:
      return Series(std::in_place_index<9>, fill<uint64_t>(n, [&] { return r.integer(); }));
    case 10:
      return Series(std::in_place_index<10>, fill<float>(n, [&] { return r.f32(); }));
    default:
      return Series(std::in_place_index<11>, random_strings(r, n, false));
  }
}

inline Table random_table(RandomSource& r) {
  Table t;
  t.format_word = r.chance(2) ? kFormatWord : static_cast<uint32_t>(r.integer());
  const size_t nfields = r.chance(8) ? 0 : r.below(16);
  for (size_t i = 0; i < nfields; ++i) {
    Field f;
    f.name = r.utf8(r.below(8));
    const auto kind = static_cast<uint32_t>(r.below(12));
    // Usually the declared type matches the data; now and then it does not (not checked).
    f.data_type = static_cast<DataType>(r.chance(6) ? r.below(12) : kind);
    f.meta = r.chance(3) ? random_meta(r) : std::nullopt;
    f.series = random_series(r, kind, r.length());
    t.fields.push_back(std::move(f));
  }
  t.meta = random_meta(r);
  t.flag = r.chance(4);
  return t;
}

// ---- exact comparison; each returns "" when equal, else the first difference ----

inline bool same_bits(const Variant& a, const Variant& b) {
  if (a.index() != b.index()) return false;
  if (a.index() == 3) {
    return std::bit_cast<uint64_t>(std::get<3>(a)) == std::bit_cast<uint64_t>(std::get<3>(b));
  }
  if (a.index() == 10) {
    return std::bit_cast<uint32_t>(std::get<10>(a)) == std::bit_cast<uint32_t>(std::get<10>(b));
  }
  return a == b;
}

inline std::string diff_meta(const std::optional<MetaMap>& a, const std::optional<MetaMap>& b) {
  if (a.has_value() != b.has_value()) return "presence differs";
  if (!a) return "";
  if (a->size() != b->size()) {
    return "size " + std::to_string(a->size()) + " vs " + std::to_string(b->size());
  }
  for (const auto& [k, v] : *a) {
    const Variant* w = b->find(k);
    if (w == nullptr) return "key '" + k + "' missing";
    if (!same_bits(v, *w)) return "value of key '" + k + "' differs";
  }
  return "";
}

template <class V>
bool same_memory(const V& a, const V& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

template <size_t I>
bool same_alternative(const Series& a, const Series& b) {
  const auto& x = std::get<I>(a);
  const auto& y = std::get<I>(b);
  using T = std::decay_t<decltype(x)>;
  if constexpr (std::is_same_v<T, NullSeries>) {
    return true;
  } else if constexpr (std::is_same_v<T, StringColumn>) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (x[i] != y[i]) return false;
    }
    return true;
  } else {
    return same_memory(x, y);
  }
}

template <size_t... I>
bool same_series(const Series& a, const Series& b, std::index_sequence<I...>) {
  bool same = false;
  (void)((a.index() == I ? (same = same_alternative<I>(a, b), true) : false) || ...);
  return same;
}

inline std::string diff_series(const Series& a, const Series& b) {
  if (a.index() != b.index()) {
    return "kind " + std::to_string(a.index()) + " vs " + std::to_string(b.index());
  }
  if (same_series(a, b, std::make_index_sequence<std::variant_size_v<Series>>())) return "";
  return "data of kind " + std::to_string(a.index()) + " differs";
}

inline std::string diff_tables(const Table& a, const Table& b) {
  if (a.format_word != b.format_word) return "format_word";
  if (a.flag != b.flag) return "flag";
  if (auto d = diff_meta(a.meta, b.meta); !d.empty()) return "table meta: " + d;
  if (a.fields.size() != b.fields.size()) return "field count";
  for (size_t i = 0; i < a.fields.size(); ++i) {
    const Field& x = a.fields[i];
    const Field& y = b.fields[i];
    const std::string at = "field " + std::to_string(i) + ": ";
    if (x.name != y.name) return at + "name";
    if (x.data_type != y.data_type) return at + "data_type";
    if (auto d = diff_meta(x.meta, y.meta); !d.empty()) return at + "meta: " + d;
    if (auto d = diff_series(x.series, y.series); !d.empty()) return at + d;
  }
  return "";
}

}  // namespace kvt::testing
