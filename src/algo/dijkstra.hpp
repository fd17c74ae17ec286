// Single-source shortest paths over a component's compressed rows, with a radix heap.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/model.hpp"
#include "base/result.hpp"
#include "algo/adjacency.hpp"
#include "algo/budget.hpp"

namespace velkor::algo::detail {

inline constexpr std::uint64_t kUnset = ~std::uint64_t{0};

// Monotone priority queue keyed by uint64 (a radix heap): an entry lives in
// the bucket numbered by the highest bit in which its key differs from the
// last key taken out. Keys pushed must not be below that last key, which
// Dijkstra guarantees. The buckets keep their capacity from run to run;
// each growth is charged to the budget given at construction (may be null).
class RadixHeap {
 public:
  struct Item {
    std::uint64_t key;
    std::uint32_t node;
  };

  explicit RadixHeap(base::MemoryBudget* budget) : charge_(budget) {}

  bool empty() const noexcept { return size_ == 0; }

  void push(std::uint64_t key, std::uint32_t node) {
    push_charged(buckets_[std::bit_width(key ^ last_)], Item{key, node}, charge_);
    ++size_;
  }

  Item pop();

  // Ready for a new run; the heap must be empty.
  void restart() noexcept { last_ = 0; }

 private:
  ScratchCharge charge_;  // the buckets' capacity
  std::vector<Item> buckets_[65];
  std::uint64_t last_ = 0;
  std::size_t size_ = 0;
};

// A weakly connected component as Dijkstra reads it: the rows of `adj` are
// indexed by node id, arc targets are positions within the component, and
// members[l] is the node at position l (ascending).
struct ComponentView {
  const Adjacency* adj;
  const base::NodeIndex* members;
  std::uint32_t size;
};

// The scratch of one thread's runs, reused from source to source, charged
// to the budget given at construction (may be null) as it grows.
class ShortestPaths {
 public:
  explicit ShortestPaths(base::MemoryBudget* budget) : charge_(budget), heap_(budget) {}

  // Appends to `out` the row of the source at position `src`: (node,
  // length) for every node it reaches, columns ascending, lengths clamped at
  // kMaxWeight. The source's own entry is 0, or with a self-loop of weight
  // `loop` (kUnset: none) the lightest cycle through it. Returns the number
  // of entries appended. `out` grows, when it must, under `out_charge`.
  std::size_t row(const ComponentView& comp, std::uint32_t src, std::uint64_t loop,
                  std::vector<base::PathRows::Cell>& out, ScratchCharge& out_charge);

 private:
  ScratchCharge charge_;  // dist_ and reached_
  std::vector<std::uint64_t> dist_;  // kUnset outside a run
  std::vector<std::uint32_t> reached_;
  RadixHeap heap_;
};

}  // namespace velkor::algo::detail
