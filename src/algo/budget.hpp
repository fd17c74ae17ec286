// Sizes checked for overflow, and storage handed out already charged to the call's budget.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

#include "base/memory_budget.hpp"
#include "base/result.hpp"

namespace velkor::algo::detail {

// a * b, or std::bad_alloc when the product does not fit in size_t; used for
// every buffer whose size grows with a square.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) throw std::bad_alloc();
  return a * b;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
  if (b > std::numeric_limits<std::size_t>::max() - a) throw std::bad_alloc();
  return a + b;
}

// Charges `bytes` to the budget (when there is one) for as long as it lives:
// scratch that grows with the edge count or with a square, freed before the
// call returns.
class ScratchCharge {
 public:
  ScratchCharge() = default;
  ScratchCharge(base::MemoryBudget* budget, std::size_t bytes) { add(budget, bytes); }
  ScratchCharge(const ScratchCharge&) = delete;
  ScratchCharge& operator=(const ScratchCharge&) = delete;
  ~ScratchCharge() { clear(); }

  void add(base::MemoryBudget* budget, std::size_t bytes) {
    if (!budget) return;
    budget->charge(bytes);
    budget_ = budget;
    bytes_ += bytes;
  }

  // The storage is gone: gives its charge back.
  void clear() noexcept {
    if (budget_) budget_->release(bytes_);
    bytes_ = 0;
  }

 private:
  base::MemoryBudget* budget_ = nullptr;
  std::size_t bytes_ = 0;
};

// Charges result storage of `count` items of `size` bytes; it stays charged.
inline void charge_storage(base::MemoryBudget* budget, std::size_t count, std::size_t size) {
  if (budget) budget->charge(checked_mul(count, size));
}

// Result storage of `count` items, charged to the budget (when there is
// one) before it is allocated; it stays charged, as the result holds it
// until the dict is built.
template <class T>
base::Storage<T> charged_storage(base::MemoryBudget* budget, std::size_t count) {
  charge_storage(budget, count, sizeof(T));
  return base::allocate_storage<T>(count);
}

}  // namespace velkor::algo::detail
