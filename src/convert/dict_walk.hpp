// The one walk over an input dict, with its mutation guard and Ctrl-C checks.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "base/memory_budget.hpp"
#include "boundary/lock_sharing.hpp"
#include "boundary/panic.hpp"
#include "boundary/ref.hpp"
#include "convert/entry_note.hpp"

namespace velkor::convert {

// Converts one entry: `on_entry(key, value, value_at_fault)`, which sets
// `value_at_fault` once the key is read and the value is taken. An error
// about the entry (any but those that reach the caller unchanged) gets a
// note naming it: the key, and the value when the value is at fault. Costs
// nothing while no error is thrown.
template <class OnEntry>
void convert_entry(OnEntry& on_entry, PyObject* key, PyObject* value) {
  bool value_at_fault = false;
  try {
    on_entry(key, value, value_at_fault);
  } catch (boundary::PyErr& error) {
    if (!error.is_unchanged()) error.set_note(entry_note(key, value_at_fault ? value : nullptr));
    throw;
  } catch (boundary::Panic& failure) {
    failure.note = entry_note(key, value_at_fault ? value : nullptr);
    throw;
  }
}

// Calls `on_entry(key, value, value_at_fault)` (see convert_entry) for
// every entry of `dict` (a dict or dict
// subclass, borrowed, of `size` entries when the caller charged for it), in
// the dict's own order, read from its own storage so that a subclass's
// methods are never consulted. The walk holds the dict, and the key and
// value of the entry at hand (released key first, then value), since the
// entry's callbacks may run Python code. After every entry it checks that
// the dict has neither changed size nor yielded more entries than it had:
// either is an internal failure. Pending signals are handled every so many
// entries.
//
// With the interpreter lock, nothing else runs while an entry is taken, and
// the lock is never offered to other threads, which could change the dict
// being read. Without it (a free-threaded interpreter), other threads run
// all along: every key and value is first taken as a new reference at once,
// under the dict's critical section with no Python code inside, so that
// the entries are those of one state of the dict (their references charged
// to `budget` and held to the end), and the entries are converted
// afterwards, the thread detaching now and then like a thread that offers
// the lock; at the end the dict must still hold the same keys in the same
// places.
template <class OnEntry>
void walk_dict(PyObject* dict, Py_ssize_t size, base::MemoryBudget& budget, OnEntry&& on_entry) {
  boundary::Ref held = boundary::Ref::borrow(dict);
#ifdef Py_GIL_DISABLED
  const std::size_t bytes = 2 * static_cast<std::size_t>(size) * sizeof(boundary::Ref);
  budget.charge(bytes);
  struct Release {
    base::MemoryBudget& budget;
    std::size_t bytes;
    ~Release() { budget.release(bytes); }
  } release{budget, bytes};
  std::vector<boundary::Ref> items;
  items.reserve(2 * static_cast<std::size_t>(size));
  bool changed = false;
  Py_BEGIN_CRITICAL_SECTION(held.get());
  Py_ssize_t pos = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  changed = PyDict_GET_SIZE(held.get()) != size;
  while (!changed && PyDict_Next(held.get(), &pos, &borrowed_key, &borrowed_value)) {
    if (items.size() == items.capacity()) {
      changed = true;
      break;
    }
    items.push_back(boundary::Ref::borrow(borrowed_key));
    items.push_back(boundary::Ref::borrow(borrowed_value));
  }
  Py_END_CRITICAL_SECTION();
  if (changed || items.size() != 2 * static_cast<std::size_t>(size))
    boundary::panic("dictionary changed size during iteration");
  boundary::LockSharing signals(true);
  for (std::size_t i = 0; i < items.size(); i += 2) {
    convert_entry(on_entry, items[i].get(), items[i + 1].get());
    if (PyDict_GET_SIZE(held.get()) != size) boundary::panic("dictionary changed size during iteration");
    signals.tick();
  }
  // The keys, held until now, are still the dict's, in the same places:
  // entries replaced meanwhile (by a node's own code, or by another thread)
  // are told as the walk with the lock tells them.
  bool same = true;
  Py_BEGIN_CRITICAL_SECTION(held.get());
  Py_ssize_t pos = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  std::size_t i = 0;
  while (same && PyDict_Next(held.get(), &pos, &borrowed_key, &borrowed_value)) {
    same = i < items.size() && items[i].get() == borrowed_key;
    i += 2;
  }
  same = same && i == items.size();
  Py_END_CRITICAL_SECTION();
  if (!same) boundary::panic("dictionary keys changed during iteration");
  // Released entry by entry, key first, then value.
#else
  (void)budget;
  Py_ssize_t remaining = size;
  Py_ssize_t pos = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  boundary::LockSharing signals(false);
  while (PyDict_Next(held.get(), &pos, &borrowed_key, &borrowed_value)) {
    {
      boundary::Ref value = boundary::Ref::borrow(borrowed_value);
      boundary::Ref key = boundary::Ref::borrow(borrowed_key);
      convert_entry(on_entry, key.get(), value.get());
    }
    --remaining;
    if (PyDict_GET_SIZE(held.get()) != size) boundary::panic("dictionary changed size during iteration");
    if (remaining < 0) boundary::panic("dictionary keys changed during iteration");
    signals.tick();
  }
#endif
}

}  // namespace velkor::convert
