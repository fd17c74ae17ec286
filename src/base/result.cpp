// Row-ordered results: storage and its charge to the call's memory budget.
#include "base/result.hpp"

#include <algorithm>
#include <new>

#include "platform/aligned_memory.hpp"

namespace velkor::base {

void* allocate_bytes(std::size_t bytes) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  const bool huge = bytes >= 2 * kHuge;
  const std::size_t align = huge ? kHuge : kStorageAlignment;
  if (bytes > SIZE_MAX - align) throw std::bad_alloc();
  const std::size_t rounded = (std::max<std::size_t>(bytes, 1) + align - 1) / align * align;
  void* p = platform::allocate_aligned(align, rounded);
  if (!p) throw std::bad_alloc();
  if (huge) platform::advise_huge_pages(p, rounded);
  return p;
}

SquareRows::SquareRows(std::uint32_t n, MemoryBudget* budget) : n_(n) {
  const std::size_t cells = std::size_t{n} * n;
  if (budget) {
    if (cells > SIZE_MAX / sizeof(Weight)) throw std::bad_alloc();
    budget->charge_nodes(n);
    budget->charge_entries(cells);
    budget->charge(cells * sizeof(Weight));
  }
  cells_ = allocate_storage<Weight>(cells);
}

}  // namespace velkor::base
