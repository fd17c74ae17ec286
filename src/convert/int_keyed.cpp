// Integer-keyed dicts {(int, int): int}: node numbers and weights in, results out.
#include "convert/int_keyed.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "boundary/error.hpp"
#include "boundary/panic.hpp"
#include "convert/dict_walk.hpp"

namespace velkor::convert {

using boundary::PyErr;
using boundary::Ref;

base::Weight extract_u32(PyObject* obj) {
  std::int64_t value;
  if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
  } else {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    // Beyond 64 bits: the interpreter's own message where `long` has 64
    // bits, raised alike where it has 32.
    if (overflow != 0)
      throw PyErr::new_err(PyExc_OverflowError, "Python int too large to convert to C long");
    if (value == -1) {
      if (std::optional<PyErr> error = boundary::take()) throw std::move(*error);
    }
  }
  if (!base::in_weight_range(value))
    throw PyErr::new_err(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<base::Weight>(value);
}

IntKeyed matrix_from_dict(PyObject* obj, base::MemoryBudget& budget) {
  if (!PyDict_Check(obj)) throw PyErr::downcast(obj, "PyDict");
  const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(obj));
  // Node numbers below the entry count are numbered through a plain array.
  IntKeyed input{base::Graph{}, base::NodeSet(std::max<std::size_t>(size, 1024), &budget)};
  budget.charge(size * sizeof(base::Edge));
  input.graph.edges.reserve(size);
  Ref last_from;  // the first item of the previous key, when an exact int
  base::NodeIndex last_from_id = 0;
  walk_dict(obj, static_cast<Py_ssize_t>(size), budget, [&](PyObject* key, PyObject* value, bool& value_at_fault) {
    if (!PyTuple_Check(key)) throw PyErr::downcast(key, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(key);
    if (length != 2)
      throw PyErr::new_err(PyExc_ValueError,
                           "expected tuple of length 2, but got tuple of length " +
                               std::to_string(length));
    PyObject* from_item = PyTuple_GET_ITEM(key, 0);
    // Keys of one row usually share their first item. An exact int cannot
    // change, so the same object (held, so that its address is not reused)
    // has the same number; anything else is converted every time.
    const bool same_from = from_item == last_from.get();
    const base::Weight from = same_from ? 0 : extract_u32(from_item);
    const base::Weight to = extract_u32(PyTuple_GET_ITEM(key, 1));
    value_at_fault = true;
    const base::Weight weight = extract_u32(value);
    base::NodeIndex a = last_from_id;
    if (!same_from) {
      a = input.nodes.insert(from);
      if (PyLong_CheckExact(from_item)) {
        last_from = Ref::borrow(from_item);
        last_from_id = a;
      } else {
        last_from.reset();
      }
    }
    const base::NodeIndex b = input.nodes.insert(to);
    input.graph.edges.push_back(base::Edge{a, b, weight});
  });
  input.graph.nodes = static_cast<std::uint32_t>(input.nodes.size());
  input.nodes.finish();
  return input;
}

NodeObjects node_ints(const base::NodeSet& nodes) {
  NodeObjects out;
  out.owned.reserve(nodes.size());
  for (std::uint32_t v : nodes.values()) {
    Ref obj = Ref::steal(PyLong_FromUnsignedLong(v));
    if (!obj) boundary::panic_after_error();
    out.owned.push_back(std::move(obj));
  }
  out.acyclic.assign(nodes.size(), 1);
  return out;
}

}  // namespace velkor::convert
