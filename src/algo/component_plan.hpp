// What both solvers do around their components: the arcs that matter grouped by weakly connected component, and the components solved on the team.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/model.hpp"
#include "algo/adjacency.hpp"
#include "algo/budget.hpp"
#include "algo/components.hpp"
#include "algo/parallel.hpp"

namespace velkor::algo::detail {

// Work estimates saturate here: far beyond any real job, and a sum of two
// still fits.
inline constexpr std::size_t kWorkCap = SIZE_MAX / 2;

// A work estimate computed in floating point, saturated.
inline std::size_t saturated_work(double work) noexcept {
  return work >= static_cast<double>(kWorkCap) ? kWorkCap : static_cast<std::size_t>(work);
}

// The arcs a solver keeps (`keep(v, arc)`), with targets as positions
// within their weakly connected component, and the nodes laid out by
// component. `with_node_targets(adj)` sees the arcs before their targets
// become positions. Both parts are charged to `budget` (may be null) while
// they live.
struct ComponentPlan {
  Adjacency adj;
  ComponentLayout layout;
};

template <class Keep, class WithNodeTargets>
ComponentPlan plan_components(std::vector<base::Edge>& edges, std::uint32_t nodes, Keep&& keep, Team& team,
                              base::MemoryBudget* budget, WithNodeTargets&& with_node_targets) {
  ComponentPlan plan;
  plan.adj = build_adjacency(edges, nodes, keep, team, budget);
  plan.layout = weak_components(plan.adj, nodes, budget);
  with_node_targets(plan.adj);
  localize_targets(plan.adj, plan.layout.local);
  const std::size_t local = plan.layout.local.capacity() * sizeof(std::uint32_t);
  std::vector<std::uint32_t>().swap(plan.layout.local);
  plan.layout.charge.release(local);
  return plan;
}

// Units of batched components hold about this much work together.
inline constexpr std::size_t kBatchUnitWork = std::size_t{1} << 20;

// Solves components 0 .. count - 1. `work(i)` estimates component i's work
// (0: nothing to do). One large for the team whose solution can be spread
// (`spreadable(i)`) is solved alone on the whole team, `solve(i, &team, 0)`,
// in component order; the others are batched, consecutive ones together in
// units of about kBatchUnitWork, each solved on one thread,
// `solve(i, nullptr, slot)`. The lists of the batch are charged to `budget`
// (may be null) as they grow.
template <class Work, class Spreadable, class Solve>
void solve_components(Team& team, std::size_t count, Work&& work, Spreadable&& spreadable, Solve&& solve,
                      base::MemoryBudget* budget) {
  ScratchCharge scratch(budget);
  std::vector<std::uint32_t> batch;
  std::vector<std::size_t> bounds;
  push_charged(bounds, std::size_t{0}, scratch);
  std::size_t batch_work = 0, unit_work = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t w = work(i);
    if (w == 0) continue;
    if (team.large(w) && spreadable(i)) {
      solve(i, &team, 0u);
      continue;
    }
    push_charged(batch, i, scratch);
    batch_work = std::min(kWorkCap, batch_work + w);
    unit_work = std::min(kWorkCap, unit_work + w);
    if (unit_work >= kBatchUnitWork) {
      push_charged(bounds, batch.size(), scratch);
      unit_work = 0;
    }
  }
  if (bounds.back() != batch.size()) push_charged(bounds, batch.size(), scratch);
  team.run(bounds.size() - 1, batch_work, [&](std::size_t u, unsigned slot) {
    for (std::size_t b = bounds[u]; b < bounds[u + 1]; ++b) solve(batch[b], nullptr, slot);
  });
}

}  // namespace velkor::algo::detail
