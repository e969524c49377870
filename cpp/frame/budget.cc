#include "frame/budget.h"

#include <algorithm>
#include <variant>

namespace kvt {

namespace {

// What one element costs once converted, beside the field itself.
struct ElementCost {
  uint64_t rows;
  uint64_t operator()(const NullSeries&) const { return rows; }  // a bool array of the row count
  uint64_t operator()(const StringColumn& c) const {
    const uint64_t n = c.size();
    const uint64_t bytes = c.byte_count();
    // The arena and the objects' copies of the bytes; at most bytes / 2 elements are long enough
    // to need an object of their own (shorter ones are shared singletons).
    return n * kStringSlotBudgetBytes + 2 * bytes +
           std::min(n, bytes / 2) * kStringObjectBudgetBytes;
  }
  uint64_t operator()(const Vec<D64>& v) const { return v.size() * (sizeof(D64) + sizeof(double)); }
  // Unsigned columns are copied into arrays of their own.
  uint64_t operator()(const Vec<uint32_t>& v) const { return v.size() * 2 * sizeof(uint32_t); }
  uint64_t operator()(const Vec<uint64_t>& v) const { return v.size() * 2 * sizeof(uint64_t); }
  template <class T>
  uint64_t operator()(const Vec<T>& v) const {
    return v.size() * sizeof(T);
  }
};

}  // namespace

uint64_t field_cost(const Field& f, uint64_t rows) {
  return kFieldBudgetBytes + f.name.size() + std::visit(ElementCost{rows}, f.series);
}

}  // namespace kvt
