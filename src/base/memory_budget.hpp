// The memory budget of one call: what the system can still give, charged as a result grows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <vector>

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
  // `entries`: the result entries charged so far (0 while the input is read).
  BudgetExceeded(std::size_t needed, std::size_t available, std::size_t entries,
                 bool address_space = false);
  const char* what() const noexcept override { return message_.c_str(); }
  std::size_t needed() const noexcept { return needed_; }
  std::size_t available() const noexcept { return available_; }

 private:
  std::size_t needed_;
  std::size_t available_;
  std::string message_;
};

// A call's allowance of memory, charged from the first byte the call takes
// (the input's edge list and node numbering) to the last (the result dict
// at its peak). Every charge is compared with the room, however small: the
// room is read from the system at the first charge (platform/memory_room.hpp:
// available memory, the room under the limits of the process's cgroup or
// job object, the room left in the address space), quickly, as a lower
// bound, and read again precisely, with the memory the system can reclaim
// counted, before a charge is refused, so that a refusal states the true
// room. A
// charge that does not fit throws BudgetExceeded and leaves the totals
// unchanged, so a call that cannot be held is refused before it takes the
// memory, instead of the kernel ending the process.
//
// Two totals are kept: memory charged (storage, scratch, result entries at
// the price of the call's ResultCost), which must fit in both the memory
// and the address-space room, and address space reserved without being
// memory (threads), which must fit with it in the address-space room.
class MemoryBudget {
 public:
  // The system's room, read at the first charge. `cost` prices result
  // entries and nodes; it may be given later (set_cost), before the first
  // such charge, and must outlive the budget.
  MemoryBudget() noexcept = default;
  explicit MemoryBudget(const ResultCost& cost) noexcept : cost_(&cost) {}
  // A fixed room (tests): `limit` bytes of memory, `address_space` bytes of
  // address space.
  MemoryBudget(std::size_t limit, const ResultCost& cost, std::size_t address_space = SIZE_MAX) noexcept
      : cost_(&cost), room_memory_(limit), room_address_space_(address_space), read_(true),
        refined_(true) {}

  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  void set_cost(const ResultCost& cost) noexcept { cost_ = &cost; }

  // Adds `bytes` of memory to the total; throws BudgetExceeded, leaving the
  // total unchanged, when it does not fit. Safe from any thread.
  void charge(std::size_t bytes);
  // `nodes` result nodes at the cost's price.
  void charge_nodes(std::size_t nodes);
  // `entries` more result entries. Each charge adds what the cost of all
  // entries so far grew by, so the charges of any threads in any order sum
  // to the cost of the final count.
  void charge_entries(std::size_t entries);
  // Storage freed before the call ends.
  void release(std::size_t bytes) noexcept;
  // Address space mapped beyond charged memory (a thread's stack and arena).
  void reserve_address_space(std::size_t bytes);
  void release_address_space(std::size_t bytes) noexcept;
  // What `entries` entries cost in all (SIZE_MAX when it does not fit).
  std::size_t entries_cost(std::size_t entries) const noexcept { return cost_->entry_bytes(entries); }

  // The memory room (reading it if not read yet).
  std::size_t limit();
  // Memory charged now, and the most charged at any moment.
  std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }
  std::size_t peak() const noexcept { return peak_.load(std::memory_order_relaxed); }
  std::size_t reserved() const noexcept { return reserved_.load(std::memory_order_relaxed); }

 private:
  // Whether `memory` charged and `reserved` address space fit in the room.
  bool fits(std::size_t memory, std::size_t reserved);
  // Reads the room quickly at the first charge; refine_room reads it
  // precisely, once, before a charge is refused. True when it read.
  void read_room();
  bool refine_room();
  [[noreturn]] void refuse(std::size_t memory, std::size_t reserved);
  // Adds `bytes` to `total` (memory when `memory`, else address space) once
  // both totals fit; returns the new total.
  std::size_t add_fitting(std::atomic<std::size_t>& total, std::size_t bytes, bool memory);

  const ResultCost* cost_ = nullptr;
  // The room, once read; written under mutex_, read by any thread.
  std::atomic<std::size_t> room_memory_{SIZE_MAX};
  std::atomic<std::size_t> room_address_space_{SIZE_MAX};
  std::atomic<bool> read_{false};
  bool refined_ = false;  // under mutex_
  std::mutex mutex_;
  std::atomic<std::size_t> used_{0};
  std::atomic<std::size_t> peak_{0};
  std::atomic<std::size_t> reserved_{0};
  std::atomic<std::size_t> entries_{0};
};

// Replaces a block of `old_bytes` by one of `new_bytes`: charges the new
// block before `grow()` allocates it (both are held while items move), and
// gives back the old one's charge once grow() has freed it, or the new
// one's when grow() throws. No budget: just grow().
template <class Grow>
void grow_charged(MemoryBudget* budget, std::size_t new_bytes, std::size_t old_bytes, Grow&& grow) {
  if (!budget) return grow();
  budget->charge(new_bytes);
  try {
    grow();
  } catch (...) {
    budget->release(new_bytes);
    throw;
  }
  budget->release(old_bytes);
}

// Before one more item is appended to `v`: when it is full, doubles its
// capacity under grow_charged. So a vector filled this way is charged its
// capacity, from its first item.
template <class T, class A>
void reserve_one_more(std::vector<T, A>& v, MemoryBudget* budget) {
  if (v.size() < v.capacity()) return;
  const std::size_t capacity = v.capacity() < 8 ? 16 : 2 * v.capacity();
  grow_charged(budget, capacity * sizeof(T), v.capacity() * sizeof(T), [&] { v.reserve(capacity); });
}

}  // namespace velkor::base
