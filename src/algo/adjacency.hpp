// Compressed out-edge rows built from a graph's edge list, a pair given several times keeping its last weight.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/model.hpp"
#include "base/result.hpp"
#include "algo/budget.hpp"
#include "algo/parallel.hpp"

namespace velkor::algo::detail {

struct Arc {
  base::NodeIndex to;
  base::Weight weight;
};

// The out-arcs of node v are arcs[start[v]] .. arcs[start[v + 1] - 1].
struct Adjacency {
  ScratchCharge charge;  // covers `start` and `arcs`
  std::vector<std::size_t> start;
  base::Storage<Arc> arcs;
  std::size_t count = 0;  // arcs
  std::size_t arc_bytes = 0;  // the storage of `arcs`

  std::size_t begin(base::NodeIndex v) const noexcept { return start[v]; }
  std::size_t end(base::NodeIndex v) const noexcept { return start[v + 1]; }
};

// Rows of `nodes` nodes from `edges` (which must name nodes below `nodes`),
// in input order within each row; `edges` is consumed and freed, its charge
// given back. No pair is resolved yet. The rows and all scratch are charged
// to `budget` (may be null) before they are allocated.
Adjacency rows_by_source(std::vector<base::Edge>& edges, std::uint32_t nodes, Team& team,
                         base::MemoryBudget* budget);

// Arcs per unit of the row-wise passes.
inline constexpr std::size_t kArcsPerUnit = std::size_t{1} << 16;

// Groups of consecutive rows of about kArcsPerUnit arcs each: group g is
// rows [bounds[g], bounds[g + 1]). The list is charged to `charge`.
std::vector<base::NodeIndex> row_groups(const Adjacency& adj, std::uint32_t nodes, ScratchCharge& charge);

// Rows of `nodes` nodes from `edges`, which is consumed and freed. Where a
// pair occurs several times, its arc sits at the place of its first
// occurrence and carries the weight of its last; then each row keeps only
// the arcs for which keep(from, arc) holds, in order. `keep` sees every
// resolved arc once; rows may be handled on several threads at once, each
// row on one. Everything is charged to `budget` (may be null) before it is
// allocated; the rows stay charged (adj.charge) while they live.
template <class Keep>
Adjacency build_adjacency(std::vector<base::Edge>& edges, std::uint32_t nodes, Keep&& keep, Team& team,
                          base::MemoryBudget* budget) {
  Adjacency adj = rows_by_source(edges, nodes, team, budget);
  Arc* arcs = adj.arcs.get();
  // Rows are resolved in place, then moved together. Each thread marks in
  // slot[t] where the row it works on put its arc to t; a stale value from
  // an earlier row lies before that row's first arc or names another target.
  // A thread's slot array is charged on that thread when it first takes a
  // unit.
  struct Slot {
    ScratchCharge charge;
    std::vector<std::size_t> at;
  };
  ScratchCharge scratch(budget);
  const std::vector<base::NodeIndex> groups = row_groups(adj, nodes, scratch);
  scratch.add(bytes_of<std::size_t>(nodes) + bytes_of<Slot>(team.size()));
  std::vector<std::size_t> kept(nodes);
  std::vector<Slot> slots(team.size());
  // A slot array per thread costs as much as a row per node; no more threads
  // than the arcs pay for.
  const auto threads = static_cast<unsigned>(std::min<std::size_t>(team.size(), adj.count / (nodes + 1) + 1));
  team.run(
      groups.size() - 1, adj.count,
      [&](std::size_t g, unsigned s) {
        std::vector<std::size_t>& slot = slots[s].at;
        if (slot.size() < nodes) {
          slots[s].charge = ScratchCharge(budget, bytes_of<std::size_t>(nodes));
          slot.assign(nodes, 0);
        }
        for (base::NodeIndex v = groups[g]; v < groups[g + 1]; ++v) {
          const std::size_t first = adj.start[v], e = adj.start[v + 1];
          std::size_t write = first;
          for (std::size_t p = first; p < e; ++p) {
            const Arc a = arcs[p];
            const std::size_t at = slot[a.to];
            if (at >= first && at < write && arcs[at].to == a.to) {
              arcs[at].weight = a.weight;
            } else {
              slot[a.to] = write;
              arcs[write++] = a;
            }
          }
          const std::size_t resolved = write;
          write = first;
          for (std::size_t p = first; p < resolved; ++p)
            if (keep(v, arcs[p])) arcs[write++] = arcs[p];
          kept[v] = write - first;
        }
      },
      threads);
  std::vector<Slot>().swap(slots);
  scratch.release(bytes_of<Slot>(team.size()));
  std::size_t write = 0;
  for (base::NodeIndex v = 0; v < nodes; ++v) {
    const std::size_t first = adj.start[v];
    if (write != first && kept[v] > 0) std::memmove(arcs + write, arcs + first, kept[v] * sizeof(Arc));
    adj.start[v] = write;
    write += kept[v];
  }
  adj.start[nodes] = write;
  if (write < adj.count / 4 * 3) {
    const std::size_t old = adj.arc_bytes;
    base::Storage<Arc> fit = scratch_storage<Arc>(adj.charge, write);
    std::copy(arcs, arcs + write, fit.get());
    adj.arcs = std::move(fit);
    adj.arc_bytes = base::storage_bytes_of<Arc>(write);
    adj.charge.release(old);
  }
  adj.count = write;
  return adj;
}

}  // namespace velkor::algo::detail
