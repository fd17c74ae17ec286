// Nearest common descendant distances: a (min, max) product of the clamped distance matrix with its transpose.
#include "algo/nearest_common_descendant.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "algo/adjacency.hpp"
#include "algo/budget.hpp"
#include "algo/component_plan.hpp"
#include "algo/components.hpp"
#include "algo/nearest_common_descendant_detail.hpp"
#include "platform/simd_dispatch.hpp"

namespace velkor::algo {
namespace detail {

using base::NodeIndex;
using base::Weight;

namespace {

// Rows of the dense kernel handled together: each y row is fetched once
// from memory for all of them, and in groups of four they share each load of
// y in registers.
constexpr std::size_t kXBlock = 16;

// For the kXBlock rows xs[] and the ycount rows at ys (`stride` apart),
// lowers acc[y * kXBlock + i] to min over z in [z0, z1) of max(xs[i][z], y[z]).
VELKOR_SIMD_KERNEL(min_of_max_tile,
                   (const std::uint32_t* const* xs, const std::uint32_t* ys, std::size_t ycount,
                    std::size_t stride, std::size_t z0, std::size_t z1, std::uint32_t* acc),
                   (xs, ys, ycount, stride, z0, z1, acc)) {
  for (std::size_t y = 0; y < ycount; ++y) {
    const std::uint32_t* yr = ys + y * stride;
    std::uint32_t* a = acc + y * kXBlock;
    for (std::size_t g = 0; g < kXBlock; g += 4) {
      const std::uint32_t* x0 = xs[g];
      const std::uint32_t* x1 = xs[g + 1];
      const std::uint32_t* x2 = xs[g + 2];
      const std::uint32_t* x3 = xs[g + 3];
      std::uint32_t r0 = a[g], r1 = a[g + 1], r2 = a[g + 2], r3 = a[g + 3];
      for (std::size_t z = z0; z < z1; ++z) {
        const std::uint32_t v = yr[z];
        r0 = std::min(r0, std::max(x0[z], v));
        r1 = std::min(r1, std::max(x1[z], v));
        r2 = std::min(r2, std::max(x2[z], v));
        r3 = std::min(r3, std::max(x3[z], v));
      }
      a[g] = r0;
      a[g + 1] = r1;
      a[g + 2] = r2;
      a[g + 3] = r3;
    }
  }
}

// Weights per cache line: dense rows start on one.
constexpr std::size_t kLineWeights = 64 / sizeof(Weight);

// Tiles of the transposing copy.
constexpr std::size_t kMirrorTile = 64;

// Copies the upper triangle of the n x n result onto the lower one in the
// columns [i0, i1), tile by tile so that both the rows read and the columns
// written stay cached, and zeroes the diagonal there.
void mirror_upper(base::SquareRows& r, std::size_t n, std::size_t i0, std::size_t i1) {
  Weight* cells = r.row(0);
  for (std::size_t j0 = i0; j0 < n; j0 += kMirrorTile) {
    const std::size_t j1 = std::min(n, j0 + kMirrorTile);
    for (std::size_t i = i0; i < i1; ++i)
      for (std::size_t j = std::max(j0, i + 1); j < j1; ++j) cells[j * n + i] = cells[i * n + j];
  }
  for (std::size_t i = i0; i < i1; ++i) cells[i * n + i] = 0;
}

// Per-thread scratch, kept from component to component; each growth is
// charged to the budget first.
struct Scratch {
  explicit Scratch(base::MemoryBudget* budget) : charge(budget) {}
  ScratchCharge charge;        // everything below
  std::vector<Weight> spread;  // `extreme` everywhere outside a spread row
  std::vector<Weight> acc;     // running values of the dense pairs
  std::vector<Weight> rows;    // dense rows of a component solved on this thread
  // Of the component this thread solves (the whole team's, on the caller):
  std::vector<const Weight*> row_of;     // by position; null: a sparse row
  std::vector<std::uint32_t> positions;  // positions with a dense row, ascending
  std::vector<std::pair<std::size_t, std::size_t>> units;  // of the dense pairs: (first x, first y)
};

// The dense rows of the component being solved.
struct DenseRows {
  const Weight* cells = nullptr;
  std::size_t stride = 0;               // whole cache lines, so that rows start aligned
  const Weight* const* row_of = nullptr;  // by position; null: a sparse row
  const std::uint32_t* positions = nullptr;  // positions with a dense row, ascending
  std::size_t count = 0;                // of positions
};

class Solver {
 public:
  Solver(Weight extreme, const base::Resources& resources, const NcdOptions& options)
      : team_(resources, options.parallel_min_work),
        budget_(resources.budget),
        extreme_(extreme),
        opt_(options) {}

  base::SquareRows run(base::Graph& graph) {
    n_ = graph.nodes;
    base::SquareRows result(n_, budget_);
    if (n_ == 0) return result;
    out_ = result.row(0);
    const std::size_t tiles = (std::size_t{n_} + kMirrorTile - 1) / kMirrorTile;
    const std::size_t area = checked_mul(n_, n_);
    // The upper triangle starts at `extreme`; the lower one is its mirror.
    team_.run(tiles, area / 2, [&](std::size_t t, unsigned) {
      for (std::size_t i = t * kMirrorTile; i < std::min<std::size_t>(n_, t * kMirrorTile + kMirrorTile); ++i)
        std::fill(out_ + i * n_ + i, out_ + (i + 1) * n_, extreme_);
    });

    // Only distances below `extreme` can lower a pair's value; two
    // components share no such target, so their pairs stay at `extreme`.
    ComponentPlan plan = plan_components(
        graph.edges, n_, [this](NodeIndex, const Arc& a) { return a.weight < extreme_; }, team_, budget_,
        [](const Adjacency&) {});
    adj_ = std::move(plan.adj);
    layout_ = std::move(plan.layout);
    charge_.add(bytes_of<Scratch>(team_.size()));
    slots_.reserve(team_.size());
    for (unsigned t = 0; t < team_.size(); ++t) slots_.emplace_back(budget_);

    const auto& components = layout_.components;
    solve_components(
        team_, components.size(), [&](std::size_t i) { return estimate(components[i]); },
        [](std::size_t) { return true; },
        [&](std::size_t i, Team* team, unsigned slot) { solve(components[i], team, slot); }, budget_);

    team_.run(tiles, area, [&](std::size_t t, unsigned) {
      mirror_upper(result, n_, t * kMirrorTile, std::min<std::size_t>(n_, t * kMirrorTile + kMirrorTile));
    });
    return result;
  }

 private:
  std::size_t support(NodeIndex v) const { return adj_.end(v) - adj_.begin(v); }

  // Pairs times the entries each reads, roughly; 0 when nothing is to do.
  std::size_t estimate(const ComponentSpan& c) const {
    if (c.size < 2) return 0;
    const NodeIndex* mem = layout_.members.data() + c.first;
    const std::size_t arcs = total_support(mem, c.size);
    const double m = static_cast<double>(c.size);
    return saturated_work(m * m / 2 * (1 + static_cast<double>(arcs) / m));
  }

  std::size_t total_support(const NodeIndex* mem, std::size_t m) const {
    std::size_t t = 0;
    for (std::size_t l = 0; l < m; ++l) t += support(mem[l]);
    return t;
  }

  bool dense_row(std::size_t support, std::size_t m) const {
    switch (opt_.rows) {
      case NcdRows::sparse:
        return false;
      case NcdRows::dense:
        return support > 0;
      case NcdRows::automatic:
        break;
    }
    return support * kNcdDenseDivisor > m;
  }

  // One component, on the team or (without one) wholly on this thread as
  // `slot`. Writes the upper triangle of its pairs: positions ascend with
  // node ids, so x at a lower position than y has the smaller id.
  void solve(const ComponentSpan& c, Team* team, unsigned slot) {
    const std::size_t m = c.size;
    const NodeIndex* mem = layout_.members.data() + c.first;
    const unsigned slots = team ? team->size() : 1;
    for (unsigned s = 0; s < slots; ++s) {
      Scratch& sc = slots_[team ? s : slot];
      if (sc.spread.size() < m) {
        reserve_charged(sc.spread, m, sc.charge);
        sc.spread.assign(m, extreme_);
      }
    }

    // Full rows, clamped to `extreme`, for nodes with a large support.
    Scratch& own = slots_[slot];
    reserve_charged(own.row_of, m, own.charge);
    reserve_charged(own.positions, m, own.charge);
    own.row_of.assign(m, nullptr);
    own.positions.clear();
    for (std::uint32_t l = 0; l < m; ++l)
      if (dense_row(support(mem[l]), m)) own.positions.push_back(l);
    DenseRows dense;
    dense.row_of = own.row_of.data();
    dense.positions = own.positions.data();
    const std::size_t count = dense.count = own.positions.size();
    dense.stride = (m + kLineWeights - 1) / kLineWeights * kLineWeights;
    const std::size_t cells = checked_mul(count, dense.stride);
    // A component spread over the team has rows of its own, freed when it
    // is done; one thread's components share that thread's.
    ScratchCharge rows_charge(budget_);
    base::Storage<Weight> owned;
    Weight* rows;
    if (team) {
      owned = scratch_storage<Weight>(rows_charge, cells);
      rows = owned.get();
    } else {
      reserve_charged(own.rows, cells, own.charge);
      own.rows.resize(cells);
      rows = own.rows.data();
    }
    for (std::size_t i = 0; i < count; ++i) own.row_of[own.positions[i]] = rows + i * dense.stride;
    run_units(team, slot, count, cells, [&](std::size_t i, unsigned) {
      Weight* row = rows + i * dense.stride;
      std::fill(row, row + m, extreme_);
      const NodeIndex v = mem[dense.positions[i]];
      for (std::size_t p = adj_.begin(v); p < adj_.end(v); ++p) row[adj_.arcs[p].to] = adj_.arcs[p].weight;
    });
    dense.cells = rows;

    if (count < m) {
      // Units of one x row against a run of y rows, each y costing about
      // the mean support.
      const std::size_t mean = total_support(mem, m) / m + 1;
      const std::size_t ys = std::clamp<std::size_t>(opt_.pair_unit_work / mean, 1, m);
      const std::size_t runs = (m - 2) / ys + 1;  // per x row, for the first one
      run_units(team, slot, (m - 1) * runs, estimate(c), [&](std::size_t u, unsigned s) {
        const std::size_t lx = u / runs;
        const std::size_t y0 = lx + 1 + u % runs * ys;
        if (y0 < m) sparse_pairs(mem, lx, y0, std::min(m, y0 + ys), dense, slots_[s].spread.data());
      });
    }
    if (count > 1) all_dense_pairs(mem, m, dense, team, slot);
  }

  // Every pair of two dense rows, in units of kXBlock x rows against a run
  // of y rows.
  void all_dense_pairs(const NodeIndex* mem, std::size_t m, const DenseRows& dense, Team* team, unsigned slot) {
    const std::size_t count = dense.count;
    const std::size_t ys = std::clamp<std::size_t>(opt_.pair_unit_work / (kXBlock * m), 1, count);
    std::size_t unit_count = 0;
    for (std::size_t a = 0; a + 1 < count; a += kXBlock) unit_count += (count - a - 1 + ys - 1) / ys;
    std::vector<std::pair<std::size_t, std::size_t>>& units = slots_[slot].units;
    reserve_charged(units, unit_count, slots_[slot].charge);
    units.clear();
    for (std::size_t a = 0; a + 1 < count; a += kXBlock)
      for (std::size_t y = a + 1; y < count; y += ys) units.emplace_back(a, y);
    const unsigned slots = team ? team->size() : 1;
    for (unsigned s = 0; s < slots; ++s) {
      Scratch& sc = slots_[team ? s : slot];
      if (sc.acc.size() < ys * kXBlock) {
        reserve_charged(sc.acc, ys * kXBlock, sc.charge);
        sc.acc.resize(ys * kXBlock);
      }
    }
    const double work = static_cast<double>(count) * static_cast<double>(count) / 2 * static_cast<double>(m);
    run_units(team, slot, units.size(), saturated_work(work), [&](std::size_t u, unsigned s) {
      const auto [a, y] = units[u];
      dense_pairs(mem, m, a, y, std::min(count, y + ys), dense, slots_[s].acc.data());
    });
  }

  // Pairs (x, y) for y in [y0, y1), y0 > x, of which at least one row is
  // sparse: walk the sparse support and look the other row up in full (its
  // dense row, or x spread over `spread`).
  void sparse_pairs(const NodeIndex* mem, std::size_t lx, std::size_t y0, std::size_t y1,
                    const DenseRows& dense, Weight* spread) {
    const NodeIndex x = mem[lx];
    if (support(x) == 0) return;
    const Arc* arcs = adj_.arcs.get();
    const std::size_t xb = adj_.begin(x), xe = adj_.end(x);
    const Weight* xrow = dense.row_of[lx];
    const bool x_dense = xrow != nullptr;
    if (!x_dense) {
      for (std::size_t p = xb; p < xe; ++p) spread[arcs[p].to] = arcs[p].weight;
      xrow = spread;
    }
    Weight* out = out_ + std::size_t{x} * n_;
    for (std::size_t ly = y0; ly < y1; ++ly) {
      const NodeIndex y = mem[ly];
      const Weight* yrow = dense.row_of[ly];
      Weight r = extreme_;
      if (!yrow) {
        for (std::size_t p = adj_.begin(y), e = adj_.end(y); p < e; ++p)
          r = std::min(r, std::max(arcs[p].weight, xrow[arcs[p].to]));
      } else if (!x_dense) {
        for (std::size_t p = xb; p < xe; ++p) r = std::min(r, std::max(arcs[p].weight, yrow[arcs[p].to]));
      } else {
        continue;  // both dense: dense_pairs
      }
      out[y] = r;
    }
    if (!x_dense)
      for (std::size_t p = xb; p < xe; ++p) spread[arcs[p].to] = extreme_;
  }

  // Pairs of two dense rows: the kXBlock dense rows from index a against
  // the dense rows [y0, y1) that follow them (y0 > a). Dense rows are
  // stored in position order, so the pair (i, j) of dense rows with i < j
  // is the pair of positions (positions[i], positions[j]).
  void dense_pairs(const NodeIndex* mem, std::size_t m, std::size_t a, std::size_t y0, std::size_t y1,
                   const DenseRows& dense, Weight* acc) {
    const std::size_t count = dense.count;
    const std::size_t real = std::min(kXBlock, count - a);
    const Weight* xs[kXBlock];
    for (std::size_t i = 0; i < kXBlock; ++i) xs[i] = dense.cells + (a + std::min(i, real - 1)) * dense.stride;
    const std::size_t ycount = y1 - y0;
    std::fill(acc, acc + ycount * kXBlock, extreme_);
    const std::size_t chunk = std::max<std::size_t>(1, opt_.column_chunk);
    for (std::size_t z0 = 0; z0 < m; z0 += chunk)
      min_of_max_tile(xs, dense.cells + y0 * dense.stride, ycount, dense.stride, z0, std::min(m, z0 + chunk), acc);
    for (std::size_t i = 0; i < real; ++i) {
      Weight* out = out_ + std::size_t{mem[dense.positions[a + i]]} * n_;
      // Only y after x: the first rows of the block pair among themselves.
      for (std::size_t y = std::max(y0, a + i + 1); y < y1; ++y)
        out[mem[dense.positions[y]]] = acc[(y - y0) * kXBlock + i];
    }
  }

  Team team_;
  base::MemoryBudget* budget_;
  const Weight extreme_;
  const NcdOptions& opt_;
  std::uint32_t n_ = 0;
  Weight* out_ = nullptr;  // the result's n x n cells

  ScratchCharge charge_{budget_};  // the list of slots; the other parts carry their own
  Adjacency adj_;  // distances below `extreme`, targets as positions within the component
  ComponentLayout layout_;
  std::vector<Scratch> slots_;
};

}  // namespace

base::SquareRows nearest_common_descendant_with(base::Graph graph, Weight extreme,
                                                const base::Resources& resources,
                                                const NcdOptions& options) {
  return Solver(extreme, resources, options).run(graph);
}

}  // namespace detail

base::SquareRows nearest_common_descendant(base::Graph graph, base::Weight extreme,
                                           const base::Resources& resources) {
  return detail::nearest_common_descendant_with(std::move(graph), extreme, resources,
                                                detail::NcdOptions{});
}

}  // namespace velkor::algo
