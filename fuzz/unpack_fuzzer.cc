// Unpacks arbitrary bytes as a whole frame and as a header-less region. Because a random region
// almost never carries a matching checksum, the input is also decoded once more with its last four
// bytes replaced by the checksum of the rest, which sends every input through the body decoder.
// A table that decodes must pack again, and the repacked frame must decode.
//
// The bounds are checked too: a region whose checksum fails is refused without a single
// allocation (malloc hooks count them), and every region is decoded once more under a budget
// small enough for these inputs to reach; a table that decodes under it must fit it.
#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "frame/budget.h"
#include "frame/crc32.h"
#include "frame/table_frame.h"
#include "frame/table_testing.h"

namespace {

// Decimal elements that did not fit decode as NaN, which packs as the number 0: such tables are
// repacked but not compared.
bool has_decimal_nan(const kvt::Table& t) {
  for (const auto& f : t.fields) {
    if (kvt::series_kind(f.series) != kvt::DataType::Decimal) continue;
    for (kvt::D64 d : kvt::get_kind<kvt::DataType::Decimal>(f.series)) {
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

size_t g_mallocs = 0;
void on_malloc(const volatile void*, size_t) { ++g_mallocs; }
void on_free(const volatile void*) {}
const int g_hooks = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);

bool is_checksum_mismatch(const kvt::TableFrameError& e) {
  return std::holds_alternative<kvt::TableFrameError::ChecksumMismatch>(e.value);
}

// A region that fails its checksum allocates nothing.
void unpack_region(std::span<const uint8_t> region) {
  const size_t before = g_mallocs;
  auto t = kvt::unpack_table_frame(region, true);
  if (!t && is_checksum_mismatch(t.error()) && g_mallocs != before) __builtin_trap();
  if (t) repack(*t);
}

// Under a rule of 64 bytes per region byte and no slack, what decodes fits the rule.
void unpack_within_budget(std::span<const uint8_t> region) {
  constexpr kvt::BudgetRule kSmall{64, 0};
  auto t = kvt::unpack_table_frame(region, true, kSmall);
  if (!t) return;
  uint64_t cost = 0;
  const uint64_t rows = kvt::row_count(*t);
  for (const kvt::Field& f : t->fields) cost += kvt::field_cost(f, rows);
  if (cost > kSmall.of(region.size())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static_cast<void>(g_hooks);
  const std::span<const uint8_t> in(data, size);
  if (auto t = kvt::unpack_table_frame(in, false)) repack(*t);
  unpack_region(in);
  if (size >= 4) {
    std::vector<uint8_t> region(in.begin(), in.end());
    const uint32_t crc = kvt::crc32(region.data(), size - 4);
    std::memcpy(region.data() + size - 4, &crc, 4);
    unpack_region(region);
    unpack_within_budget(region);
  }
  return 0;
}
