// Integer-keyed dicts {(int, int): int}: node numbers and weights in, results out.
#pragma once

#include "base/model.hpp"
#include "boundary/ref.hpp"
#include "convert/output.hpp"

namespace velkor::convert {

// One Python integer (int, bool, or anything with __index__) as an unsigned
// 32-bit value. Throws the interpreter's TypeError/OverflowError, or
// OverflowError "out of range integral type conversion attempted".
base::Weight extract_u32(PyObject* obj);

// An integer-keyed input: the graph on dense ids, and the node number of
// every id.
struct IntKeyed {
  base::Graph graph;
  base::NodeSet nodes;
};

// A dict (or dict subclass, borrowed) of {(a, b): w}, checked entry by entry
// in dict order and, within an entry, key type, key length, a, b, w. Throws
// PyErr for bad contents; a dict that changes while it is read is an
// internal failure. Everything it allocates is charged to `budget` first.
IntKeyed matrix_from_dict(PyObject* obj, base::MemoryBudget& budget);

// One new int per node, shared by every result key that names it.
NodeObjects node_ints(const base::NodeSet& nodes);

// A new dict {(a, b): value} of a result over the nodes of `nodes`.
template <class Rows>
boundary::Ref matrix_into_dict(const Rows& rows, const base::NodeSet& nodes, base::MemoryBudget& budget) {
  return rows_into_dict(rows, node_ints(nodes), StoreFailure::error, budget);
}

}  // namespace velkor::convert
