// The one output builder: value ints and the report of a failed store.
#include "convert/output.hpp"

#include "convert/callbacks.hpp"

namespace velkor::convert {

void ValueInts::refill(Slot& slot, base::Weight value) {
  PyObject* obj = PyLong_FromUnsignedLong(value);
  if (!obj) boundary::panic_after_error();
  slot.obj = boundary::Ref::steal(obj);
  slot.value = value;
}

NodeHashes::NodeHashes(const NodeObjects& nodes, bool predict)
    : hash(nodes.owned.size()), known(nodes.owned.size()) {
  if (!predict) return;
  for (std::size_t v = 0; v < nodes.owned.size(); ++v) {
    PyObject* obj = nodes.owned[v].get();
    if (PyLong_CheckExact(obj) || PyUnicode_CheckExact(obj)) {
      const Py_hash_t h = PyObject_Hash(obj);
      if (h == -1) {
        PyErr_Clear();
        continue;
      }
      hash[v] = static_cast<std::size_t>(h);
      known[v] = 1;
    }
  }
}

void store_failed(StoreFailure failure) {
  if (failure == StoreFailure::internal) callback_failed(boundary::fetch());
  boundary::throw_fetched();
}

}  // namespace velkor::convert
