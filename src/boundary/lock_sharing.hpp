// The interpreter lock during a long call: released for the computation with Ctrl-C checks, offered while a result is built.
#pragma once

#include <chrono>
#include <optional>
#include <utility>

#include "base/resources.hpp"
#include "boundary/error.hpp"
#include "boundary/gil.hpp"

namespace velkor::boundary {

// Signal handlers run on the interpreter's main thread only.
bool on_main_thread() noexcept;

// The Interrupt of a computation run on the main thread with the lock
// released: about ten times a second it takes the lock back for a moment
// and lets the interpreter run the handlers of pending signals. A handler
// that raises (KeyboardInterrupt for Ctrl-C) stops the computation, and its
// exception is kept for the caller; a handler that raises nothing lets the
// computation go on.
class SignalCheck final : public base::Interrupt {
 public:
  explicit SignalCheck(LockReleased& released) noexcept;
  bool requested() override;
  // The handler's exception, once the computation has stopped. Lock held.
  PyErr take();

 private:
  LockReleased& released_;
  std::chrono::steady_clock::time_point next_check_;
  std::optional<PyErr> raised_;
};

// While a result is built on a free-threaded interpreter: the collector
// paused, for the whole process, from the first build under way to the end
// of the last. Each key tuple made counts towards the next collection, and
// that collector walks every object each time, so a build let it run every
// few thousand entries and took ten times as long; paused, other threads'
// cycles are collected once the builds end. Elsewhere nothing: the
// collector's young generation is cheap. Lock held.
#ifdef Py_GIL_DISABLED
class CollectorPause {
 public:
  CollectorPause() noexcept;
  ~CollectorPause();
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
};
#else
class CollectorPause {};
#endif

// The error of a child process forked while a computation ran on several
// threads.
PyErr forked_error();

// `work(resources)` with the interpreter lock released; on the main thread,
// with a SignalCheck as its Interrupt. The lock is held again when it
// returns or throws; an interruption throws the signal handler's
// exception, a fork of the process while the work ran on several threads a
// RuntimeError in the child.
template <class Work>
auto run_unlocked(base::Resources resources, Work&& work) {
  std::optional<SignalCheck> signals;
  try {
    LockReleased released;
    if (on_main_thread()) resources.interrupt = &signals.emplace(released);
    return std::forward<Work>(work)(std::as_const(resources));
  } catch (const base::Interrupted&) {
    if (!signals) throw;
    throw signals->take();
  } catch (const base::Forked&) {
    throw forked_error();
  }
}

// Finds the interpreter's own reader of the switch interval, so that
// LockSharing reads the interval without running Python code. Called once,
// when the module is made.
void remember_switch_interval();

// For long loops that hold the lock (reading a dict, building a result
// dict): `tick()` once per item. Every kStride items it lets the interpreter
// run pending signal handlers, raising what they raise, and, when sharing is
// asked for, offers the lock to other threads once every two switch
// intervals (the interpreter's, as sys.getswitchinterval() tells it), so
// that a thread waiting for it gets it at every offer; on a free-threaded
// interpreter it detaches every millisecond instead. Offer only
// while nothing another thread may touch is being read.
class LockSharing {
 public:
  explicit LockSharing(bool offer_lock) noexcept : offer_lock_(offer_lock) {}

  void tick() {
    if (--countdown_ == 0) check();
  }

 private:
  static constexpr int kStride = 1024;

  void check();

  bool offer_lock_;
  int countdown_ = kStride;
  bool started_ = false;
  std::chrono::steady_clock::duration period_{};
  std::chrono::steady_clock::time_point next_offer_;
};

}  // namespace velkor::boundary
