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

void store_failed(StoreFailure failure) {
  if (failure == StoreFailure::internal) callback_failed(boundary::fetch());
  boundary::throw_fetched();
}

}  // namespace velkor::convert
