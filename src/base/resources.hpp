// What a computation may use and who may stop it: memory budget, interruption, threads.
#pragma once

#include "base/memory_budget.hpp"

namespace velkor::base {

// Asked by a long computation, on the thread that started it, between units
// of work (at least every few milliseconds of work): true means stop now.
// Implementations rate-limit themselves; asking is cheap.
class Interrupt {
 public:
  virtual bool requested() = 0;

 protected:
  ~Interrupt() = default;
};

// Thrown by a computation that stopped because its Interrupt asked it to.
struct Interrupted {};

// Thrown in a child process forked (by an Interrupt's code) while the
// computation's helper threads were working: their share of the work does
// not exist in the child.
struct Forked {};

struct Resources {
  // Charged for result storage and result entries; null: no limit.
  MemoryBudget* budget = nullptr;
  // Polled from the calling thread; null: never interrupted.
  Interrupt* interrupt = nullptr;
  // Most threads to use, the calling one included; 0: the default (the
  // CPUs of the process's affinity mask, capped by VELKOR_NUM_THREADS).
  unsigned threads = 0;
};

}  // namespace velkor::base
