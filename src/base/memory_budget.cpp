// The memory budget of one call: reading the system's limits and charging against them.
#include "base/memory_budget.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/memory_room.hpp"

namespace velkor::base {

std::size_t MemoryBudget::limit() noexcept {
  std::size_t limit = limit_.load(std::memory_order_acquire);
  if (!fixed_ && limit == kUnread) {
    // Two threads may both read the system; either answer will do.
    limit = std::max(kUnchecked, platform::memory_room());
    limit_.store(limit, std::memory_order_release);
  }
  return limit;
}

BudgetExceeded::BudgetExceeded(std::size_t needed, std::size_t available, std::size_t entries)
    : needed_(needed), available_(available) {
  message_ = "the result needs at least " +
             (needed == SIZE_MAX ? std::string("more") : std::to_string(needed)) +
             " bytes of memory (" + std::to_string(entries) +
             " entries or more), but only " + std::to_string(available) + " bytes are available";
}

void MemoryBudget::charge(std::size_t bytes) {
  std::size_t used = used_.load(std::memory_order_relaxed);
  for (;;) {
    const std::size_t total = bytes > SIZE_MAX - used ? SIZE_MAX : used + bytes;
    if ((fixed_ || total > kUnchecked) && total > limit())
      throw BudgetExceeded(total, limit(), entries_.load(std::memory_order_relaxed));
    if (used_.compare_exchange_weak(used, total, std::memory_order_relaxed)) return;
  }
}

void MemoryBudget::charge_nodes(std::size_t nodes) {
  const std::size_t per = cost_.node_bytes();
  charge(per != 0 && nodes > SIZE_MAX / per ? SIZE_MAX : nodes * per);
}

void MemoryBudget::charge_entries(std::size_t entries) {
  const std::size_t before = entries_.fetch_add(entries, std::memory_order_relaxed);
  const std::size_t after = entries > SIZE_MAX - before ? SIZE_MAX : before + entries;
  const std::size_t was = cost_.entry_bytes(before), now = cost_.entry_bytes(after);
  try {
    charge(now == SIZE_MAX ? SIZE_MAX : now - was);
  } catch (...) {
    entries_.fetch_sub(entries, std::memory_order_relaxed);
    throw;
  }
}

void MemoryBudget::release(std::size_t bytes) noexcept {
  std::size_t used = used_.load(std::memory_order_relaxed);
  while (!used_.compare_exchange_weak(used, used > bytes ? used - bytes : 0,
                                      std::memory_order_relaxed)) {
  }
}

}  // namespace velkor::base
