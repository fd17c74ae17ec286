// A count of the heap bytes a piece of code holds, through this program's own global allocation functions.
#pragma once

#include <cstdint>

#include "base/memory_budget.hpp"

namespace counting_heap {

// Counts the heap bytes held from its start to its end, and compares them
// with what `budget` has charged at every allocation. One at a time.
class Watch {
 public:
  explicit Watch(const velkor::base::MemoryBudget& budget);
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch();

  std::int64_t live() const;
  std::int64_t peak() const;
  // The most bytes held beyond the budget's charge at any allocation.
  std::int64_t excess() const;
};

}  // namespace counting_heap
