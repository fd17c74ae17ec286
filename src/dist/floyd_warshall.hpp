// All-pairs shortest paths over a Graph.
#pragma once

#include "base/model.hpp"

namespace velkor::dist {

// Shortest-path lengths between every ordered pair of `graph.nodes`:
//  - (v, v) for every node: 0, or with a self-loop on v the lightest cycle
//    through v (the loop itself counting as one);
//  - (i, j), i != j: present exactly when a directed path exists, valued at
//    the lightest such path.
// Sums saturate at kMaxWeight instead of wrapping, so a result is
// min(true length, 4294967295). Edges whose endpoints are not in
// `graph.nodes` are copied unchanged and take no part in the relaxation.
// The result's node set is `graph.nodes` (extended by such endpoints), its
// entries row by row in node-set order. Throws std::bad_alloc when memory
// runs out.
base::Matrix floyd_warshall(const base::Graph& graph);

}  // namespace velkor::dist
