// All-pairs shortest paths: per weakly connected component, saturating Floyd-Warshall or repeated Dijkstra.
#include "dist/floyd_warshall.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "dist/dist_support.hpp"
#include "dist/floyd_warshall_detail.hpp"

namespace velkor::dist {
namespace detail {

using base::kMaxWeight;
using base::Weight;

namespace {

constexpr std::uint64_t kUnset = ~std::uint64_t{0};

// ---------------------------------------------------------------------------
// Dense kernel. A component's distances live in a c x c row-major matrix of
// uint32 in which one value, `inf`, stands for "no path". Two arithmetics:
//  - Saturating: inf = kMaxWeight and sums clamp there, so a result is
//    min(true length, kMaxWeight). When the component's edge weights add up
//    to kMaxWeight or more, a path may also be worth exactly kMaxWeight;
//    the caller then settles those entries with a reachability closure.
//  - Plain: when the edge weights add up to less than kPlainInf, every
//    distance is below kPlainInf, inf = kPlainInf = 2^31 - 1, and inf plus
//    any finite distance still fits in 32 bits: a bare add replaces the
//    clamp, one vector operation fewer per step.
// The diagonal holds min(loop weight, inf) during the run; a loop heavier
// than any path is restored when the result is read.

constexpr std::uint32_t kPlainInf = 0x7FFFFFFFu;

struct Saturating {
  static constexpr std::uint32_t inf = kMaxWeight;
  // min(rk + dik, kMaxWeight) without wrapping, given lim = kMaxWeight - dik.
  static VELKOR_INLINE std::uint32_t via(std::uint32_t rk, std::uint32_t dik, std::uint32_t lim) {
    return std::min(rk, lim) + dik;
  }
};

struct Plain {
  static constexpr std::uint32_t inf = kPlainInf;
  static VELKOR_INLINE std::uint32_t via(std::uint32_t rk, std::uint32_t dik, std::uint32_t) {
    return rk + dik;
  }
};

// ri[j] = min(ri[j], dik (+) rk[j]) for j < len.
template <class A>
VELKOR_INLINE void relax_row(std::uint32_t* __restrict ri, const std::uint32_t* __restrict rk,
                             std::uint32_t dik, std::size_t len) {
  const std::uint32_t lim = kMaxWeight - dik;
  for (std::size_t j = 0; j < len; ++j) ri[j] = std::min(ri[j], A::via(rk[j], dik, lim));
}

// Relaxes rows [i0, i1) through intermediates [k0, k1) on columns [j0, j1),
// k in the outer loop (needed when the rows read are also written).
template <class A>
VELKOR_INLINE void relax_k_outer(std::uint32_t* d, std::size_t c, std::size_t i0, std::size_t i1,
                                 std::size_t k0, std::size_t k1, std::size_t j0, std::size_t j1) {
  for (std::size_t k = k0; k < k1; ++k) {
    const std::uint32_t* rk = d + k * c;
    for (std::size_t i = i0; i < i1; ++i) {
      if (i == k) continue;  // the diagonal never shortens a path
      std::uint32_t* ri = d + i * c;
      const std::uint32_t dik = ri[k];
      if (dik == A::inf) continue;
      relax_row<A>(ri + j0, rk + j0, dik, j1 - j0);
    }
  }
}

// Rows [i0, i1) through intermediates [k0, k1) on the t columns from j0. The
// row segment is held in a local array across the whole k loop; with the
// width fixed the compiler keeps it in vector registers, and the loop body
// is a broadcast, loads of row k and min/add. Reads of ri[k] see the values
// from before the call, which is exact for every tile but the diagonal one:
// a path's first (or last) intermediate from [k0, k1) is reached through a
// value the diagonal tile has already closed.
template <class A, std::size_t t>
VELKOR_INLINE void relax_tile(std::uint32_t* d, std::size_t s, std::size_t i0, std::size_t i1,
                              std::size_t k0, std::size_t k1, std::size_t j0) {
  for (std::size_t i = i0; i < i1; ++i) {
    std::uint32_t* ri = d + i * s;
    std::uint32_t acc[t];
    for (std::size_t j = 0; j < t; ++j) acc[j] = ri[j0 + j];
    for (std::size_t k = k0; k < k1; ++k) {
      const std::uint32_t dik = ri[k];
      if (dik == A::inf) continue;
      const std::uint32_t lim = kMaxWeight - dik;
      const std::uint32_t* rk = d + k * s + j0;
      for (std::size_t j = 0; j < t; ++j) acc[j] = std::min(acc[j], A::via(rk[j], dik, lim));
    }
    for (std::size_t j = 0; j < t; ++j) ri[j0 + j] = acc[j];
  }
}

// Floyd-Warshall in place over the c x c matrix `d` whose rows lie `s`
// apart. Large matrices go by square tiles of t nodes (their row stride a
// multiple of t, the padding columns at inf): per diagonal tile K, first K
// itself, then the tiles in K's rows and columns, then all others.
template <class A>
VELKOR_INLINE void dense_apsp(std::uint32_t* d, std::size_t c, std::size_t s, bool tiled) {
  if (c < 2) return;
  if (!tiled) {
    relax_k_outer<A>(d, s, 0, c, 0, c, 0, c);
    return;
  }
  constexpr std::size_t t = kApspTile;
  for (std::size_t k0 = 0; k0 < c; k0 += t) {
    const std::size_t k1 = std::min(c, k0 + t);
    relax_k_outer<A>(d, s, k0, k1, k0, k1, k0, k1);
    for (std::size_t j0 = 0; j0 < c; j0 += t)
      if (j0 != k0) relax_tile<A, t>(d, s, k0, k1, k0, k1, j0);
    for (std::size_t i0 = 0; i0 < c; i0 += t)
      if (i0 != k0) relax_tile<A, t>(d, s, i0, std::min(c, i0 + t), k0, k1, k0);
    for (std::size_t i0 = 0; i0 < c; i0 += t) {
      if (i0 == k0) continue;
      for (std::size_t j0 = 0; j0 < c; j0 += t)
        if (j0 != k0) relax_tile<A, t>(d, s, i0, std::min(c, i0 + t), k0, k1, j0);
    }
  }
}

VELKOR_SIMD_CLONES
void dense_apsp_saturating(std::uint32_t* d, std::size_t c, std::size_t s, bool tiled) {
  dense_apsp<Saturating>(d, c, s, tiled);
}

VELKOR_SIMD_CLONES
void dense_apsp_plain(std::uint32_t* d, std::size_t c, std::size_t s, bool tiled) {
  dense_apsp<Plain>(d, c, s, tiled);
}

// Transitive closure of a c x c bit matrix (rows of `words` uint64) in place.
VELKOR_SIMD_CLONES
void bit_closure(std::uint64_t* bits, std::size_t c, std::size_t words) {
  for (std::size_t k = 0; k < c; ++k) {
    const std::uint64_t* rk = bits + k * words;
    const std::size_t kw = k >> 6;
    const std::uint64_t kb = std::uint64_t{1} << (k & 63);
    for (std::size_t i = 0; i < c; ++i) {
      std::uint64_t* ri = bits + i * words;
      if (i == k || !(ri[kw] & kb)) continue;
      for (std::size_t w = 0; w < words; ++w) ri[w] |= rk[w];
    }
  }
}

// ---------------------------------------------------------------------------
// Dijkstra support.

// Monotone priority queue keyed by uint64 (a radix heap): an entry lives in
// the bucket numbered by the highest bit in which its key differs from the
// last key taken out. Keys pushed must not be below that last key, which
// Dijkstra guarantees.
class RadixHeap {
 public:
  struct Item {
    std::uint64_t key;
    std::uint32_t node;
  };

  bool empty() const noexcept { return size_ == 0; }

  void push(std::uint64_t key, std::uint32_t node) {
    buckets_[std::bit_width(key ^ last_)].push_back(Item{key, node});
    ++size_;
  }

  Item pop() {
    if (buckets_[0].empty()) {
      std::size_t b = 1;
      while (buckets_[b].empty()) ++b;
      std::uint64_t low = kUnset;
      for (const Item& it : buckets_[b]) low = std::min(low, it.key);
      last_ = low;
      for (const Item& it : buckets_[b]) buckets_[std::bit_width(it.key ^ last_)].push_back(it);
      buckets_[b].clear();
    }
    const Item it = buckets_[0].back();
    buckets_[0].pop_back();
    --size_;
    return it;
  }

  // Ready for a new run; the heap must be empty.
  void restart() noexcept { last_ = 0; }

 private:
  std::vector<Item> buckets_[65];
  std::uint64_t last_ = 0;
  std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// The whole computation.

struct Component {
  std::uint32_t size = 0;
  std::size_t first = 0;     // offset of its members in `members`
  std::size_t edges = 0;     // edges between distinct nodes
  std::uint64_t weight = 0;  // their total weight, capped at 2^32
  bool dijkstra = false;
  bool closure = false;      // dense and some kMaxWeight entry may be a path
  std::uint32_t inf = 0;     // "no path" in its dense matrix
  std::size_t matrix = 0;    // offset of its dense matrix in the pool
  std::size_t stride = 0;    // distance between rows of that matrix
  bool tiled = false;
  std::size_t bits = 0;      // offset of its reachability rows in `bits`
};

struct Edge {
  std::uint32_t to;  // position of the target within its component
  Weight w;
};

struct StrayEntry {
  std::uint32_t from;
  std::uint32_t to;
  Weight value;
};

class Solver {
 public:
  Solver(const base::Graph& g, const ApspOptions& opt) : g_(g), opt_(opt), n_(g.nodes.size()) {}

  base::Matrix run() {
    base::Matrix out(g_.nodes);
    collect_edges(out);
    split_components();
    build_adjacency();
    plan_and_solve_dense();
    emit(out);
    return out;
  }

 private:
  // Maps edge endpoints to node positions once; edges touching a node outside
  // the node set are set aside (their endpoints join the result's node set).
  void collect_edges(base::Matrix& out) {
    const base::NodeSet& enodes = g_.edges.nodes();
    emap_ = translate_positions(enodes, g_.nodes);
    loop_.assign(n_, kUnset);
    for (const base::DenseEntry& e : g_.edges.dense_entries()) {
      const std::uint32_t a = emap_[e.from];
      const std::uint32_t b = emap_[e.to];
      if (a == kNoPosition || b == kNoPosition) {
        const std::uint32_t fa = out.nodes().insert(enodes[e.from]);
        const std::uint32_t fb = out.nodes().insert(enodes[e.to]);
        strays_.push_back(StrayEntry{fa, fb, e.value});
      } else if (a == b) {
        loop_[a] = e.value;
      } else {
        ++inner_edges_;
      }
    }
    std::sort(strays_.begin(), strays_.end(), [](const StrayEntry& x, const StrayEntry& y) {
      return x.from != y.from ? x.from < y.from : x.to < y.to;
    });
  }

  void split_components() {
    DisjointSets sets(n_);
    for (const base::DenseEntry& e : g_.edges.dense_entries()) {
      const std::uint32_t a = emap_[e.from];
      const std::uint32_t b = emap_[e.to];
      if (a != kNoPosition && b != kNoPosition && a != b) sets.unite(a, b);
    }
    group_by_component(sets, label_, local_, members_, comps_);
  }

  // Out-edges of every node (self-loops and stray edges excluded), targets
  // given as positions within the component.
  void build_adjacency() {
    adj_start_.assign(n_ + 1, 0);
    for (const base::DenseEntry& e : g_.edges.dense_entries()) {
      const std::uint32_t a = emap_[e.from];
      const std::uint32_t b = emap_[e.to];
      if (a == kNoPosition || b == kNoPosition || a == b) continue;
      ++adj_start_[a + 1];
      Component& c = comps_[label_[a]];
      ++c.edges;
      c.weight = std::min<std::uint64_t>(c.weight + e.value, std::uint64_t{1} << 32);
    }
    for (std::size_t v = 0; v < n_; ++v) adj_start_[v + 1] += adj_start_[v];
    adj_.resize(inner_edges_);
    std::vector<std::size_t> fill(adj_start_.begin(), adj_start_.end() - 1);
    for (const base::DenseEntry& e : g_.edges.dense_entries()) {
      const std::uint32_t a = emap_[e.from];
      const std::uint32_t b = emap_[e.to];
      if (a == kNoPosition || b == kNoPosition || a == b) continue;
      adj_[fill[a]++] = Edge{local_[b], e.value};
    }
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

  void plan_and_solve_dense() {
    std::size_t pool = 0;
    for (Component& c : comps_) {
      c.dijkstra = use_dijkstra(c);
      if (c.dijkstra) {
        dijkstra_max_ = std::max<std::size_t>(dijkstra_max_, c.size);
        continue;
      }
      c.tiled = c.size >= opt_.tile_min_nodes && c.size > 1;
      // Tiled rows are padded to whole tiles plus one cache line: a stride
      // of a power of two would map a tile's rows onto the same cache sets.
      c.stride = c.tiled ? (std::size_t{c.size} + kApspTile - 1) / kApspTile * kApspTile + 16 : c.size;
      c.matrix = pool;
      pool = checked_add(pool, checked_mul(c.size, c.stride));
    }
    base::ensure_available(checked_mul(pool, sizeof(std::uint32_t)));
    pool_ = std::make_unique_for_overwrite<std::uint32_t[]>(pool);
    for (Component& c : comps_) {
      if (c.dijkstra) continue;
      // A path never weighs more than all edges of its component together.
      const bool plain = c.weight < kPlainInf;
      c.inf = plain ? Plain::inf : Saturating::inf;
      std::uint32_t* d = pool_.get() + c.matrix;
      std::fill(d, d + std::size_t{c.size} * c.stride, c.inf);
      for (std::uint32_t li = 0; li < c.size; ++li) {
        const std::uint32_t v = members_[c.first + li];
        std::uint32_t* row = d + std::size_t{li} * c.stride;
        row[li] = loop_[v] == kUnset ? 0 : static_cast<Weight>(std::min<std::uint64_t>(loop_[v], c.inf));
        for (std::size_t p = adj_start_[v]; p < adj_start_[v + 1]; ++p) row[adj_[p].to] = adj_[p].w;
      }
      if (plain) {
        dense_apsp_plain(d, c.size, c.stride, c.tiled);
      } else {
        dense_apsp_saturating(d, c.size, c.stride, c.tiled);
        // Below kMaxWeight of total edge weight no path reaches kMaxWeight,
        // so the value reads as "no path" without a closure.
        if (c.weight >= kMaxWeight && has_ambiguous_entry(d, c.size, c.stride)) close_component(c);
      }
    }
  }

  static bool has_ambiguous_entry(const std::uint32_t* d, std::size_t c, std::size_t s) {
    for (std::size_t i = 0; i < c; ++i)
      for (std::size_t j = 0; j < c; ++j)
        if (i != j && d[i * s + j] == kMaxWeight) return true;
    return false;
  }

  void close_component(Component& c) {
    const std::size_t words = (std::size_t{c.size} + 63) / 64;
    c.closure = true;
    c.bits = bits_.size();
    bits_.resize(checked_add(bits_.size(), checked_mul(words, c.size)), 0);
    std::uint64_t* b = bits_.data() + c.bits;
    for (std::uint32_t li = 0; li < c.size; ++li) {
      const std::uint32_t v = members_[c.first + li];
      for (std::size_t p = adj_start_[v]; p < adj_start_[v + 1]; ++p) {
        const std::uint32_t t = adj_[p].to;
        b[li * words + (t >> 6)] |= std::uint64_t{1} << (t & 63);
      }
    }
    bit_closure(b, c.size, words);
  }

  void emit(base::Matrix& out) {
    // Dense components contribute exactly their present entries; Dijkstra
    // components at least their diagonal, and the vector grows past that.
    std::size_t expected = strays_.size();
    for (const Component& c : comps_) {
      if (c.dijkstra) {
        expected = checked_add(expected, c.size);
        continue;
      }
      expected = checked_add(expected, count_present(c));
    }
    reserve_entries(out, expected);
    if (dijkstra_max_ > 0) {
      dist_.assign(dijkstra_max_, kUnset);
      reached_.reserve(dijkstra_max_);
    }
    std::size_t stray = 0;
    for (std::uint32_t v = 0; v < n_; ++v) {
      const Component& c = comps_[label_[v]];
      if (c.dijkstra)
        emit_dijkstra_row(out, c, v);
      else
        emit_dense_row(out, c, v);
      for (; stray < strays_.size() && strays_[stray].from == v; ++stray)
        out.append_dense(strays_[stray].from, strays_[stray].to, strays_[stray].value);
    }
    for (; stray < strays_.size(); ++stray)
      out.append_dense(strays_[stray].from, strays_[stray].to, strays_[stray].value);
  }

  std::size_t count_present(const Component& c) const {
    const std::size_t words = (std::size_t{c.size} + 63) / 64;
    std::size_t present = 0;
    for (std::size_t i = 0; i < c.size; ++i) {
      const std::uint32_t* row = pool_.get() + c.matrix + i * c.stride;
      std::size_t missing = 0;
      for (std::size_t j = 0; j < c.size; ++j) missing += row[j] == c.inf;
      if (c.closure) {
        const std::uint64_t* b = bits_.data() + c.bits + i * words;
        for (std::size_t j = 0; j < c.size; ++j)
          if (i != j && row[j] == kMaxWeight && (b[j >> 6] >> (j & 63) & 1)) --missing;
      }
      // The diagonal is always present, whatever its value.
      missing -= row[i] == c.inf;
      present += c.size - missing;
    }
    return present;
  }

  void emit_dense_row(base::Matrix& out, const Component& c, std::uint32_t v) {
    const std::uint32_t li = local_[v];
    const std::uint32_t* row = pool_.get() + c.matrix + std::size_t{li} * c.stride;
    const std::uint32_t* mem = members_.data() + c.first;
    // A loop heavier than inf was kept as inf; no cycle beat it.
    const Weight self = loop_[v] != kUnset && row[li] == c.inf ? static_cast<Weight>(loop_[v]) : row[li];
    if (!c.closure) {
      for (std::uint32_t j = 0; j < li; ++j)
        if (row[j] != c.inf) out.append_dense(v, mem[j], row[j]);
      out.append_dense(v, v, self);
      for (std::uint32_t j = li + 1; j < c.size; ++j)
        if (row[j] != c.inf) out.append_dense(v, mem[j], row[j]);
      return;
    }
    const std::size_t words = (std::size_t{c.size} + 63) / 64;
    const std::uint64_t* b = bits_.data() + c.bits + std::size_t{li} * words;
    for (std::uint32_t j = 0; j < c.size; ++j)
      if (j == li)
        out.append_dense(v, v, self);
      else if (row[j] != c.inf || (b[j >> 6] >> (j & 63) & 1))
        out.append_dense(v, mem[j], row[j]);
  }

  // Distances from v to its whole component, emitted in node-set order.
  void emit_dijkstra_row(base::Matrix& out, const Component& c, std::uint32_t v) {
    const std::uint32_t src = local_[v];
    const std::uint32_t* mem = members_.data() + c.first;
    std::uint64_t cycle = loop_[v];  // lightest cycle through v; used when v has a loop
    dist_[src] = 0;
    reached_.push_back(src);
    heap_.restart();
    heap_.push(0, src);
    while (!heap_.empty()) {
      const RadixHeap::Item top = heap_.pop();
      if (top.key > dist_[top.node]) continue;
      const std::uint32_t u = mem[top.node];
      for (std::size_t p = adj_start_[u]; p < adj_start_[u + 1]; ++p) {
        const Edge e = adj_[p];
        const std::uint64_t nd = top.key + e.w;
        if (nd < dist_[e.to]) {
          if (dist_[e.to] == kUnset) reached_.push_back(e.to);
          dist_[e.to] = nd;
          heap_.push(nd, e.to);
        } else if (e.to == src) {
          cycle = std::min(cycle, nd);
        }
      }
    }
    const Weight self =
        loop_[v] == kUnset ? 0 : static_cast<Weight>(std::min<std::uint64_t>(cycle, kMaxWeight));
    auto value = [&](std::uint32_t t) {
      return t == src ? self : static_cast<Weight>(std::min<std::uint64_t>(dist_[t], kMaxWeight));
    };
    // Few targets: sort them; many: a sequential sweep is cheaper.
    const std::size_t r = reached_.size();
    if (r * static_cast<std::size_t>(std::bit_width(r)) < c.size) {
      std::sort(reached_.begin(), reached_.end());
      for (std::uint32_t t : reached_) {
        out.append_dense(v, mem[t], value(t));
        dist_[t] = kUnset;
      }
    } else {
      for (std::uint32_t t = 0; t < c.size; ++t) {
        if (dist_[t] == kUnset) continue;
        out.append_dense(v, mem[t], value(t));
        dist_[t] = kUnset;
      }
    }
    reached_.clear();
  }

  const base::Graph& g_;
  const ApspOptions& opt_;
  const std::size_t n_;

  std::vector<std::uint32_t> emap_;     // edge-matrix position -> node position
  std::vector<std::uint64_t> loop_;     // self-loop weight per node, or kUnset
  std::vector<StrayEntry> strays_;      // edges touching nodes outside the set
  std::size_t inner_edges_ = 0;

  std::vector<std::uint32_t> label_;    // component of every node
  std::vector<std::uint32_t> local_;    // position of every node in its component
  std::vector<std::uint32_t> members_;  // nodes grouped by component, ascending
  std::vector<Component> comps_;

  std::vector<std::size_t> adj_start_;
  std::vector<Edge> adj_;

  std::unique_ptr<std::uint32_t[]> pool_;  // dense matrices of the dense components
  std::vector<std::uint64_t> bits_;     // reachability rows where needed

  std::size_t dijkstra_max_ = 0;
  std::vector<std::uint64_t> dist_;
  std::vector<std::uint32_t> reached_;
  RadixHeap heap_;
};

}  // namespace

bool prefers_dijkstra(std::size_t nodes, std::size_t edges) {
  if (nodes < kDijkstraMinNodes) return false;
  const double c = static_cast<double>(nodes);
  const double dense = c * c * c / 8.0;
  const double sparse = kDijkstraStepCost * c * (static_cast<double>(edges) + c) * std::log2(c);
  return sparse < dense;
}

base::Matrix floyd_warshall_with(const base::Graph& graph, const ApspOptions& options) {
  return Solver(graph, options).run();
}

}  // namespace detail

base::Matrix floyd_warshall(const base::Graph& graph) {
  return detail::floyd_warshall_with(graph, detail::ApspOptions{});
}

}  // namespace velkor::dist
