// Small shared tools of the distance algorithms: SIMD dispatch, sizes, components.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

#include "base/model.hpp"

// Hot kernels are compiled several times and picked at load time by the CPU
// they run on; the baseline build stays at the plain x86-64 level. Helpers
// inlined into such a function are compiled for each of its targets.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__) && !defined(VELKOR_NO_CLONES)
#define VELKOR_SIMD_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VELKOR_SIMD_CLONES
#endif

#if defined(__GNUC__)
#define VELKOR_INLINE inline __attribute__((always_inline))
#else
#define VELKOR_INLINE inline
#endif

namespace velkor::dist::detail {

inline constexpr std::uint32_t kNoPosition = 0xFFFFFFFFu;

// a * b, or std::bad_alloc when the product does not fit in size_t; used for
// every buffer whose size grows with a square.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) throw std::bad_alloc();
  return a * b;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
  if (b > std::numeric_limits<std::size_t>::max() - a) throw std::bad_alloc();
  return a + b;
}

// Reserves room for `count` result entries; a count no vector can hold is
// reported as an allocation failure like any other.
inline void reserve_entries(base::Matrix& m, std::size_t count) {
  static const std::size_t limit = std::vector<base::DenseEntry>().max_size();
  if (count > limit) throw std::bad_alloc();
  m.reserve(count);
}

// For every position of `from`, its position in `to`, or kNoPosition.
inline std::vector<std::uint32_t> translate_positions(const base::NodeSet& from,
                                                      const base::NodeSet& to) {
  std::vector<std::uint32_t> map(from.size());
  const std::size_t n = from.size();
  // The common case: `from` numbers its nodes exactly like `to` does.
  std::size_t same = 0;
  while (same < n && same < to.size() && from[same] == to[same]) {
    map[same] = static_cast<std::uint32_t>(same);
    ++same;
  }
  for (std::size_t p = same; p < n; ++p) {
    const auto q = to.position(from[p]);
    map[p] = q ? *q : kNoPosition;
  }
  return map;
}

// Union-find over dense positions with path halving and union by size.
class DisjointSets {
 public:
  explicit DisjointSets(std::size_t n) : parent_(n), size_(n, 1) {
    std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
  }

  std::uint32_t find(std::uint32_t x) noexcept {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }

  void unite(std::uint32_t a, std::uint32_t b) noexcept {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (size_[a] < size_[b]) std::swap(a, b);
    parent_[b] = a;
    size_[a] += size_[b];
  }

  // Numbers the sets 0, 1, ... in order of their first member; returns the
  // set number of every element and stores the number of sets in `count`.
  std::vector<std::uint32_t> labels(std::uint32_t& count) {
    const std::size_t n = parent_.size();
    std::vector<std::uint32_t> label(n, kNoPosition);
    std::vector<std::uint32_t> out(n);
    count = 0;
    for (std::size_t x = 0; x < n; ++x) {
      const std::uint32_t r = find(static_cast<std::uint32_t>(x));
      if (label[r] == kNoPosition) label[r] = count++;
      out[x] = label[r];
    }
    return out;
  }

 private:
  std::vector<std::uint32_t> parent_;
  std::vector<std::uint32_t> size_;
};

// Lays the elements out by component: `label` is every element's component,
// `local` its position within it, and `members` lists the elements of each
// component contiguously, ascending, from `comps[c].first` for
// `comps[c].size` elements. `Component` is the caller's record with those
// two fields (zero-initialised by `Component{}`).
template <class Component>
void group_by_component(DisjointSets& sets, std::vector<std::uint32_t>& label,
                        std::vector<std::uint32_t>& local, std::vector<std::uint32_t>& members,
                        std::vector<Component>& comps) {
  std::uint32_t count = 0;
  label = sets.labels(count);
  const std::size_t n = label.size();
  comps.assign(count, Component{});
  local.resize(n);
  for (std::size_t v = 0; v < n; ++v) local[v] = comps[label[v]].size++;
  std::size_t offset = 0;
  for (Component& c : comps) {
    c.first = offset;
    offset += c.size;
  }
  members.resize(n);
  for (std::size_t v = 0; v < n; ++v)
    members[comps[label[v]].first + local[v]] = static_cast<std::uint32_t>(v);
}

}  // namespace velkor::dist::detail
