#include "model/pages.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kvt {

void advise_huge_pages(void* p, size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (begin + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  const uintptr_t last = (begin + n) & ~(uintptr_t{kHugePage} - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

void* allocate_large(size_t n) {
  void* p = std::malloc(n);
  if (p == nullptr) throw std::bad_alloc();
  advise_huge_pages(p, n);
  return p;
}

void free_large(void* p) noexcept { std::free(p); }

}  // namespace kvt
