// Node sets derived from matrices.
#include "base/model.hpp"

namespace velkor::base {

NodeSet m2v(const Matrix& m) {
  const NodeSet& table = m.nodes();
  std::vector<char> seen(table.size(), 0);
  NodeSet out;
  out.reserve(table.size());
  for (const DenseEntry& e : m.dense_entries()) {
    for (std::uint32_t p : {e.from, e.to}) {
      if (!seen[p]) {
        seen[p] = 1;
        out.insert(table[p]);
      }
    }
  }
  return out;
}

}  // namespace velkor::base
