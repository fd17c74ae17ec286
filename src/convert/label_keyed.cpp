// Label-keyed dicts {(node, node): int}: numbering node objects and turning results back into dicts of them.
#include "convert/label_keyed.hpp"

#include <cstdint>
#include <new>

#include "base/flat_index.hpp"
#include "boundary/error.hpp"
#include "boundary/panic.hpp"
#include "int_keyed.hpp"

namespace velkor::convert {

using boundary::PyErr;
using boundary::Ref;

namespace {

// Node numbers by hash value, for the duration of one walk. Hash values
// that collide are told apart by comparing the objects, as a dict does;
// equality is consulted only for equal hash values.
class HashIndexTable {
 public:
  explicit HashIndexTable(LabelTable& labels) : labels_(labels) {}

  // The number of `node`, numbering it when it is new: a new node's
  // reference moves into the label table as its label, a known node's stays
  // with the caller until its entry is done.
  base::NodeIndex number(Ref& node, Py_hash_t hash) {
    const auto key = static_cast<std::uint64_t>(hash);
    PyObject* obj = node.get();
    const std::uint32_t* found = index_.find(key, [&](std::uint32_t id) {
      PyObject* label = labels_[id].get();
      if (label == obj) return true;
      const int equal = PyObject_RichCompareBool(label, obj, Py_EQ);
      if (equal < 0) boundary::unwrap_failed(boundary::fetch());
      return equal == 1;
    });
    if (found) return *found;
    // Node numbers are 32-bit: a dict with more distinct nodes cannot be held.
    if (labels_.size() >= 0xFFFFFFFEu) throw std::bad_alloc();
    const auto id = static_cast<base::NodeIndex>(labels_.size());
    labels_.push_back(std::move(node));
    index_.insert(key, id);
    return id;
  }

 private:
  LabelTable& labels_;
  base::FlatIndex index_;
};

// Item `i` of the tuple `key` (a new reference), or the interpreter's
// IndexError as an internal failure.
Ref node_item(PyObject* key, Py_ssize_t i) {
  PyObject* item = PyTuple_GetItem(key, i);  // borrowed
  if (!item) boundary::unwrap_failed(boundary::fetch());
  return Ref::borrow(item);
}

Py_hash_t node_hash(PyObject* node) {
  const Py_hash_t hash = PyObject_Hash(node);
  if (hash == -1) boundary::unwrap_failed(boundary::fetch());
  return hash;
}

}  // namespace

std::pair<base::Matrix, LabelTable> from_tuples_matrix(PyObject* obj) {
  base::Matrix matrix;
  LabelTable labels;
  HashIndexTable numbers(labels);

  Ref dict = Ref::borrow(obj);
  const Py_ssize_t expected_size = PyDict_GET_SIZE(dict.get());
  Py_ssize_t remaining = expected_size;
  Py_ssize_t pos = 0;
  bool first = true;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  for (;;) {
    if (!first && PyDict_GET_SIZE(dict.get()) != expected_size)
      boundary::panic("dictionary changed size during iteration");
    first = false;
    if (remaining == -1) boundary::panic("dictionary keys changed during iteration");
    if (!PyDict_Next(dict.get(), &pos, &borrowed_key, &borrowed_value)) break;
    --remaining;

    // Released at the end of the entry in reverse order: the to-node and
    // the from-node (when already known), the key, the value.
    Ref value = Ref::borrow(borrowed_value);
    Ref key = Ref::borrow(borrowed_key);
    if (!PyTuple_Check(key.get())) boundary::unwrap_failed_downcast(key.get(), "PyTuple");

    Ref from_node = node_item(key.get(), 0);
    const Py_hash_t from_hash = node_hash(from_node.get());
    const base::NodeIndex from = numbers.number(from_node, from_hash);

    Ref to_node = node_item(key.get(), 1);
    const Py_hash_t to_hash = node_hash(to_node.get());
    const base::NodeIndex to = numbers.number(to_node, to_hash);

    base::Weight weight;
    try {
      weight = extract_u32(value.get());
    } catch (PyErr& error) {
      boundary::unwrap_failed(std::move(error));
    }
    matrix.set(from, to, weight);
  }
  return {std::move(matrix), std::move(labels)};
}

Ref into_tuples_matrix(base::Matrix matrix, LabelTable labels) {
  // The label of every node of the matrix, by its position there.
  const base::NodeSet& nodes = matrix.nodes();
  std::vector<PyObject*> by_position;  // borrowed from `labels`
  by_position.reserve(nodes.size());
  // Labels that can never take part in a reference cycle: objects the
  // collector does not handle, and tuples it has already found acyclic
  // (the collector's own rule for untracking a tuple).
  std::vector<char> acyclic_label;
  acyclic_label.reserve(nodes.size());
  for (base::NodeIndex v : nodes) {
    PyObject* label = labels.at(v).get();
    by_position.push_back(label);
    acyclic_label.push_back(!PyObject_IS_GC(label) ||
                            (PyTuple_CheckExact(label) && !PyObject_GC_IsTracked(label)));
  }
  Ref dict = pairs_into_dict(matrix, by_position, acyclic_label, StoreFailure::internal);
  labels.clear();
  matrix = base::Matrix();
  return dict;
}

}  // namespace velkor::convert
