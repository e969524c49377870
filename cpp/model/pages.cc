#include "model/pages.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kvt {
namespace {

// Freed large buffers kept for reuse, most recent last. A block serves a request of up to its
// size and at least four fifths of it, so reuse wastes at most a fifth.
struct Block {
  void* p = nullptr;
  size_t n = 0;
};

class BlockCache {
 public:
  void* take(size_t n) {
    std::lock_guard lock(mu_);
    for (size_t i = count_; i-- > 0;) {
      if (blocks_[i].n >= n && blocks_[i].n - blocks_[i].n / 5 <= n) {
        void* p = blocks_[i].p;
        bytes_ -= blocks_[i].n;
        for (size_t j = i + 1; j < count_; ++j) blocks_[j - 1] = blocks_[j];
        --count_;
        return p;
      }
    }
    return nullptr;
  }

  // Keeps the block, dropping the oldest ones to stay within the bounds; false when it is larger
  // than the whole cache (the caller frees it).
  bool keep(void* p, size_t n) {
    if (n > kCachedBytes) return false;
    std::array<void*, kCachedBlocks> dropped{};
    size_t ndropped = 0;
    {
      std::lock_guard lock(mu_);
      while (count_ > 0 && (count_ == kCachedBlocks || bytes_ + n > kCachedBytes)) {
        dropped[ndropped++] = blocks_[0].p;
        bytes_ -= blocks_[0].n;
        for (size_t j = 1; j < count_; ++j) blocks_[j - 1] = blocks_[j];
        --count_;
      }
      blocks_[count_++] = Block{p, n};
      bytes_ += n;
    }
    for (size_t i = 0; i < ndropped; ++i) ::operator delete(dropped[i]);
    return true;
  }

 private:
  std::mutex mu_;
  std::array<Block, kCachedBlocks> blocks_{};
  size_t count_ = 0;
  size_t bytes_ = 0;
};

// Never destroyed: buffers may be freed while the process exits.
BlockCache& cache() {
  static BlockCache* c = new BlockCache();
  return *c;
}

std::atomic<bool> reuse{true};

}  // namespace

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
  if (reuse.load(std::memory_order_relaxed)) {
    if (void* p = cache().take(n)) return p;
  }
  void* p = ::operator new(n);
  advise_huge_pages(p, n);
  return p;
}

void free_large(void* p, size_t n) noexcept {
  if (p == nullptr) return;
  if (!reuse.load(std::memory_order_relaxed) || !cache().keep(p, n)) ::operator delete(p);
}

void set_large_buffer_reuse(bool on) noexcept { reuse.store(on, std::memory_order_relaxed); }

}  // namespace kvt
