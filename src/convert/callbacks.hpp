// How an error raised by a node's own Python code reaches the caller of a label-keyed function.
#pragma once

#include "boundary/error.hpp"

namespace velkor::convert {

// An error from a label-keyed dict's contents (its keys, its nodes' __hash__,
// __eq__ or __index__) or from storing a result entry is an internal failure
// that renders the error, except two that reach the caller unchanged:
// KeyboardInterrupt (Ctrl-C pressed while such code runs must stop the
// program as it would anywhere else) and MemoryError (running out of memory
// is reported as such by every function).
[[noreturn]] void callback_failed(boundary::PyErr error,
                                  std::source_location where = std::source_location::current());

}  // namespace velkor::convert
