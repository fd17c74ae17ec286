// A check against the memory the system can still give, made before large allocations.
#pragma once

#include <cstddef>

namespace velkor::base {

// Memory the system can still hand out, in bytes (available RAM plus free
// swap), or SIZE_MAX when it cannot be read.
std::size_t available_memory() noexcept;

// Throws std::bad_alloc when a request of `bytes` clearly cannot be met.
// Large requests are checked because the kernel may grant memory it cannot
// back and end the whole process later, instead of failing the allocation.
// Small requests (below 64 MiB) are not checked.
void ensure_available(std::size_t bytes);

}  // namespace velkor::base
