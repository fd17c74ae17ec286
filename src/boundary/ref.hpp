// Ownership of Python references: Ref owns one strong reference; a bare PyObject* is borrowed.
#pragma once

#include <utility>

#include "boundary/gil.hpp"

namespace velkor::boundary {

// Owns one strong reference (or none). Plain `PyObject*` parameters and
// fields elsewhere in the module are borrowed references.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  // Takes over a reference the caller owns (null allowed).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object (null allowed).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives the reference up to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept {
    if (PyObject* p = std::exchange(p_, nullptr)) register_decref(p);
  }
  // As reset(), for hot loops that run with a guard held on this thread:
  // releases at once, without asking for the guard count.
  void reset_guarded() noexcept {
    if (PyObject* p = std::exchange(p_, nullptr)) Py_DECREF(p);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace velkor::boundary
