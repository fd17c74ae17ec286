// Tests of the computational core: the graph model, all-pairs distances and nearest common descendants.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/model.hpp"
#include "base/resources.hpp"
#include "base/result.hpp"
#include "check.hpp"
#include "counting_heap.hpp"
#include "algo/adjacency.hpp"
#include "algo/budget.hpp"
#include "algo/components.hpp"
#include "algo/floyd_warshall.hpp"
#include "algo/floyd_warshall_detail.hpp"
#include "algo/nearest_common_descendant.hpp"
#include "algo/nearest_common_descendant_detail.hpp"
#include "algo/parallel.hpp"
#include "platform/cpu_count.hpp"
#include "platform/memory_room.hpp"
#include "platform/thread_identity.hpp"
#include "reference.hpp"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <thread>

namespace {

using namespace velkor;
using namespace velkor::testing;
using base::PathRows;
using base::Resources;
using base::SquareRows;
using algo::detail::ApspMethod;
using algo::detail::ApspOptions;
using algo::detail::NcdOptions;
using algo::detail::NcdRows;

// Sets (or, with null, removes) an environment variable of this process.
void set_env(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value : "");  // an empty value removes it
#else
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
#endif
}

Graph graph_of(std::uint32_t nodes, std::initializer_list<Entry> edges) {
  Graph g;
  g.nodes = nodes;
  for (auto [a, b, w] : edges) g.edges.push_back(Edge{a, b, w});
  return g;
}

Resources threads(unsigned count) {
  Resources r;
  r.threads = count;
  return r;
}

PathRows apsp(const Graph& g, const ApspOptions& opt, const Resources& res = threads(1)) {
  return algo::detail::floyd_warshall_with(g, res, opt);
}

SquareRows ncd(const Graph& g, Weight extreme, const NcdOptions& opt, const Resources& res = threads(1)) {
  return algo::detail::nearest_common_descendant_with(g, extreme, res, opt);
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

// Every result is read through its reading interface and must report its
// exact size.
template <class Rows>
Entries read(const Rows& rows, std::uint32_t nodes, const std::string& label) {
  const Entries e = entries_of(rows);
  CHECK_MSG(rows.node_count() == nodes && rows.entry_count() == e.size(),
            "nodes %u entries %zu read %zu; case %s", rows.node_count(), rows.entry_count(), e.size(),
            label.c_str());
  return e;
}

// The ways of solving a component must all agree with the definition, on
// the calling thread and with helpers taking every job (threshold 0).
const ApspOptions kApspVariants[] = {
    {ApspMethod::automatic, 192},
    {ApspMethod::dense, std::numeric_limits<std::size_t>::max()},  // never tiled
    {ApspMethod::dense, 0},                                        // always tiled
    {ApspMethod::dijkstra, 192},
};
const char* const kApspVariantNames[] = {"automatic", "dense", "dense-tiled", "dijkstra"};

void check_apsp(const Graph& g, const Entries& want, const std::string& label) {
  for (int v = 0; v < 4; ++v)
    for (unsigned t : {1u, 3u}) {
      ApspOptions opt = kApspVariants[v];
      opt.parallel_min_work = 0;
      CHECK_ENTRIES(read(apsp(g, opt, threads(t)), g.nodes, label), want,
                    label + " " + kApspVariantNames[v] + " threads " + std::to_string(t));
    }
}

// The sparse and chunked modes also split each x row's pairs into short
// runs of y rows; the chunked one adds several column passes.
const NcdOptions kNcdModes[] = {{NcdRows::automatic},
                                {NcdRows::sparse, algo::detail::kNcdColumnChunk, 3},
                                {NcdRows::dense},
                                {NcdRows::dense, 7, 1}};
const char* const kNcdModeNames[] = {"automatic", "sparse", "dense", "dense-chunked"};

void check_ncd(const Graph& g, Weight extreme, const std::string& label) {
  const Entries want = reference_ncd(g, extreme);
  for (int m = 0; m < 4; ++m)
    for (unsigned t : {1u, 3u}) {
      NcdOptions opt = kNcdModes[m];
      opt.parallel_min_work = 0;
      CHECK_ENTRIES(read(ncd(g, extreme, opt, threads(t)), g.nodes, label), want,
                    label + " " + kNcdModeNames[m] + " threads " + std::to_string(t));
    }
}

// ---------------------------------------------------------------------------

void test_model() {
  // Integer nodes are numbered in order of first appearance, small values
  // through the direct table and others through the hash index alike.
  base::NodeSet nodes(8);
  const NodeIndex ids[] = {nodes.insert(5), nodes.insert(100000), nodes.insert(5),
                           nodes.insert(kMaxWeight), nodes.insert(0), nodes.insert(100000)};
  CHECK((std::vector<NodeIndex>(ids, ids + 6) == std::vector<NodeIndex>{0, 1, 0, 2, 3, 1}));
  CHECK((nodes.values() == std::vector<std::uint32_t>{5, 100000, kMaxWeight, 0}));
  // Values at the bound of the direct table, just inside and just outside
  // it, keep one id each however often they come.
  for (std::uint32_t bound : {0u, 1u, 1024u}) {
    base::NodeSet set(bound);
    std::map<std::uint32_t, NodeIndex> seen;
    bool stable = true;
    for (int round = 0; round < 2; ++round)
      for (std::uint32_t v : {bound, bound + 1, bound == 0 ? 0u : bound - 1, 0u, kMaxWeight, bound}) {
        const NodeIndex id = set.insert(v);
        const auto [it, fresh] = seen.emplace(v, static_cast<NodeIndex>(seen.size()));
        stable &= it->second == id && set.values()[id] == v;
      }
    CHECK_MSG(stable && set.size() == seen.size(), "direct table of %u", bound);
  }

  // Compressed rows: a repeated pair keeps its first place and its last
  // weight, and only then is it filtered (here: weights below 5).
  for (bool sorted : {false, true}) {
    std::vector<Edge> edges{{0, 1, 9}, {0, 3, 3}, {0, 2, 1}, {0, 1, 4}, {0, 3, 8}, {1, 0, 2}, {2, 2, 1}, {2, 2, 2}};
    if (!sorted) std::swap(edges[4], edges[5]);
    algo::detail::Team team(threads(1));
    const algo::detail::Adjacency adj = algo::detail::build_adjacency(
        edges, 4, [](NodeIndex, const algo::detail::Arc& a) { return a.weight < 5; }, team, nullptr);
    CHECK(edges.empty());
    CHECK((adj.start == std::vector<std::size_t>{0, 2, 3, 4, 4}));
    std::vector<std::pair<NodeIndex, Weight>> arcs;
    for (std::size_t p = 0; p < adj.count; ++p) arcs.emplace_back(adj.arcs[p].to, adj.arcs[p].weight);
    CHECK((arcs == std::vector<std::pair<NodeIndex, Weight>>{{1, 4}, {2, 1}, {0, 2}, {2, 2}}));
  }

  bool threw = false;
  try {
    algo::detail::checked_mul(std::numeric_limits<std::size_t>::max() / 2, 3);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  CHECK(threw);

  // Threads: as asked, else the CPUs capped by VELKOR_NUM_THREADS when it
  // holds a positive integer.
  using algo::detail::thread_count;
  CHECK(thread_count(3) == 3);
  set_env("VELKOR_NUM_THREADS", nullptr);
  const unsigned cpus = thread_count(0);
  CHECK(cpus >= 1);
  set_env("VELKOR_NUM_THREADS", "1");
  CHECK(thread_count(0) == 1 && thread_count(2) == 2);
  for (const char* bad : {"0", "-2", "two", ""}) {
    set_env("VELKOR_NUM_THREADS", bad);
    CHECK_MSG(thread_count(0) == cpus, "VELKOR_NUM_THREADS=%s", bad);
  }
  set_env("VELKOR_NUM_THREADS", nullptr);

  // Integers from the caller are node numbers and weights in 0..2^32-1,
  // taken as 64 bits whatever the width of `long`.
  using base::in_weight_range;
  CHECK(in_weight_range(0) && in_weight_range(5) && in_weight_range(2147483648) && in_weight_range(kMaxWeight));
  CHECK(!in_weight_range(-1) && !in_weight_range(std::int64_t{kMaxWeight} + 1) &&
        !in_weight_range(std::numeric_limits<std::int64_t>::min()) &&
        !in_weight_range(std::numeric_limits<std::int64_t>::max()));
}

// What the platform layer reads from the system: figures, not "unknown"
// (the memory budget would then never refuse) and not zero (it would refuse
// everything); the initial thread told apart from others, whichever thread
// asks first.
void test_platform() {
  bool helper_initial = true;
  std::uint64_t helper_id = 0;
  std::thread([&] {
    helper_initial = platform::on_initial_thread();
    helper_id = platform::current_thread_id();
  }).join();
  CHECK(!helper_initial && platform::on_initial_thread());
  CHECK(helper_id != platform::current_thread_id());

  const unsigned cpus = platform::usable_cpus();
  const unsigned hardware = std::thread::hardware_concurrency();
  // More than one processor group (64 processors) may hold more CPUs than
  // the C++ runtime counts.
  CHECK_MSG(cpus >= 1 && (cpus <= hardware || hardware >= 64), "%u usable CPUs of %u", cpus, hardware);

  const std::size_t available = platform::available_memory();
  const std::size_t group = platform::group_memory_room();
  const std::size_t address_space = platform::address_space_room();
  // (SIZE_MAX also stands for more than a 32-bit process can address.)
  CHECK_MSG(available > (std::size_t{16} << 20) && (available < SIZE_MAX || sizeof(void*) < 8),
            "available memory %zu", available);
  CHECK_MSG(group > 0 && address_space > 0, "group room %zu, address space room %zu", group, address_space);
  for (bool precise : {false, true}) {
    const platform::MemoryRoom room = platform::memory_room(precise);
    CHECK_MSG(room.memory > 0 && room.memory <= room.address_space, "room %zu, address space %zu", room.memory,
              room.address_space);
  }
}

// The cheap reach bounds that refuse large results early: exact on strongly
// connected parts and chains, never above a row's true entry count.
void test_reach_bounds() {
  auto all = [](NodeIndex, const algo::detail::Arc&) { return true; };
  algo::detail::Team team(threads(1));
  std::vector<Edge> edges{{0, 1, 1}, {1, 2, 1}, {3, 4, 1}, {4, 3, 1}, {4, 2, 1}, {5, 6, 1}, {5, 7, 1}, {8, 8, 1}};
  const auto adj = algo::detail::build_adjacency(edges, 9, all, team, nullptr);
  CHECK((algo::detail::reach_lower_bounds(adj, 9, nullptr) == std::vector<std::uint32_t>{3, 2, 1, 3, 3, 2, 1, 1, 1}));

  Rng rng(404);
  for (int round = 0; round < 40; ++round) {
    GraphShape s;
    s.nodes = uniform(rng, 1, 40);
    s.groups = uniform(rng, 1, 3);
    s.density = 0.02 + static_cast<double>(uniform(rng, 0, 10)) / 100.0;
    Graph g = random_graph(rng, s);
    std::vector<std::uint32_t> entries(g.nodes, 0);
    for (auto [a, b, w] : reference_apsp(g)) ++entries[a];
    const auto adj = algo::detail::build_adjacency(g.edges, g.nodes, all, team, nullptr);
    const std::vector<std::uint32_t> bound = algo::detail::reach_lower_bounds(adj, g.nodes, nullptr);
    bool below = true;
    for (NodeIndex v = 0; v < g.nodes; ++v) below &= bound[v] >= 1 && bound[v] <= entries[v];
    CHECK_MSG(below, "round %d", round);
  }
}

void test_apsp_examples() {
  check_apsp(graph_of(4, {{0, 1, 4}, {1, 2, 1}, {0, 2, 10}, {2, 3, 2}}),
             Entries{{0, 0, 0}, {0, 1, 4}, {0, 2, 5}, {0, 3, 7}, {1, 1, 0}, {1, 2, 1}, {1, 3, 3},
                     {2, 2, 0}, {2, 3, 2}, {3, 3, 0}},
             "chain with shortcut");
  check_apsp(graph_of(2, {{0, 0, 10}, {0, 1, 1}, {1, 0, 1}}),
             Entries{{0, 0, 2}, {0, 1, 1}, {1, 0, 1}, {1, 1, 0}}, "loop beaten by cycle");
  check_apsp(graph_of(3, {{0, 1, kMaxWeight}, {1, 2, 2}}),
             Entries{{0, 0, 0}, {0, 1, kMaxWeight}, {0, 2, kMaxWeight}, {1, 1, 0}, {1, 2, 2}, {2, 2, 0}},
             "saturated path stays present");
  check_apsp(graph_of(3, {{0, 2, 5}, {0, 1, 2147483648u}, {1, 2, 1}}),
             Entries{{0, 0, 0}, {0, 1, 2147483648u}, {0, 2, 5}, {1, 1, 0}, {1, 2, 1}, {2, 2, 0}},
             "direct edge beats heavy detour");
  // A loop lighter than any cycle, a loop at the ceiling, a loop on a node
  // with no other edge, and nodes without any entry.
  check_apsp(graph_of(5, {{0, 0, 3}, {0, 1, 5}, {1, 0, 5}, {1, 1, kMaxWeight}, {3, 3, 7}}),
             Entries{{0, 0, 3}, {0, 1, 5}, {1, 0, 5}, {1, 1, 10}, {2, 2, 0}, {3, 3, 7}, {4, 4, 0}},
             "loops");
  check_apsp(Graph{}, Entries{}, "empty");
  check_apsp(graph_of(2, {}), Entries{{0, 0, 0}, {1, 1, 0}}, "isolated");
  // Two heavy edges whose sum is exactly the ceiling, and one more beyond.
  const Graph ceiling = graph_of(5, {{0, 1, 2147483648u}, {1, 2, 2147483647u}, {2, 3, 0}, {3, 4, 1}});
  check_apsp(ceiling, reference_apsp(ceiling), "sums at and past the ceiling");
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
      const Graph g = graph_of(4, {{0, 1, first}, {1, 2, second}, {0, 0, loop}, {3, 3, loop}});
      check_apsp(g, reference_apsp(g), "total " + std::to_string(total) + " loop " + std::to_string(loop));
      const Graph cyc = graph_of(2, {{0, 1, first}, {1, 0, second}, {0, 0, loop}});
      check_apsp(cyc, reference_apsp(cyc), "cycle " + std::to_string(total) + " loop " + std::to_string(loop));
    }
  }
}

// A pair given several times takes its last weight, whichever is lighter,
// the diagonal included.
void test_repeated_pairs() {
  const Graph g = graph_of(3, {{0, 1, 1}, {1, 2, 5}, {0, 1, 7}, {0, 0, 2}, {0, 0, 9}, {1, 2, 3}});
  const Entries want{{0, 0, 9}, {0, 1, 7}, {0, 2, 10}, {1, 1, 0}, {1, 2, 3}, {2, 2, 0}};
  CHECK_ENTRIES(reference_apsp(g), want, "reference");
  check_apsp(g, want, "repeated pairs");

  // A distance below `extreme` overridden by one at or above it no longer
  // counts, and the other way round.
  const Graph d = graph_of(3, {{0, 2, 1}, {1, 2, 1}, {0, 2, 60}, {1, 0, 70}, {1, 0, 2}});
  check_ncd(d, 50, "repeated distances");
  CHECK_ENTRIES(reference_ncd(d, 50), (Entries{{0, 0, 0}, {0, 1, 50}, {0, 2, 50}, {1, 0, 50},
                                               {1, 1, 0}, {1, 2, 50}, {2, 0, 50}, {2, 1, 50}, {2, 2, 0}}),
                "reference repeated distances");
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
    s.repeats = chance(rng, 0.3) ? 0.2 : 0.0;
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
    s.repeats = 0.05;
    const Graph g = random_graph(rng, s);
    check_apsp(g, reference_apsp_table(g), "large round " + std::to_string(round));
  }
}

// The automatic choice: a long sparse component goes to Dijkstra, small or
// dense ones to the matrix, and mixing them in one graph keeps row order.
// Each method alone is checked against the definition above; here the mix
// must match the all-dense result.
void test_apsp_method_choice() {
  CHECK(algo::detail::prefers_dijkstra(800, 847) && !algo::detail::prefers_dijkstra(64, 64) &&
        !algo::detail::prefers_dijkstra(420, 35000));
  Rng rng(5);
  Graph g;
  g.nodes = 900;
  std::vector<NodeIndex> ids(900);
  for (NodeIndex v = 0; v < 900; ++v) ids[v] = v;
  std::shuffle(ids.begin(), ids.end(), rng);
  // ids[0..799] form a ring with a few chords; ids[800..899] form dense
  // clusters of ten.
  for (std::size_t i = 0; i < 800; ++i) {
    g.edges.push_back(Edge{ids[i], ids[(i + 1) % 800], random_weight(rng, Weights::mixed)});
    if (i % 17 == 0) g.edges.push_back(Edge{ids[i], ids[(i * 7) % 800], random_weight(rng, Weights::small)});
  }
  for (std::size_t i = 800; i < 900; ++i)
    for (std::size_t j = 800 + (i - 800) / 10 * 10; j < 800 + (i - 800) / 10 * 10 + 10; ++j)
      if (chance(rng, 0.6)) g.edges.push_back(Edge{ids[i], ids[j], random_weight(rng, Weights::huge)});
  const Entries dense = entries_of(apsp(g, {ApspMethod::dense, 192}));
  CHECK(dense.size() > 800 * 800);
  CHECK_ENTRIES(read(algo::floyd_warshall(g, threads(0)), 900, "mixed"), dense, "mixed methods");
}

// Every thread count gives the same rows, for each method, with the default
// thresholds (where large components are spread) and with helpers taking
// every job.
void test_threads_agree() {
  Rng rng(31);
  GraphShape s;
  s.nodes = 700;
  s.groups = 3;
  s.density = 0.01;
  s.loops = 0.05;
  s.weights = Weights::huge;  // closures too
  s.repeats = 0.05;
  const Graph g = random_graph(rng, s);
  GraphShape d = s;
  d.groups = 1;
  d.nodes = 420;
  d.density = 0.2;
  d.weights = Weights::small;
  const Graph dense = random_graph(rng, d);
  for (const Graph* graph : {&g, &dense})
    for (const ApspOptions& base : {ApspOptions{ApspMethod::automatic}, ApspOptions{ApspMethod::dense},
                                    ApspOptions{ApspMethod::dijkstra}, ApspOptions{ApspMethod::dense, 0}})
      for (std::size_t min_work : {algo::detail::kParallelMinWork, std::size_t{0}}) {
        ApspOptions opt = base;
        opt.parallel_min_work = min_work;
        const Entries one = read(apsp(*graph, opt, threads(1)), graph->nodes, "apsp threads");
        CHECK(one.size() > graph->nodes);
        for (unsigned t : {2u, 3u, 0u})
          CHECK_ENTRIES(read(apsp(*graph, opt, threads(t)), graph->nodes, "apsp threads"), one,
                        "apsp method " + std::to_string(static_cast<int>(base.method)) + " threads " +
                            std::to_string(t) + " min work " + std::to_string(min_work));
      }
  CHECK_ENTRIES(entries_of(apsp(dense, {}, threads(2))), reference_apsp_table(dense), "dense by threads");

  // Distances in row order (copied as they are), and the same given again
  // in part with other values at the end (sorted, then resolved).
  const Graph dist = graph_of_rows(apsp(g, {}));
  Graph repeated = dist;
  for (std::size_t i = 0; i < dist.edges.size(); i += 7)
    repeated.edges.push_back(Edge{dist.edges[i].from, dist.edges[i].to, random_weight(rng, Weights::small)});
  const Graph arbitrary = random_distances(rng, 300, 0.05);
  for (const Graph* graph : {&dist, static_cast<const Graph*>(&repeated), &arbitrary})
    for (Weight extreme : {Weight{3000}, kMaxWeight})
      for (const NcdOptions& base : kNcdModes)
        for (std::size_t min_work : {algo::detail::kParallelMinWork, std::size_t{0}}) {
          NcdOptions opt = base;
          opt.parallel_min_work = min_work;
          const Entries one = entries_of(ncd(*graph, extreme, opt, threads(1)));
          for (unsigned t : {2u, 3u, 0u})
            CHECK_ENTRIES(entries_of(ncd(*graph, extreme, opt, threads(t))), one,
                          "ncd rows " + std::to_string(static_cast<int>(base.rows)) + " threads " +
                              std::to_string(t) + " extreme " + std::to_string(extreme));
        }
  CHECK_ENTRIES(entries_of(ncd(arbitrary, 3000, {}, threads(2))), reference_ncd(arbitrary, 3000),
                "ncd by threads");
}

// ---------------------------------------------------------------------------
// Limits: the memory budget and the interrupt.

struct CountingInterrupt final : base::Interrupt {
  int stop_at;  // the call that first answers true; 0: never
  int calls = 0;
  explicit CountingInterrupt(int at) : stop_at(at) {}
  bool requested() override { return ++calls == stop_at || (stop_at > 0 && calls > stop_at); }
};

template <class F>
bool throws_bad_alloc(F&& f) {
  try {
    f();
  } catch (const std::bad_alloc&) {
    return true;
  }
  return false;
}

template <class F>
bool throws_interrupted(F&& f) {
  try {
    f();
  } catch (const base::Interrupted&) {
    return true;
  }
  return false;
}

// Result entries at a plain price, as a dict of about this size would cost.
constexpr base::LinearResultCost kEntryCost(96);

void test_budget() {
  // 200 sources each reaching all of 200 sinks: 40,000 entries (about 4 MB
  // charged), far more than the cheap lower bound, so each method must
  // charge rows as it makes them.
  Graph fan;
  fan.nodes = 400;
  for (NodeIndex a = 0; a < 200; ++a)
    for (NodeIndex b = 200; b < 400; ++b) fan.edges.push_back(Edge{a, b, a + b});
  for (ApspMethod method : {ApspMethod::dense, ApspMethod::dijkstra})
    for (unsigned t : {1u, 2u}) {
      base::MemoryBudget small(2u << 20, kEntryCost);
      Resources res = threads(t);
      res.budget = &small;
      ApspOptions opt{method};
      opt.parallel_min_work = 0;
      CHECK_MSG(throws_bad_alloc([&] { apsp(fan, opt, res); }), "fan, method %d threads %u",
                static_cast<int>(method), t);
      base::MemoryBudget enough(16u << 20, kEntryCost);
      res.budget = &enough;
      CHECK(read(apsp(fan, opt, res), 400, "fan").size() == 40000 + 400);
    }

  // A strongly connected ring of 3000 nodes has 9,000,000 entries: refused
  // before its rows are computed (which would ask the interrupt once per
  // chunk of sources, dozens of times).
  Graph ring;
  ring.nodes = 3000;
  for (NodeIndex v = 0; v < 3000; ++v) ring.edges.push_back(Edge{v, (v + 1) % 3000, 1});
  base::MemoryBudget budget(64u << 20, kEntryCost);
  CountingInterrupt never(0);
  Resources res = threads(2);
  res.budget = &budget;
  res.interrupt = &never;
  CHECK(throws_bad_alloc([&] { algo::floyd_warshall(ring, res); }) && never.calls < 10);

  base::MemoryBudget square(2u << 20, kEntryCost);
  res.budget = &square;
  CHECK(throws_bad_alloc([&] { algo::nearest_common_descendant(graph_of(200, {}), 5, res); }));
}

// One ledger for the calls of a process: charges made by many threads of
// several calls at once add up exactly and are all given back; a call made
// later yields its results still to be built to an earlier one, and is
// refused at its next charge instead.
void test_shared_ledger() {
  constexpr base::LinearResultCost kUnit(1);
  base::Ledger ledger(1u << 30, SIZE_MAX);
  {
    std::vector<std::unique_ptr<base::MemoryBudget>> calls;
    for (int c = 0; c < 3; ++c) calls.push_back(std::make_unique<base::MemoryBudget>(ledger, kUnit));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 6; ++t)
      threads.emplace_back([&, t] {
        base::MemoryBudget& budget = *calls[t % 3];
        for (std::size_t i = 1; i <= 2000; ++i) {
          budget.charge(i + t);
          budget.charge_entries(t + 1);
          if (i % 2 == 0) budget.release(i + t);
        }
      });
    for (std::thread& t : threads) t.join();
    std::size_t sum = 0;
    for (const auto& budget : calls) sum += budget->used();
    // Per thread: the charges of odd i stay, and 2000 times t + 1 entries.
    std::size_t expected = 0;
    for (unsigned t = 0; t < 6; ++t)
      for (std::size_t i = 1; i <= 2000; i += 2) expected += i + t + 2 * (t + 1);
    CHECK_MSG(sum == expected && ledger.charged() == expected, "charged %zu, calls hold %zu, expected %zu",
              ledger.charged(), sum, expected);
    CHECK(ledger.pending() == 2000 * (1 + 2 + 3 + 4 + 5 + 6));
  }
  CHECK(ledger.charged() == 0 && ledger.pending() == 0 && ledger.reserved() == 0);

  base::Ledger small(1000, SIZE_MAX);
  base::MemoryBudget first(small, kUnit);
  {
    base::MemoryBudget second(small, kUnit);
    second.charge_entries(600);  // a result not yet built
    CHECK(!throws_bad_alloc([&] { first.charge(500); }));  // fits once the later call yields
    CHECK(throws_bad_alloc([&] { second.charge(1); }));
    CHECK(throws_bad_alloc([&] { second.built(300); }));
  }
  CHECK(throws_bad_alloc([&] { first.charge(501); }));
  CHECK(!throws_bad_alloc([&] { first.charge(500); }));
  CHECK(small.charged() == 1000);

  // The module's calls all charge the process's ledger.
  const std::size_t before = base::Ledger::process().charged();
  {
    base::MemoryBudget one, two;
    one.charge(1000);
    two.charge(2000);
    CHECK(base::Ledger::process().charged() == before + 3000);
  }
  CHECK(base::Ledger::process().charged() == before);
}

// Memory the algorithms do not charge: the thread team's own bookkeeping
// (its helpers' handles and what they wait on), per thread taking part.
constexpr std::int64_t kUnchargedPerThread = 4 << 10;

// Result entries free: only storage and scratch are charged.
constexpr base::LinearResultCost kStorageOnly(0);

// Runs call(graph, resources) on a copy of `g` with a budget of a large
// fixed room, its edge list charged first as the conversion charges it.
// At no allocation may the heap bytes held exceed what is charged (by more
// than the team's bookkeeping), which also bounds the peak held by the
// budget's peak; after the call, the budget holds exactly the bytes the
// result holds. A charge missed, or given back too early, shows as an
// excess; one given back twice, as the budget below the result.
template <class Call>
void check_charged(const Graph& g, unsigned thread_count, const std::string& label, Call&& call) {
  base::MemoryBudget budget(SIZE_MAX / 2, kStorageOnly);
  Resources res = threads(thread_count);
  res.budget = &budget;
  counting_heap::Watch watch(budget);
  budget.charge(g.edges.size() * sizeof(Edge));
  Graph input = g;  // a copy's capacity is its size
  const auto result = call(std::move(input), res);
  const std::int64_t held = watch.live(), excess = watch.excess(), peak = watch.peak();
  const auto charged = static_cast<std::int64_t>(budget.used());
  const auto charged_peak = static_cast<std::int64_t>(budget.peak());
  CHECK_MSG(excess <= kUnchargedPerThread * thread_count,
            "%s threads %u: %lld bytes held beyond the charge (peak %lld held, %lld charged)", label.c_str(),
            thread_count, static_cast<long long>(excess), static_cast<long long>(peak),
            static_cast<long long>(charged_peak));
  CHECK_MSG(charged == held, "%s threads %u: %lld bytes charged after the call, the result holds %lld",
            label.c_str(), thread_count, static_cast<long long>(charged), static_cast<long long>(held));
}

void test_every_byte_charged() {
  Rng rng(2718);
  GraphShape s;
  s.nodes = 700;
  s.density = 2.0 / 700;
  s.loops = 0.05;
  s.repeats = 0.05;
  const Graph sparse = random_graph(rng, s);
  // Every pair, weights near the ceiling: a tiled block and its closure.
  GraphShape c;
  c.nodes = 200;
  c.density = 1.0;
  c.weights = Weights::huge;
  const Graph complete = random_graph(rng, c);
  // 4000 components of five nodes, a ring of 300 (Dijkstra's, when the
  // method is chosen) and 1000 nodes alone, in shuffled order.
  Graph parts;
  parts.nodes = 4000 * 5 + 300 + 1000;
  for (NodeIndex k = 0; k < 4000; ++k)
    for (NodeIndex a = 0; a < 5; ++a)
      for (NodeIndex b = 0; b < 5; ++b)
        if (chance(rng, 0.4)) parts.edges.push_back(Edge{k * 5 + a, k * 5 + b, random_weight(rng, Weights::mixed)});
  for (NodeIndex v = 0; v < 300; ++v) parts.edges.push_back(Edge{20000 + v, 20000 + (v + 1) % 300, 1 + v % 7});
  std::shuffle(parts.edges.begin(), parts.edges.end(), rng);
  Graph loops;
  loops.nodes = 300;
  for (NodeIndex v = 0; v < 300; ++v) loops.edges.push_back(Edge{v, v, 1 + v % 5});
  for (NodeIndex v = 0; v + 1 < 100; ++v) loops.edges.push_back(Edge{v, v + 1, 2});
  const Graph single = graph_of(1, {{0, 0, 4}});
  const Graph alone = graph_of(1, {});

  const std::pair<const char*, const Graph*> shapes[] = {{"sparse", &sparse}, {"complete", &complete},
                                                         {"components", &parts}, {"loops", &loops},
                                                         {"single with loop", &single}, {"single", &alone}};
  for (unsigned t : {1u, 2u})
    for (const auto& [name, graph] : shapes)
      for (ApspMethod method : {ApspMethod::automatic, ApspMethod::dense, ApspMethod::dijkstra}) {
        ApspOptions opt{method};
        opt.parallel_min_work = 0;
        check_charged(*graph, t, std::string("apsp ") + name + " method " + std::to_string(static_cast<int>(method)),
                      [&](Graph in, const Resources& res) {
                        return algo::detail::floyd_warshall_with(std::move(in), res, opt);
                      });
      }

  // Distance lists: arbitrary sparse ones, all distances of a dense
  // component, many small components, self-distances.
  const Graph distances = random_distances(rng, 400, 0.03);
  const Graph all_pairs = graph_of_rows(apsp(complete, {}));
  Graph small_parts;
  small_parts.nodes = 3000;
  for (NodeIndex k = 0; k < 600; ++k)
    for (NodeIndex a = 0; a < 5; ++a)
      for (NodeIndex b = 0; b < 5; ++b)
        if (chance(rng, 0.5)) small_parts.edges.push_back(Edge{k * 5 + a, k * 5 + b, random_weight(rng, Weights::small)});
  std::shuffle(small_parts.edges.begin(), small_parts.edges.end(), rng);
  const std::pair<const char*, const Graph*> lists[] = {{"distances", &distances}, {"all pairs", &all_pairs},
                                                        {"components", &small_parts}, {"loops", &loops},
                                                        {"single with loop", &single}, {"single", &alone}};
  for (unsigned t : {1u, 2u})
    for (const auto& [name, graph] : lists)
      for (int m = 0; m < 4; ++m) {
        NcdOptions opt = kNcdModes[m];
        opt.parallel_min_work = 0;
        check_charged(*graph, t, std::string("ncd ") + name + " " + kNcdModeNames[m],
                      [&](Graph in, const Resources& res) {
                        return algo::detail::nearest_common_descendant_with(std::move(in), 1u << 20, res, opt);
                      });
      }
}

void test_interrupt() {
  Rng rng(8);
  GraphShape s;
  s.nodes = 300;
  s.density = 0.05;
  const Graph g = random_graph(rng, s);
  for (unsigned t : {1u, 2u})
    for (int at : {1, 3}) {
      Resources res = threads(t);
      for (ApspMethod method : {ApspMethod::dense, ApspMethod::dijkstra}) {
        CountingInterrupt stop(at);
        res.interrupt = &stop;
        ApspOptions opt{method, 64};
        opt.parallel_min_work = 0;
        CHECK_MSG(throws_interrupted([&] { apsp(g, opt, res); }), "apsp method %d threads %u at %d",
                  static_cast<int>(method), t, at);
      }
      for (NcdRows rows : {NcdRows::sparse, NcdRows::dense}) {
        CountingInterrupt stop(at);
        res.interrupt = &stop;
        NcdOptions opt{rows};
        opt.parallel_min_work = 0;
        CHECK_MSG(throws_interrupted([&] { ncd(g, kMaxWeight, opt, res); }), "ncd rows %d threads %u at %d",
                  static_cast<int>(rows), t, at);
      }
    }
}

// ---------------------------------------------------------------------------

Entries ncd_pairs(NodeIndex n, std::initializer_list<Entry> off_diagonal) {
  std::map<std::pair<NodeIndex, NodeIndex>, Weight> r;
  for (auto [a, b, w] : off_diagonal) r[{a, b}] = r[{b, a}] = w;
  Entries out;
  for (NodeIndex x = 0; x < n; ++x)
    for (NodeIndex y = 0; y < n; ++y) out.emplace_back(x, y, x == y ? 0 : r.at({x, y}));
  return out;
}

// Every unit of a job runs exactly once, whatever the thread count and
// however the units divide among the threads.
void test_team_runs_each_unit_once() {
  for (unsigned t : {1u, 2u, 4u})
    for (std::size_t units : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1000}}) {
      algo::detail::Team team(threads(t), 0);
      std::vector<std::atomic<int>> runs(units);
      for (int job = 0; job < 3; ++job)
        team.run(units, SIZE_MAX, [&](std::size_t u, unsigned) { runs[u].fetch_add(1); });
      bool once = true;
      for (auto& r : runs) once &= r.load() == 3;
      CHECK_MSG(once, "%u threads, %zu units: a unit ran more or less than once per job", t, units);
    }
}

#if !defined(_WIN32)  // Windows has no fork()

// The call's Interrupt runs the caller's code, which may fork (a signal
// handler calling os.fork()). In the child, a job spread over helpers fails
// with base::Forked, later jobs run on the calling thread alone, and the
// team's end waits for nothing: the child must exit, not hang.
struct ForkingInterrupt final : base::Interrupt {
  int calls = 0;
  pid_t child = -1;
  bool requested() override {
    if (++calls == 5) child = fork();
    return false;
  }
};

void test_fork_while_helpers_work() {
  ForkingInterrupt forking;
  Resources res = threads(2);
  res.interrupt = &forking;
  std::vector<std::atomic<int>> done(400);
  auto job = [&](std::size_t unit, unsigned) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    done[unit].fetch_add(1);
  };
  int outcome = 0;  // in the child: 0 when everything went as it must
  {
    algo::detail::Team team(res, 0);
    bool forked = false;
    try {
      team.run(done.size(), SIZE_MAX, job);
    } catch (const base::Forked&) {
      forked = true;
    }
    if (forking.child == 0) {
      for (auto& d : done) d.store(0);
      team.run(done.size(), SIZE_MAX, job);
      for (auto& d : done) outcome |= d.load() != 1;
      outcome |= forked ? 0 : 2;
    }
  }
  if (forking.child == 0) _exit(outcome);
  CHECK(forking.child > 0);
  if (forking.child <= 0) return;
  int status = 0;
  pid_t waited = 0;
  for (int i = 0; i < 1000 && waited == 0; ++i) {
    waited = waitpid(forking.child, &status, WNOHANG);
    if (waited == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (waited == 0) {
    kill(forking.child, SIGKILL);
    waitpid(forking.child, &status, 0);
  }
  CHECK_MSG(waited == forking.child && WIFEXITED(status) && WEXITSTATUS(status) == 0,
            "forked child: %s, status %d", waited == 0 ? "hung" : "ended", status);
  for (auto& d : done) CHECK(d.load() == 1);
}

#endif

void test_ncd_examples() {
  const Graph d = graph_of(4, {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {3, 3, 0}, {0, 2, 2},
                               {1, 2, 5}, {2, 3, 1}, {1, 3, 1}, {0, 3, 3}});
  const Entries at100 = ncd_pairs(4, {{0, 1, 3}, {0, 2, 2}, {0, 3, 3}, {1, 2, 1}, {1, 3, 1}, {2, 3, 1}});
  CHECK_ENTRIES(reference_ncd(d, 100), at100, "reference at 100");
  check_ncd(d, 100, "four nodes, extreme 100");
  const Entries at2 = ncd_pairs(4, {{0, 1, 2}, {0, 2, 2}, {0, 3, 2}, {1, 2, 1}, {1, 3, 1}, {2, 3, 1}});
  CHECK_ENTRIES(reference_ncd(d, 2), at2, "reference at 2");
  check_ncd(d, 2, "four nodes, extreme 2");

  const Graph d3 = graph_of(3, {{0, 2, 2}, {1, 2, 5}});
  CHECK_ENTRIES(reference_ncd(d3, 100), ncd_pairs(3, {{0, 1, 5}, {0, 2, 100}, {1, 2, 100}}),
                "reference no diagonal");
  check_ncd(d3, 100, "no diagonal");

  CHECK_ENTRIES(read(algo::nearest_common_descendant(graph_of(1, {{0, 0, 3}}), 9, {}), 1, "single"),
                (Entries{{0, 0, 0}}), "single node");
  CHECK_ENTRIES(read(algo::nearest_common_descendant(Graph{}, 5, {}), 0, "none"), Entries{}, "no nodes");
  check_ncd(d, 0, "extreme 0");
  CHECK_ENTRIES(entries_of(algo::nearest_common_descendant(d, 0, {})),
                ncd_pairs(4, {{0, 1, 0}, {0, 2, 0}, {0, 3, 0}, {1, 2, 0}, {1, 3, 0}, {2, 3, 0}}),
                "extreme 0 is all zero");

  // Unsigned comparison: 2^31 must not look negative.
  const Graph big = graph_of(4, {{0, 2, 2147483648u}, {1, 2, 1}, {0, 3, 5}, {1, 3, 5}});
  CHECK(algo::nearest_common_descendant(big, kMaxWeight, {}).row(0)[1] == 5);
  check_ncd(big, kMaxWeight, "unsigned");
  // Not symmetric in, symmetric out.
  const Graph skew = graph_of(3, {{0, 2, 2}, {1, 2, 7}, {2, 0, 1}});
  check_ncd(skew, 100, "asymmetric distances");
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
      check_ncd(graph_of_rows(algo::floyd_warshall(g, {})), extreme, label + " from distances");
    else
      check_ncd(random_distances(rng, g.nodes, static_cast<double>(uniform(rng, 0, 40)) / 100.0), extreme,
                label + " arbitrary");
  }
}

}  // namespace

// tests/cpp/test_system_text.cpp
void test_system_text();

int main() {
  test_model();
  test_platform();
  test_system_text();
  test_reach_bounds();
  test_apsp_examples();
  test_apsp_weight_boundaries();
  test_repeated_pairs();
  test_apsp_random_small();
  test_apsp_random_large();
  test_apsp_method_choice();
  test_threads_agree();
  test_budget();
  test_shared_ledger();
  test_every_byte_charged();
  test_team_runs_each_unit_once();
  test_interrupt();
#if !defined(_WIN32)
  test_fork_while_helpers_work();
#endif
  test_ncd_examples();
  test_ncd_random();
  return velkor::testing::finish();
}
