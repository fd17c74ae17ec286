// The memory budget of one call: reading the system's room and charging against it.
#include "base/memory_budget.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/memory_room.hpp"

namespace velkor::base {

namespace {

std::size_t add(std::size_t a, std::size_t b) noexcept { return b > SIZE_MAX - a ? SIZE_MAX : a + b; }

std::string bytes_text(std::size_t bytes) { return bytes == SIZE_MAX ? "more" : std::to_string(bytes); }

}  // namespace

BudgetExceeded::BudgetExceeded(std::size_t needed, std::size_t available, std::size_t entries,
                               bool address_space)
    : needed_(needed), available_(available) {
  const char* what = address_space ? " bytes of address space" : " bytes of memory";
  message_ = (entries > 0 ? "the result needs at least " : "the call needs at least ") + bytes_text(needed) +
             what + (entries > 0 ? " (" + std::to_string(entries) + " entries or more)" : std::string()) +
             ", but only " + std::to_string(available) + " bytes are available";
}

void MemoryBudget::read_room() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (read_.load(std::memory_order_relaxed)) return;
  const platform::MemoryRoom room = platform::memory_room(false);
  room_memory_.store(room.memory, std::memory_order_relaxed);
  room_address_space_.store(room.address_space, std::memory_order_relaxed);
  read_.store(true, std::memory_order_release);
}

bool MemoryBudget::refine_room() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refined_) return false;
  refined_ = true;
  // The first reading was a quick lower bound; before a charge is refused,
  // everything is read afresh, the memory the system reclaims before it
  // refuses any (available memory, inactive page cache) counted.
  const platform::MemoryRoom precise = platform::memory_room(true);
  room_memory_.store(precise.memory, std::memory_order_relaxed);
  room_address_space_.store(precise.address_space, std::memory_order_relaxed);
  return true;
}

std::size_t MemoryBudget::limit() {
  if (!read_.load(std::memory_order_acquire)) read_room();
  return room_memory_.load(std::memory_order_relaxed);
}

bool MemoryBudget::fits(std::size_t memory, std::size_t reserved) {
  return memory <= limit() && add(memory, reserved) <= room_address_space_.load(std::memory_order_relaxed);
}

void MemoryBudget::refuse(std::size_t memory, std::size_t reserved) {
  const std::size_t entries = entries_.load(std::memory_order_relaxed);
  const std::size_t room = limit(), address_space = room_address_space_.load(std::memory_order_relaxed);
  // The memory room includes the address space's; the message names the
  // one that binds.
  if (memory > room) throw BudgetExceeded(memory, room, entries, room == address_space);
  throw BudgetExceeded(add(memory, reserved), address_space, entries, true);
}

std::size_t MemoryBudget::add_fitting(std::atomic<std::size_t>& total, std::size_t bytes, bool memory) {
  std::atomic<std::size_t>& other = memory ? reserved_ : used_;
  std::size_t value = total.load(std::memory_order_relaxed);
  for (;;) {
    const std::size_t grown = add(value, bytes), rest = other.load(std::memory_order_relaxed);
    const std::size_t used = memory ? grown : rest, reserved = memory ? rest : grown;
    if (!fits(used, reserved)) {
      if (refine_room()) continue;
      refuse(used, reserved);
    }
    if (total.compare_exchange_weak(value, grown, std::memory_order_relaxed)) return grown;
  }
}

void MemoryBudget::charge(std::size_t bytes) {
  if (bytes == 0) return;
  const std::size_t total = add_fitting(used_, bytes, true);
  std::size_t peak = peak_.load(std::memory_order_relaxed);
  while (total > peak && !peak_.compare_exchange_weak(peak, total, std::memory_order_relaxed)) {
  }
}

void MemoryBudget::reserve_address_space(std::size_t bytes) {
  if (bytes != 0) add_fitting(reserved_, bytes, false);
}

void MemoryBudget::charge_nodes(std::size_t nodes) {
  const std::size_t per = cost_->node_bytes();
  charge(per != 0 && nodes > SIZE_MAX / per ? SIZE_MAX : nodes * per);
}

void MemoryBudget::charge_entries(std::size_t entries) {
  const std::size_t before = entries_.fetch_add(entries, std::memory_order_relaxed);
  const std::size_t after = add(before, entries);
  const std::size_t was = cost_->entry_bytes(before), now = cost_->entry_bytes(after);
  try {
    charge(now == SIZE_MAX ? SIZE_MAX : now - was);
  } catch (...) {
    entries_.fetch_sub(entries, std::memory_order_relaxed);
    throw;
  }
}

namespace {

void take_from(std::atomic<std::size_t>& total, std::size_t bytes) noexcept {
  std::size_t value = total.load(std::memory_order_relaxed);
  while (!total.compare_exchange_weak(value, value > bytes ? value - bytes : 0, std::memory_order_relaxed)) {
  }
}

}  // namespace

void MemoryBudget::release(std::size_t bytes) noexcept { take_from(used_, bytes); }

void MemoryBudget::release_address_space(std::size_t bytes) noexcept { take_from(reserved_, bytes); }

}  // namespace velkor::base
