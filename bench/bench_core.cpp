// Timing of the distance algorithms on synthetic graphs, for tuning the core.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "base/model.hpp"
#include "base/resources.hpp"
#include "base/result.hpp"
#include "algo/dense_kernel.hpp"
#include "algo/floyd_warshall.hpp"
#include "algo/floyd_warshall_detail.hpp"
#include "algo/nearest_common_descendant.hpp"
#include "algo/nearest_common_descendant_detail.hpp"
#include "algo/parallel.hpp"

namespace {

using velkor::base::Edge;
using velkor::base::Graph;
using velkor::base::NodeIndex;
using velkor::base::PathRows;
using velkor::base::Resources;
using velkor::base::Weight;
namespace detail = velkor::algo::detail;

using Clock = std::chrono::steady_clock;

Graph with_nodes(std::size_t n) {
  Graph g;
  g.nodes = static_cast<std::uint32_t>(n);
  return g;
}

void add(Graph& g, std::size_t a, std::size_t b, Weight w) {
  g.edges.push_back(Edge{static_cast<NodeIndex>(a), static_cast<NodeIndex>(b), w});
}

// Every ordered pair an edge with probability p.
Graph random_dense(std::size_t n, double p, std::mt19937_64& rng) {
  Graph g = with_nodes(n);
  std::bernoulli_distribution edge(p);
  std::uniform_int_distribution<Weight> w(1, 1000);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (i != j && edge(rng)) add(g, i, j, w(rng));
  return g;
}

// About `degree` random out-edges per node.
Graph random_sparse(std::size_t n, std::size_t degree, std::mt19937_64& rng) {
  Graph g = with_nodes(n);
  std::uniform_int_distribution<std::size_t> node(0, n - 1);
  std::uniform_int_distribution<Weight> w(1, 1000);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t e = 0; e < degree; ++e) add(g, i, node(rng), w(rng));
  return g;
}

Graph chain(std::size_t n) {
  Graph g = with_nodes(n);
  for (std::size_t i = 0; i + 1 < n; ++i) add(g, i, i + 1, 1);
  return g;
}

// side x side grid, edges right and down (a DAG), or both ways.
Graph grid(std::size_t side, bool both_ways) {
  Graph g = with_nodes(side * side);
  for (std::size_t r = 0; r < side; ++r)
    for (std::size_t c = 0; c < side; ++c) {
      const std::size_t v = r * side + c;
      if (c + 1 < side) {
        add(g, v, v + 1, 1);
        if (both_ways) add(g, v + 1, v, 2);
      }
      if (r + 1 < side) {
        add(g, v, v + side, 3);
        if (both_ways) add(g, v + side, v, 1);
      }
    }
  return g;
}

// The entries of an all-pairs result as a distance list.
Graph distances_of(const PathRows& rows) {
  Graph g = with_nodes(rows.node_count());
  g.edges.reserve(rows.entry_count());
  for (NodeIndex r = 0; r < rows.node_count(); ++r)
    rows.for_each_in_row(r, [&](NodeIndex c, Weight w) { g.edges.push_back(Edge{r, c, w}); });
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

// The best time of call(graph) handed a copy of `g` (the algorithms consume
// their graph; the copy is not timed); stores the result's entry count.
template <class Call>
double timed(const Graph& g, Call&& call, int repeat, std::size_t& entries) {
  double best = 1e100;
  for (int r = 0; r < repeat; ++r) {
    Graph copy = g;
    const auto t0 = Clock::now();
    entries = call(std::move(copy)).entry_count();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

void report(const std::string& what, std::size_t n, std::size_t edges, double s, std::size_t entries) {
  const double cube = static_cast<double>(n) * n * n;
  std::printf("%-40s n=%6zu e=%8zu  %9.3f ms  %7.3f ns/n^3  (%zu entries)\n", what.c_str(), n, edges,
              s * 1e3, s * 1e9 / cube, entries);
}

Resources threads(unsigned t) {
  Resources r;
  r.threads = t;
  return r;
}

// The methods side by side, on the calling thread alone.
void bench_apsp(const char* name, const Graph& g, int repeat) {
  const struct {
    const char* label;
    detail::ApspMethod method;
  } variants[] = {
      {"auto", detail::ApspMethod::automatic},
      {"dense", detail::ApspMethod::dense},
      {"dijkstra", detail::ApspMethod::dijkstra},
  };
  for (const auto& v : variants) {
    std::size_t entries = 0;
    const double s = timed(
        g, [&](Graph c) { return detail::floyd_warshall_with(std::move(c), threads(1), {v.method}); }, repeat,
        entries);
    report(std::string("apsp ") + name + " [" + v.label + "]", g.nodes, g.edges.size(), s, entries);
  }
}

void bench_ncd(const char* name, const Graph& d, Weight extreme, int repeat) {
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
    const double s = timed(
        d, [&](Graph c) { return detail::nearest_common_descendant_with(std::move(c), extreme, threads(1), {v.rows}); },
        repeat, entries);
    report(std::string("ncd ") + name + " [" + v.label + "]", d.nodes, d.edges.size(), s, entries);
  }
}

// One call at 1, 2 and all threads, with the ratio of 2 threads to 1. The
// thread counts take turns, so that drifts of the machine's speed hit all
// alike; the best of the runs counts.
template <class Call>
void sweep(const std::string& what, const Graph& g, Call&& call, int repeat) {
  std::vector<unsigned> counts{1, 2};
  if (const unsigned all = detail::thread_count(0); all > 2) counts.push_back(all);
  std::vector<double> best(counts.size(), 1e100);
  std::size_t entries = 0;
  for (int r = 0; r < repeat; ++r)
    for (std::size_t i = 0; i < counts.size(); ++i)
      best[i] = std::min(best[i], timed(g, [&](Graph c) { return call(std::move(c), threads(counts[i])); }, 1, entries));
  for (std::size_t i = 0; i < counts.size(); ++i)
    report(what + " threads=" + std::to_string(counts[i]), g.nodes, g.edges.size(), best[i], entries);
  std::printf("%-40s 2 threads / 1 thread = %.2f\n", what.c_str(), best[1] / best[0]);
}

// The dense kernel alone on a c x c matrix, for comparing the whole call with it.
double kernel_seconds(const Graph& g, unsigned t, int repeat) {
  const std::size_t c = g.nodes;
  const std::size_t s = detail::dense_stride(c, true);
  std::uint64_t total = 0;
  for (const Edge& e : g.edges) total += e.weight;
  const bool plain = total < detail::kPlainInf;
  std::vector<std::uint32_t> start(c * s, plain ? detail::kPlainInf : velkor::base::kMaxWeight);
  for (std::size_t v = 0; v < c; ++v) start[v * s + v] = 0;
  for (const Edge& e : g.edges) start[std::size_t{e.from} * s + e.to] = e.weight;
  auto d = velkor::base::allocate_storage<std::uint32_t>(c * s);  // aligned as the solver's
  detail::Team team(threads(t));
  double best = 1e100;
  for (int r = 0; r < repeat; ++r) {
    std::copy(start.begin(), start.end(), d.get());
    const auto t0 = Clock::now();
    detail::dense_apsp(d.get(), c, s, plain, true, &team);
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

// Each method on graphs of several shapes, on the calling thread alone.
void methods(std::mt19937_64& rng, int repeat) {
  bench_apsp("dense p=0.1", random_dense(500, 0.1, rng), repeat);
  bench_apsp("dense p=0.1", random_dense(1000, 0.1, rng), repeat);
  bench_apsp("sparse deg=3", random_sparse(2000, 3, rng), repeat);
  bench_apsp("sparse deg=8", random_sparse(2000, 8, rng), repeat);
  bench_apsp("chain", chain(2000), repeat);
  bench_apsp("grid dag 45x45", grid(45, false), repeat);
  bench_apsp("grid both 45x45", grid(45, true), repeat);

  for (std::size_t n : {500, 1000}) {
    const Graph d_sparse = distances_of(velkor::algo::floyd_warshall(random_sparse(n, 2, rng), {}));
    bench_ncd("of sparse apsp, extreme 10^6", d_sparse, 1000000, repeat);
    bench_ncd("of sparse apsp, extreme 1500", d_sparse, 1500, repeat);
    const Graph d_dag = distances_of(velkor::algo::floyd_warshall(grid(n == 500 ? 22 : 32, false), {}));
    bench_ncd("of grid dag apsp", d_dag, 1000000, repeat);
  }
}

// 1, 2 and all threads; what the call costs besides the kernel; reading a
// result; refusing one too large to hold.
void sweeps(std::mt19937_64& rng, int repeat) {
  std::printf("\n");
  const Graph complete = random_dense(2000, 1.0, rng);
  auto dense = [](Graph g, const Resources& r) {
    return detail::floyd_warshall_with(std::move(g), r, {detail::ApspMethod::dense});
  };
  sweep("apsp complete [dense]", complete, dense, repeat);
  for (unsigned t : {1u, 2u}) {
    double kernel = 1e100, whole = 1e100;
    std::size_t entries = 0;
    for (int r = 0; r < repeat; ++r) {
      kernel = std::min(kernel, kernel_seconds(complete, t, 1));
      whole = std::min(whole, timed(complete, [&](Graph c) { return dense(std::move(c), threads(t)); }, 1, entries));
    }
    std::printf("%-40s kernel %.1f ms, the rest %.1f ms (%.1f%%)\n",
                ("apsp complete threads=" + std::to_string(t)).c_str(), kernel * 1e3, (whole - kernel) * 1e3,
                100 * (whole - kernel) / kernel);
  }
  sweep("apsp sparse deg=3 [dijkstra]", random_sparse(4000, 3, rng),
        [](Graph g, const Resources& r) {
          return detail::floyd_warshall_with(std::move(g), r, {detail::ApspMethod::dijkstra});
        },
        repeat);
  const Graph d2000 = distances_of(velkor::algo::floyd_warshall(random_sparse(2000, 2, rng), {}));
  for (Weight extreme : {Weight{1000000}, Weight{1500}})
    sweep("ncd of sparse apsp, extreme " + std::to_string(extreme), d2000,
          [extreme](Graph g, const Resources& r) {
            return velkor::algo::nearest_common_descendant(std::move(g), extreme, r);
          },
          repeat);

  // Reading a result the way the output builder does.
  {
    const PathRows rows = velkor::algo::floyd_warshall(complete, {});
    std::uint64_t sum = 0;
    const double s = seconds(
        [&] {
          for (NodeIndex r = 0; r < rows.node_count(); ++r)
            rows.for_each_in_row(r, [&](NodeIndex c, Weight w) { sum += c ^ w; });
        },
        repeat);
    std::printf("\n%-40s %.2f ns per entry (checksum %llu)\n", "reading apsp complete", s * 1e9 / rows.entry_count(),
                static_cast<unsigned long long>(sum));
  }

  // A result too large to hold is refused early: 80,000 nodes, 240,000
  // random edges, charged against the system's memory.
  {
    const Graph big = random_sparse(80000, 3, rng);
    constexpr velkor::base::LinearResultCost kEntryCost(96);
    velkor::base::MemoryBudget budget(kEntryCost);
    Resources res;
    res.budget = &budget;
    const auto t0 = Clock::now();
    bool refused = false;
    try {
      velkor::algo::floyd_warshall(big, res);
    } catch (const std::bad_alloc&) {
      refused = true;
    }
    std::printf("%-40s %s after %.1f ms\n", "apsp 80000 nodes, 240000 edges", refused ? "refused" : "computed",
                std::chrono::duration<double>(Clock::now() - t0).count() * 1e3);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, sweeps_only = false;
  for (int a = 1; a < argc; ++a) {
    quick |= std::strcmp(argv[a], "--quick") == 0;
    sweeps_only |= std::strcmp(argv[a], "--threads") == 0;
  }
  std::mt19937_64 rng(12345);
  if (!sweeps_only) methods(rng, quick ? 1 : 3);
  sweeps(rng, quick ? 1 : 5);
  return 0;
}
