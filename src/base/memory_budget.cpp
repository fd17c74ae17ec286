// The memory budget of one call: reading the system's room and charging against it.
#include "base/memory_budget.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

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

namespace {

std::size_t sub(std::size_t a, std::size_t b) noexcept { return a > b ? a - b : 0; }

std::int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A quick reading serves charges for this long.
constexpr std::int64_t kReadingLife = 250'000'000;  // ns
// ... unless the charges have grown since by this share of the room, or by
// kGrowthMost, whichever is less: a limit set or memory taken since the
// reading is seen before a large block is charged against it.
constexpr std::size_t kGrowthShare = 32;
constexpr std::size_t kGrowthMost = std::size_t{16} << 20;
// A call's charges look at the reading's age once in this many.
constexpr unsigned kAgeStride = 64;
// Kept free of the system's room: what other processes may allocate
// between two readings while a result is built (the build reads the room
// every few milliseconds).
constexpr std::size_t kMargin = std::size_t{8} << 20;
// How long a build whose room another process took looks for it again
// before it gives up: at least kYieldWait, long enough for a call that
// gives up to free its memory, and up to kYieldSpread more, drawn at
// random; every kYieldLook.
constexpr std::chrono::duration<double, std::milli> kYieldWait{10.0};
constexpr std::chrono::duration<double, std::milli> kYieldSpread{90.0};
constexpr std::chrono::milliseconds kYieldLook{3};

void subtract(std::atomic<std::size_t>& total, std::size_t bytes) noexcept {
  std::size_t value = total.load(std::memory_order_relaxed);
  while (!total.compare_exchange_weak(value, sub(value, bytes), std::memory_order_relaxed)) {
  }
}

// Made when the module is loaded, before any call can run, and never
// destroyed: calls may still run on other threads at exit.
Ledger& process_ledger = *new Ledger();

}  // namespace

Ledger& Ledger::process() noexcept { return process_ledger; }

Ledger::Ledger(std::size_t memory, std::size_t address_space) noexcept
    : fixed_(true), room_memory_(memory), room_address_space_(address_space), read_at_(1) {}

void Ledger::read(bool precise) {
  const platform::MemoryRoom room = platform::memory_room(precise);
  // What the calls hold allocated is in the reading already; the room
  // read is what they may add to it.
  const std::size_t charged = charged_.load(std::memory_order_relaxed);
  const std::size_t allocated = sub(charged, pending_.load(std::memory_order_relaxed));
  const std::size_t reserved = reserved_.load(std::memory_order_relaxed);
  room_memory_.store(add(room.memory, allocated), std::memory_order_relaxed);
  room_address_space_.store(add(room.address_space, add(allocated, reserved)), std::memory_order_relaxed);
  charged_at_read_.store(charged, std::memory_order_relaxed);
  read_at_.store(now_ns(), std::memory_order_release);
}

Ledger::Room Ledger::room(std::size_t grow, Fresh fresh) {
  if (!fixed_ && fresh != Fresh::kept) {
    const std::int64_t at = read_at_.load(std::memory_order_acquire);
    const std::size_t charged = charged_.load(std::memory_order_relaxed);
    const std::size_t growth =
        add(charged, grow) - std::min(charged_at_read_.load(std::memory_order_relaxed), charged);
    const std::size_t least_room = std::min(room_memory_.load(std::memory_order_relaxed),
                                            room_address_space_.load(std::memory_order_relaxed));
    const bool renew = fresh == Fresh::renewed || at == 0 ||
                       growth > std::min(least_room / kGrowthShare, kGrowthMost) ||
                       (fresh == Fresh::any && now_ns() - at > kReadingLife);
    if (renew) {
      std::lock_guard<std::mutex> lock(mutex_);
      read(false);
    }
  }
  const std::size_t margin = fixed_ ? 0 : kMargin;
  return Room{sub(room_memory_.load(std::memory_order_relaxed), margin),
              sub(room_address_space_.load(std::memory_order_relaxed), margin)};
}

bool Ledger::renew_precisely() {
  if (fixed_) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  read(true);
  return true;
}

void Ledger::enter(MemoryBudget& budget) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  budget.older_ = youngest_;
  (youngest_ ? youngest_->younger_ : oldest_) = &budget;
  youngest_ = &budget;
}

void Ledger::leave(MemoryBudget& budget) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  // What the calls left have charged since the reading is what they grew.
  subtract(charged_at_read_, budget.used());
  (budget.older_ ? budget.older_->younger_ : oldest_) = budget.younger_;
  (budget.younger_ ? budget.younger_->older_ : youngest_) = budget.older_;
}

std::size_t Ledger::pending_after(const MemoryBudget& budget) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t pending = 0;
  for (const MemoryBudget* b = budget.younger_; b; b = b->younger_)
    pending = add(pending, b->pending_.load(std::memory_order_relaxed));
  return pending;
}

void Ledger::hand_over(std::size_t bytes) noexcept {
  if (bytes == 0 || fixed_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  subtract(room_memory_, bytes);
  subtract(room_address_space_, bytes);
}

MemoryBudget::MemoryBudget(Ledger& ledger, const ResultCost* cost) noexcept : ledger_(ledger), cost_(cost) {
  ledger_.enter(*this);
}

MemoryBudget::MemoryBudget(std::size_t limit, const ResultCost& cost, std::size_t address_space)
    : own_ledger_(std::make_unique<Ledger>(std::min(limit, address_space), address_space)),
      ledger_(*own_ledger_),
      cost_(&cost) {
  ledger_.enter(*this);
}

MemoryBudget::~MemoryBudget() {
  ledger_.leave(*this);
  // Charges first: a reading taken meanwhile counts less as allocated,
  // never more.
  subtract(ledger_.charged_, used_.load(std::memory_order_relaxed));
  subtract(ledger_.reserved_, reserved_.load(std::memory_order_relaxed));
  subtract(ledger_.pending_, pending_.load(std::memory_order_relaxed));
  ledger_.hand_over(built_);
}

std::size_t MemoryBudget::limit() {
  const Ledger::Room room = ledger_.room(0, Ledger::Fresh::any);
  return sub(room.memory, sub(ledger_.charged(), used()));
}

void MemoryBudget::refuse(std::size_t bytes, bool memory, const Ledger::Room& room, std::size_t yielded) {
  const std::size_t mine = used(), mine_reserved = reserved();
  const std::size_t others = sub(sub(ledger_.charged(), mine), yielded);
  const std::size_t others_reserved = sub(ledger_.reserved(), mine_reserved);
  const std::size_t entries = entries_.load(std::memory_order_relaxed);
  const std::size_t needed = add(mine, memory ? bytes : 0);
  if (memory && needed > sub(room.memory, others))
    throw BudgetExceeded(needed, sub(room.memory, others), entries, room.memory == room.address_space);
  throw BudgetExceeded(add(needed, add(mine_reserved, memory ? 0 : bytes)),
                       sub(room.address_space, add(others, others_reserved)), entries, true);
}

void MemoryBudget::add_fitting(std::size_t bytes, bool memory, Ledger::Fresh fresh) {
  std::atomic<std::size_t>& total = memory ? ledger_.charged_ : ledger_.reserved_;
  std::size_t value = total.load(std::memory_order_relaxed);
  bool refined = false;
  // The reading's age is looked at every kAgeStride charges of a call.
  if (fresh == Ledger::Fresh::any && charges_.fetch_add(1, std::memory_order_relaxed) % kAgeStride != 0)
    fresh = Ledger::Fresh::young;
  for (;;) {
    const std::size_t grown = add(value, bytes);
    const std::size_t charged = memory ? grown : ledger_.charged();
    const std::size_t reserved = memory ? ledger_.reserved() : grown;
    const Ledger::Room room = ledger_.room(bytes, fresh);
    if (fresh == Ledger::Fresh::renewed) fresh = Ledger::Fresh::any;
    const auto fits = [&](std::size_t yielded) {
      const std::size_t held = sub(charged, yielded);
      return held <= room.memory && add(held, reserved) <= room.address_space;
    };
    if (!fits(0)) {
      // Calls started later yield their results still to be built: they
      // are refused at their next charge or during their build, so that
      // of calls that do not fit together the first ones go on.
      const std::size_t yielded = ledger_.pending_after(*this);
      if (!fits(yielded)) {
        // Once read precisely, judged on that reading, not a quick one.
        if (!refined && ledger_.renew_precisely()) {
          refined = true;
          fresh = Ledger::Fresh::kept;
          value = total.load(std::memory_order_relaxed);
          continue;
        }
        refuse(bytes, memory, room, yielded);
      }
    }
    if (total.compare_exchange_weak(value, grown, std::memory_order_relaxed)) break;
  }
  std::atomic<std::size_t>& mine = memory ? used_ : reserved_;
  const std::size_t now = mine.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  if (!memory) return;
  std::size_t peak = peak_.load(std::memory_order_relaxed);
  while (now > peak && !peak_.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void MemoryBudget::charge(std::size_t bytes) {
  if (bytes != 0) add_fitting(bytes, true);
}

void MemoryBudget::reserve_address_space(std::size_t bytes) {
  if (bytes != 0) add_fitting(bytes, false);
}

void MemoryBudget::charge_nodes(std::size_t nodes) {
  const std::size_t per = cost_->node_bytes();
  charge(per != 0 && nodes > SIZE_MAX / per ? SIZE_MAX : nodes * per);
}

void MemoryBudget::charge_entries(std::size_t entries) {
  const std::size_t before = entries_.fetch_add(entries, std::memory_order_relaxed);
  const std::size_t after = add(before, entries);
  const std::size_t was = cost_->entry_bytes(before), now = cost_->entry_bytes(after);
  const std::size_t bytes = now == SIZE_MAX ? SIZE_MAX : now - was;
  // Not allocated until the result is built: pending before it is charged,
  // so that a reading taken meanwhile never counts it as allocated. A cost
  // beyond size_t is refused without being added to what is pending.
  const std::size_t pending = bytes == SIZE_MAX ? 0 : bytes;
  pending_.fetch_add(pending, std::memory_order_relaxed);
  ledger_.pending_.fetch_add(pending, std::memory_order_relaxed);
  try {
    charge(bytes);
  } catch (...) {
    subtract(ledger_.pending_, pending);
    subtract(pending_, pending);
    entries_.fetch_sub(entries, std::memory_order_relaxed);
    throw;
  }
}

void MemoryBudget::built(std::size_t entries, bool renew) {
  const std::size_t pending = pending_.load(std::memory_order_relaxed);
  const std::size_t done = std::min(sub(cost_->entry_bytes(entries), built_), pending);
  built_ += done;
  subtract(ledger_.pending_, done);
  pending_.store(pending - done, std::memory_order_relaxed);
  if (!renew) return;
  try {
    add_fitting(0, true, Ledger::Fresh::renewed);
  } catch (const BudgetExceeded&) {
    // The room shrank under the build. When no other call of this process
    // is building, another process took it: calls in several processes
    // that grow together would all be refused at the same moment. So each
    // looks again every few milliseconds for a while before it gives up, a
    // while drawn at random and the longer the further it has come: the
    // first to give up frees its memory, and the others go on.
    if (ledger_.pending() != pending_.load(std::memory_order_relaxed) || ledger_.fixed_) throw;
    const std::size_t total = built_ + pending_.load(std::memory_order_relaxed);
    const double progress = total == 0 ? 1.0 : static_cast<double>(built_) / static_cast<double>(total);
    const std::int64_t start = now_ns();
    const double draw = static_cast<double>((static_cast<std::uint64_t>(start) >> 10) % 1000) / 1000.0;
    const auto patience = std::chrono::duration_cast<std::chrono::nanoseconds>(
        (kYieldWait + draw * kYieldSpread) * (1.0 + progress));
    for (;;) {
      std::this_thread::sleep_for(kYieldLook);
      try {
        add_fitting(0, true, Ledger::Fresh::renewed);
        return;
      } catch (const BudgetExceeded&) {
        if (now_ns() - start >= patience.count()) throw;
      }
    }
  }
}

void MemoryBudget::release(std::size_t bytes) noexcept {
  subtract(used_, bytes);
  subtract(ledger_.charged_, bytes);
}

void MemoryBudget::release_address_space(std::size_t bytes) noexcept {
  subtract(reserved_, bytes);
  subtract(ledger_.reserved_, bytes);
}

}  // namespace velkor::base
