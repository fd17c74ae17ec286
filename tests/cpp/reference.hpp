// Literal, slow versions of the distance algorithms and random inputs for the core tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "base/model.hpp"

namespace velkor::testing {

using base::Edge;
using base::Graph;
using base::kMaxWeight;
using base::NodeIndex;
using base::Weight;

using Entry = std::tuple<NodeIndex, NodeIndex, Weight>;
using Entries = std::vector<Entry>;

// Every entry of a result, row by row, as its reading interface gives them.
template <class Rows>
Entries entries_of(const Rows& rows) {
  Entries out;
  for (NodeIndex r = 0; r < rows.node_count(); ++r)
    rows.for_each_in_row(r, [&](NodeIndex c, Weight w) { out.emplace_back(r, c, w); });
  return out;
}

inline Weight sat_add(Weight a, Weight b) {
  const std::uint64_t s = std::uint64_t{a} + b;
  return s > kMaxWeight ? kMaxWeight : static_cast<Weight>(s);
}

// Saturating Floyd-Warshall exactly as defined, over a std::map. Entries are
// stored in input order, so the later of two for the same pair wins.
inline Entries reference_apsp(const Graph& g) {
  std::map<std::pair<NodeIndex, NodeIndex>, Weight> d;
  const NodeIndex n = g.nodes;
  for (NodeIndex v = 0; v < n; ++v) d[{v, v}] = 0;
  for (const Edge& e : g.edges) d[{e.from, e.to}] = e.weight;
  for (NodeIndex k = 0; k < n; ++k)
    for (NodeIndex i = 0; i < n; ++i) {
      auto ik = d.find({i, k});
      if (ik == d.end()) continue;
      for (NodeIndex j = 0; j < n; ++j) {
        auto kj = d.find({k, j});
        if (kj == d.end()) continue;
        const Weight c = sat_add(ik->second, kj->second);
        auto [ij, fresh] = d.try_emplace({i, j}, c);
        if (!fresh && c < ij->second) ij->second = c;
      }
    }
  Entries out;
  for (const auto& [pair, w] : d) out.emplace_back(pair.first, pair.second, w);
  return out;
}

// The same definition over a table, for graphs too large for the map version.
inline Entries reference_apsp_table(const Graph& g) {
  const std::size_t n = g.nodes;
  std::vector<std::optional<Weight>> d(n * n);
  for (std::size_t v = 0; v < n; ++v) d[v * n + v] = 0;
  for (const Edge& e : g.edges) d[std::size_t{e.from} * n + e.to] = e.weight;
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t i = 0; i < n; ++i) {
      if (!d[i * n + k]) continue;
      for (std::size_t j = 0; j < n; ++j) {
        if (!d[k * n + j]) continue;
        const Weight c = sat_add(*d[i * n + k], *d[k * n + j]);
        if (!d[i * n + j] || c < *d[i * n + j]) d[i * n + j] = c;
      }
    }
  Entries out;
  for (std::size_t s = 0; s < n; ++s)
    for (std::size_t t = 0; t < n; ++t)
      if (d[s * n + t]) out.emplace_back(static_cast<NodeIndex>(s), static_cast<NodeIndex>(t), *d[s * n + t]);
  return out;
}

// Nearest common descendant distances exactly as defined, the graph's
// entries being the distances (the later of two for a pair wins).
inline Entries reference_ncd(const Graph& g, Weight extreme) {
  std::map<std::pair<NodeIndex, NodeIndex>, Weight> d;
  for (const Edge& e : g.edges) d[{e.from, e.to}] = e.weight;
  auto dist = [&](NodeIndex a, NodeIndex b) {
    auto it = d.find({a, b});
    return it == d.end() ? extreme : it->second;
  };
  Entries out;
  for (NodeIndex x = 0; x < g.nodes; ++x)
    for (NodeIndex y = 0; y < g.nodes; ++y) {
      if (x == y) {
        out.emplace_back(x, y, 0);
        continue;
      }
      Weight r = extreme;
      for (NodeIndex z = 0; z < g.nodes; ++z) r = std::min(r, std::max(dist(x, z), dist(y, z)));
      out.emplace_back(x, y, r);
    }
  return out;
}

// ---------------------------------------------------------------------------
// Random inputs.

using Rng = std::mt19937_64;

inline std::uint64_t uniform(Rng& rng, std::uint64_t lo, std::uint64_t hi) {
  return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
}

inline bool chance(Rng& rng, double p) { return std::bernoulli_distribution(p)(rng); }

// Weight mixes: small values only (no sum reaches the ceiling), or a mix with
// zeros, values near 2^31 and values at or just below the ceiling.
enum class Weights { small, mixed, huge };

inline Weight random_weight(Rng& rng, Weights kind) {
  if (kind == Weights::small) return static_cast<Weight>(uniform(rng, 0, 20));
  const std::uint64_t pick = uniform(rng, 0, 9);
  if (kind == Weights::huge && pick < 6) return static_cast<Weight>(kMaxWeight - uniform(rng, 0, 3));
  switch (pick) {
    case 0: return 0;
    case 1: case 2: case 3: return static_cast<Weight>(uniform(rng, 0, 30));
    case 4: case 5: return static_cast<Weight>(uniform(rng, 0, 1u << 20));
    case 6: case 7: return static_cast<Weight>((1u << 31) + uniform(rng, 0, 8) - 4);
    default: return static_cast<Weight>(kMaxWeight - uniform(rng, 0, 2));
  }
}

struct GraphShape {
  std::size_t nodes = 10;
  std::size_t groups = 1;      // edges stay inside groups: several components
  double density = 0.2;        // chance of each ordered pair inside a group
  double loops = 0.2;          // chance of a self-loop on each node
  Weights weights = Weights::mixed;
  double repeats = 0.0;        // chance of an entry being given again, with another weight
};

// Entries in random order; a repeated pair may come before or after the
// entry it repeats.
inline void shuffle_with_repeats(Rng& rng, std::vector<Edge>& edges, double repeats, Weights kind) {
  const std::size_t given = edges.size();
  for (std::size_t i = 0; i < given; ++i)
    if (chance(rng, repeats)) edges.push_back(Edge{edges[i].from, edges[i].to, random_weight(rng, kind)});
  std::shuffle(edges.begin(), edges.end(), rng);
}

inline Graph random_graph(Rng& rng, const GraphShape& shape) {
  Graph g;
  g.nodes = static_cast<std::uint32_t>(shape.nodes);
  const std::size_t n = shape.nodes;
  std::vector<std::size_t> group(n);
  for (std::size_t i = 0; i < n; ++i) group[i] = uniform(rng, 0, shape.groups - 1);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      if (group[i] != group[j]) continue;
      if (i == j ? chance(rng, shape.loops) : chance(rng, shape.density))
        g.edges.push_back(Edge{static_cast<NodeIndex>(i), static_cast<NodeIndex>(j),
                               random_weight(rng, shape.weights)});
    }
  shuffle_with_repeats(rng, g.edges, shape.repeats, shape.weights);
  return g;
}

// A distance list not produced by the all-pairs computation: arbitrary
// values, missing diagonals, repeated pairs.
inline Graph random_distances(Rng& rng, std::uint32_t nodes, double density) {
  Graph g;
  g.nodes = nodes;
  for (NodeIndex a = 0; a < nodes; ++a)
    for (NodeIndex b = 0; b < nodes; ++b)
      if (chance(rng, density)) g.edges.push_back(Edge{a, b, random_weight(rng, Weights::mixed)});
  shuffle_with_repeats(rng, g.edges, 0.1, Weights::mixed);
  return g;
}

// The entries of a result as a distance list.
template <class Rows>
Graph graph_of_rows(const Rows& rows) {
  Graph g;
  g.nodes = rows.node_count();
  for (auto [a, b, w] : entries_of(rows)) g.edges.push_back(Edge{a, b, w});
  return g;
}

}  // namespace velkor::testing
