// Literal, slow versions of the distance algorithms and random inputs for the core tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "base/model.hpp"

namespace velkor::testing {

using base::Graph;
using base::kMaxWeight;
using base::Matrix;
using base::NodeIndex;
using base::Weight;

using Entry = std::tuple<NodeIndex, NodeIndex, Weight>;
using Entries = std::vector<Entry>;

inline Entries entries_of(const Matrix& m) {
  Entries out;
  m.for_each([&](NodeIndex a, NodeIndex b, Weight w) { out.emplace_back(a, b, w); });
  return out;
}

inline Weight sat_add(Weight a, Weight b) {
  const std::uint64_t s = std::uint64_t{a} + b;
  return s > kMaxWeight ? kMaxWeight : static_cast<Weight>(s);
}

// The node order of an all-pairs result: the graph's nodes, then endpoints of
// edges that lie outside them, in edge order.
inline std::vector<NodeIndex> apsp_node_order(const Graph& g) {
  std::vector<NodeIndex> order = g.nodes.members();
  std::set<NodeIndex> seen(order.begin(), order.end());
  g.edges.for_each([&](NodeIndex a, NodeIndex b, Weight) {
    for (NodeIndex v : {a, b})
      if (seen.insert(v).second) order.push_back(v);
  });
  return order;
}

// Saturating Floyd-Warshall exactly as defined, over a std::map.
inline Entries reference_apsp(const Graph& g) {
  std::map<std::pair<NodeIndex, NodeIndex>, Weight> d;
  const std::vector<NodeIndex>& nodes = g.nodes.members();
  for (NodeIndex v : nodes) d[{v, v}] = 0;
  g.edges.for_each([&](NodeIndex a, NodeIndex b, Weight w) { d[{a, b}] = w; });
  for (NodeIndex k : nodes)
    for (NodeIndex i : nodes) {
      auto ik = d.find({i, k});
      if (ik == d.end()) continue;
      for (NodeIndex j : nodes) {
        auto kj = d.find({k, j});
        if (kj == d.end()) continue;
        const Weight c = sat_add(ik->second, kj->second);
        auto [ij, fresh] = d.try_emplace({i, j}, c);
        if (!fresh && c < ij->second) ij->second = c;
      }
    }
  Entries out;
  const std::vector<NodeIndex> order = apsp_node_order(g);
  for (NodeIndex s : order)
    for (NodeIndex t : order)
      if (auto it = d.find({s, t}); it != d.end()) out.emplace_back(s, t, it->second);
  return out;
}

// The same definition over a position-indexed table, for graphs too large
// for the map version; the graph must have no edges outside its nodes.
inline Entries reference_apsp_table(const Graph& g) {
  const std::size_t n = g.nodes.size();
  std::vector<std::optional<Weight>> d(n * n);
  for (std::size_t v = 0; v < n; ++v) d[v * n + v] = 0;
  g.edges.for_each([&](NodeIndex a, NodeIndex b, Weight w) {
    d[*g.nodes.position(a) * n + *g.nodes.position(b)] = w;
  });
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
      if (d[s * n + t]) out.emplace_back(g.nodes[s], g.nodes[t], *d[s * n + t]);
  return out;
}

// Nearest common descendant distances exactly as defined.
inline Entries reference_ncd(const Graph& g, const Matrix& distances, Weight extreme) {
  std::map<std::pair<NodeIndex, NodeIndex>, Weight> d;
  distances.for_each([&](NodeIndex a, NodeIndex b, Weight w) { d.emplace(std::pair{a, b}, w); });
  auto dist = [&](NodeIndex a, NodeIndex b) {
    auto it = d.find({a, b});
    return it == d.end() ? extreme : it->second;
  };
  Entries out;
  const std::vector<NodeIndex>& nodes = g.nodes.members();
  for (NodeIndex x : nodes)
    for (NodeIndex y : nodes) {
      if (x == y) {
        out.emplace_back(x, y, 0);
        continue;
      }
      Weight r = extreme;
      for (NodeIndex z : nodes) r = std::min(r, std::max(dist(x, z), dist(y, z)));
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

// n distinct node numbers in random order, often including 0 and 2^32 - 1.
inline std::vector<NodeIndex> random_nodes(Rng& rng, std::size_t n) {
  std::set<NodeIndex> used;
  std::vector<NodeIndex> out;
  auto add = [&](NodeIndex v) {
    if (out.size() < n && used.insert(v).second) out.push_back(v);
  };
  if (chance(rng, 0.5)) add(0);
  if (chance(rng, 0.5)) add(kMaxWeight);
  while (out.size() < n)
    add(chance(rng, 0.5) ? static_cast<NodeIndex>(uniform(rng, 0, 3 * n))
                         : static_cast<NodeIndex>(uniform(rng, 0, kMaxWeight)));
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

struct GraphShape {
  std::size_t nodes = 10;
  std::size_t groups = 1;      // edges stay inside groups: several components
  double density = 0.2;        // chance of each ordered pair inside a group
  double loops = 0.2;          // chance of a self-loop on each node
  Weights weights = Weights::mixed;
  std::size_t strays = 0;      // edges touching nodes outside the node set
};

inline Graph random_graph(Rng& rng, const GraphShape& shape) {
  Graph g;
  const std::vector<NodeIndex> nodes = random_nodes(rng, shape.nodes + shape.strays);
  const std::size_t n = shape.nodes;
  std::vector<std::size_t> group(n);
  for (std::size_t i = 0; i < n; ++i) group[i] = uniform(rng, 0, shape.groups - 1);
  for (std::size_t i = 0; i < n; ++i) g.nodes.insert(nodes[i]);
  std::vector<std::tuple<NodeIndex, NodeIndex, Weight>> edges;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      if (group[i] != group[j]) continue;
      if (i == j ? chance(rng, shape.loops) : chance(rng, shape.density))
        edges.emplace_back(nodes[i], nodes[j], random_weight(rng, shape.weights));
    }
  for (std::size_t s = 0; s < shape.strays; ++s) {
    const NodeIndex outside = nodes[n + s];
    const NodeIndex inside = n ? nodes[uniform(rng, 0, n - 1)] : outside;
    const Weight w = random_weight(rng, shape.weights);
    switch (uniform(rng, 0, 2)) {
      case 0: edges.emplace_back(outside, inside, w); break;
      case 1: edges.emplace_back(inside, outside, w); break;
      default: edges.emplace_back(outside, outside, w); break;
    }
  }
  // The edge matrix numbers its nodes in its own (shuffled) order.
  std::shuffle(edges.begin(), edges.end(), rng);
  for (auto [a, b, w] : edges) g.edges.set(a, b, w);
  return g;
}

// A distance matrix not produced by the all-pairs computation: arbitrary
// values, missing diagonals, entries for nodes outside the graph.
inline Matrix random_distances(Rng& rng, const Graph& g, double density, std::size_t outside) {
  Matrix m;
  const std::vector<NodeIndex>& nodes = g.nodes.members();
  std::vector<NodeIndex> all = nodes;
  for (std::size_t s = 0; s < outside; ++s) {
    NodeIndex v;
    do v = static_cast<NodeIndex>(uniform(rng, 0, kMaxWeight));
    while (g.nodes.contains(v));
    all.push_back(v);
  }
  std::shuffle(all.begin(), all.end(), rng);
  for (NodeIndex a : all)
    for (NodeIndex b : all)
      if (chance(rng, density)) m.set(a, b, random_weight(rng, Weights::mixed));
  return m;
}

}  // namespace velkor::testing
