// Aligned allocation of large blocks, and the advice to back them with huge pages.
#include "platform/aligned_memory.hpp"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#elif defined(_WIN32)
#include <malloc.h>
#endif

namespace velkor::platform {

// The Windows C runtime has no aligned_alloc: its aligned blocks come from
// _aligned_malloc and go back through _aligned_free, not free.
void* allocate_aligned(std::size_t alignment, std::size_t bytes) noexcept {
#if defined(_WIN32)
  return _aligned_malloc(bytes, alignment);
#else
  return std::aligned_alloc(alignment, bytes);
#endif
}

void free_aligned(void* p) noexcept {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
}

}  // namespace velkor::platform
