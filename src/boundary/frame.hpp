// The call frame around every entry from the interpreter: outcome to return value or raised exception.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/memory_budget.hpp"
#include "boundary/error.hpp"
#include "boundary/panic.hpp"
#include "platform/exception_state.hpp"
#include "platform/thread_local.hpp"

namespace velkor::boundary {

// Turns the outcome of `body` (a callable returning a Ref) into what the
// interpreter expects: a new reference, or null with an exception set.
// Internal failures become PanicException, exhausted memory MemoryError. A
// failure while raising (for instance when the PanicException class cannot
// be created) aborts the process after "uncaught panic at ffi boundary".
//
// Calls nest when a node's Python code calls velkor again. Each level costs
// C stack that the interpreter's recursion limit does not see, so nesting is
// bounded here and a call beyond the bound raises RecursionError.
inline constexpr long kMaxNesting = 100;
extern thread_local long NESTING VELKOR_TLS_MODEL;

template <class Body>
PyObject* trampoline(Body&& body) noexcept {
  GILGuard guard;
  // The C++ runtime's per-thread exception state, made before anything can fail.
  platform::prepare_exception_state();
  if (NESTING >= kMaxNesting) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling velkor");
    return nullptr;
  }
  struct Nested {
    Nested() noexcept { ++NESTING; }
    ~Nested() { --NESTING; }
  } nested;
  try {
    std::string panic_message, panic_note;
    try {
      return body().release();
    } catch (PyErr& error) {
      error.restore();
      return nullptr;
    } catch (Panic& failure) {
      panic_message = std::move(failure.message);
      panic_note = std::move(failure.note);
    } catch (const base::BudgetExceeded& refused) {
      PyErr_SetString(PyExc_MemoryError, refused.what());
      return nullptr;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return nullptr;
    } catch (...) {
      panic_message = kOpaquePanic;
    }
    PyErr raised = PyErr::new_err(panic_exception_type(), std::move(panic_message));
    raised.set_note(std::move(panic_note));
    raised.restore();
    return nullptr;
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace velkor::boundary
