// The integer-keyed dict form {(int, int): int}: values in, matrices in and out.
#include "int_keyed.hpp"

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "base/memory.hpp"
#include "boundary/error.hpp"
#include "boundary/panic.hpp"

namespace velkor {

using boundary::PyErr;
using boundary::Ref;

base::Weight extract_u32(PyObject* obj) {
  long value;
  if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    value = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj)));
  } else {
    value = PyLong_AsLong(obj);
    if (value == -1) {
      if (std::optional<PyErr> error = boundary::take()) throw std::move(*error);
    }
  }
  if (value < 0 || value > static_cast<long>(base::kMaxWeight))
    throw PyErr::new_err(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<base::Weight>(value);
}

base::Matrix matrix_from_dict(PyObject* obj) {
  if (!PyDict_Check(obj)) throw PyErr::downcast(obj, "PyDict");
  const Py_ssize_t start_size = PyDict_GET_SIZE(obj);
  base::Matrix matrix(static_cast<std::size_t>(start_size));
  Ref dict = Ref::borrow(obj);
  Py_ssize_t remaining = start_size;
  Py_ssize_t pos = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  while (PyDict_Next(dict.get(), &pos, &borrowed_key, &borrowed_value)) {
    {
      // Held for the entry (__index__ may remove them from the dict) and
      // released key first, then value.
      Ref value = Ref::borrow(borrowed_value);
      Ref key = Ref::borrow(borrowed_key);
      if (!PyTuple_Check(key.get())) throw PyErr::downcast(key.get(), "PyTuple");
      const Py_ssize_t length = PyTuple_GET_SIZE(key.get());
      if (length != 2)
        throw PyErr::new_err(PyExc_ValueError,
                             "expected tuple of length 2, but got tuple of length " +
                                 std::to_string(length));
      const base::NodeIndex from = extract_u32(PyTuple_GET_ITEM(key.get(), 0));
      const base::NodeIndex to = extract_u32(PyTuple_GET_ITEM(key.get(), 1));
      const base::Weight weight = extract_u32(value.get());
      matrix.set(from, to, weight);
    }
    --remaining;
    if (PyDict_GET_SIZE(dict.get()) != start_size)
      boundary::panic("dictionary changed size during iteration");
    if (remaining < 0) boundary::panic("dictionary keys changed during iteration");
  }
  return matrix;
}

void ensure_dict_fits(std::size_t entries) {
  constexpr std::size_t kBytesPerEntry = 96;
  if (entries > SIZE_MAX / kBytesPerEntry) throw std::bad_alloc();
  base::ensure_available(entries * kBytesPerEntry);
}

Ref pairs_into_dict(const base::Matrix& matrix, const std::vector<PyObject*>& objects,
                    const std::vector<char>& acyclic, StoreFailure store_failure) {
  ensure_dict_fits(matrix.size());
  ValueInts values;
  Ref dict = Ref::steal(boundary::compat::new_presized_dict(static_cast<Py_ssize_t>(matrix.size())));
  if (!dict) boundary::panic_after_error();
  for (const base::DenseEntry& e : matrix.dense_entries()) {
    Ref key = Ref::steal(PyTuple_New(2));
    if (!key) boundary::panic_after_error();
    PyTuple_SET_ITEM(key.get(), 0, Py_NewRef(objects[e.from]));
    PyTuple_SET_ITEM(key.get(), 1, Py_NewRef(objects[e.to]));
    // As the collector would on its next pass, after visiting it first: a
    // pair of objects that cannot be part of a cycle need not be tracked.
    if (acyclic[e.from] && acyclic[e.to]) PyObject_GC_UnTrack(key.get());
    Ref value = values.get(e.value);
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
      if (store_failure == StoreFailure::internal) boundary::unwrap_failed(boundary::fetch());
      boundary::throw_fetched();
    }
  }
  return dict;
}

Ref matrix_into_dict(base::Matrix matrix) {
  // One int per node, shared by every key that names it.
  const base::NodeSet& nodes = matrix.nodes();
  std::vector<Ref> node_ints;
  std::vector<PyObject*> objects;  // borrowed from node_ints
  node_ints.reserve(nodes.size());
  objects.reserve(nodes.size());
  for (base::NodeIndex v : nodes) {
    PyObject* obj = PyLong_FromLong(static_cast<long>(v));
    if (!obj) boundary::panic_after_error();
    node_ints.push_back(Ref::steal(obj));
    objects.push_back(obj);
  }
  Ref dict = pairs_into_dict(matrix, objects, std::vector<char>(nodes.size(), 1),
                             StoreFailure::error);
  matrix = base::Matrix();
  return dict;
}

Ref ValueInts::get(base::Weight value) {
  Slot& slot = slots_[value & (kSlots - 1)];
  if (!slot.obj || slot.value != value) {
    PyObject* obj = PyLong_FromLong(static_cast<long>(value));
    if (!obj) boundary::panic_after_error();
    slot.obj = Ref::steal(obj);
    slot.value = value;
  }
  return Ref::borrow(slot.obj.get());
}

}  // namespace velkor
