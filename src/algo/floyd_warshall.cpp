// All-pairs shortest paths: per weakly connected component, dense Floyd-Warshall or repeated Dijkstra, into PathRows.
#include "algo/floyd_warshall.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "algo/adjacency.hpp"
#include "algo/budget.hpp"
#include "algo/component_plan.hpp"
#include "algo/components.hpp"
#include "algo/dense_kernel.hpp"
#include "algo/dijkstra.hpp"
#include "algo/floyd_warshall_detail.hpp"

namespace velkor::algo {
namespace detail {

using base::kMaxWeight;
using base::NodeIndex;
using base::PathRows;
using base::Weight;

namespace {

// c^3, saturating: the work estimate of a dense component.
std::size_t cube(std::size_t c) {
  return saturated_work(static_cast<double>(c) * static_cast<double>(c) * static_cast<double>(c));
}

// A path never weighs more than all arcs of its component together; sums of
// arc weights are kept up to this cap, which any path of kMaxWeight or less
// stays below.
constexpr std::uint64_t kWeightSumCap = std::uint64_t{1} << 32;

// Weights per cache line: each dense block starts on one.
constexpr std::size_t kLineWeights = 64 / sizeof(Weight);

// Rows per unit of the row-wise passes over a dense block.
constexpr std::size_t kRowGroup = 64;

enum class Kind { single, dense, dijkstra };

// What the solver plans for one component of the layout.
struct Component : ComponentSpan {
  std::size_t edges = 0;     // arcs between distinct nodes
  std::uint64_t weight = 0;  // their total weight, capped at 2^32
  std::size_t lower = 0;     // entries already charged (sum of reach bounds)
  Kind kind = Kind::single;
  // Dense components:
  std::uint32_t block = 0;
  bool plain = false;
  bool tiled = false;
  std::size_t offset = 0;  // of its matrix in the dense pool
  std::size_t stride = 0;
  std::size_t entries = 0;
};

struct Chunk {
  std::uint32_t component;
  std::uint32_t first;  // position of its first source
  std::uint32_t count;
};

class Solver {
 public:
  Solver(const base::Resources& resources, const ApspOptions& options)
      : team_(resources, options.parallel_min_work), budget_(resources.budget), opt_(options) {}

  PathRows run(base::Graph& graph) {
    n_ = graph.nodes;
    out_.nodes = n_;
    if (n_ == 0) return PathRows(std::move(out_));
    charge_storage(budget_, n_, sizeof(PathRows::Row));
    if (budget_) budget_->charge_nodes(n_);
    out_.rows.resize(n_);

    // Self-loops leave the rows: they only set the diagonal.
    charge_.add(bytes_of<std::uint64_t>(n_) * 2);
    loop_.assign(n_, kUnset);
    weight_.assign(n_, 0);
    ComponentPlan prepared = plan_components(
        graph.edges, n_,
        [this](NodeIndex v, const Arc& a) {
          if (a.to == v) {
            loop_[v] = a.weight;
            return false;
          }
          weight_[v] = std::min<std::uint64_t>(weight_[v] + a.weight, kWeightSumCap);
          return true;
        },
        team_, budget_, [this](const Adjacency& adj) { charge_lower_bounds(adj); });
    adj_ = std::move(prepared.adj);
    layout_ = std::move(prepared.layout);

    plan();
    std::vector<std::uint64_t>().swap(weight_);
    charge_.release(bytes_of<std::uint64_t>(n_));
    solve_singles();
    solve_dense();
    solve_dijkstra();

    for (const Component& c : comps_) out_.entries += c.entries;
    // The member list goes to the result, and its charge with it.
    layout_.charge.keep(layout_.members.capacity() * sizeof(NodeIndex));
    out_.members = std::move(layout_.members);
    return PathRows(std::move(out_));
  }

 private:
  // Every row holds at least as many entries as its node reaches by the
  // cheap bound; charging those now refuses a result that cannot be held
  // before any of it is computed. The rest is charged as rows are made.
  void charge_lower_bounds(const Adjacency& adj) {
    if (!budget_) return;
    // Not needed when even a result with every pair present would fit.
    const std::size_t pairs = std::size_t{n_} * n_;
    const double worst = static_cast<double>(budget_->entries_cost(pairs)) +
                         static_cast<double>(pairs) * static_cast<double>(sizeof(PathRows::Cell));
    if (worst + static_cast<double>(budget_->used()) <= static_cast<double>(budget_->limit()))
      return;
    charge_.add(bytes_of<std::uint32_t>(n_));
    bound_ = reach_lower_bounds(adj, n_, budget_);
    std::size_t total = 0;
    for (std::uint32_t b : bound_) total += b;
    budget_->charge_entries(total);
  }

  std::size_t bound(NodeIndex v) const { return bound_.empty() ? 0 : bound_[v]; }

  // Entries beyond the bounds already charged.
  void charge_entries(std::size_t entries, std::size_t lower) {
    if (budget_ && entries > lower) budget_->charge_entries(entries - lower);
  }

  bool use_dijkstra(const Component& c) const {
    switch (opt_.method) {
      case ApspMethod::dense:
        return false;
      case ApspMethod::dijkstra:
        return true;
      case ApspMethod::automatic:
        break;
    }
    return prefers_dijkstra(c.size, c.edges);
  }

  void plan() {
    charge_.add(bytes_of<Component>(layout_.components.size()));
    comps_.resize(layout_.components.size());
    std::size_t blocks = 0;
    std::size_t pool = 0;
    for (std::size_t i = 0; i < comps_.size(); ++i) {
      Component& c = comps_[i];
      static_cast<ComponentSpan&>(c) = layout_.components[i];
      for (std::size_t l = 0; l < c.size; ++l) {
        const NodeIndex v = layout_.members[c.first + l];
        c.lower += bound(v);
        c.edges += adj_.end(v) - adj_.begin(v);
        c.weight = std::min<std::uint64_t>(c.weight + weight_[v], kWeightSumCap);
      }
      if (c.size == 1) continue;
      c.kind = use_dijkstra(c) ? Kind::dijkstra : Kind::dense;
      blocks += c.kind == Kind::dense;
    }
    // The blocks, and a place per block for its reachability bits.
    charge_storage(budget_, blocks, sizeof(PathRows::Block) + sizeof(base::Storage<std::uint64_t>));
    out_.blocks.reserve(blocks);
    out_.reach.resize(blocks);
    for (Component& c : comps_) {
      if (c.kind != Kind::dense) continue;
      // A path never weighs more than all arcs of its component together.
      c.plain = c.weight < kPlainInf;
      c.tiled = c.size >= opt_.tile_min_nodes;
      c.stride = dense_stride(c.size, c.tiled);
      c.offset = pool;  // on a cache line
      pool = checked_add(checked_add(pool, checked_mul(c.size, c.stride)), kLineWeights - 1) / kLineWeights * kLineWeights;
      c.block = static_cast<std::uint32_t>(out_.blocks.size());
      PathRows::Block b;
      b.stride = c.stride;
      b.size = c.size;
      b.absent = c.plain ? kPlainInf : kMaxWeight;
      const NodeIndex* mem = layout_.members.data() + c.first;
      if (mem[c.size - 1] - mem[0] == c.size - 1)
        b.first = mem[0];
      else
        b.members = mem;
      out_.blocks.push_back(b);
    }
    if (pool == 0) return;
    out_.dense = charged_storage<Weight>(budget_, pool);
    for (const Component& c : comps_)
      if (c.kind == Kind::dense) out_.blocks[c.block].cells = out_.dense.get() + c.offset;
  }

  // Components of one node: a single cell each, its diagonal.
  void solve_singles() {
    std::size_t count = 0;
    for (const Component& c : comps_) count += c.kind == Kind::single;
    if (count == 0) return;
    reserve_spans(1);
    auto cells = charged_storage<PathRows::Cell>(budget_, count);
    std::size_t next = 0;
    for (Component& c : comps_) {
      if (c.kind != Kind::single) continue;
      const NodeIndex v = layout_.members[c.first];
      const Weight self = loop_[v] == kUnset ? 0 : static_cast<Weight>(loop_[v]);
      cells[next] = PathRows::Cell{v, self};
      out_.rows[v] = PathRows::Row{&cells[next], 1, 0, 0, 0};
      c.entries = 1;
      ++next;
    }
    out_.spans.push_back(std::move(cells));
  }

  // ---------------------------------------------------------------------------
  // Dense components. Large tiled ones are solved one after another, each
  // spread over the team by tiles; the others whole, several per unit of
  // one job.

  void solve_dense() {
    solve_components(
        team_, comps_.size(),
        [&](std::size_t i) { return comps_[i].kind == Kind::dense ? cube(comps_[i].size) : 0; },
        [&](std::size_t i) { return comps_[i].tiled; },
        [&](std::size_t i, Team* team, unsigned) { solve_dense(comps_[i], team); }, budget_);
  }

  // Runs body(r0, r1) over the rows of a c-row block, by groups of rows.
  template <class Body>
  void by_rows(Team* team, std::size_t rows, std::size_t work, Body&& body) {
    const std::size_t groups = (rows + kRowGroup - 1) / kRowGroup;
    run_units(team, 0, groups, work, [&](std::size_t g, unsigned) {
      body(g * kRowGroup, std::min(rows, g * kRowGroup + kRowGroup));
    });
  }

  void solve_dense(Component& c, Team* team) {
    PathRows::Block& block = out_.blocks[c.block];
    Weight* d = out_.dense.get() + c.offset;
    const std::size_t s = c.stride;
    const Weight inf = block.absent;
    const NodeIndex* mem = layout_.members.data() + c.first;
    const std::size_t area = std::size_t{c.size} * s;

    by_rows(team, c.size, area, [&](std::size_t r0, std::size_t r1) {
      for (std::size_t l = r0; l < r1; ++l) {
        Weight* row = d + l * s;
        std::fill(row, row + s, inf);
        const NodeIndex v = mem[l];
        row[l] = loop_[v] == kUnset ? 0 : static_cast<Weight>(std::min<std::uint64_t>(loop_[v], inf));
        for (std::size_t p = adj_.begin(v); p < adj_.end(v); ++p) row[adj_.arcs[p].to] = adj_.arcs[p].weight;
      }
    });

    dense_apsp(d, c.size, s, c.plain, c.tiled, team);

    // Off-diagonal entries at inf: absent, unless inf is kMaxWeight and
    // some path weighs exactly that. Counted per row group, in a list only
    // when there are several (a component of more than kRowGroup nodes).
    auto count_missing = [&](std::size_t r0, std::size_t r1) {
      std::size_t m = 0;
      for (std::size_t l = r0; l < r1; ++l) {
        const Weight* row = d + l * s;
        std::size_t k = 0;
        for (std::size_t j = 0; j < c.size; ++j) k += row[j] == inf;
        m += k - (row[l] == inf);
      }
      return m;
    };
    const std::size_t groups = (c.size + kRowGroup - 1) / kRowGroup;
    std::size_t absent = 0;
    if (groups == 1) {
      absent = count_missing(0, c.size);
    } else {
      ScratchCharge list(budget_, bytes_of<std::size_t>(groups));
      std::vector<std::size_t> missing(groups, 0);
      by_rows(team, c.size, area,
              [&](std::size_t r0, std::size_t r1) { missing[r0 / kRowGroup] = count_missing(r0, r1); });
      for (std::size_t m : missing) absent += m;
    }

    std::size_t present = checked_mul(c.size, c.size) - absent;
    // Below kMaxWeight of total arc weight no path reaches kMaxWeight, so
    // the value reads as "no path" without a closure.
    if (!c.plain && c.weight >= kMaxWeight && absent > 0) present = close(c, block, team);

    for (std::uint32_t l = 0; l < c.size; ++l) {
      const NodeIndex v = mem[l];
      const Weight diag = d[l * s + l];
      // A loop heavier than inf was kept as inf; no cycle beat it.
      const Weight self = loop_[v] != kUnset && diag == inf ? static_cast<Weight>(loop_[v]) : diag;
      out_.rows[v] = PathRows::Row{nullptr, 0, l, c.block, self};
    }
    c.entries = present;
    charge_entries(present, c.lower);
  }

  // Reachability bits of a saturating component; returns its entry count.
  std::size_t close(Component& c, PathRows::Block& block, Team* team) {
    const std::size_t words = (std::size_t{c.size} + 63) / 64;
    const std::size_t cells = checked_mul(words, c.size);
    auto bits = charged_storage<std::uint64_t>(budget_, cells);
    std::fill(bits.get(), bits.get() + cells, 0);
    const NodeIndex* mem = layout_.members.data() + c.first;
    for (std::uint32_t l = 0; l < c.size; ++l) {
      const NodeIndex v = mem[l];
      for (std::size_t p = adj_.begin(v); p < adj_.end(v); ++p) {
        const std::uint32_t t = adj_.arcs[p].to;
        bits[l * words + (t >> 6)] |= std::uint64_t{1} << (t & 63);
      }
    }
    bit_closure(bits.get(), c.size, words, team);
    // Off the diagonal, a set bit is exactly a present entry.
    std::size_t present = c.size;
    for (std::size_t l = 0; l < c.size; ++l) {
      const std::uint64_t* row = bits.get() + l * words;
      for (std::size_t w = 0; w < words; ++w) present += static_cast<std::size_t>(std::popcount(row[w]));
      present -= row[l >> 6] >> (l & 63) & 1;
    }
    block.reach = bits.get();
    block.words = words;
    out_.reach[c.block] = std::move(bits);
    return present;
  }

  // ---------------------------------------------------------------------------
  // Dijkstra components: one job over chunks of sources of all of them. Each
  // chunk stores its rows in a buffer of its own, so rows stay in node order
  // whatever thread made them.

  void solve_dijkstra() {
    const std::size_t spread = std::size_t{4} * team_.size();
    // Sources per chunk of a component.
    auto step_of = [&](const Component& c) {
      const std::size_t step = std::max<std::size_t>(1, kDijkstraChunkWork / (c.size + c.edges));
      return std::min(step, std::max<std::size_t>(1, (c.size + spread - 1) / spread));
    };
    std::size_t count = 0;
    for (const Component& c : comps_)
      if (c.kind == Kind::dijkstra) count += (c.size + step_of(c) - 1) / step_of(c);
    if (count == 0) return;

    // The chunks, their entry counts, and each thread's scratch.
    struct Scratch {
      explicit Scratch(base::MemoryBudget* budget) : charge(budget), paths(budget) {}
      ScratchCharge charge;  // cells and starts
      ShortestPaths paths;
      std::vector<PathRows::Cell> cells;
      std::vector<std::size_t> starts;
    };
    ScratchCharge lists(budget_, bytes_of<Chunk>(count) + bytes_of<std::size_t>(count) +
                                     bytes_of<Scratch>(team_.size()));
    std::vector<Chunk> chunks;
    chunks.reserve(count);
    std::size_t work = 0;
    for (std::uint32_t i = 0; i < comps_.size(); ++i) {
      const Component& c = comps_[i];
      if (c.kind != Kind::dijkstra) continue;
      const std::size_t per_source = c.size + c.edges;
      work = std::min(SIZE_MAX / 2, work + static_cast<std::size_t>(static_cast<double>(c.size) *
                                                                     static_cast<double>(per_source)));
      const std::size_t step = step_of(c);
      for (std::size_t f = 0; f < c.size; f += step)
        chunks.push_back(Chunk{i, static_cast<std::uint32_t>(f),
                               static_cast<std::uint32_t>(std::min<std::size_t>(step, c.size - f))});
    }

    const std::size_t first_span = out_.spans.size();
    reserve_spans(count);
    out_.spans.resize(first_span + count);
    std::vector<std::size_t> chunk_entries(count, 0);
    std::vector<Scratch> scratch;
    scratch.reserve(team_.size());
    for (unsigned t = 0; t < team_.size(); ++t) scratch.emplace_back(budget_);

    team_.run(chunks.size(), work, [&](std::size_t u, unsigned slot) {
      const Chunk& ch = chunks[u];
      const Component& c = comps_[ch.component];
      const NodeIndex* mem = layout_.members.data() + c.first;
      const ComponentView view{&adj_, mem, c.size};
      Scratch& s = scratch[slot];
      s.cells.clear();
      s.starts.clear();
      reserve_charged(s.starts, std::size_t{ch.count} + 1, s.charge);
      std::size_t lower = 0;
      for (std::uint32_t l = ch.first; l < ch.first + ch.count; ++l) {
        s.starts.push_back(s.cells.size());
        s.paths.row(view, l, loop_[mem[l]], s.cells, s.charge);
        lower += bound(mem[l]);
      }
      s.starts.push_back(s.cells.size());
      const std::size_t total = s.cells.size();
      charge_entries(total, lower);
      auto span = charged_storage<PathRows::Cell>(budget_, total);
      std::memcpy(span.get(), s.cells.data(), total * sizeof(PathRows::Cell));
      for (std::uint32_t r = 0; r < ch.count; ++r) {
        const std::size_t b = s.starts[r];
        out_.rows[mem[ch.first + r]] =
            PathRows::Row{span.get() + b, static_cast<std::uint32_t>(s.starts[r + 1] - b), 0, 0, 0};
      }
      out_.spans[first_span + u] = std::move(span);
      chunk_entries[u] = total;
    });
    for (std::size_t u = 0; u < chunks.size(); ++u) comps_[chunks[u].component].entries += chunk_entries[u];
  }

  // Room in the result's span list for `more` spans, charged as result
  // storage: the list grows to exactly that, its old storage given back.
  void reserve_spans(std::size_t more) {
    const std::size_t old = out_.spans.capacity();
    const std::size_t want = checked_add(out_.spans.size(), more);
    if (want <= old) return;
    charge_storage(budget_, want, sizeof(base::Storage<PathRows::Cell>));
    out_.spans.reserve(want);
    if (budget_) budget_->release(old * sizeof(base::Storage<PathRows::Cell>));
  }

  Team team_;
  base::MemoryBudget* budget_;
  const ApspOptions& opt_;
  std::uint32_t n_ = 0;
  PathRows::Parts out_;
  // The solver's own arrays below (loop_, weight_, bound_, comps_); the
  // adjacency and the layout carry their own charges.
  ScratchCharge charge_{budget_};

  Adjacency adj_;                     // targets as positions within the component
  std::vector<std::uint64_t> loop_;   // self-loop weight per node, or kUnset
  std::vector<std::uint64_t> weight_; // total weight of each node's arcs, capped at 2^32
  ComponentLayout layout_;
  std::vector<std::uint32_t> bound_;  // reach lower bound per node (with a budget)
  std::vector<Component> comps_;
};

}  // namespace

bool prefers_dijkstra(std::size_t nodes, std::size_t edges) {
  if (nodes < kDijkstraMinNodes) return false;
  const double c = static_cast<double>(nodes);
  const double dense = c * c * c / 8.0;
  // In long double: glibc 2.29 gave log2 of a double a new symbol version,
  // which older systems lack; log2l kept its original one.
  const double log2c = static_cast<double>(std::log2(static_cast<long double>(nodes)));
  const double sparse = kDijkstraStepCost * c * (static_cast<double>(edges) + c) * log2c;
  return sparse < dense;
}

base::PathRows floyd_warshall_with(base::Graph graph, const base::Resources& resources,
                                   const ApspOptions& options) {
  return Solver(resources, options).run(graph);
}

}  // namespace detail

base::PathRows floyd_warshall(base::Graph graph, const base::Resources& resources) {
  return detail::floyd_warshall_with(std::move(graph), resources, detail::ApspOptions{});
}

}  // namespace velkor::algo
