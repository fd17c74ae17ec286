// Aligned allocation of large blocks, and the advice to back them with huge pages.
#pragma once

#include <cstddef>

namespace velkor::platform {

// `bytes` (a multiple of `alignment`, a power of two) at an address aligned
// to `alignment`; null when the memory is not there. Freed with
// free_aligned only.
void* allocate_aligned(std::size_t alignment, std::size_t bytes) noexcept;
void free_aligned(void* p) noexcept;

// Asks the system to back [p, p + bytes) with huge pages where it takes such
// advice (Linux); advice only, nothing changes when it is not taken.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

}  // namespace velkor::platform
