// The memory budget of one call: what the system can still give, charged as a result grows.
#pragma once

#include <atomic>
#include <cstddef>

namespace velkor::base {

// What one entry of a result dict costs at least: its key 2-tuple and its
// slot in the dict.
inline constexpr std::size_t kDictEntryBytes = 96;

// A call's allowance of memory. It is read once, when the charges of the
// call first pass kUnchecked (small calls never read it), from the smallest
// of: available RAM plus free
// swap; the room left under the cgroup's memory limit (v2 memory.max or v1
// memory.limit_in_bytes, of the process's cgroup and its ancestors); the
// room left under the address-space limit (RLIMIT_AS). Result storage and
// result entries are charged as they are made; a charge that would exceed
// the allowance fails with std::bad_alloc, so a result that cannot be held
// is refused long before the dict would be built, instead of the kernel
// ending the process. Against the system's allowance, totals up to
// kUnchecked always pass: the limits are estimates, and small calls must
// never be refused on their account.
class MemoryBudget {
 public:
  static constexpr std::size_t kUnchecked = std::size_t{64} << 20;

  // The system's allowance, read when first needed.
  MemoryBudget() noexcept = default;
  // A fixed allowance (tests).
  explicit MemoryBudget(std::size_t limit) noexcept : limit_(limit), fixed_(true) {}

  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Adds `bytes` to the total; throws std::bad_alloc, leaving the total
  // unchanged, when it would exceed the allowance. Safe from any thread.
  void charge(std::size_t bytes);
  // `entries` result dict entries.
  void charge_entries(std::size_t entries);
  // Storage freed before the result dict is built.
  void release(std::size_t bytes) noexcept;

  // The allowance (reading it if not read yet).
  std::size_t limit() noexcept;
  std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kUnread = 0;

  std::atomic<std::size_t> limit_{kUnread};
  bool fixed_ = false;
  std::atomic<std::size_t> used_{0};
};

// The pieces of the allowance, in bytes (SIZE_MAX where there is no limit
// or it cannot be read). Exposed for tests and diagnostics.
std::size_t system_available_memory() noexcept;
std::size_t cgroup_available_memory() noexcept;
std::size_t address_space_available() noexcept;

}  // namespace velkor::base
