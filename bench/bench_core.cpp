// Timing of the distance algorithms on synthetic graphs, for tuning the core.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/model.hpp"
#include "dist/floyd_warshall.hpp"
#include "dist/floyd_warshall_detail.hpp"
#include "dist/nearest_common_descendant.hpp"
#include "dist/nearest_common_descendant_detail.hpp"

namespace {

using velkor::base::Graph;
using velkor::base::Matrix;
using velkor::base::NodeIndex;
using velkor::base::Weight;
namespace detail = velkor::dist::detail;

using Clock = std::chrono::steady_clock;

Graph with_nodes(std::size_t n) {
  Graph g;
  g.nodes.reserve(n);
  for (std::size_t v = 0; v < n; ++v) g.nodes.insert(static_cast<NodeIndex>(v * 7 + 3));
  return g;
}

NodeIndex id(std::size_t v) { return static_cast<NodeIndex>(v * 7 + 3); }

// Every ordered pair an edge with probability p.
Graph random_dense(std::size_t n, double p, std::mt19937_64& rng) {
  Graph g = with_nodes(n);
  std::bernoulli_distribution edge(p);
  std::uniform_int_distribution<Weight> w(1, 1000);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (i != j && edge(rng)) g.edges.set(id(i), id(j), w(rng));
  return g;
}

// About `degree` random out-edges per node.
Graph random_sparse(std::size_t n, std::size_t degree, std::mt19937_64& rng) {
  Graph g = with_nodes(n);
  std::uniform_int_distribution<std::size_t> node(0, n - 1);
  std::uniform_int_distribution<Weight> w(1, 1000);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t e = 0; e < degree; ++e) g.edges.set(id(i), id(node(rng)), w(rng));
  return g;
}

Graph chain(std::size_t n) {
  Graph g = with_nodes(n);
  for (std::size_t i = 0; i + 1 < n; ++i) g.edges.set(id(i), id(i + 1), 1);
  return g;
}

// side x side grid, edges right and down (a DAG), or both ways.
Graph grid(std::size_t side, bool both_ways) {
  Graph g = with_nodes(side * side);
  for (std::size_t r = 0; r < side; ++r)
    for (std::size_t c = 0; c < side; ++c) {
      const std::size_t v = r * side + c;
      if (c + 1 < side) {
        g.edges.set(id(v), id(v + 1), 1);
        if (both_ways) g.edges.set(id(v + 1), id(v), 2);
      }
      if (r + 1 < side) {
        g.edges.set(id(v), id(v + side), 3);
        if (both_ways) g.edges.set(id(v + side), id(v), 1);
      }
    }
  return g;
}

template <class F>
double seconds(F&& f, int repeat) {
  double best = 1e100;
  for (int r = 0; r < repeat; ++r) {
    const auto t0 = Clock::now();
    f();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

void report(const char* what, std::size_t n, std::size_t edges, double s, std::size_t entries) {
  const double cube = static_cast<double>(n) * n * n;
  std::printf("%-34s n=%6zu e=%8zu  %9.3f ms  %7.3f ns/n^3  (%zu entries)\n", what, n, edges,
              s * 1e3, s * 1e9 / cube, entries);
}

void bench_apsp(const char* name, const Graph& g, int repeat) {
  const struct {
    const char* label;
    detail::ApspOptions opt;
  } variants[] = {
      {"auto", {detail::ApspMethod::automatic, 192}},
      {"dense", {detail::ApspMethod::dense, 192}},
      {"dijkstra", {detail::ApspMethod::dijkstra, 192}},
  };
  for (const auto& v : variants) {
    std::size_t entries = 0;
    const double s = seconds([&] { entries = detail::floyd_warshall_with(g, v.opt).size(); }, repeat);
    report((std::string("apsp ") + name + " [" + v.label + "]").c_str(), g.nodes.size(),
           g.edges.size(), s, entries);
  }
}

void bench_ncd(const char* name, const Graph& g, const Matrix& d, Weight extreme, int repeat) {
  const struct {
    const char* label;
    detail::NcdRows rows;
  } variants[] = {
      {"auto", detail::NcdRows::automatic},
      {"sparse", detail::NcdRows::sparse},
      {"dense", detail::NcdRows::dense},
  };
  for (const auto& v : variants) {
    std::size_t entries = 0;
    const double s = seconds(
        [&] {
          entries = detail::nearest_common_descendant_with(g, d, extreme, detail::NcdOptions{v.rows}).size();
        },
        repeat);
    report((std::string("ncd ") + name + " [" + v.label + "]").c_str(), g.nodes.size(), d.size(), s,
           entries);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int repeat = quick ? 1 : 3;
  std::mt19937_64 rng(12345);

  bench_apsp("dense p=0.1", random_dense(500, 0.1, rng), repeat);
  bench_apsp("dense p=0.1", random_dense(1000, 0.1, rng), repeat);
  bench_apsp("sparse deg=3", random_sparse(2000, 3, rng), repeat);
  bench_apsp("sparse deg=8", random_sparse(2000, 8, rng), repeat);
  bench_apsp("chain", chain(2000), repeat);
  bench_apsp("grid dag 45x45", grid(45, false), repeat);
  bench_apsp("grid both 45x45", grid(45, true), repeat);

  for (std::size_t n : {500, 1000}) {
    const Graph sparse = random_sparse(n, 2, rng);
    const Matrix d_sparse = velkor::dist::floyd_warshall(sparse);
    bench_ncd("of sparse apsp, extreme 10^6", sparse, d_sparse, 1000000, repeat);
    bench_ncd("of sparse apsp, extreme 1500", sparse, d_sparse, 1500, repeat);
    const Graph dag = grid(n == 500 ? 22 : 32, false);
    const Matrix d_dag = velkor::dist::floyd_warshall(dag);
    bench_ncd("of grid dag apsp", dag, d_dag, 1000000, repeat);
  }
  return 0;
}
