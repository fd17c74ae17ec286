// Lock bookkeeping: the per-thread guard count, the pool of deferred releases, and the guards.
#pragma once

#include "boundary/python.hpp"
#include "platform/thread_local.hpp"

namespace velkor::boundary {

// Number of lock guards this module holds on the current thread. Read on
// every reference release, so it takes the cheapest TLS model the C library
// allows.
extern thread_local long GIL_COUNT VELKOR_TLS_MODEL;

// Releases one reference: at once when this thread holds a guard, otherwise
// queued in the process-wide pool until a guard is next entered.
void register_decref(PyObject* obj) noexcept;

// Carries out the releases queued in the pool, if any. Lock held.
void drain_pool() noexcept;

// A lock guard for code entered from the interpreter, which already holds
// the lock: counts the guard and drains the pool; acquires nothing.
class GILGuard {
 public:
  GILGuard() noexcept {
    ++GIL_COUNT;
    drain_pool();
  }
  ~GILGuard() { --GIL_COUNT; }
  GILGuard(const GILGuard&) = delete;
  GILGuard& operator=(const GILGuard&) = delete;
};

// A lock guard that works on any thread: acquires the lock through the
// interpreter's thread-state API when this thread holds no guard.
class EnsureGIL {
 public:
  EnsureGIL() noexcept : ensured_(GIL_COUNT == 0) {
    if (ensured_) state_ = PyGILState_Ensure();
    ++GIL_COUNT;
    if (ensured_) drain_pool();
  }
  ~EnsureGIL() {
    --GIL_COUNT;
    if (ensured_) PyGILState_Release(state_);
  }
  EnsureGIL(const EnsureGIL&) = delete;
  EnsureGIL& operator=(const EnsureGIL&) = delete;

 private:
  bool ensured_;
  PyGILState_STATE state_{};
};

// Releases the interpreter lock for the lifetime of the object; takes it
// back on destruction, also while an exception unwinds.
class SuspendGIL {
 public:
  SuspendGIL() noexcept : count_(GIL_COUNT), state_(nullptr) {
    GIL_COUNT = 0;
    state_ = PyEval_SaveThread();
  }
  ~SuspendGIL() {
    GIL_COUNT = count_;
    PyEval_RestoreThread(state_);
    drain_pool();
  }
  SuspendGIL(const SuspendGIL&) = delete;
  SuspendGIL& operator=(const SuspendGIL&) = delete;

 private:
  long count_;
  PyThreadState* state_;
};

}  // namespace velkor::boundary
