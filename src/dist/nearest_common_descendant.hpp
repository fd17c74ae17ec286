// Nearest common descendant distances over a distance matrix.
#pragma once

#include "base/model.hpp"

namespace velkor::dist {

// For every pair of nodes x, y of `graph.nodes` (only the node set of the
// graph is read): the smallest, over all nodes z, of max(d(x, z), d(y, z)),
// where a distance missing from `distances` counts as `extreme` and no
// result exceeds `extreme`; (v, v) is always 0. The result is symmetric and
// holds n * n entries for n nodes, row by row in node-set order. Throws
// std::bad_alloc when memory runs out.
base::Matrix nearest_common_descendant(const base::Graph& graph,
                                       const base::Matrix& distances,
                                       base::Weight extreme);

}  // namespace velkor::dist
