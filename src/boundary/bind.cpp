// Binding fast-call arguments to a function's parameters, with the binder's messages.
#include "boundary/bind.hpp"

#include <string>
#include <vector>

#include "boundary/error.hpp"
#include "boundary/text.hpp"

namespace velkor::boundary {

namespace {

std::string display_name(const FunctionDescription& desc) {
  return std::string(desc.function_name) + "()";
}

[[noreturn]] void fail(std::string message) {
  throw PyErr::new_err(PyExc_TypeError, std::move(message));
}

[[noreturn]] void too_many_positional(const FunctionDescription& desc, Py_ssize_t nargs) {
  fail(display_name(desc) + " takes " + std::to_string(desc.parameter_count) +
       " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") +
       " given");
}

[[noreturn]] void unexpected_keyword(const FunctionDescription& desc, PyObject* keyword) {
  fail(display_name(desc) + " got an unexpected keyword argument '" + str_text(keyword) + "'");
}

[[noreturn]] void multiple_values(const FunctionDescription& desc, std::string_view keyword) {
  fail(display_name(desc) + " got multiple values for argument '" + std::string(keyword) + "'");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string parameter_list(const char* const* names, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (count > 2) out += ",";
      out += (i + 1 == count) ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

[[noreturn]] void missing_arguments(const FunctionDescription& desc, PyObject* const* slots) {
  std::vector<const char*> missing(desc.required_count);
  std::size_t count = 0;
  for (std::size_t i = 0; i < desc.required_count; ++i)
    if (!slots[i]) missing[count++] = desc.parameter_names[i];
  fail(display_name(desc) + " missing " + std::to_string(count) + " required positional " +
       (count == 1 ? "argument" : "arguments") + ": " + parameter_list(missing.data(), count));
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const auto count = static_cast<Py_ssize_t>(desc.parameter_count);
  for (Py_ssize_t i = 0; i < count; ++i) slots[i] = nullptr;

  if (nargs > count) too_many_positional(desc, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
      if (!text) {
        PyErr_Clear();
        unexpected_keyword(desc, keyword);
      }
      const std::string_view name(text, static_cast<std::size_t>(size));
      Py_ssize_t found = -1;
      for (Py_ssize_t i = 0; i < count; ++i) {
        if (name == desc.parameter_names[i]) {
          found = i;
          break;
        }
      }
      if (found < 0) unexpected_keyword(desc, keyword);
      if (slots[found]) multiple_values(desc, name);
      slots[found] = args[nargs + k];
    }
  }

  const auto required = static_cast<Py_ssize_t>(desc.required_count);
  if (nargs < required) {
    for (Py_ssize_t i = nargs; i < required; ++i)
      if (!slots[i]) missing_arguments(desc, slots);
  }
}

}  // namespace velkor::boundary
