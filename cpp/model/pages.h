// Large buffers on huge pages.
//
// A fresh buffer costs a page fault per 4 KiB page on its first write: about 15 ms for 33 MB
// here, four times the cost of writing it. Columns and frames are large and written once, so
// buffers of kLargeBuffer bytes or more are aligned to 2 MiB and their whole 2 MiB blocks are
// marked for transparent huge pages (madvise MADV_HUGEPAGE, which takes effect where the system
// leaves huge pages to madvise, the usual default): one fault per 2 MiB. Memory still comes
// from malloc, so allocation hooks and limits see it; the part of a buffer past its last whole
// block stays on small pages, so no memory is committed beyond what is written.
#pragma once

#include <cstddef>

namespace kvt {

inline constexpr size_t kHugePage = size_t{2} << 20;
inline constexpr size_t kLargeBuffer = size_t{2} << 20;

// Marks the whole 2 MiB blocks inside [p, p + n) for huge pages. Best effort: no-op where the
// system has no such advice. Meant for memory not yet written.
void advise_huge_pages(void* p, size_t n) noexcept;

// n bytes aligned to 2 MiB (n >= kLargeBuffer), advised as above; throws std::bad_alloc.
void* allocate_large(size_t n);
void free_large(void* p) noexcept;

}  // namespace kvt
