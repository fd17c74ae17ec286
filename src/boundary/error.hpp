// The error value PyErr: deferred or materialised, taken from and raised into the interpreter.
#pragma once

#include <optional>
#include <source_location>
#include <string>

#include "boundary/ref.hpp"

namespace velkor::boundary {

// An ordinary failure on its way back to the call frame, thrown as a C++
// exception and raised there unchanged. Deferred errors hold only the type
// and the pieces of the message; the message is built when the error is
// raised or examined.
class PyErr {
 public:
  // Deferred: `type` (borrowed) raised with `message` as its one argument.
  static PyErr new_err(PyObject* type, std::string message);
  // Deferred TypeError of a failed downcast of `from` (borrowed) to `to`.
  static PyErr downcast(PyObject* from, const char* to);
  // Materialised from an exception object.
  static PyErr from_value(Ref exception) noexcept;

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;

  // The exception object (borrowed), materialising a deferred error first.
  PyObject* value();
  // Raises the error into the interpreter; the error is consumed.
  void restore() noexcept;
  // "PyErr { type: ..., value: ..., traceback: ... }"
  std::string render();

  // An error that is not about the arguments (what a signal handler
  // raised): it reaches the caller as it is, never wrapped with an
  // argument's name.
  PyErr&& unchanged() && noexcept {
    unchanged_ = true;
    return std::move(*this);
  }
  bool is_unchanged() const noexcept { return unchanged_; }

  // A note (PEP 678) added to the exception when it is raised, saying
  // which part of the input it is about; none when empty.
  void set_note(std::string note) noexcept { note_ = std::move(note); }
  const std::string& note() const noexcept { return note_; }

 private:
  PyErr() = default;
  std::string message_text() const;

  Ref type_;
  std::string message_;
  Ref downcast_from_type_;  // set for a downcast failure
  const char* downcast_to_ = nullptr;
  Ref value_;  // set once materialised
  bool unchanged_ = false;
  std::string note_;
};

// Adds `note` to the exception `exc` (borrowed) with its add_note method,
// when `note` is not empty. A failure to add it is dropped: the exception
// stays as it is. Call with no error pending.
void add_note(PyObject* exc, const std::string& note) noexcept;

// The pending interpreter error, cleared; none when nothing is pending. A
// pending PanicException is resumed as an internal failure instead.
std::optional<PyErr> take();

// As take, for use after a call signalled failure: with nothing pending the
// error is SystemError "attempted to fetch exception but none was set".
PyErr fetch();

// Throws the pending error (see fetch).
[[noreturn]] inline void throw_fetched() { throw fetch(); }

// The error of a bound argument's conversion, as the caller sees it: an
// exact TypeError becomes "argument '{name}': {message}", keeping its cause;
// any other error, and one marked unchanged(), passes as it is.
PyErr argument_extraction_error(const char* name, PyErr error);

// Internal failure "called `Result::unwrap()` on an `Err` value: {error}".
[[noreturn]] void unwrap_failed(PyErr error,
                                std::source_location where = std::source_location::current());
// The same for a failed downcast of the owned object `from` to `to`.
[[noreturn]] void unwrap_failed_downcast(PyObject* from, const char* to,
                                         std::source_location where = std::source_location::current());

}  // namespace velkor::boundary
