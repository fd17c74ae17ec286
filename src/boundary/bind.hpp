// Binding fast-call arguments to a function's parameters, with the binder's messages.
#pragma once

#include <cstddef>
#include <string_view>

#include "boundary/python.hpp"

namespace velkor::boundary {

// What the binder knows of one module function. Every parameter is
// positional-or-keyword and required.
struct FunctionDescription {
  const char* function_name;
  const char* const* parameter_names;
  std::size_t parameter_count;
  std::size_t required_count;
};

// Fills `slots[0..parameter_count)` with borrowed references to the bound
// values, or throws the binder's TypeError. Allocates nothing on success.
void extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

}  // namespace velkor::boundary
