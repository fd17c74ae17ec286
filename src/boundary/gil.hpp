// The interpreter lock: the per-thread guard count, the pool of deferred releases, the guards, and giving the lock up and taking it back.
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

// Gives up the interpreter lock for the lifetime of the object and takes
// it back on destruction, also while an exception unwinds. The thread holds
// no guard meanwhile; its guard count comes back with the lock, and the
// releases queued meanwhile are carried out.
class LockReleased {
 public:
  LockReleased() noexcept { give_up(); }
  ~LockReleased() { take_back(); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  friend class LockRetaken;

  void give_up() noexcept {
    count_ = GIL_COUNT;
    GIL_COUNT = 0;
    state_ = PyEval_SaveThread();
  }
  void take_back() noexcept {
    PyEval_RestoreThread(state_);
    GIL_COUNT = count_;
    drain_pool();
  }

  long count_ = 0;
  PyThreadState* state_ = nullptr;
};

// Within a LockReleased, takes the lock back for the lifetime of the object
// and gives it up again on destruction.
class LockRetaken {
 public:
  explicit LockRetaken(LockReleased& released) noexcept : released_(released) { released_.take_back(); }
  ~LockRetaken() { released_.give_up(); }
  LockRetaken(const LockRetaken&) = delete;
  LockRetaken& operator=(const LockRetaken&) = delete;

 private:
  LockReleased& released_;
};

}  // namespace velkor::boundary
