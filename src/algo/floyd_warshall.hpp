// All-pairs shortest paths over a Graph.
#pragma once

#include "base/model.hpp"
#include "base/resources.hpp"
#include "base/result.hpp"

namespace velkor::algo {

// Shortest-path lengths between every ordered pair of the graph's nodes:
//  - (v, v) for every node: 0, or with a self-loop on v the lightest cycle
//    through v (the loop itself counting as one);
//  - (i, j), i != j: present exactly when a directed path exists, valued at
//    the lightest such path.
// Sums saturate at kMaxWeight instead of wrapping, so a result is
// min(true length, 4294967295). Rows in node order, columns ascending.
// The graph is consumed (its edges are freed as soon as they are no longer
// needed). Throws std::bad_alloc when memory runs out or the budget refuses,
// base::Interrupted when the interrupt asks to stop.
base::PathRows floyd_warshall(base::Graph graph, const base::Resources& resources);

}  // namespace velkor::algo
