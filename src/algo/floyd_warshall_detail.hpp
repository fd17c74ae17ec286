// Internal knobs of the all-pairs shortest-path computation, for tests and tuning.
#pragma once

#include <cstddef>

#include "base/model.hpp"
#include "base/resources.hpp"
#include "base/result.hpp"
#include "algo/parallel.hpp"

namespace velkor::algo::detail {

// How each weakly connected component (of two nodes or more) is solved.
enum class ApspMethod {
  automatic,  // by the cost model in `prefers_dijkstra`
  dense,      // saturating Floyd-Warshall on a c x c matrix
  dijkstra,   // one Dijkstra run per source over compressed rows
};

struct ApspOptions {
  ApspMethod method = ApspMethod::automatic;
  // Dense components with at least this many nodes are processed in square
  // tiles of kApspTile nodes so the working set stays in the L1/L2 caches.
  std::size_t tile_min_nodes = 192;
  // Jobs of less estimated work run on the calling thread alone; a dense
  // component of c nodes counts c^3, a Dijkstra job c * (c + edges) per
  // component.
  std::size_t parallel_min_work = kParallelMinWork;
};

// The cost model: a dense run costs about c^3 / 8 steps (a step being eight
// relaxations, about 0.4-0.6 ns measured); Dijkstra about c * (e + c) *
// log2(c) steps of its own, measured at 0.4-2.5 ns each (cheapest on grids
// and in-trees, dearest on random sparse graphs, where its branches
// mispredict), so each counts as kDijkstraStepCost dense steps. Small
// components always go dense.
inline constexpr std::size_t kDijkstraMinNodes = 96;
inline constexpr double kDijkstraStepCost = 3.0;
bool prefers_dijkstra(std::size_t nodes, std::size_t edges);

// Sources per unit of work of the Dijkstra job: about this many nodes and
// arcs visited (a few milliseconds), so that a stop request is seen soon and
// the entries of a result too large to hold are refused early.
inline constexpr std::size_t kDijkstraChunkWork = std::size_t{1} << 18;

base::PathRows floyd_warshall_with(base::Graph graph, const base::Resources& resources,
                                   const ApspOptions& options);

}  // namespace velkor::algo::detail
