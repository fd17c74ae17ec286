// Label-keyed dicts {(node, node): int}: numbering node objects, and results keyed by them.
#pragma once

#include <vector>

#include "base/model.hpp"
#include "boundary/ref.hpp"
#include "convert/output.hpp"

namespace velkor::convert {

// One strong reference per node to its label, the first object seen for
// the node, indexed by node id.
using LabelTable = std::vector<boundary::Ref>;

struct LabelKeyed {
  base::Graph graph;
  LabelTable labels;
};

// Numbers the nodes of a label-keyed dict (known to be a dict or dict
// subclass; borrowed) 0, 1, 2, ... in order of first appearance and lists
// its entries. Two node objects are one node when their hash values are
// equal and they compare equal (identity first, then ==). Every failure is
// an internal failure, except KeyboardInterrupt and MemoryError, which
// pass through as they are.
LabelKeyed from_tuples_matrix(PyObject* dict, base::MemoryBudget& budget);

// The labels as result key objects (consumed).
NodeObjects label_objects(LabelTable labels);

// A new dict {(label, label): value} of a result over the nodes of `labels`.
template <class Rows>
boundary::Ref into_tuples_matrix(const Rows& rows, LabelTable labels, base::MemoryBudget& budget) {
  return rows_into_dict(rows, label_objects(std::move(labels)), StoreFailure::internal, budget);
}

}  // namespace velkor::convert
