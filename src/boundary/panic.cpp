// Internal failures: the report on standard error and the PanicException class.
#include "boundary/panic.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <new>

#include "boundary/error.hpp"
#include "platform/backtrace.hpp"
#include "platform/thread_identity.hpp"

namespace velkor::boundary {

namespace {

// Source paths are reported relative to the project root, which is where
// this file's own path, as the compiler was given it, ends in
// "src/boundary/panic.cpp", and with forward slashes whatever separator the
// compiler was given (Windows paths have backslashes). Written into `out`,
// allocating nothing.
template <std::size_t N>
const char* short_path(const char* file, char (&out)[N]) {
  static constexpr std::string_view kThisFile = "src/boundary/panic.cpp";
  const auto same = [](std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return x == y || (x == '\\' && y == '/') || (x == '/' && y == '\\'); });
  };
  const std::string_view self = __FILE__;
  std::string_view path = file;
  if (self.size() >= kThisFile.size() && same(self.substr(self.size() - kThisFile.size()), kThisFile)) {
    const std::string_view root = self.substr(0, self.size() - kThisFile.size());
    if (path.size() >= root.size() && same(path.substr(0, root.size()), root)) path.remove_prefix(root.size());
  }
  const std::size_t n = std::min(path.size(), N - 1);
  std::replace_copy(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n), out, '\\', '/');
  out[n] = '\0';
  return out;
}

void report(const std::string& message, const std::source_location& where) {
  char path[1024];
  std::fprintf(stderr, "velkor: internal failure on thread %llu at %s:%u:%u:\n%s\n",
               static_cast<unsigned long long>(platform::current_thread_id()), short_path(where.file_name(), path),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               message.c_str());
  const char* want = std::getenv("VELKOR_BACKTRACE");
  if (want && *want && std::strcmp(want, "0") != 0) {
    std::fputs("native backtrace:\n", stderr);
    std::fflush(stderr);
    if (!platform::write_backtrace())
      std::fputs("  not available: this system's C library cannot walk the stack\n", stderr);
  } else {
    std::fputs("note: set the environment variable VELKOR_BACKTRACE=1 to display a native backtrace\n",
               stderr);
  }
  std::fflush(stderr);
}

constexpr const char kPanicDoc[] =
    "\nThe exception raised when native code in velkor fails while it is being called from "
    "Python.\n\nLike SystemExit, it derives from BaseException, so that it normally propagates "
    "all the way through the stack and makes the interpreter exit.\n";

// Created when the module is made, never released; published atomically,
// since calls on a free-threaded interpreter read it without any lock.
std::atomic<PyObject*> panic_type_cell{nullptr};

}  // namespace

void panic(std::string message, std::source_location where) {
  report(message, where);
  throw Panic{std::move(message), {}};
}

void resume_panic(std::string message) { throw Panic{std::move(message), {}}; }

void panic_after_error(std::source_location where) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  PyErr_Print();
  panic("Python API call failed", where);
}

PyObject* panic_exception_type() {
  if (PyObject* type = panic_type_cell.load(std::memory_order_acquire)) return type;
  Ref type = Ref::steal(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr));
  if (!type) {
    // Taken directly: `take` itself looks for this class.
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyErr error = exc ? PyErr::from_value(std::move(exc))
                      : PyErr::new_err(PyExc_SystemError,
                                       "attempted to fetch exception but none was set");
    panic("Failed to initialize new exception type.: " + error.render());
  }
  // Code run during creation, or another thread, may have filled the cell;
  // the first is kept.
  PyObject* expected = nullptr;
  if (panic_type_cell.compare_exchange_strong(expected, type.get(), std::memory_order_acq_rel)) return type.release();
  return expected;
}

}  // namespace velkor::boundary
