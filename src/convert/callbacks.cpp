// How an error raised by a node's own Python code reaches the caller of a label-keyed function.
#include "convert/callbacks.hpp"

namespace velkor::convert {

void callback_failed(boundary::PyErr error, std::source_location where) {
  PyObject* value = error.value();  // borrowed
  if (PyErr_GivenExceptionMatches(value, PyExc_KeyboardInterrupt) ||
      PyErr_GivenExceptionMatches(value, PyExc_MemoryError))
    throw std::move(error);
  boundary::unwrap_failed(std::move(error), where);
}

}  // namespace velkor::convert
