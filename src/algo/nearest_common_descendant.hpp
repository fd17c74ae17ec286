// Nearest common descendant distances over a distance list.
#pragma once

#include "base/model.hpp"
#include "base/resources.hpp"
#include "base/result.hpp"

namespace velkor::algo {

// For every pair of nodes x, y of the graph (whose edges are the given
// distances; a pair given twice takes the later value): the smallest, over
// all nodes z, of max(d(x, z), d(y, z)), where a missing distance counts as
// `extreme` and no result exceeds `extreme`; (v, v) is always 0. The result
// is symmetric, n x n. The graph is consumed. Throws std::bad_alloc when
// memory runs out or the budget refuses, base::Interrupted when the
// interrupt asks to stop.
base::SquareRows nearest_common_descendant(base::Graph graph, base::Weight extreme,
                                           const base::Resources& resources);

}  // namespace velkor::algo
