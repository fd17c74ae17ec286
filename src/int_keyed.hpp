// The integer-keyed dict form {(int, int): int}: values in, matrices in and out.
#pragma once

#include <vector>

#include "base/model.hpp"
#include "boundary/ref.hpp"

namespace velkor {

// One Python integer (int, bool, or anything with __index__) as an unsigned
// 32-bit value. Throws the interpreter's TypeError/OverflowError, or
// OverflowError "out of range integral type conversion attempted".
base::Weight extract_u32(PyObject* obj);

// A dict (or dict subclass) of {(a, b): w} as a Matrix, read from the dict's
// own storage in dict order. Throws PyErr for bad contents; a dict that
// changes while it is walked is an internal failure.
base::Matrix matrix_from_dict(PyObject* obj);

// A new dict {(from, to): value} with one entry per matrix entry, in the
// matrix's order. The matrix is consumed.
boundary::Ref matrix_into_dict(base::Matrix matrix);

// How a failed store into a result dict is reported: returned as the
// interpreter's error, or as an internal failure.
enum class StoreFailure { error, internal };

// A new dict {(objects[from], objects[to]): value} for every entry of
// `matrix`, in its order; `objects` and `acyclic` are indexed by position in
// `matrix.nodes()`. `acyclic[p]` says that objects[p] can never be part of a
// reference cycle.
boundary::Ref pairs_into_dict(const base::Matrix& matrix, const std::vector<PyObject*>& objects,
                              const std::vector<char>& acyclic, StoreFailure store_failure);

// Fails with std::bad_alloc (MemoryError) before a result dict of `entries`
// entries is built when the system clearly cannot hold it: each entry costs
// at least a 2-tuple and a dict slot, about 96 bytes.
void ensure_dict_fits(std::size_t entries);

// Python ints for result values. Distances repeat a lot, so recently made
// ints are reused through a small direct-mapped cache (ints are immutable).
class ValueInts {
 public:
  boundary::Ref get(base::Weight value);

 private:
  static constexpr std::size_t kSlots = 1024;
  struct Slot {
    boundary::Ref obj;
    base::Weight value = 0;
  };
  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

}  // namespace velkor
