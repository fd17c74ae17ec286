// The one output builder: a row-ordered result streamed into a new, presized dict.
#pragma once

#include <cstddef>
#include <vector>

#include "base/model.hpp"
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
  // A borrowed reference, valid while this cache lives.
  PyObject* get(base::Weight value) {
    Slot& slot = slots_[value & (kSlots - 1)];
    if (!slot.obj || slot.value != value) refill(slot, value);
    return slot.obj.get();
  }

 private:
  static constexpr std::size_t kSlots = 1024;
  struct Slot {
    boundary::Ref obj;
    base::Weight value = 0;
  };
  static void refill(Slot& slot, base::Weight value);
  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

// What the output builder allocates besides the dict and its entries: the
// cache's slots and the ints it holds.
inline constexpr std::size_t kOutputBuilderBytes = 1024 * (sizeof(boundary::Ref) + sizeof(base::Weight) + 48);

// Raises the interpreter's pending error of a failed store as `failure` says.
[[noreturn]] void store_failed(StoreFailure failure);

// A new dict {(object of row, object of column): value} for every entry of
// `rows`, row by row. The dict is presized for the exact entry count. It is
// not visible to anyone until returned, so while it is built the lock is
// offered to other threads once per switch interval (the node objects are
// owned by `nodes`, nothing else is read), and pending signals are handled:
// an exception from a handler discards the partial dict.
template <class Rows>
boundary::Ref rows_into_dict(const Rows& rows, const NodeObjects& nodes, StoreFailure failure) {
  const std::size_t entries = rows.entry_count();
  boundary::Ref dict =
      boundary::Ref::steal(boundary::compat::new_presized_dict(static_cast<Py_ssize_t>(entries)));
  if (!dict) boundary::panic_after_error();
  ValueInts values;
  boundary::LockSharing sharing(true);
  const std::uint32_t n = rows.node_count();
  for (base::NodeIndex r = 0; r < n; ++r) {
    PyObject* from = nodes.owned[r].get();
    const bool from_acyclic = nodes.acyclic[r];
    rows.for_each_in_row(r, [&](base::NodeIndex c, base::Weight w) {
      boundary::Ref key = boundary::Ref::steal(PyTuple_New(2));
      if (!key) boundary::panic_after_error();
      PyTuple_SET_ITEM(key.get(), 0, Py_NewRef(from));
      PyTuple_SET_ITEM(key.get(), 1, Py_NewRef(nodes.owned[c].get()));
      // As the collector would on its next pass: a pair of objects that
      // cannot be part of a cycle need not be tracked.
      if (from_acyclic && nodes.acyclic[c]) PyObject_GC_UnTrack(key.get());
      if (PyDict_SetItem(dict.get(), key.get(), values.get(w)) < 0) store_failed(failure);
      sharing.tick();
    });
  }
  return dict;
}

}  // namespace velkor::convert
