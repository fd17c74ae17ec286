// Weakly connected components, the layout of nodes by component, and lower bounds of reachability.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "algo/adjacency.hpp"

namespace velkor::algo::detail {

// Union-find over node ids with path halving and union by size.
class DisjointSets {
 public:
  explicit DisjointSets(std::size_t n) : parent_(n), size_(n, 1) {
    std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
  }

  std::uint32_t find(std::uint32_t x) noexcept {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }

  // Joins the sets of the roots a != b; returns the root of the union.
  std::uint32_t link(std::uint32_t a, std::uint32_t b) noexcept {
    if (size_[a] < size_[b]) std::swap(a, b);
    parent_[b] = a;
    size_[a] += size_[b];
    return a;
  }

 private:
  std::vector<std::uint32_t> parent_;
  std::vector<std::uint32_t> size_;
};

// A weakly connected component: its members are members[first .. first + size).
struct ComponentSpan {
  std::uint32_t size = 0;
  std::size_t first = 0;
};

// Nodes grouped by weakly connected component (of the arcs of `adj`).
// Components are numbered in order of their smallest member and list their
// members ascending; `local[v]` is v's position within its component.
struct ComponentLayout {
  ScratchCharge charge;  // covers the three lists
  std::vector<std::uint32_t> local;
  std::vector<base::NodeIndex> members;
  std::vector<ComponentSpan> components;
};

// Everything, the layout and the scratch of the search, is charged to
// `budget` (may be null) before it is allocated.
ComponentLayout weak_components(const Adjacency& adj, std::uint32_t nodes, base::MemoryBudget* budget);

// Rewrites every arc's target as its position within the component (a
// no-op when every position equals the node id).
void localize_targets(Adjacency& adj, const std::vector<std::uint32_t>& local);

// For every node, a lower bound of the number of nodes it reaches, itself
// included: the size of its strongly connected component plus the largest
// bound among the components it has an arc into. Cheap (linear time) and
// exact for a strongly connected graph, it lets a result too large to hold
// be refused before it is computed. The scratch of the search is charged to
// `budget` (may be null) while it lives; the bounds returned, `nodes`
// values, are the caller's to charge, before the call.
std::vector<std::uint32_t> reach_lower_bounds(const Adjacency& adj, std::uint32_t nodes,
                                              base::MemoryBudget* budget);

}  // namespace velkor::algo::detail
