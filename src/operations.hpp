// The matrix-level operations: the computations run with the interpreter lock released.
#pragma once

#include "base/model.hpp"

namespace velkor {

// All-pairs shortest paths of an edge matrix (consumed).
base::Matrix floyd_warshall_u32(base::Matrix edges);

// Nearest-common-descendant distances of a distance matrix (consumed).
base::Matrix nearest_common_descendant_u32(base::Matrix distances, base::Weight extreme);

}  // namespace velkor
