// The interpreter lock during a long call: released for the computation, offered while a result is built, Ctrl-C checks.
#pragma once

#include <chrono>
#include <optional>
#include <utility>

#include "base/resources.hpp"
#include "boundary/error.hpp"
#include "boundary/gil.hpp"

namespace velkor::boundary {

// Runs a computation with the interpreter lock released. When called on the
// main thread, it is also the computation's Interrupt: about ten times a
// second it briefly takes the lock back and lets the interpreter run the
// handlers of pending signals. A handler that raises (KeyboardInterrupt for
// Ctrl-C) stops the computation, and its exception is raised once the lock
// is held again; a handler that raises nothing lets the computation go on.
class UnlockedComputation final : public base::Interrupt {
 public:
  // `cost`: what the result will cost once built, for the memory budget;
  // it must outlive the computation.
  explicit UnlockedComputation(const base::ResultCost& cost) noexcept;
  UnlockedComputation(const UnlockedComputation&) = delete;
  UnlockedComputation& operator=(const UnlockedComputation&) = delete;

  // `work(resources)`, without the lock. The lock is held again when it
  // returns or throws; an interruption throws the handler's error, a fork
  // of the process while the work ran on several threads a RuntimeError in
  // the child.
  template <class Work>
  auto run(Work&& work) {
    try {
      Released released(*this);
      return std::forward<Work>(work)(resources_);
    } catch (const base::Interrupted&) {
      throw take_interruption();
    } catch (const base::Forked&) {
      throw forked_error();
    }
  }

  bool requested() override;

 private:
  // Releases the lock on construction and takes it back on destruction,
  // keeping the thread's guard count as SuspendGIL does.
  class Released {
   public:
    explicit Released(UnlockedComputation& owner) noexcept;
    ~Released();
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

   private:
    UnlockedComputation& owner_;
  };

  PyErr take_interruption();
  static PyErr forked_error();

  base::MemoryBudget budget_;
  base::Resources resources_;
  bool main_thread_;
  long guard_count_ = 0;
  PyThreadState* state_ = nullptr;
  std::chrono::steady_clock::time_point next_check_;
  std::optional<PyErr> interruption_;
};

// Finds the interpreter's own reader of the switch interval, so that
// LockSharing reads the interval without running Python code. Called once,
// when the module is made.
void remember_switch_interval();

// For long loops that hold the lock (reading a dict, building a result
// dict): `tick()` once per item. Every kStride items it lets the interpreter
// run pending signal handlers, raising what they raise, and, when sharing is
// asked for, offers the lock to other threads about once per switch interval
// (the interpreter's, as sys.getswitchinterval() tells it), as the
// interpreter's own loop would. Offer only
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
  std::chrono::steady_clock::duration interval_{};
  std::chrono::steady_clock::time_point next_offer_;
};

}  // namespace velkor::boundary
