// Open-addressing index from 64-bit keys to 32-bit positions; allows repeated keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/hashing.hpp"
#include "base/memory_budget.hpp"

namespace velkor::base {

// Linear probing over a power-of-two table kept at most half full. The index
// stores positions into a container that lives elsewhere; it never removes.
// `insert` does not look for an existing key, so one key may map to several
// positions (a multimap); `find` then visits them in insertion order of the
// probe chain and returns the first that satisfies the caller's predicate.
class FlatIndex {
 public:
  // The table's storage is charged to `budget` (when given) before it is
  // made.
  explicit FlatIndex(MemoryBudget* budget = nullptr) noexcept : budget_(budget) {}

  // The first position stored under `key` for which `accept(position)` holds,
  // or nullptr.
  template <class Accept>
  const std::uint32_t* find(std::uint64_t key, Accept&& accept) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix64(key) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key && accept(s.position)) return &s.position;
    }
  }

  const std::uint32_t* find(std::uint64_t key) const {
    return find(key, [](std::uint32_t) { return true; });
  }

  void insert(std::uint64_t key, std::uint32_t position) {
    if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    place(key, position);
    ++size_;
  }

 private:
  struct Slot {
    std::uint64_t key;
    std::uint32_t position;
    std::uint32_t used;
  };

  void place(std::uint64_t key, std::uint32_t position) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = mix64(key) & mask;
    while (slots_[i].used) i = (i + 1) & mask;
    slots_[i] = Slot{key, position, 1};
  }

  void rehash(std::size_t capacity) {
    grow_charged(budget_, capacity * sizeof(Slot), slots_.size() * sizeof(Slot), [&] {
      std::vector<Slot> old(capacity, Slot{0, 0, 0});
      old.swap(slots_);
      for (const Slot& s : old)
        if (s.used) place(s.key, s.position);
    });
  }

 public:
  // Frees the table and gives its charge back; the index is empty after.
  void clear() noexcept {
    if (budget_) budget_->release(slots_.size() * sizeof(Slot));
    std::vector<Slot>().swap(slots_);
    size_ = 0;
  }

 private:
  MemoryBudget* budget_;
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace velkor::base
