// Nearest common descendant distances: a (min, max) product of the clamped distance matrix with its transpose.
#include "dist/nearest_common_descendant.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dist/dist_support.hpp"
#include "dist/nearest_common_descendant_detail.hpp"

namespace velkor::dist {
namespace detail {

using base::kMaxWeight;
using base::Weight;

namespace {

// Rows of the dense kernel handled together: each y row is fetched once
// from memory for all of them, and in groups of four they share each load of
// y in registers.
constexpr std::size_t kXBlock = 16;

// For the kXBlock rows xs[] and the ycount rows at ys (stride m), lowers
// acc[y * kXBlock + i] to min over z in [z0, z1) of max(xs[i][z], y[z]).
VELKOR_SIMD_CLONES
void min_of_max_tile(const std::uint32_t* const* xs, const std::uint32_t* ys, std::size_t ycount,
                     std::size_t m, std::size_t z0, std::size_t z1, std::uint32_t* acc) {
  for (std::size_t y = 0; y < ycount; ++y) {
    const std::uint32_t* yr = ys + y * m;
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

// Copies the upper triangle of the n x n matrix `r` onto the lower one, tile
// by tile so that both the rows read and the columns written stay cached.
void mirror_upper(std::uint32_t* r, std::size_t n) {
  constexpr std::size_t t = 64;
  for (std::size_t i0 = 0; i0 < n; i0 += t) {
    const std::size_t i1 = std::min(n, i0 + t);
    for (std::size_t j0 = i0; j0 < n; j0 += t) {
      const std::size_t j1 = std::min(n, j0 + t);
      for (std::size_t i = i0; i < i1; ++i)
        for (std::size_t j = std::max(j0, i + 1); j < j1; ++j) r[j * n + i] = r[i * n + j];
    }
  }
}

struct SupportEntry {
  std::uint32_t z;  // target position within the component
  Weight value;     // below `extreme`
};

struct Component {
  std::uint32_t size = 0;
  std::size_t first = 0;  // offset of its members in `members`
};

class Solver {
 public:
  Solver(const base::Graph& g, const base::Matrix& dist, Weight extreme, const NcdOptions& opt)
      : g_(g), dist_(dist), extreme_(extreme), opt_(opt), n_(g.nodes.size()) {}

  base::Matrix run() {
    base::Matrix out(g_.nodes);
    if (n_ == 0) return out;
    const std::size_t area = checked_mul(n_, n_);
    reserve_entries(out, area);
    collect_support();
    base::ensure_available(checked_mul(area, sizeof(std::uint32_t)));
    result_.assign(area, extreme_);
    for (const Component& c : comps_) solve_component(c);
    mirror_upper(result_.data(), n_);
    for (std::size_t v = 0; v < n_; ++v) result_[v * n_ + v] = 0;
    for (std::uint32_t x = 0; x < n_; ++x) {
      const std::uint32_t* row = result_.data() + std::size_t{x} * n_;
      for (std::uint32_t y = 0; y < n_; ++y) out.append_dense(x, y, row[y]);
    }
    return out;
  }

 private:
  // Keeps the distances below `extreme` between nodes of the set, grouped by
  // weakly connected component: a pair from two components shares no target
  // closer than `extreme`, so its value is `extreme`.
  void collect_support() {
    const std::vector<std::uint32_t> map = translate_positions(dist_.nodes(), g_.nodes);
    DisjointSets sets(n_);
    std::vector<std::size_t> start(n_ + 1, 0);
    std::size_t kept = 0;
    for (const base::DenseEntry& e : dist_.dense_entries()) {
      const std::uint32_t a = map[e.from];
      const std::uint32_t b = map[e.to];
      if (a == kNoPosition || b == kNoPosition || e.value >= extreme_) continue;
      sets.unite(a, b);
      ++start[a + 1];
      ++kept;
    }
    group_by_component(sets, label_, local_, members_, comps_);

    for (std::size_t v = 0; v < n_; ++v) start[v + 1] += start[v];
    support_.resize(kept);
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (const base::DenseEntry& e : dist_.dense_entries()) {
      const std::uint32_t a = map[e.from];
      const std::uint32_t b = map[e.to];
      if (a == kNoPosition || b == kNoPosition || e.value >= extreme_) continue;
      support_[fill[a]++] = SupportEntry{local_[b], e.value};
    }
    start_ = std::move(start);
  }

  std::size_t support_size(std::uint32_t v) const { return start_[v + 1] - start_[v]; }

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

  void solve_component(const Component& c) {
    const std::size_t m = c.size;
    const std::uint32_t* mem = members_.data() + c.first;
    if (m < 2) return;

    // Full rows, clamped to `extreme`, for nodes with a large support.
    std::size_t dense_count = 0;
    for (std::size_t l = 0; l < m; ++l) dense_count += dense_row(support_size(mem[l]), m);
    const std::size_t row_cells = checked_mul(dense_count, m);
    base::ensure_available(checked_mul(row_cells, sizeof(std::uint32_t)));
    rows_.assign(row_cells, extreme_);
    row_of_.assign(m, nullptr);
    dense_local_.clear();
    {
      std::uint32_t* next = rows_.data();
      for (std::size_t l = 0; l < m; ++l) {
        const std::uint32_t v = mem[l];
        if (!dense_row(support_size(v), m)) continue;
        for (std::size_t p = start_[v]; p < start_[v + 1]; ++p) next[support_[p].z] = support_[p].value;
        row_of_[l] = next;
        dense_local_.push_back(static_cast<std::uint32_t>(l));
        next += m;
      }
    }
    if (scratch_.size() < m) scratch_.assign(m, extreme_);

    // Pairs with at least one sparse row: walk the sparse support and look
    // the other row up in full (its dense row, or x spread over scratch).
    for (std::size_t lx = 0; lx + 1 < m; ++lx) {
      const std::uint32_t x = mem[lx];
      if (support_size(x) == 0) continue;
      const bool x_dense = row_of_[lx] != nullptr;
      const std::uint32_t* xrow = row_of_[lx];
      if (!x_dense) {
        for (std::size_t p = start_[x]; p < start_[x + 1]; ++p) scratch_[support_[p].z] = support_[p].value;
        xrow = scratch_.data();
      }
      std::uint32_t* out = result_.data() + std::size_t{x} * n_;
      for (std::size_t ly = lx + 1; ly < m; ++ly) {
        const std::uint32_t y = mem[ly];
        const std::uint32_t* yrow = row_of_[ly];
        std::uint32_t r = extreme_;
        if (!yrow) {
          for (std::size_t p = start_[y]; p < start_[y + 1]; ++p)
            r = std::min(r, std::max(support_[p].value, xrow[support_[p].z]));
        } else if (!x_dense) {
          for (std::size_t p = start_[x]; p < start_[x + 1]; ++p)
            r = std::min(r, std::max(support_[p].value, yrow[support_[p].z]));
        } else {
          continue;  // both dense: below
        }
        out[y] = r;
      }
      if (!x_dense)
        for (std::size_t p = start_[x]; p < start_[x + 1]; ++p) scratch_[support_[p].z] = extreme_;
    }
    if (dense_count > 0) dense_pairs(mem, dense_count, m);
  }

  // Pairs of two dense rows, kXBlock x rows against all later dense rows at a
  // time. Dense rows are stored in member order, so the pair (i, j) of dense
  // rows with i < j is the pair (dense_local_[i], dense_local_[j]).
  void dense_pairs(const std::uint32_t* mem, std::size_t count, std::size_t m) {
    const std::uint32_t* rows = rows_.data();
    acc_.resize(checked_mul(count, kXBlock));
    for (std::size_t a = 0; a + 1 < count; a += kXBlock) {
      const std::size_t real = std::min(kXBlock, count - a);
      const std::uint32_t* xs[kXBlock];
      for (std::size_t i = 0; i < kXBlock; ++i) xs[i] = rows + (a + std::min(i, real - 1)) * m;
      // y runs over dense rows a + 1 .. count - 1.
      const std::size_t ycount = count - a - 1;
      std::fill(acc_.begin(), acc_.begin() + ycount * kXBlock, extreme_);
      const std::size_t chunk = std::max<std::size_t>(1, opt_.column_chunk);
      for (std::size_t z0 = 0; z0 < m; z0 += chunk)
        min_of_max_tile(xs, rows + (a + 1) * m, ycount, m, z0, std::min(m, z0 + chunk), acc_.data());
      for (std::size_t i = 0; i < real; ++i) {
        std::uint32_t* out = result_.data() + std::size_t{mem[dense_local_[a + i]]} * n_;
        for (std::size_t y = i; y < ycount; ++y)
          out[mem[dense_local_[a + 1 + y]]] = acc_[y * kXBlock + i];
      }
    }
  }

  const base::Graph& g_;
  const base::Matrix& dist_;
  const Weight extreme_;
  const NcdOptions& opt_;
  const std::size_t n_;

  std::vector<std::uint32_t> label_;
  std::vector<std::uint32_t> local_;
  std::vector<std::uint32_t> members_;
  std::vector<Component> comps_;
  std::vector<std::size_t> start_;          // support of node v: [start_[v], start_[v + 1])
  std::vector<SupportEntry> support_;

  std::vector<std::uint32_t> rows_;         // dense rows of the current component
  std::vector<const std::uint32_t*> row_of_;
  std::vector<std::uint32_t> scratch_;      // always `extreme` outside a spread row
  std::vector<std::uint32_t> dense_local_;   // members with a dense row, in order
  std::vector<std::uint32_t> acc_;           // running values of the dense pairs
  std::vector<std::uint32_t> result_;       // n x n, upper triangle computed first
};

}  // namespace

base::Matrix nearest_common_descendant_with(const base::Graph& graph,
                                            const base::Matrix& distances, Weight extreme,
                                            const NcdOptions& options) {
  return Solver(graph, distances, extreme, options).run();
}

}  // namespace detail

base::Matrix nearest_common_descendant(const base::Graph& graph, const base::Matrix& distances,
                                       base::Weight extreme) {
  return detail::nearest_common_descendant_with(graph, distances, extreme, detail::NcdOptions{});
}

}  // namespace velkor::dist
