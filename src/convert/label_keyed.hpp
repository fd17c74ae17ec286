// Label-keyed dicts {(node, node): int}: numbering node objects and turning results back into dicts of them.
#pragma once

#include <utility>
#include <vector>

#include "base/model.hpp"
#include "boundary/ref.hpp"

namespace velkor::convert {

// One strong reference per node to its label, the first object seen for
// the node, indexed by NodeIndex.
using LabelTable = std::vector<boundary::Ref>;

// Numbers the nodes of a label-keyed dict (known to be a dict or dict
// subclass; borrowed) 0, 1, 2, ... in order of first appearance and builds
// the matrix of its entries. Two node objects are one node when their hash
// values are equal and they compare equal (identity first, then ==). Every
// failure is an internal failure.
std::pair<base::Matrix, LabelTable> from_tuples_matrix(PyObject* dict);

// A new dict {(label, label): value} for a result matrix whose node numbers
// come from `labels`. Both are consumed.
boundary::Ref into_tuples_matrix(base::Matrix matrix, LabelTable labels);

}  // namespace velkor::convert
