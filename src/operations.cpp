// The matrix-level operations: the computations run with the interpreter lock released.
#include "operations.hpp"

#include "boundary/gil.hpp"
#include "dist/floyd_warshall.hpp"
#include "dist/nearest_common_descendant.hpp"

namespace velkor {

base::Matrix floyd_warshall_u32(base::Matrix edges) {
  boundary::SuspendGIL unlocked;
  // The graph (and with it the edges) is released before the lock returns.
  base::Graph graph{base::m2v(edges), std::move(edges)};
  return dist::floyd_warshall(graph);
}

base::Matrix nearest_common_descendant_u32(base::Matrix distances, base::Weight extreme) {
  base::Matrix result;
  {
    boundary::SuspendGIL unlocked;
    base::Graph graph{base::m2v(distances), base::Matrix()};
    result = dist::nearest_common_descendant(graph, distances, extreme);
  }
  // `distances` is released by the caller's frame, with the lock held.
  return result;
}

}  // namespace velkor
