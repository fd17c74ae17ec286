// How an error raised by a node's own Python code reaches the caller of a label-keyed function.
#include "convert/callbacks.hpp"

namespace velkor::convert {

void callback_failed(boundary::PyErr error, std::source_location where) {
  if (PyErr_GivenExceptionMatches(error.value(), PyExc_KeyboardInterrupt)) throw std::move(error);
  boundary::unwrap_failed(std::move(error), where);
}

}  // namespace velkor::convert
