// The memory budget: what the calls of the process hold, against what the system can still give.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
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

class MemoryBudget;

// What all the calls of a process hold and will hold, against the room the
// system gives. One ledger serves the whole process (process()), so that
// calls running at the same time, on threads or truly in parallel, are
// compared together: their charges sum, and the sum must fit.
//
// The room is read from the system (platform/memory_room.hpp: available
// memory, the room under the limits of the process's cgroups or job
// object, the room left in the address space). A reading already reflects
// what the calls have allocated; what they have charged and not yet
// allocated (the entries of results still to be built) is not in it. So a
// reading sets the footprint all calls together may reach: the room read
// plus what they held allocated at that moment. Memory a call frees goes
// back to the system and stays within that footprint; the built result a
// call hands over stays allocated and leaves it.
//
// Readings are quick (a lower bound, cheap enough for every call) or
// precise (the memory the system reclaims before it refuses any counted).
// A reading a fraction of a second old serves small charges, so that small
// calls make no system call; it is renewed when it is older, when the
// charges have grown since by a share of it or by 16 MiB, and during a result's build
// (built()), since other processes allocate too. A charge that does not
// fit is tried again on a precise reading before it is refused.
//
// Safe from any thread without the interpreter lock.
class Ledger {
 public:
  // The process's ledger, on the system's room.
  static Ledger& process() noexcept;
  // A ledger on the system's room (tests).
  Ledger() noexcept = default;
  // A ledger on a fixed room: `memory` bytes of memory, `address_space`
  // bytes of address space, never read from the system (tests).
  Ledger(std::size_t memory, std::size_t address_space) noexcept;

  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;

  // Memory charged by all calls now; address space reserved beyond it;
  // charged memory not yet allocated.
  std::size_t charged() const noexcept { return charged_.load(std::memory_order_relaxed); }
  std::size_t reserved() const noexcept { return reserved_.load(std::memory_order_relaxed); }
  std::size_t pending() const noexcept { return pending_.load(std::memory_order_relaxed); }

 private:
  friend class MemoryBudget;

  // What a charge is compared with: the footprint all calls may reach, in
  // memory and in address space.
  struct Room {
    std::size_t memory;
    std::size_t address_space;
  };
  // What a charge asks of the reading: renewed as its age and the growth
  // since say (any), as the growth says (young), renewed now, or the last
  // one as it is (kept).
  enum class Fresh { any, young, renewed, kept };

  // The room; renewed (quickly) first when `fresh` asks for it, or when
  // the last reading is old or the charges grew since, with `grow` bytes
  // more, by a share of it.
  Room room(std::size_t grow, Fresh fresh);
  // Reads the system afresh, precisely; false for a fixed room, which is
  // never read.
  bool renew_precisely();
  void read(bool precise);
  // A call ends: `bytes` of its built result stay allocated, outside the
  // ledger.
  void hand_over(std::size_t bytes) noexcept;
  // The live budgets, in the order they were made.
  void enter(MemoryBudget& budget) noexcept;
  void leave(MemoryBudget& budget) noexcept;
  // What the budgets made after `budget` have charged for results not yet
  // built.
  std::size_t pending_after(const MemoryBudget& budget);

  const bool fixed_ = false;
  std::mutex mutex_;  // held while a reading is taken or adjusted, and for the list
  MemoryBudget* oldest_ = nullptr;
  MemoryBudget* youngest_ = nullptr;
  std::atomic<std::size_t> charged_{0};
  std::atomic<std::size_t> reserved_{0};
  std::atomic<std::size_t> pending_{0};
  // The last reading: the footprint it allows, when it was taken (steady
  // clock, ns; 0: never), the charges then (less those of calls ended
  // since, so that the difference is what the live calls grew).
  std::atomic<std::size_t> room_memory_{SIZE_MAX};
  std::atomic<std::size_t> room_address_space_{SIZE_MAX};
  std::atomic<std::int64_t> read_at_{0};
  std::atomic<std::size_t> charged_at_read_{0};
};

// A call's allowance of memory, charged from the first byte the call takes
// (the input's edge list and node numbering) to the last (the result dict
// at its peak), on the process's ledger with every other call's. Every
// charge, however small, is compared with the room: a charge that does not
// fit next to what all calls hold throws BudgetExceeded and leaves the
// totals unchanged, so a call that cannot be held is refused before it
// takes the memory, instead of the kernel ending the process. While the
// result is built, built() renews the room and refuses the rest of the
// build when it no longer fits. Everything charged is given back when the
// budget ends.
//
// Two totals are kept: memory charged (storage, scratch, result entries at
// the price of the call's ResultCost), which must fit in both the memory
// and the address-space room, and address space reserved without being
// memory (threads), which must fit with it in the address-space room.
class MemoryBudget {
 public:
  // On the process's ledger. `cost` prices result entries and nodes; it
  // may be given later (set_cost), before the first such charge, and must
  // outlive the budget.
  MemoryBudget() noexcept : MemoryBudget(Ledger::process(), nullptr) {}
  explicit MemoryBudget(const ResultCost& cost) noexcept : MemoryBudget(Ledger::process(), &cost) {}
  // On `ledger`, which must outlive the budget.
  MemoryBudget(Ledger& ledger, const ResultCost& cost) noexcept : MemoryBudget(ledger, &cost) {}
  // Alone on a fixed room (tests): `limit` bytes of memory, `address_space`
  // bytes of address space.
  MemoryBudget(std::size_t limit, const ResultCost& cost, std::size_t address_space = SIZE_MAX);
  ~MemoryBudget();

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
  // to the cost of the final count. Allocated only when the result is built.
  void charge_entries(std::size_t entries);
  // While the result is built: its first `entries` entries are allocated.
  // Renews the room and throws BudgetExceeded when what all calls are
  // still to allocate no longer fits (`renew`: the last call, at the end of
  // the build, renews nothing). Calling thread only.
  void built(std::size_t entries, bool renew = true);
  // Storage freed before the call ends.
  void release(std::size_t bytes) noexcept;
  // Address space mapped beyond charged memory (a thread's stack and arena).
  void reserve_address_space(std::size_t bytes);
  void release_address_space(std::size_t bytes) noexcept;
  // What `entries` entries cost in all (SIZE_MAX when it does not fit).
  std::size_t entries_cost(std::size_t entries) const noexcept { return cost_->entry_bytes(entries); }

  // The most this call may hold now, its own charges included: its share
  // of the room next to what the other calls hold.
  std::size_t limit();
  // Memory charged now, and the most charged at any moment.
  std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }
  std::size_t peak() const noexcept { return peak_.load(std::memory_order_relaxed); }
  std::size_t reserved() const noexcept { return reserved_.load(std::memory_order_relaxed); }

 private:
  friend class Ledger;
  MemoryBudget(Ledger& ledger, const ResultCost* cost) noexcept;
  // Adds `bytes` of memory (`memory`) or address space to the ledger's
  // totals and to this call's once everything fits.
  void add_fitting(std::size_t bytes, bool memory, Ledger::Fresh fresh = Ledger::Fresh::any);
  // `yielded`: what the later calls yield to this one.
  [[noreturn]] void refuse(std::size_t bytes, bool memory, const Ledger::Room& room, std::size_t yielded);

  std::unique_ptr<Ledger> own_ledger_;  // a fixed room's
  Ledger& ledger_;
  const ResultCost* cost_ = nullptr;
  std::atomic<std::size_t> used_{0};
  std::atomic<std::size_t> peak_{0};
  std::atomic<std::size_t> reserved_{0};
  std::atomic<std::size_t> entries_{0};
  std::atomic<std::size_t> pending_{0};  // result bytes charged, not yet built
  std::atomic<unsigned> charges_{0};
  std::size_t built_ = 0;                // result bytes built
  // The ledger's live budgets, oldest first; under the ledger's mutex.
  MemoryBudget* older_ = nullptr;
  MemoryBudget* younger_ = nullptr;
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
