// Compressed rows from an edge list: a stable counting sort by source, a plain copy when the list is already in order.
#include "algo/adjacency.hpp"

#include <utility>

namespace velkor::algo::detail {

Adjacency rows_by_source(std::vector<base::Edge>& edges, std::uint32_t nodes, Team& team) {
  Adjacency adj;
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
  adj.arcs = base::allocate_storage<Arc>(adj.count);
  Arc* arcs = adj.arcs.get();
  if (sorted) {
    const std::size_t units = (adj.count + kArcsPerUnit - 1) / kArcsPerUnit;
    team.run(units, adj.count, [&](std::size_t u, unsigned) {
      const std::size_t end = std::min(adj.count, (u + 1) * kArcsPerUnit);
      for (std::size_t i = u * kArcsPerUnit; i < end; ++i) arcs[i] = Arc{edges[i].to, edges[i].weight};
    });
  } else {
    std::vector<std::size_t> fill(adj.start.begin(), adj.start.end() - 1);
    for (const base::Edge& e : edges) arcs[fill[e.from]++] = Arc{e.to, e.weight};
  }
  std::vector<base::Edge>().swap(edges);
  return adj;
}

std::vector<base::NodeIndex> row_groups(const Adjacency& adj, std::uint32_t nodes) {
  std::vector<base::NodeIndex> bounds{0};
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
