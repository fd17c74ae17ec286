// Sizes checked for overflow, and memory charged to the call's budget before it is allocated.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "base/memory_budget.hpp"
#include "base/model.hpp"
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

// Bytes of `count` items of T.
template <class T>
std::size_t bytes_of(std::size_t count) {
  return checked_mul(count, sizeof(T));
}

// A charge to the budget (when there is one) for memory the algorithm holds
// for a while: charged before the memory is allocated, given back once it
// is freed, the rest when the charge ends. Moves with the memory it covers.
// Without a budget every operation is a no-op.
class ScratchCharge {
 public:
  ScratchCharge() = default;
  explicit ScratchCharge(base::MemoryBudget* budget, std::size_t bytes = 0) : budget_(budget) { add(bytes); }
  ScratchCharge(ScratchCharge&& other) noexcept
      : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  ScratchCharge& operator=(ScratchCharge&& other) noexcept {
    if (this != &other) {
      clear();
      budget_ = std::exchange(other.budget_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  ~ScratchCharge() { clear(); }

  base::MemoryBudget* budget() const noexcept { return budget_; }
  std::size_t bytes() const noexcept { return bytes_; }

  // Charges `bytes` more; throws BudgetExceeded, charging nothing, when
  // they do not fit.
  void add(std::size_t bytes) {
    if (!budget_) return;
    budget_->charge(bytes);
    bytes_ += bytes;
  }

  // `bytes` of the memory are freed.
  void release(std::size_t bytes) noexcept {
    if (!budget_) return;
    bytes = std::min(bytes, bytes_);
    budget_->release(bytes);
    bytes_ -= bytes;
  }

  // `bytes` of the memory go to the result: their charge stays when this
  // one ends.
  void keep(std::size_t bytes) noexcept { bytes_ -= std::min(bytes, bytes_); }

  // All of the memory is freed.
  void clear() noexcept { release(bytes_); }

 private:
  base::MemoryBudget* budget_ = nullptr;
  std::size_t bytes_ = 0;
};

// Gives `v` room for at least `count` items: when it must grow, the new
// capacity (exactly `count`) is charged before it is allocated and the old
// one given back once it is freed. Later growth within `count` allocates
// nothing.
template <class T>
void reserve_charged(std::vector<T>& v, std::size_t count, ScratchCharge& charge) {
  if (count <= v.capacity()) return;
  const std::size_t old = v.capacity() * sizeof(T);
  charge.add(bytes_of<T>(count));
  v.reserve(count);
  charge.release(old);
}

// Appends `item` to a vector that grows item by item on a working thread:
// when it is full, its capacity doubles under `charge`. The check is the
// one push_back makes anyway; the charge is paid once per doubling.
template <class T>
void push_charged(std::vector<T>& v, const T& item, ScratchCharge& charge) {
  if (v.size() == v.capacity()) reserve_charged(v, std::max<std::size_t>(16, 2 * v.capacity()), charge);
  v.push_back(item);
}

// Scratch storage of `count` items, charged to `charge` first.
template <class T>
base::Storage<T> scratch_storage(ScratchCharge& charge, std::size_t count) {
  charge.add(base::storage_bytes_of<T>(count));
  return base::allocate_storage<T>(count);
}

// Charges result storage of `count` items of `size` bytes, as a vector of
// them holds it; it stays charged.
inline void charge_storage(base::MemoryBudget* budget, std::size_t count, std::size_t size) {
  if (budget) budget->charge(checked_mul(count, size));
}

// Result storage of `count` items, charged to the budget (when there is
// one) before it is allocated; it stays charged, as the result holds it
// until the dict is built.
template <class T>
base::Storage<T> charged_storage(base::MemoryBudget* budget, std::size_t count) {
  if (budget) budget->charge(base::storage_bytes_of<T>(count));
  return base::allocate_storage<T>(count);
}

// The input's edge list is charged to the call's budget by the code that
// read it, at its capacity. Freeing it gives that charge back.
inline void free_edges(std::vector<base::Edge>& edges, base::MemoryBudget* budget) noexcept {
  const std::size_t bytes = edges.capacity() * sizeof(base::Edge);
  std::vector<base::Edge>().swap(edges);
  if (budget) budget->release(bytes);
}

}  // namespace velkor::algo::detail
