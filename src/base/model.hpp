// The graph model: dense node ids, the edge list handed to the algorithms, the numbering of integer nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "base/flat_index.hpp"
#include "base/memory_budget.hpp"

namespace velkor::base {

// A dense node id, 0..node_count-1, in order of first appearance in the input.
using NodeIndex = std::uint32_t;
// Every weight, distance and ceiling is an unsigned 32-bit value.
using Weight = std::uint32_t;
inline constexpr Weight kMaxWeight = 0xFFFFFFFFu;

// Whether an integer read from the caller is a node number, weight or
// ceiling, 0 to kMaxWeight. Integers are taken as 64 bits whatever the width
// of `long` (32 bits on Windows and on 32-bit systems).
inline constexpr bool in_weight_range(std::int64_t value) noexcept {
  return value >= 0 && value <= std::int64_t{kMaxWeight};
}

// Node ids are 32-bit and 0xFFFFFFFF stays free as a marker, so an input
// holds fewer than 2^32 - 1 nodes; more is reported as exhausted memory.
inline constexpr std::size_t kMaxNodes = 0xFFFFFFFEu;

// One entry of an input dict: an edge, or a given distance.
struct Edge {
  NodeIndex from;
  NodeIndex to;
  Weight weight;
};

// What the algorithms read: `nodes` dense ids and the entries in input
// order. A pair may occur more than once (two dict keys that name the same
// nodes); the later entry wins. When a call has a memory budget, the
// capacity of `edges` is charged to it by the code that filled it, and the
// code that frees the vector gives that charge back.
struct Graph {
  std::uint32_t nodes = 0;
  std::vector<Edge> edges;
};

// The numbering of integer node numbers: each distinct value gets the next
// dense id when first seen. Small values (below the bound given at
// construction) are looked up in a plain array, others through a hash index.
// Its storage is charged to `budget` (when given) before it is made.
class NodeSet {
 public:
  explicit NodeSet(std::size_t direct_bound = 0, MemoryBudget* budget = nullptr)
      : budget_(budget), index_(budget) {
    if (budget_) budget_->charge(direct_bound * sizeof(NodeIndex));
    direct_.assign(direct_bound, kNone);
  }

  std::size_t size() const noexcept { return values_.size(); }

  // The id of `v`, numbering it when new.
  NodeIndex insert(std::uint32_t v) {
    if (v < direct_.size()) {
      NodeIndex& slot = direct_[v];
      if (slot == kNone) slot = append(v);
      return slot;
    }
    if (const std::uint32_t* p = index_.find(v)) return *p;
    const NodeIndex id = append(v);
    index_.insert(v, id);
    return id;
  }

  // The values by id.
  const std::vector<std::uint32_t>& values() const noexcept { return values_; }

  // Numbering is done: frees the lookup structures (values() stays) and
  // gives their charge back.
  void finish() noexcept {
    if (budget_) budget_->release(direct_.capacity() * sizeof(NodeIndex));
    std::vector<NodeIndex>().swap(direct_);
    index_.clear();
  }

 private:
  static constexpr NodeIndex kNone = 0xFFFFFFFFu;

  NodeIndex append(std::uint32_t v) {
    if (values_.size() >= kMaxNodes) throw std::bad_alloc();
    reserve_one_more(values_, budget_);
    values_.push_back(v);
    return static_cast<NodeIndex>(values_.size() - 1);
  }

  MemoryBudget* budget_;
  std::vector<NodeIndex> direct_;
  std::vector<std::uint32_t> values_;
  FlatIndex index_;
};

}  // namespace velkor::base
