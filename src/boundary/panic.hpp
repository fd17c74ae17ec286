// Internal failures: how they travel, how they are reported, and the PanicException class.
#pragma once

#include <source_location>
#include <string>

#include "boundary/python.hpp"

namespace velkor::boundary {

// An internal failure on its way to the call frame. Only the call frames
// catch it; every Ref it passes is released by unwinding.
struct Panic {
  std::string message;
  // A note (PEP 678) for the PanicException: which part of the input the
  // failure is about; none when empty.
  std::string note;
};

// Writes the failure report to standard error and starts unwinding.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Unwinds without a report (a failure resumed from Python code).
[[noreturn]] void resume_panic(std::string message);

// For an interpreter constructor that returned null. Out of memory travels
// as std::bad_alloc (raised as MemoryError); any other pending error is
// printed and the call fails with "Python API call failed".
[[noreturn]] void panic_after_error(std::source_location where = std::source_location::current());

// The process-wide PanicException class (borrowed), created on first use.
PyObject* panic_exception_type();

// Text used for a failure that carries no message of its own.
inline constexpr const char* kOpaquePanic = "velkor native code failed with an unexpected C++ exception";

}  // namespace velkor::boundary
