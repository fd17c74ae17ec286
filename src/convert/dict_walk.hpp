// The one walk over an input dict, with its mutation guard and Ctrl-C checks.
#pragma once

#include "boundary/lock_sharing.hpp"
#include "boundary/panic.hpp"
#include "boundary/ref.hpp"

namespace velkor::convert {

// Calls `on_entry(key, value)` for every entry of `dict` (a dict or dict
// subclass, borrowed), in the dict's own order, read from its own storage so
// that a subclass's methods are never consulted. The walk holds the dict,
// and the key and value of the entry at hand (released key first, then
// value), since the entry's callbacks may run Python code. After every entry
// it checks that the dict has neither changed size nor yielded more entries
// than it had: either is an internal failure. Pending signals are handled
// every so many entries; the lock is never offered to other threads, which
// could change the dict being read.
template <class OnEntry>
void walk_dict(PyObject* dict, OnEntry&& on_entry) {
  boundary::Ref held = boundary::Ref::borrow(dict);
  const Py_ssize_t start_size = PyDict_GET_SIZE(held.get());
  Py_ssize_t remaining = start_size;
  Py_ssize_t pos = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  boundary::LockSharing signals(false);
  while (PyDict_Next(held.get(), &pos, &borrowed_key, &borrowed_value)) {
    {
      boundary::Ref value = boundary::Ref::borrow(borrowed_value);
      boundary::Ref key = boundary::Ref::borrow(borrowed_key);
      on_entry(key.get(), value.get());
    }
    --remaining;
    if (PyDict_GET_SIZE(held.get()) != start_size)
      boundary::panic("dictionary changed size during iteration");
    if (remaining < 0) boundary::panic("dictionary keys changed during iteration");
    signals.tick();
  }
}

}  // namespace velkor::convert
