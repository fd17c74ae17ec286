// Row-ordered results: what the algorithms fill once and the output builder streams into a dict.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/memory_budget.hpp"
#include "base/model.hpp"

namespace velkor::base {

// Arrays of trivial values for results and scratch, uninitialised, aligned
// to a cache line (vector loads that split cache lines slow the kernels by a
// quarter). Allocations of several megabytes are aligned to 2 MiB and
// offered huge pages where the system has them: a page fault per 4 KiB page
// costs far more than filling the page. They come from the aligned form of
// the global operator new, like every other allocation of the process, so
// that an allocator put in its place (a counting one in the core tests)
// sees them too.
inline constexpr std::size_t kStorageAlignment = 64;
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// The alignment of a block of `bytes`.
constexpr std::size_t storage_alignment(std::size_t bytes) noexcept {
  return bytes >= 2 * kHugePageBytes ? kHugePageBytes : kStorageAlignment;
}

// The bytes a block of `bytes` takes: rounded up to its alignment, at least
// one alignment unit. This, not `bytes`, is what the budget is charged.
// Throws std::bad_alloc when it does not fit in size_t.
inline std::size_t storage_bytes(std::size_t bytes) {
  const std::size_t align = storage_alignment(bytes);
  if (bytes > SIZE_MAX - align) throw std::bad_alloc();
  return (std::max<std::size_t>(bytes, 1) + align - 1) / align * align;
}

// Storage<T> remembers the alignment its block was allocated with, which
// the aligned operator delete must be given back.
struct FreeStorage {
  std::size_t alignment = kStorageAlignment;
  void operator()(void* p) const noexcept { ::operator delete(p, std::align_val_t{alignment}); }
};
template <class T>
using Storage = std::unique_ptr<T[], FreeStorage>;

// storage_bytes(bytes) bytes aligned to storage_alignment(bytes). Throws
// std::bad_alloc when the memory is not there.
void* allocate_bytes(std::size_t bytes);

template <class T>
Storage<T> allocate_storage(std::size_t count) {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
  const std::size_t bytes = count * sizeof(T);
  return Storage<T>(static_cast<T*>(allocate_bytes(bytes)), FreeStorage{storage_alignment(bytes)});
}

// The bytes allocate_storage<T>(count) takes.
template <class T>
std::size_t storage_bytes_of(std::size_t count) {
  if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
  return storage_bytes(count * sizeof(T));
}

// Every result type offers the same reading interface, used by the output
// builder:
//   std::uint32_t node_count() const;   rows 0..node_count-1
//   std::size_t entry_count() const;    exact number of entries, all rows
//   template <class F> void for_each_in_row(NodeIndex row, F&& f) const;
//     calls f(NodeIndex column, Weight value) for each entry of the row,
//     columns ascending.

// A full n x n matrix, every entry present (nearest common descendant). Its
// storage and its n * n result entries are charged to the budget when it is
// made, before any work.
class SquareRows {
 public:
  SquareRows() = default;
  // The cells are left for the caller to fill.
  SquareRows(std::uint32_t n, MemoryBudget* budget);

  std::uint32_t node_count() const noexcept { return n_; }
  std::size_t entry_count() const noexcept { return std::size_t{n_} * n_; }

  Weight* row(NodeIndex r) noexcept { return cells_.get() + std::size_t{r} * n_; }
  const Weight* row(NodeIndex r) const noexcept { return cells_.get() + std::size_t{r} * n_; }

  template <class F>
  void for_each_in_row(NodeIndex r, F&& f) const {
    const Weight* cells = row(r);
    for (NodeIndex c = 0; c < n_; ++c) f(c, cells[c]);
  }

 private:
  std::uint32_t n_ = 0;
  Storage<Weight> cells_;
};

// Shortest-path lengths (all pairs). Nodes are grouped by weakly connected
// component, and each component is stored the way it was solved:
//  - dense: a c x c block of lengths over the component's positions, in
//    which one value, `absent`, marks pairs without a path. When that value
//    is also a possible length (kMaxWeight), reachability bits tell the two
//    apart. The diagonal, always present, is kept per row.
//  - sparse: per row, the present entries as (column, value) cells,
//    columns ascending.
// Positions within a component map to node ids through the component's
// ascending member list, or by an offset when its members are consecutive.
// The algorithms fill the parts; the output builder only reads.
class PathRows {
 public:
  struct Cell {
    NodeIndex column;
    Weight value;
  };

  struct Block {
    const Weight* cells = nullptr;    // row l of the block at cells + l * stride
    std::size_t stride = 0;
    const std::uint64_t* reach = nullptr;  // null, or rows of `words` bits
    std::size_t words = 0;
    const NodeIndex* members = nullptr;    // null: position l is node first + l
    NodeIndex first = 0;
    std::uint32_t size = 0;
    Weight absent = 0;
  };

  struct Row {
    const Cell* cells = nullptr;  // sparse: the row's cells; null: a dense row
    std::uint32_t count = 0;      // sparse: number of cells
    std::uint32_t position = 0;   // dense: the row's position in its block
    std::uint32_t block = 0;      // dense: the component's block
    Weight diagonal = 0;          // dense: the (v, v) value
  };

  // Everything a result owns; Row and Block point into the storage here,
  // which moves with the parts. The algorithm that fills the parts charges
  // each of their allocations to the call's budget before making it, and
  // the charge stays until the dict is built.
  struct Parts {
    std::uint32_t nodes = 0;
    std::size_t entries = 0;
    std::vector<Row> rows;
    std::vector<Block> blocks;
    Storage<Weight> dense;
    std::vector<Storage<std::uint64_t>> reach;
    std::vector<Storage<Cell>> spans;
    std::vector<NodeIndex> members;
  };

  PathRows() = default;
  explicit PathRows(Parts parts) noexcept : p_(std::move(parts)) {}

  std::uint32_t node_count() const noexcept { return p_.nodes; }
  std::size_t entry_count() const noexcept { return p_.entries; }

  template <class F>
  void for_each_in_row(NodeIndex r, F&& f) const {
    const Row& row = p_.rows[r];
    if (row.cells) {
      for (const Cell *c = row.cells, *e = row.cells + row.count; c != e; ++c) f(c->column, c->value);
      return;
    }
    const Block& b = p_.blocks[row.block];
    if (b.members) {
      const NodeIndex* m = b.members;
      dense_row(b, row, [m](std::uint32_t j) { return m[j]; }, f);
    } else {
      const NodeIndex first = b.first;
      dense_row(b, row, [first](std::uint32_t j) { return first + j; }, f);
    }
  }

 private:
  template <class Column, class F>
  static void dense_row(const Block& b, const Row& row, Column column, F& f) {
    const std::uint32_t l = row.position;
    const Weight* d = b.cells + std::size_t{l} * b.stride;
    const Weight absent = b.absent;
    if (!b.reach) {
      for (std::uint32_t j = 0; j < l; ++j)
        if (d[j] != absent) f(column(j), d[j]);
      f(column(l), row.diagonal);
      for (std::uint32_t j = l + 1; j < b.size; ++j)
        if (d[j] != absent) f(column(j), d[j]);
      return;
    }
    const std::uint64_t* bits = b.reach + std::size_t{l} * b.words;
    for (std::uint32_t j = 0; j < b.size; ++j) {
      if (j == l)
        f(column(j), row.diagonal);
      else if (d[j] != absent || (bits[j >> 6] >> (j & 63) & 1))
        f(column(j), d[j]);
    }
  }

  Parts p_;
};

}  // namespace velkor::base
