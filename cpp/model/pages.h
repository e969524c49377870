// Large buffers: on huge pages, and reused.
//
// A fresh buffer costs a page fault per 4 KiB page on its first write: about 15 ms for 33 MB
// here, four times the cost of writing it. Columns and frames are large and written once, so
// the whole 2 MiB blocks inside buffers of kLargeBuffer bytes or more are marked for transparent
// huge pages (madvise MADV_HUGEPAGE, which takes effect where the system leaves huge pages to
// madvise, the usual default): one fault per 2 MiB. The part of a buffer past its last whole
// block stays on small pages, so no memory is committed beyond what is written. Memory comes
// from operator new. Thread-safe.
#pragma once

#include <cstddef>

namespace kvt {

inline constexpr size_t kHugePage = size_t{2} << 20;
inline constexpr size_t kLargeBuffer = size_t{2} << 20;

// Marks the whole 2 MiB blocks inside [p, p + n) for huge pages. Best effort: no-op where the
// system has no such advice. Meant for memory not yet written.
void advise_huge_pages(void* p, size_t n) noexcept;

// Freed large buffers are kept for reuse, at most kCachedBlocks of them and kCachedBytes in all
// (the oldest go first), so that a process parsing frame after frame writes into pages it has
// already faulted in rather than into fresh ones, which the system must also zero.
inline constexpr size_t kCachedBlocks = 16;
inline constexpr size_t kCachedBytes = size_t{64} << 20;

// n >= kLargeBuffer bytes: a kept buffer of n to 5n/4 bytes, else a new one advised as above;
// throws std::bad_alloc. free_large takes back what allocate_large gave, with the n asked for.
void* allocate_large(size_t n);
void free_large(void* p, size_t n) noexcept;

// Turns reuse on (the default) or off; off, every buffer is allocated and freed as asked, which
// tests that count allocations rely on. Buffers already kept stay kept until reused or dropped.
void set_large_buffer_reuse(bool on) noexcept;

}  // namespace kvt
