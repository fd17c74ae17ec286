// Row-ordered results: storage and its charge to the call's memory budget.
#include "base/result.hpp"

#include <new>

#include "platform/aligned_memory.hpp"

namespace velkor::base {

void* allocate_bytes(std::size_t bytes) {
  const std::size_t align = storage_alignment(bytes);
  const std::size_t rounded = storage_bytes(bytes);
  void* p = ::operator new(rounded, std::align_val_t{align});
  if (align == kHugePageBytes) platform::advise_huge_pages(p, rounded);
  return p;
}

SquareRows::SquareRows(std::uint32_t n, MemoryBudget* budget) : n_(n) {
  const std::size_t cells = std::size_t{n} * n;
  if (budget) {
    budget->charge_nodes(n);
    budget->charge_entries(cells);
    budget->charge(storage_bytes_of<Weight>(cells));
  }
  cells_ = allocate_storage<Weight>(cells);
}

}  // namespace velkor::base
