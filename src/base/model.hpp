// The graph model: node numbers, node sets, sparse matrices and graphs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/flat_index.hpp"
#include "base/memory.hpp"

namespace velkor::base {

// An unsigned 32-bit node number; identity only, need not be dense.
using NodeIndex = std::uint32_t;
// Every weight, distance and ceiling is an unsigned 32-bit value.
using Weight = std::uint32_t;
inline constexpr Weight kMaxWeight = 0xFFFFFFFFu;

// A set of node numbers that remembers the order in which they were added.
// Each member has a dense position 0..size()-1, its rank in that order; the
// algorithms work on positions and never hash inside their loops.
class NodeSet {
 public:
  NodeSet() = default;

  std::size_t size() const noexcept { return order_.size(); }
  bool empty() const noexcept { return order_.empty(); }
  void reserve(std::size_t n) {
    order_.reserve(n);
    index_.reserve(n);
  }

  // Adds `v` unless present; returns its position either way. Positions are
  // 32-bit and 0xFFFFFFFF stays free as a marker, so a set holds fewer than
  // 2^32 - 1 nodes; more is reported like any other exhausted resource.
  std::uint32_t insert(NodeIndex v) {
    if (const std::uint32_t* p = index_.find(v)) return *p;
    if (order_.size() >= 0xFFFFFFFEu) throw std::bad_alloc();
    const auto pos = static_cast<std::uint32_t>(order_.size());
    order_.push_back(v);
    index_.insert(v, pos);
    return pos;
  }

  bool contains(NodeIndex v) const { return index_.find(v) != nullptr; }

  std::optional<std::uint32_t> position(NodeIndex v) const {
    if (const std::uint32_t* p = index_.find(v)) return *p;
    return std::nullopt;
  }

  NodeIndex operator[](std::size_t pos) const noexcept { return order_[pos]; }
  const std::vector<NodeIndex>& members() const noexcept { return order_; }
  auto begin() const noexcept { return order_.begin(); }
  auto end() const noexcept { return order_.end(); }

 private:
  std::vector<NodeIndex> order_;
  FlatIndex index_;
};

// One stored entry of a Matrix, with both endpoints given as positions in the
// matrix's node set.
struct DenseEntry {
  std::uint32_t from;
  std::uint32_t to;
  Weight value;
};

// A sparse map from ordered node pairs (from, to) to a Weight; a missing pair
// means no edge or no path. Entries keep the order in which their pairs were
// first stored, so iteration (and every dict built from a Matrix) is
// deterministic. The endpoints are numbered densely in a NodeSet as they
// arrive; algorithms read `dense_entries()` directly.
class Matrix {
 public:
  Matrix() = default;
  explicit Matrix(std::size_t expected_entries) {
    reserve(expected_entries);
    pairs_.reserve(expected_entries);
  }

  // A matrix whose node set is fixed in advance (results of the algorithms).
  explicit Matrix(NodeSet nodes) : nodes_(std::move(nodes)) {}

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  // Stores `value` under (from, to); returns the value it replaced, if any.
  std::optional<Weight> set(NodeIndex from, NodeIndex to, Weight value) {
    const std::uint32_t a = nodes_.insert(from);
    const std::uint32_t b = nodes_.insert(to);
    return set_dense(a, b, value);
  }

  // As `set`, with endpoints given as positions in `nodes()`.
  std::optional<Weight> set_dense(std::uint32_t a, std::uint32_t b, Weight value) {
    sync_pairs();
    const std::uint64_t key = pair_key(a, b);
    if (const std::uint32_t* p = pairs_.find(key, [&](std::uint32_t pos) {
          return entries_[pos].from == a && entries_[pos].to == b;
        })) {
      Weight old = entries_[*p].value;
      entries_[*p].value = value;
      return old;
    }
    if (entries_.size() >= 0xFFFFFFFFu) throw std::bad_alloc();  // index positions are 32-bit
    pairs_.insert(key, static_cast<std::uint32_t>(entries_.size()));
    entries_.push_back(DenseEntry{a, b, value});
    return std::nullopt;
  }

  // Appends an entry whose pair the caller knows to be absent. Used by the
  // algorithms, which produce every pair once; skips the pair index.
  void append_dense(std::uint32_t a, std::uint32_t b, Weight value) {
    if (entries_.size() == entries_.capacity()) reserve(entries_.size() < 8 ? 16 : entries_.size() * 2);
    entries_.push_back(DenseEntry{a, b, value});
  }

  std::optional<Weight> get(NodeIndex from, NodeIndex to) const {
    auto a = nodes_.position(from);
    auto b = nodes_.position(to);
    if (!a || !b) return std::nullopt;
    sync_pairs();
    if (const std::uint32_t* p = pairs_.find(pair_key(*a, *b), [&](std::uint32_t pos) {
          return entries_[pos].from == *a && entries_[pos].to == *b;
        }))
      return entries_[*p].value;
    return std::nullopt;
  }

  // Positions of every endpoint (and of any node the matrix was created with).
  const NodeSet& nodes() const noexcept { return nodes_; }
  NodeSet& nodes() noexcept { return nodes_; }
  std::span<const DenseEntry> dense_entries() const noexcept { return entries_; }

  // Room for `n` entries; fails with std::bad_alloc up front when the system
  // clearly cannot provide it.
  void reserve(std::size_t n) {
    if (n <= entries_.capacity()) return;
    ensure_available((n - entries_.size()) * sizeof(DenseEntry));
    entries_.reserve(n);
  }

  // Calls f(from, to, value) for every entry, in entry order.
  template <class F>
  void for_each(F&& f) const {
    for (const DenseEntry& e : entries_) f(nodes_[e.from], nodes_[e.to], e.value);
  }

 private:
  static std::uint64_t pair_key(std::uint32_t a, std::uint32_t b) noexcept {
    return (std::uint64_t{a} << 32) | b;
  }

  // Entries appended without the index are indexed on first keyed access.
  void sync_pairs() const {
    if (entries_.size() > 0xFFFFFFFFu) throw std::bad_alloc();  // index positions are 32-bit
    while (pairs_.size() < entries_.size()) {
      const auto pos = static_cast<std::uint32_t>(pairs_.size());
      pairs_.insert(pair_key(entries_[pos].from, entries_[pos].to), pos);
    }
  }

  NodeSet nodes_;
  std::vector<DenseEntry> entries_;
  mutable FlatIndex pairs_;
};

// A node set together with an edge matrix; owns both.
struct Graph {
  NodeSet nodes;
  Matrix edges;
};

// The set of endpoints of `m`'s keys: from-node, then to-node, entry by entry.
NodeSet m2v(const Matrix& m);

}  // namespace velkor::base
