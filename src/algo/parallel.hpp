// The threads of one call: the calling thread plus helpers started on demand, all joined before the call returns.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/resources.hpp"

namespace velkor::algo::detail {

// The threads a call may use, the calling one included: `requested` when
// non-zero, else the CPUs the process can use (platform/cpu_count.hpp),
// capped by the environment variable VELKOR_NUM_THREADS when it holds a
// positive integer.
unsigned thread_count(unsigned requested) noexcept;

// The cap that the text of VELKOR_NUM_THREADS sets: a positive integer
// (at most 65536); 0, no cap, for anything else or no text.
unsigned parse_thread_cap(const char* text) noexcept;

// A job whose estimated work (in inner-loop steps of a fraction of a
// nanosecond each) is below this runs on the calling thread alone: waking or
// starting a helper costs tens of microseconds.
inline constexpr std::size_t kParallelMinWork = std::size_t{1} << 21;

// Runs jobs of independent units over the calling thread and up to
// size() - 1 helper threads. Helpers start with the first job that wants
// them and wait for the next one in between; the destructor joins them, so
// no thread outlives the object (and the call that owns it). Each helper's
// stack, arena and thread state are charged to the call's budget before it
// starts; when they do not fit, the job runs on the threads there are.
//
// The calling thread takes units too and asks the call's Interrupt before
// each one: on a stop request, or when a unit throws on any thread, no
// further unit is handed out, the units under way finish, and the caller
// throws (base::Interrupted, or the first exception thrown by a unit).
//
// The Interrupt runs the caller's code, which may fork the process. The
// child has the calling thread only: there the team never waits for, wakes
// or joins its helpers (their locks and condition variables may be in any
// state), runs later jobs on the calling thread, and fails a job that was
// spread over helpers when the fork came with base::Forked.
class Team {
 public:
  explicit Team(const base::Resources& resources, std::size_t min_work = kParallelMinWork);
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  // Threads a job may use, the caller included; slots run 0..size()-1.
  unsigned size() const noexcept { return size_; }
  // Whether a job of this much work is worth splitting into units of its
  // own (spread over helpers when there are any).
  bool large(std::size_t work) const noexcept { return work >= min_work_; }
  bool parallel(std::size_t work) const noexcept { return size_ > 1 && large(work); }

  // On the calling thread: throws base::Interrupted when a stop is requested.
  void poll();

  // Calls body(unit, slot) once for every unit in [0, units): slot
  // identifies the thread (0 = the caller), so per-slot scratch needs no
  // locking. `work` is the job's estimated total work; at most `threads`
  // threads take part.
  template <class Body>
  void run(std::size_t units, std::size_t work, Body&& body, unsigned threads = ~0u) {
    if (units == 0) return;
    unsigned helpers = 0;
    if (units > 1 && threads > 1 && parallel(work))
      helpers = static_cast<unsigned>(std::min<std::size_t>({size_ - 1, units - 1, threads - 1}));
    using B = std::remove_reference_t<Body>;
    dispatch(units, helpers,
             [](void* ctx, std::size_t unit, unsigned slot) { (*static_cast<B*>(ctx))(unit, slot); },
             const_cast<void*>(static_cast<const void*>(std::addressof(body))));
  }

 private:
  using Task = void (*)(void*, std::size_t, unsigned);

  // The helpers and what they synchronise on; left alone (never destroyed)
  // in a forked child.
  struct Helpers {
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable wake;  // helpers: a new job or shutdown
    std::condition_variable idle;  // caller: the last helper left the job
  };

  void dispatch(std::size_t units, unsigned helpers, Task task, void* ctx);
  void start_helpers(unsigned wanted) noexcept;
  void helper(unsigned slot);
  void take_units(unsigned slot);
  // The calling thread's share of a job spread over helpers, asking the
  // Interrupt before each unit; true when it asked to stop.
  bool caller_takes_units(std::size_t units, Task task, void* ctx);
  void fail(std::exception_ptr error) noexcept;
  // True in a child forked since the team was made.
  bool forked() const noexcept;

  base::Interrupt* interrupt_;
  base::MemoryBudget* budget_;
  unsigned size_;
  std::size_t min_work_;
  std::uint64_t forks_;  // the process's fork count when the team was made

  std::unique_ptr<Helpers> helpers_ = std::make_unique<Helpers>();
  // What the helpers started so far cost, charged to the budget.
  std::size_t helper_memory_ = 0;
  std::size_t helper_address_space_ = 0;
  std::uint64_t generation_ = 0;
  bool shutdown_ = false;
  unsigned taking_part_ = 0;  // helpers of the current job: slots 1..taking_part_
  unsigned active_ = 0;       // those still working on it

  Task task_ = nullptr;
  void* ctx_ = nullptr;
  std::size_t units_ = 0;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::exception_ptr error_;
};

// Calls body(unit, slot) for every unit: spread over `team`, or, without
// one, all on this thread as `slot`.
template <class Body>
void run_units(Team* team, unsigned slot, std::size_t units, std::size_t work, Body&& body) {
  if (team)
    team->run(units, work, body);
  else
    for (std::size_t u = 0; u < units; ++u) body(u, slot);
}

}  // namespace velkor::algo::detail
