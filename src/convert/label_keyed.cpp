// Label-keyed dicts {(node, node): int}: numbering node objects, and results keyed by them.
#include "convert/label_keyed.hpp"

#include <cstdint>
#include <new>

#include "base/flat_index.hpp"
#include "boundary/error.hpp"
#include "boundary/panic.hpp"
#include "convert/callbacks.hpp"
#include "convert/dict_walk.hpp"
#include "convert/int_keyed.hpp"

namespace velkor::convert {

using boundary::PyErr;
using boundary::Ref;

namespace {

// Node ids by hash value, for the duration of one walk. Hash values that
// collide are told apart by comparing the objects, as a dict does; equality
// is consulted only for equal hash values.
class HashIndexTable {
 public:
  HashIndexTable(LabelTable& labels, base::MemoryBudget& budget)
      : labels_(labels), budget_(budget), index_(&budget) {}
  HashIndexTable(const HashIndexTable&) = delete;
  HashIndexTable& operator=(const HashIndexTable&) = delete;
  ~HashIndexTable() { index_.clear(); }

  // The id of `node`, numbering it when it is new: a new node's reference
  // moves into the label table as its label, a known node's stays with the
  // caller until its entry is done.
  base::NodeIndex number(Ref& node, Py_hash_t hash) {
    const auto key = static_cast<std::uint64_t>(hash);
    PyObject* obj = node.get();
    const std::uint32_t* found = index_.find(key, [&](std::uint32_t id) {
      PyObject* label = labels_[id].get();
      if (label == obj) return true;
      const int equal = PyObject_RichCompareBool(label, obj, Py_EQ);
      if (equal < 0) callback_failed(boundary::fetch());
      return equal == 1;
    });
    if (found) return *found;
    if (labels_.size() >= base::kMaxNodes) throw std::bad_alloc();
    const auto id = static_cast<base::NodeIndex>(labels_.size());
    base::reserve_one_more(labels_, &budget_);
    labels_.push_back(std::move(node));
    index_.insert(key, id);
    return id;
  }

 private:
  LabelTable& labels_;
  base::MemoryBudget& budget_;
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
  if (hash == -1) callback_failed(boundary::fetch());
  return hash;
}

}  // namespace

LabelKeyed from_tuples_matrix(PyObject* dict, base::MemoryBudget& budget) {
  LabelKeyed input;
  HashIndexTable numbers(input.labels, budget);
  const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
  budget.charge(size * sizeof(base::Edge));
  input.graph.edges.reserve(size);
  walk_dict(dict, static_cast<Py_ssize_t>(size), budget, [&](PyObject* key, PyObject* value, bool& value_at_fault) {
    if (!PyTuple_Check(key)) boundary::unwrap_failed_downcast(key, "PyTuple");
    // Released at the end of the entry in reverse order: the to-node, then
    // the from-node (each only when it was already known).
    Ref from_node = node_item(key, 0);
    const base::NodeIndex from = numbers.number(from_node, node_hash(from_node.get()));
    Ref to_node = node_item(key, 1);
    const base::NodeIndex to = numbers.number(to_node, node_hash(to_node.get()));
    base::Weight weight;
    value_at_fault = true;
    try {
      weight = extract_u32(value);
    } catch (PyErr& error) {
      callback_failed(std::move(error));
    }
    input.graph.edges.push_back(base::Edge{from, to, weight});
  });
  input.graph.nodes = static_cast<std::uint32_t>(input.labels.size());
  return input;
}

NodeObjects label_objects(LabelTable labels) {
  NodeObjects out;
  out.acyclic.reserve(labels.size());
  // Labels that can never take part in a reference cycle: objects the
  // collector does not handle, and tuples it has already found acyclic (the
  // collector's own rule for untracking a tuple).
  for (const Ref& label : labels)
    out.acyclic.push_back(!PyObject_IS_GC(label.get()) ||
                          (PyTuple_CheckExact(label.get()) && !PyObject_GC_IsTracked(label.get())));
  out.owned = std::move(labels);
  return out;
}

}  // namespace velkor::convert
