// Unpacks arbitrary bytes as a whole frame and as a header-less region. Because a random region
// almost never carries a matching checksum, the input is also decoded once more with its last four
// bytes replaced by the checksum of the rest, which sends every input through the body decoder.
// A table that decodes must pack again, and the repacked frame must decode.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "frame/crc32.h"
#include "frame/table_frame.h"
#include "frame/table_testing.h"

namespace {

// Decimal elements that did not fit decode as NaN, which packs as the number 0: such tables are
// repacked but not compared.
bool has_decimal_nan(const kvt::Table& t) {
  for (const auto& f : t.fields) {
    if (f.series.index() != 4) continue;
    for (kvt::D64 d : std::get<4>(f.series)) {
      if (d.is_nan()) return true;
    }
  }
  return false;
}

void repack(const kvt::Table& t) {
  auto frame = kvt::pack_table_ref_frame(kvt::as_ref(t));
  if (!frame) return;  // only a body over 4 GiB, which this input cannot produce
  auto again = kvt::unpack_table_frame(*frame, false);
  if (!again) __builtin_trap();
  if (!has_decimal_nan(t) && !kvt::testing::diff_tables(t, *again).empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  if (auto t = kvt::unpack_table_frame(in, false)) repack(*t);
  if (auto t = kvt::unpack_table_frame(in, true)) repack(*t);
  if (size >= 4) {
    std::vector<uint8_t> region(in.begin(), in.end());
    const uint32_t crc = kvt::crc32(region.data(), size - 4);
    std::memcpy(region.data() + size - 4, &crc, 4);
    if (auto t = kvt::unpack_table_frame(region, true)) repack(*t);
  }
  return 0;
}
