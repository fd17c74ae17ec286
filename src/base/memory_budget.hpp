// The memory budget of one call: what the system can still give, charged as a result grows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace velkor::base {

// What a result costs once it is handed over, beyond the algorithms' own
// storage: the objects and the container that hold its entries. The code
// that builds the container supplies it; the algorithms only count nodes
// and entries.
class ResultCost {
 public:
  // Bytes per node of the result.
  virtual std::size_t node_bytes() const noexcept = 0;
  // The most bytes held at any moment while `entries` entries are built,
  // transient peaks included (a hash table that grows holds its old and its
  // new table for a moment). Never decreases as `entries` grows; SIZE_MAX
  // when it does not fit in size_t.
  virtual std::size_t entry_bytes(std::size_t entries) const noexcept = 0;

 protected:
  ~ResultCost() = default;
};

// A fixed number of bytes per entry and per node (tests, benchmarks).
class LinearResultCost final : public ResultCost {
 public:
  constexpr explicit LinearResultCost(std::size_t per_entry, std::size_t per_node = 0) noexcept
      : per_entry_(per_entry), per_node_(per_node) {}
  std::size_t node_bytes() const noexcept override { return per_node_; }
  std::size_t entry_bytes(std::size_t entries) const noexcept override {
    return per_entry_ != 0 && entries > SIZE_MAX / per_entry_ ? SIZE_MAX : entries * per_entry_;
  }

 private:
  std::size_t per_entry_;
  std::size_t per_node_;
};

// A charge the budget refused: what the call would have held in all, and
// what the system allows. It is a std::bad_alloc, so code that only knows
// about exhausted memory treats it as such.
class BudgetExceeded : public std::bad_alloc {
 public:
  BudgetExceeded(std::size_t needed, std::size_t available, std::size_t entries);
  const char* what() const noexcept override { return message_.c_str(); }
  std::size_t needed() const noexcept { return needed_; }
  std::size_t available() const noexcept { return available_; }

 private:
  std::size_t needed_;
  std::size_t available_;
  std::string message_;
};

// A call's allowance of memory. It is read once, when the charges of the
// call first pass kUnchecked (small calls never read it): the memory room
// of platform/memory_room.hpp, the smallest of available memory, the room
// under the limits of the process's cgroup (Linux) or job object (Windows),
// and the room left in the address space. Result storage and
// result entries are charged as they are made, entries at the price of the
// call's ResultCost; a charge that would exceed the allowance throws
// BudgetExceeded, so a result that cannot be held
// is refused long before the dict would be built, instead of the kernel
// ending the process. Against the system's allowance, totals up to
// kUnchecked always pass: the limits are estimates, and small calls must
// never be refused on their account.
class MemoryBudget {
 public:
  static constexpr std::size_t kUnchecked = std::size_t{64} << 20;

  // The system's allowance, read when first needed. `cost` must outlive
  // the budget.
  explicit MemoryBudget(const ResultCost& cost) noexcept : cost_(cost) {}
  // A fixed allowance (tests).
  MemoryBudget(std::size_t limit, const ResultCost& cost) noexcept
      : cost_(cost), limit_(limit), fixed_(true) {}

  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Adds `bytes` to the total; throws BudgetExceeded, leaving the total
  // unchanged, when it would exceed the allowance. Safe from any thread.
  void charge(std::size_t bytes);
  // `nodes` result nodes at the cost's price.
  void charge_nodes(std::size_t nodes);
  // `entries` more result entries. Each charge adds what the cost of all
  // entries so far grew by, so the charges of any threads in any order sum
  // to the cost of the final count.
  void charge_entries(std::size_t entries);
  // Storage freed before the result is handed over.
  void release(std::size_t bytes) noexcept;
  // What `entries` entries cost in all (SIZE_MAX when it does not fit).
  std::size_t entries_cost(std::size_t entries) const noexcept { return cost_.entry_bytes(entries); }

  // The allowance (reading it if not read yet).
  std::size_t limit() noexcept;
  std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kUnread = 0;

  const ResultCost& cost_;
  std::atomic<std::size_t> limit_{kUnread};
  bool fixed_ = false;
  std::atomic<std::size_t> used_{0};
  std::atomic<std::size_t> entries_{0};
};

}  // namespace velkor::base
