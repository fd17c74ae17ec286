// Compressed rows from an edge list: a stable counting sort by source, a plain copy when the list is already in order.
#include "algo/adjacency.hpp"

#include <utility>

namespace velkor::algo::detail {

Adjacency rows_by_source(std::vector<base::Edge>& edges, std::uint32_t nodes, Team& team,
                         base::MemoryBudget* budget) {
  Adjacency adj;
  adj.charge = ScratchCharge(budget, bytes_of<std::size_t>(std::size_t{nodes} + 1));
  adj.start.assign(std::size_t{nodes} + 1, 0);
  bool sorted = true;
  base::NodeIndex last = 0;
  for (const base::Edge& e : edges) {
    ++adj.start[e.from + 1];
    sorted &= e.from >= last;
    last = e.from;
  }
  for (std::size_t v = 0; v < nodes; ++v) adj.start[v + 1] += adj.start[v];

  adj.count = edges.size();
  adj.arcs = scratch_storage<Arc>(adj.charge, adj.count);
  adj.arc_bytes = base::storage_bytes_of<Arc>(adj.count);
  Arc* arcs = adj.arcs.get();
  if (sorted) {
    const std::size_t units = (adj.count + kArcsPerUnit - 1) / kArcsPerUnit;
    team.run(units, adj.count, [&](std::size_t u, unsigned) {
      const std::size_t end = std::min(adj.count, (u + 1) * kArcsPerUnit);
      for (std::size_t i = u * kArcsPerUnit; i < end; ++i) arcs[i] = Arc{edges[i].to, edges[i].weight};
    });
  } else {
    ScratchCharge fill_charge(budget, bytes_of<std::size_t>(nodes));
    std::vector<std::size_t> fill(adj.start.begin(), adj.start.end() - 1);
    for (const base::Edge& e : edges) arcs[fill[e.from]++] = Arc{e.to, e.weight};
  }
  free_edges(edges, budget);
  return adj;
}

std::vector<base::NodeIndex> row_groups(const Adjacency& adj, std::uint32_t nodes, ScratchCharge& charge) {
  // Every group but the last holds kArcsPerUnit arcs or more.
  const std::size_t most = adj.count / kArcsPerUnit + 2;
  charge.add(bytes_of<base::NodeIndex>(most));
  std::vector<base::NodeIndex> bounds;
  bounds.reserve(most);
  bounds.push_back(0);
  std::size_t from = 0;
  for (base::NodeIndex v = 0; v < nodes; ++v) {
    if (adj.start[v + 1] - from >= kArcsPerUnit) {
      bounds.push_back(v + 1);
      from = adj.start[v + 1];
    }
  }
  if (bounds.back() != nodes) bounds.push_back(nodes);
  return bounds;
}

}  // namespace velkor::algo::detail
