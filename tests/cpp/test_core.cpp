// Tests of the computational core: the graph model, all-pairs distances and nearest common descendants.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "base/model.hpp"
#include "check.hpp"
#include "dist/dist_support.hpp"
#include "dist/floyd_warshall.hpp"
#include "dist/floyd_warshall_detail.hpp"
#include "dist/nearest_common_descendant.hpp"
#include "dist/nearest_common_descendant_detail.hpp"
#include "reference.hpp"

namespace {

using namespace velkor;
using namespace velkor::testing;
using dist::detail::ApspMethod;
using dist::detail::ApspOptions;
using dist::detail::NcdOptions;
using dist::detail::NcdRows;

Graph graph_of(std::initializer_list<Entry> edges, std::initializer_list<NodeIndex> extra = {}) {
  Graph g;
  for (auto [a, b, w] : edges) {
    g.edges.set(a, b, w);
    g.nodes.insert(a);
    g.nodes.insert(b);
  }
  for (NodeIndex v : extra) g.nodes.insert(v);
  return g;
}

Matrix matrix_of(std::initializer_list<Entry> entries) {
  Matrix m;
  for (auto [a, b, w] : entries) m.set(a, b, w);
  return m;
}

std::string describe(const Entries& got, const Entries& want) {
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  auto show = [](const Entries& e, std::size_t k) {
    if (k >= e.size()) return std::string("<end>");
    auto [a, b, w] = e[k];
    return "(" + std::to_string(a) + "," + std::to_string(b) + ")=" + std::to_string(w);
  };
  return "sizes " + std::to_string(got.size()) + " vs " + std::to_string(want.size()) +
         ", first difference at " + std::to_string(i) + ": got " + show(got, i) + " want " +
         show(want, i);
}

#define CHECK_ENTRIES(got, want, ...)                                                          \
  do {                                                                                         \
    const Entries got_ = (got);                                                                \
    const Entries want_ = (want);                                                              \
    CHECK_MSG(got_ == want_, "%s; case %s", describe(got_, want_).c_str(), std::string(__VA_ARGS__).c_str()); \
  } while (0)

// The four ways of solving a component must all agree with the definition.
const ApspOptions kApspVariants[] = {
    {ApspMethod::automatic, 192},
    {ApspMethod::dense, std::numeric_limits<std::size_t>::max()},  // never tiled
    {ApspMethod::dense, 0},                                        // always tiled
    {ApspMethod::dijkstra, 192},
};
const char* const kApspVariantNames[] = {"automatic", "dense", "dense-tiled", "dijkstra"};

void check_apsp(const Graph& g, const Entries& want, const std::string& label) {
  for (int v = 0; v < 4; ++v) {
    const Matrix got = dist::detail::floyd_warshall_with(g, kApspVariants[v]);
    CHECK_ENTRIES(entries_of(got), want, label + " " + kApspVariantNames[v]);
    CHECK_MSG(got.nodes().members() == apsp_node_order(g), "node order, case %s %s",
              label.c_str(), kApspVariantNames[v]);
  }
}

void check_ncd(const Graph& g, const Matrix& d, Weight extreme, const std::string& label) {
  const Entries want = reference_ncd(g, d, extreme);
  const NcdOptions modes[] = {{NcdRows::automatic}, {NcdRows::sparse}, {NcdRows::dense},
                              {NcdRows::dense, 7}};  // several column passes
  const char* names[] = {"automatic", "sparse", "dense", "dense-chunked"};
  for (int m = 0; m < 4; ++m) {
    const Matrix got = dist::detail::nearest_common_descendant_with(g, d, extreme, modes[m]);
    CHECK_ENTRIES(entries_of(got), want, label + " " + names[m]);
  }
}

// ---------------------------------------------------------------------------

void test_model() {
  Matrix m;
  CHECK(!m.set(5, 7, 1));
  CHECK(!m.set(7, 5, 2));
  CHECK(m.set(5, 7, 9) == std::optional<Weight>(1));  // replaced, keeps its place
  CHECK(!m.set(0, kMaxWeight, 3));
  CHECK((entries_of(m) == Entries{{5, 7, 9}, {7, 5, 2}, {0, kMaxWeight, 3}}));
  CHECK(m.get(5, 7) == std::optional<Weight>(9));
  CHECK(!m.get(5, 5) && !m.get(1, 2));
  // Entries appended unindexed are still found and replaced in place.
  Matrix a(m.nodes());
  a.append_dense(0, 1, 4);
  a.append_dense(1, 0, 6);
  CHECK(a.get(5, 7) == std::optional<Weight>(4) && a.set(7, 5, 8) == std::optional<Weight>(6));
  CHECK((entries_of(a) == Entries{{5, 7, 4}, {7, 5, 8}}));

  Matrix order = matrix_of({{3, 1, 0}, {2, 3, 0}, {1, 4, 0}, {4, 4, 0}});
  CHECK((base::m2v(order).members() == std::vector<NodeIndex>{3, 1, 2, 4}));
  CHECK(base::m2v(Matrix()).empty());

  bool threw = false;
  try {
    dist::detail::checked_mul(std::numeric_limits<std::size_t>::max() / 2, 3);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  CHECK(threw);
}

void test_apsp_examples() {
  check_apsp(graph_of({{1, 2, 4}, {2, 3, 1}, {1, 3, 10}, {3, 4, 2}}),
             Entries{{1, 1, 0}, {1, 2, 4}, {1, 3, 5}, {1, 4, 7}, {2, 2, 0}, {2, 3, 1}, {2, 4, 3},
                     {3, 3, 0}, {3, 4, 2}, {4, 4, 0}},
             "chain with shortcut");
  check_apsp(graph_of({{1, 1, 10}, {1, 2, 1}, {2, 1, 1}}),
             Entries{{1, 1, 2}, {1, 2, 1}, {2, 1, 1}, {2, 2, 0}}, "loop beaten by cycle");
  check_apsp(graph_of({{1, 2, kMaxWeight}, {2, 3, 2}}),
             Entries{{1, 1, 0}, {1, 2, kMaxWeight}, {1, 3, kMaxWeight}, {2, 2, 0}, {2, 3, 2}, {3, 3, 0}},
             "saturated path stays present");
  check_apsp(graph_of({{1, 3, 5}, {1, 2, 2147483648u}, {2, 3, 1}}),
             Entries{{1, 1, 0}, {1, 3, 5}, {1, 2, 2147483648u}, {3, 3, 0}, {2, 3, 1}, {2, 2, 0}},
             "direct edge beats heavy detour");
  // A loop lighter than any cycle, a loop at the ceiling, and a loop on a
  // node with no other edge.
  check_apsp(graph_of({{1, 1, 3}, {1, 2, 5}, {2, 1, 5}, {2, 2, kMaxWeight}, {9, 9, 7}}),
             Entries{{1, 1, 3}, {1, 2, 5}, {2, 1, 5}, {2, 2, 10}, {9, 9, 7}}, "loops");
  check_apsp(Graph{}, Entries{}, "empty");
  check_apsp(graph_of({}, {kMaxWeight, 0}), Entries{{kMaxWeight, kMaxWeight, 0}, {0, 0, 0}},
             "isolated");
  // Two heavy edges whose sum is exactly the ceiling, and one more beyond.
  check_apsp(graph_of({{1, 2, 2147483648u}, {2, 3, 2147483647u}, {3, 4, 0}, {4, 5, 1}}),
             reference_apsp(graph_of({{1, 2, 2147483648u}, {2, 3, 2147483647u}, {3, 4, 0}, {4, 5, 1}})),
             "sums at and past the ceiling");
}

// Totals of edge weight around the points where the representation of "no
// path" changes: 2^31 - 1 and 2^32 - 1. A chain a -> b -> c whose length is
// the total, a loop on a heavier than any cycle, and a pair with no path.
void test_apsp_weight_boundaries() {
  const std::uint64_t totals[] = {0x7FFFFFFDu, 0x7FFFFFFEu, 0x7FFFFFFFu, 0x80000000u,
                                  0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu, 0x100000000u,
                                  0x17FFFFFFEu};
  for (std::uint64_t total : totals) {
    const Weight first = static_cast<Weight>(total / 2);
    const Weight second = static_cast<Weight>(total - first);
    for (Weight loop : {Weight{1}, Weight{0x7FFFFFFFu}, Weight{0x80000000u}, kMaxWeight}) {
      const Graph g = graph_of({{10, 20, first}, {20, 30, second}, {10, 10, loop}, {40, 40, loop}});
      check_apsp(g, reference_apsp(g), "total " + std::to_string(total) + " loop " + std::to_string(loop));
      const Graph cyc = graph_of({{10, 20, first}, {20, 10, second}, {10, 10, loop}});
      check_apsp(cyc, reference_apsp(cyc), "cycle " + std::to_string(total) + " loop " + std::to_string(loop));
    }
  }
}

void test_apsp_strays() {
  // Edges touching nodes outside the node set are copied and carry no path:
  // 1 -> 7 -> 2 does not make 2 reachable from 1.
  Graph g = graph_of({{1, 2, 3}});
  g.nodes.insert(4);
  g.edges.set(7, 2, 1);
  g.edges.set(1, 7, 1);
  g.edges.set(8, 8, 6);
  g.edges.set(2, 9, 5);
  const Entries want{{1, 1, 0}, {1, 2, 3}, {1, 7, 1}, {2, 2, 0}, {2, 9, 5},
                     {4, 4, 0}, {7, 2, 1}, {8, 8, 6}};
  CHECK_ENTRIES(reference_apsp(g), want, "stray reference");
  check_apsp(g, want, "strays");
}

void test_apsp_random_small() {
  Rng rng(20240611);
  for (int round = 0; round < 600; ++round) {
    GraphShape s;
    s.nodes = uniform(rng, 0, 24);
    s.groups = uniform(rng, 1, 4);
    s.density = 0.05 + 0.5 * static_cast<double>(uniform(rng, 0, 100)) / 100.0;
    s.loops = static_cast<double>(uniform(rng, 0, 50)) / 100.0;
    s.weights = static_cast<Weights>(uniform(rng, 0, 2));
    s.strays = chance(rng, 0.15) ? uniform(rng, 1, 3) : 0;
    const Graph g = random_graph(rng, s);
    check_apsp(g, reference_apsp(g), "small round " + std::to_string(round));
  }
}

// Components larger than a tile (several tiles, ragged last tile) and large
// enough for the reachability closure to matter.
void test_apsp_random_large() {
  Rng rng(77);
  for (int round = 0; round < 24; ++round) {
    GraphShape s;
    s.nodes = uniform(rng, 65, 210);
    s.groups = uniform(rng, 1, 3);
    s.density = round % 3 == 0 ? 0.3 : 2.0 / static_cast<double>(s.nodes);
    s.loops = 0.1;
    s.weights = static_cast<Weights>(round % 3);
    const Graph g = random_graph(rng, s);
    check_apsp(g, reference_apsp_table(g), "large round " + std::to_string(round));
  }
}

// The automatic choice: a long sparse component goes to Dijkstra, small or
// dense ones to the matrix, and mixing them in one graph keeps row order.
// Each method alone is checked against the definition above; here the mix
// must match the all-dense result.
void test_apsp_method_choice() {
  using dist::detail::prefers_dijkstra;
  CHECK(!prefers_dijkstra(1, 0) && !prefers_dijkstra(40, 40) && !prefers_dijkstra(300, 320));
  CHECK(prefers_dijkstra(2000, 6000) && prefers_dijkstra(800, 850));
  CHECK(!prefers_dijkstra(2000, 2000 * 500));

  Rng rng(5);
  Graph g;
  const std::vector<NodeIndex> ids = random_nodes(rng, 900);
  for (NodeIndex v : ids) g.nodes.insert(v);
  // Nodes 0..799 (in id order) form a ring with a few chords; 800..899 form
  // dense clusters of ten.
  for (std::size_t i = 0; i < 800; ++i) {
    g.edges.set(ids[i], ids[(i + 1) % 800], random_weight(rng, Weights::mixed));
    if (i % 17 == 0) g.edges.set(ids[i], ids[(i * 7) % 800], random_weight(rng, Weights::small));
  }
  for (std::size_t i = 800; i < 900; ++i)
    for (std::size_t j = 800 + (i - 800) / 10 * 10; j < 800 + (i - 800) / 10 * 10 + 10; ++j)
      if (chance(rng, 0.6)) g.edges.set(ids[i], ids[j], random_weight(rng, Weights::huge));
  const Entries dense = entries_of(dist::detail::floyd_warshall_with(g, {ApspMethod::dense, 192}));
  CHECK(dense.size() > 800 * 800);
  CHECK_ENTRIES(entries_of(dist::floyd_warshall(g)), dense, "mixed methods");
}

// ---------------------------------------------------------------------------

Entries ncd_pairs(NodeIndex n, std::initializer_list<Entry> off_diagonal) {
  std::map<std::pair<NodeIndex, NodeIndex>, Weight> r;
  for (auto [a, b, w] : off_diagonal) r[{a, b}] = r[{b, a}] = w;
  Entries out;
  for (NodeIndex x = 1; x <= n; ++x)
    for (NodeIndex y = 1; y <= n; ++y) out.emplace_back(x, y, x == y ? 0 : r.at({x, y}));
  return out;
}

void test_ncd_examples() {
  const Matrix d = matrix_of({{1, 1, 0}, {2, 2, 0}, {3, 3, 0}, {4, 4, 0}, {1, 3, 2},
                              {2, 3, 5}, {3, 4, 1}, {2, 4, 1}, {1, 4, 3}});
  const Graph g = graph_of({}, {1, 2, 3, 4});
  const Entries at100 = ncd_pairs(4, {{1, 2, 3}, {1, 3, 2}, {1, 4, 3}, {2, 3, 1}, {2, 4, 1}, {3, 4, 1}});
  CHECK_ENTRIES(reference_ncd(g, d, 100), at100, "reference at 100");
  check_ncd(g, d, 100, "four nodes, extreme 100");
  const Entries at2 = ncd_pairs(4, {{1, 2, 2}, {1, 3, 2}, {1, 4, 2}, {2, 3, 1}, {2, 4, 1}, {3, 4, 1}});
  CHECK_ENTRIES(reference_ncd(g, d, 2), at2, "reference at 2");
  check_ncd(g, d, 2, "four nodes, extreme 2");

  const Graph g3 = graph_of({}, {1, 2, 3});
  const Matrix d3 = matrix_of({{1, 3, 2}, {2, 3, 5}});
  CHECK_ENTRIES(reference_ncd(g3, d3, 100), ncd_pairs(3, {{1, 2, 5}, {1, 3, 100}, {2, 3, 100}}),
                "reference no diagonal");
  check_ncd(g3, d3, 100, "no diagonal");

  const Graph g7 = graph_of({}, {7});
  CHECK_ENTRIES(entries_of(dist::nearest_common_descendant(g7, matrix_of({{7, 7, 3}}), 9)),
                (Entries{{7, 7, 0}}), "single node");
  CHECK_ENTRIES(entries_of(dist::nearest_common_descendant(Graph{}, d, 5)), Entries{}, "no nodes");
  check_ncd(g, d, 0, "extreme 0");
  CHECK_ENTRIES(entries_of(dist::nearest_common_descendant(g, d, 0)), ncd_pairs(4, {{1, 2, 0}, {1, 3, 0}, {1, 4, 0}, {2, 3, 0}, {2, 4, 0}, {3, 4, 0}}),
                "extreme 0 is all zero");

  // Unsigned comparison: 2^31 must not look negative.
  const Matrix big = matrix_of({{1, 3, 2147483648u}, {2, 3, 1}, {1, 4, 5}, {2, 4, 5}});
  const Graph g4 = graph_of({}, {1, 2, 3, 4});
  CHECK(dist::nearest_common_descendant(g4, big, kMaxWeight).get(1, 2) == std::optional<Weight>(5));
  check_ncd(g4, big, kMaxWeight, "unsigned");
  // Entries naming nodes outside the graph are ignored.
  Matrix stray = matrix_of({{1, 3, 1}, {2, 3, 1}, {1, 9, 0}, {2, 9, 0}, {9, 1, 0}});
  check_ncd(g3, stray, 50, "stray distances");
  CHECK(dist::nearest_common_descendant(g3, stray, 50).get(1, 2) == std::optional<Weight>(1));
}

void test_ncd_random() {
  Rng rng(99);
  const Weight extremes[] = {0, 1, 10, 25, 1u << 20, 2147483648u, kMaxWeight - 1, kMaxWeight};
  for (int round = 0; round < 240; ++round) {
    GraphShape s;
    s.nodes = uniform(rng, 0, round % 10 == 0 ? 70 : 22);
    s.groups = uniform(rng, 1, 4);
    s.density = 0.02 + static_cast<double>(uniform(rng, 0, 30)) / 100.0;
    s.weights = static_cast<Weights>(uniform(rng, 0, 2));
    const Graph g = random_graph(rng, s);
    const Weight extreme = chance(rng, 0.2) ? static_cast<Weight>(uniform(rng, 0, kMaxWeight))
                                            : extremes[uniform(rng, 0, 7)];
    const std::string label = "round " + std::to_string(round);
    if (round % 2 == 0)
      check_ncd(g, dist::floyd_warshall(g), extreme, label + " from distances");
    else
      check_ncd(g, random_distances(rng, g, static_cast<double>(uniform(rng, 0, 40)) / 100.0, 2),
                extreme, label + " arbitrary");
  }
}

}  // namespace

int main() {
  test_model();
  test_apsp_examples();
  test_apsp_weight_boundaries();
  test_apsp_strays();
  test_apsp_random_small();
  test_apsp_random_large();
  test_apsp_method_choice();
  test_ncd_examples();
  test_ncd_random();
  return velkor::testing::finish();
}
