// The one output builder: a row-ordered result streamed into a new, presized dict.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <vector>

#include "base/memory_budget.hpp"
#include "base/model.hpp"
#include "boundary/dict_table.hpp"
#include "boundary/error.hpp"
#include "boundary/lock_sharing.hpp"
#include "boundary/panic.hpp"
#include "boundary/ref.hpp"

namespace velkor::convert {

// The Python objects that stand for the nodes in result keys, by node id.
struct NodeObjects {
  std::vector<boundary::Ref> owned;  // one strong reference per node
  // `acyclic[v]`: the object of v can never be part of a reference cycle,
  // so a key tuple of two such objects need not be tracked by the collector.
  std::vector<char> acyclic;
};

// How a failed store into the result dict is reported: as the interpreter's
// error, or as an internal failure.
enum class StoreFailure { error, internal };

// Python ints for result values. Distances repeat a lot, so recently made
// ints are reused through a small direct-mapped cache (ints are immutable).
class ValueInts {
 public:
  // For a result of `entries` entries: no more slots than entries (a
  // small result's call does not pay for a large cache).
  explicit ValueInts(std::size_t entries)
      : slots_(std::bit_ceil(std::clamp<std::size_t>(entries, kMinSlots, kMaxSlots))) {}

  // A borrowed reference, valid while this cache lives.
  PyObject* get(base::Weight value) {
    Slot& slot = slots_[value & (slots_.size() - 1)];
    if (!slot.obj || slot.value != value) refill(slot, value);
    return slot.obj.get();
  }

 private:
  static constexpr std::size_t kMinSlots = 16;
  static constexpr std::size_t kMaxSlots = 1024;
  struct Slot {
    boundary::Ref obj;
    base::Weight value = 0;
  };
  static void refill(Slot& slot, base::Weight value);
  std::vector<Slot> slots_;
};

// What the output builder allocates besides the dict and its entries: the
// cache's slots and the ints it holds.
inline constexpr std::size_t kOutputBuilderBytes = 1024 * (sizeof(boundary::Ref) + sizeof(base::Weight) + 48);

// Raises the interpreter's pending error of a failed store as `failure` says.
[[noreturn]] void store_failed(StoreFailure failure);

// The hashes of the node objects whose hash the interpreter computes
// without running Python code (exact ints and strs), so that a key's place
// in the dict can be predicted; 0 for the rest, which are not predicted.
struct NodeHashes {
  std::vector<std::size_t> hash;
  std::vector<char> known;
  // None known unless `predict`.
  NodeHashes(const NodeObjects& nodes, bool predict);
};

// Keys made ahead of their insert, with their values. Inserting into a
// large dict waits mostly on memory: the index slots that the key's hash
// selects in turn, and the entries those slots hold, are at random places
// of a table far larger than the caches. So while a batch of keys is made,
// the first index slot of each is prefetched (its hash predicted from its
// items' hashes); before the batch is inserted, each key's probe sequence
// is followed a step per round over the whole batch, each step prefetching
// the entry its slot holds and the next slot, until a free slot; then the
// inserts find it all in the cache, and the waits of a whole batch overlap.
class KeyBatch {
 public:
  static constexpr std::size_t kSize = 32;
  // Steps of a probe sequence followed ahead; the dict is at most two
  // thirds full, so few inserts probe further.
  static constexpr int kSteps = 4;

  // The first insert makes room for `total` entries at once.
  void presize_on_first_insert(Py_ssize_t total) noexcept { first_total_ = total; }
  bool full() const noexcept { return size_ == kSize; }
  bool empty() const noexcept { return size_ == 0; }
  // Where the keys of the next batch will go: read again for every batch,
  // since inserts grow the dict's table.
  void aim(PyObject* dict) noexcept { index_ = boundary::compat::DictIndex(dict); }
  void add(boundary::Ref key, base::Weight value, bool predicted, std::size_t hash) noexcept {
    probes_[size_] = predicted ? index_.start(hash) : boundary::compat::DictIndex::Probe{};
    keys_[size_] = std::move(key);
    values_[size_] = value;
    ++size_;
  }
  // Inserts the batch in order. The lock is held with a guard throughout.
  template <class Tick>
  void insert_into(PyObject* dict, ValueInts& ints, StoreFailure failure, Tick&& tick) {
    for (int s = 0; s < kSteps; ++s) {
      bool live = false;
      for (std::size_t k = 0; k < size_; ++k)
        if (probes_[k].live) {
          index_.step(probes_[k]);
          live |= probes_[k].live;
        }
      if (!live) break;
    }
    for (std::size_t k = 0; k < size_; ++k) {
      PyObject* value = ints.get(values_[k]);
      const int rc = first_total_ > 0
                         ? boundary::compat::insert_first_presized(dict, keys_[k].get(), value, first_total_)
                         : PyDict_SetItem(dict, keys_[k].get(), value);
      first_total_ = 0;
      if (rc < 0) store_failed(failure);
      keys_[k].reset_guarded();
      tick();
    }
    size_ = 0;
  }

 private:
  boundary::Ref keys_[kSize];
  base::Weight values_[kSize];
  boundary::compat::DictIndex::Probe probes_[kSize];
  std::size_t size_ = 0;
  Py_ssize_t first_total_ = 0;
  boundary::compat::DictIndex index_;
};

// A new dict {(object of row, object of column): value} for every entry of
// `rows`, row by row. The dict is presized for the exact entry count. It is
// not visible to anyone until returned, so while it is built the lock is
// offered to other threads every two switch intervals (the node objects are
// owned by `nodes`, nothing else is read), and pending signals are handled:
// an exception from a handler discards the partial dict. Every
// kBuiltStride entries, `budget` learns how far the build has come and
// reads the room again: when what the process is still to allocate no
// longer fits, the build stops with BudgetExceeded.
inline constexpr std::size_t kBuiltStride = 16384;

// A dict of fewer entries fits in the caches: its keys' places are not
// predicted or fetched ahead, which would cost more than it saves.
inline constexpr Py_ssize_t kPredictMinEntries = 1 << 15;

template <class Rows>
boundary::Ref rows_into_dict(const Rows& rows, const NodeObjects& nodes, StoreFailure failure,
                             base::MemoryBudget& budget) {
  const auto entries = static_cast<Py_ssize_t>(rows.entry_count());
  const bool presize_first = boundary::compat::presizes_on_first_insert(entries);
  boundary::Ref dict =
      boundary::Ref::steal(presize_first ? PyDict_New() : boundary::compat::new_presized_dict(entries));
  if (!dict) boundary::panic_after_error();
  ValueInts values(static_cast<std::size_t>(entries));
  const bool predict = entries >= kPredictMinEntries;
  const NodeHashes hashes(nodes, predict);
  boundary::LockSharing sharing(true);
  [[maybe_unused]] const boundary::CollectorPause paused;
  KeyBatch batch;
  if (presize_first) batch.presize_on_first_insert(entries);
  std::size_t inserted = 0, next_report = kBuiltStride;
  auto tick = [&] {
    sharing.tick();
    if (++inserted == next_report) {
      budget.built(inserted);
      next_report += kBuiltStride;
    }
  };
  auto insert = [&] { batch.insert_into(dict.get(), values, failure, tick); };
  auto make_key = [&](PyObject* from, bool from_acyclic, base::NodeIndex c) {
    boundary::Ref key = boundary::Ref::steal(PyTuple_New(2));
    if (!key) boundary::panic_after_error();
    PyTuple_SET_ITEM(key.get(), 0, Py_NewRef(from));
    PyTuple_SET_ITEM(key.get(), 1, Py_NewRef(nodes.owned[c].get()));
    // As the collector would on its next pass: a pair of objects that
    // cannot be part of a cycle need not be tracked.
    if (from_acyclic && nodes.acyclic[c]) PyObject_GC_UnTrack(key.get());
    return key;
  };
  const std::uint32_t n = rows.node_count();
  if (!predict && !presize_first) {
    // Each key inserted as it is made.
    for (base::NodeIndex r = 0; r < n; ++r) {
      PyObject* from = nodes.owned[r].get();
      const bool from_acyclic = nodes.acyclic[r];
      rows.for_each_in_row(r, [&](base::NodeIndex c, base::Weight w) {
        boundary::Ref key = make_key(from, from_acyclic, c);
        if (PyDict_SetItem(dict.get(), key.get(), values.get(w)) < 0) store_failed(failure);
        key.reset_guarded();
        tick();
      });
    }
    budget.built(inserted, false);
    return dict;
  }
  for (base::NodeIndex r = 0; r < n; ++r) {
    PyObject* from = nodes.owned[r].get();
    const bool from_acyclic = nodes.acyclic[r];
    const bool from_known = hashes.known[r];
    const std::size_t from_hash = hashes.hash[r];
    rows.for_each_in_row(r, [&](base::NodeIndex c, base::Weight w) {
      if (batch.empty()) batch.aim(dict.get());
      boundary::Ref key = make_key(from, from_acyclic, c);
      const bool predicted = from_known && hashes.known[c];
      batch.add(std::move(key), w, predicted,
                predicted ? boundary::compat::tuple2_hash(from_hash, hashes.hash[c]) : 0);
      if (batch.full()) insert();
    });
  }
  insert();
  budget.built(inserted, false);
  return dict;
}

}  // namespace velkor::convert
