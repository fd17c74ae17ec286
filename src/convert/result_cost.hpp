// What the dict that the output builder makes costs in this interpreter's memory, for the memory budget.
#pragma once

#include <cstddef>

#include "base/memory_budget.hpp"

namespace velkor::convert {

// The memory a result dict holds while rows_into_dict builds it: per entry
// a new key 2-tuple and (unless every value is one of the interpreter's
// shared small ints) a new value int, plus the dict's table; per node the
// output builder's own record and, for integer-keyed results, a new int.
// Object sizes are read from the running interpreter's types; the table
// follows the interpreter's growth steps, during which the old and the new
// table are both held, so the peak of each step is charged. The figures are
// checked against measurements of built results by the test suite.
class DictResultCost final : public base::ResultCost {
 public:
  enum class Nodes { new_ints, caller_objects };
  enum class Values { any, small_ints };

  DictResultCost(Nodes nodes, Values values) noexcept;

  std::size_t node_bytes() const noexcept override { return per_node_; }
  std::size_t entry_bytes(std::size_t entries) const noexcept override;

 private:
  std::size_t per_node_;
  std::size_t per_entry_;
};

// The values of a nearest-common-descendant result are at most `extreme`.
DictResultCost::Values values_up_to(unsigned long extreme) noexcept;

}  // namespace velkor::convert
